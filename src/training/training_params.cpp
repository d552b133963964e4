#include "training/training_params.h"

#include <QDir>
#include <QLocale>
#include <algorithm>

namespace orvane::training {

namespace {

QString word(const QString& key, const QString& value) { return key + "=" + value; }
QString word(const QString& key, int value) { return key + "=" + QString::number(value); }
// Real numbers as their shortest exact text, so 0.01 travels as "0.01".
QString word(const QString& key, double value) {
  return key + "=" + QString::number(value, 'g', QLocale::FloatingPointShortest);
}

}  // namespace

TrainingForm trimmed(const TrainingForm& form) {
  TrainingForm t = form;
  t.model_path = form.model_path.trimmed();
  t.data_yaml = form.data_yaml.trimmed();
  t.project = form.project.trimmed();
  t.name = form.name.trimmed();
  t.resume = form.resume.trimmed();
  return t;
}

int tuning_epochs(int form_epochs) { return std::min(form_epochs, 10); }

QString tuning_run_name(const TrainingForm& form) { return form.name.trimmed() + "_tune"; }

QStringList train_arguments(const TrainingForm& form, const QString& device) {
  const TrainingForm f = trimmed(form);
  if (!f.resume.isEmpty())
    return {word("resume", f.resume), word("device", device), word("workers", f.workers)};
  return {word("model", f.model_path),
          word("data", f.data_yaml),
          word("epochs", f.epochs),
          word("imgsz", f.imgsz),
          word("batch", f.batch),
          word("workers", f.workers),
          word("optimizer", f.optimizer),
          word("lr0", f.lr0),
          word("lrf", f.lrf),
          word("close_mosaic", f.close_mosaic),
          word("device", device),
          word("project", f.project),
          word("name", f.name),
          "exist_ok=true"};
}

QStringList val_arguments(const QString& save_dir, const TrainingForm& form,
                          const QString& device) {
  return {word("model", QDir(save_dir).filePath("weights/best.pt")),
          word("data", form.data_yaml.trimmed()), word("imgsz", form.imgsz),
          word("device", device)};
}

QStringList tune_arguments(const TrainingForm& form, const QString& device) {
  const TrainingForm f = trimmed(form);
  return {word("model", f.model_path),
          word("data", f.data_yaml),
          word("epochs", tuning_epochs(f.epochs)),
          word("iterations", kTuningIterations),
          word("imgsz", f.imgsz),
          word("batch", f.batch),
          word("workers", f.workers),
          word("device", device),
          word("optimizer", f.optimizer),
          word("project", f.project),
          word("name", tuning_run_name(f)),
          "plots=false",
          "save=false",
          "exist_ok=true"};
}

}  // namespace orvane::training
