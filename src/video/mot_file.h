#pragma once
// Tracks in the MOTChallenge text format, one line per box:
//   frame,id,x,y,w,h,conf,-1,-1,-1
// frames counted from 1, boxes in pixels of the video (x, y the top-left corner). Written as the
// frames go (a long video's tracks are not held in memory) and renamed into place at the end.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "video/byte_tracker.h"

namespace orvane::video {

struct MotRow {
  int frame = 0;  // from 1
  int id = 0;
  cv::Rect2f box;
  float conf = 0;
};

std::string mot_line(int frame, const Track& track);

class MotWriter {
 public:
  MotWriter() = default;
  ~MotWriter();  // an unfinished file's partial is removed
  MotWriter(const MotWriter&) = delete;
  MotWriter& operator=(const MotWriter&) = delete;
  std::string open(const std::filesystem::path& path);  // "" or the reason
  // `frame` counted from 1.
  void write(int frame, const std::vector<Track>& tracks);
  std::string finish();

 private:
  std::filesystem::path target_, partial_;
  std::ofstream out_;
};

// Reads a MOT text file (ground truth or results; extra columns ignored). Lines that do not
// parse are skipped and counted in `bad_lines` when given.
std::vector<MotRow> read_mot(const std::filesystem::path& path, int* bad_lines = nullptr);

}  // namespace orvane::video
