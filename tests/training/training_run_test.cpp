// Real tiny trainings driven from the monitor: stop, finish with charts, a killed child.

#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include "common/tab_access.h"
#include "training/training_monitor_tab.h"
#include "training_run_fixture.h"
#include "widgets/zoomable_view.h"

using orvane::ZoomableView;
using orvane::training::TrainingMonitorTab;

using namespace orvane::test;

namespace {

TEST_F(TrainingRunTest, StopDuringTheFirstEpochSavesLastAndSkipsValidation) {
  TrainingMonitorTab tab;
  form.epochs = 3;
  tab.start_training(form);
  ASSERT_NE(state(tab).trainer_thread, nullptr);
  Spies spies(state(tab).trainer_thread);
  ASSERT_TRUE(wait_for_console(controls(tab).console_log, "Starting training for 3 epochs"));
  controls(tab).btn_stop_train->click();
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Halting Training...");
  EXPECT_FALSE(controls(tab).btn_stop_train->isEnabled());
  ASSERT_TRUE(wait_finished(state(tab).trainer_thread));

  EXPECT_EQ(spies.stopped(), 1);
  EXPECT_EQ(spies.outcomes(), 1);
  for (const auto& p : spies.progress)
    EXPECT_NE(p[1].toString(), "Evaluating Validation Metrics...");
  EXPECT_TRUE(QFileInfo::exists(dir.filePath("runs/run/weights/last.pt")));
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Training Stopped");
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(TrainingRunTest, FinishedRunReportsProgressValidatesAndFillsAllFiveViews) {
  TrainingMonitorTab tab;
  tab.start_training(form);
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Initializing YOLO Session...");
  EXPECT_TRUE(controls(tab).btn_stop_train->isEnabled());
  Spies spies(state(tab).trainer_thread);
  ASSERT_TRUE(wait_finished(state(tab).trainer_thread));
  ASSERT_EQ(spies.errors(), QStringList());
  ASSERT_EQ(spies.records().size(), 1);
  EXPECT_EQ(spies.outcomes(), 1);

  // Its only epoch: 100 % with nothing left, the growing loss chart; then the final validation.
  ASSERT_EQ(spies.progress.size(), 2);
  EXPECT_EQ(spies.progress[0][0].toInt(), 100);
  EXPECT_EQ(spies.progress[0][1].toString(), "Epoch 1/1 (100%) | ETA: 00:00:00");
  EXPECT_EQ(spies.progress[0][2].toString(), dir.filePath("runs/run/results.png"));
  EXPECT_EQ(spies.progress[1][0].toInt(), 100);
  EXPECT_EQ(spies.progress[1][1].toString(), "Evaluating Validation Metrics...");
  EXPECT_EQ(spies.progress[1][2].toString(), "");

  const QVariantMap record = spies.records()[0];
  EXPECT_EQ(record["save_dir"].toString(), dir.filePath("runs/run"));
  EXPECT_TRUE(record["metrics"].toMap().contains("metrics/mAP50(B)"));
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Training Complete");
  EXPECT_FALSE(controls(tab).btn_stop_train->isEnabled());
  // The validation child's table reached the console, after the training's own output.
  const QString console = controls(tab).console_log->toPlainText();
  EXPECT_GT(console.lastIndexOf("mAP50-95"), console.indexOf("Starting training for 1 epochs"));
  EXPECT_FALSE(console.contains(QChar(0x1B)));
  EXPECT_FALSE(console.contains("\"event\""));  // progress lines never mix into the console
  for (ZoomableView* view :
       {controls(tab).view_loss_plot, controls(tab).view_f1_plot, controls(tab).view_pr_plot,
        controls(tab).view_confusion_plot, controls(tab).view_val_batch}) {
    ASSERT_NE(view->pixmap_item(), nullptr);
    EXPECT_FALSE(view->pixmap_item()->pixmap().isNull());
  }
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(TrainingRunTest, KilledChildIsATrainingErrorAndTheNextRunStarts) {
  TrainingMonitorTab tab;
  form.epochs = 50;
  tab.start_training(form);
  YoloTrainerThread* first = state(tab).trainer_thread;
  Spies spies(first);
  ASSERT_TRUE(wait_for_console(controls(tab).console_log, "Starting training for 50 epochs"));
  // A second start while the run goes is refused, and the run carries on.
  tab.start_training(form);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Training Busy");
  EXPECT_EQ(state(tab).trainer_thread, first);

  const qint64 pid = first->child_pid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid_t(pid), SIGKILL), 0);
  ASSERT_TRUE(wait_finished(first));
  EXPECT_EQ(spies.errors().size(), 1);
  EXPECT_EQ(spies.outcomes(), 1);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].title, "Training Error");
  EXPECT_EQ(dialogs.messages[1].text,
            "The training process ended abnormally: killed by signal 9 (SIGKILL).");

  // The window is usable: a new run starts (and is stopped at once).
  // The ended run's thread is replaced (its address may well be reused, so it is watched).
  const QPointer<YoloTrainerThread> ended(first);
  tab.start_training(form);
  ASSERT_NE(state(tab).trainer_thread, nullptr);
  EXPECT_TRUE(ended.isNull());
  EXPECT_TRUE(state(tab).trainer_thread->isRunning());
  Spies again(state(tab).trainer_thread);
  tab.stop_training();
  ASSERT_TRUE(wait_finished(state(tab).trainer_thread));
  EXPECT_EQ(again.stopped(), 1);
  EXPECT_EQ(again.outcomes(), 1);
}

// A search started from the form trains every trial at the form's image size, batch and workers
// (it used to tune at the engine's 640 whatever the form said): each trial's args.yaml shows them.
TEST_F(TrainingRunTest, AutomlSearchTrainsAtTheFormsSizeBatchAndWorkers) {
  form.imgsz = 96;
  form.batch = 2;
  orvane::training::YoloTunerThread tuner(form, "cpu");
  QSignalSpy ended(&tuner, &orvane::training::YoloTunerThread::finished_signal);
  tuner.start();
  ASSERT_TRUE(wait_finished(&tuner));
  ASSERT_EQ(ended.count(), 1);
  ASSERT_FALSE(ended[0][0].toBool());
  ASSERT_EQ(ended[0][1].toString(), "") << ended[0][1].toString().toStdString();
  int trials = 0;
  QDirIterator it(dir.filePath("runs"), {"args.yaml"}, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile file(it.next());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString args = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(args.contains("\nimgsz: 96\n")) << it.filePath().toStdString();
    EXPECT_TRUE(args.contains("\nbatch: 2\n")) << it.filePath().toStdString();
    EXPECT_TRUE(args.contains("\nworkers: 0\n")) << it.filePath().toStdString();
    ++trials;
  }
  EXPECT_GE(trials, 1);
}

}  // namespace
