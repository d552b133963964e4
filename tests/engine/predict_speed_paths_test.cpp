// The fast path of prediction's masks must compute what the plain one computes: the per-box
// masks equal the whole-grid masks bit for bit.

#include <gtest/gtest.h>

#include "engine/predictor.h"

namespace orvane::engine {
namespace {

TEST(BoxMasks, EqualTheWholeGridMasksBitForBit) {
  torch::manual_seed(5);
  const int H = 96, W = 128;  // the 4x prototype grid of a YOLO head: 24 x 32
  auto proto = torch::randn({32, H / 4, W / 4});
  auto coef = torch::randn({7, 32});
  // Boxes at the corners, across the edges, tiny, covering everything, and with fractional
  // coordinates on the grid, where an off-by-one crop would show.
  auto boxes =
      torch::tensor({0.0f,  0.0f,   30.5f, 21.2f, 97.3f, 70.9f, 128.0f, 96.0f, -5.0f,  40.0f,
                     20.0f, 140.0f, 50.2f, 50.2f, 51.0f, 51.1f, 0.0f,   0.0f,  128.0f, 96.0f,
                     33.1f, 2.9f,   90.7f, 60.3f, 63.9f, 47.9f, 64.1f,  48.1f})
          .view({7, 4});
  auto whole = process_mask(proto, coef, boxes, H, W, true).to(torch::kUInt8);
  auto parts = box_masks(proto, coef, boxes, H, W);
  ASSERT_EQ(parts.size(), 7u);
  for (int64_t k = 0; k < 7; ++k) {
    SCOPED_TRACE("box " + std::to_string(k));
    cv::Mat expected(H, W, CV_8U, whole[k].contiguous().data_ptr<uint8_t>());
    cv::Mat rebuilt = cv::Mat::zeros(H, W, CV_8U);
    const auto& part = parts[static_cast<size_t>(k)];
    ASSERT_TRUE((part.window & cv::Rect(0, 0, W, H)) == part.window);
    if (!part.window.empty()) part.mask.copyTo(rebuilt(part.window));
    EXPECT_EQ(cv::countNonZero(rebuilt != expected), 0);
  }
  EXPECT_GT(cv::countNonZero(cv::Mat(H, W, CV_8U, whole[4].contiguous().data_ptr<uint8_t>())), 0);
}

}  // namespace
}  // namespace orvane::engine
