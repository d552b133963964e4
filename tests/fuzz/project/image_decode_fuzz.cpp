// Image decoding through the one bridge every tool uses: any file decodes or gives an empty
// buffer; a decoded one is 8-bit BGR and converts for display.
#include <QString>
#include <cstdint>
#include <cstdlib>

#include "fuzz_file.h"
#include "imaging/image_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto path = orvane::fuzz::input_file("input.img", data, size);
  const cv::Mat image = orvane::read_image_bgr(QString::fromStdString(path.string()));
  if (image.empty()) return 0;
  if (image.type() != CV_8UC3) std::abort();
  const QImage shown = orvane::mat_to_qimage(image);
  if (shown.width() != image.cols || shown.height() != image.rows) std::abort();
  return 0;
}
