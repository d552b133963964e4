#include "interchange/convert_worker.h"

#include <exception>

namespace orvane::interchange {

ConvertWorker::ConvertWorker(ConvertRequest request, QObject* parent)
    : QThread(parent), request_(std::move(request)) {}

void ConvertWorker::run() {
  try {
    outcome_ = convert_dataset(
        request_,
        [this](int done, int total, const QString& name) {
          Q_EMIT progress_signal(done, total, name);
        },
        &stop_);
  } catch (const std::exception& e) {
    // A deep failure (out of memory on a huge file) ends this run, never the studio.
    outcome_ = ConvertOutcome{};
    outcome_.fatal = QString::fromLocal8Bit(e.what());
  }
  Q_EMIT finished_signal(outcome_.summary(request_));
}

}  // namespace orvane::interchange
