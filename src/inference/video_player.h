#pragma once
// The inference tab's video: one frame at a time, decoded when shown, predicted, and (with
// tracking on) passed through ByteTrack so ids are drawn. Widget-free: the tab only turns the
// picture into a pixmap and drives play, pause, the slider and the step buttons.

#include <QString>
#include <memory>
#include <opencv2/core.hpp>

#include "files/result.h"
#include "inference/inference_model.h"
#include "video/byte_tracker.h"
#include "video/video_source.h"


namespace orvane::inference {

class VideoPlayer {
 public:
  // Fails with the reason in one line.
  Result<> open(const QString& path);
  const QString& path() const { return path_; }
  int frame_count() const { return frame_count_; }
  double fps() const { return reader_.fps(); }
  int position() const { return position_; }  // the frame last shown, -1 before the first
  int tracks_shown() const { return tracks_shown_; }

  // Decodes frame `index`, predicts on it and draws the result (boxes, or tracks with ids when
  // `track`). Tracking follows the frames as they come: a jump or a repeat restarts it (ids begin
  // again), since a tracker knows nothing of frames it did not see. Returns an empty picture
  // when the frame does not decode (a truncated video: frame_count() then shrinks to what
  // decoded). An engine failure is the Result's reason.
  Result<cv::Mat> show(int index, InferenceModel& model, const PredictSettings& settings, bool track);

 private:
  video::VideoReader reader_;
  QString path_;
  int frame_count_ = 0;
  int position_ = -1;
  int tracks_shown_ = 0;
  std::unique_ptr<video::ByteTracker> tracker_;
  int last_tracked_ = -1;
};

}  // namespace orvane::inference
