#pragma once

#include <QString>
#include <QThread>

namespace orvane::inference {

// Converts a weights file into a deployment format on its own thread (a conversion takes seconds
// to minutes) and puts the result into the export folder. Emits exactly one of the two signals
// per run; the texts are plain values, so they cross to the GUI thread queued.
class ExportThread : public QThread {
  Q_OBJECT

 public:
  ExportThread(const QString& model_path, const QString& format_str, const QString& export_dir,
               QObject* parent = nullptr);

  const QString& model_path() const { return model_path_; }
  const QString& format() const { return format_; }
  const QString& export_dir() const { return export_dir_; }

 Q_SIGNALS:
  void finished_signal(const QString& path);  // the item's path inside the export folder
  void error_signal(const QString& message);

 protected:
  void run() override;

 private:
  const QString model_path_;  // weights file to export
  const QString format_;      // format name: onnx, engine, openvino, torchscript, coreml
  const QString export_dir_;  // export folder
};

}  // namespace orvane::inference
