#pragma once
// Runs the real `orvane` tool the way a script would: one verb, key=value words, and what came
// back on each stream.

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QStringList>

namespace orvane::test {

struct ToolRun {
  int code = -1;
  QString out, err;
};

inline ToolRun run_orvane(const QString& verb, const QStringList& words, int timeout_ms = 120000) {
  QProcess process;
  process.start(QDir(qEnvironmentVariable("ORVANE_BIN_DIR")).filePath("orvane"),
                QStringList{verb} + words);
  EXPECT_TRUE(process.waitForFinished(timeout_ms)) << "orvane " << verb.toStdString();
  return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          QString::fromUtf8(process.readAllStandardOutput()),
          QString::fromUtf8(process.readAllStandardError())};
}

}  // namespace orvane::test
