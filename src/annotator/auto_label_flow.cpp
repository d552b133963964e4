#include "annotator/auto_label_flow.h"

#include <QFileInfo>
#include <QWidget>
#include <memory>

#include "annotator/annotation_document.h"
#include "tasks/long_task.h"
#include "ui/dialogs.h"
#include "ui/task_progress_dialog.h"
#include "ui/wait_cursor.h"

namespace orvane {

AutoLabelFlow::AutoLabelFlow(QWidget* host, AnnotationDocument* document, Hooks hooks)
    : QObject(host),
      host_(host),
      document_(document),
      hooks_(std::move(hooks)),
      task_(new tasks::LongTask(this)) {}

AutoLabelFlow::~AutoLabelFlow() = default;  // the task stops and waits for its work

bool AutoLabelFlow::running() const { return task_->running(); }

QWidget* AutoLabelFlow::window() const { return host_->window(); }

void AutoLabelFlow::choose_model() {
  const QString path = ui::get_open_file_name(
      window(), "Load YOLO AI Model", {},
      "PyTorch Weights (*.pt);;Exported Models (*.onnx *.torchscript);;All Files (*)");
  if (path.isEmpty()) return;
  if (running()) return;  // the running folder job uses the loaded model
  if (!load_model_file(path)) return;
  ui::information(window(), "AI Model Loaded", "Loaded model: " + QFileInfo(path).fileName());
}

bool AutoLabelFlow::load_model_file(const QString& path) {
  std::optional<Result<AutoLabelModel>> loaded;
  {
    ui::WaitCursor wait;  // gone before the box below
    loaded.emplace(AutoLabelModel::load(path));
  }
  if (!*loaded) {
    // The previous model (if any) stays loaded.
    ui::critical(
        window(), "Error",
        "Could not load the model " + QFileInfo(path).fileName() + ":\n" + loaded->error());
    return false;
  }
  model_ = std::move(loaded->value());
  Q_EMIT model_loaded();
  return true;
}

void AutoLabelFlow::label_current_image(double conf, const engine::SliceOptions& slice) {
  const QString path = hooks_.current_image();
  if (!model_ || path.isEmpty() || running()) return;
  FrameLabels labels;
  QString error;
  {
    ui::WaitCursor wait;
    Result<FrameLabels> predicted = model_->label_frame(path, conf, slice);
    if (!predicted) {
      error = predicted.error();
    } else {
      labels = std::move(*predicted);
    }
    if (error.isEmpty() && labels.detections > 0) {
      if (!document_->has_image())
        error = "the current image is not shown";
      else if (!labels.shapes.empty()) {
        // One step for the whole frame: one undo takes every predicted shape back.
        if (const Result<> added = document_->add_shapes(labels.shapes, "Auto-label frame"); !added)
          error = added.error();
      }
    }
  }
  if (!error.isEmpty()) {
    ui::critical(window(), "AI Error", "An error occurred during auto-labeling:\n" + error);
  } else if (labels.detections == 0) {
    ui::information(window(), "AI Assist", "No objects detected at current confidence threshold.");
  } else {
    ui::information(
        window(), "AI Success",
        "Successfully auto-labeled " + QString::number(labels.detections) + " object(s).");
  }
}

void AutoLabelFlow::label_folder(double conf, const engine::SliceOptions& slice) {
  const QString folder = hooks_.folder();
  if (!model_ || folder.isEmpty() || running()) return;
  // The run skips labelled images; what is on screen is written first so it counts as labelled.
  if (!hooks_.save_current()) return;

  FolderLabelOptions options;
  options.folder = folder;
  options.conf = conf;
  options.slice = slice;
  auto summary = std::make_shared<Result<FolderLabelSummary>>(fail(QString()));
  // The run writes label files of the folder on screen: until it ends the tab takes no edits (the
  // progress window stays usable), so nothing drawn meanwhile races a file the run writes.
  host_->setEnabled(false);
  task_->start(
      [model = *model_, options, summary](tasks::TaskControl& control) {
        *summary = model.label_folder(
            options,
            [&control](int done, int total, const QString& name) {
              control.report(done, total, name);
            },
            control.stop_flag());
      },
      [this, summary](const tasks::TaskEnd&) {
        host_->setEnabled(true);
        const Result<FolderLabelSummary>& ran = *summary;
        const QString text = ran ? folder_summary_text(*ran) : ran.error();
        if (ran) {
          // The run may have appended classes and written label files: show what is on disk.
          hooks_.folder_labelled(ran->classes);
          ui::information(window(), "Auto-Label Folder", text);
        } else {
          ui::critical(window(), "AI Error", "An error occurred during auto-labeling:\n" + text);
        }
        Q_EMIT folder_finished(text);
      });
  ui::TaskProgressDialog::follow(task_, "Auto-Label Folder", window());
}

}  // namespace orvane
