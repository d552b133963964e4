#pragma once
// YOLO label files: one object per line, "class x y w h" (a box) or "class x1 y1 x2 y2 ..." (a
// polygon with at least three points), all coordinates normalised to 0..1.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace orvane::engine {

struct Instance {
  int cls = 0;
  cv::Rect2f box;                    // normalised (x, y, w, h) top-left corner and size
  std::vector<cv::Point2f> polygon;  // normalised; empty for box lines
};

struct LabelFile {
  std::vector<Instance> instances;
  int bad_lines = 0;  // lines that are neither a box nor a polygon, or have unreadable numbers
};

// "data/train/images/a.jpg" -> "data/train/labels/a.txt": the last "/images/" path component
// becomes "/labels/" and the extension ".txt". Without an images component the label sits
// beside the image.
std::string label_path_for_image(const std::string& image_path);

// Parses label text. Blank lines are skipped; CR LF and a missing final newline are fine.
// Coordinates slightly outside 0..1 (within 1 %) are clipped, further out the line is bad.
LabelFile parse_labels(const std::string& text);

// Reads and parses `label_path`; a missing file is an image without objects.
LabelFile read_label_file(const std::string& label_path);

}  // namespace orvane::engine
