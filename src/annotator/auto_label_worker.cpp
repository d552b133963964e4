#include "annotator/auto_label_worker.h"

#include "engine/compute_thread.h"
#include "engine/yolo.h"

namespace orvane {

AutoLabelWorker::AutoLabelWorker(std::shared_ptr<engine::YOLO> model, FolderLabelOptions options,
                                 QObject* parent)
    : QThread(parent), model_(std::move(model)), options_(std::move(options)) {}

void AutoLabelWorker::run() {
  // Predictions hop to the engine's compute thread; whatever tensors this thread touches itself
  // stay on it (see compute_thread.h).
  engine::use_one_compute_thread();
  try {
    summary_ = auto_label_folder(
        *model_, options_,
        [this](int done, int total, const QString& name) {
          Q_EMIT progress_signal(done, total, name);
        },
        &stop_);
  } catch (const std::exception& e) {
    // Deep failures (the folder vanished, memory): the run ends with the reason.
    summary_.error = QString::fromUtf8(e.what());
  }
  Q_EMIT finished_signal(summary_.error.isEmpty() ? folder_summary_text(summary_) : summary_.error);
}

}  // namespace orvane
