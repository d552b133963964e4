#pragma once
// Auto-labels a folder on its own thread: the window stays responsive and shows progress, and the
// operator can stop between images. Reports only through queued signals with plain values.

#include <QStringList>
#include <QThread>
#include <atomic>
#include <memory>

#include "annotator/auto_label.h"

namespace orvane {

class AutoLabelWorker : public QThread {
  Q_OBJECT

 public:
  // `model` is shared with the tab, which must not predict with it until the worker has finished.
  AutoLabelWorker(std::shared_ptr<engine::YOLO> model, FolderLabelOptions options,
                  QObject* parent = nullptr);

  // Asks the run to stop after the image it is on (set once from the GUI thread).
  void request_stop() { stop_ = true; }
  const FolderLabelSummary& summary() const { return summary_; }  // after finished_signal

 Q_SIGNALS:
  void progress_signal(int done, int total, const QString& name);
  // The run ended (also when cancelled or refused: see summary().error); `text` is the summary.
  void finished_signal(const QString& text);

 protected:
  void run() override;

 private:
  std::shared_ptr<engine::YOLO> model_;
  FolderLabelOptions options_;
  std::atomic_bool stop_{false};
  FolderLabelSummary summary_;
};

}  // namespace orvane
