#include "inference/model_export.h"

#include <exception>

#include "engine/compute_thread.h"
#include "engine/exporter.h"
#include "inference/inference_core.h"

namespace orvane::inference {

Result<QString> export_into_folder(const ExportRequest& request) {
  // The one boundary between the engine's exceptions and the window's results.
  try {
    // On the engine's compute thread, where prediction runs too (see compute_thread.h).
    const auto written = engine::run_on_compute_thread([&] {
      return engine::export_model(
          {.weights = request.model_path.toStdString(), .format = request.format.toStdString()});
    });
    return place_exported_item(QString::fromStdString(written.string()), request.export_dir);
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
}

}  // namespace orvane::inference
