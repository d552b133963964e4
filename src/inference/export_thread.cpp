#include "inference/export_thread.h"

#include <exception>

#include "engine/compute_thread.h"
#include "engine/exporter.h"
#include "inference/inference_core.h"

namespace orvane::inference {

ExportThread::ExportThread(const QString& model_path, const QString& format_str,
                           const QString& export_dir, QObject* parent)
    : QThread(parent), model_path_(model_path), format_(format_str), export_dir_(export_dir) {}

void ExportThread::run() {
  // The thread's one boundary: every failure below becomes the one error_signal of this run.
  try {
    // On the engine's compute thread, where prediction runs too (see compute_thread.h).
    const auto written = orvane::engine::run_on_compute_thread([&] {
      return orvane::engine::export_model(
          {.weights = model_path_.toStdString(), .format = format_.toStdString()});
    });
    const auto placed = orvane::inference::place_exported_item(
        QString::fromStdString(written.string()), export_dir_);
    if (placed) {
      Q_EMIT finished_signal(*placed);
    } else {
      Q_EMIT error_signal(placed.error());
    }
  } catch (const std::exception& e) {
    Q_EMIT error_signal(QString::fromUtf8(e.what()));
  }
}

}  // namespace orvane::inference
