#include "training/training_params.h"

#include <QDir>
#include <QLocale>
#include <algorithm>

namespace orvane::training {

namespace {

// Real numbers as their shortest exact text, so 0.01 travels as "0.01".
QString number_text(const QVariant& value) {
  if (value.typeId() == QMetaType::Double)
    return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
  return value.toString();
}

QString word(const QString& key, const QVariant& value) { return key + "=" + number_text(value); }

}  // namespace

QVariantMap training_param_record(const TrainingForm& form, const QString& device) {
  return {
      {"model_path", form.model_path.trimmed()},
      {"data_yaml", form.data_yaml.trimmed()},
      {"project", form.project.trimmed()},
      {"name", form.name.trimmed()},
      {"epochs", form.epochs},
      {"imgsz", form.imgsz},
      {"batch", form.batch},
      {"workers", form.workers},
      {"optimizer", form.optimizer},
      {"lr0", form.lr0},
      {"lrf", form.lrf},
      {"close_mosaic", form.close_mosaic},
      {"device", device},
  };
}

QVariantMap tuning_param_record(const TrainingForm& form) {
  return {
      {"model_path", form.model_path.trimmed()},
      {"data_yaml", form.data_yaml.trimmed()},
      {"project", form.project.trimmed()},
      {"name", form.name.trimmed() + "_tune"},
      {"epochs", form.epochs},
      {"optimizer", form.optimizer},
  };
}

int tuning_epochs(int form_epochs) { return std::min(form_epochs, 10); }

QStringList train_arguments(const QVariantMap& r) {
  QStringList words{word("model", r["model_path"]), word("data", r["data_yaml"])};
  for (const char* key : {"epochs", "imgsz", "batch", "workers", "optimizer", "lr0", "lrf",
                          "close_mosaic", "device", "project", "name"})
    words << word(key, r[key]);
  words << "exist_ok=true";
  return words;
}

QStringList val_arguments(const QString& save_dir, const QVariantMap& r) {
  return {word("model", QDir(save_dir).filePath("weights/best.pt")), word("data", r["data_yaml"]),
          word("imgsz", r["imgsz"]), word("device", r["device"])};
}

QStringList tune_arguments(const QVariantMap& r) {
  const QVariant optimizer = r.contains("optimizer") ? r["optimizer"] : QVariant("auto");
  return {word("model", r["model_path"]),
          word("data", r["data_yaml"]),
          word("epochs", tuning_epochs(r["epochs"].toInt())),
          word("iterations", kTuningIterations),
          word("optimizer", optimizer),
          word("project", r["project"]),
          word("name", r["name"]),
          "plots=false",
          "save=false",
          "exist_ok=true"};
}

}  // namespace orvane::training
