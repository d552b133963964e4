#pragma once
// Widget-free logic of the inference tab: which folder entries are shown, the counter text,
// stepping with wrap-around, and where an exported model ends up.

#include <QString>
#include <QStringList>

#include "files/result.h"

namespace orvane::inference {

// Every entry directly inside `folder` whose name ends in .jpg, .jpeg, .png, .bmp or .webp
// (any case), as normalised full paths ("a//b/../c" -> "a/c", native separators), sorted by
// Unicode code point (case-sensitive: "B.png" before "a.png"). Entries are not checked for being
// files: a folder named "x.jpg" is listed and fails when it is predicted.
QStringList list_inference_images(const QString& folder);

// "3 / 12 - img_003.jpg" for index 2 of 12 (the file name of `path`, no folder).
QString counter_text(int index, int count, const QString& path);

// index + step wrapped into [0, count): stepping past either end continues at the other end.
// 0 when count is 0.
int wrap_index(int index, int step, int count);

// The formats the engine exports to, in the order the tab offers them (onnx first).
QStringList export_formats();

// Puts the item the engine wrote (`exported`: a file or a folder; a trailing separator is
// allowed) into `export_dir` under its own name, and returns its path there, as joined (a
// relative `export_dir` stays relative). The folder is created with its parents. An
// existing item of that name (file or folder) is replaced; the old one stays in place until the
// new one has arrived, so a failure never leaves the folder without it. When the destination is
// the exported item itself (same absolute or resolved path), nothing is moved or deleted. Moves
// across file systems copy (synced) before removing the source.
Result<QString> place_exported_item(const QString& exported, const QString& export_dir);

}  // namespace orvane::inference
