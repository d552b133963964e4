#pragma once
// Small file helpers for Qt callers: reading text as lines with any line end, atomic replacement,
// and removal with a reason when it fails.

#include <QByteArray>
#include <QList>
#include <QString>

namespace orvane {

// The outcome of a write or delete. `error` names the file and the cause ("Could not write
// /d/a.txt: Permission denied") and is empty on success.
struct FileResult {
  bool ok = true;
  QString error;
  explicit operator bool() const { return ok; }
  static FileResult failure(QString message) { return {false, std::move(message)}; }
};

// The line end text files are written with: "\r\n" on Windows, "\n" elsewhere.
QByteArrayView native_line_end();

// Splits file contents into lines. LF, CR LF and a lone CR all end a line; the line ends are not
// part of the lines, and a final line end does not start an extra empty line.
QList<QByteArray> split_lines(const QByteArray& contents);

// Reads a whole file. Returns false and sets `error` (file and cause) when it cannot be opened or
// read; a missing file is such a failure too, so check existence first where that matters.
bool read_whole_file(const QString& path, QByteArray& contents, QString& error);

// Replaces `path` with `contents` through the one atomic writer (files/atomic_file.h), so a
// failure leaves the old file whole. The file's permissions are kept. A file that already
// holds exactly `contents` is left as it is (not even its modification time changes).
FileResult write_file_atomic(const QString& path, const QByteArray& contents);

// Deletes `path`. A file that does not exist counts as deleted.
FileResult remove_file(const QString& path);

}  // namespace orvane
