#pragma once
// Reviews a folder on its own thread: loads the model once, streams the images, and reports
// through queued signals with plain values; the operator can stop between images.

#include <QString>
#include <QThread>
#include <atomic>

#include "review/review.h"

namespace orvane::review {

class ReviewWorker : public QThread {
  Q_OBJECT

 public:
  ReviewWorker(QString model_path, ReviewOptions options, QObject* parent = nullptr);

  void request_stop() { stop_ = true; }
  // After finished_signal: the report (its `error` says why a run did not start).
  ReviewReport take_report() { return std::move(report_); }

 Q_SIGNALS:
  void progress_signal(int done, int total, const QString& name);
  void finished_signal();

 protected:
  void run() override;

 private:
  QString model_path_;
  ReviewOptions options_;
  std::atomic_bool stop_{false};
  ReviewReport report_;
};

}  // namespace orvane::review
