#pragma once
// Builds small annotated folders for the dataset tests.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace orvane::test {

inline void write_file(const QString& path, const QByteArray& contents) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write test file");
  file.write(contents);
}

inline QByteArray read_file(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

}  // namespace orvane::test
