#include "dataset/dataset_actions.h"

#include <QDialog>
#include <QGuiApplication>
#include <exception>

#include "dataset/class_counts.h"
#include "dataset/class_distribution_dialog.h"
#include "dataset/dataset_split.h"
#include "dataset/health_check.h"
#include "dataset/split_config_dialog.h"
#include "ui/dialogs.h"
#include "ui/wait_cursor.h"

namespace orvane::dataset {

namespace ds = orvane::dataset;
namespace ui = orvane::ui;

using orvane::ui::WaitCursor;

void run_health_check(QWidget* parent, const QString& image_folder) {
  if (image_folder.isEmpty()) {
    ui::information(parent, "Health Check", "Please load a dataset folder first.");
    return;
  }
  const ds::HealthResult result = [&] {
    WaitCursor wait;
    return ds::check_dataset_health(image_folder);
  }();
  if (!result) {
    ui::warning(parent, "Health Check",
                "Cannot list the dataset folder:\n" + image_folder + "\n\n" + result.error());
    return;
  }
  ui::information(parent, "Health Check", ds::format_health_report(*result));
}

void show_dataset_analytics(QWidget* parent, const QStringList& image_paths,
                            const QStringList& classes) {
  if (image_paths.isEmpty()) {
    ui::information(parent, "Analytics", "Load a dataset first.");
    return;
  }
  const ds::ClassCounts counts = ds::count_classes(image_paths, classes);
  const QString note = ds::skipped_note(counts);
  if (counts.counts.empty()) {
    QString text = "No objects annotated yet.";
    if (!note.isEmpty()) text += "\n\n" + note;
    ui::information(parent, "Analytics", text);
    return;
  }
  ClassDistributionDialog dialog(ds::sorted_by_count(counts.counts), note, parent);
  dialog.add_statistics_button(image_paths, classes);
  ui::exec_dialog(dialog);
}

void export_and_split_dataset(QWidget* parent, const QStringList& image_paths,
                              const QStringList& classes) {
  if (image_paths.isEmpty()) return;
  ds::ExportRequest request;
  {
    SplitConfigDialog dialog(parent);
    if (ui::exec_dialog(dialog) != QDialog::Accepted) return;
    const auto [train, val, test] = dialog.get_ratios();
    request.train_ratio = train;
    request.val_ratio = val;  // test takes whatever train and val leave
    request.format = dialog.get_format() == "Detection" ? ds::LabelFormat::Detection
                                                        : ds::LabelFormat::Segmentation;
  }
  request.output_dir = ui::get_existing_directory(parent, "Select Output Directory");
  if (request.output_dir.isEmpty()) return;

  std::vector<ds::LabeledImage> pairs = ds::annotated_pairs(image_paths);
  if (pairs.empty()) {
    ui::warning(parent, "No Annotations", "No annotated files found to split.");
    return;
  }
  ds::shuffle_pairs(pairs, std::nullopt);

  QString failure;
  try {
    WaitCursor wait;
    failure = ds::export_split(pairs, classes, request).status.error();
  } catch (const std::exception& e) {
    failure = QString::fromLocal8Bit(e.what());
  }
  if (!failure.isEmpty()) {
    ui::critical(parent, "Error",
                 "The export stopped: " + failure + "\n\nFiles already written to " +
                     request.output_dir + " were left in place; data.yaml was not written.");
    return;
  }
  ui::information(parent, "Export Complete",
                  "Exported dataset successfully to:\n" + request.output_dir);
}

}  // namespace orvane::dataset
