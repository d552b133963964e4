// The YOLO ecosystem's checkpoints: the zip reader and the restricted unpickler take any bytes and
// either give values whose every tensor lies inside its storage, or throw the engine's one-line
// error.
#include <cstdint>
#include <string>

#include "engine/error.h"
#include "engine/pt_pickle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane::engine;
  try {
    const auto file = pt::read_pt_bytes(std::string(reinterpret_cast<const char*>(data), size));
    // Touch every byte a tensor view can reach: the reader promised they are inside the archive.
    for (const auto& s : file.storages()) {
      volatile uint8_t sum = 0;
      for (char c : s->bytes) sum = sum + uint8_t(c);
      (void)sum;
    }
    (void)file.root().describe();
  } catch (const EngineError&) {
  }
  return 0;
}
