#include "dataset/dataset_files.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <filesystem>
#include <system_error>

namespace orvane::dataset {

namespace {

FileResult failed(const char* action, const QString& path, const QString& cause) {
  return FileResult::failure(QStringLiteral("Could not %1 %2: %3").arg(action, path, cause));
}

std::filesystem::path fs_path(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

}  // namespace

std::optional<QStringList> read_text_lines(const QString& path, QString* error) {
  QByteArray contents;
  QString why;
  if (!read_whole_file(path, contents, why)) {
    if (error) *error = why;
    return std::nullopt;
  }
  QStringList lines;
  for (const QByteArray& line : split_lines(contents)) lines << QString::fromUtf8(line);
  return lines;
}

FileResult write_lines_atomic(const QString& path, const QStringList& lines) {
  QByteArray contents;
  for (const QString& line : lines) {
    contents += line.toUtf8();
    contents += native_line_end();
  }
  return write_file_atomic(path, contents);
}

FileResult copy_file_preserving(const QString& source, const QString& destination) {
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
  // The copy gets its contents, times and mode under a temporary name beside the destination and
  // then replaces it in one rename, so a reader never sees a half-written or a fresh-dated file,
  // and a read-only copy from an earlier export is replaced like any other.
  QTemporaryFile out(QFileInfo(destination).absolutePath() + "/.orvane-copy-XXXXXX");
  if (!out.open()) return failed("write", destination, out.errorString());
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
  const std::filesystem::path temporary = fs_path(out.fileName());
  // The modification time through std::filesystem, which keeps its sub-millisecond part.
  std::filesystem::last_write_time(temporary, modified, ec);
  if (!ec)
    std::filesystem::permissions(temporary, mode, std::filesystem::perm_options::replace, ec);
  if (!ec) std::filesystem::rename(temporary, fs_path(destination), ec);
  if (ec) return failed("write", destination, QString::fromLocal8Bit(ec.message().c_str()));
  out.setAutoRemove(false);  // renamed away: nothing left to remove
  return {};
}

}  // namespace orvane::dataset
