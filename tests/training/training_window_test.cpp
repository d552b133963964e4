// The whole window with a real training child: closing it mid-run stops the run first.

#include <gtest/gtest.h>
#include <signal.h>

#include <QComboBox>
#include <algorithm>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabWidget>

#include "app/orvane_studio.h"
#include "common/tab_access.h"
#include "training/training_config_tab.h"
#include "training/training_monitor_tab.h"
#include "training_run_fixture.h"

using orvane::OrvaneStudio;
using orvane::training::TrainingConfigTab;
using orvane::training::TrainingMonitorTab;

using namespace orvane::test;

namespace {

// A tiny run of yolov8n.yaml at 64 px into PROJECT/NAME.
void fill_form(TrainingConfigTab& config, const QString& data, const QString& project,
               const QString& name, int epochs) {
  controls(config).data_yaml_input->setText(data);
  controls(config).model_combo->setCurrentText("yolov8n.yaml");
  controls(config).project_dir_input->setText(project);
  controls(config).run_name_input->setText(name);
  controls(config).epochs_input->setValue(epochs);
  controls(config).imgsz_input->setValue(64);
  controls(config).batch_input->setValue(4);
  controls(config).workers_input->setValue(0);
  controls(config).close_mosaic_input->setValue(0);
}

TEST_F(TrainingRunTest, ClosingTheWindowStopsTheRunFirst) {
  OrvaneStudio window;
  window.show();
  TrainingConfigTab* config = window.findChild<TrainingConfigTab*>();
  TrainingMonitorTab* monitor = window.findChild<TrainingMonitorTab*>();
  fill_form(*config, " " + data + " ", dir.filePath("runs"), "closing", 50);
  Q_EMIT config->start_training_requested();
  EXPECT_EQ(qobject_cast<QTabWidget*>(window.centralWidget())->currentWidget(),
            window.page(OrvaneStudio::Page::TrainingMonitor));
  YoloTrainerThread* thread = state(*monitor).trainer_thread;
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(thread->form().data_yaml, data);  // trimmed
  ASSERT_TRUE(wait_for_console(controls(*monitor).console_log, "Starting training for 50"));
  const qint64 pid = thread->child_pid();
  ASSERT_GT(pid, 0);

  EXPECT_FALSE(window.close());  // deferred until the run has saved and ended
  EXPECT_TRUE(window.isVisible());
  QElapsedTimer t;
  t.start();
  while (window.isVisible() && t.elapsed() < kRunTimeoutMs) QTest::qWait(20);
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(thread->isRunning());
  EXPECT_EQ(::kill(pid_t(pid), 0), -1);  // the child is gone
  EXPECT_TRUE(QFileInfo::exists(dir.filePath("runs/closing/weights/last.pt")));
  EXPECT_EQ(controls(*monitor).lbl_train_status->text(), "Status: Training Stopped");
  EXPECT_TRUE(dialogs.messages.empty());
}

// Closed during its second epoch, the run keeps last.pt; the next start of the studio offers to
// resume it, and the resumed run ends with every epoch's row.
TEST_F(TrainingRunTest, TheNextStartOffersToResumeARunTheWindowWasClosedOn) {
  const QString run = dir.filePath("runs/offered");
  {
    OrvaneStudio window;
    window.show();
    TrainingConfigTab* config = window.findChild<TrainingConfigTab*>();
    TrainingMonitorTab* monitor = window.findChild<TrainingMonitorTab*>();
    fill_form(*config, data, dir.filePath("runs"), "offered", 3);
    window.offer_to_resume();  // nothing to offer yet
    EXPECT_TRUE(dialogs.messages.empty());
    Q_EMIT config->start_training_requested();
    QElapsedTimer t;
    t.start();
    while (!QFileInfo::exists(run + "/results.csv") && t.elapsed() < kRunTimeoutMs)
      QTest::qWait(20);
    EXPECT_FALSE(window.close());
    while (window.isVisible() && t.elapsed() < kRunTimeoutMs) QTest::qWait(20);
    EXPECT_EQ(controls(*monitor).lbl_train_status->text(), "Status: Training Stopped");
  }
  ASSERT_TRUE(QFileInfo::exists(run + "/weights/last.pt"));

  OrvaneStudio window;
  TrainingConfigTab* config = window.findChild<TrainingConfigTab*>();
  TrainingMonitorTab* monitor = window.findChild<TrainingMonitorTab*>();
  controls(*config).project_dir_input->setText(dir.filePath("runs"));
  dialogs.answers = {QMessageBox::Yes};
  window.offer_to_resume();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Resume Training");
  EXPECT_TRUE(dialogs.messages[0].text.contains("of 3 epochs")) << dialogs.messages[0].text.toStdString();
  YoloTrainerThread* thread = state(*monitor).trainer_thread;
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(thread->form().resume, QFileInfo(run + "/weights/last.pt").absoluteFilePath());
  EXPECT_EQ(controls(*config).epochs_input->value(), 3);  // the form shows the run's options
  QSignalSpy progress(thread, &YoloTrainerThread::progress_signal);
  ASSERT_TRUE(wait_finished(thread));
  bool resumed_shown = false;
  for (const auto& p : progress) resumed_shown |= p[1].toString().startsWith("Resumed at epoch ");
  EXPECT_TRUE(resumed_shown);
  EXPECT_TRUE(controls(*monitor).lbl_train_status->text().contains("Complete"))
      << controls(*monitor).lbl_train_status->text().toStdString();
  QFile csv(run + "/results.csv");
  ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
  EXPECT_EQ(csv.readAll().count('\n'), 4);  // the header and three epochs
  window.offer_to_resume();  // once per start
  EXPECT_EQ(std::count_if(dialogs.messages.begin(), dialogs.messages.end(),
                          [](const auto& m) { return m.title == "Resume Training"; }),
            1);
}

}  // namespace
