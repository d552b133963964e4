// Oriented-box and pose label lines: what reads, what is refused, and that writing gives lines
// that read back as the same shape.

#include <gtest/gtest.h>

#include "files/label_format.h"

namespace orvane::files {
namespace {

TEST(ObbLine, ReadsExactlyFourCorners) {
  const auto obb = parse_obb(parse_label_line("3 0.1 0.2 0.5 0.2 0.5 0.6 0.1 0.6"));
  ASSERT_TRUE(obb);
  EXPECT_EQ(*obb, (std::vector<double>{0.1, 0.2, 0.5, 0.2, 0.5, 0.6, 0.1, 0.6}));
  for (const char* bad : {"3 0.1 0.2 0.5 0.2 0.5 0.6 0.1",              // seven numbers
                          "3 0.1 0.2 0.5 0.2 0.5 0.6 0.1 0.6 0.3 0.3",  // five corners
                          "3 0.5 0.5 0.2 0.2",                          // a box
                          "3 0.1 0.2 0.5 0.2 0.5 nan 0.1 0.6", "3 0.1 0.2 0.5 0.2 0.5 x 0.1 0.6"})
    EXPECT_FALSE(parse_obb(parse_label_line(bad))) << bad;
}

TEST(ObbLine, WritesFourCornersClampedAndPadded) {
  EXPECT_EQ(format_obb_line(1, {0.1, 0.2, 1.5, 0.2, 0.5, -0.25, 0.1, 0.6}),
            "1 0.100000 0.200000 1.000000 0.200000 0.500000 0.000000 0.100000 0.600000");
  EXPECT_EQ(format_obb_line(0, {0.5, 0.5}),
            "0 0.500000 0.500000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000");
  EXPECT_TRUE(parse_obb(parse_label_line(format_obb_line(7, {}))));
}

TEST(PoseLine, ReadsBothKeypointForms) {
  const KeypointShape three{2, 3}, two{2, 2};
  const auto pose = parse_pose(parse_label_line("0 0.5 0.5 0.4 0.6 0.3 0.2 2 0 0 0.000000"), three);
  ASSERT_TRUE(pose);
  EXPECT_DOUBLE_EQ(pose->w, 0.4);
  ASSERT_EQ(pose->keypoints.size(), 2u);
  EXPECT_EQ(pose->keypoints[0].visibility, 2);
  EXPECT_DOUBLE_EQ(pose->keypoints[0].y, 0.2);
  EXPECT_EQ(pose->keypoints[1].visibility, 0);
  // Two numbers per keypoint: every keypoint is visible.
  const auto xy = parse_pose(parse_label_line("0 0.5 0.5 0.4 0.6 0.3 0.2 0.7 0.8"), two);
  ASSERT_TRUE(xy);
  EXPECT_EQ(xy->keypoints[1].visibility, 2);
  EXPECT_DOUBLE_EQ(xy->keypoints[1].x, 0.7);
  // The same numbers under the other shape are the wrong count.
  EXPECT_FALSE(parse_pose(parse_label_line("0 0.5 0.5 0.4 0.6 0.3 0.2 0.7 0.8"), three));
}

TEST(PoseLine, RefusesWhatIsNotAPose) {
  const KeypointShape shape{1, 3};
  for (const char* bad : {"0 0.5 0.5 0.4 0.6 0.3 0.2 3",    // visibility 3
                          "0 0.5 0.5 0.4 0.6 0.3 0.2 1.5",  // visibility not whole
                          "0 0.5 0.5 0.4 0.6 0.3 0.2",      // visibility missing
                          "0 0.5 0.5 0.4 0.6 0.3 inf 2", "0 0.5 0.5 0.4 0.6 0.3 0.2 2 0"})
    EXPECT_FALSE(parse_pose(parse_label_line(bad), shape)) << bad;
  EXPECT_FALSE(parse_pose(parse_label_line("0 0.5 0.5 0.4 0.6"), KeypointShape{0, 3}));
}

TEST(PoseLine, WritesTheDataSetsShape) {
  PoseLabel pose{0.5, 0.5, 0.25, 0.75, {{0.1, 0.2, 2}, {0.3, 0.4, 0}, {1.2, 0.5, 1}}};
  // Not labelled: written at 0 0; outside the image: clamped; a missing fourth: not labelled.
  EXPECT_EQ(format_pose_line(2, pose, {4, 3}),
            "2 0.500000 0.500000 0.250000 0.750000 0.100000 0.200000 2 0.000000 0.000000 0 "
            "1.000000 0.500000 1 0.000000 0.000000 0");
  EXPECT_EQ(format_pose_line(2, pose, {1, 2}),
            "2 0.500000 0.500000 0.250000 0.750000 0.100000 0.200000");
  const auto back = parse_pose(parse_label_line(format_pose_line(2, pose, {4, 3})), {4, 3});
  ASSERT_TRUE(back);
  EXPECT_EQ(back->keypoints[2].visibility, 1);
  EXPECT_EQ(back->keypoints[3].visibility, 0);
}

TEST(KeypointShape, ProblemsAreNamed) {
  EXPECT_EQ(KeypointShape({17, 3}).problem(), "");
  EXPECT_NE(KeypointShape({17, 4}).problem(), "");
  EXPECT_NE(KeypointShape({0, 2}).problem(), "");
  EXPECT_EQ(flip_idx_problem({1, 0, 2}, 3), "");
  EXPECT_NE(flip_idx_problem({1, 0}, 3).find("lists 2"), std::string::npos);
  EXPECT_NE(flip_idx_problem({1, 1, 2}, 3).find("twice"), std::string::npos);
  EXPECT_NE(flip_idx_problem({0, 3, 1}, 3).find("keypoint 3"), std::string::npos);
}

}  // namespace
}  // namespace orvane::files
