#include "dataset/dataset_files.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <functional>
#include <system_error>

#include "files/atomic_file.h"
#include "files/text_file.h"
#include "files/fs_path.h"

namespace orvane::dataset {

namespace {

Result<> failed(const char* action, const QString& path, const QString& cause) {
  return fail(QStringLiteral("Could not %1 %2: %3").arg(action, path, cause));
}

// Replaces `destination` through the one atomic writer with a temporary that `fill` writes. No
// sync per file (an export writes thousands; it marks itself complete with one synced file last),
// and a read-only destination, such as the copy of a read-only image from an earlier export, is
// replaced like any other.
Result<> replace_file(const QString& destination, const std::function<Result<>(QFile& out)>& fill) {
  Result<> filled;
  const Result<> written = write_file_atomic_with(
      fs_path(destination),
      [&](const std::filesystem::path& temporary) {
        QFile out(QFile::decodeName(temporary.c_str()));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
          filled = failed("write", destination, out.errorString());
        } else {
          filled = fill(out);
          if (filled.ok() && out.isOpen() && !out.flush())
            filled = failed("write", destination, out.errorString());
          out.close();
        }
        if (!filled.ok()) throw files::WriteError("not written");
      },
      files::Durability::kRenameOnly);
  if (!filled.ok()) return filled;  // the filler's own message names the file and the cause
  return written;
}

}  // namespace

Result<QStringList> read_text_lines(const QString& path) {
  const Result<QByteArray> contents = read_whole_file(path);
  if (!contents) return fail(contents.error());
  QStringList lines;
  for (const QByteArray& line : split_lines(*contents)) lines << QString::fromUtf8(line);
  return lines;
}

Result<> write_lines_atomic(const QString& path, const QStringList& lines) {
  QByteArray contents;
  for (const QString& line : lines) {
    contents += line.toUtf8();
    contents += native_line_end();
  }
  return replace_file(path, [&](QFile& out) -> Result<> {
    if (out.write(contents) != contents.size()) return failed("write", path, out.errorString());
    return {};
  });
}

bool same_file(const QString& a, const QString& b) {
  std::error_code ec;
  return std::filesystem::equivalent(fs_path(a), fs_path(b), ec) && !ec;
}

Result<> copy_file_preserving(const QString& source, const QString& destination) {
  if (same_file(source, destination)) return {};
  // Take the times before reading the file, which may move its access time.
  const QFileInfo info(source);
  if (!info.exists()) return failed("copy", source, "No such file or directory");
  const QDateTime accessed = info.lastRead();
  std::error_code ec;
  const auto modified = std::filesystem::last_write_time(fs_path(source), ec);
  const auto mode = std::filesystem::status(fs_path(source), ec).permissions();
  if (ec) return failed("copy", source, QString::fromLocal8Bit(ec.message().c_str()));

  QFile in(source);
  if (!in.open(QIODevice::ReadOnly)) return failed("copy", source, in.errorString());
  // Contents, times and mode are all set before the rename, so the copy never shows up
  // half-written or freshly dated.
  const Result<> copied = replace_file(destination, [&](QFile& out) -> Result<> {
    constexpr qint64 kChunk = 1 << 20;
    while (!in.atEnd()) {
      const QByteArray chunk = in.read(kChunk);
      if (in.error() != QFileDevice::NoError) return failed("read", source, in.errorString());
      if (out.write(chunk) != chunk.size()) return failed("write", destination, out.errorString());
    }
    if (!out.flush()) return failed("write", destination, out.errorString());
    if (!out.setFileTime(accessed, QFileDevice::FileAccessTime))
      return failed("set the access time of", destination, out.errorString());
    out.close();
    std::error_code error;
    const std::filesystem::path written = fs_path(out.fileName());
    // The modification time through std::filesystem, which keeps its sub-millisecond part.
    std::filesystem::last_write_time(written, modified, error);
    if (!error)
      std::filesystem::permissions(written, mode, std::filesystem::perm_options::replace, error);
    if (error)
      return failed("set the times of", destination,
                    QString::fromLocal8Bit(error.message().c_str()));
    return {};
  });
  if (!copied) return copied;
  // The writer gives a replaced file its old mode unless the copy's mode differs from a fresh
  // file's; a source with exactly a fresh file's mode gets it back here.
  std::error_code error;
  if ((std::filesystem::status(fs_path(destination), error).permissions() &
       std::filesystem::perms::mask) != mode)
    std::filesystem::permissions(fs_path(destination), mode, std::filesystem::perm_options::replace,
                                 error);
  return {};
}

}  // namespace orvane::dataset
