#pragma once
// The parameter records that the training form hands to the worker threads, and the `orvane`
// command lines made from them.

#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace orvane::training {

// The values of the training form as typed (text fields not yet trimmed).
struct TrainingForm {
  QString model_path = "yolov8s.pt";
  QString data_yaml = "data.yaml";
  QString project = "runs/detect";
  QString name = "tavrix_yolo_run";
  int epochs = 100;
  int imgsz = 640;
  int batch = 16;
  int workers = 4;
  QString optimizer = "auto";
  double lr0 = 0.01;
  double lrf = 0.01;
  int close_mosaic = 10;
};

// The 13 entries "model_path", "data_yaml", "project", "name", "epochs", "imgsz", "batch",
// "workers", "optimizer", "lr0", "lrf", "close_mosaic", "device"; texts trimmed.
QVariantMap training_param_record(const TrainingForm& form, const QString& device);

// "model_path", "data_yaml", "project", "name" (the run name + "_tune"), "epochs", "optimizer".
QVariantMap tuning_param_record(const TrainingForm& form);

// Epochs per tuning iteration: the form's epochs, at most 10.
int tuning_epochs(int form_epochs);
constexpr int kTuningIterations = 5;

// `orvane train` words (without the verb) for a training record; the progress channel is added
// by the job runner.
QStringList train_arguments(const QVariantMap& record);
// `orvane val` words for the final validation of the run's best weights.
QStringList val_arguments(const QString& save_dir, const QVariantMap& record);
// `orvane tune` words for a tuning record.
QStringList tune_arguments(const QVariantMap& record);

}  // namespace orvane::training
