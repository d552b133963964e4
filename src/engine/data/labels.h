#pragma once
// YOLO label files: one object per line, "class x y w h" (a box) or "class x1 y1 x2 y2 ..." (a
// polygon with at least three points), all coordinates normalised to 0..1. A data set of oriented
// boxes has "class x1 y1 ... x4 y4" lines (four corners) and one of keypoints "class cx cy w h"
// followed by kpt_shape's keypoints (files/label_format.h knows the lines); the data set says
// which (LabelSchema), since a four-corner line is also a polygon.
//
// A label file is usable as a whole or not at all: training on an image whose file lost one
// object to a bad line would teach the model that the object is background. So the first fault
// makes the whole file (and its image) unusable; only harmless slips are mended, and counted.

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "files/label_format.h"

namespace orvane::engine {

// What the lines of a data set's label files hold.
struct LabelSchema {
  enum class Kind {
    shapes,  // boxes and polygons: detection and segmentation
    obb,     // four corners of an oriented box
    pose,    // a box, then kpt.count keypoints of kpt.dims numbers
  };
  Kind kind = Kind::shapes;
  files::KeypointShape kpt;  // pose only
};

struct Instance {
  int cls = 0;
  cv::Rect2f box;                    // normalised (x, y, w, h) top-left corner and size
  std::vector<cv::Point2f> polygon;  // normalised; empty for box lines
  // Oriented boxes: the four corners in the label's order, normalised (`box` bounds them).
  std::vector<cv::Point2f> corners;
  // Pose: kpt.count keypoints, normalised; those not labelled (visibility 0) at 0 0.
  std::vector<files::Keypoint> keypoints;
};

// Why an image or its label file is left out of a dataset. `kind` is a short fixed phrase for
// counting faults by cause ("class beyond the names"); `message` says what exactly is wrong, in
// the words the YOLO ecosystem uses where it has them ("Label class 3 exceeds dataset class
// count 1 (line 2)").
struct SampleFault {
  std::string kind;
  std::string message;
};

struct LabelFile {
  std::vector<Instance> instances;
  std::optional<SampleFault> fault;  // set: the file is unusable and `instances` is empty
  int clipped = 0;     // objects with a coordinate slightly outside 0..1 (within 1 %), clipped
  int duplicates = 0;  // lines repeating an earlier line exactly, dropped
  int no_area = 0;     // objects whose box has no width or height once clipped, dropped
};

// "data/train/images/a.jpg" -> "data/train/labels/a.txt": the last "/images/" path component
// becomes "/labels/" and the extension ".txt". Without an images component the label sits
// beside the image.
std::string label_path_for_image(const std::string& image_path);

// Parses label text. Blank lines are skipped; CR LF, a UTF-8 byte order mark and a missing final
// newline are fine; tokens are separated by spaces, tabs or commas. Faults, reported for the
// first offending line: a token that is not a number; a class id that is negative, not a whole
// number, or (when nc >= 0) not below nc; a line with fewer than 3 points or an odd count of
// polygon values; a coordinate outside 0..1 by more than 1 %. With an oriented-box schema every
// line must have exactly eight coordinates; with a pose schema exactly 4 + count x dims numbers,
// every visibility 0, 1 or 2 and every labelled keypoint inside 0..1 (1 % tolerance, clipped).
LabelFile parse_training_labels(const std::string& text, int nc = -1,
                                const LabelSchema& schema = {});

// Reads and parses `label_path`; a missing file is an image without objects, a file that exists
// but cannot be read is a fault.
LabelFile read_training_labels(const std::string& label_path, int nc = -1,
                               const LabelSchema& schema = {});

}  // namespace orvane::engine
