#include "training/compute_device.h"

#include <torch/cuda.h>

namespace orvane::training {

std::string compute_device() { return torch::cuda::is_available() ? "cuda:0" : "cpu"; }

}  // namespace orvane::training
