// ByteTrack on known boxes: the assignment is optimal and honours its threshold, ids survive a
// crossing, a weak (occluded) detection keeps its track through the second round, and a lost
// track comes back under its id within the buffer and not after it. MOT lines round-trip.
#include "video/byte_tracker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "video/mot_file.h"
#include "video/synthetic_video.h"

namespace fs = std::filesystem;
using namespace orvane::video;
using orvane::test::SceneObject;
using orvane::test::SyntheticVideo;

namespace {

TEST(LinearAssignment, FindsTheOptimumNotTheGreedyPickAndLeavesCostlyPairsOut) {
  // Greedy would take (0,0) at 0.1 and be left with (1,1) at 0.9; the optimum is 0.2 + 0.3.
  const std::vector<std::vector<float>> cost{{0.1f, 0.2f}, {0.3f, 0.9f}};
  EXPECT_EQ(linear_assignment(cost, 1.0f), (std::vector<std::pair<int, int>>{{0, 1}, {1, 0}}));
  // Above the threshold a pair is not made even when it is the only one left.
  EXPECT_EQ(linear_assignment({{0.1f, 0.95f}, {0.95f, 0.9f}}, 0.8f), (std::vector<std::pair<int, int>>{{0, 0}}));
  // Rectangular both ways, and empty.
  EXPECT_EQ(linear_assignment({{0.5f, 0.1f, 0.7f}}, 0.8f), (std::vector<std::pair<int, int>>{{0, 1}}));
  EXPECT_EQ(linear_assignment({{0.5f}, {0.1f}, {0.7f}}, 0.8f), (std::vector<std::pair<int, int>>{{1, 0}}));
  EXPECT_TRUE(linear_assignment({}, 0.8f).empty());
}

TEST(KalmanBoxFilter, LearnsAConstantVelocity) {
  KalmanBoxFilter::State mean;
  KalmanBoxFilter::Covariance cov;
  KalmanBoxFilter::initiate({100, 50, 1, 40}, mean, cov);
  for (int i = 1; i <= 20; ++i) {
    KalmanBoxFilter::predict(mean, cov);
    KalmanBoxFilter::update(mean, cov, {100.f + 5 * i, 50, 1, 40});
  }
  KalmanBoxFilter::predict(mean, cov);
  EXPECT_NEAR(mean(0), 205, 1.0);  // where the next frame will have it
  EXPECT_NEAR(mean(4), 5, 0.3);
  EXPECT_NEAR(mean(3), 40, 0.5);
}

// Per true id, the set of track ids it was given over the video (a swap or a restart shows as
// two ids for one object).
std::map<int, std::set<int>> ids_per_object(const SyntheticVideo& video, ByteTracker& tracker,
                                            const std::function<float(int frame, int id)>& score,
                                            std::map<int, int>* frames_tracked = nullptr) {
  std::map<int, std::set<int>> ids;
  for (int f = 0; f < video.frames; ++f) {
    const auto truth = video.truth_at(f);
    std::vector<Detection> dets;
    for (const auto& t : truth) {
      const float s = score(f, t.id);
      if (s > 0) dets.push_back({t.box, s, t.cls});
    }
    for (const auto& track : tracker.update(dets)) {
      // The object the track's box covers best, if it covers one at all.
      const orvane::test::TruthBox* best = nullptr;
      double best_iou = 0.5;
      for (const auto& t : truth) {
        const double iou = orvane::test::box_iou(t.box, track.box);
        if (iou > best_iou) best_iou = iou, best = &t;
      }
      if (!best) continue;
      ids[best->id].insert(track.id);
      if (frames_tracked) ++(*frames_tracked)[best->id];
    }
  }
  return ids;
}

SyntheticVideo crossing(int frames = 50) {
  SyntheticVideo video;
  video.frames = frames;
  SceneObject a, b;
  a.id = 1;
  b.id = 2;
  a.radius = b.radius = 20;
  a.path = {{0, {40, 110}}, {frames - 1, {280, 130}}};
  b.path = {{0, {280, 130}}, {frames - 1, {40, 110}}};  // an X: they overlap mid-way
  video.objects = {a, b};
  return video;
}

TEST(ByteTracker, TwoObjectsCrossingKeepTheirIds) {
  const auto video = crossing();
  ByteTracker tracker({}, video.fps);
  const auto ids = ids_per_object(video, tracker, [](int, int) { return 0.9f; });
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids.at(1).size(), 1u) << "object 1 changed id";
  EXPECT_EQ(ids.at(2).size(), 1u) << "object 2 changed id";
  EXPECT_NE(*ids.at(1).begin(), *ids.at(2).begin());
}

TEST(ByteTracker, AWeakDetectionKeepsItsTrackThroughTheSecondRound) {
  const auto video = crossing();
  // Object 2 is half hidden for frames 15-30: its detector confidence drops to 0.3, below the
  // first round's threshold but above the second's.
  auto score = [](int f, int id) { return id == 2 && f >= 15 && f <= 30 ? 0.3f : 0.9f; };
  ByteTracker byte({}, video.fps);
  std::map<int, int> tracked;
  const auto ids = ids_per_object(video, byte, score, &tracked);
  EXPECT_EQ(ids.at(2).size(), 1u);
  EXPECT_EQ(tracked.at(2), video.frames);  // reported in every frame, the weak ones included

  // Without the second round (low threshold above the weak score), the track is lost.
  ByteTrackOptions high_only;
  high_only.track_low_thresh = 0.5f;
  ByteTracker plain(high_only, video.fps);
  std::map<int, int> plain_tracked;
  ids_per_object(video, plain, score, &plain_tracked);
  EXPECT_LT(plain_tracked.at(2), video.frames - 10);
}

TEST(ByteTracker, ALostTrackReturnsUnderItsIdWithinTheBufferOnly) {
  SyntheticVideo video;
  video.frames = 120;
  SceneObject a;
  a.id = 1;
  a.path = {{0, {40, 120}}, {119, {280, 120}}};
  video.objects = {a};
  // Missed for 10 frames (within a 30-frame buffer), then for 40 (beyond it).
  auto score = [](int f, int) { return (f >= 20 && f < 30) || (f >= 60 && f < 100) ? 0.f : 0.9f; };
  ByteTracker tracker({}, 30);
  const auto ids = ids_per_object(video, tracker, score);
  ASSERT_EQ(ids.at(1).size(), 2u);  // one id until frame 60, a new one after the long gap
  ByteTracker again({}, 30);
  SyntheticVideo shorter = video;
  shorter.frames = 60;
  EXPECT_EQ(ids_per_object(shorter, again, score).at(1).size(), 1u);
}

TEST(ByteTracker, NoisyDetectionsDoNotStartTracks) {
  ByteTracker tracker;
  // A lone 0.55 box is below the new-track threshold; a 0.7 box starts a track confirmed in the
  // first frame; a track born later needs a second frame to be reported.
  auto out = tracker.update({{{10, 10, 20, 20}, 0.55f, 0}, {{100, 10, 20, 20}, 0.7f, 0}});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].id, 1);
  out = tracker.update({{{100, 10, 20, 20}, 0.7f, 0}, {{200, 100, 20, 20}, 0.9f, 1}});
  EXPECT_EQ(out.size(), 1u);
  out = tracker.update({{{100, 10, 20, 20}, 0.7f, 0}, {{201, 100, 20, 20}, 0.9f, 1}});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].cls, 1);
}

TEST(MotFile, LinesAreFrameIdPixelBoxConfAndReadBack) {
  const Track t{7, {10.5f, 20.f, 30.25f, 40.f}, 0.875f, 0};
  EXPECT_EQ(mot_line(3, t), "3,7,10.50,20.00,30.25,40.00,0.8750,-1,-1,-1");
  const auto dir = fs::temp_directory_path() / "mot_file_test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  {
    MotWriter writer;
    ASSERT_EQ(writer.open(dir / "tracks.txt"), "");
    writer.write(1, {t});
    writer.write(2, {t, Track{8, {0, 0, 5, 5}, 0.5f, 1}});
    // Not there under its name until finished.
    EXPECT_FALSE(fs::exists(dir / "tracks.txt"));
    ASSERT_EQ(writer.finish(), "");
  }
  int bad = -1;
  const auto rows = read_mot(dir / "tracks.txt", &bad);
  EXPECT_EQ(bad, 0);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].frame, 2);
  EXPECT_EQ(rows[2].id, 8);
  EXPECT_FLOAT_EQ(rows[0].box.width, 30.25f);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no partial left
  fs::remove_all(dir);
}

}  // namespace
