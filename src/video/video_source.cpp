#include "video/video_source.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace orvane::video {

bool is_video_file(const std::filesystem::path& path) {
  static const std::array<std::string, 11> kExtensions{".mp4", ".avi", ".mkv", ".mov",
                                                       ".webm", ".m4v", ".mpg", ".mpeg",
                                                       ".wmv", ".flv", ".ts"};
  auto ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return std::find(kExtensions.begin(), kExtensions.end(), ext) != kExtensions.end();
}

std::string VideoReader::open(const std::filesystem::path& path) {
  capture_.release();
  next_index_ = 0;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return "video not found: " + path.string();
  // FFmpeg only: letting OpenCV fall back to GStreamer on a file FFmpeg refused prints assertion
  // noise on the console and never succeeds where FFmpeg failed.
  if (!capture_.open(path.string(), cv::CAP_FFMPEG))
    return "cannot open video " + path.string() + " (not a video, or a damaged file)";
  const double fps = capture_.get(cv::CAP_PROP_FPS);
  fps_ = std::isfinite(fps) && fps > 0 ? fps : 25.0;
  const double count = capture_.get(cv::CAP_PROP_FRAME_COUNT);
  frame_count_ = std::isfinite(count) && count > 0 ? int(std::lround(count)) : 0;
  size_ = {int(capture_.get(cv::CAP_PROP_FRAME_WIDTH)), int(capture_.get(cv::CAP_PROP_FRAME_HEIGHT))};
  return {};
}

bool VideoReader::read(cv::Mat& bgr) {
  if (!capture_.isOpened() || !capture_.read(bgr) || bgr.empty()) return false;
  ++next_index_;
  return true;
}

bool VideoReader::seek(int index) {
  if (!capture_.isOpened() || index < 0) return false;
  if (index == next_index_) return true;
  if (index < next_index_ || index - next_index_ > 50) {
    capture_.set(cv::CAP_PROP_POS_FRAMES, index);
    const double landed = capture_.get(cv::CAP_PROP_POS_FRAMES);
    next_index_ = std::isfinite(landed) ? int(std::lround(landed)) : 0;
    if (next_index_ > index) {  // overshot: start over and decode forward
      capture_.set(cv::CAP_PROP_POS_FRAMES, 0);
      next_index_ = 0;
    }
  }
  cv::Mat skipped;
  while (next_index_ < index)
    if (!read(skipped)) return false;
  return true;
}

bool VideoRun::open(VideoReader& reader, const std::filesystem::path& path) {
  source = path.string();
  error = reader.open(path);
  if (!error.empty()) return false;
  fps = reader.fps();
  frame_count = reader.frame_count();
  return true;
}

void VideoRun::close(const VideoReader& reader) {
  if (error.empty() && !cancelled) ended_early = reader.ended_early();
}

std::string VideoRun::outcome(const std::string& done) const {
  if (!error.empty() && frames_read == 0) return error;
  if (!error.empty()) return done + "; stopped: " + error;
  if (cancelled)
    return done + "; cancelled after frame " + std::to_string(frames_read) + ", what was written is kept";
  if (ended_early)
    return done + "; the video ended early: frame " + std::to_string(frames_read + 1) + " of " +
           std::to_string(frame_count) +
           " did not decode (a truncated or damaged file); what was written before it is kept";
  return done;
}

}  // namespace orvane::video
