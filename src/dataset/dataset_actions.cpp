#include "dataset/dataset_actions.h"

#include <QDialog>
#include <QGuiApplication>
#include <exception>
#include <memory>

#include "dataset/class_counts.h"
#include "dataset/class_distribution_dialog.h"
#include "dataset/dataset_split.h"
#include "dataset/health_check.h"
#include "dataset/split_config_dialog.h"
#include "ui/dialogs.h"
#include "tasks/long_task.h"
#include "ui/task_progress_dialog.h"

namespace orvane::dataset {

namespace ds = orvane::dataset;
namespace ui = orvane::ui;

namespace {

// The action's task: one per kind and parent, so the same batch cannot start twice at once.
tasks::LongTask* task_of(QWidget* parent, const QString& name) {
  if (auto* task = parent->findChild<tasks::LongTask*>(name, Qt::FindDirectChildrenOnly))
    return task;
  auto* task = new tasks::LongTask(parent);
  task->setObjectName(name);
  return task;
}

bool refuse_if_running(QWidget* parent, tasks::LongTask* task, const QString& title) {
  if (!task->running()) return false;
  ui::information(parent, title, title + " is still running: wait for it or cancel it.");
  return true;
}

}  // namespace

void run_health_check(QWidget* parent, const QString& image_folder) {
  if (image_folder.isEmpty()) {
    ui::information(parent, "Health Check", "Please load a dataset folder first.");
    return;
  }
  tasks::LongTask* task = task_of(parent, "health_check_task");
  if (refuse_if_running(parent, task, "Health Check")) return;
  auto result = std::make_shared<ds::HealthResult>(ds::HealthReport{});
  task->start(
      [image_folder, result](tasks::TaskControl& control) {
        *result = ds::check_dataset_health(
            image_folder, [&control](int done, int total) { control.report(done, total); },
            control.stop_flag());
      },
      [parent, image_folder, result](const tasks::TaskEnd& end) {
        if (!end.error.isEmpty()) {
          ui::critical(parent, "Health Check", "The health check stopped: " + end.error);
        } else if (!*result) {
          ui::warning(parent, "Health Check",
                      "Cannot list the dataset folder:\n" + image_folder + "\n\n" +
                          result->error());
        } else if ((*result)->cancelled) {
          ui::information(parent, "Health Check",
                          QString("Health check cancelled after %1 of %2 label files; no report.")
                              .arg((*result)->labels_checked)
                              .arg((*result)->labels_total));
        } else {
          ui::information(parent, "Health Check", ds::format_health_report(**result));
        }
      });
  ui::TaskProgressDialog::follow(task, "Health Check", parent->window());
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
  tasks::LongTask* task = task_of(parent, "export_split_task");
  if (refuse_if_running(parent, task, "Export and Split")) return;
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

  auto result = std::make_shared<ds::ExportResult>();
  const int total = int(pairs.size());
  task->start(
      [pairs = std::move(pairs), classes, request, result](tasks::TaskControl& control) {
        *result = ds::export_split(
            pairs, classes, request, [&control](int done, int n) { control.report(done, n); },
            control.stop_flag());
      },
      [parent, request, result, total](const tasks::TaskEnd& end) {
        const QString failure = !end.error.isEmpty() ? end.error : result->status.error();
        const QString kept = "\n\nFiles already written to " + request.output_dir +
                             " were left in place; data.yaml was not written.";
        if (!failure.isEmpty()) {
          ui::critical(parent, "Error", "The export stopped: " + failure + kept);
        } else if (result->cancelled) {
          ui::warning(parent, "Export Cancelled",
                      QString("The export was cancelled after %1 of %2 images.")
                              .arg(result->copied)
                              .arg(total) +
                          kept);
        } else {
          ui::information(parent, "Export Complete",
                          "Exported dataset successfully to:\n" + request.output_dir);
        }
      });
  ui::TaskProgressDialog::follow(task, "Export and Split", parent->window());
}

}  // namespace orvane::dataset
