#include "inference/video_player.h"

#include <exception>

#include "inference/inference_model_impl.h"
#include "video/video_prediction.h"

namespace orvane::inference {

Result<> VideoPlayer::open(const QString& path) {
  const std::string error = reader_.open(path.toStdString());
  if (!error.empty()) return fail(QString::fromStdString(error));
  path_ = path;
  frame_count_ = reader_.frame_count();
  if (frame_count_ <= 0) {
    // A stream without a stated length: count it once, so the slider has its range.
    cv::Mat frame;
    while (reader_.read(frame)) ++frame_count_;
    reader_.open(path.toStdString());
  }
  position_ = -1;
  tracker_.reset();
  last_tracked_ = -1;
  return {};
}

Result<cv::Mat> VideoPlayer::show(int index, InferenceModel& model, const PredictSettings& settings,
                                  bool track) {
  cv::Mat frame;
  if (!reader_.seek(index) || !reader_.read(frame)) {
    // Past the last frame that decodes: the video is shorter than it says, and ends where the
    // decoder stopped.
    frame_count_ = std::max(1, std::min(frame_count_, reader_.next_index()));
    return cv::Mat();
  }
  position_ = index;
  engine::Results results;
  try {
    results = model.engine_->model.predict_image(frame, path_.toStdString(),
                                                 InferenceModel::Engine::options(settings));
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
  if (!track) {
    tracker_.reset();
    tracks_shown_ = 0;
    return results.plot();
  }
  if (!tracker_ || index != last_tracked_ + 1) tracker_ = std::make_unique<video::ByteTracker>(video::ByteTrackOptions{}, fps());
  last_tracked_ = index;
  const auto tracks = tracker_->update(video::detections_from(results));
  tracks_shown_ = int(tracks.size());
  return video::annotate_frame(results, &tracks);
}

}  // namespace orvane::inference
