#include "annotator/annotator_tab.h"

#include <QApplication>
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
#include <QProgressDialog>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>

#include "annotator/auto_label.h"
#include "annotator/auto_label_worker.h"
#include "review/review_flow.h"
#include "annotator/classes_file.h"
#include "annotator/image_folder.h"
#include "annotator/interchange_flow.h"
#include "annotator/label_dialog.h"
#include "engine/yolo.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"
#include "ui/dialogs.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

using namespace orvane;

namespace {

const char* const kPendingColor = "#D3112E";
const char* const kAnnotatedColor = "#10B981";
const char* const kNoticeColor = "#F59E0B";

QString file_name_of(const QString& path) { return QFileInfo(path).fileName(); }

}  // namespace

AnnotatorTab::AnnotatorTab(QWidget* parent) : QWidget(parent) {
  document = new AnnotationDocument(this);
  setup_workspace_tab();
  setup_shortcuts();
  connect(document, &AnnotationDocument::reset, this, &AnnotatorTab::rebuild_views);
  connect(document, &AnnotationDocument::shape_inserted, this, &AnnotatorTab::insert_view);
  connect(document, &AnnotationDocument::shape_removed, this, &AnnotatorTab::remove_view);
  connect(document, &AnnotationDocument::shape_changed, this, &AnnotatorTab::update_view);
  connect(document, &AnnotationDocument::classes_changed, this, [this] {
    classes = document->classes();
    update_annotation_colors();
  });
  connect(document, &AnnotationDocument::edited, this, &AnnotatorTab::on_document_edited);
  review_flow = new orvane::review::ReviewFlow(
      this, document, canvas, [this] { return image_folder; },
      [this](const QString& path) { jump_to_image(int(image_paths.indexOf(path))); });
  // The end of a drag on the canvas is a move: after the scene has finished with the release.
  canvas->installEventFilter(this);
}

AnnotatorTab::~AnnotatorTab() {
  if (folder_worker) {
    folder_worker->request_stop();
    folder_worker->wait();
  }
  // The canvas outlives this body (it is a child, deleted by QWidget's destructor); clearing it
  // deselects a selected shape, and the selection signal must not reach a tab that is gone.
  if (canvas != nullptr) QObject::disconnect(canvas, nullptr, this, nullptr);
}

void AnnotatorTab::setup_workspace_tab() {
  auto* layout = new QHBoxLayout(this);

  // Left column: folder, image queue, navigation, dataset tools.
  auto* left = new QGroupBox("Directory && Image Queue");
  left->setFixedWidth(280);
  auto* left_layout = new QVBoxLayout(left);
  btn_load_dir = new QPushButton("📂 Load Directory");
  btn_load_dir->setObjectName("btn_load_dir");
  connect(btn_load_dir, &QPushButton::clicked, this, &AnnotatorTab::load_directory);
  left_layout->addWidget(btn_load_dir);
  btn_set_output = new QPushButton("🎯 Set Output Folder");
  connect(btn_set_output, &QPushButton::clicked, this, &AnnotatorTab::set_output_folder);
  left_layout->addWidget(btn_set_output);
  // Other tools' formats in and out; the flow asks for the format and paths and converts.
  interchange_flow = new InterchangeFlow(this);
  auto* interchange_row = new QHBoxLayout;
  btn_import_dataset = new QPushButton("📥 Import…");
  btn_import_dataset->setToolTip("Convert a COCO, Pascal VOC or labelme dataset into a new YOLO "
                                 "folder and open it");
  connect(btn_import_dataset, &QPushButton::clicked, interchange_flow,
          &InterchangeFlow::import_dataset);
  btn_export_dataset = new QPushButton("📤 Export…");
  btn_export_dataset->setToolTip("Write this folder as COCO, Pascal VOC or labelme into a new folder");
  connect(btn_export_dataset, &QPushButton::clicked, interchange_flow,
          &InterchangeFlow::export_dataset);
  interchange_row->addWidget(btn_import_dataset);
  interchange_row->addWidget(btn_export_dataset);
  left_layout->addLayout(interchange_row);
  lbl_output_folder = new QLabel("Output: Not Set");
  lbl_output_folder->setStyleSheet("color: #8E8E93;");
  left_layout->addWidget(lbl_output_folder);
  left_layout->addWidget(new QLabel("Queue Files:"));
  list_images = new QListWidget;
  list_images->setObjectName("list_images");
  // Rows are uniform text, which lets the list skip measuring ten thousand rows one by one.
  list_images->setUniformItemSizes(true);
  connect(list_images, &QListWidget::currentRowChanged, this, &AnnotatorTab::jump_to_image);
  left_layout->addWidget(list_images);
  auto* nav = new QHBoxLayout;
  btn_prev_img = new QPushButton("◄ Prev");
  connect(btn_prev_img, &QPushButton::clicked, this, &AnnotatorTab::prev_image);
  btn_next_img = new QPushButton("Next ►");
  btn_next_img->setObjectName("btn_next_img");
  connect(btn_next_img, &QPushButton::clicked, this, &AnnotatorTab::next_image);
  nav->addWidget(btn_prev_img);
  nav->addWidget(btn_next_img);
  left_layout->addLayout(nav);
  lbl_img_status = new QLabel("Status: Pending");
  lbl_img_status->setObjectName("lbl_img_status");
  lbl_img_status->setAlignment(Qt::AlignCenter);
  lbl_img_status->setWordWrap(true);
  // Room for two lines from the start, so a longer status never shifts the buttons under the mouse.
  lbl_img_status->setMinimumHeight(2 * lbl_img_status->fontMetrics().lineSpacing() + 4);
  left_layout->addWidget(lbl_img_status);
  left_layout->addSpacing(10);
  // The dataset tools are another tab's: the main window connects these three buttons.
  btn_health_check = new QPushButton("🩺 Dataset Health Inspector");
  left_layout->addWidget(btn_health_check);
  btn_analytics = new QPushButton("📊 Dataset Analytics");
  left_layout->addWidget(btn_analytics);
  btn_split_export = new QPushButton("📤 Export && Split Dataset");
  btn_split_export->setAccessibleName("Export and split dataset");
  btn_split_export->setObjectName("primaryBtn");
  left_layout->addWidget(btn_split_export);
  layout->addWidget(left);

  // Centre: the canvas in its view, with the FIT button floating over the top-right corner.
  auto* centre = new QWidget;
  auto* grid = new QGridLayout(centre);
  grid->setContentsMargins(0, 0, 0, 0);
  canvas = new InteractiveCanvas(this);
  canvas_view = new ZoomableView;
  canvas_view->setObjectName("canvas_view");
  canvas_view->setScene(canvas);
  grid->addWidget(canvas_view, 0, 0);
  btn_fit_screen = new QPushButton("FIT");
  btn_fit_screen->setFixedSize(48, 32);
  connect(btn_fit_screen, &QPushButton::clicked, this, &AnnotatorTab::fit_canvas_to_screen);
  grid->addWidget(btn_fit_screen, 0, 0, Qt::AlignTop | Qt::AlignRight);
  connect(canvas, &InteractiveCanvas::polygon_completed, this, &AnnotatorTab::handle_new_poly);
  connect(canvas, &InteractiveCanvas::point_clicked, this, &AnnotatorTab::handle_canvas_point);
  connect(canvas, &QGraphicsScene::selectionChanged, this, &AnnotatorTab::sync_canvas_selection);
  layout->addWidget(centre, 1);

  // Right column: draw mode, assists, the object table.
  auto* right = new QGroupBox("AI Annotation Workstation");
  right->setFixedWidth(310);
  auto* right_layout = new QVBoxLayout(right);
  auto* mode_row = new QHBoxLayout;
  mode_row->addWidget(new QLabel("Active Mode:"));
  combo_mode = new QComboBox;
  combo_mode->setObjectName("combo_mode");
  combo_mode->addItems({"Select/Move", "Polygon", "Rectangle", "Circle", "Pentagon"});
  connect(combo_mode, &QComboBox::currentTextChanged, this, &AnnotatorTab::change_active_mode);
  mode_row->addWidget(combo_mode, 1);
  right_layout->addLayout(mode_row);

  auto* assist = new QGroupBox("AI Assist && Auto-Labeling");
  auto* assist_layout = new QVBoxLayout(assist);
  btn_copy_prev = new QPushButton("📋 Copy Previous Frame Shapes");
  connect(btn_copy_prev, &QPushButton::clicked, this, &AnnotatorTab::copy_previous_frame_shapes);
  assist_layout->addWidget(btn_copy_prev);
  btn_load_ai = new QPushButton("🧠 Load AI Model (.pt)");
  connect(btn_load_ai, &QPushButton::clicked, this, &AnnotatorTab::load_ai_model);
  assist_layout->addWidget(btn_load_ai);
  auto* conf_row = new QHBoxLayout;
  conf_row->addWidget(new QLabel("AI Conf:"));
  spin_ai_conf = new QDoubleSpinBox;
  spin_ai_conf->setRange(0.01, 1.0);
  spin_ai_conf->setSingleStep(0.05);
  spin_ai_conf->setDecimals(2);
  spin_ai_conf->setValue(0.25);
  conf_row->addWidget(spin_ai_conf);
  assist_layout->addLayout(conf_row);
  btn_run_ai = new QPushButton("🤖 Auto-Label Frame");
  btn_run_ai->setEnabled(false);
  connect(btn_run_ai, &QPushButton::clicked, this, &AnnotatorTab::run_ai_autolabel);
  assist_layout->addWidget(btn_run_ai);
  // Right under the frame button: side by side the two texts do not fit the column.
  btn_run_ai_folder = new QPushButton("🤖 Auto-Label Folder");
  btn_run_ai_folder->setEnabled(false);
  btn_run_ai_folder->setToolTip("Labels every image of the folder that has no label file yet");
  connect(btn_run_ai_folder, &QPushButton::clicked, this, &AnnotatorTab::run_ai_autolabel_folder);
  assist_layout->addWidget(btn_run_ai_folder);
  auto* btn_review = new QPushButton("🔎 Review with Model…");
  btn_review->setToolTip("Lets a trained model point at likely labelling mistakes in this folder");
  connect(btn_review, &QPushButton::clicked, this, [this] { review_flow->choose_model_and_review(); });
  assist_layout->addWidget(btn_review);
  right_layout->addWidget(assist);

  right_layout->addWidget(new QLabel("Annotated Objects:"));
  table_objects = new QTableWidget(0, 2);
  table_objects->setObjectName("table_objects");
  table_objects->setHorizontalHeaderLabels({"Label", "Shape"});
  table_objects->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  table_objects->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Names are edited through the label dialog only; an in-place edit would bypass classes.txt.
  table_objects->setEditTriggers(QAbstractItemView::NoEditTriggers);
  connect(table_objects, &QTableWidget::itemSelectionChanged, this,
          &AnnotatorTab::sync_table_selection);
  right_layout->addWidget(table_objects);
  btn_delete_shape = new QPushButton("🗑️ Delete Selected Shape");
  connect(btn_delete_shape, &QPushButton::clicked, this, &AnnotatorTab::ann_delete_selected);
  right_layout->addWidget(btn_delete_shape);
  btn_save = new QPushButton("💾 Save Annotations && Workspace");
  connect(btn_save, &QPushButton::clicked, this, &AnnotatorTab::save_current_annotations);
  right_layout->addWidget(btn_save);
  layout->addWidget(right);
}

void AnnotatorTab::setup_shortcuts() {
  // Scoped to this tab: a Delete pressed while another tab is shown must not destroy a shape the
  // operator cannot even see.
  shortcut_del = new QShortcut(QKeySequence(Qt::Key_Delete), this);
  shortcut_del->setContext(Qt::WidgetWithChildrenShortcut);
  connect(shortcut_del, &QShortcut::activated, this, &AnnotatorTab::ann_delete_selected);
  shortcut_back = new QShortcut(QKeySequence(Qt::Key_Backspace), this);
  shortcut_back->setContext(Qt::WidgetWithChildrenShortcut);
  connect(shortcut_back, &QShortcut::activated, this, &AnnotatorTab::ann_delete_selected);
  shortcut_undo = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z), this);
  shortcut_undo->setContext(Qt::WidgetWithChildrenShortcut);
  connect(shortcut_undo, &QShortcut::activated, this, &AnnotatorTab::undo);
  shortcut_redo = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), this);
  shortcut_redo->setContext(Qt::WidgetWithChildrenShortcut);
  connect(shortcut_redo, &QShortcut::activated, this, &AnnotatorTab::redo);
  shortcut_redo_y = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Y), this);
  shortcut_redo_y->setContext(Qt::WidgetWithChildrenShortcut);
  connect(shortcut_redo_y, &QShortcut::activated, this, &AnnotatorTab::redo);
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
  if (watched == canvas && event->type() == QEvent::GraphicsSceneMouseRelease) {
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

  image_folder = folder;
  const ImageFolderListing listing = scan_image_folder(folder);
  image_paths = listing.image_paths;

  const QString classes_path = classes_path_in(folder);
  const ClassesFileContents read = read_classes_file(classes_path);
  if (read.exists) {
    document->set_classes(read.classes, classes_path, read.error);
    if (!read.error.isEmpty()) {
      // Without its names no shape can be shown, and rewriting the file would lose them.
      ui::warning(window(), "Classes Unreadable",
                  read.error +
                      "\n\nNo class names are loaded, classes.txt is left untouched and no class "
                      "can be added until it is readable.");
    }
  } else {
    // The previous folder's names stay in use and are written here when the list grows.
    document->set_classes(document->classes(), classes_path);
  }

  listed_labelled_ = listing.labelled;
  populate_image_list();
  listed_labelled_.clear();

  if (!image_paths.isEmpty()) {
    current_idx = 0;
    load_current_image();
  } else {
    // Nothing of the previous folder may stay editable: its saves would no longer reach a file.
    current_idx = 0;
    display_cv_img = cv::Mat();
    document->clear();
    clear_shown_image();
    show_status("STATUS: NO IMAGES IN FOLDER", kPendingColor);
  }
}

void AnnotatorTab::set_output_folder() {
  const QString folder = ui::get_existing_directory(window(), "Select Output Directory");
  if (folder.isEmpty()) return;
  output_folder = folder;
  lbl_output_folder->setText("Output: " + QFileInfo(folder).fileName());
}

void AnnotatorTab::populate_image_list() {
  const QSignalBlocker block(list_images);
  list_images->clear();
  const bool listed = listed_labelled_.size() == size_t(image_paths.size());
  QStringList rows;
  rows.reserve(image_paths.size());
  for (qsizetype i = 0; i < image_paths.size(); ++i) {
    const bool labelled =
        listed ? listed_labelled_[i] : QFileInfo::exists(label_path_for(image_paths[i]));
    rows.append(image_row_text(image_paths[i], labelled));
  }
  list_images->addItems(rows);
}

void AnnotatorTab::load_current_image() {
  if (image_paths.isEmpty() || current_idx < 0 || current_idx >= image_paths.size()) return;
  const QString path = image_paths[current_idx];
  cv::Mat image = read_image_bgr(path);
  {
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(current_idx);
  }
  label_error_.clear();

  if (image.empty()) {
    // The image stays current but shows nothing, and with no frame no save touches its labels.
    display_cv_img = cv::Mat();
    document->clear();
    clear_shown_image();
    show_status("STATUS: IMAGE COULD NOT BE DECODED\n" + file_name_of(path), kPendingColor);
    return;
  }
  display_cv_img = image;
  const bool labelled = QFileInfo::exists(label_path_for(path));
  if (labelled) {
    show_status("STATUS: ANNOTATED", kAnnotatedColor);
  } else {
    show_status("STATUS: PENDING", kPendingColor);
  }
  render_canvas_image();
  load_existing_annotations(path);

  const LabelReadStatus status = document->label_status();
  const qsizetype kept = document->kept_lines().size();
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
  lbl_img_status->setToolTip(label_error_);
  if (!label_error_.isEmpty()) {
    ui::warning(window(), "Label File Error",
                "Error loading annotations: " + label_error_ +
                    "\n\nThe lines that could not be read are kept in the file unchanged.");
  }
}

void AnnotatorTab::clear_shown_image() {
  const QSignalBlocker block_canvas(canvas);
  const QSignalBlocker block_table(table_objects);
  // The shape items belong to the views: the scene's clear must not delete them.
  for (const ShapeRecord& record : annotations) canvas->removeItem(record.item);
  canvas->reset_drawing();
  canvas->clear();
  canvas->setSceneRect(QRectF());
  table_objects->setRowCount(0);
}

void AnnotatorTab::render_canvas_image() {
  if (display_cv_img.empty()) return;
  {
    const QSignalBlocker block_canvas(canvas);
    const QSignalBlocker block_table(table_objects);
    // The shape items belong to the views: the scene's clear must not delete them.
    for (const ShapeRecord& record : annotations) canvas->removeItem(record.item);
    canvas->reset_drawing();
    canvas->clear();
    auto* pixmap = canvas->addPixmap(QPixmap::fromImage(mat_to_qimage(display_cv_img)));
    pixmap->setPos(0, 0);
    // Large photos are drawn from a cache at screen resolution, so repainting the outline of a
    // shape being drawn does not resample the whole picture.
    pixmap->setCacheMode(QGraphicsItem::DeviceCoordinateCache);
    canvas->setSceneRect(0, 0, display_cv_img.cols, display_cv_img.rows);
    for (const ShapeRecord& record : annotations) canvas->addItem(record.item);
  }
  fit_canvas_to_screen();
}

void AnnotatorTab::fit_canvas_to_screen() {
  const QRectF rect = canvas->sceneRect();
  if (rect.width() > 0) canvas_view->fitInView(rect, Qt::KeepAspectRatio);
}

void AnnotatorTab::move_to(int row) {
  if (!save_current_annotations()) {
    // The shapes could not be written: stay, so they are not lost.
    const QSignalBlocker block(list_images);
    list_images->setCurrentRow(current_idx);
    return;
  }
  current_idx = row;
  load_current_image();
}

void AnnotatorTab::jump_to_image(int row) {
  if (row >= 0 && row < image_paths.size() && row != current_idx) move_to(row);
}

void AnnotatorTab::prev_image() {
  if (current_idx > 0) move_to(current_idx - 1);
}

void AnnotatorTab::next_image() {
  if (current_idx < image_paths.size() - 1) move_to(current_idx + 1);
}

void AnnotatorTab::update_single_list_status() {
  if (image_paths.isEmpty() || current_idx < 0 || current_idx >= image_paths.size()) return;
  if (QListWidgetItem* row = list_images->item(current_idx)) {
    const QString path = image_paths[current_idx];
    row->setText(image_row_text(path, QFileInfo::exists(label_path_for(path))));
  }
}

void AnnotatorTab::change_active_mode(const QString& mode) {
  canvas->set_draw_mode(mode);
  canvas_view->set_interaction_mode(mode);
}

void AnnotatorTab::handle_canvas_point(const QPointF&) {}

void AnnotatorTab::show_status(const QString& text, const QString& color) {
  lbl_img_status->setText(text);
  lbl_img_status->setStyleSheet(QStringLiteral("color: %1;").arg(color));
}

// ---- Shapes, label files, classes ------------------------------------------------------------

void AnnotatorTab::handle_new_poly(const QPolygonF& polygon) {
  // Without a frame there is no image to annotate and nowhere to save.
  if (display_cv_img.empty()) return;
  LabelDialog dialog(classes, last_label, window());
  if (ui::exec_dialog(dialog) != QDialog::Accepted) return;
  const QString label = dialog.get_label();
  if (label.isEmpty()) return;
  last_label = label;
  QString error;
  if (!document->add_shapes({{polygon, label, combo_mode->currentText()}}, "Draw shape", &error) &&
      !error.isEmpty()) {
    ui::warning(window(), "Shape Not Added", error);
  }
}

bool AnnotatorTab::save_current_annotations() {
  if (image_paths.isEmpty() || display_cv_img.empty() || current_idx < 0 ||
      current_idx >= image_paths.size() || !document->has_image()) {
    return true;
  }
  commit_item_positions();
  const FileResult result = document->save();
  update_single_list_status();
  if (!result) {
    ui::warning(window(), "Save Failed", result.error + "\n\nThe shapes stay on screen.");
    return false;
  }
  return true;
}

void AnnotatorTab::load_existing_annotations(const QString& image_path) {
  if (display_cv_img.empty()) {
    document->clear();
    return;
  }
  const DocumentLoad read =
      document->load(image_path, QSize(display_cv_img.cols, display_cv_img.rows));
  label_error_ = read.error;
}

void AnnotatorTab::save_classes_file() {
  // The document writes classes.txt whenever its list grows (before the step that needs it).
  if (image_folder.isEmpty() || !document->classes_readable()) return;
  const FileResult result = write_classes_file(classes_path_in(image_folder), document->classes());
  if (!result) ui::warning(window(), "Save Failed", result.error);
}

void AnnotatorTab::on_document_edited() {
  // Every step (and every undo or redo) is written at once, as every edit always was.
  if (!committing_) save_current_annotations();
}

void AnnotatorTab::commit_item_positions() {
  if (committing_) return;
  committing_ = true;
  std::vector<std::pair<int, QPointF>> moved;
  for (const ShapeRecord& record : annotations) {
    if (!record.item->pos().isNull()) moved.emplace_back(record.id, record.item->pos());
  }
  if (!moved.empty()) {
    QUndoStack* stack = document->undo_stack();
    const int drag = document->next_drag();
    if (moved.size() > 1) stack->beginMacro("Move shapes");
    for (const auto& [id, offset] : moved) document->move_shape(id, offset, drag);
    if (moved.size() > 1) stack->endMacro();
  }
  committing_ = false;
  if (!moved.empty()) save_current_annotations();
}

// ---- Views of the document -------------------------------------------------------------------

void AnnotatorTab::rebuild_views() {
  const QSignalBlocker block_table(table_objects);
  const QSignalBlocker block_canvas(canvas);
  for (const ShapeRecord& record : annotations) {
    if (record.item->scene() == canvas) canvas->removeItem(record.item);
    delete record.item;
  }
  annotations.clear();
  table_objects->setRowCount(0);
  for (int i = 0; i < int(document->shapes().size()); ++i) insert_view(i);
  update_annotation_colors();
}

void AnnotatorTab::insert_view(int index) {
  const DocumentShape& shape = document->shapes()[size_t(index)];
  auto* item = new QGraphicsPolygonItem(shape.points);
  item->setFlags(QGraphicsItem::ItemIsMovable | QGraphicsItem::ItemIsSelectable);
  {
    const QSignalBlocker block(canvas);
    canvas->addItem(item);
  }
  annotations.insert(annotations.begin() + index, {item, shape.label, shape.type, shape.id});
  const QSignalBlocker block(table_objects);
  table_objects->insertRow(index);
  table_objects->setItem(index, 0, new QTableWidgetItem(shape.label));
  table_objects->setItem(index, 1, new QTableWidgetItem(shape.type));
  update_annotation_colors();
}

void AnnotatorTab::remove_view(int index) {
  QGraphicsPolygonItem* item = annotations[size_t(index)].item;
  annotations.erase(annotations.begin() + index);
  {
    const QSignalBlocker block(canvas);
    canvas->removeItem(item);
  }
  delete item;
  const QSignalBlocker block(table_objects);
  table_objects->removeRow(index);
  update_annotation_colors();
}

void AnnotatorTab::update_view(int index) {
  const DocumentShape& shape = document->shapes()[size_t(index)];
  ShapeRecord& record = annotations[size_t(index)];
  record.label = shape.label;
  record.type = shape.type;
  record.item->setPolygon(shape.points);
  record.item->setPos(0, 0);
  const QSignalBlocker block(table_objects);
  table_objects->item(index, 0)->setText(shape.label);
  table_objects->item(index, 1)->setText(shape.type);
  update_annotation_colors();
}

void AnnotatorTab::update_annotation_colors() {
  for (const ShapeRecord& record : annotations) {
    const QColor base = class_color(class_id_for(classes, record.label));
    const bool selected = record.item->isSelected();
    QPen pen(base, selected ? 4 : 2);
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
  document->undo_stack()->undo();
}

void AnnotatorTab::redo() { document->undo_stack()->redo(); }

void AnnotatorTab::sync_table_selection() {
  const QSignalBlocker block(canvas);
  canvas->clearSelection();
  const int row = table_objects->currentRow();
  if (row >= 0 && row < int(annotations.size())) annotations[row].item->setSelected(true);
  update_annotation_colors();
}

void AnnotatorTab::sync_canvas_selection() {
  const QSignalBlocker block(table_objects);
  table_objects->clearSelection();
  const QList<QGraphicsItem*> selected = canvas->selectedItems();
  int row = -1;
  if (!selected.isEmpty()) {
    for (size_t i = 0; i < annotations.size(); ++i) {
      if (annotations[i].item == selected.first()) {
        row = int(i);
        break;
      }
    }
  }
  if (row >= 0) {
    table_objects->selectRow(row);
  } else {
    // Nothing selected on the canvas: no current row either, so Delete cannot remove a shape
    // that no longer looks selected.
    table_objects->setCurrentIndex(QModelIndex());
  }
  update_annotation_colors();
}

void AnnotatorTab::ann_delete_selected() {
  const int row = table_objects->currentRow();
  if (row < 0 || row >= int(annotations.size())) return;
  // A drag not yet written is part of what an undo of the deletion gives back.
  commit_item_positions();
  document->remove_shape(annotations[size_t(row)].id);
}

void AnnotatorTab::copy_previous_frame_shapes() {
  if (current_idx <= 0 || image_paths.isEmpty()) {
    ui::warning(window(), "Unavailable", "No previous image available to copy annotations from.");
    return;
  }
  if (display_cv_img.empty()) {
    ui::warning(window(), "Unavailable",
                "The current image could not be decoded, so no shapes can be copied onto it.");
    return;
  }
  const QString previous = image_paths[current_idx - 1];
  const LabelFileContents read = read_label_file(label_path_for(previous), classes.size());
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
  document->replace_shapes(read.shapes, "Copy previous frame shapes");
}

// ---- AI auto-labelling -----------------------------------------------------------------------

bool AnnotatorTab::load_model_file(const QString& path) {
  try {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::shared_ptr<engine::YOLO> model = load_autolabel_model(path);
    QApplication::restoreOverrideCursor();
    ai_model = std::move(model);
  } catch (const std::exception& e) {
    QApplication::restoreOverrideCursor();
    // The previous model (if any) stays loaded.
    ui::critical(
        window(), "Error",
        "Could not load the model " + file_name_of(path) + ":\n" + QString::fromUtf8(e.what()));
    return false;
  }
  btn_run_ai->setEnabled(true);
  btn_run_ai_folder->setEnabled(true);
  return true;
}

void AnnotatorTab::load_ai_model() {
  const QString path = ui::get_open_file_name(
      window(), "Load YOLO AI Model", {},
      "PyTorch Weights (*.pt);;Exported Models (*.onnx *.torchscript);;All Files (*)");
  if (path.isEmpty()) return;
  if (folder_worker) return;  // the running folder job uses the loaded model
  if (!load_model_file(path)) return;
  ui::information(window(), "AI Model Loaded", "Loaded model: " + file_name_of(path));
}

void AnnotatorTab::run_ai_autolabel() {
  if (!ai_model || image_paths.isEmpty() || folder_worker) return;
  if (current_idx < 0 || current_idx >= image_paths.size()) return;
  const QString path = image_paths[current_idx];
  QApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    const FrameLabels labels = auto_label_frame(*ai_model, path, spin_ai_conf->value());
    if (labels.detections == 0) {
      QApplication::restoreOverrideCursor();
      ui::information(window(), "AI Assist",
                      "No objects detected at current confidence threshold.");
      return;
    }
    if (!document->has_image()) throw std::runtime_error("the current image is not shown");
    QString error;
    // One step for the whole frame: one undo takes every predicted shape back.
    if (!labels.shapes.empty() && !document->add_shapes(labels.shapes, "Auto-label frame", &error))
      throw std::runtime_error(error.toStdString());
    QApplication::restoreOverrideCursor();
    ui::information(
        window(), "AI Success",
        "Successfully auto-labeled " + QString::number(labels.detections) + " object(s).");
  } catch (const std::exception& e) {
    QApplication::restoreOverrideCursor();
    ui::critical(window(), "AI Error",
                 "An error occurred during auto-labeling:\n" + QString::fromUtf8(e.what()));
  }
}

void AnnotatorTab::run_ai_autolabel_folder() {
  if (!ai_model || image_folder.isEmpty() || folder_worker) return;
  // The run skips labelled images; what is on screen is written first so it counts as labelled.
  if (!save_current_annotations()) return;

  FolderLabelOptions options;
  options.folder = image_folder;
  options.conf = spin_ai_conf->value();
  folder_worker = new AutoLabelWorker(ai_model, options, this);
  folder_progress = new QProgressDialog("Auto-labelling images...", "Cancel", 0,
                                        std::max<int>(1, int(image_paths.size())), window());
  folder_progress->setWindowTitle("Auto-Label Folder");
  folder_progress->setWindowModality(Qt::WindowModal);
  folder_progress->setMinimumDuration(0);
  folder_progress->setAutoClose(false);
  folder_progress->setAutoReset(false);
  connect(folder_progress, &QProgressDialog::canceled, folder_worker,
          &AutoLabelWorker::request_stop);
  connect(
      folder_worker, &AutoLabelWorker::progress_signal, this,
      [this](int done, int total, const QString& name) {
        if (!folder_progress) return;
        folder_progress->setLabelText(QStringLiteral("%1 / %2  %3").arg(done).arg(total).arg(name));
        folder_progress->setMaximum(std::max(1, total));
        // Last: a modal progress dialog processes events in setValue, and the run's end may
        // be handled right there.
        folder_progress->setValue(done);
      });
  connect(folder_worker, &AutoLabelWorker::finished_signal, this, [this](const QString& text) {
    const FolderLabelSummary summary = folder_worker->summary();
    folder_worker->wait();
    folder_worker->deleteLater();
    folder_worker = nullptr;
    folder_progress->deleteLater();
    folder_progress = nullptr;
    // The run may have appended classes and written label files: show what is on disk now.
    if (summary.error.isEmpty()) {
      document->set_classes(summary.classes, classes_path_in(image_folder));
      populate_image_list();
      if (!document->has_image() || document->shapes().empty()) load_current_image();
      ui::information(window(), "Auto-Label Folder", text);
    } else {
      ui::critical(window(), "AI Error", "An error occurred during auto-labeling:\n" + text);
    }
    Q_EMIT folder_autolabel_finished(text);
  });
  folder_progress->show();
  folder_worker->start();
}
