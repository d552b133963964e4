#pragma once
// The training form's values as the worker threads receive them, and the `orvane` command lines
// made from them.

#include <QString>
#include <QStringList>

#include "training/training_defaults.h"

namespace orvane::training {

// The values of the training form as typed (text fields not yet trimmed).
struct TrainingForm {
  QString model_path = kTrainingDefaults.model;
  QString data_yaml = kTrainingDefaults.data;
  QString project = kTrainingDefaults.project;
  QString name = kTrainingDefaults.name;
  int epochs = kTrainingDefaults.epochs;
  int imgsz = kTrainingDefaults.imgsz;
  int batch = kTrainingDefaults.batch;
  int workers = kTrainingDefaults.workers;
  QString optimizer = kTrainingDefaults.optimizer;
  double lr0 = kTrainingDefaults.lr0;
  double lrf = kTrainingDefaults.lrf;
  int close_mosaic = kTrainingDefaults.close_mosaic;
  // A resume: the run's last.pt. The run goes on with the options it was started with; the
  // fields above then only show them (see resume_run.h).
  QString resume;
};

// `form` with its paths and names trimmed (inner blanks stay: they are part of a name).
TrainingForm trimmed(const TrainingForm& form);

// Epochs per tuning iteration: the form's epochs, at most 10.
int tuning_epochs(int form_epochs);
constexpr int kTuningIterations = 5;
// The run name of a search started from the form: its training run name + "_tune".
QString tuning_run_name(const TrainingForm& form);

// `orvane train` words (without the verb) for the form on `device`, texts trimmed; the progress
// channel is added by the job runner. A resume passes only the last.pt, the device and workers,
// the keys a resume may change.
QStringList train_arguments(const TrainingForm& form, const QString& device);
// `orvane val` words for the final validation of the run's best weights.
QStringList val_arguments(const QString& save_dir, const TrainingForm& form, const QString& device);
// `orvane tune` words for a search started from the form on `device`, in its training project
// folder. Every trial trains as the form would (image size, batch, workers, device): values
// tuned at another size or batch do not carry over to the run they are meant for.
QStringList tune_arguments(const TrainingForm& form, const QString& device);

}  // namespace orvane::training
