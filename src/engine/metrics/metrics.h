#pragma once
// Detection/segmentation metrics: IoU, NMS, AP per class, P/R/F1, confusion matrix.

#include <torch/torch.h>

#include <filesystem>
#include <string>
#include <vector>

namespace orvane::engine {

// IoU of every box in a [N,4] with every box in b [M,4], both xyxy -> [N,M].
torch::Tensor box_iou(const torch::Tensor& a, const torch::Tensor& b);
// IoU of flattened binary masks a [N,P] and b [M,P] (0/1 floats) -> [N,M].
torch::Tensor mask_iou(const torch::Tensor& a, const torch::Tensor& b);
// (cx, cy, w, h) <-> (x1, y1, x2, y2) on the last dimension.
torch::Tensor xywh2xyxy(const torch::Tensor& x);
torch::Tensor xyxy2xywh(const torch::Tensor& x);

// Greedy NMS on one image's boxes [N,4] xyxy with scores [N]; returns kept indices (int64) in
// descending score order, at most `max_keep` of them (< 0: no limit). Stopping at the limit
// keeps an untrained model's tens of thousands of candidates from costing seconds.
torch::Tensor nms(const torch::Tensor& boxes, const torch::Tensor& scores, float iou_threshold,
                  int max_keep = -1);

struct NmsOptions {
  float conf = 0.25f;        // minimum class score
  float iou = 0.7f;          // suppress same-class boxes overlapping more than this
  int max_det = 300;         // kept per image
  bool multi_label = false;  // one row per (box, class) whose score passes conf
  bool agnostic = false;     // suppress across classes
  int max_nms = 30000;       // boxes entering NMS per image (highest scores first)
};

// Input: decoded predictions [B, 4 + nc + nm, A] (xywh, class scores, nm extra values such as
// mask coefficients). Output per image: [K, 6 + nm] = x1, y1, x2, y2, conf, cls, extras..., sorted
// by descending confidence.
std::vector<torch::Tensor> non_max_suppression(const torch::Tensor& prediction, int nc,
                                               const NmsOptions& options);

// 101-point interpolated AP of one precision-recall curve (recall ascending).
// The precision envelope is made monotone, sampled at recall 0, 0.01 ... 1 and integrated with
// the trapezoid rule. When `pr_at` is given it receives the envelope sampled at those points.
double compute_ap(const std::vector<double>& recall, const std::vector<double>& precision,
                  const std::vector<double>* pr_x = nullptr, std::vector<double>* pr_at = nullptr);

// Per-class results of one metric family (boxes or masks).
struct ApResult {
  std::vector<int> classes;             // classes with ground truth, ascending
  std::vector<double> p, r, f1;         // per listed class at the chosen confidence
  std::vector<std::vector<double>> ap;  // per listed class: AP at IoU 0.50, 0.55 ... 0.95
  // Curves sampled at px = 1000 points in 0..1, one row per listed class:
  std::vector<double> px;
  std::vector<std::vector<double>> p_curve, r_curve, f1_curve;  // against confidence
  std::vector<std::vector<double>> pr_curve;                    // precision against recall, IoU .5
  double best_conf = 0.0;  // confidence where the mean F1 is highest

  double mp() const;              // mean precision
  double mr() const;              // mean recall
  double map50() const;           // mean AP at IoU 0.5
  double map() const;             // mean AP over IoU 0.5:0.95
  double ap50_of(int cls) const;  // 0 for classes without entries
  double ap_of(int cls) const;
  double p_of(int cls) const;
  double r_of(int cls) const;
  double fitness() const { return 0.1 * map50() + 0.9 * map(); }
};

// tp [N,10] bool (prediction correct at each IoU threshold), conf [N], pred_cls [N], target_cls
// [M] (every ground-truth object). Classes are those with ground truth; predictions of other
// classes only count against those (they are false positives in the confusion matrix).
ApResult ap_per_class(const torch::Tensor& tp, const torch::Tensor& conf,
                      const torch::Tensor& pred_cls, const torch::Tensor& target_cls);

// Detections are judged at ten IoU thresholds, 0.50, 0.55 ... 0.95: mAP50 is the first column and
// mAP50-95 the mean over all ten, the COCO convention every YOLO figure is quoted in, so ours
// compare with published ones.
inline constexpr int kIouThresholds = 10;
inline constexpr float kFirstIouThreshold = 0.5f;
inline constexpr float kIouThresholdStep = 0.05f;

// The confusion matrix counts a detection from confidence 0.25 and a match from IoU 0.45: the
// settings a deployed model is typically run at, so the matrix shows the errors a user would see
// (the 0.001 confidence of validation would fill it with noise).
inline constexpr float kConfusionConf = 0.25f;
inline constexpr float kConfusionIou = 0.45f;

// Matches predictions to ground truth at the kIouThresholds thresholds above. Requires predictions
// in descending confidence (NMS order): each in turn takes the unmatched ground truth of its class
// that it overlaps most. iou [M gt, N pred]. Returns tp [N,10] bool.
torch::Tensor match_predictions(const torch::Tensor& pred_cls, const torch::Tensor& gt_cls,
                                const torch::Tensor& iou);

// The assignment behind match_predictions at one IoU threshold: for each prediction (in the
// order given, which must be descending confidence) the index of the ground truth it takes, or
// -1. Lets label review say which object a prediction found, by the same rule as validation.
std::vector<int64_t> assign_predictions(const torch::Tensor& pred_cls, const torch::Tensor& gt_cls,
                                        const torch::Tensor& iou, float threshold);

// Confusion matrix (nc + 1)^2, rows = predicted class, columns = true class; index nc is
// background (a missed object is counted in the background row, a false detection in the
// background column).
class ConfusionMatrix {
 public:
  explicit ConfusionMatrix(int nc, float conf = kConfusionConf, float iou = kConfusionIou);
  // detections [K, >=6] (xyxy, conf, cls), gt boxes [M,4] xyxy, gt classes [M].
  void process_batch(const torch::Tensor& detections, const torch::Tensor& gt_boxes,
                     const torch::Tensor& gt_cls);
  int nc() const { return nc_; }
  const std::vector<std::vector<double>>& matrix() const { return matrix_; }
  // Writes {"names": [...], "matrix": [[...]]} for the chart renderer. Atomic.
  void save_json(const std::filesystem::path& path, const std::vector<std::string>& names) const;

 private:
  int nc_;
  float conf_, iou_;
  std::vector<std::vector<double>> matrix_;
};

// Writes the curve data of one or two metric families for the chart renderer (atomic):
// {"names": [...], "px": [...], "sets": [{"prefix": "" | "Box" | "Mask", "classes": [...],
//   "ap50": [...], "p": [[...]], "r": [[...]], "f1": [[...]], "pr": [[...]]}]}
void save_curves_json(const std::filesystem::path& path, const std::vector<std::string>& names,
                      const std::vector<std::pair<std::string, const ApResult*>>& sets);

}  // namespace orvane::engine
