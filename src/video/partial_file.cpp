#include "video/partial_file.h"

#include "files/atomic_file.h"

namespace orvane::video {

namespace fs = std::filesystem;

std::string replace_with_partial(const fs::path& partial, const fs::path& target) {
  // The finished partial becomes the writer's temporary, which it syncs and renames.
  std::string error;
  try {
    files::write_atomically_with(target, [&](const fs::path& temporary) {
      std::error_code ec;
      fs::rename(partial, temporary, ec);
      if (ec) throw files::WriteError("cannot move " + partial.string() + ": " + ec.message());
    });
  } catch (const files::WriteError& e) {
    error = e.what();
  }
  std::error_code ec;
  fs::remove(partial, ec);
  return error;
}

}  // namespace orvane::video
