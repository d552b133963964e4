// orvane frames: cuts a video into images for labelling (every Nth frame or a target rate,
// near-duplicates skipped), named after their frame index, with frames.json beside them.

#include <iostream>

#include "cli/args.h"
#include "cli/stop_signals.h"
#include "cli/verbs.h"
#include "video/frame_extract.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "extract frames of a video for labelling";

const std::vector<KeyHelp>& frames_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "a video file (.mp4, .avi, .mkv, .mov ...)"},
      {"out", "", "folder for <video>_<frame index>.jpg and frames.json"},
      {"step", "1", "keep every Nth frame"},
      {"fps", "0", "keep frames at this rate instead of step= (0: use step=)"},
      {"dedupe", "0",
       "skip a frame within this many bits (of 64) of the last kept frame's perceptual hash; 0 keeps all"},
  };
  return keys;
}

}  // namespace

int run_frames(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("frames", kSummary, frames_keys());
    return 0;
  }
  const Args args(words, frames_keys());
  if (args.str("source").empty()) throw ArgError("source= is required");
  if (args.str("out").empty()) throw ArgError("out= is required");
  video::FrameOptions options;
  options.step = args.integer("step");
  options.fps = args.real("fps");
  options.dedupe = args.integer("dedupe");
  if (options.step < 1) throw ArgError("step= must be 1 or more");
  if (options.fps < 0) throw ArgError("fps= must be 0 or more");
  if (options.dedupe < 0 || options.dedupe > 64) throw ArgError("dedupe= must be 0 to 64");

  GracefulStop stop;
  int reported = 0;
  const auto report = video::extract_frames(
      args.str("source"), args.str("out"), options, [&](int done, int total) {
        if (done - reported >= 500) {
          reported = done;
          std::cerr << "frame " << done;
          if (total > 0) std::cerr << "/" << total;
          std::cerr << "\n";
        }
        return !stop.requested();
      });
  if (!report.ok()) {
    std::cerr << "orvane frames: " << report.message() << "\n";
    return 1;
  }
  std::cout << report.message() << " to " << args.str("out") << "\n";
  return 0;
}

}  // namespace orvane::cli
