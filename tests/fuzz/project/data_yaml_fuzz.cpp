// data.yaml: any text either loads or is refused with the engine's one-line error; nothing else
// (a yaml-cpp exception, a crash) may come out.
#include <cstdint>
#include <filesystem>

#include "engine/data/data_config.h"
#include "engine/error.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool folders = [] {
    // Splits the seeds name, so loading gets past the existence checks.
    const auto root = orvane::fuzz::scratch_folder();
    for (const char* split : {"train/images", "val/images", "test/images", "images"})
      std::filesystem::create_directories(root / split);
    return true;
  }();
  (void)folders;
  const auto path = orvane::fuzz::input_file("data.yaml", data, size);
  try {
    const auto config = orvane::engine::load_data_config(path);
    if (config.names.empty()) __builtin_trap();  // a loaded config always names its classes
  } catch (const orvane::engine::EngineError&) {
  }
  return 0;
}
