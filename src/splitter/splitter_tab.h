#pragma once

#include <QWidget>

#include "splitter/splitter_core.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The "Image Splitter" tab: cuts every image of a folder into a grid of tiles.
namespace orvane::test {
struct Access;
}

namespace orvane {
class ZoomableView;
}  // namespace orvane

namespace orvane::tasks {
class LongTask;
}

namespace orvane::splitter {

class SplitterTab : public QWidget {
  Q_OBJECT

 public:
  explicit SplitterTab(QWidget* parent = nullptr);

 public Q_SLOTS:
  // Offers every grid of exactly the chosen number of tiles; the first (one row) becomes current.
  void update_splitter_grid_modes();
  void update_split_preview();
  // Runs the batch with the current settings and reports the result in message boxes.
  void process_image_splitting();

 private:
  friend struct orvane::test::Access;
  // Children of this tab.
  struct Ui {
    QLineEdit* entry_split_in = nullptr;
    QLineEdit* entry_split_out = nullptr;
    QPushButton* btn_browse_in = nullptr;
    QPushButton* btn_browse_out = nullptr;
    QSpinBox* spin_split_parts = nullptr;
    QComboBox* combo_grid_mode = nullptr;
    QCheckBox* chk_subfolders = nullptr;
    QSpinBox* spin_split_overlap = nullptr;            // percent of a tile shared with a neighbour
    QCheckBox* chk_split_labels = nullptr;             // tiles carry the sources' YOLO labels
    QDoubleSpinBox* spin_split_min_visible = nullptr;  // percent of a shape a tile must hold
    QPushButton* btn_split = nullptr;
    // The first image of the input folder with the cut lines of the chosen grid over it, so the
    // operator sees where objects would be cut before any tile is written.
    ZoomableView* view_split_preview = nullptr;
    tasks::LongTask* split_task = nullptr;  // the batch, off the window's thread
  } ui_;

  void setup_splitter_tab();
  QWidget* build_folder_box();
  QWidget* build_parameter_box();
  void show_split_report(const SplitReport& report, const QString& error);
  void browse_into(QLineEdit* entry, const QString& caption);
};

}  // namespace orvane::splitter
