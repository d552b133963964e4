#include "annotator/auto_label_model.h"

#include <exception>

#include "engine/yolo.h"

namespace orvane {

Result<AutoLabelModel> AutoLabelModel::load(const QString& path) {
  try {
    return AutoLabelModel(load_autolabel_model(path), path);
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
}

Result<FrameLabels> AutoLabelModel::label_frame(const QString& image_path, double conf,
                                                const engine::SliceOptions& slice) const {
  try {
    return auto_label_frame(*model_, image_path, conf, slice);
  } catch (const std::exception& e) {
    // The engine fails deep inside (a model that does not fit the picture, LibTorch itself).
    return fail(QString::fromUtf8(e.what()));
  }
}

Result<FolderLabelSummary> AutoLabelModel::label_folder(
    const FolderLabelOptions& options,
    const std::function<void(int, int, const QString&)>& progress,
    const std::atomic_bool* stop) const {
  return auto_label_folder_on_worker(*model_, options, progress, stop);
}

}  // namespace orvane
