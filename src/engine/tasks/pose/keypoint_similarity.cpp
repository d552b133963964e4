#include "engine/tasks/pose/keypoint_similarity.h"

#include <cmath>

#include "engine/error.h"

namespace orvane::engine::pose {

const std::vector<double>& coco_person_sigmas() {
  static const std::vector<double> sigmas{.026, .025, .025, .035, .035, .079, .079, .072, .072,
                                          .062, .062, .107, .107, .087, .087, .089, .089};
  return sigmas;
}

std::vector<double> default_sigmas(int count) {
  if (count == 17) return coco_person_sigmas();
  return std::vector<double>(size_t(std::max(count, 0)), 1.0 / std::max(count, 1));
}

double oks(const std::vector<files::Keypoint>& truth, const std::vector<files::Keypoint>& predicted,
           double area, const std::vector<double>& sigmas) {
  if (predicted.size() != truth.size() || sigmas.size() != truth.size())
    throw EngineError("keypoint similarity needs as many predictions and sigmas as keypoints");
  double sum = 0.0;
  int labelled = 0;
  for (size_t i = 0; i < truth.size(); ++i) {
    if (truth[i].visibility <= 0) continue;
    const double dx = predicted[i].x - truth[i].x, dy = predicted[i].y - truth[i].y;
    const double k2 = std::pow(2 * sigmas[i], 2);
    sum += std::exp(-(dx * dx + dy * dy) / (2 * std::max(area, 1e-9) * k2));
    ++labelled;
  }
  return labelled > 0 ? sum / labelled : 0.0;
}

}  // namespace orvane::engine::pose
