#pragma once
// Frames cut from a video into a folder of images the annotator opens: every Nth frame or a
// target rate, near-duplicates skipped by a perceptual hash, each file named after the index of
// its frame in the video (so a label can always be traced back to its frame), and frames.json
// recording the source, its rate and each file's index and time. Streams: one frame in memory.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "video/video_source.h"

namespace orvane::video {

struct FrameOptions {
  int step = 1;       // keep every Nth frame (used when fps is 0)
  double fps = 0;     // > 0: keep frames at this rate instead (every frame when >= the video's)
  // Perceptual-hash distance (bits of 64) at or below which a frame counts as a repeat of the
  // last kept one and is skipped; 0 keeps every selected frame.
  int dedupe = 0;
  int jpeg_quality = 95;
};

// Which frame indices step/fps select, decided one frame at a time (nothing to look ahead at).
class FrameSelector {
 public:
  FrameSelector(const FrameOptions& options, double video_fps);
  bool keep(int index);

 private:
  int step_ = 1;
  double ratio_ = 0;  // target fps / video fps; 0: use step_
  long long last_slot_ = -1;
};

// Skips frames whose perceptual hash (DCT pHash, 64 bits) lies within `threshold` bits of the
// last frame kept. threshold 0 turns it off.
class DuplicateFilter {
 public:
  explicit DuplicateFilter(int threshold);
  ~DuplicateFilter();
  DuplicateFilter(const DuplicateFilter&) = delete;
  DuplicateFilter& operator=(const DuplicateFilter&) = delete;
  // True when `bgr` should be kept; it then becomes the frame later ones are compared with.
  bool keep(const cv::Mat& bgr);
  // The last comparison's distance in bits (-1 before the second frame).
  int last_distance() const { return last_distance_; }

 private:
  struct Hasher;
  int threshold_;
  Hasher* hasher_ = nullptr;  // owned; opaque so callers need not see opencv2/img_hash.hpp
  cv::Mat last_hash_;
  int last_distance_ = -1;
};

// "<stem>_<index>" + ext with the index zero-padded to `digits`.
std::string frame_file_name(const std::string& stem, int index, int digits, const std::string& ext = ".jpg");
// Padding for a video of `frame_count` frames: at least 6 digits, more for longer videos, so the
// names sort in frame order.
int frame_index_digits(int frame_count);
// The frame index a name of frame_file_name carries ("clip_000042.jpg" -> 42), if any.
std::optional<int> frame_index_from_name(const std::string& file_name);

struct ExtractedFrame {
  std::string file;  // name inside the output folder
  int index = 0;     // frame index in the video, from 0
  double time = 0;   // seconds from the start
};

struct FrameReport : VideoRun {
  int skipped_duplicates = 0;
  std::vector<ExtractedFrame> frames;

  // The closing line: "Extracted 40 frames of clip.mp4 (3 near-duplicates skipped)", or
  // what went wrong and what was kept.
  std::string message() const;
};

// progress(frames decoded, claimed frame count or 0) is called after each frame; returning false
// cancels (what was written stays, frames.json included).
using FrameProgress = std::function<bool(int done, int total)>;

// Extracts into `out` (created if missing); frames.json is written last, whatever the outcome,
// once the video opened. Never throws for a bad video or a failed write: see FrameReport::error.
FrameReport extract_frames(const std::filesystem::path& source, const std::filesystem::path& out,
                           const FrameOptions& options, const FrameProgress& progress = {});

// frames.json's text for a report (what extract_frames writes).
std::string frames_json(const FrameReport& report, const FrameOptions& options);

}  // namespace orvane::video
