#pragma once
// Extracts a video's frames into a folder on its own thread: the window stays responsive and
// shows progress, and Cancel stops after the current frame (what was written stays, listed in
// frames.json). Reports only through queued signals with plain values.

#include <QString>
#include <QThread>
#include <atomic>

#include "video/frame_extract.h"

namespace orvane {

class FrameExtractWorker : public QThread {
  Q_OBJECT

 public:
  FrameExtractWorker(QString source, QString out, video::FrameOptions options, QObject* parent = nullptr);
  void request_stop() { stop_ = true; }
  const video::FrameReport& report() const { return report_; }  // after finished_signal

 Q_SIGNALS:
  void progress_signal(int done, int total);
  void finished_signal(const QString& message);

 protected:
  void run() override;

 private:
  QString source_, out_;
  video::FrameOptions options_;
  std::atomic_bool stop_{false};
  video::FrameReport report_;
};

}  // namespace orvane
