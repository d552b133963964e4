#pragma once
// classes.txt: the class list of an annotated image folder. Line i holds the name of class id i;
// each name is followed by a line end, nothing else is in the file.

#include <QColor>
#include <QString>
#include <QStringList>
#include <array>

#include "files/text_file.h"

namespace orvane {

// folder/classes.txt
QString classes_path_in(const QString& folder);

struct ClassesFileContents {
  bool exists = false;
  QStringList classes;  // each line stripped of surrounding white space, empty lines dropped
};

// Reads classes.txt (UTF-8, any line end). A missing file is no failure (nothing exists, no
// classes); a file that exists but cannot be read is.
Result<ClassesFileContents> read_classes_file(const QString& path);

// Writes every name in order, each followed by the native line end, atomically.
Result<> write_classes_file(const QString& path, const QStringList& classes);

// The id a shape of class `label` is written with: its first position in `classes`, or 0 when the
// name is not in the list.
int class_id_for(const QStringList& classes, const QString& label);

// Shape colours by class id modulo 10.
inline constexpr std::array<const char*, 10> CLASS_COLORS = {
    "#00FF00", "#FF0000", "#0000FF", "#FFFF00", "#FF00FF",
    "#00FFFF", "#FFA500", "#800080", "#FFC0CB", "#008000"};

// The colour of class id `class_id` (negative ids are never produced; they map like their modulus).
QColor class_color(int class_id);

}  // namespace orvane
