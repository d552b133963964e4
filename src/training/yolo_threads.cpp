#include "training/yolo_threads.h"

#include <yaml-cpp/yaml.h>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <algorithm>
#include <fstream>

#include "training/job_runner.h"
#include "training/train_progress.h"
#include "training/training_params.h"

namespace orvane::training {

void JobThread::stop() { stop_ = true; }

void JobThread::abort() {
  stop_ = true;
  aborted_ = true;
}

void JobThread::end_and_wait() {
  // A thread object is never destroyed with its child still running.
  if (isRunning()) {
    abort();
    wait();
  }
}

YoloTrainerThread::YoloTrainerThread(const TrainingForm& f, const QString& d, QObject* parent)
    : JobThread(parent), form_(trimmed(f)), device_(d) {}

YoloTrainerThread::~YoloTrainerThread() { end_and_wait(); }

void YoloTrainerThread::run() {
  // Elapsed time counts from here, so the ETA includes loading the model and the data.
  QElapsedTimer clock;
  clock.start();
  const QString program = orvane_program();
  const JobControl control = this->control();
  auto console = [this](const QString& text) { Q_EMIT log_signal(text); };

  QString save_dir;
  int first_epoch = 0;  // epochs a resumed run had already
  auto on_progress = [&](const QJsonObject& event) {
    const QString kind = event["event"].toString();
    if (kind == "start") {
      save_dir = QFileInfo(event["save_dir"].toString()).absoluteFilePath();
      const int first = first_epoch = event["start_epoch"].toInt();
      const int total = event["epochs"].toInt();
      if (event["resumed"].toBool()) {
        const QString chart = QDir(save_dir).filePath("results.png");
        Q_EMIT progress_signal(progress_percent(first, total),
                               resumed_status_text(first + 1, total),
                               QFileInfo::exists(chart) ? chart : QString());
      }
    } else if (kind == "download") {
      // The pretrained weights arrive before training starts: the bar shows the download.
      const double received = event["received"].toDouble(), total = event["total"].toDouble();
      const int percent = total > 0 ? int(100 * received / total) : 0;
      Q_EMIT progress_signal(
          percent,
          QString("Downloading %1: %2 of %3 MB (%4 MB/s)")
              .arg(event["file"].toString())
              .arg(received / 1e6, 0, 'f', 1)
              .arg(total > 0 ? QString::number(total / 1e6, 'f', 1) : "?")
              .arg(received / 1e6 / std::max(1e-3, event["seconds"].toDouble()), 0, 'f', 1),
          QString());
    } else if (kind == "epoch") {
      const int completed = event["epoch"].toInt(), total = event["epochs"].toInt();
      const double elapsed = clock.nsecsElapsed() / 1e9;
      // The engine redraws results.png before it reports the epoch.
      const QString chart = save_dir.isEmpty() ? QString() : QDir(save_dir).filePath("results.png");
      Q_EMIT progress_signal(progress_percent(completed, total),
                             epoch_status_text(completed, total, elapsed, first_epoch),
                             QFileInfo::exists(chart) ? chart : QString());
    }
  };

  const JobResult train = run_job(program, "train", train_arguments(form_, device_),
                                  "training process", {console, on_progress}, control);
  const tasks::TaskEnd trained = training_outcome(train, stop_requested());
  if (trained.cancelled || !trained.error.isEmpty()) {
    Q_EMIT finished_signal(trained.cancelled, trained.error, {});
    return;
  }
  const QString run_dir = QFileInfo(train.last_event["save_dir"].toString()).absoluteFilePath();
  Q_EMIT progress_signal(100, "Evaluating Validation Metrics...", QString());
  const JobResult val = run_job(program, "val", val_arguments(run_dir, form_, device_),
                                "validation process", {console, nullptr}, control);
  const tasks::TaskEnd checked = plain_outcome(val, stop_requested(), "validation process");
  if (checked.cancelled || !checked.error.isEmpty()) {
    Q_EMIT finished_signal(checked.cancelled, checked.error, {});
  } else {
    Q_EMIT finished_signal(
        false, {},
        QVariantMap{{"save_dir", run_dir},
                    {"metrics", train.last_event["metrics"].toObject().toVariantMap()}});
  }
}

YoloTunerThread::YoloTunerThread(const TrainingForm& f, const QString& d, QObject* parent)
    : JobThread(parent), form_(trimmed(f)), device_(d) {}

YoloTunerThread::~YoloTunerThread() { end_and_wait(); }

void YoloTunerThread::run() {
  // Only results written by this search count: one left by an earlier search in the same
  // project must not be mistaken for this one's. One second of slack for coarse file times.
  const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
  const JobResult tune =
      run_job(orvane_program(), "tune", tune_arguments(form_, device_), "tuning process",
              {[this](const QString& text) { Q_EMIT log_signal(text); }, nullptr}, control());
  const tasks::TaskEnd tuned = plain_outcome(tune, stop_requested(), "tuning process");
  if (tuned.cancelled || !tuned.error.isEmpty()) {
    Q_EMIT finished_signal(tuned.cancelled, tuned.error, {});
    return;
  }
  const QString file = find_best_hyperparameters(form_.project, started);
  if (file.isEmpty()) {
    Q_EMIT finished_signal(false, kNoTuningResult, {});
    return;
  }
  const Result<QVariantMap> result = read_hyperparameters(file);
  if (!result) {
    Q_EMIT finished_signal(false, result.error(), {});
    return;
  }
  Q_EMIT finished_signal(false, {}, *result);
}

QString find_best_hyperparameters(const QString& project, const QDateTime& since) {
  QString best;
  QDateTime best_time;
  QDirIterator it(project.isEmpty() ? QString(".") : project, {"best_hyperparameters.yaml"},
                  QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QFileInfo info(it.next());
    if (since.isValid() && info.lastModified() < since) continue;
    QDateTime created = info.birthTime();
    if (!created.isValid()) created = info.metadataChangeTime();
    if (best.isEmpty() || created > best_time) {
      best = info.filePath();
      best_time = created;
    }
  }
  return best;
}

namespace {

QVariant to_variant(const YAML::Node& node) {
  if (node.IsScalar()) return QString::fromStdString(node.Scalar());
  if (node.IsSequence()) {
    QVariantList list;
    for (const auto& item : node) list << to_variant(item);
    return list;
  }
  if (node.IsMap()) {
    QVariantMap map;
    for (const auto& entry : node)
      map.insert(QString::fromStdString(entry.first.as<std::string>()), to_variant(entry.second));
    return map;
  }
  return {};
}

}  // namespace

Result<QVariantMap> read_hyperparameters(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  try {
    const YAML::Node root = YAML::LoadFile(path.toStdString());
    if (!root.IsMap()) return fail(name + ": the top level is not a mapping of names to values.");
    return to_variant(root).toMap();
  } catch (const YAML::Exception& e) {
    return fail(QString("%1: %2").arg(name, QString::fromStdString(e.msg)));
  }
}

}  // namespace orvane::training
