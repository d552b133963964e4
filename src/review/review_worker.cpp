#include "review/review_worker.h"

#include "annotator/auto_label.h"
#include "engine/yolo.h"

namespace orvane::review {

ReviewWorker::ReviewWorker(QString model_path, ReviewOptions options, QObject* parent)
    : QThread(parent), model_path_(std::move(model_path)), options_(std::move(options)) {}

void ReviewWorker::run() {
  try {
    const std::shared_ptr<engine::YOLO> model = load_autolabel_model(model_path_);
    report_ = review_images(
        *model, options_,
        [this](int done, int total, const QString& name) {
          Q_EMIT progress_signal(done, total, name);
        },
        &stop_);
  } catch (const std::exception& e) {
    // A model that does not load (or a deep engine failure) ends the run with its reason.
    report_ = {};
    report_.error = QString::fromUtf8(e.what()).section(QLatin1Char('\n'), 0, 0);
  }
  Q_EMIT finished_signal();
}

}  // namespace orvane::review
