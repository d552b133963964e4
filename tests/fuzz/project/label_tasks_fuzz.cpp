// Oriented-box and pose lines: every line through both readers (under a keypoint shape taken
// from the input's first byte); whatever reads must write a line that reads back as the same
// shape, with every coordinate within [0, 1].
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "files/label_format.h"

using namespace orvane::files;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const KeypointShape shape{1 + data[0] % 5, 2 + (data[0] >> 7)};
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  for (const std::string_view line : split_label_text(text)) {
    const LabelLine parsed = parse_label_line(line);
    if (!parsed.class_id) continue;
    if (const auto obb = parse_obb(parsed)) {
      const auto back = parse_obb(parse_label_line(format_obb_line(*parsed.class_id, *obb)));
      if (!back || back->size() != 8) std::abort();
      for (const double v : *back)
        if (v < 0.0 || v > 1.0) std::abort();
    }
    if (const auto pose = parse_pose(parsed, shape)) {
      const auto back =
          parse_pose(parse_label_line(format_pose_line(*parsed.class_id, *pose, shape)), shape);
      if (!back || back->keypoints.size() != pose->keypoints.size()) std::abort();
      for (std::size_t i = 0; i < back->keypoints.size(); ++i)
        if (back->keypoints[i].visibility != pose->keypoints[i].visibility) std::abort();
    }
  }
  return 0;
}
