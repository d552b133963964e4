#pragma once

#include <QStringList>
#include <QWidget>

#include "resizer/resizer_batch.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

// "Image Resizer + Compressor": a queue of images resized to a physical size at a DPI, rotated,
// converted and compressed to a size budget. The widget only reads its controls and shows
// results; the work is resizer_core's.
namespace orvane::test {
struct Access;
}

namespace orvane {
class ZoomableView;
}  // namespace orvane

namespace orvane::tasks {
class LongTask;
}

namespace orvane::resizer {

class ResizerTab : public QWidget {
  Q_OBJECT

 public:
  explicit ResizerTab(QWidget* parent = nullptr);

  // The settings as typed in the controls right now.
  orvane::resizer::BatchInput current_input() const;

 public Q_SLOTS:
  void resizer_add_files();
  void resizer_add_folder();
  void resizer_clear_queue();
  void resizer_update_queue_ui();
  void resizer_update_preview();
  void resizer_process_batch();

 private:
  friend struct orvane::test::Access;
  struct State {
    QStringList resizer_queue;
  } state_;
  // Children of this tab.
  struct Ui {
    QCheckBox* chk_enable_dim = nullptr;
    QLineEdit* entry_resize_w = nullptr;
    QLineEdit* entry_resize_h = nullptr;
    QComboBox* combo_unit = nullptr;
    QLineEdit* entry_dpi = nullptr;
    QCheckBox* chk_aspect_ratio = nullptr;
    QCheckBox* chk_enable_comp = nullptr;
    QLineEdit* entry_target_kb = nullptr;
    QComboBox* combo_resizer_format = nullptr;
    QComboBox* combo_resizer_rotate = nullptr;
    QCheckBox* chk_recursive = nullptr;
    QPushButton* btn_add_files = nullptr;
    QPushButton* btn_add_folder = nullptr;
    QPushButton* btn_clear_queue = nullptr;
    QListWidget* list_resizer_queue = nullptr;
    QLabel* lbl_queue_count = nullptr;
    ZoomableView* preview_resizer_view = nullptr;
    QLabel* lbl_resizer_details = nullptr;
    QProgressBar* progress_resizer = nullptr;
    QPushButton* btn_run_resizer = nullptr;
    tasks::LongTask* resize_task = nullptr;  // the batch export, off the window's thread
  } ui_;

  void setup_resizer_tab();
  QWidget* build_parameter_column();
  QWidget* build_queue_column();
};

}  // namespace orvane::resizer
