#pragma once

#include <QList>
#include <QPointF>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <opencv2/core.hpp>
#include <optional>

#include "enricher/enricher_core.h"
#include "widgets/draw_mode.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;
class QSpinBox;
namespace orvane::test {
struct Access;
}

namespace orvane {
class InteractiveCanvas;
class ZoomableView;
}  // namespace orvane

namespace orvane::tasks {
class LongTask;
}

namespace orvane::enricher {

// "Synthetic Data Enricher": steps through the images of an input folder, lets the operator crop,
// straighten and rotate the current one on the canvas, previews random variants of it and writes
// a batch of them as numbered JPEGs. The image work is enricher_core; this class reads the form,
// keeps the state and shows results. An empty cv::Mat stands for "no image".
class EnricherTab : public QWidget {
  Q_OBJECT

 public:
  explicit EnricherTab(QWidget* parent = nullptr);

  // The ten range spin boxes as core ranges (min spin first; either order is valid).
  orvane::enricher::AugRanges aug_ranges() const;
  // One random variant of `base_img` with the ranges of the form; changes no field.
  cv::Mat get_aug_image(const cv::Mat& base_img);

 public Q_SLOTS:
  void aug_load_input();
  void aug_load_output();
  void aug_update_status();
  void aug_load_current_image();
  void aug_prev_image();
  void aug_next_image();
  void render_aug_canvas();

  void change_aug_active_mode(orvane::DrawMode mode);
  void handle_aug_canvas_point(const QPointF& pos);
  // Degrees, positive counter-clockwise; the canvas grows so nothing is cut off.
  void aug_rotate_fixed(double angle);
  void aug_rotate_custom();
  void aug_reset_image();

  void run_aug_preview();
  void enrich_current_image();

 private:
  friend struct orvane::test::Access;
  struct State {
    QStringList aug_image_paths;         // cleaned full paths of the sources, sorted
    std::optional<int> aug_current_idx;  // unset until a folder is loaded; readers use 0
    cv::Mat aug_original_cv_img;         // the current source as read from disk
    cv::Mat aug_display_cv_img;          // what the canvas shows (working image or a preview)
    cv::Mat aug_active_base_img;         // the working image variants are made from
    QList<QPointF> aug_crop_points;      // clicks collected in "Crop" mode
    QList<QPointF> aug_warp_points;      // clicks collected in "Warp" mode
    QSet<QString> aug_history;           // its size is the status line's "Enriched" count
    // Every random draw of the preview and the batch; seeded from the clock at construction.
    orvane::enricher::Rng rng;
    // The YOLO shapes of the three images above, in their pixels; unset when the source has no
    // label file. They follow every geometric change of their image (manual edits, previews).
    std::optional<Shapes> original_shapes;
    std::optional<Shapes> display_shapes;
    std::optional<Shapes> active_shapes;
    QString label_error;  // why the current source's label file could not be used
  } state_;
  // Children of this tab.
  struct Ui {
    QLineEdit* aug_entry_in = nullptr;
    QLineEdit* aug_entry_out = nullptr;
    QPushButton* btn_aug_browse_in = nullptr;
    QPushButton* btn_aug_browse_out = nullptr;
    QLabel* aug_lbl_status = nullptr;
    QDoubleSpinBox* aug_brightness_min = nullptr;
    QDoubleSpinBox* aug_brightness_max = nullptr;
    QDoubleSpinBox* aug_contrast_min = nullptr;
    QDoubleSpinBox* aug_contrast_max = nullptr;
    QDoubleSpinBox* aug_rotation_min = nullptr;
    QDoubleSpinBox* aug_rotation_max = nullptr;
    QDoubleSpinBox* aug_gamma_min = nullptr;
    QDoubleSpinBox* aug_gamma_max = nullptr;
    QDoubleSpinBox* aug_warp_min = nullptr;
    QDoubleSpinBox* aug_warp_max = nullptr;
    QSpinBox* spin_aug_gen_count = nullptr;
    QCheckBox* chk_aug_labels = nullptr;  // variants carry the source's YOLO labels
    QPushButton* btn_aug_enrich = nullptr;
    InteractiveCanvas* aug_canvas = nullptr;  // child QObject of this tab, shown in the view
    ZoomableView* aug_preview_view = nullptr;
    QComboBox* aug_combo_mode = nullptr;
    QPushButton* btn_aug_rotate_cw = nullptr;
    QPushButton* btn_aug_rotate_ccw = nullptr;
    QLineEdit* aug_entry_angle = nullptr;
    QPushButton* btn_aug_rotate = nullptr;
    QPushButton* btn_aug_reset = nullptr;
    QPushButton* btn_aug_preview = nullptr;
    QPushButton* btn_aug_prev = nullptr;
    QLabel* aug_lbl_counter = nullptr;
    QPushButton* btn_aug_next = nullptr;
    tasks::LongTask* enrich_task = nullptr;  // the random batch, off the window's thread
  } ui_;

  void setup_ui();
  QWidget* build_settings_column();
  QLayout* build_folder_rows();
  QWidget* build_range_box();
  QWidget* build_batch_box();
  QWidget* build_preview_column();
  QLayout* build_tool_row();
  QLayout* build_navigation_row();
  void connect_controls();
  // The display image becomes the new working image too (every manual edit does this); its
  // shapes go through `matrix` (see enricher::Transformed).
  void set_working_image(const orvane::enricher::Transformed& result);
  // The source's shapes become the original, display and working image's shapes.
  void take_shapes(orvane::enricher::Source& source);
  // Outlines of the display image's shapes on the canvas, when labels are carried.
  void draw_aug_shapes();
  // Whether a batch may start into `out_dir` (created here); otherwise says why.
  bool ready_to_enrich(const QString& out_dir);
  void show_enrich_result(const orvane::enricher::BatchResult& result, const QString& note);
};

}  // namespace orvane::enricher
