#pragma once

#include <QMainWindow>
#include <array>

class QPushButton;
class QTabWidget;
class QWidget;

namespace orvane::ui {
class ThemeToggle;
}  // namespace orvane::ui

namespace orvane::training {
class TrainingConfigTab;
class TrainingMonitorTab;
}  // namespace orvane::training

namespace orvane {

class AnnotatorTab;

// The single main window: owns the seven tab pages and, through them, every piece of tab state.
// It talks to the tabs only through their signals and public operations.
class OrvaneStudio : public QMainWindow {
  Q_OBJECT

 public:
  // The seven pages, in tab-bar order.
  enum class Page {
    Resizer,
    Splitter,
    Enricher,
    Annotator,
    TrainingConfig,
    TrainingMonitor,
    Inference
  };

  OrvaneStudio();

  // Icon file looked up beside the executable (not the working directory).
  static QString icon_path();

  bool is_dark_mode() const { return dark_mode_; }
  // The page widget the tab bar holds for `page`.
  QWidget* page(Page page) const { return pages_[static_cast<size_t>(page)]; }
  void show_page(Page page);

  // Offers, once, to resume the most recent unfinished run in the training form's project
  // folder (a run the window was closed on, or that a crash cut short). The program calls it
  // when the window first shows; the operator may decline.
  void offer_to_resume();

 public Q_SLOTS:
  void apply_theme(bool is_dark);

 protected:
  // A running training or search is stopped gracefully first; the window closes when it has
  // ended. A second close while it stops ends the child at once.
  void closeEvent(QCloseEvent* event) override;

 private:
  void init_ui();
  QWidget* make_corner_widget();
  void connect_annotator();
  void connect_training();
  // Closes the window once no training or search runs any more (after a close was deferred).
  void close_when_idle();

  bool dark_mode_ = true;
  bool closing_after_runs_ = false;
  bool resume_offered_ = false;
  QTabWidget* tabs_ = nullptr;
  std::array<QWidget*, 7> pages_{};
  ui::ThemeToggle* theme_toggle_ = nullptr;
  // The tabs the window wires to each other (children of their pages).
  AnnotatorTab* annotator_ = nullptr;
  training::TrainingConfigTab* training_config_ = nullptr;  // the training form and AutoML
  training::TrainingMonitorTab* training_monitor_ =
      nullptr;  // status, console, charts; owns the trainer
};

}  // namespace orvane
