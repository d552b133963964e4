#include <iostream>

#include "cli/verbs.h"

namespace orvane::cli {

int run_dataset(const std::vector<std::string>& /*words*/) {
  std::cerr << "orvane dataset: not available in this build yet\n";
  return 1;
}

}  // namespace orvane::cli
