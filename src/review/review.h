#pragma once
// Label review: a trained model's predictions set against an image's labels, turned into
// findings (what may be wrong with the labels) and a score that orders images worst first.
// Widget-free; shared by `orvane review`, the annotator's review list and the tests.
//
// Matching, per image, in this order (each label and prediction is used at most once):
//   1. duplicates: a label overlapping an earlier label of its class at IoU >= kDuplicateIou is
//      a "duplicate" and takes no further part;
//   2. validation's own rule (engine metrics: assign_predictions at IoU 0.5, the first of the
//      0.50:0.95 thresholds): predictions most confident first, each taking the unmatched label of
//      its class it overlaps most. These pairs are fine, unless...
//   3. a label still free, overlapped at IoU >= 0.5 by a free prediction of another class:
//      "class disagreement";
//   4. a label still free, overlapped at IoU >= kLooseMinIou by a free prediction of its class:
//      "loose outline" (validation counts it as missed: the IoU is under 0.5);
//   5. labels still free: "missed"; predictions still free: "possibly unlabelled".
// So every label that validation's recall at IoU 0.5 misses shows up as missed, loose outline or
// class disagreement, and nothing is reported twice.
//
// IoU is box IoU (engine box_iou) for detection models and mask IoU (engine mask_iou, shapes
// rasterised on one grid) for segmentation models. Only predictions at or above the confidence
// threshold take part.

#include <QPolygonF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "engine/slice_options.h"
#include "files/result.h"

namespace orvane::engine {
class YOLO;
struct Results;
}  // namespace orvane::engine

namespace orvane::review {

enum class Kind { Unreadable, Duplicate, ClassDisagreement, Unlabelled, LooseOutline, Missed };

// The one table of what the user reads: CSV, the command's summary and the review list all take
// their words from here.
struct KindInfo {
  Kind kind;
  const char* name;     // "possibly unlabelled"
  const char* meaning;  // one line for tooltips and help
};
const std::array<KindInfo, 6>& kind_table();
QString kind_name(Kind kind);
QString kind_meaning(Kind kind);
std::optional<Kind> kind_from_name(const QString& name);

// Two labels of one class overlapping this much are one object labelled twice. The model's own
// NMS suppresses same-class boxes above 0.7, so above it the model can never confirm both.
inline constexpr float kDuplicateIou = 0.7f;
// The IoU under which a matched shape is a loose outline: 0.5, the threshold at which validation
// stops counting a prediction as finding the object, so a loose outline is exactly a label the
// model locates but that recall at 0.5 counts as missed. Careful annotators already disagree at
// 0.6-0.8 on small objects, so a higher level would bury real mistakes under that noise.
inline constexpr float kLooseIou = 0.5f;
// A prediction overlapping a label less than this is about something else, not a loose outline.
inline constexpr float kLooseMinIou = 0.1f;

// One label of an image, in image pixels.
struct LabelObject {
  int line = 0;  // 1-based line of the label file
  int class_id = 0;
  QPolygonF points;  // a box as its four corners
};

// One prediction, in image pixels.
struct Prediction {
  int class_id = 0;
  float conf = 0;
  QRectF box;
  QPolygonF outline;  // segmentation models: the mask's outline; empty for detection
};

struct Finding {
  Kind kind = Kind::Missed;
  int label = -1;       // index into the image's labels (its line is labels[label].line)
  int prediction = -1;  // index into the image's predictions
  int line = 0;         // label line, 0 when none
  int class_id = -1;    // the label's class, else the prediction's
  int other_class = -1;  // class disagreement: the prediction's class
  float conf = 0;       // the prediction's confidence, 0 when none
  float iou = 0;        // the IoU the finding rests on, 0 when none
  QRectF box;           // the label's bounding box, else the prediction's
  double score = 0;     // 0..1: how likely this is a labelling mistake
  QString detail;       // unreadable: the reason
};

struct MatchOptions {
  float conf = 0.25f;
  bool masks = false;  // compare outlines as masks (segmentation models)
};

// The findings of one image, strongest first. `size` is the image's size in pixels.
std::vector<Finding> match_image(const std::vector<LabelObject>& labels,
                                 const std::vector<Prediction>& predictions, QSize size,
                                 const MatchOptions& options = {});

// An image's score: its strongest finding's score plus a tenth of the others', so one certain
// mistake outranks a handful of faint doubts, and among equals more findings rank first.
double image_score(const std::vector<Finding>& findings);

struct ImageReview {
  QString image_path;
  QString label_path;
  QSize size;
  std::vector<LabelObject> labels;
  std::vector<Prediction> predictions;  // kept so edited labels re-match without inference
  std::vector<Finding> findings;        // strongest first
  double score = 0;
};

// Re-matches `image` against new labels (after an edit) with its cached predictions.
void rematch(ImageReview& image, std::vector<LabelObject> labels, const MatchOptions& options);

// ---- Reading labels and predictions ----

// Reads the label file at `path` with the annotator's reader, line by line (a missing file is an
// image without labels). Line numbers count every line of the file. Fails when the file cannot be
// read or holds a line that is not a label ("line 3: ...").
Result<std::vector<LabelObject>> read_labels(const QString& path, int class_count, QSize size);

// The predictions of one engine result.
std::vector<Prediction> predictions_from(const engine::Results& result);

// ---- A whole folder ----

struct ReviewOptions {
  QString folder;     // an annotator folder (images, label files beside them, classes.txt)
  QString data_yaml;  // or a data.yaml and one of its splits
  QString split = QStringLiteral("val");
  float conf = 0.25f;
  float iou = 0.7f;  // NMS
  int imgsz = 0;     // 0: the size the model was trained at
  engine::SliceOptions slice;  // enabled: predict each image on overlapping tiles
};

struct ReviewReport {
  std::vector<ImageReview> images;  // in listing order
  QStringList names;                // class names (classes.txt, data.yaml or the model's)
  bool masks = false;
  MatchOptions match;
  bool cancelled = false;
  int reviewed = 0;  // images processed
};

// Streams every image through the model once (the next image decodes while one predicts).
// A broken image or label file becomes an "unreadable" finding. `progress(done, total, name)`
// after each image; `stop` is read between images. Fails when the run cannot start (a data.yaml
// without the split, an unreadable classes.txt).
Result<ReviewReport> review_images(engine::YOLO& model, const ReviewOptions& options,
                           const std::function<void(int, int, const QString&)>& progress = {},
                           const std::atomic_bool* stop = nullptr);

// review_images with the model at `model_path`, loaded first. A model that does not load, or a
// deep engine failure, fails the run with its reason's first line.
Result<ReviewReport> review_with_model(const QString& model_path, const ReviewOptions& options,
                               const std::function<void(int, int, const QString&)>& progress = {},
                               const std::atomic_bool* stop = nullptr);

// Indices of the images with findings, worst first (score, then listing order).
std::vector<int> ranked_images(const ReviewReport& report);

// Findings one per row, in the order of the ranked list:
// image,kind,class,confidence,iou,line,x1,y1,x2,y2,score
QByteArray csv_text(const ReviewReport& report);
// "40 images, 23 findings in 18 images: 6 possibly unlabelled, ..." and the worst images.
QString summary_text(const ReviewReport& report, int worst = 10);

QString class_name(const QStringList& names, int id);

}  // namespace orvane::review
