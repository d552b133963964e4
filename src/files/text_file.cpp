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

bool read_whole_file(const QString& path, QByteArray& contents, QString& error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    error = QStringLiteral("Could not read %1: %2").arg(path, file.errorString());
    return false;
  }
  contents = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    error = QStringLiteral("Could not read %1: %2").arg(path, file.errorString());
    return false;
  }
  return true;
}

FileResult write_file_atomic(const QString& path, const QByteArray& contents) {
  // Moving through images saves each one; an unchanged file is not rewritten, so browsing a
  // read-only or synced folder neither fails nor touches anything.
  {
    QFile existing(path);
    if (existing.size() == contents.size() && existing.open(QIODevice::ReadOnly) &&
        existing.readAll() == contents) {
      return {};
    }
  }
  const std::string error =
      files::write_atomically(QFile::encodeName(path).toStdString(),
                              std::string_view(contents.constData(), contents.size()));
  if (!error.empty()) return FileResult::failure(QString::fromStdString(error));
  return {};
}

FileResult remove_file(const QString& path) {
  QFile file(path);
  if (!file.exists()) return {};
  if (!file.remove()) {
    return FileResult::failure(
        QStringLiteral("Could not delete %1: %2").arg(path, file.errorString()));
  }
  return {};
}

}  // namespace orvane
