#include "resizer/resizer_tab.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>
#include <memory>

#include "resizer/resize_image.h"
#include "resizer/resize_settings.h"
#include "tasks/long_task.h"
#include "ui/dialogs.h"
#include "ui/task_progress_dialog.h"
#include "ui/info_label.h"
#include "widgets/zoomable_view.h"

namespace orvane::resizer {

using namespace orvane::resizer;

ResizerTab::ResizerTab(QWidget* parent) : QWidget(parent) {
  ui_.resize_task = new tasks::LongTask(this);
  setup_resizer_tab();
  connect(ui_.resize_task, &tasks::LongTask::progress_signal, this,
          [this](int done, int, const QString&) { ui_.progress_resizer->setValue(done); });
}

void ResizerTab::setup_resizer_tab() {
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(build_parameter_column());
  layout->addWidget(build_queue_column(), 1);

  connect(ui_.btn_add_files, &QPushButton::clicked, this, &ResizerTab::resizer_add_files);
  connect(ui_.btn_add_folder, &QPushButton::clicked, this, &ResizerTab::resizer_add_folder);
  connect(ui_.btn_clear_queue, &QPushButton::clicked, this, &ResizerTab::resizer_clear_queue);
  connect(ui_.list_resizer_queue, &QListWidget::itemSelectionChanged, this,
          &ResizerTab::resizer_update_preview);
  connect(ui_.btn_run_resizer, &QPushButton::clicked, this, &ResizerTab::resizer_process_batch);
}

// Left: the parameters.
QWidget* ResizerTab::build_parameter_column() {
  // Group titles double their "&": Qt would otherwise take it for a mnemonic and hide it.
  auto* params = new QGroupBox("Scaling && Quality Parameters");
  params->setFixedWidth(350);
  auto* params_layout = new QVBoxLayout(params);

  auto* dim_group = new QGroupBox("Dimension Controls");
  auto* dim = new QGridLayout(dim_group);
  ui_.chk_enable_dim = new QCheckBox("Enable Resizing");
  ui_.chk_enable_dim->setChecked(true);
  ui_.entry_resize_w = new QLineEdit;
  ui_.entry_resize_w->setObjectName("entry_resize_w");
  ui_.entry_resize_w->setPlaceholderText("Width");
  ui_.entry_resize_h = new QLineEdit;
  ui_.entry_resize_h->setObjectName("entry_resize_h");
  ui_.entry_resize_h->setPlaceholderText("Height");
  ui_.combo_unit = new QComboBox;
  ui_.combo_unit->setObjectName("combo_unit");
  ui_.combo_unit->addItems(unit_names());
  ui_.entry_dpi = new QLineEdit("300");
  ui_.entry_dpi->setObjectName("entry_dpi");
  ui_.chk_aspect_ratio = new QCheckBox("Lock Aspect Ratio");
  ui_.chk_aspect_ratio->setChecked(true);
  dim->addWidget(ui_.chk_enable_dim, 0, 0, 1, 2);
  dim->addWidget(create_info_label("Width:", "Target export width"), 1, 0);
  dim->addWidget(ui_.entry_resize_w, 1, 1);
  dim->addWidget(create_info_label("Height:", "Target export height"), 2, 0);
  dim->addWidget(ui_.entry_resize_h, 2, 1);
  dim->addWidget(create_info_label("Unit:", "Measurement unit"), 3, 0);
  dim->addWidget(ui_.combo_unit, 3, 1);
  dim->addWidget(create_info_label("Target DPI:", "Resolution target DPI"), 4, 0);
  dim->addWidget(ui_.entry_dpi, 4, 1);
  dim->addWidget(ui_.chk_aspect_ratio, 5, 0, 1, 2);
  params_layout->addWidget(dim_group);

  auto* comp_group = new QGroupBox("Quality && Compression Engine");
  auto* comp = new QFormLayout(comp_group);
  ui_.chk_enable_comp = new QCheckBox("Enable Target Size Constraint");
  ui_.entry_target_kb = new QLineEdit("500");
  comp->addRow(ui_.chk_enable_comp);
  comp->addRow("Max File Size (KB):", ui_.entry_target_kb);
  params_layout->addWidget(comp_group);

  auto* format_group = new QGroupBox("Format && Rotation");
  auto* format = new QFormLayout(format_group);
  ui_.combo_resizer_format = new QComboBox;
  ui_.combo_resizer_format->addItems({"Match Original", "JPEG", "PNG", "WEBP"});
  ui_.combo_resizer_rotate = new QComboBox;
  ui_.combo_resizer_rotate->addItems({"0°", "90°", "180°", "270°"});
  format->addRow("Export Format:", ui_.combo_resizer_format);
  format->addRow("Rotation:", ui_.combo_resizer_rotate);
  params_layout->addWidget(format_group);
  params_layout->addStretch();
  return params;
}

// Right: the queue, the preview and the batch.
QWidget* ResizerTab::build_queue_column() {
  auto* queue_group = new QGroupBox("Processing Queue && Live Analytics");
  auto* queue = new QVBoxLayout(queue_group);
  auto* buttons = new QHBoxLayout;
  ui_.btn_add_files = new QPushButton("+ Add Files");
  ui_.btn_add_files->setObjectName("btn_add_files");
  ui_.btn_add_folder = new QPushButton("+ Add Folder");
  ui_.btn_clear_queue = new QPushButton("Clear Queue");
  buttons->addWidget(ui_.btn_add_files);
  buttons->addWidget(ui_.btn_add_folder);
  buttons->addWidget(ui_.btn_clear_queue);
  queue->addLayout(buttons);
  ui_.chk_recursive = new QCheckBox("Include Subfolders recursively");
  queue->addWidget(ui_.chk_recursive);
  ui_.list_resizer_queue = new QListWidget;
  ui_.list_resizer_queue->setObjectName("list_resizer_queue");
  queue->addWidget(ui_.list_resizer_queue);
  ui_.lbl_queue_count = new QLabel("0 files in queue");
  queue->addWidget(ui_.lbl_queue_count);
  ui_.preview_resizer_view = new ZoomableView;
  ui_.preview_resizer_view->setFixedHeight(220);
  queue->addWidget(ui_.preview_resizer_view);
  ui_.lbl_resizer_details = new QLabel("Select an image from queue to preview expected output.");
  ui_.lbl_resizer_details->setAlignment(Qt::AlignCenter);
  queue->addWidget(ui_.lbl_resizer_details);
  ui_.progress_resizer = new QProgressBar;
  queue->addWidget(ui_.progress_resizer);
  ui_.btn_run_resizer = new QPushButton("⚡ RUN BATCH EXPORT");
  ui_.btn_run_resizer->setObjectName("primaryBtn");
  queue->addWidget(ui_.btn_run_resizer);
  return queue_group;
}

BatchInput ResizerTab::current_input() const {
  BatchInput input;
  input.resize_on = ui_.chk_enable_dim->isChecked();
  input.width_text = ui_.entry_resize_w->text();
  input.height_text = ui_.entry_resize_h->text();
  input.unit = ui_.combo_unit->currentText();
  input.dpi_text = ui_.entry_dpi->text();
  input.lock_aspect = ui_.chk_aspect_ratio->isChecked();
  input.rotation_text = ui_.combo_resizer_rotate->currentText();
  input.format_text = ui_.combo_resizer_format->currentText();
  input.budget_on = ui_.chk_enable_comp->isChecked();
  input.budget_text = ui_.entry_target_kb->text();
  return input;
}

void ResizerTab::resizer_add_files() {
  const QStringList paths = orvane::ui::get_open_file_names(
      window(), "Select Images", QString(), "Images (*.jpg *.jpeg *.png *.webp *.bmp)");
  append_unique(state_.resizer_queue, paths);
  resizer_update_queue_ui();
}

void ResizerTab::resizer_add_folder() {
  const QString folder = orvane::ui::get_existing_directory(window(), "Select Folder");
  if (folder.isEmpty()) return;
  append_unique(state_.resizer_queue, collect_folder(folder, ui_.chk_recursive->isChecked()));
  resizer_update_queue_ui();
}

void ResizerTab::resizer_clear_queue() {
  state_.resizer_queue.clear();
  resizer_update_queue_ui();
}

void ResizerTab::resizer_update_queue_ui() {
  ui_.list_resizer_queue->clear();
  for (const QString& path : state_.resizer_queue)
    ui_.list_resizer_queue->addItem(QFileInfo(path).fileName());
  ui_.lbl_queue_count->setText(QString("%1 files in queue").arg(state_.resizer_queue.size()));
}

void ResizerTab::resizer_update_preview() {
  const int row = ui_.list_resizer_queue->currentRow();
  if (row < 0 || row >= state_.resizer_queue.size()) return;
  const QString path = state_.resizer_queue[row];
  auto show_error = [this](const QString& why) {
    ui_.lbl_resizer_details->setText("Preview Error: " + why);
  };

  const auto size = displayed_size(path);
  if (!size) return show_error(size.error());
  const qint64 bytes = QFileInfo(path).size();
  const auto dpi = parse_dpi(ui_.entry_dpi->text());
  if (!dpi) return show_error(dpi.error());
  const auto rotation = parse_rotation(ui_.combo_resizer_rotate->currentText());
  if (!rotation) return show_error(rotation.error());

  SizeSettings settings;
  settings.resize_on = ui_.chk_enable_dim->isChecked();
  settings.width_text = ui_.entry_resize_w->text().trimmed();
  settings.height_text = ui_.entry_resize_h->text().trimmed();
  settings.unit = ui_.combo_unit->currentText();
  settings.lock_aspect = ui_.chk_aspect_ratio->isChecked();
  settings.rotation = *rotation;
  const auto target = target_size(*size, settings, *dpi, true);
  if (!target) return show_error(target.error());

  const QImage thumbnail = load_thumbnail(path, QSize(240, 140));
  if (thumbnail.isNull()) return show_error("cannot load the picture");
  ui_.preview_resizer_view->set_image(QPixmap::fromImage(thumbnail));
  ui_.lbl_resizer_details->setText(preview_details(*target, *dpi, bytes));
}

void ResizerTab::resizer_process_batch() {
  if (state_.resizer_queue.isEmpty()) return;
  if (ui_.resize_task->running()) {
    orvane::ui::information(window(), "Batch Running",
                            "A resize batch is still running: wait for it or cancel it.");
    return;
  }
  // Everything that does not depend on an image is checked before the operator picks a folder,
  // so a typo never leaves half a batch behind.
  const auto options = read_batch_options(current_input());
  if (!options) {
    orvane::ui::warning(window(), "Invalid Settings",
                        options.error() + "\n\nNothing was exported.");
    return;
  }
  const QString output = orvane::ui::get_existing_directory(window(), "Select Output Directory");
  if (output.isEmpty()) return;

  const QStringList queue = state_.resizer_queue;
  ui_.progress_resizer->setRange(0, int(queue.size()));
  ui_.progress_resizer->setValue(0);
  ui_.btn_run_resizer->setEnabled(false);
  auto summary = std::make_shared<BatchSummary>();
  const BatchOptions batch_options = *options;
  ui_.resize_task->start(
      [queue, output, batch_options, summary](tasks::TaskControl& control) {
        *summary = run_batch(
            queue, output, batch_options,
            [&control, total = int(queue.size())](const FileOutcome& r, int done) {
              if (!r.ok) {
                std::fputs(qPrintable(error_line(r) + "\n"), stdout);
                std::fflush(stdout);
              }
              control.report(done, total, QFileInfo(r.source).fileName());
            },
            0, control.stop_flag());
      },
      [this, summary](const tasks::TaskEnd& end) {
        ui_.btn_run_resizer->setEnabled(true);
        ui_.progress_resizer->setValue(summary->processed);
        if (!end.error.isEmpty()) {
          orvane::ui::critical(window(), "Export Failed", "The batch stopped: " + end.error);
          return;
        }
        const QString text = closing_message(*summary);
        if (summary->failures.empty() && summary->over_budget.empty() && !summary->cancelled)
          orvane::ui::information(window(), "Export Complete", text);
        else
          orvane::ui::warning(window(), summary->cancelled ? "Export Cancelled" : "Export Complete",
                              text);
      });
  orvane::ui::TaskProgressDialog::follow(ui_.resize_task, "Resizing", window());
}

}  // namespace orvane::resizer
