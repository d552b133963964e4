// The whole window with a real training child: closing it mid-run stops the run first.

#include <gtest/gtest.h>
#include <signal.h>

#include <QComboBox>
#include <QFileInfo>
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

TEST_F(TrainingRunTest, ClosingTheWindowStopsTheRunFirst) {
  OrvaneStudio window;
  window.show();
  TrainingConfigTab* config = window.findChild<TrainingConfigTab*>();
  TrainingMonitorTab* monitor = window.findChild<TrainingMonitorTab*>();
  controls(*config).data_yaml_input->setText(" " + data + " ");
  controls(*config).model_combo->setCurrentText("yolov8n.yaml");
  controls(*config).project_dir_input->setText(dir.filePath("runs"));
  controls(*config).run_name_input->setText("closing");
  controls(*config).epochs_input->setValue(50);
  controls(*config).imgsz_input->setValue(64);
  controls(*config).batch_input->setValue(4);
  controls(*config).workers_input->setValue(0);
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

}  // namespace
