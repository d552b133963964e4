#pragma once
// A model loaded for auto-labelling with the engine behind it: the annotator holds one of these
// and never an engine type, so its tab compiles without LibTorch's headers. Copies share the one
// loaded model; a worker thread takes a copy, and the window must not label with the model while
// the worker runs.

#include <QString>
#include <atomic>
#include <functional>
#include <memory>

#include "annotator/auto_label.h"
#include "files/result.h"

namespace orvane {

class AutoLabelModel {
 public:
  // Our .pt checkpoint, or an exported .onnx / .torchscript file; fails with the engine's reason.
  static Result<AutoLabelModel> load(const QString& path);

  // The shapes of the image at `image_path` (auto_label_frame); fails with the engine's reason
  // (a picture that does not decode, a model that does not fit it, LibTorch itself).
  Result<FrameLabels> label_frame(const QString& image_path, double conf,
                                  const engine::SliceOptions& slice = {}) const;

  // Labels a folder on the calling thread, meant to be a worker (auto_label_folder_on_worker).
  Result<FolderLabelSummary> label_folder(
      const FolderLabelOptions& options,
      const std::function<void(int, int, const QString&)>& progress,
      const std::atomic_bool* stop) const;

  // The file it was loaded from.
  const QString& path() const { return path_; }

 private:
  AutoLabelModel(std::shared_ptr<engine::YOLO> model, QString path)
      : model_(std::move(model)), path_(std::move(path)) {}
  std::shared_ptr<engine::YOLO> model_;
  QString path_;
};

}  // namespace orvane
