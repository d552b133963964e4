#pragma once
// The "Image Annotator" tab: browse an image folder, draw and label polygon shapes, and keep every
// image's YOLO label file and the folder's classes.txt in step with what is on screen.

#include <QList>
#include <QPointF>
#include <QPointer>
#include <QPolygonF>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <opencv2/core.hpp>
#include <vector>

#include "annotator/label_file.h"

class QComboBox;
class QDoubleSpinBox;
class QGraphicsPolygonItem;
class QLabel;
class QListWidget;
class QPushButton;
class QShortcut;
class QTableWidget;
class InteractiveCanvas;
class ZoomableView;

// One shape of the current image. `item` is owned by the canvas scene while the image is shown.
struct ShapeRecord {
  QGraphicsPolygonItem* item = nullptr;
  QString label;
  QString type;  // the table's "Shape" column: draw mode, or "Rectangle"/"Polygon" when read
};

class AnnotatorTab : public QWidget {
  Q_OBJECT

 public:
  explicit AnnotatorTab(QWidget* parent = nullptr);

  // Annotator state. Other tabs read image_folder, image_paths and classes.
  QString image_folder;
  QStringList image_paths;
  int current_idx = 0;
  cv::Mat display_cv_img;  // empty when no image is shown or the current one did not decode
  QStringList classes;
  std::vector<ShapeRecord> annotations;
  QString last_label;
  QString output_folder;

  // What reading the current image's label file left behind: lines that are not shown but are
  // written back after the shapes, and whether the file could be read at all.
  orvane::LabelReadStatus label_status = orvane::LabelReadStatus::Missing;
  QList<QByteArray> kept_lines;

  // Controls (owned by the tab through Qt's parent chain).
  QPushButton* btn_load_dir = nullptr;
  QPushButton* btn_set_output = nullptr;
  QLabel* lbl_output_folder = nullptr;
  QListWidget* list_images = nullptr;
  QPushButton* btn_prev_img = nullptr;
  QPushButton* btn_next_img = nullptr;
  QLabel* lbl_img_status = nullptr;
  QPushButton* btn_health_check = nullptr;
  QPushButton* btn_analytics = nullptr;
  QPushButton* btn_split_export = nullptr;
  InteractiveCanvas* canvas = nullptr;
  ZoomableView* canvas_view = nullptr;
  QPushButton* btn_fit_screen = nullptr;
  QComboBox* combo_mode = nullptr;
  QPushButton* btn_copy_prev = nullptr;
  QPushButton* btn_load_ai = nullptr;
  QDoubleSpinBox* spin_ai_conf = nullptr;
  QPushButton* btn_run_ai = nullptr;
  QTableWidget* table_objects = nullptr;
  QPushButton* btn_delete_shape = nullptr;
  QPushButton* btn_save = nullptr;
  QShortcut* shortcut_del = nullptr;
  QShortcut* shortcut_back = nullptr;

  // Opens `folder` as "📂 Load Directory" does after its folder chooser.
  void open_folder(const QString& folder);

 public Q_SLOTS:
  void load_directory();
  void set_output_folder();
  void populate_image_list();
  void load_current_image();
  void render_canvas_image();
  void fit_canvas_to_screen();
  void jump_to_image(int row);
  void prev_image();
  void next_image();
  void update_single_list_status();
  void change_active_mode(const QString& mode);
  void handle_canvas_point(const QPointF& pt);

  void handle_new_poly(const QPolygonF& polygon);
  // Writes the current image's label file. Returns false when a write or delete failed (a warning
  // was shown and the shapes stay on screen) or when the label file could not be read and
  // shapes would have overwritten it; callers that move to another image then stay.
  bool save_current_annotations();
  void load_existing_annotations(const QString& image_path);
  void save_classes_file();
  void update_annotation_colors();
  void sync_table_selection();
  void sync_canvas_selection();
  void ann_delete_selected();
  void copy_previous_frame_shapes();

 protected:
  // Watches the window this tab lives in, so closing it first saves what was dragged.
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void setup_workspace_tab();
  void setup_shortcuts();
  // Adds one shape to the canvas, the records and the table (the table's signals are blocked).
  void add_shape(const QPolygonF& polygon, const QString& label, const QString& type);
  void show_status(const QString& text, const QString& color);
  // Saves, and moves to `row` only when the save succeeded.
  void move_to(int row);
  // Empties the canvas and the table (no frame, no shapes).
  void clear_shown_image();

  QString label_error_;                // why the current label file was not (fully) read
  QString classes_file_error_;         // set while classes.txt exists but could not be read
  std::vector<bool> listed_labelled_;  // label presence from the folder listing, for one refill
  QPointer<QWidget> watched_window_;   // the top-level window whose close saves first
};
