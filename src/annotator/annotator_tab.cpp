#include "annotator/annotator_tab.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsSceneMouseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QPen>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "annotator/auto_label_flow.h"
#include "annotator/classes_file.h"
#include "annotator/image_folder.h"
#include "annotator/interchange_flow.h"
#include "annotator/label_dialog.h"
#include "annotator/video_flow.h"
#include "dataset/class_operations.h"
#include "dataset/dataset_statistics.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"
#include "review/review_flow.h"
#include "ui/dialogs.h"
#include "ui/wait_cursor.h"
#include "widgets/interactive_canvas.h"
#include "widgets/large_image_item.h"
#include "widgets/overview_navigator.h"
#include "widgets/slice_controls.h"
#include "widgets/zoomable_view.h"

namespace orvane {

namespace {

// The slicing the AI box's "Sliced" switch asks for (disabled when off).
engine::SliceOptions slice_of(const SliceControls& controls) {
  engine::SliceOptions slice;
  slice.width = slice.height = controls.tile_size();
  slice.overlap = float(controls.overlap_value());
  return slice;
}

}  // namespace

using namespace orvane;

namespace {

const char* const kPendingColor = "#D3112E";
const char* const kAnnotatedColor = "#10B981";
const char* const kNoticeColor = "#F59E0B";

QString file_name_of(const QString& path) { return QFileInfo(path).fileName(); }

}  // namespace

AnnotatorTab::AnnotatorTab(QWidget* parent) : QWidget(parent) {
  state_.document = new AnnotationDocument(this);
  AutoLabelFlow::Hooks ai_hooks;
  ai_hooks.folder = [this] { return state_.image_folder; };
  ai_hooks.current_image = [this] {
    const bool shown = state_.current_idx >= 0 && state_.current_idx < state_.image_paths.size();
    return shown ? state_.image_paths[state_.current_idx] : QString();
  };
  ai_hooks.save_current = [this] { return save_current_annotations(); };
  ai_hooks.folder_labelled = [this](const QStringList& classes) {
    state_.document->set_classes(classes, classes_path_in(state_.image_folder));
    populate_image_list();
    if (!state_.document->has_image() || state_.document->shapes().empty()) load_current_image();
  };
  state_.auto_label_flow = new AutoLabelFlow(this, state_.document, std::move(ai_hooks));
  setup_workspace_tab();
  setup_shortcuts();
  connect(state_.document, &AnnotationDocument::reset, this, &AnnotatorTab::rebuild_views);
  connect(state_.document, &AnnotationDocument::shape_inserted, this, &AnnotatorTab::insert_view);
  connect(state_.document, &AnnotationDocument::shape_removed, this, &AnnotatorTab::remove_view);
  connect(state_.document, &AnnotationDocument::shape_changed, this, &AnnotatorTab::update_view);
  connect(state_.document, &AnnotationDocument::classes_changed, this,
          &AnnotatorTab::update_annotation_colors);
  connect(state_.document, &AnnotationDocument::edited, this, &AnnotatorTab::on_document_edited);
  connect(state_.document, &AnnotationDocument::classes_write_failed, this,
          [this](const QString& error) { ui::warning(window(), "Save Failed", error); });
  connect(state_.document, &AnnotationDocument::folder_edit_failed, this,
          [this](const QString& error) { ui::warning(window(), "Classes", error); });
  // Renamed, merged or deleted classes: the queue filter lists the classes there are.
  connect(state_.document, &AnnotationDocument::classes_changed, this, &AnnotatorTab::refill_queue_filter);
  state_.review_flow = new orvane::review::ReviewFlow(
      this, state_.document, ui_.canvas, [this] { return state_.image_folder; },
      [this](const QString& path) { jump_to_image(int(state_.image_paths.indexOf(path))); });
  connect(state_.review_flow, &orvane::review::ReviewFlow::undo_requested, this,
          &AnnotatorTab::undo);
  connect(state_.review_flow, &orvane::review::ReviewFlow::redo_requested, this,
          &AnnotatorTab::redo);
  VideoFlow::Hooks hooks;
  hooks.image_paths = [this] { return state_.image_paths; };
  hooks.current_row = [this] { return state_.current_idx; };
  hooks.go_to_row = [this](int row) {
    if (row == state_.current_idx) return;
    if (row >= 0 && row < state_.image_paths.size()) move_to(row);
  };
  hooks.open_folder = [this](const QString& folder) { open_folder(folder); };
  hooks.marks_changed = [this] { update_annotation_colors(); };
  state_.video_flow = new VideoFlow(this, state_.document, std::move(hooks));
  connect(state_.auto_label_flow, &AutoLabelFlow::model_loaded, this, [this] {
    ui_.btn_run_ai->setEnabled(true);
    ui_.btn_run_ai_folder->setEnabled(true);
  });
  // The end of a drag on the canvas is a move: after the scene has finished with the release.
  ui_.canvas->installEventFilter(this);
}

AnnotatorTab::~AnnotatorTab() {
  // The canvas outlives this body (it is a child, deleted by QWidget's destructor); clearing it
  // deselects a selected shape, and the selection signal must not reach a tab that is gone.
  if (ui_.canvas != nullptr) QObject::disconnect(ui_.canvas, nullptr, this, nullptr);
}

void AnnotatorTab::setup_workspace_tab() {
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(build_folder_column());
  layout->addWidget(build_canvas_area(), 1);
  layout->addWidget(build_annotation_column());
}

// Left column: folder, image queue, navigation, dataset tools.
QWidget* AnnotatorTab::build_folder_column() {
  auto* left = new QGroupBox("Directory && Image Queue");
  left->setFixedWidth(280);
  auto* left_layout = new QVBoxLayout(left);
  ui_.btn_load_dir = new QPushButton("📂 Load Directory");
  ui_.btn_load_dir->setObjectName("btn_load_dir");
  connect(ui_.btn_load_dir, &QPushButton::clicked, this, &AnnotatorTab::load_directory);
  left_layout->addWidget(ui_.btn_load_dir);
  ui_.btn_open_video = new QPushButton("🎞️ Open Video…");
  ui_.btn_open_video->setObjectName("btn_open_video");
  ui_.btn_open_video->setToolTip("Extract a video's frames into a folder and open it");
  connect(ui_.btn_open_video, &QPushButton::clicked, this, [this] { state_.video_flow->open_video(); });
  left_layout->addWidget(ui_.btn_open_video);
  ui_.btn_set_output = new QPushButton("🎯 Set Output Folder");
  connect(ui_.btn_set_output, &QPushButton::clicked, this, &AnnotatorTab::set_output_folder);
  left_layout->addWidget(ui_.btn_set_output);
  // Other tools' formats in and out; the flow asks for the format and paths and converts.
  InterchangeFlow::Hooks interchange_hooks;
  interchange_hooks.folder = [this] { return state_.image_folder; };
  interchange_hooks.save_current = [this] { return save_current_annotations(); };
  interchange_hooks.open_folder = [this](const QString& folder) { open_folder(folder); };
  state_.interchange_flow = new InterchangeFlow(this, std::move(interchange_hooks));
  auto* interchange_row = new QHBoxLayout;
  ui_.btn_import_dataset = new QPushButton("📥 Import…");
  ui_.btn_import_dataset->setToolTip(
      "Convert a COCO, Pascal VOC or labelme dataset into a new YOLO "
      "folder and open it");
  connect(ui_.btn_import_dataset, &QPushButton::clicked, state_.interchange_flow,
          &InterchangeFlow::import_dataset);
  ui_.btn_export_dataset = new QPushButton("📤 Export…");
  ui_.btn_export_dataset->setToolTip(
      "Write this folder as COCO, Pascal VOC or labelme into a new folder");
  connect(ui_.btn_export_dataset, &QPushButton::clicked, state_.interchange_flow,
          &InterchangeFlow::export_dataset);
  interchange_row->addWidget(ui_.btn_import_dataset);
  interchange_row->addWidget(ui_.btn_export_dataset);
  left_layout->addLayout(interchange_row);
  ui_.lbl_output_folder = new QLabel("Output: Not Set");
  ui_.lbl_output_folder->setStyleSheet("color: #8E8E93;");
  left_layout->addWidget(ui_.lbl_output_folder);
  auto* queue_header = new QHBoxLayout;
  queue_header->addWidget(new QLabel("Queue Files:"));
  ui_.combo_queue_filter = new QComboBox;
  ui_.combo_queue_filter->setObjectName("combo_queue_filter");
  ui_.combo_queue_filter->setToolTip("Show only the images with objects of a class, or without labels");
  connect(ui_.combo_queue_filter, &QComboBox::activated, this,
          [this](int index) { filter_queue(ui_.combo_queue_filter->itemData(index).toInt()); });
  queue_header->addWidget(ui_.combo_queue_filter, 1);
  left_layout->addLayout(queue_header);
  ui_.list_images = new QListWidget;
  ui_.list_images->setObjectName("list_images");
  // Rows are uniform text, which lets the list skip measuring ten thousand rows one by one.
  ui_.list_images->setUniformItemSizes(true);
  connect(ui_.list_images, &QListWidget::currentRowChanged, this, &AnnotatorTab::jump_to_image);
  left_layout->addWidget(ui_.list_images);
  auto* nav = new QHBoxLayout;
  ui_.btn_prev_img = new QPushButton("◄ Prev");
  connect(ui_.btn_prev_img, &QPushButton::clicked, this, &AnnotatorTab::prev_image);
  ui_.btn_next_img = new QPushButton("Next ►");
  ui_.btn_next_img->setObjectName("btn_next_img");
  connect(ui_.btn_next_img, &QPushButton::clicked, this, &AnnotatorTab::next_image);
  nav->addWidget(ui_.btn_prev_img);
  nav->addWidget(ui_.btn_next_img);
  left_layout->addLayout(nav);
  ui_.lbl_img_status = new QLabel("Status: Pending");
  ui_.lbl_img_status->setObjectName("lbl_img_status");
  ui_.lbl_img_status->setAlignment(Qt::AlignCenter);
  ui_.lbl_img_status->setWordWrap(true);
  // Room for two lines from the start, so a longer status never shifts the buttons under the mouse.
  ui_.lbl_img_status->setMinimumHeight(2 * ui_.lbl_img_status->fontMetrics().lineSpacing() + 4);
  left_layout->addWidget(ui_.lbl_img_status);
  left_layout->addSpacing(10);
  add_dataset_buttons(left_layout);
  return left;
}

void AnnotatorTab::add_dataset_buttons(QVBoxLayout* left_layout) {
  // The dataset tools are another tab's: these three buttons ask the main window for them.
  ui_.btn_health_check = new QPushButton("🩺 Dataset Health Inspector");
  left_layout->addWidget(ui_.btn_health_check);
  connect(ui_.btn_health_check, &QPushButton::clicked, this,
          [this] { Q_EMIT health_check_requested(state_.image_folder); });
  ui_.btn_duplicates = new QPushButton("🧬 Duplicates && Leakage");
  ui_.btn_duplicates->setAccessibleName("Duplicates and leakage");
  ui_.btn_duplicates->setToolTip("Exact and near-duplicate images, and copies across splits");
  left_layout->addWidget(ui_.btn_duplicates);
  connect(ui_.btn_duplicates, &QPushButton::clicked, this,
          [this] { Q_EMIT duplicates_requested(state_.image_folder); });
  ui_.btn_classes = new QPushButton("🏷 Classes…");
  ui_.btn_classes->setToolTip("Rename, merge, delete or reorder classes across the whole folder");
  left_layout->addWidget(ui_.btn_classes);
  connect(ui_.btn_classes, &QPushButton::clicked, this, [this] {
    // The operation reads every label file, this image's included.
    if (save_current_annotations()) Q_EMIT classes_requested(state_.image_folder);
  });
  ui_.btn_analytics = new QPushButton("📊 Dataset Analytics");
  left_layout->addWidget(ui_.btn_analytics);
  connect(ui_.btn_analytics, &QPushButton::clicked, this,
          [this] { Q_EMIT analytics_requested(state_.image_paths, classes()); });
  ui_.btn_split_export = new QPushButton("📤 Export && Split Dataset");
  ui_.btn_split_export->setAccessibleName("Export and split dataset");
  ui_.btn_split_export->setObjectName("primaryBtn");
  left_layout->addWidget(ui_.btn_split_export);
  connect(ui_.btn_split_export, &QPushButton::clicked, this, [this] {
    // The export reads the label files, so what is on screen (dragged shapes too) goes first.
    if (save_current_annotations()) Q_EMIT split_export_requested(state_.image_paths, classes());
  });
}

// Centre: the canvas in its view, with the FIT button floating over the top-right corner.
QWidget* AnnotatorTab::build_canvas_area() {
  auto* centre = new QWidget;
  auto* grid = new QGridLayout(centre);
  grid->setContentsMargins(0, 0, 0, 0);
  ui_.canvas = new InteractiveCanvas(this);
  ui_.canvas_view = new ZoomableView;
  ui_.canvas_view->setObjectName("canvas_view");
  ui_.canvas_view->setScene(ui_.canvas);
  grid->addWidget(ui_.canvas_view, 0, 0);
  ui_.btn_fit_screen = new QPushButton("FIT");
  ui_.btn_fit_screen->setFixedSize(48, 32);
  connect(ui_.btn_fit_screen, &QPushButton::clicked, this, &AnnotatorTab::fit_canvas_to_screen);
  grid->addWidget(ui_.btn_fit_screen, 0, 0, Qt::AlignTop | Qt::AlignRight);
  ui_.navigator = new OverviewNavigator;
  ui_.navigator->setObjectName("navigator");
  ui_.navigator->setFixedSize(ui_.navigator->sizeHint());
  ui_.navigator->follow(ui_.canvas_view);
  ui_.navigator->hide();
  grid->addWidget(ui_.navigator, 0, 0, Qt::AlignBottom | Qt::AlignRight);
  connect(ui_.canvas, &InteractiveCanvas::polygon_completed, this, &AnnotatorTab::handle_new_poly);
  connect(ui_.canvas, &QGraphicsScene::selectionChanged, this,
          &AnnotatorTab::sync_canvas_selection);
  return centre;
}

// Right column: draw mode, assists, the object table.
QWidget* AnnotatorTab::build_annotation_column() {
  auto* right = new QGroupBox("AI Annotation Workstation");
  right->setFixedWidth(310);
  auto* right_layout = new QVBoxLayout(right);
  auto* mode_row = new QHBoxLayout;
  mode_row->addWidget(new QLabel("Active Mode:"));
  ui_.combo_mode = new QComboBox;
  ui_.combo_mode->setObjectName("combo_mode");
  add_draw_modes(ui_.combo_mode, {DrawMode::SelectMove, DrawMode::Polygon, DrawMode::Rectangle,
                                  DrawMode::Circle, DrawMode::Pentagon});
  connect(ui_.combo_mode, &QComboBox::currentIndexChanged, this,
          [this](int index) { change_active_mode(draw_mode_at(ui_.combo_mode, index)); });
  mode_row->addWidget(ui_.combo_mode, 1);
  right_layout->addLayout(mode_row);
  right_layout->addWidget(build_assist_box());
  right_layout->addWidget(build_video_box());
  add_object_table(right_layout);
  return right;
}

QWidget* AnnotatorTab::build_assist_box() {
  auto* assist = new QGroupBox("AI Assist && Auto-Labeling");
  auto* assist_layout = new QVBoxLayout(assist);
  ui_.btn_copy_prev = new QPushButton("📋 Copy Previous Frame Shapes");
  connect(ui_.btn_copy_prev, &QPushButton::clicked, this,
          &AnnotatorTab::copy_previous_frame_shapes);
  assist_layout->addWidget(ui_.btn_copy_prev);
  ui_.btn_load_ai = new QPushButton("🧠 Load AI Model (.pt)");
  connect(ui_.btn_load_ai, &QPushButton::clicked, state_.auto_label_flow,
          &AutoLabelFlow::choose_model);
  assist_layout->addWidget(ui_.btn_load_ai);
  auto* conf_row = new QHBoxLayout;
  conf_row->addWidget(new QLabel("AI Conf:"));
  ui_.spin_ai_conf = new QDoubleSpinBox;
  ui_.spin_ai_conf->setRange(0.01, 1.0);
  ui_.spin_ai_conf->setSingleStep(0.05);
  ui_.spin_ai_conf->setDecimals(2);
  ui_.spin_ai_conf->setValue(0.25);
  conf_row->addWidget(ui_.spin_ai_conf);
  assist_layout->addLayout(conf_row);
  ui_.ai_slice = new SliceControls;
  assist_layout->addWidget(ui_.ai_slice);
  ui_.btn_run_ai = new QPushButton("🤖 Auto-Label Frame");
  ui_.btn_run_ai->setEnabled(false);
  connect(ui_.btn_run_ai, &QPushButton::clicked, this, [this] {
    state_.auto_label_flow->label_current_image(ui_.spin_ai_conf->value(), slice_of(*ui_.ai_slice));
  });
  assist_layout->addWidget(ui_.btn_run_ai);
  // Right under the frame button: side by side the two texts do not fit the column.
  ui_.btn_run_ai_folder = new QPushButton("🤖 Auto-Label Folder");
  ui_.btn_run_ai_folder->setEnabled(false);
  ui_.btn_run_ai_folder->setToolTip("Labels every image of the folder that has no label file yet");
  connect(ui_.btn_run_ai_folder, &QPushButton::clicked, this, [this] {
    state_.auto_label_flow->label_folder(ui_.spin_ai_conf->value(), slice_of(*ui_.ai_slice));
  });
  assist_layout->addWidget(ui_.btn_run_ai_folder);
  auto* btn_review = new QPushButton("🔎 Review with Model…");
  btn_review->setToolTip("Lets a trained model point at likely labelling mistakes in this folder");
  connect(btn_review, &QPushButton::clicked, this,
          [this] { state_.review_flow->choose_model_and_review(); });
  assist_layout->addWidget(btn_review);
  return assist;
}

// Frames of one video: shapes carried forward by tracking, or filled in between keyframes.
QWidget* AnnotatorTab::build_video_box() {
  auto* box = new QGroupBox("Video Frames");
  auto* layout = new QVBoxLayout(box);
  auto* row = new QHBoxLayout;
  ui_.btn_propagate = new QPushButton("🎞️ Propagate");
  ui_.btn_propagate->setObjectName("btn_propagate");
  ui_.btn_propagate->setToolTip("Track this frame's shapes onto the next frames (stops at a labelled frame)");
  ui_.spin_propagate_frames = new QSpinBox;
  ui_.spin_propagate_frames->setObjectName("spin_propagate_frames");
  ui_.spin_propagate_frames->setRange(1, 500);
  ui_.spin_propagate_frames->setValue(10);
  ui_.spin_propagate_frames->setSuffix(" frames");
  connect(ui_.btn_propagate, &QPushButton::clicked, this,
          [this] { state_.video_flow->propagate(ui_.spin_propagate_frames->value()); });
  row->addWidget(ui_.btn_propagate, 1);
  row->addWidget(ui_.spin_propagate_frames);
  layout->addLayout(row);
  ui_.btn_interpolate = new QPushButton("↔ Interpolate From Last Keyframe");
  ui_.btn_interpolate->setObjectName("btn_interpolate");
  ui_.btn_interpolate->setToolTip("Fill the frames between the previous labelled frame and this one");
  connect(ui_.btn_interpolate, &QPushButton::clicked, this, [this] { state_.video_flow->interpolate(); });
  layout->addWidget(ui_.btn_interpolate);
  ui_.btn_accept_carried = new QPushButton("✔ Accept Carried Shapes");
  ui_.btn_accept_carried->setObjectName("btn_accept_carried");
  ui_.btn_accept_carried->setToolTip("Propagated or interpolated shapes (dashed) of this frame become ordinary ones");
  connect(ui_.btn_accept_carried, &QPushButton::clicked, this, [this] { state_.video_flow->accept_carried(); });
  layout->addWidget(ui_.btn_accept_carried);
  return box;
}

// The shapes of the image as rows, and the buttons that act on them.
void AnnotatorTab::add_object_table(QVBoxLayout* right_layout) {
  right_layout->addWidget(new QLabel("Annotated Objects:"));
  ui_.table_objects = new QTableWidget(0, 2);
  ui_.table_objects->setObjectName("table_objects");
  ui_.table_objects->setHorizontalHeaderLabels({"Label", "Shape"});
  ui_.table_objects->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  ui_.table_objects->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Names are edited through the label dialog only; an in-place edit would bypass classes.txt.
  ui_.table_objects->setEditTriggers(QAbstractItemView::NoEditTriggers);
  connect(ui_.table_objects, &QTableWidget::itemSelectionChanged, this,
          &AnnotatorTab::sync_table_selection);
  right_layout->addWidget(ui_.table_objects);
  ui_.btn_delete_shape = new QPushButton("🗑️ Delete Selected Shape");
  connect(ui_.btn_delete_shape, &QPushButton::clicked, this, &AnnotatorTab::ann_delete_selected);
  right_layout->addWidget(ui_.btn_delete_shape);
  ui_.btn_save = new QPushButton("💾 Save Annotations && Workspace");
  connect(ui_.btn_save, &QPushButton::clicked, this, &AnnotatorTab::save_current_annotations);
  right_layout->addWidget(ui_.btn_save);
}

void AnnotatorTab::setup_shortcuts() {
  // Scoped to this tab: a Delete pressed while another tab is shown must not destroy a shape the
  // operator cannot even see.
  ui_.shortcut_del = new QShortcut(QKeySequence(Qt::Key_Delete), this);
  ui_.shortcut_del->setContext(Qt::WidgetWithChildrenShortcut);
  connect(ui_.shortcut_del, &QShortcut::activated, this, &AnnotatorTab::ann_delete_selected);
  ui_.shortcut_back = new QShortcut(QKeySequence(Qt::Key_Backspace), this);
  ui_.shortcut_back->setContext(Qt::WidgetWithChildrenShortcut);
  connect(ui_.shortcut_back, &QShortcut::activated, this, &AnnotatorTab::ann_delete_selected);
  ui_.shortcut_undo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this);
  ui_.shortcut_undo->setContext(Qt::WidgetWithChildrenShortcut);
  connect(ui_.shortcut_undo, &QShortcut::activated, this, &AnnotatorTab::undo);
  ui_.shortcut_redo = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), this);
  ui_.shortcut_redo->setContext(Qt::WidgetWithChildrenShortcut);
  connect(ui_.shortcut_redo, &QShortcut::activated, this, &AnnotatorTab::redo);
  ui_.shortcut_redo_y = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Y), this);
  ui_.shortcut_redo_y->setContext(Qt::WidgetWithChildrenShortcut);
  connect(ui_.shortcut_redo_y, &QShortcut::activated, this, &AnnotatorTab::redo);
}

void AnnotatorTab::showEvent(QShowEvent* event) {
  QWidget* top = window();
  if (top != this && top != watched_window_) {
    if (watched_window_) watched_window_->removeEventFilter(this);
    watched_window_ = top;
    top->installEventFilter(this);
  }
  QWidget::showEvent(event);
}

bool AnnotatorTab::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_.canvas && event->type() == QEvent::GraphicsSceneMouseRelease) {
    QMetaObject::invokeMethod(this, &AnnotatorTab::commit_item_positions, Qt::QueuedConnection);
    return false;
  }
  // A drag is written by the next save; quitting is the last chance for one.
  if (watched == watched_window_ && event->type() == QEvent::Close && !save_current_annotations()) {
    const auto answer = ui::question(
        window(), "Unsaved Shapes",
        "The shapes of the current image could not be saved. Close anyway and lose them?");
    if (answer != QMessageBox::Yes) {
      event->ignore();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

// ---- Folder and navigation ------------------------------------------------------------------

void AnnotatorTab::load_directory() {
  const QString folder = ui::get_existing_directory(window(), "Select Image Directory");
  if (folder.isEmpty()) return;
  open_folder(folder);
}

void AnnotatorTab::open_folder(const QString& folder) {
  // Positions changed by dragging are only written by a save; leaving the folder is a move too.
  if (!save_current_annotations()) return;

  // A class operation cut short (a crash, a power cut) is finished or rolled back first, so the
  // folder never opens half renumbered.
  if (const Result<QString> recovered = dataset::recover_class_operation(folder); !recovered)
    ui::warning(window(), "Classes", recovered.error());
  else if (!recovered->isEmpty())
    ui::information(window(), "Classes", *recovered);

  state_.image_folder = folder;
  const ImageFolderListing listing = scan_image_folder(folder);
  state_.image_paths = listing.image_paths;

  const QString classes_path = classes_path_in(folder);
  const Result<ClassesFileContents> read = read_classes_file(classes_path);
  if (!read) {
    state_.document->set_classes({}, classes_path, read.error());
    // Without its names no shape can be shown, and rewriting the file would lose them.
    ui::warning(window(), "Classes Unreadable",
                read.error() +
                    "\n\nNo class names are loaded, classes.txt is left untouched and no class "
                    "can be added until it is readable.");
  } else if (read->exists) {
    state_.document->set_classes(read->classes, classes_path);
  } else {
    // The previous folder's names stay in use and are written here when the list grows.
    state_.document->set_classes(state_.document->classes(), classes_path);
  }

  listed_labelled_ = listing.labelled;
  populate_image_list();
  listed_labelled_.clear();

  if (!state_.image_paths.isEmpty()) {
    state_.current_idx = 0;
    load_current_image();
  } else {
    // Nothing of the previous folder may stay editable: its saves would no longer reach a file.
    state_.current_idx = 0;
    state_.display_cv_img = cv::Mat();
    state_.document->clear();
    clear_shown_image();
    show_status("STATUS: NO IMAGES IN FOLDER", kPendingColor);
  }
}

void AnnotatorTab::set_output_folder() {
  const QString folder = ui::get_existing_directory(window(), "Select Output Directory");
  if (folder.isEmpty()) return;
  state_.output_folder = folder;
  ui_.lbl_output_folder->setText("Output: " + QFileInfo(folder).fileName());
}

void AnnotatorTab::populate_image_list() {
  const QSignalBlocker block(ui_.list_images);
  ui_.list_images->clear();
  const bool listed = listed_labelled_.size() == size_t(state_.image_paths.size());
  QStringList rows;
  rows.reserve(state_.image_paths.size());
  for (qsizetype i = 0; i < state_.image_paths.size(); ++i) {
    const bool labelled =
        listed ? listed_labelled_[i] : QFileInfo::exists(label_path_for(state_.image_paths[i]));
    rows.append(image_row_text(state_.image_paths[i], labelled));
  }
  ui_.list_images->addItems(rows);
  refill_queue_filter();
}

void AnnotatorTab::refill_queue_filter() {
  const QSignalBlocker block(ui_.combo_queue_filter);
  const int chosen = ui_.combo_queue_filter->currentData().isValid()
                         ? ui_.combo_queue_filter->currentData().toInt()
                         : -2;
  ui_.combo_queue_filter->clear();
  ui_.combo_queue_filter->addItem("All images", -2);
  ui_.combo_queue_filter->addItem("Without labels", -1);
  for (int id = 0; id < classes().size(); ++id)
    ui_.combo_queue_filter->addItem("Class: " + classes()[id], id);
  const int at = std::max(0, ui_.combo_queue_filter->findData(chosen));
  ui_.combo_queue_filter->setCurrentIndex(at);
  filter_queue(ui_.combo_queue_filter->itemData(at).toInt());
}

void AnnotatorTab::filter_queue(int filter) {
  if (const int at = ui_.combo_queue_filter->findData(filter);
      at >= 0 && at != ui_.combo_queue_filter->currentIndex()) {
    const QSignalBlocker block(ui_.combo_queue_filter);
    ui_.combo_queue_filter->setCurrentIndex(at);
  }
  std::vector<bool> shown(size_t(state_.image_paths.size()), true);
  if (filter >= -1) {
    ui::WaitCursor wait;
    shown = dataset::images_matching(state_.image_paths, filter,
                                     [](const QString& image) { return label_path_for(image); });
  }
  for (int row = 0; row < ui_.list_images->count() && row < int(shown.size()); ++row)
    ui_.list_images->setRowHidden(row, !shown[size_t(row)]);
}

void AnnotatorTab::refresh_folder_listing() {
  if (state_.image_folder.isEmpty() || !save_current_annotations()) return;
  const QString current = state_.image_paths.value(state_.current_idx);
  const ImageFolderListing listing = scan_image_folder(state_.image_folder);
  state_.image_paths = listing.image_paths;
  listed_labelled_ = listing.labelled;
  populate_image_list();
  listed_labelled_.clear();
  const qsizetype at = state_.image_paths.indexOf(current);
  if (at >= 0) {
    state_.current_idx = int(at);
    const QSignalBlocker block(ui_.list_images);
    ui_.list_images->setCurrentRow(state_.current_idx);
    return;
  }
  state_.current_idx = 0;
  if (!state_.image_paths.isEmpty()) {
    load_current_image();
  } else {
    state_.display_cv_img = cv::Mat();
    state_.document->clear();
    clear_shown_image();
  }
}

void AnnotatorTab::apply_folder_edit(const QString& text, AnnotationDocument::FolderStep forward,
                                     AnnotationDocument::FolderStep backward) {
  const Result<> applied =
      state_.document->apply_folder_edit(text, std::move(forward), std::move(backward));
  if (!applied) ui::warning(window(), "Classes", applied.error());
}

void AnnotatorTab::load_current_image() {
  if (state_.image_paths.isEmpty() || state_.current_idx < 0 ||
      state_.current_idx >= state_.image_paths.size())
    return;
  const QString path = state_.image_paths[state_.current_idx];
  cv::Mat image = read_image_bgr(path);
  {
    const QSignalBlocker block(ui_.list_images);
    ui_.list_images->setCurrentRow(state_.current_idx);
  }
  label_error_.clear();

  if (image.empty()) {
    // The image stays current but shows nothing, and with no frame no save touches its labels.
    state_.display_cv_img = cv::Mat();
    state_.document->clear();
    clear_shown_image();
    show_status("STATUS: IMAGE COULD NOT BE DECODED\n" + file_name_of(path), kPendingColor);
    return;
  }
  state_.display_cv_img = image;
  const bool labelled = QFileInfo::exists(label_path_for(path));
  if (labelled) {
    show_status("STATUS: ANNOTATED", kAnnotatedColor);
  } else {
    show_status("STATUS: PENDING", kPendingColor);
  }
  render_canvas_image();
  load_existing_annotations(path);

  const LabelReadStatus status = state_.document->label_status();
  const qsizetype kept = state_.document->kept_lines().size();
  if (status == LabelReadStatus::Unreadable) {
    show_status("STATUS: LABEL FILE UNREADABLE\nleft untouched", kNoticeColor);
  } else if (status == LabelReadStatus::Stopped) {
    show_status(QStringLiteral("STATUS: LABEL FILE ERROR\n%1 line(s) kept unread").arg(kept),
                kNoticeColor);
  } else if (kept > 0) {
    show_status(
        QStringLiteral("STATUS: ANNOTATED\n%1 line(s) without a known class kept").arg(kept),
        kNoticeColor);
  }
  // The reason goes with the status, and once into a box the operator has to acknowledge.
  ui_.lbl_img_status->setToolTip(label_error_);
  if (!label_error_.isEmpty()) {
    ui::warning(window(), "Label File Error",
                "Error loading annotations: " + label_error_ +
                    "\n\nThe lines that could not be read are kept in the file unchanged.");
  }
}

void AnnotatorTab::clear_shown_image() {
  const QSignalBlocker block_canvas(ui_.canvas);
  const QSignalBlocker block_table(ui_.table_objects);
  // The shape items belong to the views: the scene's clear must not delete them.
  for (const ShapeRecord& record : state_.annotations) ui_.canvas->removeItem(record.item);
  ui_.canvas->reset_drawing();
  ui_.canvas->clear();
  ui_.canvas->setSceneRect(QRectF());
  ui_.table_objects->setRowCount(0);
  ui_.navigator->set_image({}, {});
  ui_.navigator->hide();
}

void AnnotatorTab::render_canvas_image() {
  if (state_.display_cv_img.empty()) return;
  {
    const QSignalBlocker block_canvas(ui_.canvas);
    const QSignalBlocker block_table(ui_.table_objects);
    // The shape items belong to the views: the scene's clear must not delete them.
    for (const ShapeRecord& record : state_.annotations) ui_.canvas->removeItem(record.item);
    ui_.canvas->reset_drawing();
    ui_.canvas->clear();
    // Painted from the level of a pyramid that matches the zoom, only where exposed: a
    // 100-megapixel photo pans as smoothly as a small one.
    auto* picture = new LargeImageItem(
        image_pyramid(state_.display_cv_img, LargeImageItem::kSmallestSide));
    picture->setZValue(-1);
    ui_.canvas->addItem(picture);
    ui_.canvas->setSceneRect(0, 0, state_.display_cv_img.cols, state_.display_cv_img.rows);
    for (const ShapeRecord& record : state_.annotations) ui_.canvas->addItem(record.item);
    ui_.navigator->set_image(picture->thumbnail(ui_.navigator->width()), picture->image_size());
    ui_.navigator->show();
  }
  fit_canvas_to_screen();
}

void AnnotatorTab::fit_canvas_to_screen() {
  const QRectF rect = ui_.canvas->sceneRect();
  if (rect.width() > 0) ui_.canvas_view->fitInView(rect, Qt::KeepAspectRatio);
  ui_.navigator->refresh();
}

void AnnotatorTab::move_to(int row) {
  if (!save_current_annotations()) {
    // The shapes could not be written: stay, so they are not lost.
    const QSignalBlocker block(ui_.list_images);
    ui_.list_images->setCurrentRow(state_.current_idx);
    return;
  }
  state_.current_idx = row;
  load_current_image();
}

void AnnotatorTab::jump_to_image(int row) {
  if (row >= 0 && row < state_.image_paths.size() && row != state_.current_idx) move_to(row);
}

void AnnotatorTab::prev_image() {
  // Rows the queue filter hides are stepped over.
  int row = state_.current_idx - 1;
  while (row >= 0 && ui_.list_images->isRowHidden(row)) --row;
  if (row >= 0) move_to(row);
}

void AnnotatorTab::next_image() {
  int row = state_.current_idx + 1;
  while (row < state_.image_paths.size() && ui_.list_images->isRowHidden(row)) ++row;
  if (row < state_.image_paths.size()) move_to(row);
}

void AnnotatorTab::update_single_list_status() {
  if (state_.image_paths.isEmpty() || state_.current_idx < 0 ||
      state_.current_idx >= state_.image_paths.size())
    return;
  if (QListWidgetItem* row = ui_.list_images->item(state_.current_idx)) {
    const QString path = state_.image_paths[state_.current_idx];
    row->setText(image_row_text(path, QFileInfo::exists(label_path_for(path))));
  }
}

void AnnotatorTab::change_active_mode(DrawMode mode) {
  ui_.canvas->set_draw_mode(mode);
  ui_.canvas_view->set_interaction_mode(mode);
}

void AnnotatorTab::show_status(const QString& text, const QString& color) {
  ui_.lbl_img_status->setText(text);
  ui_.lbl_img_status->setStyleSheet(QStringLiteral("color: %1;").arg(color));
}

// ---- Shapes, label files, classes ------------------------------------------------------------

void AnnotatorTab::handle_new_poly(const QPolygonF& polygon) {
  // Without a frame there is no image to annotate and nowhere to save.
  if (state_.display_cv_img.empty()) return;
  LabelDialog dialog(classes(), state_.last_label, window());
  if (ui::exec_dialog(dialog) != QDialog::Accepted) return;
  const QString label = dialog.get_label();
  if (label.isEmpty()) return;
  state_.last_label = label;
  const Result<> added = state_.document->add_shapes(
      {{polygon, label, draw_mode_text(ui_.canvas->draw_mode())}}, "Draw shape");
  if (!added) ui::warning(window(), "Shape Not Added", added.error());
}

bool AnnotatorTab::save_current_annotations() {
  if (state_.image_paths.isEmpty() || state_.display_cv_img.empty() || state_.current_idx < 0 ||
      state_.current_idx >= state_.image_paths.size() || !state_.document->has_image()) {
    return true;
  }
  commit_item_positions();
  const Result<> result = state_.document->save();
  update_single_list_status();
  if (!result) {
    ui::warning(window(), "Save Failed", result.error() + "\n\nThe shapes stay on screen.");
    return false;
  }
  return true;
}

void AnnotatorTab::load_existing_annotations(const QString& image_path) {
  if (state_.display_cv_img.empty()) {
    state_.document->clear();
    return;
  }
  const DocumentLoad read = state_.document->load(
      image_path, QSize(state_.display_cv_img.cols, state_.display_cv_img.rows));
  label_error_ = read.error;
}

void AnnotatorTab::save_classes_file() {
  // The document writes classes.txt whenever its list grows (before the step that needs it).
  if (state_.image_folder.isEmpty() || !state_.document->classes_readable()) return;
  const Result<> result =
      write_classes_file(classes_path_in(state_.image_folder), state_.document->classes());
  if (!result) ui::warning(window(), "Save Failed", result.error());
}

void AnnotatorTab::on_document_edited() {
  // Every step (and every undo or redo) is written at once, as every edit always was.
  if (!committing_) save_current_annotations();
}

void AnnotatorTab::commit_item_positions() {
  if (committing_) return;
  committing_ = true;
  std::vector<std::pair<int, QPointF>> moved;
  for (const ShapeRecord& record : state_.annotations) {
    if (!record.item->pos().isNull()) moved.emplace_back(record.id, record.item->pos());
  }
  if (!moved.empty()) {
    QUndoStack* stack = state_.document->undo_stack();
    const int drag = state_.document->next_drag();
    if (moved.size() > 1) stack->beginMacro("Move shapes");
    for (const auto& [id, offset] : moved) state_.document->move_shape(id, offset, drag);
    if (moved.size() > 1) stack->endMacro();
  }
  committing_ = false;
  if (!moved.empty()) save_current_annotations();
}

// ---- Views of the document -------------------------------------------------------------------

void AnnotatorTab::rebuild_views() {
  const QSignalBlocker block_table(ui_.table_objects);
  const QSignalBlocker block_canvas(ui_.canvas);
  for (const ShapeRecord& record : state_.annotations) {
    if (record.item->scene() == ui_.canvas) ui_.canvas->removeItem(record.item);
    delete record.item;
  }
  state_.annotations.clear();
  ui_.table_objects->setRowCount(0);
  for (int i = 0; i < int(state_.document->shapes().size()); ++i) insert_view(i);
  update_annotation_colors();
}

void AnnotatorTab::insert_view(int index) {
  const DocumentShape& shape = state_.document->shapes()[size_t(index)];
  auto* item = new QGraphicsPolygonItem(shape.points);
  item->setFlags(QGraphicsItem::ItemIsMovable | QGraphicsItem::ItemIsSelectable);
  {
    const QSignalBlocker block(ui_.canvas);
    ui_.canvas->addItem(item);
  }
  state_.annotations.insert(state_.annotations.begin() + index, {item, shape.id});
  const QSignalBlocker block(ui_.table_objects);
  ui_.table_objects->insertRow(index);
  ui_.table_objects->setItem(index, 0, new QTableWidgetItem(shape.label));
  ui_.table_objects->setItem(index, 1, new QTableWidgetItem(shape.type));
  update_annotation_colors();
}

void AnnotatorTab::remove_view(int index) {
  QGraphicsPolygonItem* item = state_.annotations[size_t(index)].item;
  state_.annotations.erase(state_.annotations.begin() + index);
  {
    const QSignalBlocker block(ui_.canvas);
    ui_.canvas->removeItem(item);
  }
  delete item;
  const QSignalBlocker block(ui_.table_objects);
  ui_.table_objects->removeRow(index);
  update_annotation_colors();
}

void AnnotatorTab::update_view(int index) {
  const DocumentShape& shape = state_.document->shapes()[size_t(index)];
  ShapeRecord& record = state_.annotations[size_t(index)];
  record.item->setPolygon(shape.points);
  record.item->setPos(0, 0);
  const QSignalBlocker block(ui_.table_objects);
  ui_.table_objects->item(index, 0)->setText(shape.label);
  ui_.table_objects->item(index, 1)->setText(shape.type);
  update_annotation_colors();
}

void AnnotatorTab::update_annotation_colors() {
  // The views follow the document in order; between its change and their update they may be
  // one ahead or behind, and only the common part is coloured.
  const size_t shown = std::min(state_.annotations.size(), state_.document->shapes().size());
  for (size_t i = 0; i < shown; ++i) {
    const ShapeRecord& record = state_.annotations[i];
    const QColor base = class_color(class_id_for(classes(), state_.document->shapes()[i].label));
    const bool selected = record.item->isSelected();
    QPen pen(base, selected ? 4 : 2);
    // Carried (propagated, interpolated) shapes are dashed until the operator takes them over.
    if (state_.video_flow && state_.video_flow->is_carried(record.id)) pen.setStyle(Qt::DashLine);
    // Outlines keep their width on screen whatever the zoom; on a 24-megapixel photo fitted to
    // the window a width in image pixels would all but vanish.
    pen.setCosmetic(true);
    QColor fill = base;
    fill.setAlpha(selected ? 120 : 60);
    record.item->setPen(pen);
    record.item->setBrush(QBrush(fill));
    record.item->setZValue(selected ? 1.0 : 0.0);
  }
}

void AnnotatorTab::undo() {
  commit_item_positions();
  state_.document->undo_stack()->undo();
}

void AnnotatorTab::redo() { state_.document->undo_stack()->redo(); }

void AnnotatorTab::sync_table_selection() {
  const QSignalBlocker block(ui_.canvas);
  ui_.canvas->clearSelection();
  const int row = ui_.table_objects->currentRow();
  if (row >= 0 && row < int(state_.annotations.size()))
    state_.annotations[row].item->setSelected(true);
  update_annotation_colors();
}

void AnnotatorTab::sync_canvas_selection() {
  const QSignalBlocker block(ui_.table_objects);
  ui_.table_objects->clearSelection();
  const QList<QGraphicsItem*> selected = ui_.canvas->selectedItems();
  int row = -1;
  if (!selected.isEmpty()) {
    for (size_t i = 0; i < state_.annotations.size(); ++i) {
      if (state_.annotations[i].item == selected.first()) {
        row = int(i);
        break;
      }
    }
  }
  if (row >= 0) {
    ui_.table_objects->selectRow(row);
  } else {
    // Nothing selected on the canvas: no current row either, so Delete cannot remove a shape
    // that no longer looks selected.
    ui_.table_objects->setCurrentIndex(QModelIndex());
  }
  update_annotation_colors();
}

void AnnotatorTab::ann_delete_selected() {
  const int row = ui_.table_objects->currentRow();
  if (row < 0 || row >= int(state_.annotations.size())) return;
  // A drag not yet written is part of what an undo of the deletion gives back.
  commit_item_positions();
  state_.document->remove_shape(state_.annotations[size_t(row)].id);
}

void AnnotatorTab::copy_previous_frame_shapes() {
  if (state_.current_idx <= 0 || state_.image_paths.isEmpty()) {
    ui::warning(window(), "Unavailable", "No previous image available to copy annotations from.");
    return;
  }
  if (state_.display_cv_img.empty()) {
    ui::warning(window(), "Unavailable",
                "The current image could not be decoded, so no shapes can be copied onto it.");
    return;
  }
  const QString previous = state_.image_paths[state_.current_idx - 1];
  const LabelFileContents read = read_label_file(label_path_for(previous), classes().size());
  if (read.status == LabelReadStatus::Unreadable || read.status == LabelReadStatus::Stopped) {
    // Copying what could be read would replace this image's shapes with a part of the
    // previous ones: nothing is copied.
    ui::warning(window(), "Copy Refused",
                "The previous image's label file could not be read completely, so nothing was "
                "copied and this image's labels are unchanged.\n\n" +
                    read.error);
    return;
  }
  commit_item_positions();
  // Normalised coordinates carry over: the previous shapes are scaled to this image's size.
  state_.document->replace_shapes(read.shapes, "Copy previous frame shapes");
}

}  // namespace orvane
