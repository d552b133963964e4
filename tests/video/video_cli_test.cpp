// The video verbs as a script runs them: `orvane frames` (exit codes and lines), `orvane predict`
// on a video (the annotated video keeps the frame count and rate; one label file per frame) and
// `orvane track` on two discs crossing (the MOT file keeps each disc under one id), with the
// shapes checkpoint of tests/data.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "common/run_orvane.h"
#include "video/frame_extract.h"
#include "video/mot_file.h"
#include "video/synthetic_video.h"
#include "video/video_source.h"

namespace fs = std::filesystem;
using orvane::test::run_orvane;
using orvane::test::SceneObject;
using orvane::test::SyntheticVideo;

namespace {

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

class VideoCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("video_cli_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    weights = fs::path(qEnvironmentVariable("ORVANE_SOURCE_DIR").toStdString()) / "tests/data/weights/yolov8n-shapes.pt";
  }
  void TearDown() override { fs::remove_all(dir); }

  // Two discs of one class passing each other at 20 fps, the size (relative to the picture) the
  // checkpoint learnt.
  SyntheticVideo crossing() const {
    SyntheticVideo video;
    video.size = {192, 144};
    video.fps = 20;
    video.frames = 36;
    SceneObject a, b;
    a.id = 1;
    b.id = 2;
    a.circle = b.circle = true;
    a.radius = b.radius = 22;
    a.colour = {220, 220, 240};
    b.colour = {180, 240, 200};
    // Passing with their outlines overlapping by 8 px mid-way: the detector still sees two
    // discs, and their boxes overlap.
    a.path = {{0, {30, 52}}, {35, {162, 52}}};
    b.path = {{0, {162, 88}}, {35, {30, 88}}};
    video.objects = {a, b};
    return video;
  }

  fs::path dir, weights;
};

int count_frames(const fs::path& path, double* fps = nullptr) {
  orvane::video::VideoReader reader;
  EXPECT_EQ(reader.open(path), "");
  if (fps) *fps = reader.fps();
  cv::Mat frame;
  int n = 0;
  while (reader.read(frame)) ++n;
  return n;
}

TEST_F(VideoCliTest, FramesVerbReportsSkipsAndFailsOnATruncatedVideo) {
  SyntheticVideo video;
  video.size = {128, 96};
  video.frames = 24;
  SceneObject still;
  still.radius = 20;
  still.path = {{0, {20, 48}}, {7, {100, 48}}, {23, {100, 48}}};  // stops at frame 7
  video.objects = {still};
  ASSERT_TRUE(video.write(dir / "cam.avi"));
  auto run = run_orvane("frames", {"source=" + q(dir / "cam.avi"), "out=" + q(dir / "out"), "dedupe=2"});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains("Extracted 8 frames of cam.avi (16 near-duplicates skipped)")) << run.out.toStdString();
  EXPECT_TRUE(fs::exists(dir / "out/cam_000007.jpg"));

  fs::resize_file(dir / "cam.avi", fs::file_size(dir / "cam.avi") / 2);
  run = run_orvane("frames", {"source=" + q(dir / "cam.avi"), "out=" + q(dir / "cut")});
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(run.err.contains("ended early")) << run.err.toStdString();
  EXPECT_TRUE(fs::exists(dir / "cut/frames.json"));
  EXPECT_TRUE(fs::exists(dir / "cut/cam_000000.jpg"));

  run = run_orvane("frames", {"source=" + q(dir / "cam.avi"), "out=" + q(dir / "x"), "step=0"});
  EXPECT_EQ(run.code, 2);
  run = run_orvane("frames", {"source=" + q(dir / "none.mp4"), "out=" + q(dir / "x")});
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(run.err.contains("video not found")) << run.err.toStdString();
}

TEST_F(VideoCliTest, PredictOnAVideoKeepsFrameCountAndRateAndWritesALabelPerFrame) {
  const auto video = crossing();
  ASSERT_TRUE(video.write(dir / "clip.avi"));
  const auto run = run_orvane("predict", {"model=" + q(weights), "source=" + q(dir / "clip.avi"), "imgsz=96",
                                          "save=" + q(dir / "pred"), "save_txt=true"});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  double fps = 0;
  EXPECT_EQ(count_frames(dir / "pred/clip.avi", &fps), video.frames);
  EXPECT_DOUBLE_EQ(fps, 20);
  int labelled = 0;
  for (int i = 0; i < video.frames; ++i) {
    const auto label = dir / "pred" / orvane::video::frame_file_name("clip", i, 6, ".txt");
    ASSERT_TRUE(fs::exists(label)) << label;
    labelled += fs::file_size(label) > 0;
  }
  EXPECT_GT(labelled, video.frames * 3 / 4) << "the shapes checkpoint found the discs in too few frames";
  // Every second frame predicted: still every frame in the video, labels for half.
  const auto strided = run_orvane("predict", {"model=" + q(weights), "source=" + q(dir / "clip.avi"), "imgsz=96",
                                              "save=" + q(dir / "half"), "save_txt=true", "vid_stride=2"});
  ASSERT_EQ(strided.code, 0) << strided.err.toStdString();
  EXPECT_EQ(count_frames(dir / "half/clip.avi"), video.frames);
  EXPECT_TRUE(fs::exists(dir / "half/clip_000002.txt"));
  EXPECT_FALSE(fs::exists(dir / "half/clip_000003.txt"));
  // save= the video's own folder: the annotated video would replace the source.
  const auto size = fs::file_size(dir / "clip.avi");
  const auto same = run_orvane("predict", {"model=" + q(weights), "source=" + q(dir / "clip.avi"), "imgsz=96",
                                           "save=" + q(dir)});
  EXPECT_EQ(same.code, 1);
  EXPECT_TRUE(same.err.contains("would replace the source video")) << same.err.toStdString();
  EXPECT_EQ(fs::file_size(dir / "clip.avi"), size);
}

TEST_F(VideoCliTest, TrackKeepsEachCrossingDiscUnderOneIdInTheMotFile) {
  const auto video = crossing();
  ASSERT_TRUE(video.write(dir / "cross.avi"));
  const auto run = run_orvane("track", {"model=" + q(weights), "source=" + q(dir / "cross.avi"), "imgsz=96",
                                        "tracker=bytetrack", "save=" + q(dir / "out"), "mot=" + q(dir / "cross.txt")});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ(count_frames(dir / "out/cross.avi"), video.frames);
  const auto rows = orvane::video::read_mot(dir / "cross.txt");
  ASSERT_FALSE(rows.empty());
  std::map<int, std::set<int>> ids;  // true id -> track ids it was reported under
  std::map<int, int> matched;
  for (const auto& row : rows) {
    ASSERT_GE(row.frame, 1);
    ASSERT_LE(row.frame, video.frames);
    for (const auto& truth : video.truth_at(row.frame - 1))  // MOT frames count from 1
      if (orvane::test::box_iou(truth.box, row.box) > 0.5) {
        ids[truth.id].insert(row.id);
        ++matched[truth.id];
      }
  }
  ASSERT_EQ(ids.size(), 2u) << "both discs tracked";
  EXPECT_EQ(ids[1].size(), 1u) << "disc 1 changed id";
  EXPECT_EQ(ids[2].size(), 1u) << "disc 2 changed id";
  EXPECT_NE(*ids[1].begin(), *ids[2].begin());
  EXPECT_GT(matched[1], video.frames * 3 / 4);
  EXPECT_GT(matched[2], video.frames * 3 / 4);

  const auto bad = run_orvane("track", {"model=" + q(weights), "source=" + q(dir / "cross.avi"), "tracker=botsort",
                                        "mot=" + q(dir / "x.txt")});
  EXPECT_EQ(bad.code, 2);
}

}  // namespace
