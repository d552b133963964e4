#include "app/orvane_studio.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "annotator/annotator_tab.h"
#include "dataset/classes_dialog.h"
#include "dataset/dataset_actions.h"
#include "dataset/duplicates_dialog.h"
#include "enricher/enricher_tab.h"
#include "inference/inference_tab.h"
#include "resizer/resizer_tab.h"
#include "splitter/splitter_tab.h"
#include "training/resume_run.h"
#include "training/training_config_tab.h"
#include "training/training_monitor_tab.h"
#include "ui/dialogs.h"
#include "ui/help_dialog.h"
#include "ui/stylesheet.h"
#include "ui/theme_toggle.h"

namespace orvane {

using enricher::EnricherTab;
using inference::InferenceTab;
using resizer::ResizerTab;
using splitter::SplitterTab;
using training::TrainingConfigTab;
using training::TrainingMonitorTab;
using ui::HelpDialog;
using ui::ThemeToggle;

namespace {

// A page holding one tab widget, edge to edge.
template <typename Tab>
QWidget* page_with(Tab*& tab) {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  tab = new Tab(page);
  layout->addWidget(tab);
  return page;
}

template <typename Tab>
QWidget* page_with() {
  Tab* tab = nullptr;
  return page_with(tab);
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
  apply_theme(dark_mode_);
}

void OrvaneStudio::init_ui() {
  tabs_ = new QTabWidget;
  tabs_->setObjectName("tabs");
  setCentralWidget(tabs_);
  // Built in tab-bar order; the monitor's wiring needs the form first.
  const std::pair<Page, const char*> titles[] = {
      {Page::Resizer, "Image Resizer + Compressor"},
      {Page::Splitter, "Image Splitter"},
      {Page::Enricher, "Synthetic Data Enricher"},
      {Page::Annotator, "Image Annotator"},
      {Page::TrainingConfig, "YOLO Configuration && AutoML"},
      {Page::TrainingMonitor, "Training Analytics && Live Logs"},
      {Page::Inference, "Inference && Model Export"},
  };
  for (const auto& [page, title] : titles) {
    QWidget* widget = nullptr;
    switch (page) {
      case Page::Resizer:
        widget = page_with<ResizerTab>();
        break;
      case Page::Splitter:
        widget = page_with<SplitterTab>();
        break;
      case Page::Enricher:
        widget = page_with<EnricherTab>();
        break;
      case Page::Annotator:
        widget = page_with(annotator_);
        break;
      case Page::TrainingConfig:
        widget = page_with(training_config_);
        break;
      case Page::TrainingMonitor:
        widget = page_with(training_monitor_);
        break;
      case Page::Inference:
        widget = page_with<InferenceTab>();
        break;
    }
    pages_[static_cast<size_t>(page)] = widget;
    tabs_->addTab(widget, title);
  }
  connect_annotator();
  connect_training();
  tabs_->setCornerWidget(make_corner_widget(), Qt::TopRightCorner);
}

// The tab bar's top-right corner: the user guide button, then the theme switch.
QWidget* OrvaneStudio::make_corner_widget() {
  theme_toggle_ = new ThemeToggle;
  theme_toggle_->setChecked(dark_mode_);
  connect(theme_toggle_, &ThemeToggle::toggled, this, &OrvaneStudio::apply_theme);

  auto* help = new QPushButton(QStringLiteral("ℹ"));
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

  auto* corner = new QWidget;
  auto* corner_layout = new QHBoxLayout(corner);
  corner_layout->setContentsMargins(0, 0, 15, 8);
  corner_layout->setSpacing(8);
  corner_layout->addWidget(help, 0, Qt::AlignVCenter);
  corner_layout->addWidget(theme_toggle_, 0, Qt::AlignVCenter);
  return corner;
}

void OrvaneStudio::show_page(Page page) { tabs_->setCurrentWidget(this->page(page)); }

void OrvaneStudio::apply_theme(bool is_dark) {
  dark_mode_ = is_dark;
  if (qApp) {
    QApplication::setPalette(theme_palette(dark_mode_));
    qApp->setStyleSheet(get_stylesheet(dark_mode_));
  }
  // Shape colours follow class ids, not the theme; the annotator re-applies them on every switch.
  // Before the annotator exists there is nothing to do.
  if (annotator_) annotator_->update_annotation_colors();
}

// The annotator's dataset buttons start the dataset tools on the annotator's folder.
void OrvaneStudio::connect_annotator() {
  connect(annotator_, &AnnotatorTab::health_check_requested, this,
          [this](const QString& folder) { dataset::run_health_check(this, folder); });
  connect(annotator_, &AnnotatorTab::analytics_requested, this,
          [this](const QStringList& images, const QStringList& classes) {
            dataset::show_dataset_analytics(this, images, classes);
          });
  connect(annotator_, &AnnotatorTab::split_export_requested, this,
          [this](const QStringList& images, const QStringList& classes) {
            dataset::export_and_split_dataset(this, images, classes);
          });
  connect(annotator_, &AnnotatorTab::duplicates_requested, this,
          [this](const QString& folder) {
            // Dropped copies left the folder: the queue must not offer them any more.
            if (dataset::show_duplicates(this, folder) > 0) annotator_->refresh_folder_listing();
          });
  // The dialog chooses the operation; the annotator applies it as one undo step whose redo and
  // undo are the same journaled write, forwards and backwards.
  connect(annotator_, &AnnotatorTab::classes_requested, this, [this](const QString& folder) {
    const std::optional<dataset::ClassPlan> plan = dataset::choose_class_operation(this, folder);
    if (!plan) return;
    const auto write = [folder, text = plan->mapping.description](std::vector<dataset::FileChange> changes) {
      return [folder, text, changes = std::move(changes)] {
        return dataset::apply_file_changes(folder, changes, text);
      };
    };
    annotator_->apply_folder_edit("Classes: " + plan->mapping.description, write(plan->changes),
                                  write(dataset::reversed_changes(plan->changes)));
  });
}

// The form feeds the monitor; both kinds of run write into the monitor's console.
void OrvaneStudio::connect_training() {
  connect(training_config_, &TrainingConfigTab::start_training_requested, this,
          [this] { training_monitor_->start_training(training_config_->current_form()); });
  connect(training_config_, &TrainingConfigTab::resume_training_requested, training_monitor_,
          &TrainingMonitorTab::start_training);
  connect(training_config_, &TrainingConfigTab::automl_started, this, [this] {
    training_monitor_->clear_log();
    show_page(Page::TrainingMonitor);
  });
  connect(training_config_, &TrainingConfigTab::log_text, training_monitor_,
          &TrainingMonitorTab::append_log);
  connect(training_config_, &TrainingConfigTab::show_requested, this,
          [this] { show_page(Page::TrainingConfig); });
  connect(training_monitor_, &TrainingMonitorTab::show_requested, this,
          [this] { show_page(Page::TrainingMonitor); });
  connect(training_monitor_, &TrainingMonitorTab::training_ended, this,
          &OrvaneStudio::close_when_idle);
  connect(training_config_, &TrainingConfigTab::tuning_ended, this, &OrvaneStudio::close_when_idle);
}

void OrvaneStudio::offer_to_resume() {
  if (resume_offered_) return;
  resume_offered_ = true;
  if (training_monitor_->is_training()) return;
  const auto run = training::find_unfinished_run(training_config_->current_form().project.trimmed());
  if (!run) return;
  const QString text =
      QString("The training run %1 stopped after %2 of %3 epochs.\n\nResume it from its "
              "last.pt? It goes on with the epoch it was interrupted in and ends as it would "
              "have without the interruption.")
          .arg(QDir::toNativeSeparators(run->folder))
          .arg(run->epochs_done)
          .arg(run->epochs);
  if (ui::question(this, "Resume Training", text) != QMessageBox::Yes) return;
  training_config_->resume_run(run->last_pt);
}

void OrvaneStudio::closeEvent(QCloseEvent* event) {
  const bool training = training_monitor_->is_training();
  const bool tuning = training_config_->is_tuning();
  if (!training && !tuning) {
    QMainWindow::closeEvent(event);
    return;
  }
  event->ignore();
  if (closing_after_runs_) {
    // Asked again while the run saves its batch: the operator does not want to wait.
    if (training) training_monitor_->abort_training();
    if (tuning) training_config_->abort_tuning();
    return;
  }
  closing_after_runs_ = true;
  if (training) training_monitor_->stop_training();
  if (tuning) training_config_->stop_tuning_for_close();
  // A run that ended between the check and the request still lets the window close.
  QMetaObject::invokeMethod(this, &OrvaneStudio::close_when_idle, Qt::QueuedConnection);
}

void OrvaneStudio::close_when_idle() {
  if (!closing_after_runs_) return;
  if (training_monitor_->is_training() || training_config_->is_tuning()) return;
  closing_after_runs_ = false;
  close();
}

}  // namespace orvane
