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
#include <memory>
#include <random>

#include "files/fs_path.h"
#include "imaging/image_io.h"
#include "ui/dialogs.h"
#include "ui/info_label.h"
#include "tasks/long_task.h"
#include "ui/task_progress_dialog.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

namespace orvane::enricher {

namespace en = orvane::enricher;
namespace lg = orvane::label_geometry;
namespace ui = orvane::ui;

namespace {

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

}  // namespace

EnricherTab::EnricherTab(QWidget* parent) : QWidget(parent) {
  ui_.enrich_task = new tasks::LongTask(this);
  state_.rng.seed(std::random_device{}() ^ std::uint64_t(QDateTime::currentMSecsSinceEpoch()));
  setup_ui();
}

void EnricherTab::setup_ui() {
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(build_settings_column());
  layout->addWidget(build_preview_column(), 1);
  connect_controls();
}

// Left column: folders, the status line, ranges, the batch.
QWidget* EnricherTab::build_settings_column() {
  auto* left = new QGroupBox("Configuration && Parameters");
  left->setFixedWidth(380);
  auto* left_layout = new QVBoxLayout(left);
  left_layout->addLayout(build_folder_rows());
  ui_.aug_lbl_status = new QLabel("Total Images: 0 | Enriched: 0");
  ui_.aug_lbl_status->setStyleSheet("font-weight: bold; margin-top: 5px; margin-bottom: 5px;");
  left_layout->addWidget(ui_.aug_lbl_status);
  left_layout->addWidget(build_range_box());
  left_layout->addWidget(build_batch_box());
  return left;
}

QLayout* EnricherTab::build_folder_rows() {
  auto* folders = new QGridLayout;
  ui_.aug_entry_in = new QLineEdit;
  ui_.aug_entry_in->setObjectName("aug_entry_in");
  ui_.aug_entry_in->setPlaceholderText("Select input directory...");
  ui_.btn_aug_browse_in = new QPushButton("Browse...");
  ui_.btn_aug_browse_in->setObjectName("btn_aug_browse_in");
  ui_.aug_entry_out = new QLineEdit;
  ui_.aug_entry_out->setPlaceholderText("Select output directory...");
  ui_.btn_aug_browse_out = new QPushButton("Browse...");
  folders->addWidget(new QLabel("Input:"), 0, 0);
  folders->addWidget(ui_.aug_entry_in, 0, 1);
  folders->addWidget(ui_.btn_aug_browse_in, 0, 2);
  folders->addWidget(new QLabel("Output:"), 1, 0);
  folders->addWidget(ui_.aug_entry_out, 1, 1);
  folders->addWidget(ui_.btn_aug_browse_out, 1, 2);
  return folders;
}

// The five min/max pairs, scrollable when the window is short.
QWidget* EnricherTab::build_range_box() {
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
      {"Brightness Add:", "Intensity offset (-100 to +100)", &ui_.aug_brightness_min,
       &ui_.aug_brightness_max, -30, 30, -100, 100, 1, 0},
      {"Contrast Scale:", "Multiplier (0.1 to 3.0)", &ui_.aug_contrast_min, &ui_.aug_contrast_max,
       0.8, 1.2, 0.1, 3.0, 0.1, 2},
      {"Rotation (°):", "Random slight rotations", &ui_.aug_rotation_min, &ui_.aug_rotation_max,
       -15, 15, -180, 180, 1, 0},
      {"Lighting (Gamma):", "Gamma curve adjustment", &ui_.aug_gamma_min, &ui_.aug_gamma_max, 0.8,
       1.2, 0.1, 3.0, 0.1, 2},
      {"Warp Var. (%):", "Random perspective skew %", &ui_.aug_warp_min, &ui_.aug_warp_max, 0, 5, 0,
       50, 1, 1},
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
  return ranges_box;
}

QWidget* EnricherTab::build_batch_box() {
  auto* batch_box = new QGroupBox("Batch Generator Options");
  auto* batch_form = new QFormLayout(batch_box);
  ui_.spin_aug_gen_count = new QSpinBox;
  ui_.spin_aug_gen_count->setObjectName("spin_aug_gen_count");
  ui_.spin_aug_gen_count->setRange(1, 1000);
  ui_.spin_aug_gen_count->setValue(10);
  batch_form->addRow("Variants per Source:", ui_.spin_aug_gen_count);
  ui_.chk_aug_labels = new QCheckBox("Carry YOLO labels (.txt beside each image)");
  ui_.chk_aug_labels->setObjectName("chk_aug_labels");
  ui_.chk_aug_labels->setToolTip(
      "Each variant gets a label file with the source's shapes moved exactly as its pixels; "
      "classes.txt is copied to the output folder");
  batch_form->addRow(ui_.chk_aug_labels);
  ui_.btn_aug_enrich = new QPushButton(QStringLiteral("⚡ ENRICH DATASET"));
  ui_.btn_aug_enrich->setObjectName("primaryBtn");
  batch_form->addRow(ui_.btn_aug_enrich);
  return batch_box;
}

// Right side: the canvas, its mode, the manual tools, the preview and the image navigation.
QWidget* EnricherTab::build_preview_column() {
  auto* right = new QGroupBox("Augmentation Live Simulation Engine");
  auto* right_layout = new QVBoxLayout(right);
  ui_.aug_canvas = new InteractiveCanvas(this);
  ui_.aug_preview_view = new ZoomableView;
  ui_.aug_preview_view->setScene(ui_.aug_canvas);
  right_layout->addWidget(ui_.aug_preview_view, 1);

  auto* mode_row = new QHBoxLayout;
  ui_.aug_combo_mode = new QComboBox;
  ui_.aug_combo_mode->setObjectName("aug_combo_mode");
  orvane::add_draw_modes(ui_.aug_combo_mode, {orvane::DrawMode::SelectMove, orvane::DrawMode::Crop,
                                              orvane::DrawMode::Warp});
  mode_row->addWidget(new QLabel("Interactive Canvas Mode:"));
  mode_row->addWidget(ui_.aug_combo_mode);
  right_layout->addLayout(mode_row);
  right_layout->addLayout(build_tool_row());

  ui_.btn_aug_preview = new QPushButton(QStringLiteral("🎨 Simulate Augmentation Frame"));
  ui_.btn_aug_preview->setAccessibleName("Simulate augmentation frame");
  ui_.btn_aug_preview->setObjectName("primaryBtn");
  right_layout->addWidget(ui_.btn_aug_preview);
  right_layout->addLayout(build_navigation_row());
  return right;
}

QLayout* EnricherTab::build_tool_row() {
  auto* tool_row = new QHBoxLayout;
  ui_.btn_aug_rotate_cw = new QPushButton(QStringLiteral("90° CW"));
  ui_.btn_aug_rotate_ccw = new QPushButton(QStringLiteral("90° CCW"));
  ui_.aug_entry_angle = new QLineEdit;
  ui_.aug_entry_angle->setObjectName("aug_entry_angle");
  ui_.aug_entry_angle->setPlaceholderText(QStringLiteral("Angle (°)"));
  ui_.aug_entry_angle->setFixedWidth(70);
  ui_.btn_aug_rotate = new QPushButton("Rotate");
  ui_.btn_aug_rotate->setObjectName("btn_aug_rotate");
  ui_.btn_aug_reset = new QPushButton(QStringLiteral("🔄 Reset Source Image"));
  tool_row->addWidget(ui_.btn_aug_rotate_cw);
  tool_row->addWidget(ui_.btn_aug_rotate_ccw);
  tool_row->addWidget(ui_.aug_entry_angle);
  tool_row->addWidget(ui_.btn_aug_rotate);
  tool_row->addWidget(ui_.btn_aug_reset);
  return tool_row;
}

QLayout* EnricherTab::build_navigation_row() {
  auto* nav_row = new QHBoxLayout;
  ui_.btn_aug_prev = new QPushButton(QStringLiteral("◄ Previous Image"));
  ui_.aug_lbl_counter = new QLabel("0 / 0");
  ui_.aug_lbl_counter->setObjectName("aug_lbl_counter");
  ui_.aug_lbl_counter->setAlignment(Qt::AlignCenter);
  ui_.btn_aug_next = new QPushButton(QStringLiteral("Next Image ►"));
  nav_row->addWidget(ui_.btn_aug_prev);
  nav_row->addWidget(ui_.aug_lbl_counter);
  nav_row->addWidget(ui_.btn_aug_next);
  return nav_row;
}

void EnricherTab::connect_controls() {
  connect(ui_.btn_aug_browse_in, &QPushButton::clicked, this, &EnricherTab::aug_load_input);
  connect(ui_.btn_aug_browse_out, &QPushButton::clicked, this, &EnricherTab::aug_load_output);
  connect(ui_.btn_aug_prev, &QPushButton::clicked, this, &EnricherTab::aug_prev_image);
  connect(ui_.btn_aug_next, &QPushButton::clicked, this, &EnricherTab::aug_next_image);
  connect(ui_.aug_combo_mode, &QComboBox::currentIndexChanged, this, [this](int index) {
    change_aug_active_mode(orvane::draw_mode_at(ui_.aug_combo_mode, index));
  });
  connect(ui_.aug_canvas, &InteractiveCanvas::point_clicked, this,
          &EnricherTab::handle_aug_canvas_point);
  connect(ui_.btn_aug_rotate_cw, &QPushButton::clicked, this, [this] { aug_rotate_fixed(-90); });
  connect(ui_.btn_aug_rotate_ccw, &QPushButton::clicked, this, [this] { aug_rotate_fixed(90); });
  connect(ui_.btn_aug_rotate, &QPushButton::clicked, this, &EnricherTab::aug_rotate_custom);
  connect(ui_.btn_aug_reset, &QPushButton::clicked, this, &EnricherTab::aug_reset_image);
  connect(ui_.btn_aug_preview, &QPushButton::clicked, this, &EnricherTab::run_aug_preview);
  connect(ui_.btn_aug_enrich, &QPushButton::clicked, this, &EnricherTab::enrich_current_image);
  connect(ui_.chk_aug_labels, &QCheckBox::toggled, this, &EnricherTab::render_aug_canvas);
}

void EnricherTab::take_shapes(Source& source) {
  state_.label_error = source.label_error;
  state_.original_shapes = std::move(source.shapes);
  state_.display_shapes = state_.original_shapes;
  state_.active_shapes = state_.original_shapes;
}

void EnricherTab::draw_aug_shapes() {
  if (!ui_.chk_aug_labels->isChecked() || !state_.display_shapes) return;
  // A few distinct colours by class, as the annotator colours its classes apart.
  static const QColor palette[] = {QColor(255, 64, 64), QColor(64, 200, 255), QColor(255, 200, 0),
                                   QColor(80, 220, 80), QColor(230, 90, 255), QColor(255, 140, 40),
                                   QColor(0, 230, 190)};
  for (const lg::Shape& shape : *state_.display_shapes) {
    QPolygonF polygon;
    for (const cv::Point2d& p : shape.points) polygon << QPointF(p.x, p.y);
    const QColor colour = palette[static_cast<size_t>(shape.class_id) % std::size(palette)];
    QPen pen(colour, 2);
    pen.setCosmetic(true);  // two screen pixels wide at any zoom
    QColor fill = colour;
    fill.setAlpha(40);
    auto* item = ui_.aug_canvas->addPolygon(polygon, pen, QBrush(fill));
    // Outlines only show where the labels are; clicks go to the canvas as before.
    item->setAcceptedMouseButtons(Qt::NoButton);
  }
}

// --- Sources and navigation ---------------------------------------------------------------------

void EnricherTab::aug_load_input() {
  const QString folder = ui::get_existing_directory(this, "Select Input Directory");
  if (folder.isEmpty()) return;
  ui_.aug_entry_in->setText(folder);
  state_.aug_image_paths = en::list_sources(folder);
  state_.aug_current_idx = 0;
  aug_update_status();
  if (!state_.aug_image_paths.isEmpty()) aug_load_current_image();
}

void EnricherTab::aug_load_output() {
  const QString folder = ui::get_existing_directory(this, "Select Output Directory");
  if (!folder.isEmpty()) ui_.aug_entry_out->setText(folder);
}

void EnricherTab::aug_update_status() {
  ui_.aug_lbl_status->setText(QStringLiteral("Total Images: %1 | Enriched: %2")
                                  .arg(state_.aug_image_paths.size())
                                  .arg(state_.aug_history.size()));
}

void EnricherTab::aug_load_current_image() {
  const int idx = state_.aug_current_idx.value_or(0);
  if (state_.aug_image_paths.isEmpty() || idx < 0 || idx >= state_.aug_image_paths.size()) return;
  const QString path = state_.aug_image_paths[idx];
  Source source = read_source(path, /*with_labels=*/true);
  // An unreadable file is skipped: the previous working image and the counter stay.
  if (source.image.empty()) return;
  state_.aug_original_cv_img = source.image.clone();
  state_.aug_display_cv_img = source.image.clone();
  state_.aug_active_base_img = source.image.clone();
  state_.aug_crop_points.clear();
  state_.aug_warp_points.clear();
  take_shapes(source);
  if (ui_.aug_lbl_counter)
    ui_.aug_lbl_counter->setText(QStringLiteral("%1 / %2 - %3")
                                     .arg(idx + 1)
                                     .arg(state_.aug_image_paths.size())
                                     .arg(QFileInfo(path).fileName()));
  render_aug_canvas();
}

void EnricherTab::aug_next_image() {
  if (state_.aug_image_paths.isEmpty()) return;
  const int count = int(state_.aug_image_paths.size());
  state_.aug_current_idx = (state_.aug_current_idx.value_or(0) + 1) % count;
  aug_load_current_image();
}

void EnricherTab::aug_prev_image() {
  if (state_.aug_image_paths.isEmpty()) return;
  const int count = int(state_.aug_image_paths.size());
  state_.aug_current_idx = (state_.aug_current_idx.value_or(0) - 1 + count) % count;
  aug_load_current_image();
}

void EnricherTab::render_aug_canvas() {
  if (state_.aug_display_cv_img.empty()) return;
  {
    // Clearing deletes any drawing preview too; nothing should react to that half-state.
    const QSignalBlocker blocker(ui_.aug_canvas);
    ui_.aug_canvas->clear();
    ui_.aug_canvas->addPixmap(QPixmap::fromImage(orvane::mat_to_qimage(state_.aug_display_cv_img)));
    ui_.aug_canvas->setSceneRect(0, 0, state_.aug_display_cv_img.cols,
                                 state_.aug_display_cv_img.rows);
    draw_aug_shapes();
  }
  ui_.aug_preview_view->fitInView(ui_.aug_canvas->sceneRect(), Qt::KeepAspectRatio);
}

// --- Manual transforms --------------------------------------------------------------------------

void EnricherTab::set_working_image(const en::Transformed& result) {
  state_.aug_display_cv_img = result.image;
  state_.aug_active_base_img = result.image.clone();
  if (state_.display_shapes)
    state_.display_shapes = lg::transform_shapes(*state_.display_shapes, result.matrix,
                                                 result.image.size(), lg::kDefaultMinVisible);
  state_.active_shapes = state_.display_shapes;
}

void EnricherTab::change_aug_active_mode(orvane::DrawMode mode) {
  ui_.aug_canvas->set_draw_mode(mode);
  ui_.aug_preview_view->set_interaction_mode(mode);
  state_.aug_crop_points.clear();
  state_.aug_warp_points.clear();
}

void EnricherTab::handle_aug_canvas_point(const QPointF& pos) {
  const orvane::DrawMode mode = ui_.aug_canvas->draw_mode();
  if (mode == orvane::DrawMode::Crop) {
    state_.aug_crop_points.append(pos);
    if (state_.aug_crop_points.size() != 2) return;
    // An empty rectangle (after clipping to the picture) keeps both points: later clicks crop
    // nothing until the mode is chosen again, so one stray click never crops by surprise.
    const auto cropped =
        en::crop_transform(state_.aug_display_cv_img, to_cv(state_.aug_crop_points[0]),
                           to_cv(state_.aug_crop_points[1]));
    if (!cropped) return;
    set_working_image(*cropped);
    state_.aug_crop_points.clear();
    orvane::select_draw_mode(ui_.aug_combo_mode, orvane::DrawMode::SelectMove);
    render_aug_canvas();
  } else if (mode == orvane::DrawMode::Warp) {
    state_.aug_warp_points.append(pos);
    if (state_.aug_warp_points.size() != 4) return;
    const std::array<cv::Point2d, 4> corners{
        to_cv(state_.aug_warp_points[0]), to_cv(state_.aug_warp_points[1]),
        to_cv(state_.aug_warp_points[2]), to_cv(state_.aug_warp_points[3])};
    // A collapsed quadrilateral is treated like an empty crop: nothing changes.
    const auto warped = en::warp_quad_transform(state_.aug_display_cv_img, corners);
    if (!warped) return;
    set_working_image(*warped);
    state_.aug_warp_points.clear();
    orvane::select_draw_mode(ui_.aug_combo_mode, orvane::DrawMode::SelectMove);
    render_aug_canvas();
  }
}

void EnricherTab::aug_rotate_fixed(double angle) {
  if (state_.aug_display_cv_img.empty()) return;
  set_working_image(en::rotate_grow_transform(state_.aug_display_cv_img, angle));
  render_aug_canvas();
}

void EnricherTab::aug_rotate_custom() {
  bool ok = false;
  const double angle = ui_.aug_entry_angle->text().trimmed().toDouble(&ok);
  // "nan" and "inf" parse as numbers but cannot size a canvas.
  if (!ok || !std::isfinite(angle)) {
    ui::critical(this, "Error", "Enter a valid numeric angle.");
    return;
  }
  aug_rotate_fixed(angle);
}

void EnricherTab::aug_reset_image() {
  if (state_.aug_original_cv_img.empty()) return;
  state_.aug_display_cv_img = state_.aug_original_cv_img.clone();
  state_.aug_active_base_img = state_.aug_original_cv_img.clone();
  state_.display_shapes = state_.original_shapes;
  state_.active_shapes = state_.original_shapes;
  state_.aug_crop_points.clear();
  state_.aug_warp_points.clear();
  render_aug_canvas();
}

// --- Random variants ----------------------------------------------------------------------------

en::AugRanges EnricherTab::aug_ranges() const {
  en::AugRanges r;
  r.brightness = range_of(ui_.aug_brightness_min, ui_.aug_brightness_max);
  r.contrast = range_of(ui_.aug_contrast_min, ui_.aug_contrast_max);
  r.rotation = range_of(ui_.aug_rotation_min, ui_.aug_rotation_max);
  r.gamma = range_of(ui_.aug_gamma_min, ui_.aug_gamma_max);
  r.warp = range_of(ui_.aug_warp_min, ui_.aug_warp_max);
  return r;
}

cv::Mat EnricherTab::get_aug_image(const cv::Mat& base_img) {
  return en::get_aug_image(base_img, aug_ranges(), state_.rng);
}

void EnricherTab::run_aug_preview() {
  if (state_.aug_active_base_img.empty()) {
    if (state_.aug_image_paths.isEmpty()) {
      ui::information(this, "Preview", "Load an input dataset folder first.");
      return;
    }
    Source first = read_source(state_.aug_image_paths.front(), /*with_labels=*/true);
    if (first.image.empty()) return;
    state_.aug_original_cv_img = first.image.clone();
    state_.aug_active_base_img = first.image.clone();
    take_shapes(first);
  }
  // Only the display changes: repeated previews all start from the same working image.
  const en::Transformed preview = en::augment(state_.aug_active_base_img, aug_ranges(), state_.rng);
  state_.aug_display_cv_img = preview.image;
  if (state_.active_shapes)
    state_.display_shapes = lg::transform_shapes(*state_.active_shapes, preview.matrix,
                                                 preview.image.size(), lg::kDefaultMinVisible);
  render_aug_canvas();
}

bool EnricherTab::ready_to_enrich(const QString& out_dir) {
  if (ui_.enrich_task->running()) {
    ui::information(this, "Batch Running",
                    "An enrichment batch is still running: wait for it or cancel it.");
    return false;
  }
  if (state_.aug_active_base_img.empty()) {
    ui::warning(this, "Error", "No image is currently loaded on the canvas.");
    return false;
  }
  if (out_dir.isEmpty()) {
    ui::warning(this, "Error", "Select a valid output directory first.");
    return false;
  }
  if (!QDir().mkpath(out_dir)) {
    ui::critical(this, "Error",
                 QStringLiteral("Could not create the output directory:\n%1")
                     .arg(QDir::toNativeSeparators(out_dir)));
    return false;
  }
  return true;
}

void EnricherTab::enrich_current_image() {
  const QString out_dir = ui_.aug_entry_out->text().trimmed();
  if (!ready_to_enrich(out_dir)) return;

  // Checked before anything is written: a label file that does not parse must not give variants
  // whose labels silently say "no objects".
  const bool carry_labels = ui_.chk_aug_labels->isChecked();
  if (carry_labels && !state_.label_error.isEmpty()) {
    ui::critical(this, "Error",
                 QStringLiteral("The label file of this image cannot be used, so no variants were "
                                "written:\n%1")
                     .arg(state_.label_error));
    return;
  }
  en::BatchLabels labels;
  const Shapes shapes = state_.active_shapes.value_or(Shapes{});
  QString class_list_note;
  if (carry_labels && state_.active_shapes) {
    labels.shapes = &shapes;
    const int idx = state_.aug_current_idx.value_or(0);
    if (idx >= 0 && idx < state_.aug_image_paths.size()) {
      const Result<> carried = lg::ClassListCarrier().carry(
          fs_path(QFileInfo(state_.aug_image_paths[idx]).path()), fs_path(out_dir));
      if (!carried) class_list_note = carried.error();
    }
  }

  const int count = ui_.spin_aug_gen_count->value();
  // The batch works on copies; the generator comes back when it ends, so the next batch goes on
  // from where this one left it, as it always has.
  struct Batch {
    cv::Mat base;
    Shapes shapes;
    en::BatchLabels labels;
    en::Rng rng;
    en::BatchResult result;
  };
  auto batch = std::make_shared<Batch>();
  batch->base = state_.aug_active_base_img.clone();
  batch->shapes = shapes;
  batch->labels = labels;
  if (labels.shapes) batch->labels.shapes = &batch->shapes;
  batch->rng = state_.rng;
  const en::AugRanges ranges = aug_ranges();
  const std::int64_t now = QDateTime::currentSecsSinceEpoch();
  QString note;
  if (carry_labels && !state_.active_shapes)
    note += QStringLiteral("\n\nThis image has no label file, so its variants have none.");
  if (!class_list_note.isEmpty()) note += QStringLiteral("\n\n") + class_list_note;
  ui_.btn_aug_enrich->setEnabled(false);
  ui_.enrich_task->start(
      [batch, ranges, count, out_dir, now](tasks::TaskControl& control) {
        batch->result = en::enrich_batch(
            batch->base, ranges, count, out_dir, now, batch->rng,
            [&control, count](int k) { control.report(k, count); }, batch->labels,
            control.stop_flag());
      },
      [this, batch, count, note](const tasks::TaskEnd& end) {
        ui_.btn_aug_enrich->setEnabled(true);
        state_.rng = batch->rng;
        if (!end.error.isEmpty()) {
          // An image the transforms cannot take, or memory running out: the operator hears of
          // it instead of the batch ending in silence.
          ui::critical(this, "Error", QStringLiteral("The enrichment stopped: %1").arg(end.error));
          return;
        }
        show_enrich_result(batch->result, en::closing_message(batch->result, count) + note);
      });
  ui::TaskProgressDialog::follow(ui_.enrich_task, "Enriching", window());
}

void EnricherTab::show_enrich_result(const en::BatchResult& result, const QString& closing) {
  if (result.failed == 0) {
    ui::information(this, result.cancelled ? "Cancelled" : "Success", closing);
  } else {
    ui::critical(this, "Error",
                 QStringLiteral("%1\n\n%2 variant(s) could not be written, the first was:\n%3")
                     .arg(closing)
                     .arg(result.failed)
                     .arg(QDir::toNativeSeparators(result.first_failure)));
  }
}

}  // namespace orvane::enricher
