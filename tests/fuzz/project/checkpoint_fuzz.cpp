// Checkpoints: the metadata reader takes any text, and the loader any file; both either succeed
// or throw the engine's one-line error. Inputs starting like a zip archive go to the loader.
#include <cstdint>
#include <string>

#include "engine/checkpoint.h"
#include "engine/error.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    torch::set_num_threads(1);
    return true;
  }();
  (void)quiet;
  try {
    if (size >= 2 && data[0] == 'P' && data[1] == 'K') {
      orvane::engine::load_checkpoint(orvane::fuzz::input_file("last.pt", data, size));
    } else {
      orvane::engine::meta_from_yaml(std::string(reinterpret_cast<const char*>(data), size));
    }
  } catch (const orvane::engine::EngineError&) {
  }
  return 0;
}
