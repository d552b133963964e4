#pragma once
// Auto-labelling with a trained model: the shapes a prediction gives for one image, and the
// labelling of a whole folder (used by the annotator and `orvane autolabel`).
// No widgets: the tab applies the shapes of one frame as one undoable step.

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "annotator/annotation_document.h"
#include "engine/slice_options.h"

namespace orvane::engine {
class YOLO;
struct Results;
}  // namespace orvane::engine

namespace orvane {

// A loaded model: our .pt checkpoint, or an exported .onnx / .torchscript file. Throws
// engine::EngineError (a std::exception) naming the reason when the file does not load.
std::shared_ptr<engine::YOLO> load_autolabel_model(const QString& path);

struct FrameLabels {
  std::vector<NewShape> shapes;  // image pixels, in the model's order
  int detections = 0;            // the number of boxes the model reported
};

// Shapes from one prediction: with masks, one "AI Polygon" per (outline, box) pair, stopping at
// the shorter list, vertices exactly the outline's points; without, one "AI Rectangle" per box
// with the corners (x1,y1) (x2,y1) (x2,y2) (x1,y2). Labels are the model's class names.
FrameLabels shapes_from_result(const engine::Results& result);

// The size a model predicts at: the training size its checkpoint records, else 640.
int model_imgsz(const engine::YOLO& model);

// Predicts on the image file at `image_path` with confidence `conf` (quietly), at the model's
// own size (or on its tiles with `slice`). Throws on a prediction error (an image that does not
// decode, a broken model).
FrameLabels auto_label_frame(engine::YOLO& model, const QString& image_path, double conf,
                             const engine::SliceOptions& slice = {});

// ---- A whole folder ----

struct FolderLabelOptions {
  QString folder;
  double conf = 0.25;
  int imgsz = 0;  // 0: the model's own size (model_imgsz)
  engine::SliceOptions slice;  // enabled: predict each image on overlapping tiles
};

struct FolderLabelSummary {
  int total = 0;            // images in the folder
  int labelled = 0;         // label files written
  int skipped = 0;          // images that already had a label file (never touched)
  int empty = 0;            // images on which nothing was detected (no file written)
  QStringList failures;     // "name: reason", one per image that could not be labelled
  QStringList new_classes;  // names appended to classes.txt
  QStringList classes;      // the class list at the end
  bool cancelled = false;
};

// Labels every image of `options.folder` that has no label file yet: predicts, appends new class
// names to classes.txt (written atomically before the first label that uses them), and writes
// each label file atomically in the annotator's format. The next image is decoded while one
// predicts. `progress(done, total, name)` is called after each image; `stop` is read between
// images. Never throws for one image's failure: it is listed and the run goes on. Fails when the
// run cannot start (classes.txt unreadable).
Result<FolderLabelSummary> auto_label_folder(engine::YOLO& model, const FolderLabelOptions& options,
                                     const std::function<void(int, int, const QString&)>& progress,
                                     const std::atomic_bool* stop = nullptr);

// auto_label_folder as a worker thread runs it: predictions hop to the engine's compute thread
// (whatever tensors this thread touches itself stay on it), and a deep failure (the folder
// vanished, memory) fails the run with its reason instead of escaping.
Result<FolderLabelSummary> auto_label_folder_on_worker(
    engine::YOLO& model, const FolderLabelOptions& options,
    const std::function<void(int, int, const QString&)>& progress, const std::atomic_bool* stop);

// The closing message: "Labelled 8 image(s); 2 already had labels; 1 with no objects; 1 failed:
// ..." (at most ten failures listed).
QString folder_summary_text(const FolderLabelSummary& summary);

}  // namespace orvane
