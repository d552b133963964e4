// Video benchmarks on a synthetic scene with known truth (bench/video/README in the note):
//
//   video_bench scene OUT.avi            writes the scene (640x480, 25 fps, 150 frames)
//   video_bench propagation [csrt|kcf]   box IoU 30 frames after the start, lost tracks
//   video_bench tracking WEIGHTS.pt IMGSZ  ByteTrack against a plain IoU tracker: MOTA, ID switches
//   video_bench throughput WORK_DIR      video prediction against the same frames as images
//
// The scene: two discs crossing, a square leaving on the right and coming back, a square
// entering from the left, and a static stretch at the end (every object still).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <numeric>
#include <set>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "engine/plotting.h"
#include "engine/yolo.h"
#include "mot_metrics.h"
#include "video/frame_extract.h"
#include "video/propagation.h"
#include "video/synthetic_video.h"
#include "video/video_prediction.h"

namespace fs = std::filesystem;
using orvane::test::SceneObject;
using orvane::test::SyntheticVideo;
using orvane::test::TruthBox;
using namespace orvane;

namespace {

SyntheticVideo scene(bool textured) {
  SyntheticVideo v;
  v.size = {640, 480};
  v.fps = 25;
  v.frames = 150;
  auto object = [&](int id, bool circle, int r, cv::Scalar colour, std::vector<std::pair<int, cv::Point2f>> path) {
    SceneObject o;
    o.id = id;
    o.circle = circle;
    o.radius = r;
    o.colour = colour;
    o.path = std::move(path);
    o.textured = textured;
    return o;
  };
  v.objects = {
      object(1, true, 50, {230, 200, 170}, {{0, {90, 150}}, {100, {550, 310}}, {149, {550, 310}}}),
      object(2, true, 50, {170, 230, 240}, {{0, {550, 150}}, {100, {90, 310}}, {149, {90, 310}}}),
      object(3, false, 45, {120, 220, 120}, {{0, {320, 410}}, {60, {740, 410}}, {85, {740, 410}}, {130, {500, 420}}, {149, {500, 420}}}),
      object(4, false, 40, {90, 160, 250}, {{30, {-60, 70}}, {110, {380, 70}}, {149, {380, 70}}}),
  };
  return v;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

const TruthBox* find(const std::vector<TruthBox>& boxes, int id) {
  for (const auto& b : boxes)
    if (b.id == id) return &b;
  return nullptr;
}

// Visible enough to be followed: at least half of the object inside the picture.
bool visible(const TruthBox* t, int radius) { return t && t->box.area() >= 0.5 * 4 * radius * radius; }

int propagation(video::TrackerKind kind) {
  const auto v = scene(true);
  const cv::Mat back = v.background();
  std::vector<cv::Mat> frames;
  std::vector<std::vector<TruthBox>> truth(size_t(v.frames));
  for (int i = 0; i < v.frames; ++i) frames.push_back(v.frame(i, back, &truth[size_t(i)]));
  std::vector<double> ious;
  int runs = 0, lost_visible = 0, lost_gone = 0, off_object = 0, steps = 0;
  double seconds = 0;
  for (int s = 0; s + 30 < v.frames; s += 10) {
    std::vector<video::CarriedShape> shapes;
    for (const auto& o : v.objects) {
      const auto* t = find(truth[size_t(s)], o.id);
      if (visible(t, o.radius)) shapes.push_back({o.id, t->box, {}});
    }
    video::ShapePropagator p(kind);
    p.start(frames[size_t(s)], shapes);
    std::map<int, cv::Rect2f> last;
    std::set<int> lost;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = s + 1; i <= s + 30; ++i) {
      const auto step = p.next(frames[size_t(i)]);
      ++steps;
      for (int key : step.lost) lost.insert(key);
      for (const auto& c : step.shapes) {
        last[c.key] = c.box;
        const auto* t = find(truth[size_t(i)], c.key);
        if (!t || video::box_iou(c.box, t->box) < 0.1f) {
          ++off_object;
          if (std::getenv("VIDEO_BENCH_VERBOSE"))
            std::printf("  start %d object %d frame %d: box %.0f,%.0f %.0fx%.0f, its object %s\n", s, c.key, i, c.box.x,
                        c.box.y, c.box.width, c.box.height,
                        t ? cv::format("at %.0f,%.0f %.0fx%.0f", t->box.x, t->box.y, t->box.width, t->box.height).c_str()
                          : "gone");
        }
      }
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto& shape : shapes) {
      ++runs;
      const auto* t = find(truth[size_t(s + 30)], shape.key);
      const int radius = v.objects[size_t(shape.key - 1)].radius;
      if (!visible(t, radius)) {
        lost_gone += lost.count(shape.key) > 0;
        continue;  // the object left: stopping was right; no IoU to take
      }
      if (lost.count(shape.key)) {
        ++lost_visible;
        ious.push_back(0);  // counted against the tracker
      } else {
        ious.push_back(video::box_iou(last[shape.key], t->box));
      }
    }
  }
  std::printf("propagation %s: %d starts x objects, median IoU after 30 frames %.3f (lost while visible "
              "counted as 0), mean %.3f; lost while visible %d; stopped after the object left %d; "
              "frame-boxes not on their own object (on background or on another object) %d; %.1f ms per object-frame\n",
              kind == video::TrackerKind::csrt ? "csrt" : "kcf", runs, median(ious),
              std::accumulate(ious.begin(), ious.end(), 0.0) / std::max<size_t>(1, ious.size()), lost_visible,
              lost_gone, off_object, 1000.0 * seconds / std::max(1, steps) / std::max<size_t>(1, v.objects.size()));
  return 0;
}

int tracking(const std::string& weights, int imgsz, bool textured) {
  const auto v = scene(textured);
  const cv::Mat back = v.background();
  engine::YOLO model(weights);
  video::ByteTracker byte({}, v.fps);
  bench::IouTracker plain(0.5f, 30);
  std::vector<bench::FrameBoxes> byte_frames, plain_frames;
  int detected = 0, truths = 0;
  for (int i = 0; i < v.frames; ++i) {
    std::vector<TruthBox> truth;
    const cv::Mat frame = v.frame(i, back, &truth);
    const auto r = model.predict_image(
        frame, "scene", {.conf = 0.1f, .imgsz = imgsz, .verbose = false, .slice = {}});
    const auto dets = video::detections_from(r);
    bench::FrameBoxes fb, fp;
    for (const auto& t : truth) {
      fb.truth.emplace_back(t.id, t.box);
      fp.truth.emplace_back(t.id, t.box);
      ++truths;
      detected += std::any_of(dets.begin(), dets.end(),
                              [&](const auto& d) { return d.score >= 0.5f && video::box_iou(d.box, t.box) >= 0.5f; });
    }
    for (const auto& t : byte.update(dets)) fb.hypotheses.emplace_back(t.id, t.box);
    for (const auto& t : plain.update(dets)) fp.hypotheses.emplace_back(t.id, t.box);
    byte_frames.push_back(fb);
    plain_frames.push_back(fp);
  }
  const auto b = bench::score_tracks(byte_frames), p = bench::score_tracks(plain_frames);
  std::printf("tracking (%s shapes, imgsz %d): detector recall at conf 0.5, IoU 0.5: %.3f of %d true boxes\n",
              textured ? "textured" : "flat", imgsz, double(detected) / std::max(1, truths), truths);
  std::printf("  bytetrack   MOTA %.3f  ID switches %d  misses %d  false positives %d\n", b.mota(), b.id_switches,
              b.misses, b.false_positives);
  std::printf("  iou-tracker MOTA %.3f  ID switches %d  misses %d  false positives %d\n", p.mota(), p.id_switches,
              p.misses, p.false_positives);
  return 0;
}

int throughput(const fs::path& work) {
  fs::create_directories(work / "frames");
  auto v = scene(true);
  v.frames = 120;
  const fs::path video_path = work / "scene.mp4";
  if (!v.write(video_path, cv::VideoWriter::fourcc('m', 'p', '4', 'v'))) return 1;
  // The same frames as the video decodes them, as JPEG images.
  {
    video::VideoReader reader;
    reader.open(video_path);
    cv::Mat frame;
    int i = 0;
    while (reader.read(frame)) cv::imwrite((work / "frames" / video::frame_file_name("scene", i++, 6)).string(), frame);
  }
  std::vector<fs::path> images;
  for (const auto& e : fs::directory_iterator(work / "frames")) images.push_back(e.path());
  std::sort(images.begin(), images.end());
  engine::YOLO model("yolov8n.yaml");  // yolov8n's architecture: the published compute
  const engine::PredictOptions options{.conf = 0.25f, .imgsz = 320, .verbose = false, .slice = {}};
  model.predict_image(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(90)), "warm-up", options);
  double best_video = 1e9, best_images = 1e9;
  for (int round = 0; round < 3; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    video::VideoPredictOptions vo;
    vo.predict = options;
    vo.save_dir = work / "video_out";
    const auto report = video::predict_video(model, video_path, vo);
    best_video = std::min(best_video, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (!report.ok()) std::printf("video run: %s\n", report.message().c_str());
    // As `orvane predict source=DIR save=DIR` does: read, predict, draw, write each image.
    fs::create_directories(work / "images_out");
    t0 = std::chrono::steady_clock::now();
    for (const auto& path : images) {
      const auto r = model.predict(path.string(), options).at(0);
      engine::write_image_file(work / "images_out" / path.filename(), r.plot());
    }
    best_images = std::min(best_images, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  const double n = double(images.size());
  std::printf("throughput (640x480, imgsz 320, yolov8n, %zu frames, best of 3): video %.1f frames/s, "
              "images %.1f frames/s, video overhead %+.1f%%\n",
              images.size(), n / best_video, n / best_images, 100.0 * (best_video / best_images - 1));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "scene" && argc > 2) return scene(true).write(argv[2]) ? 0 : 1;
  if (mode == "propagation")
    return propagation(argc > 2 && std::string(argv[2]) == "kcf" ? video::TrackerKind::kcf : video::TrackerKind::csrt);
  if (mode == "tracking" && argc > 3)
    return tracking(argv[2], std::stoi(argv[3]), !(argc > 4 && std::string(argv[4]) == "flat"));
  if (mode == "throughput" && argc > 2) return throughput(argv[2]);
  std::cerr << "usage: video_bench scene OUT | propagation [csrt|kcf] | tracking WEIGHTS IMGSZ [flat] | "
               "throughput WORK_DIR\n";
  return 2;
}
