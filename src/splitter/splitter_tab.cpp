#include "splitter/splitter_tab.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "imaging/image_io.h"
#include "splitter/splitter_core.h"
#include "ui/dialogs.h"
#include "ui/info_label.h"
#include "tasks/long_task.h"
#include "ui/task_progress_dialog.h"
#include "widgets/zoomable_view.h"

namespace orvane::splitter {

namespace sp = orvane::splitter;

SplitterTab::SplitterTab(QWidget* parent) : QWidget(parent) {
  ui_.split_task = new tasks::LongTask(this);
  setup_splitter_tab();
}

void SplitterTab::setup_splitter_tab() {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(build_folder_box());
  layout->addWidget(build_parameter_box());
  auto* preview = new QGroupBox("Grid Preview (first image of the input folder)");
  auto* preview_layout = new QVBoxLayout(preview);
  ui_.view_split_preview = new ZoomableView;
  ui_.view_split_preview->setObjectName("view_split_preview");
  preview_layout->addWidget(ui_.view_split_preview);
  layout->addWidget(preview, 1);

  update_splitter_grid_modes();
  // Connected after the first fill: every later change of folder, grid or overlap redraws.
  connect(ui_.entry_split_in, &QLineEdit::textChanged, this, &SplitterTab::update_split_preview);
  connect(ui_.combo_grid_mode, &QComboBox::currentIndexChanged, this,
          &SplitterTab::update_split_preview);
  connect(ui_.spin_split_overlap, &QSpinBox::valueChanged, this,
          &SplitterTab::update_split_preview);
}

QWidget* SplitterTab::build_folder_box() {
  auto* dirs = new QGroupBox("Directory Configuration");
  auto* grid = new QGridLayout(dirs);
  ui_.entry_split_in = new QLineEdit;
  ui_.entry_split_in->setObjectName("entry_split_in");
  ui_.entry_split_in->setPlaceholderText("Select source directory containing images...");
  ui_.btn_browse_in = new QPushButton("Browse...");
  connect(ui_.btn_browse_in, &QPushButton::clicked, this,
          [this] { browse_into(ui_.entry_split_in, "Select Input Directory"); });
  ui_.entry_split_out = new QLineEdit;
  ui_.entry_split_out->setObjectName("entry_split_out");
  ui_.entry_split_out->setPlaceholderText("Select destination directory for tiles...");
  ui_.btn_browse_out = new QPushButton("Browse...");
  connect(ui_.btn_browse_out, &QPushButton::clicked, this,
          [this] { browse_into(ui_.entry_split_out, "Select Output Directory"); });
  grid->addWidget(create_info_label("Input Folder:", "Source directory"), 0, 0);
  grid->addWidget(ui_.entry_split_in, 0, 1);
  grid->addWidget(ui_.btn_browse_in, 0, 2);
  grid->addWidget(create_info_label("Output Folder:", "Destination directory"), 1, 0);
  grid->addWidget(ui_.entry_split_out, 1, 1);
  grid->addWidget(ui_.btn_browse_out, 1, 2);
  // The info labels stretch too; without this the paths would get only half the width.
  grid->setColumnStretch(1, 1);
  return dirs;
}

QWidget* SplitterTab::build_parameter_box() {
  // "&&" shows one "&": a single one would be taken as a keyboard mnemonic and vanish.
  auto* params = new QGroupBox("Splitting Grid Parameters && Folder Structure");
  auto* form = new QFormLayout(params);
  ui_.spin_split_parts = new QSpinBox;
  ui_.spin_split_parts->setObjectName("spin_split_parts");
  ui_.spin_split_parts->setRange(1, 100);
  ui_.spin_split_parts->setValue(4);
  // Connected only after the initial value is set; the options are filled once at the end.
  connect(ui_.spin_split_parts, &QSpinBox::valueChanged, this,
          &SplitterTab::update_splitter_grid_modes);
  ui_.combo_grid_mode = new QComboBox;
  ui_.combo_grid_mode->setObjectName("combo_grid_mode");
  ui_.chk_subfolders =
      new QCheckBox("Save each tile part index in a separate subfolder (e.g. part_1/, part_2/)");
  ui_.chk_subfolders->setChecked(true);
  ui_.spin_split_overlap = new QSpinBox;
  ui_.spin_split_overlap->setObjectName("spin_split_overlap");
  ui_.spin_split_overlap->setRange(0, 90);
  ui_.spin_split_overlap->setValue(0);
  ui_.spin_split_overlap->setSuffix(" %");
  ui_.spin_split_overlap->setToolTip(
      "Neighbouring tiles share this share of a tile, so objects on a "
      "cut appear whole in at least one tile");
  ui_.chk_split_labels = new QCheckBox("Carry YOLO labels (.txt beside each image)");
  ui_.chk_split_labels->setToolTip(
      "Each tile gets a label file with the shapes clipped to it; "
      "classes.txt is copied beside the tiles");
  ui_.spin_split_min_visible = new QDoubleSpinBox;
  ui_.spin_split_min_visible->setRange(0, 100);
  ui_.spin_split_min_visible->setDecimals(0);
  ui_.spin_split_min_visible->setSingleStep(5);
  ui_.spin_split_min_visible->setValue(25);
  ui_.spin_split_min_visible->setSuffix(" %");
  ui_.spin_split_min_visible->setToolTip(
      "A shape is kept in a tile when at least this share of its "
      "area lies inside the tile");
  ui_.spin_split_min_visible->setEnabled(false);
  connect(ui_.chk_split_labels, &QCheckBox::toggled, ui_.spin_split_min_visible,
          &QDoubleSpinBox::setEnabled);
  ui_.btn_split = new QPushButton(QStringLiteral("✂ SPLIT IMAGES"));
  ui_.btn_split->setObjectName("primaryBtn");
  connect(ui_.btn_split, &QPushButton::clicked, this, &SplitterTab::process_image_splitting);
  form->addRow("Number of Tile Parts:", ui_.spin_split_parts);
  form->addRow("Grid Layout Mode:", ui_.combo_grid_mode);
  form->addRow(ui_.chk_subfolders);
  form->addRow("Tile Overlap:", ui_.spin_split_overlap);
  form->addRow(ui_.chk_split_labels);
  form->addRow("Min. Visible Area of a Shape:", ui_.spin_split_min_visible);
  form->addRow(ui_.btn_split);
  return params;
}

void SplitterTab::update_split_preview() {
  const QString folder = ui_.entry_split_in->text().trimmed();
  const auto grid = sp::parse_grid_option(ui_.combo_grid_mode->currentText());
  const QStringList files = folder.isEmpty() || !QFileInfo(folder).isDir()
                                ? QStringList()
                                : sp::list_split_sources(folder);
  // The first file that decodes, as the batch would read it; none leaves the view empty.
  cv::Mat image;
  for (const QString& file : files) {
    image = orvane::read_image_bgr(file);
    if (!image.empty()) break;
  }
  if (image.empty() || !grid) {
    ui_.view_split_preview->set_image(QPixmap());
    return;
  }
  QImage shown = orvane::mat_to_qimage(image);
  QPainter painter(&shown);
  painter.setRenderHint(QPainter::Antialiasing);
  // Line and text sizes follow the picture, so a 6000 px photo shows them as a 600 px one does.
  const int side = std::max(1, std::min(shown.width(), shown.height()));
  const double line = std::max(2.0, side / 200.0);
  QFont font = painter.font();
  font.setPixelSize(std::max(10, side / 14));
  font.setBold(true);
  painter.setFont(font);
  const auto rects = sp::tile_rects(image.cols, image.rows, *grid, ui_.spin_split_overlap->value());
  for (std::size_t i = 0; i < rects.size(); ++i) {
    const QRectF r(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
    if (r.isEmpty()) continue;
    painter.setPen(QPen(QColor(0, 229, 255), line));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r.adjusted(line / 2, line / 2, -line / 2, -line / 2));
    painter.setPen(QColor(255, 255, 255, 230));
    painter.drawText(r, Qt::AlignCenter,
                     sp::tile_index_text(static_cast<int>(i) + 1, static_cast<int>(rects.size())));
  }
  painter.end();
  ui_.view_split_preview->set_image(QPixmap::fromImage(shown));
}

void SplitterTab::browse_into(QLineEdit* entry, const QString& caption) {
  const QString folder = orvane::ui::get_existing_directory(window(), caption);
  if (!folder.isEmpty()) entry->setText(folder);  // a cancelled chooser keeps the text
}

void SplitterTab::update_splitter_grid_modes() {
  ui_.combo_grid_mode->clear();
  for (const sp::Grid& grid : sp::grid_options(ui_.spin_split_parts->value()))
    ui_.combo_grid_mode->addItem(sp::grid_option_text(grid));
  ui_.combo_grid_mode->setCurrentIndex(0);
}

void SplitterTab::process_image_splitting() {
  if (ui_.split_task->running()) {
    orvane::ui::information(window(), "Batch Running",
                            "A split is still running: wait for it or cancel it.");
    return;
  }
  const QString in_path = ui_.entry_split_in->text().trimmed();
  const QString out_path = ui_.entry_split_out->text().trimmed();
  if (in_path.isEmpty() || !QFileInfo::exists(in_path) || out_path.isEmpty()) {
    orvane::ui::warning(window(), "Error", "Specify valid Input and Output directories.");
    return;
  }
  sp::SplitOptions options;
  options.input_dir = in_path;
  options.output_dir = out_path;
  options.parts = ui_.spin_split_parts->value();
  const auto grid = sp::parse_grid_option(ui_.combo_grid_mode->currentText());
  if (!grid || grid->rows * grid->cols != options.parts) {
    orvane::ui::warning(window(), "Error", "Choose a grid layout for the number of tile parts.");
    return;
  }
  options.grid = *grid;
  options.use_subfolders = ui_.chk_subfolders->isChecked();
  options.overlap = ui_.spin_split_overlap->value();
  options.carry_labels = ui_.chk_split_labels->isChecked();
  options.min_visible = ui_.spin_split_min_visible->value() / 100.0;

  const QStringList files = sp::list_split_sources(in_path);
  if (files.isEmpty()) {
    orvane::ui::warning(window(), "No Images", "No images found in input folder.");
    return;
  }

  auto report = std::make_shared<sp::SplitReport>();
  ui_.btn_split->setEnabled(false);
  ui_.split_task->start(
      [options, files, report](tasks::TaskControl& control) {
        *report = sp::split_images(
            options, files,
            [&control](int index, int total, const QString& path) {
              control.report(index, total, QFileInfo(path).fileName());
            },
            control.stop_flag());
      },
      [this, report](const tasks::TaskEnd& end) {
        ui_.btn_split->setEnabled(true);
        show_split_report(*report, end.error);
      });
  orvane::ui::TaskProgressDialog::follow(ui_.split_task, "Splitting", window());
}

void SplitterTab::show_split_report(const sp::SplitReport& report, const QString& error) {
  if (!error.isEmpty()) {
    orvane::ui::critical(window(), "Error", QStringLiteral("Splitting stopped: %1").arg(error));
    return;
  }
  if (report.tiles_written == 0 && report.has_problems()) {
    orvane::ui::warning(window(), "Splitting Failed",
                        "No tile parts were written.\n\n" + sp::problems_message(report));
    return;
  }
  if (report.cancelled)
    orvane::ui::warning(window(), "Splitting Cancelled", sp::success_message(report));
  else
    orvane::ui::information(window(), "Splitting Success", sp::success_message(report));
  if (report.has_problems())
    orvane::ui::warning(window(), "Splitting Problems", sp::problems_message(report));
}

}  // namespace orvane::splitter
