#include "dataset/yaml_dataset.h"

#include <yaml-cpp/yaml.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <map>

#include "dataset/dataset_split.h"
#include "files/text_file.h"
#include "imaging/image_files.h"

namespace orvane::dataset {

namespace {

QString from_yaml(const YAML::Node& node) { return QString::fromStdString(node.as<std::string>()); }

Result<QStringList> names_of(const YAML::Node& names, const QString& path) {
  QStringList out;
  if (names.IsSequence()) {
    for (const auto& name : names) out.append(from_yaml(name));
    return out;
  }
  if (!names.IsMap()) return fail(QStringLiteral("%1 has no class names").arg(path));
  std::map<long long, QString> by_id;
  for (const auto& entry : names) by_id[entry.first.as<long long>()] = from_yaml(entry.second);
  long long expected = 0;
  for (const auto& [id, name] : by_id) {
    if (id != expected++)
      return fail(QStringLiteral("%1: class ids in names must run 0, 1, 2 ... without gaps").arg(path));
    out.append(name);
  }
  return out;
}

}  // namespace

Result<YamlDataset> load_yaml_dataset(const QString& yaml_path) {
  YamlDataset data;
  data.yaml_path = QFileInfo(yaml_path).absoluteFilePath();
  if (!QFileInfo(yaml_path).isFile()) return fail(QStringLiteral("%1 does not exist").arg(yaml_path));
  try {
    const YAML::Node root = YAML::LoadFile(QFile::encodeName(data.yaml_path).toStdString());
    if (!root.IsMap()) return fail(QStringLiteral("%1 is not a YAML mapping").arg(yaml_path));
    const Result<QStringList> names = names_of(root["names"], yaml_path);
    if (!names) return fail(names.error());
    data.names = *names;
    QDir base = QFileInfo(data.yaml_path).absoluteDir();
    if (root["path"] && root["path"].IsScalar() && !from_yaml(root["path"]).isEmpty())
      base = QDir(base.absoluteFilePath(from_yaml(root["path"])));
    for (const char* split : {"train", "val", "test"}) {
      const YAML::Node node = root[split];
      if (!node || node.IsNull()) continue;
      QStringList entries;
      if (node.IsSequence())
        for (const auto& item : node) entries.append(from_yaml(item));
      else if (node.IsScalar())
        entries.append(from_yaml(node));
      for (const QString& entry : entries) {
        if (entry.isEmpty()) continue;
        const QFileInfo info(base.absoluteFilePath(entry));
        if (!info.exists()) continue;
        data.sources.push_back({QString::fromLatin1(split), QDir::cleanPath(info.absoluteFilePath()),
                                info.isDir()});
      }
    }
  } catch (const YAML::Exception& e) {
    return fail(QStringLiteral("%1: %2").arg(yaml_path, QString::fromStdString(e.what())));
  }
  return data;
}

QStringList split_images(const SplitSource& source) {
  QStringList images;
  if (source.is_folder) {
    QDirIterator it(source.path, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      const QString path = it.next();
      if (has_image_extension(path)) images.append(path);
    }
    images.sort();
    return images;
  }
  const Result<QByteArray> text = read_whole_file(source.path);
  if (!text) return images;
  const QDir list_dir = QFileInfo(source.path).absoluteDir();
  for (const QByteArray& raw : split_lines(*text)) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.isEmpty() || !has_image_extension(line)) continue;
    images.append(QDir::cleanPath(list_dir.absoluteFilePath(line)));
  }
  return images;
}

QString split_label_path(const QString& image_path) {
  QString path = image_path;
  path.replace(QLatin1Char('\\'), QLatin1Char('/'));
  const qsizetype at = path.lastIndexOf(QStringLiteral("/images/"));
  if (at >= 0) path.replace(at, 8, QStringLiteral("/labels/"));
  return label_path_for(path);
}

Result<QByteArray> with_class_names(const QByteArray& yaml_text, const QStringList& names) {
  YAML::Node root;
  try {
    root = YAML::Load(yaml_text.toStdString());
  } catch (const YAML::Exception& e) {
    return fail(QString::fromStdString(e.what()));
  }
  if (!root.IsMap()) return fail(QStringLiteral("not a YAML mapping"));
  const bool as_list = root["names"] && root["names"].IsSequence();
  const QByteArray eol = native_line_end().toByteArray();

  QByteArray block = "names:" + eol;
  for (qsizetype id = 0; id < names.size(); ++id)
    block += "  " + (as_list ? QByteArray("- ") : QByteArray::number(id) + ": ") +
             yaml_scalar(names[id]).toUtf8() + eol;

  // The block of a top-level key: its line and the indented, blank or comment lines after it,
  // less trailing blank and comment lines (they belong to what follows).
  QList<QByteArray> lines = split_lines(yaml_text);
  const auto key_block = [&lines](const QByteArray& key) -> std::pair<qsizetype, qsizetype> {
    for (qsizetype i = 0; i < lines.size(); ++i) {
      if (!lines[i].startsWith(key + ':')) continue;
      qsizetype end = i + 1, last = i + 1;
      while (end < lines.size()) {
        const QByteArray& l = lines[end];
        const QByteArray t = l.trimmed();
        if (!t.isEmpty() && !t.startsWith('#') && !(l.startsWith(' ') || l.startsWith('\t'))) break;
        ++end;
        if (!t.isEmpty() && !t.startsWith('#')) last = end;
      }
      return {i, last};
    }
    return {-1, -1};
  };
  QByteArray text;
  const auto [begin, end] = key_block("names");
  if (begin >= 0) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
      if (i == begin) text += block;
      if (i >= begin && i < end) continue;
      QByteArray line = lines[i];
      if (line.startsWith("nc:")) line = "nc: " + QByteArray::number(names.size());
      text += line + eol;
    }
    // Checked by reading it back: every other key as it was, the names as asked.
    try {
      const YAML::Node again = YAML::Load(text.toStdString());
      bool same = again.IsMap() && again.size() == root.size();
      const Result<QStringList> read = names_of(again["names"], QString());
      same = same && read && *read == names;
      for (const auto& entry : root) {
        const std::string key = entry.first.as<std::string>();
        if (!same || key == "names" || key == "nc") continue;
        same = YAML::Dump(again[key]) == YAML::Dump(entry.second);
      }
      if (same) return text;
    } catch (const YAML::Exception&) {
    }
  }
  // The names could not be found line by line (a flow mapping, anchors ...): re-emit the document.
  if (as_list) {
    YAML::Node list(YAML::NodeType::Sequence);
    for (const QString& name : names) list.push_back(name.toStdString());
    root["names"] = list;
  } else {
    YAML::Node map(YAML::NodeType::Map);
    for (qsizetype id = 0; id < names.size(); ++id) map[id] = names[id].toStdString();
    root["names"] = map;
  }
  if (root["nc"]) root["nc"] = names.size();
  QByteArray out = QByteArray::fromStdString(YAML::Dump(root)) + '\n';
  out.replace("\n", eol);
  return out;
}

}  // namespace orvane::dataset
