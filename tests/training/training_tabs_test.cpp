// The configuration form and the monitor as widgets, without a training child.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "training/compute_device.h"
#include "training/job_runner.h"
#include "training/training_config_tab.h"
#include "training/training_monitor_tab.h"
#include "training/yolo_threads.h"
#include "widgets/zoomable_view.h"

using orvane::ZoomableView;
using orvane::training::TrainingConfigTab;
using orvane::training::TrainingMonitorTab;

using namespace orvane::test;
using orvane::ui::MessageKind;

namespace {

QStringList items(const QComboBox* combo) {
  QStringList out;
  for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
  return out;
}

// A picture whose width tells which file a view shows.
void picture(const QString& path, int width) {
  QImage image(width, 10, QImage::Format_RGB32);
  image.fill(Qt::darkGreen);
  ASSERT_TRUE(image.save(path));
}

int shown_width(const ZoomableView* view) {
  return view->pixmap_item() ? view->pixmap_item()->pixmap().width() : -1;
}

class ConfigTabTest : public GuiTest {
 protected:
  DialogRecorder dialogs;
  TrainingConfigTab tab;
};

TEST_F(ConfigTabTest, FormStartsWithTheDocumentedControls) {
  EXPECT_EQ(items(controls(tab).model_combo),
            (QStringList{
                "yolov8s.pt",       "yolov8n.pt",       "yolov8m.pt",       "yolov8l.pt",
                "yolov8x.pt",       "yolov8s-seg.pt",   "yolov8n-seg.pt",   "yolov8m-seg.pt",
                "yolov8l-seg.pt",   "yolov8x-seg.pt",   "yolo11n.pt",       "yolo11s.pt",
                "yolo11m.pt",       "yolo11l.pt",       "yolo11x.pt",       "yolo11n-seg.pt",
                "yolo11s-seg.pt",   "yolo11m-seg.pt",   "yolo11l-seg.pt",   "yolo11x-seg.pt",
                "yolov8s.yaml",     "yolov8n.yaml",     "yolov8m.yaml",     "yolov8l.yaml",
                "yolov8x.yaml",     "yolov8s-seg.yaml", "yolov8n-seg.yaml", "yolov8m-seg.yaml",
                "yolov8l-seg.yaml", "yolov8x-seg.yaml", "yolo11n.yaml",     "yolo11s.yaml",
                "yolo11m.yaml",     "yolo11l.yaml",     "yolo11x.yaml",     "yolo11n-seg.yaml",
                "yolo11s-seg.yaml", "yolo11m-seg.yaml", "yolo11l-seg.yaml", "yolo11x-seg.yaml"}));
  EXPECT_TRUE(controls(tab).model_combo->isEditable());
  EXPECT_EQ(controls(tab).model_combo->currentText(), "yolov8s.pt");
  EXPECT_EQ(controls(tab).data_yaml_input->text(), "data.yaml");
  EXPECT_EQ(controls(tab).project_dir_input->text(), "runs/detect");
  EXPECT_EQ(controls(tab).run_name_input->text(), "tavrix_yolo_run");
  const struct {
    QSpinBox* box;
    int low, high, step, value;
  } spins[] = {{controls(tab).epochs_input, 1, 2000, 1, 100},
               {controls(tab).imgsz_input, 32, 4096, 32, 640},
               {controls(tab).batch_input, -1, 256, 1, 16},
               {controls(tab).workers_input, 0, 32, 1, 4},
               {controls(tab).close_mosaic_input, 0, 100, 1, 10}};
  for (const auto& s : spins) {
    EXPECT_EQ(s.box->minimum(), s.low);
    EXPECT_EQ(s.box->maximum(), s.high);
    EXPECT_EQ(s.box->singleStep(), s.step);
    EXPECT_EQ(s.box->value(), s.value);
  }
  EXPECT_EQ(items(controls(tab).optimizer_combo), (QStringList{"auto", "AdamW", "SGD", "Adam"}));
  EXPECT_FALSE(controls(tab).optimizer_combo->isEditable());
  EXPECT_EQ(controls(tab).lr0_input->decimals(), 5);
  EXPECT_DOUBLE_EQ(controls(tab).lr0_input->singleStep(), 0.0001);
  EXPECT_DOUBLE_EQ(controls(tab).lr0_input->value(), 0.01);
  // Learning rates are fractions, as the command line takes them (training_defaults.h).
  EXPECT_DOUBLE_EQ(controls(tab).lr0_input->minimum(), 0.00001);
  EXPECT_DOUBLE_EQ(controls(tab).lr0_input->maximum(), 1.0);
  EXPECT_DOUBLE_EQ(controls(tab).lrf_input->maximum(), 1.0);
  EXPECT_EQ(controls(tab).lrf_input->decimals(), 5);
  EXPECT_DOUBLE_EQ(controls(tab).lrf_input->singleStep(), 1.0);
  EXPECT_DOUBLE_EQ(controls(tab).lrf_input->value(), 0.01);
  // The image size steps by 32 but takes any value in range.
  controls(tab).imgsz_input->setValue(100);
  EXPECT_EQ(controls(tab).imgsz_input->value(), 100);

  QStringList buttons;
  for (auto* b : tab.findChildren<QPushButton*>()) buttons << b->text() + "|" + b->objectName();
  EXPECT_TRUE(buttons.contains(QStringLiteral("🚀 START MODEL TRAINING|primaryBtn")));
  EXPECT_TRUE(buttons.contains(QStringLiteral("🧬 AutoML Hyperparameter Genetic Search|")));
  EXPECT_TRUE(buttons.contains("Browse...|"));
}

TEST_F(ConfigTabTest, BrowseReplacesThePathAndCancelKeepsIt) {
  controls(tab).data_yaml_input->setText("typed.yaml");
  tab.browse_data_yaml();  // cancelled
  EXPECT_EQ(controls(tab).data_yaml_input->text(), "typed.yaml");
  dialogs.files.push_back("/sets/coco/data.yaml");
  tab.browse_data_yaml();
  EXPECT_EQ(controls(tab).data_yaml_input->text(), "/sets/coco/data.yaml");
}

TEST_F(ConfigTabTest, AutomlWithAMissingManifestStartsNothing) {
  QSignalSpy started(&tab, &TrainingConfigTab::automl_started);
  controls(tab).data_yaml_input->setText("/no/such/data.yaml");
  tab.start_automl_tuning();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_EQ(dialogs.messages[0].text, "Data YAML file path does not exist.");
  EXPECT_EQ(started.count(), 0);
  EXPECT_EQ(state(tab).tuner_thread, nullptr);
}

TEST_F(ConfigTabTest, AutomlResultsLandInTheForm) {
  QSignalSpy shown(&tab, &TrainingConfigTab::show_requested);
  tab.apply_automl_results({{"lr0", "0.0123456"}, {"lrf", 0.25}, {"momentum", "0.9"}});
  EXPECT_EQ(controls(tab).lr0_input->text(), "0.01235");
  EXPECT_DOUBLE_EQ(controls(tab).lrf_input->value(), 0.25);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Information);
  EXPECT_EQ(dialogs.messages[0].title, "AutoML Complete");
  EXPECT_EQ(dialogs.messages[0].text, "Optimal hyperparameters applied to controls.");
  EXPECT_EQ(shown.count(), 1);

  // Neither key: nothing changes, the same message.
  tab.apply_automl_results({{"momentum", "0.8"}});
  EXPECT_EQ(controls(tab).lr0_input->text(), "0.01235");
  EXPECT_DOUBLE_EQ(controls(tab).lrf_input->value(), 0.25);
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text, "Optimal hyperparameters applied to controls.");

  // A value that is not a number: reported, and neither value is applied.
  tab.apply_automl_results({{"lr0", "0.02"}, {"lrf", "fast"}});
  EXPECT_EQ(controls(tab).lr0_input->text(), "0.01235");
  EXPECT_DOUBLE_EQ(controls(tab).lrf_input->value(), 0.25);
  ASSERT_EQ(dialogs.messages.size(), 3u);
  EXPECT_EQ(dialogs.messages[2].kind, MessageKind::Warning);
  EXPECT_EQ(dialogs.messages[2].title, "AutoML Error");
  EXPECT_NE(dialogs.messages[2].text.indexOf("lrf is not a number (\"fast\")"), -1);
  EXPECT_TRUE(controls(tab).lr0_input->isEnabled());
  tab.apply_automl_results({{"lr0", "nan"}});
  EXPECT_EQ(dialogs.messages.back().title, "AutoML Error");
  EXPECT_EQ(controls(tab).lr0_input->text(), "0.01235");
}

class MonitorTabTest : public GuiTest {
 protected:
  DialogRecorder dialogs;
  TrainingMonitorTab tab;
  QTemporaryDir run;
};

TEST_F(MonitorTabTest, StartsIdleWithFivePages) {
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Idle Workstation");
  EXPECT_TRUE(controls(tab).lbl_train_status->font().bold());
  EXPECT_EQ(controls(tab).lbl_train_status->font().pointSize(), 11);
  EXPECT_FALSE(controls(tab).btn_stop_train->isEnabled());
  EXPECT_EQ(controls(tab).btn_stop_train->objectName(), "dangerBtn");
  EXPECT_TRUE(controls(tab).console_log->isReadOnly());
  const QStringList titles{"Live Loss Curves", "F1-Score", "Precision-Recall", "Confusion Matrix",
                           "Validation Batch Predictions"};
  const QList<QWidget*> views{controls(tab).view_loss_plot, controls(tab).view_f1_plot,
                              controls(tab).view_pr_plot, controls(tab).view_confusion_plot,
                              controls(tab).view_val_batch};
  ASSERT_EQ(controls(tab).tabs_analytics->count(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(controls(tab).tabs_analytics->tabText(i), titles[i]);
    EXPECT_EQ(controls(tab).tabs_analytics->widget(i), views[i]);
  }
  EXPECT_EQ(orvane::training::compute_device(), "cpu");  // this machine has no CUDA
}

TEST_F(MonitorTabTest, MissingManifestShowsTheErrorAndStartsNothing) {
  orvane::training::TrainingForm form;
  form.data_yaml = "  /no/such/data.yaml ";
  tab.start_training(form);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_EQ(dialogs.messages[0].text, "YAML file path does not exist:\n/no/such/data.yaml");
  EXPECT_EQ(state(tab).trainer_thread, nullptr);
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Idle Workstation");
}

TEST_F(MonitorTabTest, ProgressStatusAndTheLiveLossChart) {
  tab.update_train_progress(3, "Epoch 3/100 (3%) | ETA: 00:12:34", "");
  EXPECT_EQ(controls(tab).bar_train_progress->value(), 3);
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Epoch 3/100 (3%) | ETA: 00:12:34");
  EXPECT_EQ(controls(tab).view_loss_plot->pixmap_item(), nullptr);
  tab.update_train_progress(4, "x", run.filePath("missing.png"));
  EXPECT_EQ(controls(tab).view_loss_plot->pixmap_item(), nullptr);
  picture(run.filePath("results.png"), 77);
  tab.update_train_progress(5, "y", run.filePath("results.png"));
  EXPECT_EQ(shown_width(controls(tab).view_loss_plot), 77);
}

TEST_F(MonitorTabTest, FinishedRunFillsEveryPageStoppedKeepsThem) {
  for (auto [name, width] : {std::pair{"results.png", 11},
                             {"confusion_matrix.png", 12},
                             {"BoxF1_curve.png", 13},
                             {"MaskF1_curve.png", 99},
                             {"BoxPR_curve.png", 14},
                             {"val_batch0_labels.jpg", 15}})
    picture(run.filePath(name), width);
  controls(tab).btn_stop_train->setEnabled(true);
  tab.training_finished({{"save_dir", run.path()}, {"metrics", QVariantMap{}}});
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Training Complete");
  EXPECT_EQ(controls(tab).bar_train_progress->value(), 100);
  EXPECT_FALSE(controls(tab).btn_stop_train->isEnabled());
  EXPECT_EQ(shown_width(controls(tab).view_loss_plot), 11);
  EXPECT_EQ(shown_width(controls(tab).view_confusion_plot), 12);
  EXPECT_EQ(shown_width(controls(tab).view_f1_plot), 13);
  EXPECT_EQ(shown_width(controls(tab).view_pr_plot), 14);
  EXPECT_EQ(shown_width(controls(tab).view_val_batch), 15);

  // A stopped run loads nothing: the completed run's charts stay.
  controls(tab).bar_train_progress->setValue(40);
  tab.training_stopped();
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Training Stopped");
  EXPECT_EQ(controls(tab).bar_train_progress->value(), 40);
  EXPECT_EQ(shown_width(controls(tab).view_f1_plot), 13);
  // A folder without pictures leaves the views as they were.
  QTemporaryDir empty;
  tab.training_finished({{"save_dir", empty.path()}});
  EXPECT_EQ(shown_width(controls(tab).view_val_batch), 15);
}

// A failed run is over: the status no longer shows its last epoch and the stop button, which
// could stop nothing, is disabled.
TEST_F(MonitorTabTest, ErrorShowsTheBoxAndEndsTheRunOnScreen) {
  controls(tab).lbl_train_status->setText("Status: Epoch 1/3 (33%) | ETA: 00:00:10");
  controls(tab).btn_stop_train->setEnabled(true);
  controls(tab).bar_train_progress->setValue(33);
  tab.training_error("data.yaml: no such file");
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Training Error");
  EXPECT_EQ(dialogs.messages[0].text, "data.yaml: no such file");
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Training Failed");
  EXPECT_FALSE(controls(tab).btn_stop_train->isEnabled());
  EXPECT_EQ(controls(tab).bar_train_progress->value(), 33);  // how far it got
  tab.stop_training();                                       // no thread runs: nothing happens
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Training Failed");
}

TEST_F(MonitorTabTest, ConsoleAppendsAtTheEndWhateverIsSelected) {
  tab.append_log("first line\nsecond ");
  QTextCursor cursor = controls(tab).console_log->textCursor();
  cursor.setPosition(2);
  cursor.setPosition(5, QTextCursor::KeepAnchor);
  controls(tab).console_log->setTextCursor(cursor);
  tab.append_log("part\n");
  EXPECT_EQ(controls(tab).console_log->toPlainText(), "first line\nsecond part\n");
  EXPECT_EQ(controls(tab).console_log->textCursor().position(),
            controls(tab).console_log->document()->characterCount() - 1);
}

// Without the `orvane` tool beside the studio, both kinds of run say so in one line.
TEST_F(MonitorTabTest, MissingTrainingProcessIsReportedInOneLine) {
  QTemporaryDir empty;
  orvane::training::set_orvane_directory(empty.path());
  QFile manifest(run.filePath("data.yaml"));
  ASSERT_TRUE(manifest.open(QIODevice::WriteOnly));
  manifest.close();
  orvane::training::TrainingForm form;
  form.data_yaml = manifest.fileName();
  tab.start_training(form);
  ASSERT_NE(state(tab).trainer_thread, nullptr);
  QTRY_VERIFY_WITH_TIMEOUT(!dialogs.messages.empty(), 10000);
  EXPECT_EQ(dialogs.messages[0].title, "Training Error");
  EXPECT_EQ(dialogs.messages[0].text, "The training process was not found: " +
                                          QDir(empty.path()).filePath("orvane") + " is missing.");
  EXPECT_EQ(controls(tab).lbl_train_status->text(), "Status: Training Failed");
  EXPECT_FALSE(controls(tab).btn_stop_train->isEnabled());

  TrainingConfigTab config;
  QSignalSpy started(&config, &TrainingConfigTab::automl_started);
  controls(config).data_yaml_input->setText(manifest.fileName());
  config.start_automl_tuning();
  EXPECT_EQ(started.count(), 1);
  QTRY_VERIFY_WITH_TIMEOUT(dialogs.messages.size() == 2, 10000);
  EXPECT_EQ(dialogs.messages[1].title, "AutoML Error");
  EXPECT_EQ(dialogs.messages[1].text, "The tuning process was not found: " +
                                          QDir(empty.path()).filePath("orvane") + " is missing.");
  orvane::training::set_orvane_directory({});
}

// Browse... beside the model fills it; Resume... takes a run folder, shows the run's own options
// in the form and asks for a resume by its last.pt; a folder without one is refused with a line.
TEST_F(ConfigTabTest, BrowseTheModelAndResumeARunFolder) {
  dialogs.files = {"/weights/best.pt"};
  controls(tab).btn_browse_model->click();
  EXPECT_EQ(controls(tab).model_combo->currentText(), "/weights/best.pt");

  QTemporaryDir dir;
  const QString run = QDir(dir.path()).filePath("run7");
  QDir().mkpath(run + "/weights");
  QFile args(run + "/args.yaml");
  ASSERT_TRUE(args.open(QIODevice::WriteOnly));
  args.write("data: /sets/nuts.yaml\nepochs: 30\nimgsz: 320\nbatch: 8\nworkers: 1\n");
  args.close();
  QFile last(run + "/weights/last.pt");
  ASSERT_TRUE(last.open(QIODevice::WriteOnly));
  last.close();

  QSignalSpy resumed(&tab, &TrainingConfigTab::resume_training_requested);
  dialogs.files = {dir.path()};  // not a run folder
  controls(tab).btn_resume->click();
  EXPECT_EQ(resumed.count(), 0);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Cannot Resume");
  dialogs.files = {run};
  controls(tab).btn_resume->click();
  ASSERT_EQ(resumed.count(), 1);
  const auto form = resumed[0][0].value<orvane::training::TrainingForm>();
  EXPECT_EQ(form.resume, QFileInfo(run + "/weights/last.pt").absoluteFilePath());
  EXPECT_EQ(controls(tab).epochs_input->value(), 30);
  EXPECT_EQ(controls(tab).imgsz_input->value(), 320);
  EXPECT_EQ(controls(tab).data_yaml_input->text(), "/sets/nuts.yaml");
  EXPECT_EQ(controls(tab).run_name_input->text(), "run7");
}

}  // namespace
