#pragma once
// The file handling every converter shares: safe relative names, listing, image sizes, bounded
// reads, and writing into the staging folder of a conversion.

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>

#include "files/atomic_file.h"
#include "files/result.h"
#include "interchange/interchange_dataset.h"

namespace orvane::interchange {

// A write into the staging folder failed (disk full, permissions): the conversion stops and its
// staging folder is removed. Caught once, in convert_dataset.
using files::WriteError;

// A file name as another tool wrote it ("train\\a.jpg", "./a.jpg"), made '/'-separated and clean.
// Returns an empty string when the name is absolute, empty, or leads out of its folder ("../a.jpg",
// "a/../../b.jpg"): such a name must never decide where a file is read from or written to.
QString safe_relative_name(QString name);

// `path` relative to `root` when it lies inside it, else an empty string.
QString relative_inside(const QString& root, const QString& path);

// Files under `root` (sub-folders included, hidden ones skipped) whose names end in one of
// `suffixes` (lower case, with the dot), as full paths sorted by their relative path.
QStringList list_files(const QString& root, const QStringList& suffixes);

// The size of the picture as the studio shows it (EXIF orientation applied), read from the file's
// header without decoding it. Invalid when the file is not a readable image.
QSize image_size(const QString& path);

// Reads a whole file of at most `max_bytes`. Fails naming the file and the cause ("a.json is
// 2048 MB, over the 1024 MB limit").
Result<QByteArray> read_bounded(const QString& path, qint64 max_bytes);

// Writes `data` to `path` inside a staging folder, creating its folders. `last` marks the file that
// completes the folder: it alone is synced to disk. Throws WriteError.
void write_staged(const QString& path, const QByteArray& data, bool last = false);

// Copies an image into the staging folder, creating its folders. Throws WriteError.
void copy_staged(const QString& from, const QString& to);

// "a/b.jpg" -> "a/b" + `suffix`.
QString with_suffix(const QString& relative_path, const QString& suffix);

// A pixel coordinate as written to JSON and XML: rounded to a billionth of a pixel, which drops
// binary noise (64.00000000000001 -> 64) and keeps far more than a label file's six decimals.
double round_pixel(double value);

// A normalised coordinate on its way into a label file: snapped to nine decimals, so a value that
// went to pixels and back (x * w / w, off by one unit in the last place) is again exactly the
// number its source text named, and a seven-decimal source that sits on a six-decimal tie rounds
// the way it did before the round trip.
double snap_normalized(double value);

// The class list of a folder: classes.txt; else the `names` of a data.yaml (or the first other
// *.yaml that has them). Empty when the folder has neither; fails when one is unreadable.
Result<QStringList> folder_class_names(const QString& root);

}  // namespace orvane::interchange
