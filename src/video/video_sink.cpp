#include "video/video_sink.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "video/partial_file.h"

namespace orvane::video {

namespace fs = std::filesystem;

VideoSink::~VideoSink() {
  if (!partial_.empty()) {
    writer_.release();
    std::error_code ec;
    fs::remove(partial_, ec);
  }
}

std::string VideoSink::open(const fs::path& path, double fps, cv::Size size) {
  auto ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  int fourcc = 0;
  if (ext == ".mp4" || ext == ".m4v" || ext == ".mov")
    fourcc = cv::VideoWriter::fourcc('m', 'p', '4', 'v');
  else if (ext == ".avi")
    fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
  else if (ext == ".mkv")
    fourcc = cv::VideoWriter::fourcc('F', 'F', 'V', '1');
  else
    return "cannot write video " + path.string() + ": use .mp4, .avi or .mkv";
  if (size.width <= 0 || size.height <= 0) return "cannot write video " + path.string() + ": no frame size";
  target_ = path;
  // The partial keeps the extension: FFmpeg picks the container from it.
  std::string hidden = ".";  // built stepwise: GCC 12 warns falsely on "." + string
  hidden += path.stem().string() + ".partial" + ext;
  partial_ = path.parent_path() / hidden;
  size_ = size;
  frames_ = 0;
  if (!writer_.open(partial_.string(), cv::CAP_FFMPEG, fourcc, fps > 0 ? fps : 25.0, size)) {
    std::error_code ec;
    fs::remove(partial_, ec);
    partial_.clear();
    return "cannot write video " + path.string();
  }
  return {};
}

void VideoSink::write(const cv::Mat& bgr) {
  if (!writer_.isOpened()) return;
  if (bgr.size() == size_) {
    writer_.write(bgr);
  } else {
    cv::Mat resized;
    cv::resize(bgr, resized, size_);
    writer_.write(resized);
  }
  ++frames_;
}

std::string VideoSink::finish() {
  if (partial_.empty()) return "no video open";
  writer_.release();
  const auto partial = partial_;
  partial_.clear();
  return replace_with_partial(partial, target_);
}

}  // namespace orvane::video
