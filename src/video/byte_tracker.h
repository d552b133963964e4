#pragma once
// ByteTrack (Zhang et al., "ByteTrack: Multi-Object Tracking by Associating Every Detection
// Box", ECCV 2022) on plain detections: a constant-velocity Kalman filter per track on the box
// centre, aspect ratio and height; the high-confidence detections matched to every track by IoU
// first, then the low-confidence ones to the tracks still unmatched (an occluded object's weak
// box keeps its id instead of ending the track); a lost track waits `track_buffer` frames for a
// match before it is removed. Knows nothing of the engine: detections come in as boxes.

#include <memory>
#include <opencv2/core.hpp>
#include <utility>
#include <vector>

namespace orvane::video {

struct Detection {
  cv::Rect2f box;  // pixels, x y w h
  float score = 0;
  int cls = 0;
};

struct Track {
  int id = 0;      // from 1, never reused in one tracker
  cv::Rect2f box;  // the filter's estimate after this frame's update
  float score = 0; // the matched detection's confidence
  int cls = 0;
};

struct ByteTrackOptions {
  float track_high_thresh = 0.5f;  // first-round (and new-track) detections
  float track_low_thresh = 0.1f;   // second round: between this and the high threshold
  float new_track_thresh = 0.6f;   // an unmatched detection starts a track at or above this
  int track_buffer = 30;           // frames a lost track is kept, at 30 fps (scaled by fps)
  float match_thresh = 0.8f;       // first round: largest 1 - IoU (score-fused) accepted
  bool fuse_score = true;          // first round: IoU weighted by the detection's confidence
};

// Kalman filter in (cx, cy, a, h) with velocities, noise proportional to the height, as the
// published tracker (after DeepSORT) sets it.
class KalmanBoxFilter {
 public:
  using State = cv::Matx<float, 8, 1>;
  using Covariance = cv::Matx<float, 8, 8>;
  static void initiate(const cv::Vec4f& xyah, State& mean, Covariance& covariance);
  static void predict(State& mean, Covariance& covariance);
  static void update(State& mean, Covariance& covariance, const cv::Vec4f& xyah);
};

class ByteTracker {
 public:
  explicit ByteTracker(const ByteTrackOptions& options = {}, double fps = 30);
  // One frame's detections in; the confirmed tracks seen in this frame out (a track is
  // confirmed by a second matched frame, or at once in the first frame of the video).
  std::vector<Track> update(const std::vector<Detection>& detections);
  int frame() const { return frame_id_; }

  struct STrack;  // internal; public for the implementation's helpers

 private:
  ByteTrackOptions options_;
  int max_time_lost_;
  int frame_id_ = 0;
  int next_id_ = 1;
  std::vector<std::shared_ptr<STrack>> tracked_, lost_;
};

// Optimal one-to-one assignment minimising total cost (Hungarian / Kuhn-Munkres on a rectangular
// matrix); pairs costing more than `threshold` are left unmatched. Returns (row, col) pairs.
std::vector<std::pair<int, int>> linear_assignment(const std::vector<std::vector<float>>& cost, float threshold);

float box_iou(const cv::Rect2f& a, const cv::Rect2f& b);

}  // namespace orvane::video
