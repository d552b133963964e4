#pragma once
// Mixed precision on the CPU: bfloat16 for the network's convolutions where the processor
// multiplies bfloat16 natively (oneDNN then runs them at about twice the float32 rate), float32
// everywhere else. The weights, the optimizer state, the loss and the metrics stay float32: only
// the convolutions' inputs and weights are rounded to bfloat16 on their way in.

#include <string>

#include "engine/model.h"

namespace orvane::engine {

// Whether this processor executes bfloat16 dot products natively: `avx512_bf16` or `amx_bf16`
// among the flags of /proc/cpuinfo. ORVANE_NATIVE_BF16=0|1 overrides the answer (tests simulate
// a processor without it; a user can rule it out on a machine where it measures slower).
bool native_bf16();

// Where a precision choice applies: the measured gain differs between a training step (large
// batches, backward passes) and a single image's forward pass.
enum class AmpUse { train, predict };

// The `amp` key: "true"/"false" (also True/False/1/0) or "auto", resolved for one use.
// auto = bfloat16 only where `native` says the processor has it and only for the uses where it
// was measured faster on such processors. Throws EngineError on any other text.
bool resolve_amp(const std::string& amp, AmpUse use, bool native);
inline bool resolve_amp(const std::string& amp, AmpUse use) {
  return resolve_amp(amp, use, native_bf16());
}
// Checks the text of an `amp` value without resolving it (option parsing).
void check_amp_text(const std::string& amp);

// While alive (and `on`), the CPU operations LibTorch's autocast lists for lower precision
// (convolutions, matrix products) run in bfloat16 on this thread; its end restores the previous
// state and drops the cast weights it cached. Off, it changes nothing.
class AutocastGuard {
 public:
  explicit AutocastGuard(bool on);
  ~AutocastGuard();
  AutocastGuard(const AutocastGuard&) = delete;
  AutocastGuard& operator=(const AutocastGuard&) = delete;

 private:
  bool on_;
  bool was_enabled_ = false;
  c10::ScalarType was_dtype_{};
};

// The network's outputs in float32, so the loss, decoding and metrics never compute in
// bfloat16 (a no-op for outputs that are float32 already).
ModelOutput to_float32(ModelOutput out);

}  // namespace orvane::engine
