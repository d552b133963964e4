// Labels carried through generated videos with known motion: positions stay on the object,
// outlines move with it, a track whose object leaves or vanishes stops there and is reported;
// keyframe interpolation puts boxes and outlines where linear motion has them.
#include "video/propagation.h"

#include <gtest/gtest.h>

#include "video/synthetic_video.h"

using namespace orvane::video;
using orvane::test::box_iou;
using orvane::test::SceneObject;
using orvane::test::SyntheticVideo;

namespace {

SyntheticVideo moving(int frames, cv::Point2f from, cv::Point2f to, int vanish_at = -1) {
  SyntheticVideo video;
  video.frames = frames;
  SceneObject a;
  a.id = 1;
  a.radius = 24;
  a.colour = {60, 200, 240};
  a.textured = true;
  a.path = {{0, from}, {vanish_at > 0 ? vanish_at - 1 : frames - 1, from + (to - from) * (vanish_at > 0 ? float(vanish_at - 1) / float(frames - 1) : 1.f)}};
  SceneObject b;  // a second object, still, of another colour
  b.id = 2;
  b.circle = true;
  b.radius = 20;
  b.colour = {240, 120, 90};
  b.textured = true;
  b.path = {{0, {260, 200}}, {frames - 1, {260, 200}}};
  video.objects = {a, b};
  return video;
}

TEST(ShapePropagator, FollowsMovingObjectsAndMovesTheirOutlines) {
  const auto video = moving(31, {50, 60}, {230, 150});
  const cv::Mat back = video.background();
  std::vector<orvane::test::TruthBox> truth;
  const cv::Mat first = video.frame(0, back, &truth);
  ASSERT_EQ(truth.size(), 2u);
  // Shape 10: a diamond inside the square; shape 20: the disc as a plain box.
  const auto& sq = truth[0].box;
  const cv::Point2f c(sq.x + sq.width / 2, sq.y + sq.height / 2);
  std::vector<CarriedShape> shapes{{10, sq, {{c.x, sq.y}, {sq.x + sq.width, c.y}, {c.x, sq.y + sq.height}, {sq.x, c.y}}},
                                   {20, truth[1].box, {}}};
  ShapePropagator propagator;
  propagator.start(first, shapes);
  for (int i = 1; i < video.frames; ++i) {
    std::vector<orvane::test::TruthBox> now;
    const auto step = propagator.next(video.frame(i, back, &now));
    ASSERT_TRUE(step.lost.empty()) << "lost at frame " << i;
    ASSERT_EQ(step.shapes.size(), 2u);
    EXPECT_GT(box_iou(step.shapes[0].box, now[0].box), 0.7) << "frame " << i;
    EXPECT_GT(box_iou(step.shapes[1].box, now[1].box), 0.7) << "frame " << i;
    // The diamond's top vertex stays at the top middle of the square.
    const auto& t = now[0].box;
    EXPECT_NEAR(step.shapes[0].polygon[0].x, t.x + t.width / 2, 4.0) << "frame " << i;
    EXPECT_NEAR(step.shapes[0].polygon[0].y, t.y, 4.0) << "frame " << i;
    EXPECT_TRUE(step.shapes[1].polygon.empty());
    EXPECT_EQ(step.shapes[0].key, 10);
  }
}

TEST(ShapePropagator, ATrackStopsWhenItsObjectLeavesOrVanishes) {
  for (const bool vanish : {false, true}) {
    // Leaving: the square runs off the right edge. Vanishing: it is gone from frame 12 on.
    const auto video = vanish ? moving(24, {60, 60}, {200, 60}, 12) : moving(24, {200, 60}, {400, 60});
    const cv::Mat back = video.background();
    std::vector<orvane::test::TruthBox> truth;
    const cv::Mat first = video.frame(0, back, &truth);
    ShapePropagator propagator;
    propagator.start(first, {{1, truth[0].box, {}}, {2, truth[1].box, {}}});
    int lost_at = -1;
    for (int i = 1; i < video.frames; ++i) {
      std::vector<orvane::test::TruthBox> now;
      const auto step = propagator.next(video.frame(i, back, &now));
      for (int key : step.lost) {
        EXPECT_EQ(key, 1) << "the still disc was lost";
        lost_at = i;
      }
      for (const auto& s : step.shapes) {
        if (s.key != 1) continue;
        // While it is followed, the box is on the square, never on background.
        bool on_object = false;
        for (const auto& t : now) on_object |= t.id == 1 && box_iou(s.box, t.box) > 0.3;
        EXPECT_TRUE(on_object) << (vanish ? "vanish" : "leave") << " frame " << i;
      }
    }
    ASSERT_GT(lost_at, 0) << (vanish ? "vanish" : "leave") << ": never reported lost";
    if (vanish) {
      EXPECT_LE(lost_at, 13);
    }
    EXPECT_EQ(propagator.following(), 1);
  }
}

TEST(Interpolation, BoxesAndOutlinesMoveLinearlyBetweenKeyframes) {
  const auto mid = interpolate_box({0, 0, 10, 10}, {100, 50, 30, 10}, 0.25);
  EXPECT_FLOAT_EQ(mid.x, 25);
  EXPECT_FLOAT_EQ(mid.y, 12.5f);
  EXPECT_FLOAT_EQ(mid.width, 15);

  // The same triangle moved by (40, 0), its vertices listed from another start: no twist.
  KeyShape a{0, {{0, 0}, {10, 0}, {5, 8}}, false};
  KeyShape b{0, {{45, 8}, {40, 0}, {50, 0}}, false};
  bool by_box = true;
  const auto half = interpolate_shape(a, b, 0.5, &by_box);
  EXPECT_FALSE(by_box);
  ASSERT_EQ(half.polygon.size(), 3u);
  EXPECT_NEAR(half.polygon[0].x, 20, 1e-4);
  EXPECT_NEAR(half.polygon[2].x, 25, 1e-4);
  EXPECT_NEAR(half.polygon[2].y, 8, 1e-4);

  // Different vertex counts: interpolated by their boxes, and said so.
  KeyShape quad{0, {{0, 0}, {10, 0}, {10, 10}, {0, 10}}, true};
  const auto by_boxes = interpolate_shape(a, quad, 0.5, &by_box);
  EXPECT_TRUE(by_box);
  EXPECT_TRUE(by_boxes.box);
  EXPECT_EQ(by_boxes.polygon.size(), 4u);
}

TEST(Interpolation, KeyframeShapesPairByClassAndNearestCentre) {
  auto box = [](int cls, float x) { return KeyShape{cls, {{x, 0}, {x + 10, 0}, {x + 10, 10}, {x, 10}}, true}; };
  // Frame a: cat at 0, dog at 100, cat at 200. Frame b: cat at 210, cat at 10, bird at 100.
  const auto pairs = pair_keyframe_shapes({box(0, 0), box(1, 100), box(0, 200)}, {box(0, 210), box(0, 10), box(2, 100)});
  EXPECT_EQ(pairs, (std::vector<std::pair<int, int>>{{0, 1}, {2, 0}}));
}

}  // namespace
