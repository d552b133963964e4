#pragma once
// Small file helpers for Qt callers: reading text as lines with any line end, atomic replacement,
// and removal with a reason when it fails.

#include <QByteArray>
#include <QList>
#include <QString>
#include <filesystem>
#include <functional>
#include <string_view>

#include "files/atomic_file.h"
#include "files/result.h"

namespace orvane {

// The line end text files are written with: "\r\n" on Windows, "\n" elsewhere.
QByteArrayView native_line_end();

// Splits file contents into lines. LF, CR LF and a lone CR all end a line; the line ends are not
// part of the lines, and a final line end does not start an extra empty line.
QList<QByteArray> split_lines(const QByteArray& contents);

// Reads a whole file. Fails (naming the file and the cause) when it cannot be opened or read; a
// missing file is such a failure too, so check existence first where that matters.
Result<QByteArray> read_whole_file(const QString& path);

// Replaces `path` with `contents` through the one atomic writer (files/atomic_file.h), so a
// failure leaves the old file whole. The file's permissions are kept. A file that already
// holds exactly `contents` is left as it is (not even its modification time changes).
Result<> write_file_atomic(const QString& path, const QByteArray& contents);

// The one atomic writer (files/atomic_file.h) for Qt-side callers: its WriteError as a failure.
Result<> write_file_atomic(const std::filesystem::path& path, std::string_view data,
                           files::Durability durability = files::Durability::kSynced);
// files::write_atomically_with as a Result; `produce` reports its own failure by throwing
// files::WriteError with the reason.
Result<> write_file_atomic_with(
    const std::filesystem::path& path,
    const std::function<void(const std::filesystem::path& temporary)>& produce,
    files::Durability durability = files::Durability::kSynced);

// Deletes `path`. A file that does not exist counts as deleted.
Result<> remove_file(const QString& path);

}  // namespace orvane
