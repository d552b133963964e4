#include "training/resume_run.h"

#include <yaml-cpp/yaml.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace orvane::training {

namespace {

QString run_folder_of(const QString& last_pt) {
  return QFileInfo(QFileInfo(last_pt).absolutePath()).absolutePath();
}

// args.yaml as key -> text; empty when missing or unreadable.
std::optional<YAML::Node> read_args(const QString& run_folder) {
  const QString path = QDir(run_folder).filePath("args.yaml");
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  try {
    YAML::Node node = YAML::Load(file.readAll().toStdString());
    if (!node.IsMap()) return std::nullopt;
    return node;
  } catch (const YAML::Exception&) {
    return std::nullopt;
  }
}

int results_rows(const QString& run_folder) {
  QFile file(QDir(run_folder).filePath("results.csv"));
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return 0;
  int lines = 0;
  while (!file.atEnd())
    if (!file.readLine().trimmed().isEmpty()) ++lines;
  return std::max(0, lines - 1);  // the header
}

}  // namespace

Result<QString> resume_checkpoint(const QString& picked) {
  const QFileInfo info(picked);
  if (info.isFile()) return info.absoluteFilePath();
  if (info.isDir()) {
    for (const QString& candidate : {QString("weights/last.pt"), QString("last.pt")}) {
      const QFileInfo file(QDir(picked).filePath(candidate));
      if (file.isFile()) return file.absoluteFilePath();
    }
    return fail(QString("%1 holds no weights/last.pt: it is not a run folder that can be resumed.")
                    .arg(QDir::toNativeSeparators(picked)));
  }
  return fail(QString("%1 does not exist.").arg(QDir::toNativeSeparators(picked)));
}

Result<TrainingForm> form_for_resume(const QString& last_pt, const TrainingForm& form) {
  const QString folder = run_folder_of(last_pt);
  const auto args = read_args(folder);
  if (!args)
    return fail(QString("%1 has no readable args.yaml beside its weights folder: it was not "
                        "written by a training run.")
                    .arg(QDir::toNativeSeparators(folder)));
  TrainingForm f = form;
  const YAML::Node& a = *args;
  auto text = [&a](const char* key, const QString& fallback) {
    return a[key] ? QString::fromStdString(a[key].as<std::string>("")) : fallback;
  };
  auto number = [&a](const char* key, auto fallback) {
    return a[key] ? a[key].as<decltype(fallback)>(fallback) : fallback;
  };
  f.data_yaml = text("data", f.data_yaml);
  f.epochs = number("epochs", f.epochs);
  f.imgsz = number("imgsz", f.imgsz);
  f.batch = number("batch", f.batch);
  f.workers = number("workers", f.workers);
  f.optimizer = text("optimizer", f.optimizer);
  f.lr0 = number("lr0", f.lr0);
  f.lrf = number("lrf", f.lrf);
  f.close_mosaic = number("close_mosaic", f.close_mosaic);
  // The run folder itself: where the resumed run writes.
  f.project = QFileInfo(folder).absolutePath();
  f.name = QFileInfo(folder).fileName();
  f.model_path = last_pt;
  f.resume = last_pt;
  return f;
}

std::optional<UnfinishedRun> find_unfinished_run(const QString& project) {
  std::optional<UnfinishedRun> newest;
  const QDir dir(project);
  for (const QFileInfo& run : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QFileInfo last(QDir(run.absoluteFilePath()).filePath("weights/last.pt"));
    if (!last.isFile()) continue;
    if (QFileInfo::exists(QDir(run.absoluteFilePath()).filePath("curves.json"))) continue;
    const auto args = read_args(run.absoluteFilePath());
    if (!args) continue;
    UnfinishedRun candidate;
    candidate.folder = run.absoluteFilePath();
    candidate.last_pt = last.absoluteFilePath();
    candidate.epochs = (*args)["epochs"] ? (*args)["epochs"].as<int>(0) : 0;
    candidate.epochs_done = results_rows(candidate.folder);
    candidate.saved = last.lastModified();
    if (candidate.epochs <= 0 || candidate.epochs_done >= candidate.epochs) continue;
    if (!newest || candidate.saved > newest->saved) newest = candidate;
  }
  return newest;
}

}  // namespace orvane::training
