#include "review/review.h"

#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <future>
#include <map>
#include <opencv2/imgproc.hpp>

#include "annotator/auto_label.h"
#include "annotator/classes_file.h"
#include "annotator/image_folder.h"
#include "annotator/label_file.h"
#include "engine/data/data_config.h"
#include "engine/data/labels.h"
#include "engine/metrics/metrics.h"
#include "engine/yolo.h"
#include "files/label_format.h"
#include "files/text_file.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"

namespace orvane::review {

const std::array<KindInfo, 6>& kind_table() {
  static const std::array<KindInfo, 6> table{{
      {Kind::Unreadable, "unreadable", "the image or its label file could not be read"},
      {Kind::Duplicate, "duplicate", "two labels of one class on one object"},
      {Kind::ClassDisagreement, "class disagreement",
       "the model sees another class where this label is"},
      {Kind::Unlabelled, "possibly unlabelled",
       "a confident prediction that no label matches: an object without a label?"},
      {Kind::LooseOutline, "loose outline",
       "the model finds this object, but the label fits it poorly (IoU under 0.5)"},
      {Kind::Missed, "missed", "a label with no prediction of its class: no object there?"},
  }};
  return table;
}

QString kind_name(Kind kind) {
  for (const KindInfo& info : kind_table())
    if (info.kind == kind) return QString::fromUtf8(info.name);
  return {};
}

QString kind_meaning(Kind kind) {
  for (const KindInfo& info : kind_table())
    if (info.kind == kind) return QString::fromUtf8(info.meaning);
  return {};
}

std::optional<Kind> kind_from_name(const QString& name) {
  for (const KindInfo& info : kind_table())
    if (name == QString::fromUtf8(info.name)) return info.kind;
  return std::nullopt;
}

QString class_name(const QStringList& names, int id) {
  return id >= 0 && id < names.size() ? names[id] : QString::number(id);
}

namespace {

torch::Tensor boxes_tensor(const std::vector<QRectF>& rects) {
  auto t = torch::zeros({int64_t(rects.size()), 4}, torch::kFloat32);
  auto a = t.accessor<float, 2>();
  for (size_t i = 0; i < rects.size(); ++i) {
    a[int64_t(i)][0] = float(rects[i].left());
    a[int64_t(i)][1] = float(rects[i].top());
    a[int64_t(i)][2] = float(rects[i].right());
    a[int64_t(i)][3] = float(rects[i].bottom());
  }
  return t;
}

// Shapes rasterised on one grid (the image scaled so its longer side is at most 160 cells, the
// prototype grid of a 640 input), flattened for the engine's mask_iou.
torch::Tensor masks_tensor(const std::vector<QPolygonF>& shapes, QSize size) {
  const double scale = std::min(1.0, 160.0 / std::max(1, std::max(size.width(), size.height())));
  const int w = std::max(1, int(std::lround(size.width() * scale)));
  const int h = std::max(1, int(std::lround(size.height() * scale)));
  auto t = torch::zeros({int64_t(shapes.size()), int64_t(h) * w}, torch::kFloat32);
  for (size_t i = 0; i < shapes.size(); ++i) {
    cv::Mat mask = cv::Mat::zeros(h, w, CV_8U);
    std::vector<cv::Point> points;
    for (const QPointF& p : shapes[i])
      points.emplace_back(int(std::lround(p.x() * scale)), int(std::lround(p.y() * scale)));
    if (points.size() >= 3) cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{points}, 1);
    cv::Mat as_float;
    mask.convertTo(as_float, CV_32F);
    std::memcpy(t[int64_t(i)].data_ptr<float>(), as_float.ptr<float>(), sizeof(float) * w * h);
  }
  return t;
}

QPolygonF prediction_shape(const Prediction& p) {
  return p.outline.size() >= 3 ? p.outline : QPolygonF(p.box);
}

// [labels, predictions] IoU, by boxes or masks.
torch::Tensor iou_matrix(const std::vector<LabelObject>& labels,
                         const std::vector<Prediction>& predictions, QSize size, bool masks) {
  if (masks) {
    std::vector<QPolygonF> a, b;
    for (const LabelObject& l : labels) a.push_back(l.points);
    for (const Prediction& p : predictions) b.push_back(prediction_shape(p));
    return engine::mask_iou(masks_tensor(a, size), masks_tensor(b, size));
  }
  std::vector<QRectF> a, b;
  for (const LabelObject& l : labels) a.push_back(l.points.boundingRect());
  for (const Prediction& p : predictions) b.push_back(p.box);
  return engine::box_iou(boxes_tensor(a), boxes_tensor(b));
}

torch::Tensor label_iou_matrix(const std::vector<LabelObject>& labels, QSize size, bool masks) {
  if (masks) {
    std::vector<QPolygonF> a;
    for (const LabelObject& l : labels) a.push_back(l.points);
    const torch::Tensor m = masks_tensor(a, size);
    return engine::mask_iou(m, m);
  }
  std::vector<QRectF> a;
  for (const LabelObject& l : labels) a.push_back(l.points.boundingRect());
  const torch::Tensor b = boxes_tensor(a);
  return engine::box_iou(b, b);
}

// The state of matching one image's labels against its predictions: which of each are taken,
// and the findings so far. The passes run in order, each on what the earlier ones left free.
struct ImageMatch {
  const std::vector<LabelObject>& labels;
  std::vector<int> order;  // index into the caller's predictions of each entry of preds
  std::vector<Prediction> preds;
  int64_t nl = 0, np = 0;
  std::vector<char> label_used, pred_used;
  torch::Tensor iou;  // [labels, preds]; defined when both are non-empty
  std::vector<Finding> findings;

  ImageMatch(const std::vector<LabelObject>& labels_in,
             const std::vector<Prediction>& all_predictions, float conf)
      : labels(labels_in) {
    // Confident predictions only, most confident first (the order validation matches in).
    for (int i = 0; i < int(all_predictions.size()); ++i)
      if (all_predictions[size_t(i)].conf >= conf) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return all_predictions[size_t(a)].conf > all_predictions[size_t(b)].conf;
    });
    for (int i : order) preds.push_back(all_predictions[size_t(i)]);
    nl = int64_t(labels.size());
    np = int64_t(preds.size());
    label_used.assign(size_t(nl), 0);
    pred_used.assign(size_t(np), 0);
  }

  float iou_at(int64_t g, int64_t p) const { return iou[g][p].item<float>(); }

  Finding label_finding(Kind kind, int64_t g) const {
    Finding f;
    f.kind = kind;
    f.label = int(g);
    f.line = labels[size_t(g)].line;
    f.class_id = labels[size_t(g)].class_id;
    f.box = labels[size_t(g)].points.boundingRect();
    return f;
  }

  // 1. Duplicates: a label over an earlier one of its class.
  void find_duplicates(QSize size, bool masks) {
    if (nl < 2) return;
    const torch::Tensor self = label_iou_matrix(labels, size, masks);
    const auto s = self.accessor<float, 2>();
    for (int64_t g = 1; g < nl; ++g) {
      for (int64_t e = 0; e < g; ++e) {
        if (label_used[size_t(e)] || labels[size_t(e)].class_id != labels[size_t(g)].class_id ||
            s[e][g] < kDuplicateIou)
          continue;
        Finding f = label_finding(Kind::Duplicate, g);
        f.iou = s[e][g];
        f.score = 0.5 + 0.5 * f.iou;
        findings.push_back(f);
        label_used[size_t(g)] = 1;
        break;
      }
    }
  }

  // 2. Validation's rule at IoU 0.5, among the labels that are not duplicates.
  void match_as_validation() {
    std::vector<int64_t> free_labels;
    for (int64_t g = 0; g < nl; ++g)
      if (!label_used[size_t(g)]) free_labels.push_back(g);
    auto gt_cls = torch::zeros({int64_t(free_labels.size())}, torch::kInt64);
    for (size_t k = 0; k < free_labels.size(); ++k)
      gt_cls[int64_t(k)] = labels[size_t(free_labels[k])].class_id;
    auto pred_cls = torch::zeros({np}, torch::kInt64);
    for (int64_t p = 0; p < np; ++p) pred_cls[p] = preds[size_t(p)].class_id;
    const torch::Tensor sub =
        iou.index_select(
               0, torch::from_blob(free_labels.data(), {int64_t(free_labels.size())}, torch::kInt64)
                      .clone())
            .contiguous();
    const std::vector<int64_t> taken =
        engine::assign_predictions(pred_cls, gt_cls, sub, engine::kFirstIouThreshold);
    for (int64_t p = 0; p < np; ++p) {
      if (taken[size_t(p)] < 0) continue;
      pred_used[size_t(p)] = 1;
      label_used[size_t(free_labels[size_t(taken[size_t(p)])])] = 1;
    }
  }

  // 3. and 4.: a free label paired with the free prediction that overlaps it most, of another
  // class at IoU 0.5 (class disagreement), then of its own class (loose outline).
  void pair_free(Kind kind, float min_iou, bool same_class) {
    for (int64_t p = 0; p < np; ++p) {
      if (pred_used[size_t(p)]) continue;
      int64_t best = -1;
      float best_iou = min_iou;
      for (int64_t g = 0; g < nl; ++g) {
        if (label_used[size_t(g)]) continue;
        if ((labels[size_t(g)].class_id == preds[size_t(p)].class_id) != same_class) continue;
        const float v = iou_at(g, p);
        if (v >= best_iou) best = g, best_iou = v;
      }
      if (best < 0) continue;
      Finding f = label_finding(kind, best);
      f.prediction = order[size_t(p)];
      f.conf = preds[size_t(p)].conf;
      f.iou = best_iou;
      if (kind == Kind::ClassDisagreement) {
        f.other_class = preds[size_t(p)].class_id;
        f.score = f.conf;
      } else {
        // A confident model and a poor fit: both make the outline more likely wrong.
        f.score = f.conf * (1.0 - f.iou);
      }
      findings.push_back(f);
      pred_used[size_t(p)] = 1;
      label_used[size_t(best)] = 1;
    }
  }

  // 5. What is left over: labels nothing matched, predictions no label matched.
  void report_leftovers() {
    for (int64_t g = 0; g < nl; ++g) {
      if (label_used[size_t(g)]) continue;
      Finding f = label_finding(Kind::Missed, g);
      // A model that sees nothing at all there is surer than one that sees something nearby.
      float near = 0;
      for (int64_t p = 0; p < np; ++p)
        if (iou_at(g, p) >= kLooseMinIou) near = std::max(near, preds[size_t(p)].conf);
      f.score = 0.6 * (1.0 - near);
      findings.push_back(f);
    }
    for (int64_t p = 0; p < np; ++p) {
      if (pred_used[size_t(p)]) continue;
      Finding f;
      f.kind = Kind::Unlabelled;
      f.prediction = order[size_t(p)];
      f.class_id = preds[size_t(p)].class_id;
      f.conf = preds[size_t(p)].conf;
      f.box = preds[size_t(p)].box;
      f.score = f.conf;
      findings.push_back(f);
    }
  }
};

}  // namespace

std::vector<Finding> match_image(const std::vector<LabelObject>& labels,
                                 const std::vector<Prediction>& all_predictions, QSize size,
                                 const MatchOptions& options) {
  ImageMatch match(labels, all_predictions, options.conf);
  match.find_duplicates(size, options.masks);
  if (match.nl && match.np) {
    match.iou = iou_matrix(labels, match.preds, size, options.masks);
    match.match_as_validation();
    match.pair_free(Kind::ClassDisagreement, engine::kFirstIouThreshold, false);
    match.pair_free(Kind::LooseOutline, kLooseMinIou, true);
  }
  match.report_leftovers();
  std::vector<Finding> findings = std::move(match.findings);
  std::stable_sort(findings.begin(), findings.end(),
                   [](const Finding& a, const Finding& b) { return a.score > b.score; });
  return findings;
}

double image_score(const std::vector<Finding>& findings) {
  double best = 0, sum = 0;
  for (const Finding& f : findings) {
    best = std::max(best, f.score);
    sum += f.score;
  }
  return best + 0.1 * (sum - best);
}

void rematch(ImageReview& image, std::vector<LabelObject> labels, const MatchOptions& options) {
  image.labels = std::move(labels);
  // A read error belongs to the file as it was; an edit rewrites it.
  image.findings = match_image(image.labels, image.predictions, image.size, options);
  image.score = image_score(image.findings);
}

Result<std::vector<LabelObject>> read_labels(const QString& path, int class_count, QSize size) {
  std::vector<LabelObject> out;
  if (!QFileInfo::exists(path)) return out;
  const Result<QByteArray> read = read_whole_file(path);
  if (!read) return fail(read.error());
  const QByteArray& contents = *read;
  const std::string_view text(contents.constData(), size_t(contents.size()));
  const std::vector<std::string_view> lines = files::split_label_text(text);
  for (size_t n = 0; n < lines.size(); ++n) {
    const QByteArray line(lines[n].data(), qsizetype(lines[n].size()));
    const ParsedLabelLine parsed = classify_label_line(line, class_count);
    if (parsed.kind == LabelLineKind::Blank) continue;
    if (parsed.kind != LabelLineKind::Shape) {
      // Labels after a bad line would be missing from the match and make false findings.
      return fail(QStringLiteral("line %1: %2")
                      .arg(n + 1)
                      .arg(parsed.kind == LabelLineKind::Malformed
                               ? parsed.error
                               : QStringLiteral("not a label of a known class")));
    }
    out.push_back({int(n + 1), parsed.shape.class_id,
                          denormalize_polygon(parsed.shape.points, QSizeF(size))});
  }
  return out;
}

std::vector<Prediction> predictions_from(const engine::Results& r) {
  std::vector<Prediction> out;
  const std::size_t n = r.boxes.size();
  if (n == 0) return out;
  const torch::Tensor xyxy = r.boxes.xyxy.to(torch::kCPU).to(torch::kDouble).contiguous();
  const torch::Tensor conf = r.boxes.conf.to(torch::kCPU).to(torch::kFloat).contiguous();
  const torch::Tensor cls = r.boxes.cls.to(torch::kCPU).to(torch::kLong).contiguous();
  const auto b = xyxy.accessor<double, 2>();
  for (std::size_t i = 0; i < n; ++i) {
    Prediction p;
    const int64_t k = int64_t(i);
    p.class_id = int(cls[k].item<int64_t>());
    p.conf = conf[k].item<float>();
    p.box = QRectF(QPointF(b[k][0], b[k][1]), QPointF(b[k][2], b[k][3]));
    if (r.masks && i < r.masks->xy.size())
      for (const cv::Point2f& q : r.masks->xy[i]) p.outline.append(QPointF(q.x, q.y));
    out.push_back(std::move(p));
  }
  return out;
}

namespace {

struct Listing {
  QStringList images;
  QStringList label_paths;
  QStringList names;
};

Result<Listing> list_sources(const ReviewOptions& options, const engine::YOLO& model) {
  Listing out;
  if (!options.data_yaml.isEmpty()) {
    const engine::DataConfig config = engine::load_data_config(options.data_yaml.toStdString());
    const auto& sources = options.split == QLatin1String("train")  ? config.train
                          : options.split == QLatin1String("test") ? config.test
                                                                   : config.val;
    if (sources.empty())
      return fail(QStringLiteral("%1 names no %2 split").arg(options.data_yaml, options.split));
    for (const std::string& image : engine::list_split_images(sources)) {
      out.images << QString::fromStdString(image);
      out.label_paths << QString::fromStdString(engine::label_path_for_image(image));
    }
    for (const std::string& name : config.names) out.names << QString::fromStdString(name);
    return out;
  }
  const ImageFolderListing listing = scan_image_folder(options.folder);
  for (const QString& image : listing.image_paths) {
    out.images << image;
    out.label_paths << label_path_for(image);
  }
  const Result<ClassesFileContents> classes = read_classes_file(classes_path_in(options.folder));
  if (!classes) return fail(classes.error());
  out.names = classes->classes;
  // Without classes.txt the labels' ids are the model's.
  if (out.names.isEmpty())
    for (const std::string& name : model.names()) out.names << QString::fromStdString(name);
  return out;
}

Finding unreadable(const QString& detail) {
  Finding f;
  f.kind = Kind::Unreadable;
  f.detail = detail;
  f.score = 1.0;  // nothing else about the image can be trusted until it is fixed
  return f;
}

}  // namespace

Result<ReviewReport> review_images(engine::YOLO& model, const ReviewOptions& options,
                                   const std::function<void(int, int, const QString&)>& progress,
                                   const std::atomic_bool* stop) {
  ReviewReport report;
  report.masks = model.task() == "segment";
  report.match.conf = options.conf;
  report.match.masks = report.masks;
  Listing listing;
  try {
    Result<Listing> listed = list_sources(options, model);
    if (!listed) return fail(listed.error());
    listing = std::move(*listed);
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
  report.names = listing.names;
  const int total = int(listing.images.size());
  if (progress) progress(0, total, {});

  engine::PredictOptions predict_options;
  predict_options.conf = options.conf;
  predict_options.iou = options.iou;
  predict_options.imgsz = options.imgsz > 0 ? options.imgsz : model_imgsz(model);
  predict_options.verbose = false;
  predict_options.slice = options.slice;

  const auto decode = [&listing](int index) { return read_image_bgr(listing.images[index]); };
  std::future<cv::Mat> next;
  if (total > 0) next = std::async(std::launch::async, decode, 0);
  for (int k = 0; k < total; ++k) {
    cv::Mat image = next.get();
    if (stop && stop->load()) {
      report.cancelled = true;
      break;
    }
    // Decoding the next image overlaps this one's prediction.
    if (k + 1 < total) next = std::async(std::launch::async, decode, k + 1);
    ImageReview review;
    review.image_path = listing.images[k];
    review.label_path = listing.label_paths[k];
    if (image.empty()) {
      review.findings.push_back(unreadable(QStringLiteral("the image could not be decoded")));
    } else {
      review.size = QSize(image.cols, image.rows);
      const Result<std::vector<LabelObject>> labels =
          read_labels(review.label_path, int(report.names.size()), review.size);
      try {
        review.predictions = predictions_from(
            model.predict_image(image, review.image_path.toStdString(), predict_options));
      } catch (const std::exception& e) {
        review.findings.push_back(unreadable(QString::fromUtf8(e.what())));
      }
      if (!labels) {
        review.findings.push_back(
            unreadable(QFileInfo(review.label_path).fileName() + ": " + labels.error()));
      } else if (review.findings.empty()) {
        review.labels = *labels;
        review.findings = match_image(review.labels, review.predictions, review.size, report.match);
      }
    }
    review.score = image_score(review.findings);
    report.images.push_back(std::move(review));
    ++report.reviewed;
    if (progress) progress(k + 1, total, QFileInfo(listing.images[k]).fileName());
  }
  if (next.valid()) next.wait();
  return report;
}

Result<ReviewReport> review_with_model(const QString& model_path, const ReviewOptions& options,
                                       const std::function<void(int, int, const QString&)>& progress,
                                       const std::atomic_bool* stop) {
  try {
    const std::shared_ptr<engine::YOLO> model = load_autolabel_model(model_path);
    return review_images(*model, options, progress, stop);
  } catch (const std::exception& e) {
    // A model that does not load (or a deep engine failure) ends the run with its reason.
    return fail(QString::fromUtf8(e.what()).section(QLatin1Char('\n'), 0, 0));
  }
}

std::vector<int> ranked_images(const ReviewReport& report) {
  std::vector<int> order;
  for (int i = 0; i < int(report.images.size()); ++i)
    if (!report.images[size_t(i)].findings.empty()) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return report.images[size_t(a)].score > report.images[size_t(b)].score;
  });
  return order;
}

namespace {

QByteArray csv_field(const QString& text) {
  QByteArray bytes = text.toUtf8();
  if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\n') &&
      !bytes.contains('\r'))
    return bytes;
  bytes.replace("\"", "\"\"");
  return "\"" + bytes + "\"";
}

QString number(double value, int decimals) { return QString::number(value, 'f', decimals); }

}  // namespace

QByteArray csv_text(const ReviewReport& report) {
  const QByteArray end = native_line_end().toByteArray();
  QByteArray out = "image,kind,class,confidence,iou,line,x1,y1,x2,y2,score,detail" + end;
  for (int i : ranked_images(report)) {
    const ImageReview& image = report.images[size_t(i)];
    for (const Finding& f : image.findings) {
      QString cls;
      if (f.class_id >= 0) cls = class_name(report.names, f.class_id);
      if (f.other_class >= 0) cls += QStringLiteral(" -> ") + class_name(report.names, f.other_class);
      const bool has_box = !f.box.isNull();
      const QStringList fields{
          image.image_path,
          kind_name(f.kind),
          cls,
          f.prediction >= 0 ? number(f.conf, 3) : QString(),
          f.iou > 0 ? number(f.iou, 3) : QString(),
          f.line > 0 ? QString::number(f.line) : QString(),
          has_box ? number(f.box.left(), 1) : QString(),
          has_box ? number(f.box.top(), 1) : QString(),
          has_box ? number(f.box.right(), 1) : QString(),
          has_box ? number(f.box.bottom(), 1) : QString(),
          number(f.score, 3),
          f.detail,
      };
      QByteArrayList row;
      for (const QString& field : fields) row << csv_field(field);
      out += row.join(',') + end;
    }
  }
  return out;
}

QString summary_text(const ReviewReport& report, int worst) {
  std::map<Kind, int> counts;
  int findings = 0;
  for (const ImageReview& image : report.images)
    for (const Finding& f : image.findings) ++counts[f.kind], ++findings;
  const std::vector<int> ranked = ranked_images(report);
  QString text = QStringLiteral("%1 image(s) reviewed, %2 finding(s) in %3 image(s)")
                     .arg(report.reviewed)
                     .arg(findings)
                     .arg(ranked.size());
  QStringList parts;
  for (const KindInfo& info : kind_table())
    if (counts[info.kind]) parts << QStringLiteral("%1 %2").arg(counts[info.kind]).arg(info.name);
  if (!parts.isEmpty()) text += QStringLiteral(": ") + parts.join(QStringLiteral(", "));
  if (report.cancelled) text += QStringLiteral("\nCancelled: the remaining images were not reviewed.");
  if (!ranked.empty()) text += QStringLiteral("\nWorst first (score  image  findings):");
  for (int k = 0; k < int(ranked.size()) && k < worst; ++k) {
    const ImageReview& image = report.images[size_t(ranked[size_t(k)])];
    QStringList kinds;
    for (const Finding& f : image.findings) kinds << kind_name(f.kind);
    kinds.removeDuplicates();
    text += QStringLiteral("\n  %1  %2  %3")
                .arg(number(image.score, 2), QFileInfo(image.image_path).fileName(),
                     kinds.join(QStringLiteral(", ")));
  }
  return text;
}

}  // namespace orvane::review
