// The oriented-box and pose networks: the published parameter counts, the ecosystem's keys for
// the fourth head branch, and decoding on hand-made outputs.

#include <gtest/gtest.h>

#include <cmath>

#include "engine/model.h"

namespace orvane::engine {
namespace {

int64_t parameters_of(const std::string& name) {
  const auto spec = parse_task_model_name(name);
  EXPECT_TRUE(spec.has_value()) << name;
  return YoloModel(*spec)->info().parameters;
}

// At the model tables' defaults: oriented boxes nc 80 (DOTA has 15, the tables say 80), pose
// 17 keypoints of (x, y, visibility) with nc 1 in YOLOv8's table and 80 in YOLO11's (the
// published YOLO11 pose figures count an 80-class head).
TEST(ObbPoseModel, ParameterCountsAreThePublishedOnes) {
  EXPECT_EQ(parameters_of("yolov8n-obb.yaml"), 3228867);
  EXPECT_EQ(parameters_of("yolov8n-pose.yaml"), 3295470);
  EXPECT_EQ(parameters_of("yolo11n-obb.yaml"), 2695747);
  EXPECT_EQ(parameters_of("yolo11n-pose.pt"), 2908507);
  EXPECT_EQ(parameters_of("yolov8s-obb"), 11452739);
  EXPECT_EQ(parameters_of("yolo11s-pose"), 9948811);
}

TEST(ObbPoseModel, NamesAndKeys) {
  const auto pose = parse_task_model_name("yolov8m-pose.pt");
  ASSERT_TRUE(pose);
  EXPECT_EQ(pose->task, Task::pose);
  EXPECT_EQ(pose->nc, 1);
  EXPECT_EQ(pose->name(), "yolov8m-pose");
  EXPECT_EQ(pose->extra_outputs(), 51);
  // Training and prediction do not take these yet: the plain parser refuses them.
  EXPECT_FALSE(parse_model_name("yolov8n-obb.pt"));
  EXPECT_FALSE(parse_model_name("yolo11n-pose"));
  EXPECT_TRUE(parse_model_name("yolo11n-seg"));
  EXPECT_EQ(parse_task_model_name("yolo11n-pose")->nc, 80);
  EXPECT_EQ(parse_task_model_name("yolov8n-cls")->task, Task::classify);
  EXPECT_EQ(parse_task_model_name("yolov8n-cls")->nc, 1000);

  YoloModel obb(*parse_task_model_name("yolov8n-obb"));
  auto params = obb->named_parameters(true);
  ASSERT_TRUE(params.contains("model.22.cv4.2.2.weight"));
  EXPECT_EQ(params["model.22.cv4.0.2.weight"].sizes(), (std::vector<int64_t>{1, 16, 1, 1}));
  EXPECT_FALSE(params.contains("model.22.proto.cv1.conv.weight"));
  auto spec = *parse_task_model_name("yolo11n-pose");
  spec.kpt_shape = {4, 2};
  YoloModel p(spec);
  EXPECT_EQ(p->named_parameters(true)["model.23.cv4.1.2.weight"].sizes(),
            (std::vector<int64_t>{8, 16, 1, 1}));
}

// All-zero outputs: every DFL side is the mean bin 7.5 cells, the angle logit 0 is pi/4, and a
// raw keypoint 0 sits on its anchor's cell corner with visibility 0.5.
TEST(ObbPoseModel, DecodesHandMadeOutputs) {
  auto make = [](const std::string& name) {
    auto spec = *parse_task_model_name(name);
    spec.nc = 2;
    spec.kpt_shape = {2, 3};
    return YoloModel(spec);
  };
  auto zero_output = [](int64_t extra) {
    ModelOutput out;
    for (int s : kStrides) out.feats.push_back(torch::zeros({1, 4 * kRegMax + 2, 64 / s, 64 / s}));
    out.extra = torch::zeros({1, extra, 64 + 16 + 4});
    return out;
  };
  auto obb = make("yolov8n-obb");
  const auto o = obb->decode(zero_output(1));
  ASSERT_EQ(o.sizes(), (std::vector<int64_t>{1, 4 + 2 + 1, 84}));
  // Anchor 9 is cell (1, 1) of the stride-8 grid: centre (12, 12).
  EXPECT_NEAR(o[0][0][9].item<float>(), 12.0f, 1e-4);
  EXPECT_NEAR(o[0][1][9].item<float>(), 12.0f, 1e-4);
  EXPECT_NEAR(o[0][2][9].item<float>(), 15.0f * 8, 1e-3);
  EXPECT_NEAR(o[0][6][9].item<float>(), M_PI / 4, 1e-6);
  EXPECT_NEAR(o[0][4][9].item<float>(), 0.5f, 1e-6);

  auto pose = make("yolo11n-pose");
  const auto p = pose->decode(zero_output(6));
  ASSERT_EQ(p.sizes(), (std::vector<int64_t>{1, 4 + 2 + 6, 84}));
  // Anchor 80 is cell (0, 0) of the stride-32 grid... its keypoints at the cell corner (0, 0);
  // anchor 9 (stride 8, cell (1, 1)) at (8, 8).
  EXPECT_NEAR(p[0][6][9].item<float>(), 8.0f, 1e-4);
  EXPECT_NEAR(p[0][7][9].item<float>(), 8.0f, 1e-4);
  EXPECT_NEAR(p[0][8][9].item<float>(), 0.5f, 1e-6);
  EXPECT_NEAR(p[0][9][80].item<float>(), 0.0f, 1e-4);
}

}  // namespace
}  // namespace orvane::engine
