#include "video/video_prediction.h"

#include <chrono>
#include <set>

#include "engine/plotting.h"
#include "engine/yolo.h"
#include "files/atomic_file.h"
#include "video/frame_extract.h"
#include "video/mot_file.h"
#include "video/video_sink.h"
#include "video/video_source.h"

namespace orvane::video {

namespace fs = std::filesystem;

std::vector<Detection> detections_from(const engine::Results& r) {
  std::vector<Detection> out;
  const auto n = r.boxes.size();
  if (n == 0) return out;
  const auto xyxy = r.boxes.xyxy.contiguous();
  const auto conf = r.boxes.conf.contiguous();
  const auto cls = r.boxes.cls.contiguous();
  const float* b = xyxy.data_ptr<float>();
  for (size_t i = 0; i < n; ++i) {
    const float* p = b + 4 * i;
    out.push_back({cv::Rect2f(p[0], p[1], p[2] - p[0], p[3] - p[1]), conf.data_ptr<float>()[i],
                   int(cls.data_ptr<float>()[i])});
  }
  return out;
}

void draw_tracks(cv::Mat& image, const std::vector<Track>& tracks, const std::vector<std::string>& names) {
  for (const auto& t : tracks) {
    const auto name = t.cls >= 0 && size_t(t.cls) < names.size() ? names[size_t(t.cls)] : std::to_string(t.cls);
    char caption[32];
    std::snprintf(caption, sizeof caption, " %.2f", t.score);
    engine::draw_box_label(image, t.box, engine::class_color(t.id), "id:" + std::to_string(t.id) + " " + name + caption);
  }
}

cv::Mat annotate_frame(const engine::Results& results, const std::vector<Track>* tracks) {
  if (!tracks) return results.plot();
  cv::Mat image = results.orig_img.clone();
  draw_tracks(image, *tracks, results.names);
  return image;
}

std::string VideoPredictReport::message() const {
  std::string text = "Predicted " + std::to_string(frames_predicted) + " of " + std::to_string(frames_read) +
                     " frames of " + fs::path(source).filename().string();
  if (tracks > 0) text += ", " + std::to_string(tracks) + " tracks";
  if (seconds > 0) {
    char rate[48];
    std::snprintf(rate, sizeof rate, " (%.1f frames/s)", frames_read / seconds);
    text += rate;
  }
  return outcome(text);
}

namespace {

fs::path video_name(const fs::path& source) {
  auto ext = source.extension().string();
  for (auto& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return source.stem().string() + (ext == ".avi" ? ".avi" : ".mp4");
}

}  // namespace

VideoPredictReport predict_video(engine::YOLO& model, const fs::path& source, const VideoPredictOptions& options,
                                 const VideoProgress& progress) {
  const auto start = std::chrono::steady_clock::now();
  VideoPredictReport report;
  VideoReader reader;
  if (!report.open(reader, source)) return report;

  VideoSink sink;
  if (!options.save_dir.empty()) {
    std::error_code ec;
    fs::create_directories(options.save_dir, ec);
    report.video_out = options.save_dir / video_name(source);
    if (fs::weakly_canonical(report.video_out, ec) == fs::weakly_canonical(source, ec)) {
      report.error = "save=" + options.save_dir.string() + " would replace the source video " + source.string() +
                     " with the annotated one; choose another folder";
      return report;
    }
    report.error = sink.open(report.video_out, report.fps, reader.frame_size());
    if (!report.error.empty()) return report;
  }
  MotWriter mot;
  if (options.track && !options.mot.empty()) {
    report.mot_out = options.mot;
    report.error = mot.open(options.mot);
    if (!report.error.empty()) return report;
  }
  ByteTracker tracker(options.tracker, report.fps);
  std::set<int> ids;
  const int digits = frame_index_digits(report.frame_count);
  const auto stem = source.stem().string();
  const int stride = std::max(1, options.stride);

  engine::Results last;
  std::vector<Track> tracks;
  bool have_last = false;
  for (;;) {
    // A fresh buffer each frame: the decoder would otherwise overwrite the picture `last` holds.
    cv::Mat frame;
    if (!reader.read(frame)) break;
    const int index = reader.next_index() - 1;
    report.frames_read = index + 1;
    if (index % stride == 0) {
      last = model.predict_image(frame, source.string(), options.predict);
      have_last = true;
      ++report.frames_predicted;
      if (options.track) {
        tracks = tracker.update(detections_from(last));
        for (const auto& t : tracks) ids.insert(t.id);
        if (!options.mot.empty()) mot.write(index + 1, tracks);
      }
      if (options.save_txt && !options.save_dir.empty()) {
        try {
          files::write_atomically(options.save_dir / frame_file_name(stem, index, digits, ".txt"),
                                  last.to_label_text(), files::Durability::kRenameOnly);
        } catch (const files::WriteError& e) {
          report.error = e.what();
          break;
        }
      }
    } else if (have_last) {
      last.orig_img = frame;  // the last prediction drawn over the frame it skipped to
    }
    if (sink.is_open()) sink.write(annotate_frame(last, options.track ? &tracks : nullptr));
    if (progress && !progress(report.frames_read, report.frame_count, last)) {
      report.cancelled = true;
      break;
    }
  }
  report.close(reader);
  report.frames_written = sink.frames_written();
  report.tracks = int(ids.size());
  if (sink.is_open()) {
    const auto error = sink.finish();
    if (report.error.empty()) report.error = error;
  }
  if (options.track && !options.mot.empty()) {
    const auto error = mot.finish();
    if (report.error.empty()) report.error = error;
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report;
}

}  // namespace orvane::video
