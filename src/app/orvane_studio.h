#pragma once

#include <QMainWindow>

class QPushButton;
class QTabWidget;
class QWidget;
class ThemeToggle;
class ResizerTab;
class SplitterTab;
class EnricherTab;
class AnnotatorTab;
class InferenceTab;
class TrainingConfigTab;
class TrainingMonitorTab;

// The single main window: owns the seven tab pages and, through them, every piece of tab state.
class OrvaneStudio : public QMainWindow {
  Q_OBJECT

 public:
  OrvaneStudio();

  // Icon file looked up beside the executable (not the working directory).
  static QString icon_path();

  bool is_dark_mode = true;

  QTabWidget* tabs = nullptr;
  QWidget* tab_resizer = nullptr;
  QWidget* tab_splitter = nullptr;
  QWidget* tab_aug = nullptr;
  QWidget* tab_workspace = nullptr;
  QWidget* tab_config = nullptr;
  QWidget* tab_progress = nullptr;
  QWidget* tab_inference = nullptr;
  ThemeToggle* theme_toggle = nullptr;
  QPushButton* btn_help = nullptr;   // in the corner widget; opens the user guide
  QWidget* corner_widget = nullptr;  // the tab bar's top-right corner: help, theme switch

  // The tab widgets that live inside the pages (children of their page).
  ResizerTab* resizer = nullptr;
  SplitterTab* splitter = nullptr;
  EnricherTab* enricher = nullptr;
  AnnotatorTab* annotator = nullptr;
  InferenceTab* inference = nullptr;
  TrainingConfigTab* training_config = nullptr;    // the training form and AutoML
  TrainingMonitorTab* training_monitor = nullptr;  // status, console, charts; owns the trainer

 public Q_SLOTS:
  void apply_theme(bool is_dark);
  // Appends console text to the training monitor's console (training and AutoML runs).
  void append_log(const QString& text);
  void start_training();

 protected:
  // A running training or search is stopped gracefully first; the window closes when it has
  // ended. A second close while it stops ends the child at once.
  void closeEvent(QCloseEvent* event) override;

 private:
  void init_ui();
  void setup_shortcuts();
  void setup_resizer_tab();
  void setup_splitter_tab();
  void setup_aug_tab();
  void setup_workspace_tab();
  void setup_config_tab();
  void setup_progress_tab();
  void setup_inference_tab();

  // Closes the window once no training or search runs any more (after a close was deferred).
  void close_when_idle();
  bool closing_after_runs_ = false;
};
