#pragma once
// Reading and writing a file's bytes exactly, for tests that check what reached the disk.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QString>

namespace orvane::test {

// The file's bytes, or "<missing>" when it cannot be opened (so a comparison shows why).
inline QByteArray read_all(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline void write_raw(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

}  // namespace orvane::test
