#include "training/compute_device.h"

namespace orvane::training {

std::string compute_device() { return "cpu"; }

}  // namespace orvane::training
