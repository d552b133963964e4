#pragma once
// A model run over a video, frame by frame: the annotated video (same rate, same frame count),
// optionally one YOLO label file per predicted frame (named as the extracted frames are) and,
// with tracking on, ByteTrack ids drawn and the tracks written as a MOT file. The glue between
// the engine's per-image prediction and the video core; the orvane verbs and the inference tab
// share it.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/predictor.h"
#include "video/byte_tracker.h"
#include "video/video_source.h"

namespace orvane::engine {
class YOLO;
}

namespace orvane::video {

// The engine's boxes as tracker detections.
std::vector<Detection> detections_from(const engine::Results& results);

// Boxes with "id:7 rect 0.91" captions, coloured by track id, on `image`.
void draw_tracks(cv::Mat& image, const std::vector<Track>& tracks, const std::vector<std::string>& names);

// One frame's picture: the engine's plot, or (with tracks) the tracked boxes with their ids.
cv::Mat annotate_frame(const engine::Results& results, const std::vector<Track>* tracks);

struct VideoPredictOptions {
  engine::PredictOptions predict;
  int stride = 1;                   // predict every Nth frame; the others show the last result
  bool track = false;               // ByteTrack on the detections
  ByteTrackOptions tracker;
  std::filesystem::path save_dir;   // annotated video <stem>.mp4 (.avi for .avi) here; empty: none
  bool save_txt = false;            // with save_dir: <stem>_<frame index>.txt per predicted frame
  std::filesystem::path mot;        // with track: MOT text file; empty: none
};

struct VideoPredictReport : VideoRun {
  int frames_predicted = 0;
  int frames_written = 0;     // frames of the annotated video
  int tracks = 0;             // distinct track ids reported
  double seconds = 0;         // wall time of the whole run
  std::filesystem::path video_out, mot_out;

  std::string message() const;
};

// progress(frames read, claimed frame count or 0, last frame's results) after each predicted
// frame; returning false stops (the video written so far is finished and kept).
using VideoProgress = std::function<bool(int done, int total, const engine::Results& last)>;

// Throws nothing for a bad video or a failed write (see the report); the engine's own errors
// (a model that cannot run) propagate as EngineError.
VideoPredictReport predict_video(engine::YOLO& model, const std::filesystem::path& source,
                                 const VideoPredictOptions& options, const VideoProgress& progress = {});

}  // namespace orvane::video
