#pragma once
// The neutral form every converter reads into and writes from: images with their objects in image
// pixels, a class list, and a report of everything that could not be carried across.
//
// Pixels are a continuous plane, as in label_geometry: an image covers [0, width] x [0, height].
// A COCO bbox, a VOC bndbox and a labelme point are all read as positions on that plane, so a box
// that covers the whole picture is (0, 0)-(width, height) in every format.

#include <QString>
#include <QStringList>
#include <map>
#include <opencv2/core.hpp>
#include <vector>

namespace orvane::interchange {

enum class Format { Yolo, Coco, Voc, Labelme };

// "yolo", "coco", "voc", "labelme" (lower case, as the command line and the studio name them).
QString format_name(Format format);
// The format of a name as format_name gives it; false when it is none of them.
bool parse_format(const QString& name, Format& format);
// Every format, in the order the studio lists them.
const std::vector<Format>& all_formats();

struct Object {
  int class_id = 0;
  // A box: `points` are its four corners, clockwise from the top left. Otherwise a polygon.
  bool box = false;
  std::vector<cv::Point2d> points;  // image pixels
};

struct Image {
  // Where the image goes inside a converted folder: '/'-separated, relative, never above the
  // folder ("train/a.jpg"). Unique within a dataset.
  QString relative_path;
  QString source_path;  // the file on disk that is copied
  int width = 0, height = 0;
  std::vector<Object> objects;
  // False: the source held no annotation for the image at all (a YOLO image without a label
  // file), which is not the same as annotated with no objects.
  bool annotated = true;
};

struct Dataset {
  QStringList classes;  // class id i is classes[i]
  std::vector<Image> images;
};

// What a conversion could not carry. Two kinds, both reported line by line and counted:
//  - lost: something of the source is not in the result (an object, an image, a whole file);
//    any loss makes the conversion's exit status a failure;
//  - changed: it is in the result in another form (clipped to the picture, a circle as a polygon,
//    a VOC difficult flag dropped, a polygon written as its bounding box).
class Report {
 public:
  void lose(const QString& kind, const QString& line);
  void change(const QString& kind, const QString& line);

  int lost() const { return lost_; }
  int changed() const { return changed_; }
  const QStringList& lines() const { return lines_; }
  // Counts per kind, for the summary: "3 crowd regions" ...
  const std::map<QString, int>& lost_counts() const { return lost_counts_; }
  const std::map<QString, int>& changed_counts() const { return changed_counts_; }

 private:
  QStringList lines_;
  std::map<QString, int> lost_counts_, changed_counts_;
  int lost_ = 0, changed_ = 0;
};

// Reading stops short of these sizes, so a stray multi-gigabyte file gives one line instead of
// exhausting memory. Tests lower them.
struct Limits {
  qint64 max_json_bytes = qint64(1) << 30;  // a COCO file holds a whole dataset
  qint64 max_file_json_bytes = qint64(256)
                               << 20;  // one labelme/VOC file (labelme may embed the image)
};

// Clips an object to its image. Returns false when nothing of it is left (it lies entirely
// outside, or has no area); `clipped` tells whether anything was cut off.
bool clip_to_image(Object& object, int width, int height, bool& clipped);

// clip_to_image for an object of `image`, reported under `where` (the file and the object): a
// clip as a change, an object with nothing left as a loss. Returns false when it is lost.
bool clip_and_report(Object& object, const Image& image, const QString& where, Report& report);

// The axis-aligned bounds of an object's points.
cv::Rect2d bounds_of(const std::vector<cv::Point2d>& points);

// The four corners of a box (x1, y1)-(x2, y2), clockwise from the top left.
std::vector<cv::Point2d> box_corners(double x1, double y1, double x2, double y2);

// A polygon's area (absolute value, pixels squared).
double area_of(const std::vector<cv::Point2d>& polygon);

// The polygons of a multi-part COCO segmentation as one outline: parts lying wholly inside another
// part are holes, which YOLO's single outline cannot carry, and are dropped (counted in `holes`);
// the remaining parts are joined into one polygon by zero-width bridges between their nearest
// vertices, so the joined outline encloses exactly the parts' area.
std::vector<cv::Point2d> join_parts(const std::vector<std::vector<cv::Point2d>>& parts, int& holes);

}  // namespace orvane::interchange
