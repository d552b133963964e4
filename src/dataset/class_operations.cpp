#include "dataset/class_operations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "dataset/yaml_dataset.h"
#include "files/atomic_file.h"
#include "files/fs_path.h"
#include "files/label_format.h"
#include "files/text_file.h"
#include "imaging/image_files.h"

namespace orvane::dataset {

namespace {

constexpr const char* kJournalName = ".orvane-classes.journal";
constexpr const char* kStagedSuffix = ".orvane-staged";
constexpr const char* kJournalHeader = "orvane class operation journal 1";

QString staged_path(const QString& target) { return target + QLatin1String(kStagedSuffix); }

// One sync of the file system holding `folder`: cheaper than a sync per file for thousands of
// staged label files, and enough to order "all staged bytes on disk" before the commit point.
void sync_file_system(const QString& folder) {
  const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    ::sync();
    return;
  }
  if (::syncfs(fd) != 0) ::sync();
  ::close(fd);
}

QByteArray class_list_text(const QStringList& names) {
  QByteArray text;
  const QByteArray eol = native_line_end().toByteArray();
  for (const QString& name : names) text += name.toUtf8() + eol;
  return text;
}

Result<QStringList> read_class_list(const QString& path) {
  const Result<QByteArray> text = read_whole_file(path);
  if (!text) return fail(text.error());
  QStringList names;
  for (const std::string& name : files::parse_class_names(text->toStdString()))
    names.append(QString::fromStdString(name));
  return names;
}

// A class named by name, or by id when no class has that name.
Result<int> resolve(const QStringList& names, const QString& token) {
  const qsizetype at = names.indexOf(token);
  if (at >= 0) return int(at);
  bool number = false;
  const int id = token.toInt(&number);
  if (number && id >= 0 && id < names.size()) return id;
  return fail(QStringLiteral("no class '%1' (classes: %2)").arg(token, names.join(QStringLiteral(", "))));
}

QString quoted(const QString& name) { return QLatin1Char('\'') + name + QLatin1Char('\''); }

struct Journal {
  QString state;
  QString description;
  QStringList targets;
};

QByteArray journal_text(const Journal& journal) {
  QByteArray text = QByteArray(kJournalHeader) + '\n';
  text += "state " + journal.state.toUtf8() + '\n';
  text += "operation " + journal.description.toUtf8() + '\n';
  for (const QString& target : journal.targets) text += "file " + target.toUtf8() + '\n';
  text += "end\n";
  return text;
}

Result<Journal> read_journal(const QString& path) {
  const Result<QByteArray> text = read_whole_file(path);
  if (!text) return fail(text.error());
  const QList<QByteArray> lines = split_lines(*text);
  // The journal is only ever replaced atomically, so a file without its "end" is not ours.
  if (lines.size() < 4 || lines.first() != kJournalHeader || lines.last() != "end")
    return fail(QStringLiteral("%1 is not a complete class operation journal").arg(path));
  Journal journal;
  for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
    const QString line = QString::fromUtf8(lines[i]);
    if (line.startsWith(QLatin1String("state ")))
      journal.state = line.mid(6);
    else if (line.startsWith(QLatin1String("operation ")))
      journal.description = line.mid(10);
    else if (line.startsWith(QLatin1String("file ")))
      journal.targets.append(line.mid(5));
  }
  if (journal.state != QLatin1String("staging") && journal.state != QLatin1String("committed"))
    return fail(QStringLiteral("%1: unknown state '%2'").arg(path, journal.state));
  return journal;
}

Result<> write_journal(const QString& root, const Journal& journal) {
  return write_file_atomic(fs_path(journal_path(root)), journal_text(journal).toStdString());
}

Result<> rename_over(const QString& from, const QString& to) {
  std::error_code ec;
  std::filesystem::rename(fs_path(from), fs_path(to), ec);
  if (ec)
    return fail(QStringLiteral("Could not rename %1 to %2: %3")
                    .arg(from, to, QString::fromStdString(ec.message())));
  return {};
}

// Either state of a journal, finished: staged files removed (staging) or renamed over their
// targets (committed); then the journal goes.
Result<> finish(const QString& root, const Journal& journal) {
  const bool forward = journal.state == QLatin1String("committed");
  for (const QString& target : journal.targets) {
    const QString staged = staged_path(target);
    if (!QFileInfo::exists(staged)) continue;  // renamed already, or never written
    if (forward) {
      if (Result<> r = rename_over(staged, target); !r) return r;
    } else if (Result<> r = remove_file(staged); !r) {
      return r;
    }
  }
  sync_file_system(root);
  return remove_file(journal_path(root));
}

}  // namespace

QString journal_path(const QString& root) { return QDir(root).filePath(QLatin1String(kJournalName)); }

Result<ClassDataset> open_folder_dataset(const QString& folder) {
  if (!QFileInfo(folder).isDir()) return fail(QStringLiteral("%1 is not a folder").arg(folder));
  ClassDataset data;
  data.root = QFileInfo(folder).absoluteFilePath();
  const QString classes = QDir(folder).filePath(QStringLiteral("classes.txt"));
  if (QFileInfo::exists(classes)) {
    Result<QStringList> names = read_class_list(classes);
    if (!names) return fail(names.error());
    data.names = *names;
  }
  data.classes_files.append(classes);
  data.image_paths = list_images(folder, ListOrder::CodePoint);
  for (const QString& image : data.image_paths) {
    const QString label = label_path_for(image);
    if (QFileInfo(label).isFile()) data.label_files.append(label);
  }
  return data;
}

Result<ClassDataset> open_yaml_dataset(const QString& data_yaml) {
  const Result<YamlDataset> yaml = load_yaml_dataset(data_yaml);
  if (!yaml) return fail(yaml.error());
  ClassDataset data;
  data.data_yaml = yaml->yaml_path;
  data.root = QFileInfo(yaml->yaml_path).absolutePath();
  data.names = yaml->names;
  QSet<QString> seen_labels, seen_images;
  QStringList candidates{QDir(data.root).filePath(QStringLiteral("classes.txt"))};
  for (const SplitSource& source : yaml->sources) {
    for (const QString& image : split_images(source)) {
      if (seen_images.contains(image)) continue;
      seen_images.insert(image);
      data.image_paths.append(image);
      const QString label = split_label_path(image);
      if (seen_labels.contains(label) || !QFileInfo(label).isFile()) continue;
      seen_labels.insert(label);
      data.label_files.append(label);
      const QString beside = QFileInfo(label).dir().filePath(QStringLiteral("classes.txt"));
      if (!candidates.contains(beside)) candidates.append(beside);
    }
  }
  for (const QString& candidate : candidates)
    if (QFileInfo(candidate).isFile()) data.classes_files.append(candidate);
  return data;
}

Result<ClassOperation> parse_class_operation(ClassOperationKind kind, const QString& text) {
  ClassOperation op;
  op.kind = kind;
  const auto list = [](const QString& s) {
    QStringList items = s.split(QLatin1Char(','));
    for (QString& item : items) item = item.trimmed();
    return items;
  };
  switch (kind) {
    case ClassOperationKind::Rename:
    case ClassOperationKind::Merge: {
      const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
      if (colon < 0)
        return fail(kind == ClassOperationKind::Rename
                        ? QStringLiteral("rename takes OLD:NEW, not '%1'").arg(text)
                        : QStringLiteral("merge takes A,B:C, not '%1'").arg(text));
      op.sources = list(text.left(colon));
      op.target = text.mid(colon + 1).trimmed();
      if (kind == ClassOperationKind::Rename && op.sources.size() != 1)
        return fail(QStringLiteral("rename takes one class: OLD:NEW"));
      break;
    }
    case ClassOperationKind::Delete:
      op.sources = {text.trimmed()};
      break;
    case ClassOperationKind::Reorder:
      op.sources = list(text);
      break;
  }
  for (const QString& s : op.sources)
    if (s.isEmpty()) return fail(QStringLiteral("an empty class name in '%1'").arg(text));
  if ((kind == ClassOperationKind::Rename || kind == ClassOperationKind::Merge) &&
      op.target.isEmpty())
    return fail(QStringLiteral("an empty target name in '%1'").arg(text));
  return op;
}

namespace {

// Builds the new list of `m` from `keep` (old ids in their new order); each kept class takes its
// place in it (the others keep whatever `m.new_ids` says).
void renumber(ClassMapping& m, const QStringList& names, const QList<int>& keep) {
  m.names.clear();
  for (int old : keep) {
    m.new_ids[size_t(old)] = m.names.size();
    m.names.append(names[old]);
  }
}

Result<ClassMapping> map_rename(const QStringList& names, int id, const QString& target,
                                ClassMapping m) {
  if (target == names[id])
    return fail(QStringLiteral("%1 already has that name").arg(quoted(target)));
  if (names.contains(target))
    return fail(QStringLiteral("a class %1 exists already: merge into it instead (merge=%2:%1)")
                    .arg(quoted(target), names[id]));
  m.names = names;
  m.names[id] = target;
  m.description = QStringLiteral("rename %1 to %2").arg(quoted(names[id]), quoted(target));
  return m;
}

Result<ClassMapping> map_delete(const QStringList& names, int id, ClassMapping m) {
  QList<int> keep;
  for (int i = 0; i < int(names.size()); ++i)
    if (i != id) keep.append(i);
  renumber(m, names, keep);
  m.new_ids[size_t(id)] = -1;
  m.description = QStringLiteral("delete %1").arg(quoted(names[id]));
  return m;
}

Result<ClassMapping> map_reorder(const QStringList& names, const QList<int>& ids, ClassMapping m) {
  const int n = int(names.size());
  if (ids.size() != n) {
    QStringList missing;
    for (int i = 0; i < n; ++i)
      if (!ids.contains(i)) missing.append(names[i]);
    return fail(QStringLiteral("order must name every class once; missing: %1")
                    .arg(missing.join(QStringLiteral(", "))));
  }
  QList<int> identity;
  for (int i = 0; i < n; ++i) identity.append(i);
  if (ids == identity) return fail(QStringLiteral("the classes are in that order already"));
  renumber(m, names, ids);
  QStringList listed;
  for (int id : ids) listed.append(names[id]);
  m.description = QStringLiteral("reorder to %1").arg(listed.join(QStringLiteral(", ")));
  return m;
}

Result<ClassMapping> map_merge(const QStringList& names, const QList<int>& ids,
                               const QString& target, ClassMapping m) {
  const qsizetype existing = names.indexOf(target);
  QList<int> merged = ids;
  if (existing >= 0) merged.removeAll(int(existing));
  if (merged.isEmpty()) return fail(QStringLiteral("nothing to merge into %1").arg(quoted(target)));
  // The target keeps its own place; a new name takes the place of the first merged class.
  int anchor = int(existing);
  if (anchor < 0) anchor = *std::min_element(merged.begin(), merged.end());
  QList<int> keep;
  for (int i = 0; i < int(names.size()); ++i)
    if (i == anchor || !merged.contains(i)) keep.append(i);
  renumber(m, names, keep);
  m.names[m.new_ids[size_t(anchor)]] = target;
  for (int id : merged) m.new_ids[size_t(id)] = m.new_ids[size_t(anchor)];
  QStringList from;
  for (int id : ids) from.append(quoted(names[id]));
  m.description =
      QStringLiteral("merge %1 into %2").arg(from.join(QStringLiteral(", ")), quoted(target));
  return m;
}

}  // namespace

Result<ClassMapping> map_classes(const QStringList& names, const ClassOperation& op) {
  ClassMapping m;
  const int n = int(names.size());
  m.new_ids.resize(size_t(n));
  for (int i = 0; i < n; ++i) m.new_ids[size_t(i)] = i;
  QList<int> ids;
  for (const QString& token : op.sources) {
    const Result<int> id = resolve(names, token);
    if (!id) return fail(id.error());
    if (ids.contains(*id)) return fail(QStringLiteral("class %1 is named twice").arg(quoted(names[*id])));
    ids.append(*id);
  }
  switch (op.kind) {
    case ClassOperationKind::Rename:
      return map_rename(names, ids.first(), op.target, std::move(m));
    case ClassOperationKind::Delete:
      return map_delete(names, ids.first(), std::move(m));
    case ClassOperationKind::Reorder:
      return map_reorder(names, ids, std::move(m));
    case ClassOperationKind::Merge:
      return map_merge(names, ids, op.target, std::move(m));
  }
  return fail(QStringLiteral("unknown class operation"));
}

Result<ClassPlan> plan_class_operation(const ClassDataset& dataset, const ClassOperation& operation) {
  if (dataset.names.isEmpty())
    return fail(QStringLiteral("%1 has no class list (classes.txt or data.yaml names)").arg(dataset.root));
  Result<ClassMapping> mapping = map_classes(dataset.names, operation);
  if (!mapping) return fail(mapping.error());
  ClassPlan plan;
  plan.mapping = *mapping;
  for (const QString& label : dataset.label_files) {
    const Result<QByteArray> text = read_whole_file(label);
    if (!text) return fail(text.error());
    ++plan.label_files;
    const files::ClassRemap remap = files::remap_label_classes(
        std::string_view(text->constData(), size_t(text->size())), plan.mapping.new_ids);
    plan.lines_renumbered += int(remap.renumbered);
    plan.objects_removed += int(remap.removed);
    plan.images_with_removed += remap.removed > 0 ? 1 : 0;
    plan.lines_carried += int(remap.carried);
    QByteArray after = QByteArray::fromStdString(remap.text);
    if (after != *text) plan.changes.push_back({label, *text, after});
  }
  const QByteArray list = class_list_text(plan.mapping.names);
  for (const QString& classes : dataset.classes_files) {
    // The annotator folder's classes.txt always exists here: names came from it.
    const Result<QByteArray> before = read_whole_file(classes);
    if (!before) return fail(before.error());
    if (*before != list) plan.changes.push_back({classes, *before, list});
  }
  if (!dataset.data_yaml.isEmpty()) {
    const Result<QByteArray> before = read_whole_file(dataset.data_yaml);
    if (!before) return fail(before.error());
    const Result<QByteArray> after = with_class_names(*before, plan.mapping.names);
    if (!after) return fail(QStringLiteral("%1: %2").arg(dataset.data_yaml, after.error()));
    if (*after != *before) plan.changes.push_back({dataset.data_yaml, *before, *after});
  }
  return plan;
}

QStringList describe_plan(const ClassPlan& plan) {
  QStringList lines{plan.mapping.description};
  int label_changes = 0;
  for (const FileChange& c : plan.changes)
    if (c.path.endsWith(QLatin1String(".txt")) && !c.path.endsWith(QLatin1String("classes.txt")))
      ++label_changes;
  lines << QStringLiteral("label files: %1 of %2 rewritten, %3 lines renumbered")
               .arg(label_changes)
               .arg(plan.label_files)
               .arg(plan.lines_renumbered);
  if (plan.objects_removed > 0 || plan.mapping.new_ids.end() !=
                                      std::find(plan.mapping.new_ids.begin(), plan.mapping.new_ids.end(), -1))
    lines << QStringLiteral("deleted: %1 objects on %2 images")
                 .arg(plan.objects_removed)
                 .arg(plan.images_with_removed);
  if (plan.lines_carried > 0)
    lines << QStringLiteral("carried unchanged: %1 lines whose class id is not in the list")
                 .arg(plan.lines_carried);
  QStringList listed;
  for (qsizetype i = 0; i < plan.mapping.names.size(); ++i)
    listed << QStringLiteral("%1 %2").arg(i).arg(plan.mapping.names[i]);
  lines << QStringLiteral("new classes: %1").arg(listed.join(QStringLiteral(", ")));
  for (const FileChange& c : plan.changes)
    if (!c.path.endsWith(QLatin1String(".txt")) || c.path.endsWith(QLatin1String("classes.txt")))
      lines << QStringLiteral("rewritten: %1").arg(c.path);
  return lines;
}

Result<> apply_file_changes(const QString& root, const std::vector<FileChange>& changes,
                            const QString& description, const ApplyHook& hook) {
  if (Result<QString> recovered = recover_class_operation(root); !recovered) return fail(recovered.error());
  if (changes.empty()) return {};
  // Nothing may have changed since the plan was read: a file edited meanwhile would be lost.
  for (const FileChange& c : changes) {
    const Result<QByteArray> now = read_whole_file(c.path);
    if (!now) return fail(now.error());
    if (*now != c.before)
      return fail(QStringLiteral("%1 changed since the operation was planned; nothing was changed").arg(c.path));
  }
  Journal journal{QStringLiteral("staging"), description, {}};
  for (const FileChange& c : changes) journal.targets.append(c.path);
  if (Result<> r = write_journal(root, journal); !r) return r;

  const auto roll_back = [&](const QString& error) -> Result<> {
    for (const FileChange& c : changes) (void)remove_file(staged_path(c.path));
    (void)remove_file(journal_path(root));
    return fail(error + QStringLiteral("; nothing was changed"));
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    const FileChange& c = changes[i];
    const Result<> staged = write_file_atomic(
        fs_path(staged_path(c.path)), std::string_view(c.after.constData(), size_t(c.after.size())),
        files::Durability::kRenameOnly);
    if (!staged) return roll_back(staged.error());
    // The staged file takes the target's permission bits: it will become the target.
    QFile::setPermissions(staged_path(c.path), QFile::permissions(c.path));
    if (hook) hook(ApplyStage::Staged, int(i));
  }
  // One sync per file system; split folders may sit on another disk than the journal.
  QSet<QString> folders{root};
  for (const FileChange& c : changes) folders.insert(QFileInfo(c.path).absolutePath());
  QSet<dev_t> devices;
  for (const QString& folder : folders) {
    struct stat info {};
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0 || devices.contains(info.st_dev))
      continue;
    devices.insert(info.st_dev);
    sync_file_system(folder);
  }

  journal.state = QStringLiteral("committed");
  if (Result<> r = write_journal(root, journal); !r) return roll_back(r.error());
  if (hook) hook(ApplyStage::Committed, -1);

  for (size_t i = 0; i < changes.size(); ++i) {
    if (Result<> r = rename_over(staged_path(changes[i].path), changes[i].path); !r)
      return fail(r.error() + QStringLiteral(" (the journal stays; the operation completes when the folder is next opened)"));
    if (hook) hook(ApplyStage::Renamed, int(i));
  }
  return finish(root, journal);
}

std::vector<FileChange> reversed_changes(const std::vector<FileChange>& changes) {
  std::vector<FileChange> out;
  out.reserve(changes.size());
  for (const FileChange& c : changes) out.push_back({c.path, c.after, c.before});
  return out;
}

Result<QString> recover_class_operation(const QString& root) {
  const QString path = journal_path(root);
  if (!QFileInfo::exists(path)) return QString();
  const Result<Journal> journal = read_journal(path);
  if (!journal) return fail(journal.error());
  if (Result<> r = finish(root, *journal); !r)
    return fail(QStringLiteral("Could not recover the interrupted class operation: %1").arg(r.error()));
  const bool forward = journal->state == QLatin1String("committed");
  return QStringLiteral("%1 the interrupted class operation \"%2\" (%3 files).")
      .arg(forward ? QStringLiteral("Completed") : QStringLiteral("Rolled back"), journal->description)
      .arg(journal->targets.size());
}

ClassUsage class_usage(const QStringList& label_files, int class_count) {
  ClassUsage usage;
  usage.objects.assign(size_t(class_count), 0);
  usage.images.assign(size_t(class_count), 0);
  std::vector<char> seen(static_cast<size_t>(class_count), 0);
  for (const QString& label : label_files) {
    const Result<QByteArray> text = read_whole_file(label);
    if (!text) continue;
    std::fill(seen.begin(), seen.end(), 0);
    for (const std::string_view line :
         files::split_label_text(std::string_view(text->constData(), size_t(text->size())))) {
      const files::LabelLine parsed = files::parse_label_line(line);
      if (!parsed.class_id || *parsed.class_id < 0 || *parsed.class_id >= class_count) continue;
      const size_t id = size_t(*parsed.class_id);
      ++usage.objects[id];
      if (!seen[id]) ++usage.images[id];
      seen[id] = 1;
    }
  }
  return usage;
}

}  // namespace orvane::dataset
