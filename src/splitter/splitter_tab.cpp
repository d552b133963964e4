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
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "splitter/splitter_core.h"
#include "ui/dialogs.h"
#include "ui/info_label.h"
#include "ui/wait_cursor.h"

namespace sp = orvane::splitter;

SplitterTab::SplitterTab(QWidget* parent) : QWidget(parent) { setup_splitter_tab(); }

void SplitterTab::setup_splitter_tab() {
  auto* layout = new QVBoxLayout(this);

  auto* dirs = new QGroupBox("Directory Configuration");
  auto* grid = new QGridLayout(dirs);
  entry_split_in = new QLineEdit;
  entry_split_in->setPlaceholderText("Select source directory containing images...");
  btn_browse_in = new QPushButton("Browse...");
  connect(btn_browse_in, &QPushButton::clicked, this,
          [this] { browse_into(entry_split_in, "Select Input Directory"); });
  entry_split_out = new QLineEdit;
  entry_split_out->setPlaceholderText("Select destination directory for tiles...");
  btn_browse_out = new QPushButton("Browse...");
  connect(btn_browse_out, &QPushButton::clicked, this,
          [this] { browse_into(entry_split_out, "Select Output Directory"); });
  grid->addWidget(create_info_label("Input Folder:", "Source directory"), 0, 0);
  grid->addWidget(entry_split_in, 0, 1);
  grid->addWidget(btn_browse_in, 0, 2);
  grid->addWidget(create_info_label("Output Folder:", "Destination directory"), 1, 0);
  grid->addWidget(entry_split_out, 1, 1);
  grid->addWidget(btn_browse_out, 1, 2);
  // The info labels stretch too; without this the paths would get only half the width.
  grid->setColumnStretch(1, 1);
  layout->addWidget(dirs);

  // "&&" shows one "&": a single one would be taken as a keyboard mnemonic and vanish.
  auto* params = new QGroupBox("Splitting Grid Parameters && Folder Structure");
  auto* form = new QFormLayout(params);
  spin_split_parts = new QSpinBox;
  spin_split_parts->setRange(1, 100);
  spin_split_parts->setValue(4);
  // Connected only after the initial value is set; the options are filled once at the end.
  connect(spin_split_parts, &QSpinBox::valueChanged, this,
          &SplitterTab::update_splitter_grid_modes);
  combo_grid_mode = new QComboBox;
  chk_subfolders =
      new QCheckBox("Save each tile part index in a separate subfolder (e.g. part_1/, part_2/)");
  chk_subfolders->setChecked(true);
  spin_split_overlap = new QSpinBox;
  spin_split_overlap->setRange(0, 90);
  spin_split_overlap->setValue(0);
  spin_split_overlap->setSuffix(" %");
  spin_split_overlap->setToolTip(
      "Neighbouring tiles share this share of a tile, so objects on a "
      "cut appear whole in at least one tile");
  chk_split_labels = new QCheckBox("Carry YOLO labels (.txt beside each image)");
  chk_split_labels->setToolTip(
      "Each tile gets a label file with the shapes clipped to it; "
      "classes.txt is copied beside the tiles");
  spin_split_min_visible = new QDoubleSpinBox;
  spin_split_min_visible->setRange(0, 100);
  spin_split_min_visible->setDecimals(0);
  spin_split_min_visible->setSingleStep(5);
  spin_split_min_visible->setValue(25);
  spin_split_min_visible->setSuffix(" %");
  spin_split_min_visible->setToolTip(
      "A shape is kept in a tile when at least this share of its "
      "area lies inside the tile");
  spin_split_min_visible->setEnabled(false);
  connect(chk_split_labels, &QCheckBox::toggled, spin_split_min_visible,
          &QDoubleSpinBox::setEnabled);
  btn_split = new QPushButton(QStringLiteral("✂ SPLIT IMAGES"));
  btn_split->setObjectName("primaryBtn");
  connect(btn_split, &QPushButton::clicked, this, &SplitterTab::process_image_splitting);
  form->addRow("Number of Tile Parts:", spin_split_parts);
  form->addRow("Grid Layout Mode:", combo_grid_mode);
  form->addRow(chk_subfolders);
  form->addRow("Tile Overlap:", spin_split_overlap);
  form->addRow(chk_split_labels);
  form->addRow("Min. Visible Area of a Shape:", spin_split_min_visible);
  form->addRow(btn_split);
  layout->addWidget(params);
  layout->addStretch();

  update_splitter_grid_modes();
}

void SplitterTab::browse_into(QLineEdit* entry, const QString& caption) {
  const QString folder = orvane::ui::get_existing_directory(window(), caption);
  if (!folder.isEmpty()) entry->setText(folder);  // a cancelled chooser keeps the text
}

void SplitterTab::update_splitter_grid_modes() {
  combo_grid_mode->clear();
  for (const sp::Grid& grid : sp::grid_options(spin_split_parts->value()))
    combo_grid_mode->addItem(sp::grid_option_text(grid));
  combo_grid_mode->setCurrentIndex(0);
}

void SplitterTab::process_image_splitting() {
  const QString in_path = entry_split_in->text().trimmed();
  const QString out_path = entry_split_out->text().trimmed();
  if (in_path.isEmpty() || !QFileInfo::exists(in_path) || out_path.isEmpty()) {
    orvane::ui::warning(window(), "Error", "Specify valid Input and Output directories.");
    return;
  }
  sp::SplitOptions options;
  options.input_dir = in_path;
  options.output_dir = out_path;
  options.parts = spin_split_parts->value();
  const auto grid = sp::parse_grid_option(combo_grid_mode->currentText());
  if (!grid || grid->rows * grid->cols != options.parts) {
    orvane::ui::warning(window(), "Error", "Choose a grid layout for the number of tile parts.");
    return;
  }
  options.grid = *grid;
  options.use_subfolders = chk_subfolders->isChecked();
  options.overlap = spin_split_overlap->value();
  options.carry_labels = chk_split_labels->isChecked();
  options.min_visible = spin_split_min_visible->value() / 100.0;

  const QStringList files = sp::list_split_sources(in_path);
  if (files.isEmpty()) {
    orvane::ui::warning(window(), "No Images", "No images found in input folder.");
    return;
  }

  sp::SplitReport report;
  try {
    // The batch runs on the GUI thread; the wait cursor says the window is busy, not hung.
    orvane::ui::WaitCursor wait;
    report = sp::split_images(options, files);
  } catch (const std::exception& e) {
    orvane::ui::critical(
        window(), "Error",
        QStringLiteral("Splitting stopped: %1").arg(QString::fromLocal8Bit(e.what())));
    return;
  }

  if (report.tiles_written == 0 && report.has_problems()) {
    orvane::ui::warning(window(), "Splitting Failed",
                        "No tile parts were written.\n\n" + sp::problems_message(report));
    return;
  }
  orvane::ui::information(window(), "Splitting Success", sp::success_message(report));
  if (report.has_problems())
    orvane::ui::warning(window(), "Splitting Problems", sp::problems_message(report));
}
