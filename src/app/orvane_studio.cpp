#include "app/orvane_studio.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include "annotator/annotator_tab.h"
#include "dataset/dataset_actions.h"
#include "enricher/enricher_tab.h"
#include "inference/inference_tab.h"
#include "resizer/resizer_tab.h"
#include "splitter/splitter_tab.h"
#include "training/training_config_tab.h"
#include "training/training_monitor_tab.h"
#include "training/yolo_threads.h"
#include "ui/dialogs.h"
#include "ui/help_dialog.h"
#include "ui/stylesheet.h"
#include "ui/theme_toggle.h"

namespace {

// Puts a tab widget into its page, edge to edge.
template <typename Tab>
Tab* fill_page(QWidget* page) {
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* tab = new Tab(page);
  layout->addWidget(tab);
  return tab;
}

}  // namespace

QString OrvaneStudio::icon_path() {
  return QCoreApplication::applicationDirPath() + "/Orvane-Studio-icon.png";
}

OrvaneStudio::OrvaneStudio() {
  setWindowTitle("Orvane Studio - Deep Learning Workstation");
  if (QFileInfo::exists(icon_path())) setWindowIcon(QIcon(icon_path()));
  resize(1500, 950);
  init_ui();
  apply_theme(is_dark_mode);
  setup_shortcuts();
}

void OrvaneStudio::init_ui() {
  tabs = new QTabWidget;
  tabs->setObjectName("tabs");
  setCentralWidget(tabs);

  struct Page {
    QWidget** field;
    void (OrvaneStudio::*setup)();
    const char* title;
  };
  const Page pages[] = {
      {&tab_resizer, &OrvaneStudio::setup_resizer_tab, "Image Resizer + Compressor"},
      {&tab_splitter, &OrvaneStudio::setup_splitter_tab, "Image Splitter"},
      {&tab_aug, &OrvaneStudio::setup_aug_tab, "Synthetic Data Enricher"},
      {&tab_workspace, &OrvaneStudio::setup_workspace_tab, "Image Annotator"},
      {&tab_config, &OrvaneStudio::setup_config_tab, "YOLO Configuration && AutoML"},
      {&tab_progress, &OrvaneStudio::setup_progress_tab, "Training Analytics && Live Logs"},
      {&tab_inference, &OrvaneStudio::setup_inference_tab, "Inference && Model Export"},
  };
  for (const Page& page : pages) {
    *page.field = new QWidget;
    (this->*page.setup)();
    tabs->addTab(*page.field, page.title);
  }

  theme_toggle = new ThemeToggle;
  theme_toggle->setChecked(is_dark_mode);
  connect(theme_toggle, &ThemeToggle::toggled, this, &OrvaneStudio::apply_theme);

  auto* help = btn_help = new QPushButton(QStringLiteral("ℹ"));
  help->setObjectName("helpBtn");
  help->setFixedSize(28, 28);
  help->setCursor(Qt::PointingHandCursor);
  help->setToolTip("Orvane Studio - User Guide");
  help->setStyleSheet(
      "QPushButton { font-size: 14px; font-weight: bold; border-radius: 14px; padding: 0px; }");
  connect(help, &QPushButton::clicked, this, [this] {
    HelpDialog dialog(this);  // a fresh guide on every click
    orvane::ui::exec_dialog(dialog);
  });

  auto* corner = corner_widget = new QWidget;
  auto* corner_layout = new QHBoxLayout(corner);
  corner_layout->setContentsMargins(0, 0, 15, 8);
  corner_layout->setSpacing(8);
  corner_layout->addWidget(help, 0, Qt::AlignVCenter);
  corner_layout->addWidget(theme_toggle, 0, Qt::AlignVCenter);
  tabs->setCornerWidget(corner, Qt::TopRightCorner);
}

void OrvaneStudio::apply_theme(bool is_dark) {
  is_dark_mode = is_dark;
  if (qApp) {
    QApplication::setPalette(theme_palette(is_dark_mode));
    qApp->setStyleSheet(get_stylesheet(is_dark_mode));
  }
  // Shape colours follow class ids, not the theme; the annotator re-applies them on every switch.
  // Before the annotator exists there is nothing to do.
  if (annotator) annotator->update_annotation_colors();
}

void OrvaneStudio::setup_shortcuts() {
  // Delete/Backspace for the annotator's current shape are installed by the annotator tab,
  // scoped to that tab so a key pressed elsewhere never destroys an annotation.
}

void OrvaneStudio::setup_resizer_tab() { resizer = fill_page<ResizerTab>(tab_resizer); }
void OrvaneStudio::setup_splitter_tab() { splitter = fill_page<SplitterTab>(tab_splitter); }
void OrvaneStudio::setup_aug_tab() { enricher = fill_page<EnricherTab>(tab_aug); }
void OrvaneStudio::setup_workspace_tab() {
  annotator = fill_page<AnnotatorTab>(tab_workspace);
  // The annotator's dataset buttons start the dataset tools on the annotator's folder.
  connect(annotator->btn_health_check, &QPushButton::clicked, this,
          [this] { run_health_check(this, annotator->image_folder); });
  connect(annotator->btn_analytics, &QPushButton::clicked, this,
          [this] { show_dataset_analytics(this, annotator->image_paths, annotator->classes); });
  connect(annotator->btn_split_export, &QPushButton::clicked, this, [this] {
    // The export reads the label files, so what is on screen (dragged shapes too) goes first.
    if (annotator->save_current_annotations())
      export_and_split_dataset(this, annotator->image_paths, annotator->classes);
  });
}
void OrvaneStudio::setup_config_tab() {
  training_config = fill_page<TrainingConfigTab>(tab_config);
}

void OrvaneStudio::setup_progress_tab() {
  training_monitor = fill_page<TrainingMonitorTab>(tab_progress);
  // The form feeds the monitor; both kinds of run write into the monitor's console.
  connect(training_config, &TrainingConfigTab::start_training_requested, this,
          &OrvaneStudio::start_training);
  connect(training_config, &TrainingConfigTab::automl_started, this, [this] {
    training_monitor->console_log->clear();
    tabs->setCurrentIndex(5);
  });
  connect(training_config, &TrainingConfigTab::log_text, this, &OrvaneStudio::append_log);
  connect(training_config, &TrainingConfigTab::show_requested, this,
          [this] { tabs->setCurrentIndex(4); });
  connect(training_monitor, &TrainingMonitorTab::show_requested, this,
          [this] { tabs->setCurrentIndex(5); });
}

void OrvaneStudio::start_training() {
  training_monitor->start_training(training_config->current_form());
}

void OrvaneStudio::append_log(const QString& text) { training_monitor->append_log(text); }

void OrvaneStudio::closeEvent(QCloseEvent* event) {
  const bool training = training_monitor && training_monitor->is_training();
  const bool tuning = training_config && training_config->is_tuning();
  if (!training && !tuning) {
    QMainWindow::closeEvent(event);
    return;
  }
  event->ignore();
  if (closing_after_runs_) {
    // Asked again while the run saves its batch: the operator does not want to wait.
    if (training) training_monitor->trainer_thread->abort();
    if (tuning) training_config->tuner_thread->abort();
    return;
  }
  closing_after_runs_ = true;
  if (training) {
    training_monitor->stop_training();
    connect(training_monitor->trainer_thread, &QThread::finished, this,
            &OrvaneStudio::close_when_idle);
  }
  if (tuning) {
    training_config->stop_tuning_for_close();
    connect(training_config->tuner_thread, &QThread::finished, this,
            &OrvaneStudio::close_when_idle);
  }
  // A run that ended between the check and the connections still lets the window close.
  QMetaObject::invokeMethod(this, &OrvaneStudio::close_when_idle, Qt::QueuedConnection);
}

void OrvaneStudio::close_when_idle() {
  if (training_monitor->is_training() || training_config->is_tuning()) return;
  closing_after_runs_ = false;
  close();
}

void OrvaneStudio::setup_inference_tab() { inference = fill_page<InferenceTab>(tab_inference); }
