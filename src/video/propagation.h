#pragma once
// Labels carried from frame to frame of a video. Propagation follows each shape with its own
// visual tracker and moves its outline with the tracked box; interpolation fills the frames
// between two labelled keyframes. Plain OpenCV, no Qt: the annotator turns the results into
// undoable edits, the benches and tests call it directly.
//
// The tracker is CSRT (discriminative correlation filter with channel and spatial
// reliability): it estimates scale as well as position and reports its own failure (peak
// to sidelobe ratio), at some 20-60 frames per second per object on frames of 640x480 on one
// core, which is plenty for carrying a frame's labels ten or thirty frames on. KCF is several
// times faster but keeps the box size fixed, so shapes that grow or shrink drift off their
// object; it stays available for long, fast runs.

#include <memory>
#include <opencv2/core.hpp>
#include <vector>

namespace orvane::video {

enum class TrackerKind { csrt, kcf };

struct CarriedShape {
  int key = 0;                        // the caller's id of the shape, returned unchanged
  cv::Rect2f box;                     // pixels
  std::vector<cv::Point2f> polygon;   // pixels; empty for a plain box
};

struct CarryStep {
  std::vector<CarriedShape> shapes;  // the shapes still followed, moved onto this frame
  std::vector<int> lost;             // keys lost at this frame (each reported once, then dropped)
};

class ShapePropagator {
 public:
  explicit ShapePropagator(TrackerKind kind = TrackerKind::csrt);
  ~ShapePropagator();
  ShapePropagator(const ShapePropagator&) = delete;
  ShapePropagator& operator=(const ShapePropagator&) = delete;

  // Starts one tracker per shape on `frame` (BGR). Shapes smaller than 4x4 pixels cannot be
  // followed and are reported lost on the first step.
  void start(const cv::Mat& frame, const std::vector<CarriedShape>& shapes);
  // The next frame: where each followed shape is now. A shape is lost when its tracker says so,
  // when most of its box has left the picture, or when what is inside the box no longer looks
  // like the object it started on (so a box is never carried on over empty background).
  CarryStep next(const cv::Mat& frame);
  int following() const;

 private:
  struct Follower;
  TrackerKind kind_;
  std::vector<std::unique_ptr<Follower>> followers_;
};

// ---- Interpolation between keyframes ----

// Linear from a (t = 0) to b (t = 1).
cv::Rect2f interpolate_box(const cv::Rect2f& a, const cv::Rect2f& b, double t);

struct KeyShape {
  int cls = 0;
  std::vector<cv::Point2f> polygon;  // pixels; a box as its four corners
  bool box = false;                  // written as a box
};

// Which shape of keyframe a becomes which of keyframe b: same class, nearest centres (optimal
// one-to-one assignment); shapes left over have no partner. Returns (index in a, index in b).
std::vector<std::pair<int, int>> pair_keyframe_shapes(const std::vector<KeyShape>& a, const std::vector<KeyShape>& b);

// The shape at t in [0, 1] between a and b. Outlines with the same number of vertices move
// vertex by vertex (b's vertices first turned to start at the vertex nearest a's first, so the
// outline does not twist); otherwise the bounding boxes are interpolated and the result is a box
// (`by_box` set when given).
KeyShape interpolate_shape(const KeyShape& a, const KeyShape& b, double t, bool* by_box = nullptr);

}  // namespace orvane::video
