#pragma once
// The YOLO label format, read and written in this one place: by the annotator, the dataset tools
// and the engine alike. Plain C++ (no Qt), so the engine shares it.
//
// A label file holds one object per line:
//
//     <class id> <cx> <cy> <w> <h>                box form (exactly four numbers: centre and size)
//     <class id> <x1> <y1> <x2> <y2> ... <xn> <yn>  polygon form (vertices in order)
//
// Coordinates are normalised to the image (x / width, y / height). Writers clamp every number
// to [0, 1] and write it in fixed-point notation with exactly six decimals, correctly rounded
// (exact ties to even: 0.0078125 -> "0.007812"). A shape without vertices is written as its
// class id and one space. Lines end in LF, CR LF or a lone CR; a UTF-8 byte order mark at the
// start of a file is not part of its first line.
//
// This module only says what a line holds. What to do with a line that is not a usable shape
// (skip it, keep it verbatim, reject the whole file) is each caller's policy, stated where the
// caller reads.
//
// The label file of an image sits beside it: the image path with its extension replaced by
// ".txt" (see `label_path_for`).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/text_format.h"  // split_lines, native_line_end: callers of this header use them

namespace orvane::files {

// ---- Image names and label paths --------------------------------------------------------------

// ".jpg", ".jpeg", ".png", ".bmp", ".webp": the images every tool lists (compared in lower case).
const std::vector<std::string>& image_extensions();

// The extension of the last component of `path`, with its dot, as written: from the last dot of
// the name on. Dots at the start of a name never begin an extension, so ".png", "..png" and
// "README" have none (""), while "car.left.JPG" has ".JPG".
std::string_view file_extension(std::string_view path);

// True when the extension of `path`, lower-cased, is one of `extensions` (lower case, with dots).
bool has_extension_in(std::string_view path, const std::vector<std::string>& extensions);

// True when `path` names an image by its extension (see image_extensions).
bool is_image_path(std::string_view path);

// The label file of an image: its extension replaced by ".txt", in the same folder; a name
// without an extension gets ".txt" appended ("d/car.left.JPG" -> "d/car.left.txt",
// "d/.png" -> "d/.png.txt"). Both '/' and '\' separate folders.
std::string label_path_for(std::string_view image_path);

// ---- Lines --------------------------------------------------------------------------------------

// The lines of a label file's text (split_lines), a leading UTF-8 byte order mark dropped.
std::vector<std::string_view> split_label_text(std::string_view text);

// The tokens of one line: runs of anything but white space (space, tab, CR, LF, VT, FF), and
// commas too when `commas_separate` (some exporters write "0,0.5,0.5,0.2,0.2").
std::vector<std::string_view> split_label_tokens(std::string_view line,
                                                 bool commas_separate = false);

// A number token as a double: decimal or scientific notation, an optional sign, "nan" and "inf"
// (any case). No hex, no locale, nothing after the number.
std::optional<double> parse_label_number(std::string_view token);

// What one line holds, without judgement.
struct LabelLine {
  std::size_t token_count = 0;   // 0: a blank line
  std::string_view class_token;  // token 0 (empty for a blank line); points into the line
  // Token 0 as a decimal integer (optional sign). Unset when it is not one, or when it does not
  // fit in 64 bits (then `class_overflow`).
  std::optional<long long> class_id;
  bool class_overflow = false;
  // Every token after the class as a number, in order, when all of them are numbers (non-finite
  // values included: whether "nan" is acceptable is the caller's call).
  std::vector<double> coords;
  // The first token after the class that is not a number; empty when all are. `coords` then holds
  // the numbers before it.
  std::string_view bad_token;

  bool blank() const { return token_count == 0; }
  bool numbers_ok() const { return bad_token.empty(); }
  // Exactly four numbers after the class: centre x, centre y, width, height.
  bool is_box() const { return numbers_ok() && coords.size() == 4; }
};

LabelLine parse_label_line(std::string_view line, bool commas_separate = false);

// ---- classes.txt
// ----------------------------------------------------------------------------------

// The class names of a classes.txt text: line i names class id i; each line stripped of
// surrounding white space; empty lines dropped (as every reader of the file does).
std::vector<std::string> parse_class_names(std::string_view text);

// ---- Writing ------------------------------------------------------------------------------------

// A number with exactly six decimals, rounded as every label writer rounds (exact ties to even:
// 0.4765625 -> "0.476562"), but not clamped: for derived values that may leave [0, 1].
std::string format_six_decimals(double value);

// One coordinate as written: clamped to [0, 1], exactly six decimals ("0.333333"); NaN is
// written as "0.000000" and -0.0 never as "-0.000000".
std::string format_label_coordinate(double value);

// A polygon-form line without its line end: the class id, then " x y" per vertex
// (`xy` = x1, y1, x2, y2, ...; an odd trailing value is ignored). No vertex: "3 ".
std::string format_polygon_line(long long class_id, const std::vector<double>& xy);

// A box-form line without its line end: "c cx cy w h", each number as format_label_coordinate.
std::string format_box_line(long long class_id, double cx, double cy, double w, double h);

// ---- Renumbering ---------------------------------------------------------------------------------

// A label file's text with its class ids renumbered: `new_ids[id]` is the new id of class `id`,
// or -1 to drop that class's lines (with their line ends). Everything else stays byte for byte:
// the coordinates, the spacing, the line ends, a byte order mark, a line whose id is unchanged,
// and every line whose token 0 is not an id inside the table (a negative or too large id, a
// token that is not an integer, a blank line), which is carried as it stands.
struct ClassRemap {
  std::string text;
  std::size_t renumbered = 0;  // lines whose class token was rewritten
  std::size_t removed = 0;     // lines dropped
  std::size_t carried = 0;     // non-blank lines carried because their id is not in the table
};
ClassRemap remap_label_classes(std::string_view text, const std::vector<long long>& new_ids);


// ---- Oriented boxes and keypoints ------------------------------------------------------------------
//
//     <class id> <x1> <y1> <x2> <y2> <x3> <y3> <x4> <y4>        oriented box: four corners in order
//     <class id> <cx> <cy> <w> <h> <x1> <y1> [<v1>] ... <xk> <yk> [<vk>]   pose: the box, then
//                                                  kpt_shape[0] keypoints of kpt_shape[1] numbers
//
// An oriented-box line is a polygon line with exactly four vertices: the data set's task says
// which of the two it is. A keypoint's visibility v is 0 (not labelled: x and y are 0), 1
// (labelled, hidden) or 2 (visible); with two numbers per keypoint every keypoint counts as
// visible. data.yaml gives `kpt_shape: [k, 2 or 3]` and, for left-right flips, `flip_idx`: a
// permutation of 0..k-1 naming each keypoint's mirror (a left wrist's right wrist).

// `kpt_shape`: keypoints per object and numbers per keypoint (2: x y, 3: x y v).
struct KeypointShape {
  int count = 17;
  int dims = 3;
  // The error of a shape that cannot be: count < 1 or above 1000, or dims other than 2 and 3.
  // Empty when it is fine.
  std::string problem() const;
};

// "" when `flip_idx` is a permutation of 0..count-1; otherwise what is wrong.
std::string flip_idx_problem(const std::vector<int>& flip_idx, int count);

struct Keypoint {
  double x = 0.0, y = 0.0;
  int visibility = 2;  // 0 not labelled, 1 hidden, 2 visible
};

struct PoseLabel {
  double cx = 0.0, cy = 0.0, w = 0.0, h = 0.0;
  std::vector<Keypoint> keypoints;  // kpt_shape[0] of them
};

// The four corners (x1, y1, ... x4, y4) of an oriented-box line: exactly eight finite numbers
// after the class. nullopt otherwise.
std::optional<std::vector<double>> parse_obb(const LabelLine& line);

// The pose of a line: exactly 4 + count * dims finite numbers after the class, every visibility
// 0, 1 or 2 (as a number: "2" and "2.000000" alike). nullopt otherwise.
std::optional<PoseLabel> parse_pose(const LabelLine& line, const KeypointShape& shape);

// "c x1 y1 ... x4 y4": as format_polygon_line, exactly four corners (`corners` has eight
// numbers; missing ones are written as 0).
std::string format_obb_line(long long class_id, const std::vector<double>& corners);

// "c cx cy w h x1 y1 v1 ...": the box and coordinates as format_label_coordinate, visibility as
// an integer ("2"); with dims 2 no visibility is written. A keypoint that is not labelled
// (visibility 0) is written at 0 0; keypoints beyond `shape.count` are dropped and missing ones
// written as not labelled, so the line always has the data set's shape.
std::string format_pose_line(long long class_id, const PoseLabel& pose, const KeypointShape& shape);

}  // namespace orvane::files
