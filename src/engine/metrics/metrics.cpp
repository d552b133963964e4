#include "engine/metrics/metrics.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>

#include "engine/error.h"
#include "engine/gemm.h"
#include "files/atomic_file.h"
#include "files/text_format.h"

namespace orvane::engine {

torch::Tensor xywh2xyxy(const torch::Tensor& x) {
  auto xy = x.narrow(-1, 0, 2), wh = x.narrow(-1, 2, 2);
  return torch::cat({xy - wh / 2, xy + wh / 2}, -1);
}

torch::Tensor xyxy2xywh(const torch::Tensor& x) {
  auto a = x.narrow(-1, 0, 2), b = x.narrow(-1, 2, 2);
  return torch::cat({(a + b) / 2, b - a}, -1);
}

torch::Tensor box_iou(const torch::Tensor& a, const torch::Tensor& b) {
  auto a1 = a.narrow(1, 0, 2).unsqueeze(1), a2 = a.narrow(1, 2, 2).unsqueeze(1);
  auto b1 = b.narrow(1, 0, 2).unsqueeze(0), b2 = b.narrow(1, 2, 2).unsqueeze(0);
  auto inter = (torch::min(a2, b2) - torch::max(a1, b1)).clamp_min(0).prod(2);
  auto area_a = (a.narrow(1, 2, 2) - a.narrow(1, 0, 2)).prod(1).unsqueeze(1);
  auto area_b = (b.narrow(1, 2, 2) - b.narrow(1, 0, 2)).prod(1).unsqueeze(0);
  return inter / (area_a + area_b - inter + 1e-7);
}

torch::Tensor mask_iou(const torch::Tensor& a, const torch::Tensor& b) {
  auto inter = matmul_nt(a, b).clamp_min(0);
  auto uni = a.sum(1).unsqueeze(1) + b.sum(1).unsqueeze(0) - inter;
  return inter / (uni + 1e-7);
}

torch::Tensor nms(const torch::Tensor& boxes_in, const torch::Tensor& scores_in,
                  float iou_threshold, int max_keep) {
  const int64_t n = boxes_in.size(0);
  if (n == 0) return torch::empty({0}, torch::kInt64);
  auto boxes = boxes_in.to(torch::kFloat32).contiguous();
  auto order = std::get<1>(scores_in.to(torch::kFloat32).sort(0, true)).contiguous();
  auto b = boxes.accessor<float, 2>();
  auto o = order.accessor<int64_t, 1>();
  std::vector<float> area(n);
  for (int64_t i = 0; i < n; ++i) area[i] = (b[i][2] - b[i][0]) * (b[i][3] - b[i][1]);
  std::vector<char> removed(n, 0);
  std::vector<int64_t> keep;
  for (int64_t k = 0; k < n; ++k) {
    const int64_t i = o[k];
    if (removed[i]) continue;
    keep.push_back(i);
    if (max_keep >= 0 && static_cast<int>(keep.size()) >= max_keep) break;
    for (int64_t m = k + 1; m < n; ++m) {
      const int64_t j = o[m];
      if (removed[j]) continue;
      const float w = std::min(b[i][2], b[j][2]) - std::max(b[i][0], b[j][0]);
      const float h = std::min(b[i][3], b[j][3]) - std::max(b[i][1], b[j][1]);
      if (w <= 0 || h <= 0) continue;
      const float inter = w * h;
      if (inter / (area[i] + area[j] - inter + 1e-7f) > iou_threshold) removed[j] = 1;
    }
  }
  return torch::tensor(keep, torch::kInt64);
}

std::vector<torch::Tensor> non_max_suppression(const torch::Tensor& prediction, int nc,
                                               const NmsOptions& options) {
  torch::NoGradGuard no_grad;
  const int64_t bs = prediction.size(0);
  const int64_t nm = prediction.size(1) - nc - 4;
  constexpr float kMaxWh = 7680;  // class offset so boxes of different classes never overlap
  auto pred = prediction.detach().to(torch::kFloat32).transpose(1, 2);  // [B, A, 4+nc+nm]
  std::vector<torch::Tensor> output;
  for (int64_t xi = 0; xi < bs; ++xi) {
    auto x = pred[xi];
    auto cls_scores = x.narrow(1, 4, nc);
    auto candidates = cls_scores.amax(1) > options.conf;
    x = x.index({candidates});
    auto box = xywh2xyxy(x.narrow(1, 0, 4));
    auto cls = x.narrow(1, 4, nc);
    auto extra = x.narrow(1, 4 + nc, nm);
    torch::Tensor det;
    if (options.multi_label) {
      auto ij = (cls > options.conf).nonzero();
      auto i = ij.select(1, 0), j = ij.select(1, 1);
      det = torch::cat({box.index({i}), cls.index({i, j}).unsqueeze(1),
                        j.unsqueeze(1).to(torch::kFloat32), extra.index({i})},
                       1);
    } else {
      auto [conf, j] = cls.max(1, true);
      det = torch::cat({box, conf, j.to(torch::kFloat32), extra}, 1)
                .index({conf.view(-1) > options.conf});
    }
    if (det.size(0) == 0) {
      output.push_back(torch::zeros({0, 6 + nm}));
      continue;
    }
    if (det.size(0) > options.max_nms)
      det = det.index({det.select(1, 4).argsort(0, true).narrow(0, 0, options.max_nms)});
    auto offset = det.narrow(1, 5, 1) * (options.agnostic ? 0.0f : kMaxWh);
    auto keep = nms(det.narrow(1, 0, 4) + offset, det.select(1, 4), options.iou, options.max_det);
    if (keep.size(0) > options.max_det) keep = keep.narrow(0, 0, options.max_det);
    output.push_back(det.index({keep}).contiguous());
  }
  return output;
}

namespace {

// Linear interpolation like numpy.interp: xp ascending; outside the range take left/right.
double interp(double x, const std::vector<double>& xp, const std::vector<double>& fp, double left,
              double right) {
  if (xp.empty()) return left;
  if (x < xp.front()) return left;
  if (x > xp.back()) return right;
  auto it = std::upper_bound(xp.begin(), xp.end(), x);
  if (it == xp.end()) return fp.back();
  const std::size_t hi = it - xp.begin();
  if (hi == 0) return fp.front();
  const std::size_t lo = hi - 1;
  const double dx = xp[hi] - xp[lo];
  if (dx <= 0) return fp[hi];
  return fp[lo] + (fp[hi] - fp[lo]) * (x - xp[lo]) / dx;
}

std::vector<double> smooth(const std::vector<double>& y, double f) {
  const int n = static_cast<int>(y.size());
  const int nf = static_cast<int>(std::lround(n * f * 2)) / 2 + 1;  // odd window
  const int half = nf / 2;
  std::vector<double> padded;
  padded.reserve(n + 2 * half);
  for (int i = 0; i < half; ++i) padded.push_back(y.front());
  padded.insert(padded.end(), y.begin(), y.end());
  for (int i = 0; i < half; ++i) padded.push_back(y.back());
  std::vector<double> out(n);
  double sum = 0;
  for (int i = 0; i < nf; ++i) sum += padded[i];
  for (int i = 0; i < n; ++i) {
    out[i] = sum / nf;
    if (i + nf < static_cast<int>(padded.size())) sum += padded[i + nf] - padded[i];
  }
  return out;
}

double mean(const std::vector<double>& v) {
  return v.empty() ? 0.0 : std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}

}  // namespace

double compute_ap(const std::vector<double>& recall, const std::vector<double>& precision,
                  const std::vector<double>* pr_x, std::vector<double>* pr_at) {
  std::vector<double> mrec{0.0}, mpre{1.0};
  mrec.insert(mrec.end(), recall.begin(), recall.end());
  mrec.push_back(1.0);
  mpre.insert(mpre.end(), precision.begin(), precision.end());
  mpre.push_back(0.0);
  for (std::size_t i = mpre.size() - 1; i > 0; --i) mpre[i - 1] = std::max(mpre[i - 1], mpre[i]);
  constexpr int kPoints = 101;
  double ap = 0, prev = 0;
  for (int k = 0; k < kPoints; ++k) {
    const double x = k / 100.0;
    const double y = interp(x, mrec, mpre, mpre.front(), mpre.back());
    if (k > 0) ap += (y + prev) / 2 * 0.01;
    prev = y;
  }
  if (pr_x && pr_at) {
    pr_at->clear();
    for (double x : *pr_x) pr_at->push_back(interp(x, mrec, mpre, mpre.front(), mpre.back()));
  }
  return ap;
}

double ApResult::mp() const { return mean(p); }
double ApResult::mr() const { return mean(r); }
double ApResult::map50() const {
  std::vector<double> v;
  for (const auto& a : ap) v.push_back(a.empty() ? 0.0 : a[0]);
  return mean(v);
}
double ApResult::map() const {
  std::vector<double> v;
  for (const auto& a : ap) v.push_back(mean(a));
  return mean(v);
}
namespace {
int position_of(const std::vector<int>& classes, int cls) {
  auto it = std::find(classes.begin(), classes.end(), cls);
  return it == classes.end() ? -1 : static_cast<int>(it - classes.begin());
}
}  // namespace
double ApResult::ap50_of(int cls) const {
  const int i = position_of(classes, cls);
  return i < 0 || ap[i].empty() ? 0.0 : ap[i][0];
}
double ApResult::ap_of(int cls) const {
  const int i = position_of(classes, cls);
  return i < 0 ? 0.0 : mean(ap[i]);
}
double ApResult::p_of(int cls) const {
  const int i = position_of(classes, cls);
  return i < 0 ? 0.0 : p[i];
}
double ApResult::r_of(int cls) const {
  const int i = position_of(classes, cls);
  return i < 0 ? 0.0 : r[i];
}

ApResult ap_per_class(const torch::Tensor& tp_in, const torch::Tensor& conf_in,
                      const torch::Tensor& pred_cls_in, const torch::Tensor& target_cls_in) {
  constexpr int kPx = 1000;
  constexpr double kEps = 1e-16;
  ApResult res;
  res.px.resize(kPx);
  for (int i = 0; i < kPx; ++i) res.px[i] = static_cast<double>(i) / (kPx - 1);

  auto conf_t = conf_in.to(torch::kFloat64).contiguous();
  auto order = std::get<1>(conf_t.sort(0, true)).contiguous();
  auto tp = tp_in.to(torch::kFloat64).index({order}).contiguous();
  auto conf = conf_t.index({order}).contiguous();
  auto pred_cls = pred_cls_in.to(torch::kInt64).index({order}).contiguous();
  auto target_cls = target_cls_in.to(torch::kInt64).contiguous();
  const int64_t n = conf.size(0);
  const int64_t nt_iou = tp.dim() == 2 ? tp.size(1) : 10;

  std::map<int, int> counts;
  for (int64_t i = 0; i < target_cls.size(0); ++i) counts[target_cls[i].item<int64_t>()]++;
  const auto tpa = tp.accessor<double, 2>();
  const auto ca = conf.accessor<double, 1>();
  const auto pa = pred_cls.accessor<int64_t, 1>();

  for (const auto& [c, n_l] : counts) {
    res.classes.push_back(c);
    std::vector<double> neg_conf;
    std::vector<std::vector<double>> recall(nt_iou), precision(nt_iou);
    std::vector<double> tpc(nt_iou, 0), fpc(nt_iou, 0);
    for (int64_t i = 0; i < n; ++i) {
      if (pa[i] != c) continue;
      neg_conf.push_back(-ca[i]);
      for (int64_t j = 0; j < nt_iou; ++j) {
        tpc[j] += tpa[i][j];
        fpc[j] += 1 - tpa[i][j];
        recall[j].push_back(tpc[j] / (n_l + kEps));
        precision[j].push_back(tpc[j] / (tpc[j] + fpc[j]));
      }
    }
    std::vector<double> r_row(kPx, 0), p_row(kPx, 0), pr_row(kPx, 0);
    std::vector<double> ap_row(nt_iou, 0);
    if (!neg_conf.empty()) {
      for (int k = 0; k < kPx; ++k) {
        r_row[k] = interp(-res.px[k], neg_conf, recall[0], 0.0, recall[0].back());
        p_row[k] = interp(-res.px[k], neg_conf, precision[0], 1.0, precision[0].back());
      }
      for (int64_t j = 0; j < nt_iou; ++j)
        ap_row[j] = compute_ap(recall[j], precision[j], j == 0 ? &res.px : nullptr,
                               j == 0 ? &pr_row : nullptr);
    }
    res.ap.push_back(ap_row);
    res.r_curve.push_back(r_row);
    res.p_curve.push_back(p_row);
    res.pr_curve.push_back(pr_row);
  }
  const std::size_t nc = res.classes.size();
  std::vector<double> mean_f1(kPx, 0);
  for (std::size_t ci = 0; ci < nc; ++ci) {
    std::vector<double> f1(kPx);
    for (int k = 0; k < kPx; ++k) {
      const double p = res.p_curve[ci][k], r = res.r_curve[ci][k];
      f1[k] = 2 * p * r / (p + r + kEps);
      mean_f1[k] += f1[k] / nc;
    }
    res.f1_curve.push_back(f1);
  }
  int best = 0;
  if (nc) {
    const auto smoothed = smooth(mean_f1, 0.1);
    best = static_cast<int>(std::max_element(smoothed.begin(), smoothed.end()) - smoothed.begin());
  }
  res.best_conf = res.px[best];
  for (std::size_t ci = 0; ci < nc; ++ci) {
    res.p.push_back(res.p_curve[ci][best]);
    res.r.push_back(res.r_curve[ci][best]);
    res.f1.push_back(res.f1_curve[ci][best]);
  }
  return res;
}

std::vector<int64_t> assign_predictions(const torch::Tensor& pred_cls, const torch::Tensor& gt_cls,
                                        const torch::Tensor& iou_in, float threshold) {
  const int64_t np = pred_cls.size(0), ng = gt_cls.size(0);
  std::vector<int64_t> taken(np, -1);
  if (np == 0 || ng == 0) return taken;
  auto iou = iou_in.to(torch::kFloat32).contiguous();
  auto pc = pred_cls.to(torch::kInt64).contiguous();
  auto gc = gt_cls.to(torch::kInt64).contiguous();
  auto ia = iou.accessor<float, 2>();
  auto pa = pc.accessor<int64_t, 1>();
  auto ga = gc.accessor<int64_t, 1>();
  // Predictions arrive most confident first (the order NMS returns). Each takes the unmatched
  // ground truth of its class that it overlaps most: a confident detection is never turned into
  // a false positive by a weaker duplicate that happens to overlap a little better, which would
  // understate AP for every model that still produces duplicates.
  std::vector<char> gt_used(ng, 0);
  for (int64_t p = 0; p < np; ++p) {
    int64_t best = -1;
    float best_iou = threshold - 1e-6f;
    for (int64_t g = 0; g < ng; ++g)
      if (!gt_used[g] && ga[g] == pa[p] && ia[g][p] >= best_iou) best = g, best_iou = ia[g][p];
    if (best < 0) continue;
    gt_used[best] = 1;
    taken[p] = best;
  }
  return taken;
}

torch::Tensor match_predictions(const torch::Tensor& pred_cls, const torch::Tensor& gt_cls,
                                const torch::Tensor& iou) {
  const int64_t np = pred_cls.size(0), ng = gt_cls.size(0);
  auto correct = torch::zeros({np, kIouThresholds}, torch::kBool);
  if (np == 0 || ng == 0) return correct;
  auto ca = correct.accessor<bool, 2>();
  for (int t = 0; t < kIouThresholds; ++t) {
    const std::vector<int64_t> taken =
        assign_predictions(pred_cls, gt_cls, iou, kFirstIouThreshold + kIouThresholdStep * t);
    for (int64_t p = 0; p < np; ++p) ca[p][t] = taken[p] >= 0;
  }
  return correct;
}

ConfusionMatrix::ConfusionMatrix(int nc, float conf, float iou)
    : nc_(nc), conf_(conf), iou_(iou), matrix_(nc + 1, std::vector<double>(nc + 1, 0.0)) {}

void ConfusionMatrix::process_batch(const torch::Tensor& detections_in,
                                    const torch::Tensor& gt_boxes, const torch::Tensor& gt_cls_in) {
  torch::Tensor det;
  if (detections_in.defined() && detections_in.size(0))
    det = detections_in.index({detections_in.select(1, 4) > conf_}).to(torch::kFloat32);
  const int64_t nd = det.defined() ? det.size(0) : 0;
  auto gt_cls = gt_cls_in.to(torch::kInt64).contiguous();
  const int64_t ng = gt_cls.size(0);
  std::vector<int> dcls(nd);
  for (int64_t i = 0; i < nd; ++i) dcls[i] = static_cast<int>(det[i][5].item<float>());
  auto ga = gt_cls.accessor<int64_t, 1>();
  auto clamp_cls = [&](int64_t c) { return static_cast<int>(std::clamp<int64_t>(c, 0, nc_ - 1)); };
  if (ng == 0) {
    for (int c : dcls) matrix_[clamp_cls(c)][nc_] += 1;
    return;
  }
  if (nd == 0) {
    for (int64_t g = 0; g < ng; ++g) matrix_[nc_][clamp_cls(ga[g])] += 1;
    return;
  }
  auto iou = box_iou(gt_boxes.to(torch::kFloat32), det.narrow(1, 0, 4)).contiguous();
  auto ia = iou.accessor<float, 2>();
  struct Pair {
    float iou;
    int64_t gt, det;
  };
  std::vector<Pair> pairs;
  for (int64_t g = 0; g < ng; ++g)
    for (int64_t d = 0; d < nd; ++d)
      if (ia[g][d] > iou_) pairs.push_back({ia[g][d], g, d});
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Pair& a, const Pair& b) { return a.iou > b.iou; });
  std::vector<int64_t> gt_match(ng, -1), det_match(nd, -1);
  for (const Pair& m : pairs) {
    if (gt_match[m.gt] >= 0 || det_match[m.det] >= 0) continue;
    gt_match[m.gt] = m.det;
    det_match[m.det] = m.gt;
  }
  for (int64_t g = 0; g < ng; ++g) {
    const int gc = clamp_cls(ga[g]);
    if (gt_match[g] >= 0)
      matrix_[clamp_cls(dcls[gt_match[g]])][gc] += 1;  // right or wrong class
    else
      matrix_[nc_][gc] += 1;  // missed: predicted background
  }
  for (int64_t d = 0; d < nd; ++d)
    if (det_match[d] < 0) matrix_[clamp_cls(dcls[d])][nc_] += 1;  // detected background
}

namespace {

std::string json_numbers(const std::vector<double>& v) {
  std::string out = "[";
  char buf[32];
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%.6g", std::isfinite(v[i]) ? v[i] : 0.0);
    if (i) out += ',';
    out += buf;
  }
  return out + "]";
}

std::string json_rows(const std::vector<std::vector<double>>& rows) {
  std::string out = "[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i) out += ",\n  ";
    out += json_numbers(rows[i]);
  }
  return out + "]";
}

std::string json_names(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ',';
    out += files::json_quote(names[i]);
  }
  return out + "]";
}

}  // namespace

void ConfusionMatrix::save_json(const std::filesystem::path& path,
                                const std::vector<std::string>& names) const {
  files::write_atomically_or_throw<EngineError>(
      path, "{\"names\": " + json_names(names) + ",\n \"matrix\": " + json_rows(matrix_) + "}\n");
}

void save_curves_json(const std::filesystem::path& path, const std::vector<std::string>& names,
                      const std::vector<std::pair<std::string, const ApResult*>>& sets) {
  std::string out = "{\"names\": " + json_names(names) + ",\n";
  const std::vector<double>* px = nullptr;
  for (const auto& s : sets)
    if (s.second) px = &s.second->px;
  out += " \"px\": " + (px ? json_numbers(*px) : std::string("[]")) + ",\n \"sets\": [";
  bool first = true;
  for (const auto& [prefix, r] : sets) {
    if (!r) continue;
    if (!first) out += ",";
    first = false;
    std::vector<double> classes(r->classes.begin(), r->classes.end()), ap50;
    for (const auto& a : r->ap) ap50.push_back(a.empty() ? 0.0 : a[0]);
    out +=
        "\n {\"prefix\": " + files::json_quote(prefix) + ", \"classes\": " + json_numbers(classes) +
        ", \"ap50\": " + json_numbers(ap50) + ", \"best_conf\": " + json_numbers({r->best_conf}) +
        ",\n  \"p\": " + json_rows(r->p_curve) + ",\n  \"r\": " + json_rows(r->r_curve) +
        ",\n  \"f1\": " + json_rows(r->f1_curve) + ",\n  \"pr\": " + json_rows(r->pr_curve) + "}";
  }
  out += "]}\n";
  files::write_atomically_or_throw<EngineError>(path, out);
}

}  // namespace orvane::engine
