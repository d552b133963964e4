#pragma once
// A generated 64-px shapes set and a tiny training form for tests that run the real `orvane`
// child of this build, with helpers that wait on the GUI event loop.

#include <algorithm>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "engine/shapes_data.h"
#include "training/job_runner.h"
#include "training/training_params.h"
#include "training/yolo_threads.h"

namespace orvane::test {

using orvane::training::TrainingForm;
using orvane::training::YoloTrainerThread;

constexpr int kRunTimeoutMs = 240000;

class TrainingRunTest : public GuiTest {
 protected:
  TrainingRunTest() {
    orvane::training::set_orvane_directory(qEnvironmentVariable("ORVANE_BIN_DIR"));
    data = QString::fromStdString(
        orvane::engine::make_dataset(std::filesystem::path(dir.path().toStdString()) / "set", false,
                                     16)
            .string());
    form.model_path = "yolov8n.yaml";
    form.data_yaml = data;
    form.project = dir.filePath("runs");
    form.name = "run";
    form.epochs = 1;
    form.imgsz = 64;
    form.batch = 4;
    form.workers = 0;
    form.close_mosaic = 0;
  }

  // Waits until the console shows the training loop has begun (the child catches stop from here).
  static bool wait_for_console(const QTextEdit* console, const QString& text) {
    QElapsedTimer t;
    t.start();
    while (!console->toPlainText().contains(text)) {
      if (t.elapsed() > kRunTimeoutMs) return false;
      QTest::qWait(20);
    }
    return true;
  }

  static bool wait_finished(QThread* thread) {
    QElapsedTimer t;
    t.start();
    while (thread->isRunning() || !thread->isFinished()) {
      if (t.elapsed() > kRunTimeoutMs) return false;
      QTest::qWait(20);
    }
    QTest::qWait(50);  // the thread's last queued signals
    return true;
  }

  QTemporaryDir dir;
  QString data;
  TrainingForm form;
  DialogRecorder dialogs;
};

struct Spies {
  explicit Spies(YoloTrainerThread* t)
      : progress(t, &YoloTrainerThread::progress_signal),
        ended(t, &YoloTrainerThread::finished_signal) {}
  int outcomes() const { return ended.count(); }
  // The ends of each kind: stopped; failed (their reasons); finished (their records).
  int stopped() const {
    return int(std::count_if(ended.begin(), ended.end(), [](const QVariantList& e) { return e[0].toBool(); }));
  }
  QStringList errors() const {
    QStringList out;
    for (const QVariantList& e : ended)
      if (!e[0].toBool() && !e[1].toString().isEmpty()) out << e[1].toString();
    return out;
  }
  QList<QVariantMap> records() const {
    QList<QVariantMap> out;
    for (const QVariantList& e : ended)
      if (!e[0].toBool() && e[1].toString().isEmpty()) out << e[2].toMap();
    return out;
  }
  QSignalSpy progress, ended;
};

}  // namespace orvane::test
