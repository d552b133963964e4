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
#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

#include "annotator/annotation_document.h"
#include "annotator/label_file.h"
#include "widgets/draw_mode.h"

class QComboBox;
class QDoubleSpinBox;
class QGraphicsPolygonItem;
class QLabel;
class QListWidget;
class QPushButton;
class QShortcut;
class QSpinBox;
class QTableWidget;
class QVBoxLayout;
namespace orvane::review {
class ReviewFlow;
}
namespace orvane::test {
struct Access;
}

namespace orvane {

class AutoLabelFlow;
class InteractiveCanvas;
class InterchangeFlow;
class OverviewNavigator;
class SliceControls;
class VideoFlow;
class ZoomableView;

// The canvas view of one shape of the document. `item` is owned by the canvas scene while the
// image is shown; the shape itself lives in the document.
struct ShapeRecord {
  QGraphicsPolygonItem* item = nullptr;
  int id = 0;  // the document shape's id
};

class AnnotatorTab : public QWidget {
  Q_OBJECT

 public:
  explicit AnnotatorTab(QWidget* parent = nullptr);
  ~AnnotatorTab() override;

  // The open image folder ("" before one is opened) and its class list (the document's).
  const QString& image_folder() const { return state_.image_folder; }
  const QStringList& classes() const { return state_.document->classes(); }

  // Opens `folder` as "📂 Load Directory" does after its folder chooser.
  void open_folder(const QString& folder);

  // A class operation across the folder as one undo step (see AnnotationDocument); warns on
  // failure. The queue and its filter follow the new class list.
  void apply_folder_edit(const QString& text, AnnotationDocument::FolderStep forward,
                         AnnotationDocument::FolderStep backward);
  // Lists the folder again (images moved away by another tool), staying on the current image
  // when it is still there.
  void refresh_folder_listing();
  // The queue filter: -2 all images, -1 images without labels, else a class id. Hides the other
  // rows; Prev and Next step over hidden rows.
  void filter_queue(int filter);

 public Q_SLOTS:
  // Shape colours follow class ids, not the theme: the window re-applies them on a theme switch.
  void update_annotation_colors();

 Q_SIGNALS:
  // The dataset buttons: the tools themselves belong to the main window.
  void health_check_requested(const QString& folder);
  void analytics_requested(const QStringList& image_paths, const QStringList& classes);
  // Sent only once what is on screen has been saved: the export reads the label files.
  void split_export_requested(const QStringList& image_paths, const QStringList& classes);
  // "Classes…" (after saving what is on screen) and the duplicates check, on the open folder.
  void classes_requested(const QString& folder);
  void duplicates_requested(const QString& folder);

 protected:
  // Watches the window this tab lives in, so closing it first saves what was dragged.
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  friend struct orvane::test::Access;
  // What the controls, the shortcuts and the flows do; connected where the controls are built.
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
  void change_active_mode(orvane::DrawMode mode);

  void handle_new_poly(const QPolygonF& polygon);
  // Writes the current image's label file. Returns false when a write or delete failed (a warning
  // was shown and the shapes stay on screen) or when the label file could not be read and
  // shapes would have overwritten it; callers that move to another image then stay.
  bool save_current_annotations();
  void load_existing_annotations(const QString& image_path);
  void save_classes_file();
  void sync_table_selection();
  void sync_canvas_selection();
  void ann_delete_selected();
  void copy_previous_frame_shapes();
  void undo();
  void redo();

  // Controls (owned by the tab through Qt's parent chain).
  struct Ui {
    QPushButton* btn_load_dir = nullptr;
    QPushButton* btn_set_output = nullptr;
    QPushButton* btn_import_dataset = nullptr;  // COCO, VOC or labelme into a new YOLO folder
    QPushButton* btn_export_dataset = nullptr;  // the open folder out to one of them
    QLabel* lbl_output_folder = nullptr;
    QListWidget* list_images = nullptr;
    QPushButton* btn_prev_img = nullptr;
    QPushButton* btn_next_img = nullptr;
    QLabel* lbl_img_status = nullptr;
    QPushButton* btn_health_check = nullptr;
    QPushButton* btn_analytics = nullptr;
    QPushButton* btn_split_export = nullptr;
    QPushButton* btn_classes = nullptr;
    QPushButton* btn_duplicates = nullptr;
    QComboBox* combo_queue_filter = nullptr;
    InteractiveCanvas* canvas = nullptr;
    ZoomableView* canvas_view = nullptr;
    OverviewNavigator* navigator = nullptr;  // over the canvas's bottom-right corner
    QPushButton* btn_fit_screen = nullptr;
    QComboBox* combo_mode = nullptr;
    QPushButton* btn_copy_prev = nullptr;
    QPushButton* btn_open_video = nullptr;       // "Open Video…": frames of a video as the folder
    QPushButton* btn_propagate = nullptr;        // this frame's shapes onto the next frames
    QSpinBox* spin_propagate_frames = nullptr;
    QPushButton* btn_interpolate = nullptr;      // between the previous labelled frame and this
    QPushButton* btn_accept_carried = nullptr;
    QPushButton* btn_load_ai = nullptr;
    QDoubleSpinBox* spin_ai_conf = nullptr;
    SliceControls* ai_slice = nullptr;  // auto-label on tiles (small objects, large images)
    QPushButton* btn_run_ai = nullptr;
    QPushButton* btn_run_ai_folder = nullptr;
    QTableWidget* table_objects = nullptr;
    QPushButton* btn_delete_shape = nullptr;
    QPushButton* btn_save = nullptr;
    QShortcut* shortcut_del = nullptr;
    QShortcut* shortcut_back = nullptr;
    QShortcut* shortcut_undo = nullptr;
    QShortcut* shortcut_redo = nullptr;
    QShortcut* shortcut_redo_y = nullptr;
  } ui_;
  struct State {
    QString image_folder;
    QStringList image_paths;
    int current_idx = 0;
    cv::Mat display_cv_img;  // empty when no image is shown or the current one did not decode
    // The current image's shapes, classes and kept lines, and the undo stack of its edits. The
    // canvas items and the table rows below are views of it.
    orvane::AnnotationDocument* document = nullptr;  // owned by the tab
    std::vector<ShapeRecord> annotations;            // one per document shape, in its order
    QString last_label;
    QString output_folder;
    InterchangeFlow* interchange_flow = nullptr;        // owned by the tab
    VideoFlow* video_flow = nullptr;                    // owned by the tab
    AutoLabelFlow* auto_label_flow = nullptr;           // the model and its runs; owned by the tab
    orvane::review::ReviewFlow* review_flow = nullptr;  // "Review with Model…"; owned by the tab
  } state_;

  void setup_workspace_tab();
  QWidget* build_folder_column();
  void add_dataset_buttons(QVBoxLayout* left_layout);
  // The filter's entries: all, without labels, one per class; keeps the chosen one when it is
  // still there.
  void refill_queue_filter();
  QWidget* build_canvas_area();
  QWidget* build_annotation_column();
  QWidget* build_assist_box();
  QWidget* build_video_box();
  void add_object_table(QVBoxLayout* right_layout);
  void setup_shortcuts();
  // Views of the document.
  void rebuild_views();
  void insert_view(int index);
  void remove_view(int index);
  void update_view(int index);
  // Turns items dragged on the canvas into move commands (one step per drag).
  void commit_item_positions();
  void on_document_edited();
  void show_status(const QString& text, const QString& color);
  // Saves, and moves to `row` only when the save succeeded.
  void move_to(int row);
  // Empties the canvas and the table (no frame, no shapes).
  void clear_shown_image();

  QString label_error_;                // why the current label file was not (fully) read
  bool committing_ = false;            // commit_item_positions is pushing moves
  std::vector<bool> listed_labelled_;  // label presence from the folder listing, for one refill
  QPointer<QWidget> watched_window_;   // the top-level window whose close saves first
};

}  // namespace orvane
