// Object keypoint similarity against a hand-computed case.

#include "engine/tasks/pose/keypoint_similarity.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/error.h"

namespace orvane::engine::pose {
namespace {

TEST(Oks, HandComputedCase) {
  // sigma 0.1, area 100: each term is exp(-d^2 / (2 * 100 * 0.04)) = exp(-d^2 / 8).
  const std::vector<files::Keypoint> truth{{10, 10, 2}, {20, 10, 1}, {30, 30, 0}};
  const std::vector<files::Keypoint> guess{{10, 10, 2}, {22, 10, 2}, {90, 90, 2}};
  const std::vector<double> sigmas{0.1, 0.1, 0.1};
  // The exact point 1, the one 2 px off exp(-0.5); the unlabelled third does not count.
  EXPECT_NEAR(oks(truth, guess, 100, sigmas), (1 + std::exp(-0.5)) / 2, 1e-12);
  EXPECT_DOUBLE_EQ(oks(truth, truth, 100, sigmas), 1.0);
  // A larger object forgives the same distance more.
  EXPECT_GT(oks(truth, guess, 400, sigmas), oks(truth, guess, 100, sigmas));
  // Nothing labelled: no similarity.
  const std::vector<files::Keypoint> none{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  EXPECT_EQ(oks(none, guess, 100, sigmas), 0.0);
  EXPECT_THROW(oks(truth, {{0, 0, 2}}, 100, sigmas), EngineError);
}

TEST(Oks, SigmasPerDataSet) {
  ASSERT_EQ(default_sigmas(17).size(), 17u);
  EXPECT_DOUBLE_EQ(default_sigmas(17)[0], 0.026);   // the nose is placed most precisely
  EXPECT_DOUBLE_EQ(default_sigmas(17)[11], 0.107);  // the hips least
  EXPECT_EQ(default_sigmas(4), (std::vector<double>{0.25, 0.25, 0.25, 0.25}));
}

}  // namespace
}  // namespace orvane::engine::pose
