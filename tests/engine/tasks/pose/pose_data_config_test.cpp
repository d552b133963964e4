// data.yaml of a pose set: kpt_shape and flip_idx read and checked before any label is.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/data/data_config.h"
#include "engine/error.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;

class PoseDataConfigTest : public ::testing::Test {
 protected:
  fs::path root = fs::temp_directory_path() / "orvane_pose_data_config_test";
  void SetUp() override { fs::create_directories(root / "images"); }
  void TearDown() override { fs::remove_all(root); }
  DataConfig load(const std::string& extra) {
    std::ofstream(root / "data.yaml") << "train: images\nval: images\nnames: [tool]\n" << extra;
    return load_data_config(root / "data.yaml");
  }
  std::string error_of(const std::string& extra) {
    try {
      load(extra);
    } catch (const EngineError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(PoseDataConfigTest, ReadsTheKeypointKeys) {
  const auto plain = load("");
  EXPECT_FALSE(plain.kpt_shape);
  const auto pose = load("kpt_shape: [4, 3]\nflip_idx: [1, 0, 3, 2]\n");
  ASSERT_TRUE(pose.kpt_shape);
  EXPECT_EQ(pose.kpt_shape->count, 4);
  EXPECT_EQ(pose.kpt_shape->dims, 3);
  EXPECT_EQ(pose.flip_idx, (std::vector<int>{1, 0, 3, 2}));
}

TEST_F(PoseDataConfigTest, RefusesShapesAndFlipsThatCannotBe) {
  EXPECT_NE(error_of("kpt_shape: [4, 4]\n").find("2 (x y) or 3"), std::string::npos);
  EXPECT_NE(error_of("kpt_shape: [4]\n").find("two whole numbers"), std::string::npos);
  EXPECT_NE(error_of("kpt_shape: [a, 3]\n").find("two whole numbers"), std::string::npos);
  EXPECT_NE(error_of("kpt_shape: [3, 2]\nflip_idx: [0, 1]\n").find("lists 2"), std::string::npos);
  EXPECT_NE(error_of("kpt_shape: [3, 2]\nflip_idx: [0, 0, 1]\n").find("twice"), std::string::npos);
  EXPECT_NE(error_of("flip_idx: [0]\n").find("without 'kpt_shape'"), std::string::npos);
}

}  // namespace
}  // namespace orvane::engine
