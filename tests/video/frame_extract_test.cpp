// Frames cut from generated videos: which indices step= and fps= keep, the names and
// frames.json, near-duplicates skipped over a static stretch, and videos that cannot be opened
// or end early (what was extracted stays, and the outcome says so).
#include "video/frame_extract.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "video/synthetic_video.h"
#include "video/video_source.h"

namespace fs = std::filesystem;
using namespace orvane::video;
using orvane::test::SceneObject;
using orvane::test::SyntheticVideo;

namespace {

std::vector<int> indices(const FrameReport& report) {
  std::vector<int> out;
  for (const auto& f : report.frames) out.push_back(f.index);
  return out;
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class FrameExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("frames_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // 30 frames at 25 fps: a disc moves 12 px a frame up to frame 9, stands there until frame 19
  // (frames 10-19 repeat frame 9: a static camera over an idle scene), and moves again.
  fs::path stretch_video(const std::string& name = "clip.avi", int frames = 30) {
    SyntheticVideo video;
    video.size = {192, 144};
    video.frames = frames;
    SceneObject disc;
    disc.circle = true;
    disc.radius = 28;
    disc.path = {{0, {30, 72}}, {9, {138, 72}}, {19, {138, 72}}, {29, {30, 40}}};
    video.objects = {disc};
    const auto path = dir / name;
    EXPECT_TRUE(video.write(path));
    return path;
  }

  fs::path dir;
};

TEST(FrameNames, IndexIsZeroPaddedAndReadBack) {
  EXPECT_EQ(frame_file_name("clip", 42, 6), "clip_000042.jpg");
  EXPECT_EQ(frame_index_digits(30), 6);
  EXPECT_EQ(frame_index_digits(1000000), 6);    // indices 0..999999
  EXPECT_EQ(frame_index_digits(1000001), 7);
  EXPECT_EQ(frame_index_from_name("clip_000042.jpg"), 42);
  EXPECT_EQ(frame_index_from_name("my_clip_2_000007.jpg"), 7);
  EXPECT_FALSE(frame_index_from_name("photo.jpg").has_value());
  EXPECT_FALSE(frame_index_from_name("clip_12a.jpg").has_value());
}

TEST(FrameSelection, StepAndTargetRate) {
  struct Case {
    FrameOptions options;
    double video_fps;
    int frames;
    std::vector<int> kept;
  };
  const std::vector<Case> cases{
      {{.step = 3}, 25, 10, {0, 3, 6, 9}},
      {{.step = 1}, 25, 4, {0, 1, 2, 3}},
      {{.step = 1, .fps = 10}, 30, 10, {0, 3, 6, 9}},        // exact thirds stay on their frame
      {{.step = 1, .fps = 10}, 25, 11, {0, 3, 5, 8, 10}},    // the first frame of each 0.1 s
      {{.step = 7, .fps = 50}, 25, 4, {0, 1, 2, 3}},         // faster than the video: every frame
  };
  for (const auto& c : cases) {
    FrameSelector selector(c.options, c.video_fps);
    std::vector<int> kept;
    for (int i = 0; i < c.frames; ++i)
      if (selector.keep(i)) kept.push_back(i);
    EXPECT_EQ(kept, c.kept) << "step " << c.options.step << " fps " << c.options.fps << " of " << c.video_fps;
  }
}

TEST_F(FrameExtractTest, StepNamesFilesByFrameIndexAndRecordsThemInFramesJson) {
  const auto source = stretch_video();
  const auto report = extract_frames(source, dir / "out", {.step = 4});
  ASSERT_TRUE(report.ok()) << report.message();
  EXPECT_EQ(indices(report), (std::vector<int>{0, 4, 8, 12, 16, 20, 24, 28}));
  EXPECT_EQ(report.frames_read, 30);
  for (const auto& f : report.frames) {
    EXPECT_TRUE(fs::exists(dir / "out" / f.file)) << f.file;
    EXPECT_DOUBLE_EQ(f.time, f.index / 25.0);
  }
  EXPECT_EQ(report.frames[2].file, "clip_000008.jpg");
  const auto json = read_text(dir / "out" / "frames.json");
  EXPECT_NE(json.find("\"fps\": 25"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"file\": \"clip_000028.jpg\", \"index\": 28, \"time\": 1.120000}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"complete\": true"), std::string::npos);
  // Only the frames and frames.json: no temporaries left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 9);
}

TEST_F(FrameExtractTest, TargetRateKeepsTheFirstFrameOfEachPeriod) {
  const auto report = extract_frames(stretch_video(), dir / "out", {.fps = 5});
  ASSERT_TRUE(report.ok()) << report.message();
  EXPECT_EQ(indices(report), (std::vector<int>{0, 5, 10, 15, 20, 25}));
}

TEST_F(FrameExtractTest, DedupeSkipsTheStaticStretchOnlyAndCountsIt) {
  const auto source = stretch_video();
  const auto all = extract_frames(source, dir / "all", {.dedupe = 0});
  EXPECT_EQ(all.frames.size(), 30u);
  EXPECT_EQ(all.skipped_duplicates, 0);

  const auto report = extract_frames(source, dir / "out", {.dedupe = 2});
  ASSERT_TRUE(report.ok()) << report.message();
  // Frames 10-19 repeat frame 9; every moving frame is new.
  EXPECT_EQ(report.skipped_duplicates, 10);
  std::vector<int> expected;
  for (int i = 0; i < 30; ++i)
    if (i <= 9 || i >= 20) expected.push_back(i);
  EXPECT_EQ(indices(report), expected);
  EXPECT_NE(report.message().find("10 near-duplicates skipped"), std::string::npos) << report.message();
  EXPECT_FALSE(fs::exists(dir / "out" / "clip_000015.jpg"));
  EXPECT_NE(read_text(dir / "out" / "frames.json").find("\"skipped_duplicates\": 10"), std::string::npos);
}

TEST_F(FrameExtractTest, TruncatedVideoKeepsWhatDecodedAndSaysItEndedEarly) {
  const auto source = stretch_video("long.avi", 40);
  fs::resize_file(source, fs::file_size(source) / 2);
  const auto report = extract_frames(source, dir / "out", {});
  EXPECT_FALSE(report.ok());
  EXPECT_TRUE(report.ended_early);
  EXPECT_TRUE(report.error.empty());
  EXPECT_GT(report.frames.size(), 5u);
  EXPECT_LT(report.frames.size(), 40u);
  EXPECT_NE(report.message().find("ended early"), std::string::npos) << report.message();
  // Every file listed is whole and on disk; frames.json says the set is incomplete.
  for (const auto& f : report.frames) EXPECT_GT(fs::file_size(dir / "out" / f.file), 0u);
  const auto json = read_text(dir / "out" / "frames.json");
  EXPECT_NE(json.find("\"complete\": false"), std::string::npos);
  EXPECT_NE(json.find("\"frame_count\": 40"), std::string::npos);
}

TEST_F(FrameExtractTest, NotAVideoGivesOneClearLineAndWritesNothing) {
  std::ofstream(dir / "notes.mp4") << "this is not a video";
  const auto report = extract_frames(dir / "notes.mp4", dir / "out", {});
  EXPECT_FALSE(report.ok());
  EXPECT_NE(report.message().find("cannot open video"), std::string::npos) << report.message();
  EXPECT_FALSE(fs::exists(dir / "out"));
  const auto missing = extract_frames(dir / "nowhere.avi", dir / "out", {});
  EXPECT_NE(missing.message().find("not found"), std::string::npos) << missing.message();
}

TEST_F(FrameExtractTest, CancelKeepsTheFramesWrittenAndListsThem) {
  int calls = 0;
  const auto report = extract_frames(stretch_video(), dir / "out", {},
                                     [&](int, int total) {
                                       EXPECT_EQ(total, 30);
                                       return ++calls < 5;
                                     });
  EXPECT_TRUE(report.cancelled);
  EXPECT_EQ(report.frames.size(), 5u);
  const auto json = read_text(dir / "out" / "frames.json");
  EXPECT_NE(json.find("clip_000004.jpg"), std::string::npos);
  EXPECT_EQ(json.find("clip_000005.jpg"), std::string::npos);
}

TEST_F(FrameExtractTest, ReaderSeeksToAnExactFrame) {
  SyntheticVideo video;
  video.size = {64, 48};
  video.frames = 80;
  const auto path = dir / "seek.avi";
  // The frame number written into the frame's brightness, so the frame read tells its index.
  cv::VideoWriter writer(path.string(), cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, video.size);
  for (int i = 0; i < video.frames; ++i) writer.write(cv::Mat(video.size, CV_8UC3, cv::Scalar::all(i * 3)));
  writer.release();
  VideoReader reader;
  ASSERT_EQ(reader.open(path), "");
  cv::Mat frame;
  for (int target : {70, 5, 6, 40, 0}) {
    ASSERT_TRUE(reader.seek(target));
    ASSERT_TRUE(reader.read(frame));
    EXPECT_NEAR(cv::mean(frame)[0], target * 3, 1.5) << "seek " << target;
  }
  EXPECT_FALSE(reader.seek(200));
}

}  // namespace
