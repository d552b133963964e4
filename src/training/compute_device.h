#pragma once
// The compute device of a training run: "cuda:0" when LibTorch sees a CUDA device, else "cpu".

#include <string>

namespace orvane::training {

std::string compute_device();

}  // namespace orvane::training
