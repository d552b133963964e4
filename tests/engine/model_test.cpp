#include "engine/model.h"

#include <gtest/gtest.h>

namespace orvane::engine {
namespace {

// The published parameter counts with 80 classes, DFL projection included.
TEST(ModelTest, ParameterCountsMatchThePublishedArchitectures) {
  const std::vector<std::pair<std::string, int64_t>> expected{
      {"yolov8n.pt", 3157200},  {"yolov8s.pt", 11166560}, {"yolov8m.pt", 25902640},
      {"yolov8l.pt", 43691520}, {"yolov8x.pt", 68229648}, {"yolov8n-seg.pt", 3409968}};
  for (const auto& [name, count] : expected) {
    auto spec = parse_model_name(name);
    ASSERT_TRUE(spec) << name;
    YoloModel model(*spec);
    int64_t n = 0;
    for (const auto& p : model->parameters()) n += p.numel();
    EXPECT_EQ(n, count) << name;
  }
}

}  // namespace
}  // namespace orvane::engine
