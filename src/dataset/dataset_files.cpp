#include "dataset/dataset_files.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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
  if (ec) return failed("copy", source, QString::fromLocal8Bit(ec.message().c_str()));

  QFile in(source);
  if (!in.open(QIODevice::ReadOnly)) return failed("copy", source, in.errorString());
  QSaveFile out(destination);
  if (!out.open(QIODevice::WriteOnly)) return failed("write", destination, out.errorString());
  constexpr qint64 kChunk = 1 << 20;
  while (!in.atEnd()) {
    const QByteArray chunk = in.read(kChunk);
    if (in.error() != QFileDevice::NoError) {
      out.cancelWriting();
      return failed("read", source, in.errorString());
    }
    if (out.write(chunk) != chunk.size()) {
      const QString cause = out.errorString();
      out.cancelWriting();
      return failed("write", destination, cause);
    }
  }
  if (!out.commit()) return failed("write", destination, out.errorString());

  QFile copy(destination);
  if (!copy.open(QIODevice::ReadOnly) || !copy.setFileTime(accessed, QFileDevice::FileAccessTime))
    return failed("set the access time of", destination, copy.errorString());
  copy.close();
  // The modification time through std::filesystem, which keeps its sub-millisecond part.
  std::filesystem::last_write_time(fs_path(destination), modified, ec);
  if (ec)
    return failed("set the modification time of", destination,
                  QString::fromLocal8Bit(ec.message().c_str()));
  if (!QFile::setPermissions(destination, info.permissions()))
    return failed("set the permissions of", destination, "Operation not permitted");
  return {};
}

}  // namespace orvane::dataset
