#include "enricher/enricher_tab.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGraphicsPixmapItem>
#include <QGraphicsPolygonItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>
#include <array>
#include <cmath>
#include <random>

#include "files/label_format.h"
#include "imaging/image_io.h"
#include "ui/dialogs.h"
#include "ui/info_label.h"
#include "ui/wait_cursor.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

namespace en = orvane::enricher;
namespace lg = orvane::label_geometry;
namespace ui = orvane::ui;

namespace {

const QString kSelectMove = QStringLiteral("Select/Move");
const QString kCrop = QStringLiteral("Crop");
const QString kWarp = QStringLiteral("Warp");

// Range, step and decimals before the value, so the value is never clamped by a stale range.
QDoubleSpinBox* make_spin(double value, double minimum, double maximum, double step, int decimals) {
  auto* spin = new QDoubleSpinBox;
  spin->setRange(minimum, maximum);
  spin->setSingleStep(step);
  spin->setDecimals(decimals);
  spin->setValue(value);
  return spin;
}

en::Range range_of(const QDoubleSpinBox* min, const QDoubleSpinBox* max) {
  return {min->value(), max->value()};
}

cv::Point2d to_cv(const QPointF& p) { return {p.x(), p.y()}; }

std::filesystem::path fs_path(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString label_path_of(const QString& image_path) {
  return QFile::decodeName(
      orvane::files::label_path_for(QFile::encodeName(image_path).toStdString()).c_str());
}

}  // namespace

EnricherTab::EnricherTab(QWidget* parent)
    : QWidget(parent),
      aug_rng(std::random_device{}() ^ std::uint64_t(QDateTime::currentMSecsSinceEpoch())) {
  setup_ui();
}

void EnricherTab::setup_ui() {
  auto* layout = new QHBoxLayout(this);

  // --- Left column: folders, ranges, batch ---------------------------------------------------
  auto* left = new QGroupBox("Configuration && Parameters");
  left->setFixedWidth(380);
  auto* left_layout = new QVBoxLayout(left);

  auto* folders = new QGridLayout;
  aug_entry_in = new QLineEdit;
  aug_entry_in->setObjectName("aug_entry_in");
  aug_entry_in->setPlaceholderText("Select input directory...");
  btn_aug_browse_in = new QPushButton("Browse...");
  btn_aug_browse_in->setObjectName("btn_aug_browse_in");
  aug_entry_out = new QLineEdit;
  aug_entry_out->setPlaceholderText("Select output directory...");
  btn_aug_browse_out = new QPushButton("Browse...");
  folders->addWidget(new QLabel("Input:"), 0, 0);
  folders->addWidget(aug_entry_in, 0, 1);
  folders->addWidget(btn_aug_browse_in, 0, 2);
  folders->addWidget(new QLabel("Output:"), 1, 0);
  folders->addWidget(aug_entry_out, 1, 1);
  folders->addWidget(btn_aug_browse_out, 1, 2);
  left_layout->addLayout(folders);

  aug_lbl_status = new QLabel("Total Images: 0 | Enriched: 0");
  aug_lbl_status->setStyleSheet("font-weight: bold; margin-top: 5px; margin-bottom: 5px;");
  left_layout->addWidget(aug_lbl_status);

  auto* ranges_box = new QGroupBox("Augmentation Ranges (Min - Max)");
  auto* ranges_box_layout = new QVBoxLayout(ranges_box);
  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* ranges_widget = new QWidget;
  auto* grid = new QGridLayout(ranges_widget);
  auto* header_min = new QLabel("Min");
  auto* header_max = new QLabel("Max");
  header_min->setAlignment(Qt::AlignCenter);
  header_max->setAlignment(Qt::AlignCenter);
  grid->addWidget(header_min, 0, 1);
  grid->addWidget(header_max, 0, 2);

  struct RangeRow {
    const char* label;
    const char* tooltip;
    QDoubleSpinBox** min;
    QDoubleSpinBox** max;
    double min_value, max_value, lowest, highest, step;
    int decimals;
  };
  const RangeRow rows[] = {
      {"Brightness Add:", "Intensity offset (-100 to +100)", &aug_b_min, &aug_b_max, -30, 30, -100,
       100, 1, 0},
      {"Contrast Scale:", "Multiplier (0.1 to 3.0)", &aug_c_min, &aug_c_max, 0.8, 1.2, 0.1, 3.0,
       0.1, 2},
      {"Rotation (°):", "Random slight rotations", &aug_r_min, &aug_r_max, -15, 15, -180, 180, 1,
       0},
      {"Lighting (Gamma):", "Gamma curve adjustment", &aug_l_min, &aug_l_max, 0.8, 1.2, 0.1, 3.0,
       0.1, 2},
      {"Warp Var. (%):", "Random perspective skew %", &aug_w_min, &aug_w_max, 0, 5, 0, 50, 1, 1},
  };
  int row = 1;
  for (const RangeRow& r : rows) {
    *r.min = make_spin(r.min_value, r.lowest, r.highest, r.step, r.decimals);
    *r.max = make_spin(r.max_value, r.lowest, r.highest, r.step, r.decimals);
    grid->addWidget(create_info_label(QString::fromUtf8(r.label), r.tooltip), row, 0);
    grid->addWidget(*r.min, row, 1);
    grid->addWidget(*r.max, row, 2);
    ++row;
  }
  grid->setRowStretch(row, 1);
  scroll->setWidget(ranges_widget);
  ranges_box_layout->addWidget(scroll);
  left_layout->addWidget(ranges_box);

  auto* batch_box = new QGroupBox("Batch Generator Options");
  auto* batch_form = new QFormLayout(batch_box);
  spin_aug_gen_count = new QSpinBox;
  spin_aug_gen_count->setObjectName("spin_aug_gen_count");
  spin_aug_gen_count->setRange(1, 1000);
  spin_aug_gen_count->setValue(10);
  batch_form->addRow("Variants per Source:", spin_aug_gen_count);
  chk_aug_labels = new QCheckBox("Carry YOLO labels (.txt beside each image)");
  chk_aug_labels->setObjectName("chk_aug_labels");
  chk_aug_labels->setToolTip(
      "Each variant gets a label file with the source's shapes moved exactly as its pixels; "
      "classes.txt is copied to the output folder");
  batch_form->addRow(chk_aug_labels);
  btn_aug_enrich = new QPushButton(QStringLiteral("⚡ ENRICH DATASET"));
  btn_aug_enrich->setObjectName("primaryBtn");
  batch_form->addRow(btn_aug_enrich);
  left_layout->addWidget(batch_box);
  layout->addWidget(left);

  // --- Right side: canvas and tools -----------------------------------------------------------
  auto* right = new QGroupBox("Augmentation Live Simulation Engine");
  auto* right_layout = new QVBoxLayout(right);
  aug_canvas = new InteractiveCanvas(this);
  aug_preview_view = new ZoomableView;
  aug_preview_view->setScene(aug_canvas);
  right_layout->addWidget(aug_preview_view, 1);

  auto* mode_row = new QHBoxLayout;
  aug_combo_mode = new QComboBox;
  aug_combo_mode->setObjectName("aug_combo_mode");
  aug_combo_mode->addItems({kSelectMove, kCrop, kWarp});
  mode_row->addWidget(new QLabel("Interactive Canvas Mode:"));
  mode_row->addWidget(aug_combo_mode);
  right_layout->addLayout(mode_row);

  auto* tool_row = new QHBoxLayout;
  btn_aug_rotate_cw = new QPushButton(QStringLiteral("90° CW"));
  btn_aug_rotate_ccw = new QPushButton(QStringLiteral("90° CCW"));
  aug_entry_angle = new QLineEdit;
  aug_entry_angle->setObjectName("aug_entry_angle");
  aug_entry_angle->setPlaceholderText(QStringLiteral("Angle (°)"));
  aug_entry_angle->setFixedWidth(70);
  btn_aug_rotate = new QPushButton("Rotate");
  btn_aug_rotate->setObjectName("btn_aug_rotate");
  btn_aug_reset = new QPushButton(QStringLiteral("🔄 Reset Source Image"));
  tool_row->addWidget(btn_aug_rotate_cw);
  tool_row->addWidget(btn_aug_rotate_ccw);
  tool_row->addWidget(aug_entry_angle);
  tool_row->addWidget(btn_aug_rotate);
  tool_row->addWidget(btn_aug_reset);
  right_layout->addLayout(tool_row);

  btn_aug_preview = new QPushButton(QStringLiteral("🎨 Simulate Augmentation Frame"));
  btn_aug_preview->setAccessibleName("Simulate augmentation frame");
  btn_aug_preview->setObjectName("primaryBtn");
  right_layout->addWidget(btn_aug_preview);

  auto* nav_row = new QHBoxLayout;
  btn_aug_prev = new QPushButton(QStringLiteral("◄ Previous Image"));
  aug_lbl_counter = new QLabel("0 / 0");
  aug_lbl_counter->setObjectName("aug_lbl_counter");
  aug_lbl_counter->setAlignment(Qt::AlignCenter);
  btn_aug_next = new QPushButton(QStringLiteral("Next Image ►"));
  nav_row->addWidget(btn_aug_prev);
  nav_row->addWidget(aug_lbl_counter);
  nav_row->addWidget(btn_aug_next);
  right_layout->addLayout(nav_row);
  layout->addWidget(right, 1);

  // --- Wiring ---------------------------------------------------------------------------------
  connect(btn_aug_browse_in, &QPushButton::clicked, this, &EnricherTab::aug_load_input);
  connect(btn_aug_browse_out, &QPushButton::clicked, this, &EnricherTab::aug_load_output);
  connect(btn_aug_prev, &QPushButton::clicked, this, &EnricherTab::aug_prev_image);
  connect(btn_aug_next, &QPushButton::clicked, this, &EnricherTab::aug_next_image);
  connect(aug_combo_mode, &QComboBox::currentTextChanged, this,
          &EnricherTab::change_aug_active_mode);
  connect(aug_canvas, &InteractiveCanvas::point_clicked, this,
          &EnricherTab::handle_aug_canvas_point);
  connect(btn_aug_rotate_cw, &QPushButton::clicked, this, [this] { aug_rotate_fixed(-90); });
  connect(btn_aug_rotate_ccw, &QPushButton::clicked, this, [this] { aug_rotate_fixed(90); });
  connect(btn_aug_rotate, &QPushButton::clicked, this, &EnricherTab::aug_rotate_custom);
  connect(btn_aug_reset, &QPushButton::clicked, this, &EnricherTab::aug_reset_image);
  connect(btn_aug_preview, &QPushButton::clicked, this, &EnricherTab::run_aug_preview);
  connect(btn_aug_enrich, &QPushButton::clicked, this, &EnricherTab::enrich_current_image);
  connect(chk_aug_labels, &QCheckBox::toggled, this, &EnricherTab::render_aug_canvas);
}

void EnricherTab::load_shapes(const QString& image_path, cv::Size size) {
  aug_label_error.clear();
  aug_original_shapes.reset();
  lg::LabelRead read = lg::read_label_file(fs_path(label_path_of(image_path)), size);
  if (!read.error.empty()) {
    aug_label_error = QString::fromStdString(read.error);
  } else if (read.found) {
    aug_original_shapes = std::move(read.shapes);
  }
  aug_display_shapes = aug_original_shapes;
  aug_active_shapes = aug_original_shapes;
}

void EnricherTab::draw_aug_shapes() {
  if (!chk_aug_labels->isChecked() || !aug_display_shapes) return;
  // A few distinct colours by class, as the annotator colours its classes apart.
  static const QColor palette[] = {QColor(255, 64, 64), QColor(64, 200, 255), QColor(255, 200, 0),
                                   QColor(80, 220, 80), QColor(230, 90, 255), QColor(255, 140, 40),
                                   QColor(0, 230, 190)};
  for (const lg::Shape& shape : *aug_display_shapes) {
    QPolygonF polygon;
    for (const cv::Point2d& p : shape.points) polygon << QPointF(p.x, p.y);
    const QColor colour = palette[static_cast<size_t>(shape.class_id) % std::size(palette)];
    QPen pen(colour, 2);
    pen.setCosmetic(true);  // two screen pixels wide at any zoom
    QColor fill = colour;
    fill.setAlpha(40);
    auto* item = aug_canvas->addPolygon(polygon, pen, QBrush(fill));
    // Outlines only show where the labels are; clicks go to the canvas as before.
    item->setAcceptedMouseButtons(Qt::NoButton);
  }
}

// --- Sources and navigation ---------------------------------------------------------------------

void EnricherTab::aug_load_input() {
  const QString folder = ui::get_existing_directory(this, "Select Input Directory");
  if (folder.isEmpty()) return;
  aug_entry_in->setText(folder);
  aug_image_paths = en::list_sources(folder);
  aug_current_idx = 0;
  aug_update_status();
  if (!aug_image_paths.isEmpty()) aug_load_current_image();
}

void EnricherTab::aug_load_output() {
  const QString folder = ui::get_existing_directory(this, "Select Output Directory");
  if (!folder.isEmpty()) aug_entry_out->setText(folder);
}

void EnricherTab::aug_update_status() {
  aug_lbl_status->setText(QStringLiteral("Total Images: %1 | Enriched: %2")
                              .arg(aug_image_paths.size())
                              .arg(aug_history.size()));
}

void EnricherTab::aug_load_current_image() {
  const int idx = aug_current_idx.value_or(0);
  if (aug_image_paths.isEmpty() || idx < 0 || idx >= aug_image_paths.size()) return;
  const QString path = aug_image_paths[idx];
  const cv::Mat image = orvane::read_image_bgr(path);
  // An unreadable file is skipped: the previous working image and the counter stay.
  if (image.empty()) return;
  aug_original_cv_img = image.clone();
  aug_display_cv_img = image.clone();
  aug_active_base_img = image.clone();
  aug_crop_points.clear();
  aug_warp_points.clear();
  load_shapes(path, image.size());
  if (aug_lbl_counter)
    aug_lbl_counter->setText(QStringLiteral("%1 / %2 - %3")
                                 .arg(idx + 1)
                                 .arg(aug_image_paths.size())
                                 .arg(QFileInfo(path).fileName()));
  render_aug_canvas();
}

void EnricherTab::aug_next_image() {
  if (aug_image_paths.isEmpty()) return;
  const int count = int(aug_image_paths.size());
  aug_current_idx = (aug_current_idx.value_or(0) + 1) % count;
  aug_load_current_image();
}

void EnricherTab::aug_prev_image() {
  if (aug_image_paths.isEmpty()) return;
  const int count = int(aug_image_paths.size());
  aug_current_idx = (aug_current_idx.value_or(0) - 1 + count) % count;
  aug_load_current_image();
}

void EnricherTab::render_aug_canvas() {
  if (aug_display_cv_img.empty()) return;
  {
    // Clearing deletes any drawing preview too; nothing should react to that half-state.
    const QSignalBlocker blocker(aug_canvas);
    aug_canvas->clear();
    aug_canvas->addPixmap(QPixmap::fromImage(orvane::mat_to_qimage(aug_display_cv_img)));
    aug_canvas->setSceneRect(0, 0, aug_display_cv_img.cols, aug_display_cv_img.rows);
    draw_aug_shapes();
  }
  aug_preview_view->fitInView(aug_canvas->sceneRect(), Qt::KeepAspectRatio);
}

// --- Manual transforms --------------------------------------------------------------------------

void EnricherTab::set_working_image(const en::Transformed& result) {
  aug_display_cv_img = result.image;
  aug_active_base_img = result.image.clone();
  if (aug_display_shapes)
    aug_display_shapes = lg::transform_shapes(*aug_display_shapes, result.matrix,
                                              result.image.size(), lg::kDefaultMinVisible);
  aug_active_shapes = aug_display_shapes;
}

void EnricherTab::change_aug_active_mode(const QString& mode) {
  aug_canvas->set_draw_mode(mode);
  aug_preview_view->set_interaction_mode(mode);
  aug_crop_points.clear();
  aug_warp_points.clear();
}

void EnricherTab::handle_aug_canvas_point(const QPointF& pos) {
  const QString mode = aug_combo_mode->currentText();
  if (mode == kCrop) {
    aug_crop_points.append(pos);
    if (aug_crop_points.size() != 2) return;
    // An empty rectangle (after clipping to the picture) keeps both points: later clicks crop
    // nothing until the mode is chosen again, so one stray click never crops by surprise.
    const auto cropped = en::crop_transform(aug_display_cv_img, to_cv(aug_crop_points[0]),
                                            to_cv(aug_crop_points[1]));
    if (!cropped) return;
    set_working_image(*cropped);
    aug_crop_points.clear();
    aug_combo_mode->setCurrentText(kSelectMove);
    render_aug_canvas();
  } else if (mode == kWarp) {
    aug_warp_points.append(pos);
    if (aug_warp_points.size() != 4) return;
    const std::array<cv::Point2d, 4> corners{to_cv(aug_warp_points[0]), to_cv(aug_warp_points[1]),
                                             to_cv(aug_warp_points[2]), to_cv(aug_warp_points[3])};
    // A collapsed quadrilateral is treated like an empty crop: nothing changes.
    const auto warped = en::warp_quad_transform(aug_display_cv_img, corners);
    if (!warped) return;
    set_working_image(*warped);
    aug_warp_points.clear();
    aug_combo_mode->setCurrentText(kSelectMove);
    render_aug_canvas();
  }
}

void EnricherTab::aug_rotate_fixed(double angle) {
  if (aug_display_cv_img.empty()) return;
  set_working_image(en::rotate_grow_transform(aug_display_cv_img, angle));
  render_aug_canvas();
}

void EnricherTab::aug_rotate_custom() {
  bool ok = false;
  const double angle = aug_entry_angle->text().trimmed().toDouble(&ok);
  // "nan" and "inf" parse as numbers but cannot size a canvas.
  if (!ok || !std::isfinite(angle)) {
    ui::critical(this, "Error", "Enter a valid numeric angle.");
    return;
  }
  aug_rotate_fixed(angle);
}

void EnricherTab::aug_reset_image() {
  if (aug_original_cv_img.empty()) return;
  aug_display_cv_img = aug_original_cv_img.clone();
  aug_active_base_img = aug_original_cv_img.clone();
  aug_display_shapes = aug_original_shapes;
  aug_active_shapes = aug_original_shapes;
  aug_crop_points.clear();
  aug_warp_points.clear();
  render_aug_canvas();
}

// --- Random variants ----------------------------------------------------------------------------

en::AugRanges EnricherTab::aug_ranges() const {
  en::AugRanges r;
  r.brightness = range_of(aug_b_min, aug_b_max);
  r.contrast = range_of(aug_c_min, aug_c_max);
  r.rotation = range_of(aug_r_min, aug_r_max);
  r.gamma = range_of(aug_l_min, aug_l_max);
  r.warp = range_of(aug_w_min, aug_w_max);
  return r;
}

cv::Mat EnricherTab::get_aug_image(const cv::Mat& base_img) {
  return en::get_aug_image(base_img, aug_ranges(), aug_rng);
}

void EnricherTab::run_aug_preview() {
  if (aug_active_base_img.empty()) {
    if (aug_image_paths.isEmpty()) {
      ui::information(this, "Preview", "Load an input dataset folder first.");
      return;
    }
    const cv::Mat first = orvane::read_image_bgr(aug_image_paths.front());
    if (first.empty()) return;
    aug_original_cv_img = first.clone();
    aug_active_base_img = first.clone();
    load_shapes(aug_image_paths.front(), first.size());
  }
  // Only the display changes: repeated previews all start from the same working image.
  const en::Transformed preview = en::augment(aug_active_base_img, aug_ranges(), aug_rng);
  aug_display_cv_img = preview.image;
  if (aug_active_shapes)
    aug_display_shapes = lg::transform_shapes(*aug_active_shapes, preview.matrix,
                                              preview.image.size(), lg::kDefaultMinVisible);
  render_aug_canvas();
}

void EnricherTab::enrich_current_image() {
  const QString out_dir = aug_entry_out->text().trimmed();
  if (aug_active_base_img.empty()) {
    ui::warning(this, "Error", "No image is currently loaded on the canvas.");
    return;
  }
  if (out_dir.isEmpty()) {
    ui::warning(this, "Error", "Select a valid output directory first.");
    return;
  }
  if (!QDir().mkpath(out_dir)) {
    ui::critical(this, "Error",
                 QStringLiteral("Could not create the output directory:\n%1")
                     .arg(QDir::toNativeSeparators(out_dir)));
    return;
  }

  // Checked before anything is written: a label file that does not parse must not give variants
  // whose labels silently say "no objects".
  const bool carry_labels = chk_aug_labels->isChecked();
  if (carry_labels && !aug_label_error.isEmpty()) {
    ui::critical(this, "Error",
                 QStringLiteral("The label file of this image cannot be used, so no variants were "
                                "written:\n%1")
                     .arg(aug_label_error));
    return;
  }
  en::BatchLabels labels;
  const Shapes shapes = aug_active_shapes.value_or(Shapes{});
  QString class_list_note;
  if (carry_labels && aug_active_shapes) {
    labels.shapes = &shapes;
    const int idx = aug_current_idx.value_or(0);
    if (idx >= 0 && idx < aug_image_paths.size()) {
      const QString class_list =
          QFileInfo(aug_image_paths[idx]).dir().filePath(QStringLiteral("classes.txt"));
      if (QFileInfo(class_list).isFile()) {
        const std::string problem = lg::copy_class_list(fs_path(class_list), fs_path(out_dir));
        if (!problem.empty()) class_list_note = QString::fromStdString(problem);
      }
    }
  }

  const int count = spin_aug_gen_count->value();
  const cv::Mat base = aug_active_base_img.clone();
  en::BatchResult result;
  try {
    // The batch runs here on the GUI thread; the wait cursor says the window is busy, not hung.
    ui::WaitCursor wait;
    result = en::enrich_batch(base, aug_ranges(), count, out_dir,
                              QDateTime::currentSecsSinceEpoch(), aug_rng, {}, labels);
  } catch (const std::exception& e) {
    // An image the transforms cannot take, or memory running out: the operator hears of it
    // instead of the window losing the batch (and its cursor) in silence.
    ui::critical(
        this, "Error",
        QStringLiteral("The enrichment stopped: %1").arg(QString::fromLocal8Bit(e.what())));
    return;
  }

  QString closing = en::closing_message(result.created);
  if (carry_labels && !aug_active_shapes)
    closing += QStringLiteral("\n\nThis image has no label file, so its variants have none.");
  if (!class_list_note.isEmpty()) closing += QStringLiteral("\n\n") + class_list_note;
  if (result.failed == 0) {
    ui::information(this, "Success", closing);
  } else {
    ui::critical(this, "Error",
                 QStringLiteral("%1\n\n%2 variant(s) could not be written, the first was:\n%3")
                     .arg(closing)
                     .arg(result.failed)
                     .arg(QDir::toNativeSeparators(result.first_failure)));
  }
}
