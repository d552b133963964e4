#pragma once
// The compute device a training run asks for.

#include <string>

namespace orvane::training {

// "cpu": the engine trains on the CPU only (any other device falls back to it with a warning),
// so the window has nothing to ask LibTorch and does not link it.
std::string compute_device();

}  // namespace orvane::training
