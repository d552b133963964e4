#include "inference/inference_core.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/exporter.h"
#include "files/fs_path.h"
#include "imaging/image_files.h"

namespace orvane::inference {

namespace fs = std::filesystem;

QStringList list_inference_images(const QString& folder) {
  const QDir dir(folder);
  const QStringList names =
      dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
  QStringList paths;
  for (const QString& name : names) {
    if (has_image_extension(name))
      paths << QDir::toNativeSeparators(QDir::cleanPath(folder + '/' + name));
  }
  // UTF-8 byte order is code-point order; QString's own comparison orders UTF-16 units, which
  // puts characters beyond U+FFFF before U+E000..U+FFFF.
  std::sort(paths.begin(), paths.end(),
            [](const QString& a, const QString& b) { return a.toStdString() < b.toStdString(); });
  return paths;
}

QString counter_text(int index, int count, const QString& path) {
  // Concatenation, not arg(): a file named "%1.png" must appear as it is.
  return QString::number(index + 1) + " / " + QString::number(count) + " - " +
         QFileInfo(path).fileName();
}

int wrap_index(int index, int step, int count) {
  if (count <= 0) return 0;
  const int r = (index + step) % count;
  return r < 0 ? r + count : r;
}

namespace {

bool exists_here(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));  // a dangling link is an item too
}

bool is_real_dir(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(p, ec));
}

// A hidden name beside `target` that nothing else uses.
fs::path unique_sibling(const fs::path& target, const std::string& purpose) {
  static std::atomic<unsigned> counter{0};
  for (;;) {
    // Appended piece by piece: GCC 12 misreads a chain of string operator+ here (-Wrestrict).
    std::string name = ".";
    name += target.filename().string();
    name += '.';
    name += purpose;
    name += '-';
    name += std::to_string(::getpid());
    name += '-';
    name += std::to_string(counter++);
    const fs::path candidate = target.parent_path() / name;
    if (!exists_here(candidate)) return candidate;
  }
}

// The folder part resolved through links, so "exports" and a link to the weights folder compare
// equal; the item's own name is kept (a link named like the export is replaced, not followed).
fs::path resolved(const fs::path& p) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(p, ec).lexically_normal();
  const fs::path parent = fs::weakly_canonical(absolute.parent_path(), ec);
  return ec ? absolute : parent / absolute.filename();
}

// Moves `from` onto `dest`, replacing whatever is there. rename() replaces a file atomically but
// cannot replace a folder or swap kinds, so then the old item is set aside first and comes back
// when the move fails.
std::error_code install(const fs::path& from, const fs::path& dest) {
  std::error_code ec;
  if (!exists_here(dest) || (!is_real_dir(dest) && !is_real_dir(from))) {
    fs::rename(from, dest, ec);
    return ec;
  }
  const fs::path aside = unique_sibling(dest, "replaced");
  fs::rename(dest, aside, ec);
  if (ec) return ec;
  fs::rename(from, dest, ec);
  if (ec) {
    std::error_code undo;
    fs::rename(aside, dest, undo);
    return ec;
  }
  fs::remove_all(aside, ec);  // leftovers of the old item are clutter, not a failed export
  return {};
}

std::error_code sync_file(const fs::path& p) {
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {errno, std::generic_category()};
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  return rc == 0 ? std::error_code{} : std::error_code{err, std::generic_category()};
}

// A copy whose every file is on disk before it is renamed into place.
std::error_code copy_synced(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) return ec;
  if (!is_real_dir(to)) return fs::is_regular_file(to, ec) ? sync_file(to) : std::error_code{};
  for (auto it = fs::recursive_directory_iterator(to, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) {
      if (auto sync_ec = sync_file(it->path())) return sync_ec;
    }
  }
  return ec;
}

QString reason(const std::error_code& ec) { return QString::fromStdString(ec.message()); }

}  // namespace

QStringList export_formats() {
  QStringList formats;
  for (const std::string& f : engine::export_formats()) formats << QString::fromStdString(f);
  return formats;
}

Result<QString> place_exported_item(const QString& exported, const QString& export_dir) {
  // cleanPath drops a trailing separator, so "model_saved/" yields its own name.
  const QString source_text = QDir::cleanPath(exported);
  const QString name = QFileInfo(source_text).fileName();
  if (exported.isEmpty() || name.isEmpty() || name == "." || name == "..")
    return fail("The exported path \"" + exported + "\" does not name a file or folder.");
  if (export_dir.isEmpty()) return fail("No export folder was given.");
  const fs::path source = fs_path(source_text);
  if (!exists_here(source)) return fail("The exported item " + source_text + " does not exist.");

  std::error_code ec;
  fs::create_directories(fs_path(export_dir), ec);
  if (ec || !fs::is_directory(fs_path(export_dir)))
    return fail("Cannot create the export folder " + export_dir + ": " +
                (ec ? reason(ec) : QString("a file of that name exists")));

  const QString destination = QDir::toNativeSeparators(QDir(export_dir).filePath(name));
  const fs::path dest = fs_path(destination);
  const fs::path source_real = resolved(source), dest_real = resolved(dest);
  if (source_real == dest_real) return destination;
  // Replacing a folder that holds the exported item would delete the export itself.
  if (is_real_dir(dest)) {
    const auto rel = source_real.lexically_relative(dest_real);
    if (!rel.empty() && *rel.begin() != "..")
      return fail("Cannot replace " + destination + ": it contains the exported item " +
                  source_text + ".");
  }

  ec = install(source, dest);
  if (ec == std::errc::cross_device_link) {
    // Another file system: copy beside the destination, then the same replacement as above.
    const fs::path staged = unique_sibling(dest, "incoming");
    ec = copy_synced(source, staged);
    if (!ec) ec = install(staged, dest);
    std::error_code ignored;
    if (ec) {
      fs::remove_all(staged, ignored);
    } else {
      fs::remove_all(source, ignored);  // the export is in place; a stale source is harmless
    }
  }
  if (ec) return fail("Cannot move " + source_text + " to " + destination + ": " + reason(ec));
  return destination;
}

}  // namespace orvane::inference
