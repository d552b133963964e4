#include "annotator/frame_extract_worker.h"

namespace orvane {

FrameExtractWorker::FrameExtractWorker(QString source, QString out, video::FrameOptions options, QObject* parent)
    : QThread(parent), source_(std::move(source)), out_(std::move(out)), options_(options) {}

void FrameExtractWorker::run() {
  try {
    report_ = video::extract_frames(source_.toStdString(), out_.toStdString(), options_, [this](int done, int total) {
      Q_EMIT progress_signal(done, total);
      return !stop_.load();
    });
  } catch (const std::exception& e) {
    // OpenCV's own errors deep in decoding or encoding: the run ends with the reason.
    report_.error = e.what();
  }
  Q_EMIT finished_signal(QString::fromStdString(report_.message()));
}

}  // namespace orvane
