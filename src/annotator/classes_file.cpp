#include "annotator/classes_file.h"

#include <QDir>
#include <QFileInfo>
#include <cctype>

#include "files/label_format.h"

namespace orvane {

QString classes_path_in(const QString& folder) { return QDir(folder).filePath("classes.txt"); }

Result<ClassesFileContents> read_classes_file(const QString& path) {
  ClassesFileContents result;
  result.exists = QFileInfo::exists(path);
  if (!result.exists) return result;
  const Result<QByteArray> read = read_whole_file(path);
  if (!read) return fail(read.error());
  const QByteArray& contents = *read;
  const auto ascii_space = [](QChar c) { return c.unicode() < 128 && std::isspace(c.unicode()); };
  for (const std::string& name : files::parse_class_names(contents.toStdString())) {
    // Decoding drops one leading byte order mark; further ones, and the white space behind them,
    // go too, so a name reads back the same after a save, and a line of only marks is an empty
    // line (dropped, not a nameless class).
    QString decoded = QString::fromStdString(name);
    for (qsizetype before = -1; before != decoded.size();) {
      before = decoded.size();
      while (decoded.startsWith(QChar(0xFEFF))) decoded.remove(0, 1);
      while (!decoded.isEmpty() && ascii_space(decoded.front())) decoded.remove(0, 1);
      while (!decoded.isEmpty() && ascii_space(decoded.back())) decoded.chop(1);
    }
    if (!decoded.isEmpty()) result.classes.append(decoded);
  }
  return result;
}

Result<> write_classes_file(const QString& path, const QStringList& classes) {
  QByteArray contents;
  for (const QString& name : classes) {
    contents.append(name.toUtf8());
    contents.append(native_line_end());
  }
  return write_file_atomic(path, contents);
}

int class_id_for(const QStringList& classes, const QString& label) {
  const qsizetype index = classes.indexOf(label);
  return index < 0 ? 0 : int(index);
}

QColor class_color(int class_id) {
  const int n = int(CLASS_COLORS.size());
  return QColor(CLASS_COLORS[((class_id % n) + n) % n]);
}

}  // namespace orvane
