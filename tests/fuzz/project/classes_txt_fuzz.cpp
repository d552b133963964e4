// classes.txt: any bytes read without a crash; what was read, written and read again is the same
// list (no name is empty).
#include <QFile>
#include <cstdint>
#include <cstdlib>

#include "annotator/classes_file.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto path = orvane::fuzz::input_file("classes.txt", data, size);
  const QString name = QFile::decodeName(path.c_str());
  const orvane::Result<orvane::ClassesFileContents> read = orvane::read_classes_file(name);
  if (!read || !read->exists) std::abort();
  for (const QString& c : read->classes)
    if (c.isEmpty()) std::abort();
  if (!orvane::write_classes_file(name, read->classes)) std::abort();
  const auto again = orvane::read_classes_file(name);
  if (!again || again->classes != read->classes) std::abort();
  return 0;
}
