#include "review/dismissed.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace orvane::review {

QString finding_key(const QString& image_path, const Finding& f) {
  const QRect box = f.box.toAlignedRect();
  return QStringLiteral("%1|%2|%3|%4|%5,%6,%7,%8")
      .arg(QFileInfo(image_path).fileName(), kind_name(f.kind))
      .arg(f.line)
      .arg(f.class_id)
      .arg(box.left())
      .arg(box.top())
      .arg(box.right())
      .arg(box.bottom());
}

DismissedStore::DismissedStore(const QString& folder, const QString& model_path)
    : folder_(folder), model_(QFileInfo(model_path).absoluteFilePath()) {
  if (!QFileInfo::exists(path())) return;
  const Result<QByteArray> contents = read_whole_file(path());
  if (!contents) {
    error_ = contents.error();
    return;
  }
  const QJsonDocument doc = QJsonDocument::fromJson(*contents);
  if (!doc.isObject()) {
    error_ = path() + QStringLiteral(": not a dismissed-findings file");
    return;
  }
  for (const QJsonValue& key : doc.object().value("models").toObject().value(model_).toArray())
    keys_.insert(key.toString());
}

QString DismissedStore::path() const {
  return QDir(folder_).filePath(QString::fromLatin1(kDismissedFileName));
}

Result<> DismissedStore::dismiss(const QString& key) {
  keys_.insert(key);
  return save();
}

Result<> DismissedStore::restore(const QString& key) {
  keys_.remove(key);
  return save();
}

Result<> DismissedStore::save() {
  if (!error_.isEmpty()) return fail(error_);
  // Other models' entries are read afresh, so two windows on one folder do not undo each other.
  QJsonObject root;
  if (QFileInfo::exists(path())) {
    const Result<QByteArray> contents = read_whole_file(path());
    if (!contents) return fail(contents.error());
    root = QJsonDocument::fromJson(*contents).object();
  }
  QJsonObject models = root.value("models").toObject();
  QStringList sorted(keys_.begin(), keys_.end());
  sorted.sort();
  if (sorted.isEmpty())
    models.remove(model_);
  else
    models.insert(model_, QJsonArray::fromStringList(sorted));
  root.insert("models", models);
  return write_file_atomic(path(), QJsonDocument(root).toJson(QJsonDocument::Indented));
}

}  // namespace orvane::review
