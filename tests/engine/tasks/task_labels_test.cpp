// The training label reader for oriented boxes and keypoints: the data set's schema decides what
// a line is, a line of another shape spoils its file with a reason and a line number, and the
// slips detection mends (a hair outside the picture, duplicates, no area) are mended alike.

#include <gtest/gtest.h>

#include "engine/data/labels.h"

namespace orvane::engine {
namespace {

LabelSchema obb() { return {LabelSchema::Kind::obb, {}}; }
LabelSchema pose(int count, int dims) { return {LabelSchema::Kind::pose, {count, dims}}; }

std::string fault_of(const LabelFile& f) { return f.fault ? f.fault->message : ""; }

// A label text and what its fault message must say.
struct FaultCase {
  const char* text;
  const char* message;
};

TEST(TaskLabels, OrientedBoxesKeepTheirCornersInOrder) {
  // A diamond (a square turned 45 degrees) and, one line on, a box a hair outside the picture.
  const auto f = parse_training_labels(
      "1 0.5 0.2 0.8 0.5 0.5 0.8 0.2 0.5\n0 0.1 0.1 0.3 0.1 0.3 1.004 0.1 1.004\n", 2, obb());
  ASSERT_FALSE(f.fault) << fault_of(f);
  ASSERT_EQ(f.instances.size(), 2u);
  const Instance& diamond = f.instances[0];
  EXPECT_EQ(diamond.cls, 1);
  ASSERT_EQ(diamond.corners.size(), 4u);
  EXPECT_FLOAT_EQ(diamond.corners[1].x, 0.8f);
  EXPECT_FLOAT_EQ(diamond.corners[3].y, 0.5f);
  EXPECT_NEAR(diamond.box.x, 0.2, 1e-6);
  EXPECT_NEAR(diamond.box.width, 0.6, 1e-6);
  EXPECT_NEAR(diamond.box.height, 0.6, 1e-6);
  EXPECT_TRUE(diamond.polygon.empty());
  EXPECT_EQ(f.clipped, 1);
  EXPECT_FLOAT_EQ(f.instances[1].corners[2].y, 1.0f);

  // The same line in a segmentation set is a four-point polygon: the set decides.
  const auto as_polygon = parse_training_labels("1 0.5 0.2 0.8 0.5 0.5 0.8 0.2 0.5", 2);
  ASSERT_EQ(as_polygon.instances.size(), 1u);
  EXPECT_EQ(as_polygon.instances[0].polygon.size(), 4u);
  EXPECT_TRUE(as_polygon.instances[0].corners.empty());
}

TEST(TaskLabels, OrientedBoxLinesOfAnotherShapeSpoilTheFile) {
  const FaultCase cases[] = {
      {"0 0.1 0.1 0.2 0.1 0.2 0.2 0.1 0.2\n0 0.5 0.5 0.2 0.2\n",
       "takes 8 values (4 corners), the line has 4 (line 2)"},
      {"0 0.1 0.1 0.2 0.1 0.2 0.2 0.1 0.2 0.1 0.15\n", "the line has 10 (line 1)"},
      {"0 0.1 0.1 0.2 0.1 0.2 1.2 0.1 0.2\n", "out of bounds coordinate 1.2 (line 1)"},
      {"3 0.1 0.1 0.2 0.1 0.2 0.2 0.1 0.2\n", "exceeds dataset class count 2 (line 1)"},
      {"0 0.1 0.1 0.2 0.1 nan 0.2 0.1 0.2\n", "out of bounds coordinate nan (line 1)"},
  };
  for (const auto& c : cases) {
    const auto f = parse_training_labels(c.text, 2, obb());
    ASSERT_TRUE(f.fault) << c.text;
    EXPECT_TRUE(f.instances.empty());
    EXPECT_NE(fault_of(f).find(c.message), std::string::npos) << fault_of(f);
  }
}

TEST(TaskLabels, OrientedBoxesWithoutAreaAndRepeatsAreDropped) {
  // Four corners on one slanted line enclose nothing; its bounding box alone would not show it.
  const auto f = parse_training_labels(
      "0 0.1 0.1 0.2 0.2 0.3 0.3 0.4 0.4\n"
      "0 0.1 0.1 0.2 0.1 0.2 0.2 0.1 0.2\n"
      "0 0.1 0.1 0.2 0.1 0.2 0.2 0.1 0.2\n",
      1, obb());
  ASSERT_FALSE(f.fault) << fault_of(f);
  EXPECT_EQ(f.instances.size(), 1u);
  EXPECT_EQ(f.no_area, 1);
  EXPECT_EQ(f.duplicates, 1);
}

TEST(TaskLabels, PoseLinesGiveTheBoxAndEveryKeypoint) {
  // Three keypoints: visible, hidden, not labelled (anything may stand there: it is set to 0 0);
  // the hidden one a hair outside the picture is clipped.
  const auto f =
      parse_training_labels("0 0.5 0.5 0.4 0.6 0.4 0.3 2 1.005 0.7 1 0.9 0.9 0\n", 1, pose(3, 3));
  ASSERT_FALSE(f.fault) << fault_of(f);
  ASSERT_EQ(f.instances.size(), 1u);
  const Instance& p = f.instances[0];
  EXPECT_NEAR(p.box.x, 0.3, 1e-6);
  EXPECT_NEAR(p.box.height, 0.6, 1e-6);
  ASSERT_EQ(p.keypoints.size(), 3u);
  EXPECT_DOUBLE_EQ(p.keypoints[0].x, 0.4);
  EXPECT_EQ(p.keypoints[0].visibility, 2);
  EXPECT_DOUBLE_EQ(p.keypoints[1].x, 1.0);
  EXPECT_EQ(p.keypoints[1].visibility, 1);
  EXPECT_EQ(p.keypoints[2].visibility, 0);
  EXPECT_DOUBLE_EQ(p.keypoints[2].x, 0.0);
  EXPECT_EQ(f.clipped, 1);

  // Two numbers per keypoint: every keypoint counts as visible.
  const auto xy = parse_training_labels("0 0.5 0.5 0.4 0.6 0.4 0.3 0.6 0.7\n", 1, pose(2, 2));
  ASSERT_FALSE(xy.fault) << fault_of(xy);
  EXPECT_EQ(xy.instances[0].keypoints[1].visibility, 2);
  EXPECT_DOUBLE_EQ(xy.instances[0].keypoints[1].y, 0.7);
}

TEST(TaskLabels, PoseLinesOfAnotherShapeSpoilTheFile) {
  const FaultCase cases[] = {
      {"0 0.5 0.5 0.4 0.6\n", "takes 4 + 2 x 3 = 10 values (kpt_shape), the line has 4 (line 1)"},
      {"0 0.5 0.5 0.4 0.6 0.4 0.3 2 0.6 0.7 2\n0 0.5 0.5 0.4 0.6 0.4 0.3 2 0.6 0.7 3\n",
       "visibility other than 0, 1 or 2 (line 2)"},
      {"0 0.5 0.5 0.4 0.6 0.4 0.3 2 0.6 1.7 1\n", "out of bounds coordinate 1.7 (line 1)"},
      {"0 0.5 1.5 0.4 0.6 0.4 0.3 2 0.6 0.7 1\n", "out of bounds coordinate 1.5 (line 1)"},
  };
  for (const auto& c : cases) {
    const auto f = parse_training_labels(c.text, 1, pose(2, 3));
    ASSERT_TRUE(f.fault) << c.text;
    EXPECT_NE(fault_of(f).find(c.message), std::string::npos) << fault_of(f);
  }
  // A keypoint that is not labelled is not checked: writers leave whatever stood there.
  EXPECT_FALSE(parse_training_labels("0 0.5 0.5 0.4 0.6 0.4 0.3 2 -5 7 0\n", 1, pose(2, 3)).fault);
  // A schema that cannot be is the file's fault, not a crash.
  EXPECT_TRUE(parse_training_labels("0 0.5 0.5 0.4 0.6\n", 1, pose(0, 3)).fault);
}

}  // namespace
}  // namespace orvane::engine
