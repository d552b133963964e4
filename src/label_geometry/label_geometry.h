#pragma once
// YOLO label shapes carried through the geometry applied to their picture: cutting into tiles,
// cropping, rotating, perspective warps. The splitter, the enricher, `orvane split`/`enrich` and
// the tests share this one implementation, so a tile or a variant always gets exactly the shapes
// its pixels show.
//
// Coordinates. A Shape holds its vertices in pixels of its picture, as a continuous plane: the
// picture covers [0, width] x [0, height] and pixel (i, j) is the unit square whose centre is
// (i + 0.5, j + 0.5). Label files hold the same positions divided by width and height. OpenCV's
// warp functions index pixel centres instead (centre of pixel i at i); `transform_shapes` takes
// matrices in OpenCV's convention, exactly as passed to warpAffine / warpPerspective, and shifts by
// half a pixel on each side, so shapes land where the warped pixels land.
//
// OpenCV's core and no Qt beyond the `Result` its readers and writers return. Label lines are
// parsed and written by files/label_format.h.

#include <filesystem>
#include <opencv2/core.hpp>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "files/result.h"

namespace orvane::label_geometry {

// The share of a shape's area that must remain inside a tile or a variant for the shape to be
// kept there; the default of the tools' `min_visible`.
inline constexpr double kDefaultMinVisible = 0.25;

struct Shape {
  long long class_id = 0;
  // Read from (and written as) the box form "c cx cy w h". Its points are the four corners,
  // clockwise from the top left; after a transform it is written as the bounding box of its
  // transformed, clipped corners, so a detection label stays a detection label.
  bool box = false;
  std::vector<cv::Point2d> points;  // pixels of the picture (see above)
};

// What reading a label file gave. `found` false: there is no label file (the picture is not
// annotated, which is not the same as annotated with no objects). A file that exists but is not a
// usable label file (unreadable, or a line that is not a shape) is a failure naming the file and
// the line; the caller must not write anything derived from it.
struct LabelFile {
  bool found = false;
  std::vector<Shape> shapes;
};

// Parses the text of a label file for a picture of `size` pixels. Every non-blank line must be a
// class id (a non-negative integer) followed by an even number of finite numbers: four are a box,
// any other even count a polygon (a class id alone is a shape without vertices; it has no place in
// any tile and is dropped by the transforms). Coordinates outside [0, 1] are accepted and clipped
// later. The first bad line fails with "line N: reason".
Result<LabelFile> parse_label_shapes(std::string_view text, cv::Size size);

// Reads `path` (see LabelFile); a failure's message starts with the path.
Result<LabelFile> read_label_shapes(const std::filesystem::path& path, cv::Size size);

// The labels of the picture at `image`: the label file beside it (files/label_format.h's
// label_path_for), read as read_label_shapes does.
Result<LabelFile> read_image_labels(const std::filesystem::path& image, cv::Size size);

// The label file text of `shapes` on a picture of `size`: one line per shape with the native line
// end; boxes as "c cx cy w h" of their bounding box, polygons vertex by vertex. No shapes: "".
std::string format_labels(const std::vector<Shape>& shapes, cv::Size size);

// Shoelace area with its sign (the sign follows the winding; callers take the absolute value).
double polygon_area(const std::vector<cv::Point2d>& polygon);

// Sutherland-Hodgman: the part of `polygon` where a*x + b*y + c >= 0. Works for concave
// polygons too; where the result should be several pieces it stays one polygon joined along the
// clip line by edges of zero area, so its area is still exact.
std::vector<cv::Point2d> clip_half_plane(const std::vector<cv::Point2d>& polygon, double a,
                                         double b, double c);

// The part of `polygon` inside `rect` (clipped against its four sides). Consecutive repeated
// vertices are merged.
std::vector<cv::Point2d> clip_to_rect(const std::vector<cv::Point2d>& polygon,
                                      const cv::Rect2d& rect);

// The shapes of a picture as seen in its tile `tile` (pixels of the picture), in the tile's
// pixels: clipped to the tile and kept when at least `min_visible` (0..1) of each shape's area
// lies inside. A shape of zero area (a line or a point) is kept when one of its vertices lies in
// the tile. Order is kept.
std::vector<Shape> shapes_in_tile(const std::vector<Shape>& shapes, const cv::Rect& tile,
                                  double min_visible = kDefaultMinVisible);

// The shapes of a picture after the picture went through `matrix` (2x3 affine or 3x3
// perspective, OpenCV's pixel-centre convention, mapping source to destination: the very matrix
// given to warpAffine / warpPerspective) into a picture of `out_size`: each shape is mapped,
// clipped to the new picture and kept when at least `min_visible` of its mapped area is inside.
// Parts of a shape that a perspective matrix would send beyond the horizon are cut off first.
std::vector<Shape> transform_shapes(const std::vector<Shape>& shapes, const cv::Mat& matrix,
                                    cv::Size out_size, double min_visible = kDefaultMinVisible);

// Copies classes.txt `from` into `to_folder`. An existing classes.txt there with the same bytes is
// fine; one with other bytes is left alone (it belongs to whatever is already in that folder) and
// reported as a failure. Failures are one line naming the file.
Result<> copy_class_list(const std::filesystem::path& from, const std::filesystem::path& to_folder);

// A batch that carries labels into output folders also carries the class list that gives their
// ids names: the classes.txt of each source folder goes into each output folder it feeds, once
// per pair however many pictures go that way (one carrier per batch).
class ClassListCarrier {
 public:
  // Copies `source_folder`/classes.txt into `to_folder` the first time this pair is asked for.
  // Succeeds when it was copied now or before, or when the source folder has none; otherwise
  // copy_class_list's failure.
  Result<> carry(const std::filesystem::path& source_folder, const std::filesystem::path& to_folder);

 private:
  std::set<std::pair<std::filesystem::path, std::filesystem::path>> done_;
};

}  // namespace orvane::label_geometry
