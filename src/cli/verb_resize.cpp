#include <iostream>

#include "cli/verbs.h"

namespace orvane::cli {

int run_resize(const std::vector<std::string>& /*words*/) {
  std::cerr << "orvane resize: not available in this build yet\n";
  return 1;
}

}  // namespace orvane::cli
