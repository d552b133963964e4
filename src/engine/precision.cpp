#include "engine/precision.h"

#include <ATen/autocast_mode.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "engine/error.h"

namespace orvane::engine {

namespace {

// amp=auto, per use (AmpUse order): where bfloat16 was measured faster than float32 on a processor
// with native bfloat16 (the README's precision section has the figures). With the LibTorch we
// link (Debian's 1.13) neither is: on an AVX512-BF16 EPYC a bfloat16 training step took 14x the
// float32 step's time, so auto keeps float32 until a library measures faster.
constexpr bool kAutoBf16[] = {false, false};

bool cpuinfo_has_bf16() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line);
    std::string word;
    while (words >> word)
      if (word == "avx512_bf16" || word == "amx_bf16") return true;
    return false;  // every core lists the same flags
  }
  return false;
}

}  // namespace

bool native_bf16() {
  if (const char* forced = std::getenv("ORVANE_NATIVE_BF16"); forced && *forced)
    return std::string(forced) != "0";
  static const bool has = cpuinfo_has_bf16();
  return has;
}

void check_amp_text(const std::string& amp) {
  static const char* const kValid[] = {"auto", "true", "True", "1", "false", "False", "0"};
  for (const char* v : kValid)
    if (amp == v) return;
  throw EngineError("'amp' must be true, false or auto, not '" + amp + "'");
}

bool resolve_amp(const std::string& amp, AmpUse use, bool native) {
  check_amp_text(amp);
  if (amp == "auto") return native && kAutoBf16[static_cast<int>(use)];
  return amp == "true" || amp == "True" || amp == "1";
}

AutocastGuard::AutocastGuard(bool on) : on_(on) {
  if (!on_) return;
  was_enabled_ = at::autocast::is_cpu_enabled();
  was_dtype_ = at::autocast::get_autocast_cpu_dtype();
  at::autocast::set_autocast_cpu_dtype(at::kBFloat16);
  at::autocast::set_cpu_enabled(true);
  at::autocast::increment_nesting();
}

AutocastGuard::~AutocastGuard() {
  if (!on_) return;
  // The cache holds bfloat16 copies of the weights for this pass; the next step's weights differ.
  if (at::autocast::decrement_nesting() == 0) at::autocast::clear_cache();
  at::autocast::set_cpu_enabled(was_enabled_);
  at::autocast::set_autocast_cpu_dtype(was_dtype_);
}

ModelOutput to_float32(ModelOutput out) {
  for (auto& f : out.feats) f = f.to(torch::kFloat32);
  if (out.mask_coef.defined()) out.mask_coef = out.mask_coef.to(torch::kFloat32);
  if (out.proto.defined()) out.proto = out.proto.to(torch::kFloat32);
  return out;
}

}  // namespace orvane::engine
