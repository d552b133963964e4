#include <iostream>

#include "cli/verbs.h"

namespace orvane::cli {

int run_val(const std::vector<std::string>& /*words*/) {
  std::cerr << "orvane val: not available in this build yet\n";
  return 1;
}

}  // namespace orvane::cli
