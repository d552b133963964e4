#include <iostream>

#include "cli/verbs.h"

namespace orvane::cli {

int run_split(const std::vector<std::string>& /*words*/) {
  std::cerr << "orvane split: not available in this build yet\n";
  return 1;
}

}  // namespace orvane::cli
