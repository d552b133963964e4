#include "video/frame_extract.h"

#include <cmath>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/img_hash.hpp>
#include <sstream>

#include "files/atomic_file.h"
#include "files/text_format.h"
#include "video/video_source.h"

namespace orvane::video {

namespace fs = std::filesystem;

FrameSelector::FrameSelector(const FrameOptions& options, double video_fps)
    : step_(std::max(1, options.step)),
      ratio_(options.fps > 0 && video_fps > 0 ? options.fps / video_fps : 0) {}

bool FrameSelector::keep(int index) {
  if (ratio_ <= 0) return index % step_ == 0;
  // Frame i falls in output slot floor(i * target / source); the first frame of each slot is
  // kept. The small epsilon keeps exact multiples (30 -> 10 fps) on their own frame despite
  // rounding in the ratio.
  const auto slot = static_cast<long long>(std::floor(index * ratio_ + 1e-9));
  if (slot == last_slot_) return false;
  last_slot_ = slot;
  return true;
}

struct DuplicateFilter::Hasher {
  cv::Ptr<cv::img_hash::PHash> phash = cv::img_hash::PHash::create();
};

DuplicateFilter::DuplicateFilter(int threshold) : threshold_(threshold) {
  if (threshold_ > 0) hasher_ = new Hasher;
}

DuplicateFilter::~DuplicateFilter() { delete hasher_; }

bool DuplicateFilter::keep(const cv::Mat& bgr) {
  if (!hasher_) return true;
  cv::Mat hash;
  hasher_->phash->compute(bgr, hash);
  if (!last_hash_.empty()) {
    last_distance_ = int(hasher_->phash->compare(hash, last_hash_));
    if (last_distance_ <= threshold_) return false;
  }
  last_hash_ = hash;
  return true;
}

std::string frame_file_name(const std::string& stem, int index, int digits, const std::string& ext) {
  char number[32];
  std::snprintf(number, sizeof number, "%0*d", digits, index);
  return stem + "_" + number + ext;
}

int frame_index_digits(int frame_count) {
  int digits = 1;
  for (long long limit = 10; limit < frame_count; limit *= 10) ++digits;
  return std::max(6, digits);
}

std::optional<int> frame_index_from_name(const std::string& file_name) {
  const auto stem = fs::path(file_name).stem().string();
  const auto underscore = stem.rfind('_');
  if (underscore == std::string::npos || underscore + 1 >= stem.size()) return std::nullopt;
  const auto digits = stem.substr(underscore + 1);
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoi(digits);
}

namespace {

std::string number_text(double value, const char* format) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string frames_json(const FrameReport& report, const FrameOptions& options) {
  std::ostringstream out;
  out << "{\n  \"source\": " << files::json_quote(report.source)
      << ",\n  \"fps\": " << number_text(report.fps, "%.6g")
      << ",\n  \"frame_count\": " << report.frame_count
      << ",\n  \"frames_read\": " << report.frames_read << ",\n  \"step\": " << options.step
      << ",\n  \"target_fps\": " << number_text(options.fps, "%.6g")
      << ",\n  \"dedupe\": " << options.dedupe
      << ",\n  \"skipped_duplicates\": " << report.skipped_duplicates
      << ",\n  \"complete\": " << (report.ok() ? "true" : "false") << ",\n  \"frames\": [";
  for (size_t i = 0; i < report.frames.size(); ++i) {
    const auto& f = report.frames[i];
    out << (i ? ",\n" : "\n") << "    {\"file\": " << files::json_quote(f.file)
        << ", \"index\": " << f.index << ", \"time\": " << number_text(f.time, "%.6f") << "}";
  }
  out << (report.frames.empty() ? "]\n}\n" : "\n  ]\n}\n");
  return out.str();
}

std::string FrameReport::message() const {
  std::string text = "Extracted " + std::to_string(frames.size()) + " frame" + (frames.size() == 1 ? "" : "s") +
                     " of " + fs::path(source).filename().string();
  if (skipped_duplicates > 0)
    text += " (" + std::to_string(skipped_duplicates) + " near-duplicate" + (skipped_duplicates == 1 ? "" : "s") +
            " skipped)";
  return outcome(text);
}

FrameReport extract_frames(const fs::path& source, const fs::path& out, const FrameOptions& options,
                           const FrameProgress& progress) {
  FrameReport report;
  VideoReader reader;
  if (!report.open(reader, source)) return report;
  std::error_code ec;
  fs::create_directories(out, ec);
  if (!fs::is_directory(out, ec)) {
    report.error = "cannot create folder " + out.string();
    return report;
  }
  const auto stem = source.stem().string();
  const int digits = frame_index_digits(report.frame_count);
  FrameSelector selector(options, report.fps);
  DuplicateFilter duplicates(options.dedupe);
  const std::vector<int> jpeg{cv::IMWRITE_JPEG_QUALITY, options.jpeg_quality};
  cv::Mat frame;
  std::vector<uchar> bytes;
  while (reader.read(frame)) {
    const int index = reader.next_index() - 1;
    report.frames_read = index + 1;
    if (selector.keep(index)) {
      if (!duplicates.keep(frame)) {
        ++report.skipped_duplicates;
      } else {
        const auto name = frame_file_name(stem, index, digits);
        // Bulk files: atomic per file, synced once at the end by frames.json.
        if (!cv::imencode(".jpg", frame, bytes, jpeg)) {
          report.error = "cannot encode frame " + std::to_string(index);
          break;
        }
        try {
          files::write_atomically(
              out / name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
              files::Durability::kRenameOnly);
        } catch (const files::WriteError& e) {
          report.error = e.what();
          break;
        }
        report.frames.push_back({name, index, index / report.fps});
      }
    }
    if (progress && !progress(report.frames_read, report.frame_count)) {
      report.cancelled = true;
      break;
    }
  }
  report.close(reader);
  try {
    files::write_atomically(out / "frames.json", frames_json(report, options));
  } catch (const files::WriteError& e) {
    if (report.error.empty()) report.error = e.what();
  }
  return report;
}

}  // namespace orvane::video
