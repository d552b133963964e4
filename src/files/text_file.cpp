#include "files/text_file.h"

#include <QFile>
#include <QFileInfo>

#include "files/atomic_file.h"
#include "files/text_format.h"

namespace orvane {

QByteArrayView native_line_end() {
  const std::string_view end = files::native_line_end();
  return QByteArrayView(end.data(), qsizetype(end.size()));
}

QList<QByteArray> split_lines(const QByteArray& contents) {
  QList<QByteArray> lines;
  for (const std::string_view line :
       files::split_lines(std::string_view(contents.constData(), std::size_t(contents.size()))))
    lines.append(QByteArray(line.data(), qsizetype(line.size())));
  return lines;
}

Result<QByteArray> read_whole_file(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return fail(QStringLiteral("Could not read %1: %2").arg(path, file.errorString()));
  QByteArray contents = file.readAll();
  if (file.error() != QFileDevice::NoError)
    return fail(QStringLiteral("Could not read %1: %2").arg(path, file.errorString()));
  return contents;
}

Result<> write_file_atomic(const QString& path, const QByteArray& contents) {
  // Moving through images saves each one; an unchanged file is not rewritten, so browsing a
  // read-only or synced folder neither fails nor touches anything.
  {
    QFile existing(path);
    if (existing.size() == contents.size() && existing.open(QIODevice::ReadOnly) &&
        existing.readAll() == contents) {
      return {};
    }
  }
  return write_file_atomic(std::filesystem::path(QFile::encodeName(path).toStdString()),
                           std::string_view(contents.constData(), contents.size()));
}

namespace {

// The writer's WriteError as a failure; anything else it throws goes on.
template <class Write>
Result<> written(Write write) {
  try {
    write();
  } catch (const files::WriteError& e) {
    return fail(QString::fromStdString(e.what()));
  }
  return {};
}

}  // namespace

Result<> write_file_atomic(const std::filesystem::path& path, std::string_view data,
                           files::Durability durability) {
  return written([&] { files::write_atomically(path, data, durability); });
}

Result<> write_file_atomic_with(const std::filesystem::path& path,
                                const std::function<void(const std::filesystem::path&)>& produce,
                                files::Durability durability) {
  return written([&] { files::write_atomically_with(path, produce, durability); });
}

Result<> remove_file(const QString& path) {
  QFile file(path);
  if (!file.exists()) return {};
  if (!file.remove()) {
    return fail(QStringLiteral("Could not delete %1: %2").arg(path, file.errorString()));
  }
  return {};
}

}  // namespace orvane
