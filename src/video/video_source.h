#pragma once
// Reading a video file one frame at a time. Plain C++ and OpenCV (FFmpeg underneath), so the
// orvane tool, the tabs and the tests share it; a frame is decoded when asked for and never kept,
// so an hour of video costs one frame of memory.

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

namespace orvane::video {

// By extension: .mp4 .avi .mkv .mov .webm .m4v .mpg .mpeg .wmv .flv .ts (any case).
bool is_video_file(const std::filesystem::path& path);

class VideoReader {
 public:
  VideoReader() = default;
  // Opens `path` through FFmpeg. Returns "" or the reason in one line ("cannot open video
  // clip.mp4 (not a video, or a damaged file)").
  std::string open(const std::filesystem::path& path);
  bool is_open() const { return capture_.isOpened(); }

  // Frames per second as the container states it (25 when it states none).
  double fps() const { return fps_; }
  // The frame count the container claims; 0 when unknown. A truncated file claims more frames
  // than it holds: compare with next_index() after reading stops.
  int frame_count() const { return frame_count_; }
  cv::Size frame_size() const { return size_; }

  // Decodes the next frame into `bgr` (BGR uint8); false at the end or at a frame that does not
  // decode. next_index() is the index the next read returns (frames counted from 0).
  bool read(cv::Mat& bgr);
  int next_index() const { return next_index_; }
  // Moves to frame `index` (the next read returns it). Seeking in compressed video is
  // approximate in some containers, so this decodes forward from the nearest earlier position
  // OpenCV reaches and checks the index it lands on. Returns false when the frame is past the end.
  bool seek(int index);

  // True when reading stopped before the frame count the container claims.
  bool ended_early() const { return frame_count_ > 0 && next_index_ < frame_count_; }

 private:
  cv::VideoCapture capture_;
  double fps_ = 25;
  int frame_count_ = 0;
  cv::Size size_;
  int next_index_ = 0;
};

// How a run through a video's frames ended; frame extraction's and prediction's reports extend it.
struct VideoRun {
  std::string source;
  double fps = 0;
  int frame_count = 0;  // as the container claims it (0: unknown)
  int frames_read = 0;  // frames decoded
  bool cancelled = false;
  bool ended_early = false;  // the video stopped decoding before its claimed frame count
  std::string error;         // could not open, or could not write: the reason in one line

  bool ok() const { return error.empty() && !ended_early && !cancelled; }
  // Opens `reader` on `source` and records what the container says; false (error set) when it
  // does not open.
  bool open(VideoReader& reader, const std::filesystem::path& source);
  // After the last frame: whether the video ended before its time (not asked after an error or a
  // cancel, which stopped the reading themselves).
  void close(const VideoReader& reader);
  // `done` ("Extracted 40 frames of clip.mp4") followed by how the run ended, when not well.
  std::string outcome(const std::string& done) const;
};

}  // namespace orvane::video
