#pragma once
// The one exception type the engine throws for failures a user can act on (missing data.yaml,
// unreadable image, class id beyond the names ...). what() is a single line meant to be shown
// as is; LibTorch's own c10::Error may still escape from deep inside tensor code.

#include <stdexcept>
#include <string>

namespace orvane::engine {

class EngineError : public std::runtime_error {
 public:
  explicit EngineError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace orvane::engine
