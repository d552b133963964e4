#pragma once
// Writing a video one frame at a time, replaced atomically: frames go to a hidden partial file
// beside the target and only a finished video is renamed over it, so an interrupted run never
// leaves a half-written file under the real name (an MP4 without its index does not play).

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

namespace orvane::video {

class VideoSink {
 public:
  VideoSink() = default;
  ~VideoSink();  // an unfinished sink removes its partial file
  VideoSink(const VideoSink&) = delete;
  VideoSink& operator=(const VideoSink&) = delete;

  // The codec follows the extension: .mp4/.m4v/.mov MPEG-4 part 2, .avi Motion JPEG, .mkv FFV1
  // (lossless). Returns "" or the reason in one line.
  std::string open(const std::filesystem::path& path, double fps, cv::Size size);
  bool is_open() const { return writer_.isOpened(); }
  // Frames of another size are resized to the video's size.
  void write(const cv::Mat& bgr);
  int frames_written() const { return frames_; }
  // Closes the video and renames it over the target. Returns "" or the reason.
  std::string finish();

 private:
  cv::VideoWriter writer_;
  std::filesystem::path target_, partial_;
  cv::Size size_;
  int frames_ = 0;
};

}  // namespace orvane::video
