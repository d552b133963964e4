#include "files/text_file.h"

#include <QFile>
#include <QFileInfo>

#include "files/atomic_file.h"

namespace orvane {

QByteArrayView native_line_end() {
#ifdef Q_OS_WIN
  return "\r\n";
#else
  return "\n";
#endif
}

QList<QByteArray> split_lines(const QByteArray& contents) {
  QList<QByteArray> lines;
  qsizetype start = 0;
  const qsizetype n = contents.size();
  const char* data = contents.constData();
  for (qsizetype i = 0; i < n; ++i) {
    if (data[i] == '\n' || data[i] == '\r') {
      lines.append(contents.mid(start, i - start));
      if (data[i] == '\r' && i + 1 < n && data[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < n) lines.append(contents.mid(start));
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
