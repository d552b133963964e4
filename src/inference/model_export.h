#pragma once
// Converting a weights file into a deployment format and placing it in the export folder: one
// call, meant for a worker thread (the inference tab runs it on a tasks::LongTask), since a
// conversion takes seconds to minutes.

#include <QString>

#include "files/result.h"

namespace orvane::inference {

// What an export was asked to do.
struct ExportRequest {
  QString model_path;  // weights file to export
  QString format;      // format name: onnx, engine, openvino, torchscript, coreml
  QString export_dir;  // export folder
};

// Exports `request.model_path` on the engine's compute thread and moves the result into
// `request.export_dir` (place_exported_item). The path of the item inside the export folder, or
// the reason it is not there: a file that is no checkpoint, a format without its toolchain, a
// folder that cannot be written. Never throws.
Result<QString> export_into_folder(const ExportRequest& request);

}  // namespace orvane::inference
