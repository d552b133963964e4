// Label text: every line through the parser with both separator rules, every number through the
// writer. The writer must give six decimals within [0, 1] whatever the parser accepted.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "files/label_format.h"

using namespace orvane::files;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::string_view line : split_label_text(text)) {
    for (const bool commas : {false, true}) {
      const LabelLine parsed = parse_label_line(line, commas);
      if (parsed.blank() != parsed.class_token.empty()) std::abort();
      if (parsed.class_id && parsed.class_overflow) std::abort();
      for (const double value : parsed.coords) {
        const std::string written = format_label_coordinate(value);
        // "0.xxxxxx" or "1.000000": eight characters, and it reads back within [0, 1].
        const auto back = parse_label_number(written);
        if (written.size() != 8 || !back || *back < 0.0 || *back > 1.0) std::abort();
      }
      if (parsed.class_id && parsed.is_box()) {
        const auto& c = parsed.coords;
        const std::string box = format_box_line(*parsed.class_id, c[0], c[1], c[2], c[3]);
        if (!parse_label_line(box).is_box()) std::abort();
      }
    }
  }
  return 0;
}
