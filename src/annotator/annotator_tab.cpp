#include "annotator/annotator_tab.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QGraphicsPolygonItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPen>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "annotator/classes_file.h"
#include "annotator/image_folder.h"
#include "annotator/label_dialog.h"
#include "dataset/dataset_actions.h"
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
  setup_workspace_tab();
  setup_shortcuts();
}

void AnnotatorTab::setup_workspace_tab() {
  auto* layout = new QHBoxLayout(this);

  // Left column: folder, image queue, navigation, dataset tools.
  auto* left = new QGroupBox("Directory && Image Queue");
  left->setFixedWidth(280);
  auto* left_layout = new QVBoxLayout(left);
  btn_load_dir = new QPushButton("📂 Load Directory");
  connect(btn_load_dir, &QPushButton::clicked, this, &AnnotatorTab::load_directory);
  left_layout->addWidget(btn_load_dir);
  btn_set_output = new QPushButton("🎯 Set Output Folder");
  connect(btn_set_output, &QPushButton::clicked, this, &AnnotatorTab::set_output_folder);
  left_layout->addWidget(btn_set_output);
  lbl_output_folder = new QLabel("Output: Not Set");
  lbl_output_folder->setStyleSheet("color: #8E8E93;");
  left_layout->addWidget(lbl_output_folder);
  left_layout->addWidget(new QLabel("Queue Files:"));
  list_images = new QListWidget;
  // Rows are uniform text, which lets the list skip measuring ten thousand rows one by one.
  list_images->setUniformItemSizes(true);
  connect(list_images, &QListWidget::currentRowChanged, this, &AnnotatorTab::jump_to_image);
  left_layout->addWidget(list_images);
  auto* nav = new QHBoxLayout;
  btn_prev_img = new QPushButton("◄ Prev");
  connect(btn_prev_img, &QPushButton::clicked, this, &AnnotatorTab::prev_image);
  btn_next_img = new QPushButton("Next ►");
  connect(btn_next_img, &QPushButton::clicked, this, &AnnotatorTab::next_image);
  nav->addWidget(btn_prev_img);
  nav->addWidget(btn_next_img);
  left_layout->addLayout(nav);
  lbl_img_status = new QLabel("Status: Pending");
  lbl_img_status->setAlignment(Qt::AlignCenter);
  lbl_img_status->setWordWrap(true);
  // Room for two lines from the start, so a longer status never shifts the buttons under the mouse.
  lbl_img_status->setMinimumHeight(2 * lbl_img_status->fontMetrics().lineSpacing() + 4);
  left_layout->addWidget(lbl_img_status);
  left_layout->addSpacing(10);
  btn_health_check = new QPushButton("🩺 Dataset Health Inspector");
  connect(btn_health_check, &QPushButton::clicked, this,
          [this] { run_health_check(window(), image_folder); });
  left_layout->addWidget(btn_health_check);
  btn_analytics = new QPushButton("📊 Dataset Analytics");
  connect(btn_analytics, &QPushButton::clicked, this,
          [this] { show_dataset_analytics(window(), image_paths, classes); });
  left_layout->addWidget(btn_analytics);
  btn_split_export = new QPushButton("📤 Export && Split Dataset");
  btn_split_export->setObjectName("primaryBtn");
  connect(btn_split_export, &QPushButton::clicked, this, [this] {
    // The export reads the label files, so what is on screen (dragged shapes too) goes first.
    if (save_current_annotations()) export_and_split_dataset(window(), image_paths, classes);
  });
  left_layout->addWidget(btn_split_export);
  layout->addWidget(left);

  // Centre: the canvas in its view, with the FIT button floating over the top-right corner.
  auto* centre = new QWidget;
  auto* grid = new QGridLayout(centre);
  grid->setContentsMargins(0, 0, 0, 0);
  canvas = new InteractiveCanvas(this);
  canvas_view = new ZoomableView;
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
  combo_mode->addItems({"Select/Move", "Polygon", "Rectangle", "Circle", "Pentagon"});
  connect(combo_mode, &QComboBox::currentTextChanged, this, &AnnotatorTab::change_active_mode);
  mode_row->addWidget(combo_mode, 1);
  right_layout->addLayout(mode_row);

  auto* assist = new QGroupBox("AI Assist && Auto-Labeling");
  auto* assist_layout = new QVBoxLayout(assist);
  btn_copy_prev = new QPushButton("📋 Copy Previous Frame Shapes");
  connect(btn_copy_prev, &QPushButton::clicked, this, &AnnotatorTab::copy_previous_frame_shapes);
  assist_layout->addWidget(btn_copy_prev);
  // Auto-labelling arrives with the engine; until then its controls are shown but inactive.
  btn_load_ai = new QPushButton("🧠 Load AI Model (.pt)");
  btn_load_ai->setEnabled(false);
  assist_layout->addWidget(btn_load_ai);
  auto* conf_row = new QHBoxLayout;
  conf_row->addWidget(new QLabel("AI Conf:"));
  spin_ai_conf = new QDoubleSpinBox;
  spin_ai_conf->setRange(0.01, 1.0);
  spin_ai_conf->setSingleStep(0.05);
  spin_ai_conf->setDecimals(2);
  spin_ai_conf->setValue(0.25);
  spin_ai_conf->setEnabled(false);
  conf_row->addWidget(spin_ai_conf);
  assist_layout->addLayout(conf_row);
  btn_run_ai = new QPushButton("🤖 Auto-Label Frame");
  btn_run_ai->setEnabled(false);
  assist_layout->addWidget(btn_run_ai);
  right_layout->addWidget(assist);

  right_layout->addWidget(new QLabel("Annotated Objects:"));
  table_objects = new QTableWidget(0, 2);
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
  classes_file_error_.clear();
  if (read.exists) {
    classes = read.classes;
    if (!read.error.isEmpty()) {
      // Without its names no shape can be shown, and rewriting the file would lose them.
      classes_file_error_ = read.error;
      ui::warning(window(), "Classes Unreadable",
                  read.error + "\n\nNo class names are loaded and classes.txt is left untouched.");
    }
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
  annotations.clear();
  kept_lines.clear();
  label_status = LabelReadStatus::Missing;
  label_error_.clear();

  if (image.empty()) {
    // The image stays current but shows nothing, and with no frame no save touches its labels.
    display_cv_img = cv::Mat();
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

  if (label_status == LabelReadStatus::Unreadable) {
    show_status("STATUS: LABEL FILE UNREADABLE\nleft untouched", kNoticeColor);
  } else if (label_status == LabelReadStatus::Stopped) {
    show_status(
        QStringLiteral("STATUS: LABEL FILE ERROR\n%1 line(s) kept unread").arg(kept_lines.size()),
        kNoticeColor);
  } else if (!kept_lines.isEmpty()) {
    show_status(QStringLiteral("STATUS: ANNOTATED\n%1 line(s) without a known class kept")
                    .arg(kept_lines.size()),
                kNoticeColor);
  }
}

void AnnotatorTab::clear_shown_image() {
  const QSignalBlocker block_canvas(canvas);
  const QSignalBlocker block_table(table_objects);
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

void AnnotatorTab::add_shape(const QPolygonF& polygon, const QString& label, const QString& type) {
  auto* item = new QGraphicsPolygonItem(polygon);
  item->setFlags(QGraphicsItem::ItemIsMovable | QGraphicsItem::ItemIsSelectable);
  canvas->addItem(item);
  annotations.push_back({item, label, type});
  const QSignalBlocker block(table_objects);
  const int row = table_objects->rowCount();
  table_objects->insertRow(row);
  table_objects->setItem(row, 0, new QTableWidgetItem(label));
  table_objects->setItem(row, 1, new QTableWidgetItem(type));
}

void AnnotatorTab::handle_new_poly(const QPolygonF& polygon) {
  // Without a frame there is no image to annotate and nowhere to save.
  if (display_cv_img.empty()) return;
  LabelDialog dialog(classes, last_label, window());
  if (ui::exec_dialog(dialog) != QDialog::Accepted) return;
  const QString label = dialog.get_label();
  if (label.isEmpty()) return;
  last_label = label;
  if (!classes.contains(label)) {
    classes.append(label);
    save_classes_file();
  }
  add_shape(polygon, label, combo_mode->currentText());
  update_annotation_colors();
  save_current_annotations();
}

bool AnnotatorTab::save_current_annotations() {
  if (image_paths.isEmpty() || display_cv_img.empty() || current_idx < 0 ||
      current_idx >= image_paths.size()) {
    return true;
  }
  const QString label_path = label_path_for(image_paths[current_idx]);
  if (label_status == LabelReadStatus::Unreadable) {
    // Its contents are unknown, so neither replacing nor deleting it is safe.
    if (annotations.empty()) return true;
    // The cause may have been fixed meanwhile (permissions, a lock): then every line it holds is
    // kept after the new shapes and the save goes ahead.
    const LabelFileContents again = read_label_file(label_path, 0);
    if (again.status == LabelReadStatus::Unreadable) {
      ui::warning(window(), "Save Failed",
                  again.error +
                      "\n\nThe label file could not be read, so it is left untouched; the shapes "
                      "stay on screen but are not saved. Delete them to move on, or make the "
                      "file readable and save again.");
      return false;
    }
    label_status = again.status;
    kept_lines = again.kept_lines;
    label_error_.clear();
  }
  const double width = display_cv_img.cols;
  const double height = display_cv_img.rows;
  std::vector<LabelShape> shapes;
  shapes.reserve(annotations.size());
  for (const ShapeRecord& record : annotations) {
    // Dragging moves the item, not its polygon: map to the scene to include the offset.
    const QPolygonF scene_points = record.item->mapToScene(record.item->polygon());
    shapes.push_back({class_id_for(classes, record.label),
                      normalize_polygon(scene_points, QSizeF(width, height))});
  }
  const FileResult result = save_label_file(label_path, shapes, kept_lines);
  update_single_list_status();
  if (!result) {
    ui::warning(window(), "Save Failed", result.error + "\n\nThe shapes stay on screen.");
    return false;
  }
  return true;
}

void AnnotatorTab::load_existing_annotations(const QString& image_path) {
  annotations.clear();
  const QSignalBlocker block_table(table_objects);
  const QSignalBlocker block_canvas(canvas);
  table_objects->setRowCount(0);
  const bool is_current = current_idx >= 0 && current_idx < image_paths.size() &&
                          image_paths[current_idx] == image_path;
  if (!display_cv_img.empty()) {
    const LabelFileContents read = read_label_file(label_path_for(image_path), classes.size());
    if (is_current) {
      label_status = read.status;
      kept_lines = read.kept_lines;
      label_error_ = read.error;
    }
    if (!read.error.isEmpty()) {
      std::printf("Error loading annotations: %s\n", qPrintable(read.error));
      std::fflush(stdout);
    }
    const QSizeF size(display_cv_img.cols, display_cv_img.rows);
    for (const LabelShape& shape : read.shapes) {
      const QPolygonF pixels = denormalize_polygon(shape.points, size);
      add_shape(pixels, classes[shape.class_id], pixels.size() == 4 ? "Rectangle" : "Polygon");
    }
  }
  update_annotation_colors();
}

void AnnotatorTab::save_classes_file() {
  if (image_folder.isEmpty()) return;
  const QString path = classes_path_in(image_folder);
  if (!classes_file_error_.isEmpty()) {
    ui::warning(window(), "Save Failed",
                classes_file_error_ +
                    "\n\nclasses.txt could not be read when the folder was loaded, so it is not "
                    "overwritten; the new class is kept for this session only.");
    return;
  }
  const FileResult result = write_classes_file(path, classes);
  if (!result) ui::warning(window(), "Save Failed", result.error);
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
  QGraphicsPolygonItem* item = annotations[row].item;
  annotations.erase(annotations.begin() + row);
  {
    const QSignalBlocker block(canvas);
    canvas->removeItem(item);
  }
  delete item;
  table_objects->removeRow(row);
  update_annotation_colors();
  save_current_annotations();
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
  {
    const QSignalBlocker block(canvas);
    for (const ShapeRecord& record : annotations) {
      canvas->removeItem(record.item);
      delete record.item;
    }
  }
  annotations.clear();
  // Normalised coordinates carry over: the previous shapes are scaled to this image's size.
  load_existing_annotations(image_paths[current_idx - 1]);
  save_current_annotations();
}
