#include "video/mot_file.h"

#include <cstdio>
#include <sstream>

#include "files/text_format.h"
#include "video/partial_file.h"

namespace orvane::video {

namespace fs = std::filesystem;

std::string mot_line(int frame, const Track& t) {
  char line[160];
  std::snprintf(line, sizeof line, "%d,%d,%.2f,%.2f,%.2f,%.2f,%.4f,-1,-1,-1", frame, t.id, t.box.x, t.box.y,
                t.box.width, t.box.height, t.score);
  return line;
}

MotWriter::~MotWriter() {
  if (!partial_.empty()) {
    out_.close();
    std::error_code ec;
    fs::remove(partial_, ec);
  }
}

std::string MotWriter::open(const fs::path& path) {
  target_ = path;
  std::string hidden = ".";  // built stepwise: GCC 12 warns falsely on "." + string
  hidden += path.filename().string() + ".partial";
  partial_ = path.parent_path() / hidden;
  out_.open(partial_, std::ios::binary | std::ios::trunc);
  if (!out_) {
    partial_.clear();
    return "cannot write " + path.string();
  }
  return {};
}

void MotWriter::write(int frame, const std::vector<Track>& tracks) {
  for (const auto& t : tracks) out_ << mot_line(frame, t) << files::native_line_end();
}

std::string MotWriter::finish() {
  if (partial_.empty()) return "no MOT file open";
  out_.close();
  const bool ok = !out_.fail();
  const auto partial = partial_;
  partial_.clear();
  if (!ok) {
    std::error_code ec;
    fs::remove(partial, ec);
    return "cannot write " + target_.string();
  }
  return replace_with_partial(partial, target_);
}

std::vector<MotRow> read_mot(const fs::path& path, int* bad_lines) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  std::vector<MotRow> rows;
  int bad = 0;
  for (auto line : files::split_lines(text)) {
    if (line.empty()) continue;
    MotRow row;
    const std::string copy(line);
    if (std::sscanf(copy.c_str(), "%d,%d,%f,%f,%f,%f,%f", &row.frame, &row.id, &row.box.x, &row.box.y,
                    &row.box.width, &row.box.height, &row.conf) == 7)
      rows.push_back(row);
    else
      ++bad;
  }
  if (bad_lines) *bad_lines = bad;
  return rows;
}

}  // namespace orvane::video
