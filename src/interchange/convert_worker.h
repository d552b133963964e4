#pragma once
// Runs one conversion on its own thread, so the studio stays responsive and shows progress.
// Reports only through queued signals with plain values.

#include <QThread>
#include <atomic>

#include "interchange/convert.h"

namespace orvane::interchange {

class ConvertWorker : public QThread {
  Q_OBJECT

 public:
  explicit ConvertWorker(ConvertRequest request, QObject* parent = nullptr);

  // Asks the conversion to stop between images (set from the GUI thread).
  void request_stop() { stop_ = true; }
  const ConvertRequest& request() const { return request_; }
  const ConvertOutcome& outcome() const { return outcome_; }  // after finished_signal

 Q_SIGNALS:
  void progress_signal(int done, int total, const QString& name);
  // The conversion ended (written, refused or cancelled: see outcome()).
  void finished_signal(const QString& summary);

 protected:
  void run() override;

 private:
  ConvertRequest request_;
  std::atomic_bool stop_{false};
  ConvertOutcome outcome_;
};

}  // namespace orvane::interchange
