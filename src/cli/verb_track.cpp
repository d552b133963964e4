// orvane track: a YOLO model's detections on a video, linked into tracks by ByteTrack; the
// annotated video shows each track's id, and mot=FILE receives the tracks in the MOTChallenge
// text format.

#include <iostream>

#include "cli/args.h"
#include "cli/stop_signals.h"
#include "cli/verbs.h"
#include "engine/logger.h"
#include "engine/yolo.h"
#include "training/training_defaults.h"
#include "video/video_prediction.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "track objects through a video with a YOLO model (ByteTrack)";

const std::vector<KeyHelp>& track_keys() {
  static const std::vector<KeyHelp> keys{
      {"model", "", "weights (.pt, or best.onnx / best.torchscript of orvane export)"},
      {"source", "", "a video file"},
      {"tracker", "bytetrack", "the tracking algorithm (bytetrack)"},
      {"conf", "0.1", "detection threshold (ByteTrack's second round uses the weak boxes)"},
      {"iou", "0.7", "IoU threshold of the NMS"},
      {"imgsz", default_text(training::kTrainingDefaults.imgsz), "inference size (rounded up to 32s)"},
      {"save", "", "folder for the annotated video with track ids"},
      {"mot", "", "file for the tracks, MOTChallenge text: frame,id,x,y,w,h,conf,-1,-1,-1"},
      {"track_high_thresh", "0.5", "first association round: detections at or above this"},
      {"track_low_thresh", "0.1", "second round: detections above this"},
      {"new_track_thresh", "0.6", "an unmatched detection starts a track at or above this"},
      {"track_buffer", "30", "frames a lost track waits for its object (at 30 fps)"},
      {"match_thresh", "0.8", "first round: largest accepted 1 - IoU"},
  };
  return keys;
}

}  // namespace

int run_video_prediction(const std::string& model_path, const std::string& source,
                         const video::VideoPredictOptions& options, const std::string& verb) {
  GracefulStop stop;
  video::VideoPredictReport report;
  try {
    engine::YOLO model(model_path);
    int reported = 0;
    report = video::predict_video(model, source, options, [&](int done, int total, const engine::Results&) {
      if (done - reported >= 100) {
        reported = done;
        std::cerr << "frame " << done;
        if (total > 0) std::cerr << "/" << total;
        std::cerr << "\n";
      }
      return !stop.requested();
    });
  } catch (const std::exception& e) {
    std::string message = e.what();
    throw std::runtime_error(message.substr(0, message.find('\n')));
  }
  if (!report.ok()) {
    std::cerr << "orvane " << verb << ": " << report.message() << "\n";
    return 1;
  }
  std::cout << report.message() << "\n";
  if (!report.video_out.empty()) engine::LOGGER.info("Results saved to " + report.video_out.string());
  if (!report.mot_out.empty()) engine::LOGGER.info("Tracks saved to " + report.mot_out.string());
  return 0;
}

int run_track(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("track", kSummary, track_keys());
    return 0;
  }
  const Args args(words, track_keys());
  if (args.str("model").empty()) throw ArgError("model= is required");
  if (args.str("source").empty()) throw ArgError("source= is required");
  if (args.str("tracker") != "bytetrack")
    throw ArgError("tracker= must be bytetrack (got '" + args.str("tracker") + "')");
  video::VideoPredictOptions options;
  options.predict.conf = float(args.real("conf"));
  options.predict.iou = float(args.real("iou"));
  options.predict.imgsz = args.integer("imgsz");
  options.predict.verbose = false;
  options.track = true;
  options.save_dir = args.str("save");
  options.mot = args.str("mot");
  auto& t = options.tracker;
  t.track_high_thresh = float(args.real("track_high_thresh"));
  t.track_low_thresh = float(args.real("track_low_thresh"));
  t.new_track_thresh = float(args.real("new_track_thresh"));
  t.track_buffer = args.integer("track_buffer");
  t.match_thresh = float(args.real("match_thresh"));
  if (options.predict.conf > t.track_low_thresh)
    engine::LOGGER.warning("conf=" + args.str("conf") + " is above track_low_thresh: ByteTrack's second round gets no weak boxes");
  if (options.save_dir.empty() && options.mot.empty()) throw ArgError("give save=DIR, mot=FILE or both");
  return run_video_prediction(args.str("model"), args.str("source"), options, "track");
}

}  // namespace orvane::cli
