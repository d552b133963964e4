#pragma once
// YOLO label files: the contract between the annotator and every other tool that reads or writes
// annotations (dataset tools, the engine, other people's YOLO tooling).
//
// Format: one line per shape, nothing else (no header, comment or empty line):
//
//     <class id> <x1> <y1> <x2> <y2> ... <xn> <yn><line end>
//
//   - class id: decimal integer, the position of the class name in classes.txt;
//   - vertices in polygon order; a line of exactly four numbers is the box form "cx cy w h"
//     (detection datasets), shown as a rectangle and written back unchanged while unmoved;
//   - x = pixel x / image width, y = pixel y / image height, clamped to [0, 1] and written in
//     fixed-point notation with exactly six decimals, correctly rounded (0.5 -> "0.500000",
//     1/3 -> "0.333333");
//   - a shape without vertices is written as its class id followed by one space;
//   - line end: the platform's native one ("\n" here, "\r\n" on Windows). Readers accept LF,
//     CR LF and a lone CR.
//
// Lines are parsed by files/label_format.h; this file holds the annotator's policy for them.
// The label file of an image is `orvane::label_path_for(image)` (imaging/image_files.h):
// "car.left.JPG" -> "car.left.txt", ".png" -> ".png.txt".
//
// Reading never loses data: lines the annotator cannot show (too few tokens, a class id that is
// negative or has no name, any line while the class list is empty) and every line from the first
// malformed one on are returned verbatim in `kept_lines`; a save writes them back after the shapes.

#include <QByteArray>
#include <QList>
#include <QPolygonF>
#include <QSizeF>
#include <QString>
#include <vector>

#include "files/text_file.h"

namespace orvane {

// One shape of a label file: class id and vertices in normalised coordinates (as read: a reader
// does not clamp; the writer clamps).
struct LabelShape {
  LabelShape() = default;
  LabelShape(int id, QPolygonF normalized, bool box_form = false, QByteArray line = {})
      : class_id(id), points(std::move(normalized)), box(box_form), source(std::move(line)) {}

  int class_id = 0;
  QPolygonF points;  // a box: its four corners, clockwise from the top left
  // Read from (or to be written in) the box form "c cx cy w h".
  bool box = false;
  // A box's line exactly as read. While set, the writer writes it unchanged, so an untouched
  // detection label keeps its bytes; whoever moves or relabels the shape clears it.
  QByteArray source;
  bool operator==(const LabelShape&) const = default;
};

// What parsing one line gave.
enum class LabelLineKind {
  Blank,      // nothing but white space: dropped, never kept
  Shape,      // a shape (`shape` is set)
  Skipped,    // well-formed but not shown: fewer than 3 tokens, negative id, id >= class_count
  Malformed,  // class id not an integer, a coordinate not a finite number, an x without its y
};

struct ParsedLabelLine {
  LabelLineKind kind = LabelLineKind::Blank;
  LabelShape shape;
  QString error;  // Malformed only: what is wrong, e.g. "coordinate 'abc' is not a number"
};

// White-space separated tokens of a line (leading and trailing white space ignored).
QList<QByteArray> split_label_tokens(QByteArrayView line);

// Parses one line (without its line end) for a class list of `class_count` names. With
// `class_count` 0 every well-formed line is Skipped.
ParsedLabelLine classify_label_line(QByteArrayView line, qsizetype class_count);

enum class LabelReadStatus {
  Missing,     // no label file: no shapes, nothing kept
  Ok,          // read to the end (some lines may have been kept)
  Stopped,     // a malformed line stopped the reading; it and all later lines are kept verbatim
  Unreadable,  // the file exists but could not be opened or read; it must not be overwritten
};

struct LabelFileContents {
  LabelReadStatus status = LabelReadStatus::Missing;
  std::vector<LabelShape> shapes;  // in file order
  QList<QByteArray> kept_lines;    // verbatim, without line ends, in file order
  QString error;                   // Stopped/Unreadable: file, line number and cause
};

// Reads the label file at `path` for a class list of `class_count` names.
LabelFileContents read_label_file(const QString& path, qsizetype class_count);

// One coordinate as written: clamped to [0, 1], six decimals ("0.333333"; never "-0.000000";
// NaN is written as 0.000000).
QByteArray format_label_coordinate(double value);

// One line without its line end: "0 0.100000 0.250000 ..." ("3 " for an empty polygon); a box
// as "c cx cy w h" from the bounding rectangle of its points (clamped to the image first), or
// its `source` unchanged when that is set.
QByteArray format_label_line(const LabelShape& shape);

// The whole file: every shape line, then every kept line, each followed by the native line end.
QByteArray format_label_file(const std::vector<LabelShape>& shapes,
                             const QList<QByteArray>& kept_lines = {});

// Writes the file atomically, even when it has no line (an empty file).
Result<> write_label_file(const QString& path, const std::vector<LabelShape>& shapes,
                          const QList<QByteArray>& kept_lines = {});

// The annotator's save: writes the file atomically when there is any shape or kept line, and
// otherwise deletes it, so the annotator never leaves an empty label file behind. An empty file
// that is already there (a tile or image marked as a true negative) is left as it is.
Result<> save_label_file(const QString& path, const std::vector<LabelShape>& shapes,
                         const QList<QByteArray>& kept_lines = {});

// Pixel <-> normalised coordinates for an image of `image_size` (width, height in pixels).
QPolygonF normalize_polygon(const QPolygonF& pixels, QSizeF image_size);
QPolygonF denormalize_polygon(const QPolygonF& normalized, QSizeF image_size);

}  // namespace orvane
