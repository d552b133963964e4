#include "engine/loss.h"

namespace orvane::engine {}  // namespace orvane::engine
