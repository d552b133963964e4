#pragma once
// File helpers of the dataset tools, on top of the annotator's text-file helpers: label text as
// lines, text written atomically with native line ends, and copies that keep the source's times.

#include <QString>
#include <QStringList>

#include "files/text_file.h"

namespace orvane::dataset {

// All lines of a UTF-8 text file (LF, CR LF or a lone CR; ends not kept). Fails, naming the file
// and the cause, when it cannot be opened or read.
Result<QStringList> read_text_lines(const QString& path);

// Replaces `path` atomically (a temporary beside it, then a rename) with `lines`, each followed by
// the native line end.
Result<> write_lines_atomic(const QString& path, const QStringList& lines);

// True when both paths exist and name the same file (through links or different spellings).
bool same_file(const QString& a, const QString& b);

// Copies `source` to `destination` (replacing it atomically) and gives the copy the source's
// permission bits and its access and modification times. A destination that is the source
// itself is left alone.
Result<> copy_file_preserving(const QString& source, const QString& destination);

}  // namespace orvane::dataset
