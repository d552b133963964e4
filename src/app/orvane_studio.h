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

 public Q_SLOTS:
  void apply_theme(bool is_dark);

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
};
