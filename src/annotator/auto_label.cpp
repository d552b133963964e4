#include "annotator/auto_label.h"

#include <QFileInfo>
#include <future>

#include "annotator/classes_file.h"
#include "annotator/image_folder.h"
#include "engine/compute_thread.h"
#include "engine/error.h"
#include "engine/yolo.h"
#include "files/label_format.h"
#include "files/text_file.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"

namespace orvane {

std::shared_ptr<engine::YOLO> load_autolabel_model(const QString& path) {
  if (!QFileInfo(path).isFile()) throw engine::EngineError("no such file: " + path.toStdString());
  return std::make_shared<engine::YOLO>(path.toStdString());
}

FrameLabels shapes_from_result(const engine::Results& r) {
  FrameLabels out;
  const std::size_t n = r.boxes.size();
  out.detections = int(n);
  if (n == 0) return out;
  const torch::Tensor xyxy = r.boxes.xyxy.to(torch::kCPU).to(torch::kDouble).contiguous();
  const torch::Tensor cls = r.boxes.cls.to(torch::kCPU).to(torch::kLong).contiguous();
  const auto boxes = xyxy.accessor<double, 2>();
  const auto classes = cls.accessor<int64_t, 1>();
  const auto name_of = [&r](int64_t c) {
    return c >= 0 && std::size_t(c) < r.names.size() ? QString::fromStdString(r.names[size_t(c)])
                                                     : QString::number(c);
  };
  if (r.masks) {
    const std::size_t pairs = std::min(n, r.masks->xy.size());
    out.shapes.reserve(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
      QPolygonF points;
      points.reserve(qsizetype(r.masks->xy[i].size()));
      for (const cv::Point2f& p : r.masks->xy[i]) points.append(QPointF(p.x, p.y));
      out.shapes.push_back({std::move(points), name_of(classes[int64_t(i)]), "AI Polygon"});
    }
    return out;
  }
  out.shapes.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double x1 = boxes[int64_t(i)][0], y1 = boxes[int64_t(i)][1];
    const double x2 = boxes[int64_t(i)][2], y2 = boxes[int64_t(i)][3];
    out.shapes.push_back({QPolygonF{{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}},
                          name_of(classes[int64_t(i)]), "AI Rectangle"});
  }
  return out;
}

int model_imgsz(const engine::YOLO& model) {
  // A checkpoint predicts at the size it was trained at.
  const auto& meta = model.checkpoint();
  return meta && meta->imgsz > 0 ? meta->imgsz : engine::PredictOptions{}.imgsz;
}

FrameLabels auto_label_frame(engine::YOLO& model, const QString& image_path, double conf,
                             const engine::SliceOptions& slice) {
  engine::PredictOptions options;
  options.conf = float(conf);
  options.slice = slice;
  options.imgsz = model_imgsz(model);
  options.verbose = false;
  const std::vector<engine::Results> results = model.predict(image_path.toStdString(), options);
  if (results.empty()) return {};
  return shapes_from_result(results.front());
}

namespace {

// The label text of one image in the annotator's format (polygons, six decimals, native ends).
QByteArray label_text(const std::vector<NewShape>& shapes, const QStringList& classes,
                      QSizeF size) {
  std::string text;
  for (const NewShape& shape : shapes) {
    std::vector<double> xy;
    xy.reserve(size_t(shape.points.size()) * 2);
    for (const QPointF& p : shape.points) {
      xy.push_back(p.x() / size.width());
      xy.push_back(p.y() / size.height());
    }
    text += files::format_polygon_line(class_id_for(classes, shape.label), xy);
    text += files::native_line_end();
  }
  return QByteArray::fromStdString(text);
}

// Predicts one decoded image and writes its label file, counting it in `summary` (classes.txt
// first when the prediction brings new names). The file of an image labelled meanwhile is kept.
Result<> label_one_image(engine::YOLO& model, const cv::Mat& image, const QString& path,
                         const engine::PredictOptions& predict_options,
                         const QString& classes_path, FolderLabelSummary& summary) {
  if (image.empty()) return fail("the image could not be decoded");
  FrameLabels labels;
  try {
    labels = shapes_from_result(model.predict_image(image, path.toStdString(), predict_options));
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
  if (labels.shapes.empty()) {
    ++summary.empty;
    return {};
  }
  QStringList added;
  for (const NewShape& shape : labels.shapes)
    if (!summary.classes.contains(shape.label) && !added.contains(shape.label))
      added << shape.label;
  if (!added.isEmpty()) {
    const Result<> written = write_classes_file(classes_path, summary.classes + added);
    if (!written) return written;
    summary.classes += added;
    summary.new_classes += added;
  }
  const QString label_path = label_path_for(path);
  // The operator (or another run) may have labelled it meanwhile: theirs wins.
  if (QFileInfo::exists(label_path)) {
    ++summary.skipped;
    return {};
  }
  const Result<> written = write_file_atomic(
      label_path, label_text(labels.shapes, summary.classes, QSizeF(image.cols, image.rows)));
  if (written) ++summary.labelled;
  return written;
}

}  // namespace

Result<FolderLabelSummary> auto_label_folder(engine::YOLO& model, const FolderLabelOptions& options,
                                     const std::function<void(int, int, const QString&)>& progress,
                                     const std::atomic_bool* stop) {
  FolderLabelSummary summary;
  const QString classes_path = classes_path_in(options.folder);
  const Result<ClassesFileContents> read = read_classes_file(classes_path);
  if (!read) {
    // A new name would be written at an id the unread file gives to another class.
    return fail(read.error() + "\nNo image was labelled: classes.txt must be readable first.");
  }
  summary.classes = read->classes;
  const ImageFolderListing listing = scan_image_folder(options.folder);
  summary.total = int(listing.image_paths.size());

  std::vector<int> todo;
  for (int i = 0; i < summary.total; ++i) {
    if (listing.labelled[size_t(i)])
      ++summary.skipped;
    else
      todo.push_back(i);
  }
  int done = summary.skipped;
  if (progress) progress(done, summary.total, {});

  engine::PredictOptions predict_options;
  predict_options.conf = float(options.conf);
  predict_options.imgsz = options.imgsz > 0 ? options.imgsz : model_imgsz(model);
  predict_options.verbose = false;
  predict_options.slice = options.slice;

  const auto decode = [&listing](int index) { return read_image_bgr(listing.image_paths[index]); };
  std::future<cv::Mat> next;
  if (!todo.empty()) next = std::async(std::launch::async, decode, todo[0]);
  for (size_t k = 0; k < todo.size(); ++k) {
    cv::Mat image = next.get();
    if (stop && stop->load()) {
      summary.cancelled = true;
      break;
    }
    // Decoding the next image overlaps this one's prediction.
    if (k + 1 < todo.size()) next = std::async(std::launch::async, decode, todo[k + 1]);
    const QString path = listing.image_paths[todo[k]];
    const QString name = QFileInfo(path).fileName();
    const Result<> labelled =
        label_one_image(model, image, path, predict_options, classes_path, summary);
    if (!labelled) summary.failures << name + ": " + labelled.error();
    ++done;
    if (progress) progress(done, summary.total, name);
  }
  if (next.valid()) next.wait();
  return summary;
}

Result<FolderLabelSummary> auto_label_folder_on_worker(
    engine::YOLO& model, const FolderLabelOptions& options,
    const std::function<void(int, int, const QString&)>& progress, const std::atomic_bool* stop) {
  engine::use_one_compute_thread();
  try {
    return auto_label_folder(model, options, progress, stop);
  } catch (const std::exception& e) {
    return fail(QString::fromUtf8(e.what()));
  }
}

QString folder_summary_text(const FolderLabelSummary& s) {
  QString text = QStringLiteral(
                     "Labelled %1 image(s); %2 already had labels; %3 with no objects; "
                     "%4 failed.")
                     .arg(s.labelled)
                     .arg(s.skipped)
                     .arg(s.empty)
                     .arg(s.failures.size());
  if (s.cancelled) text += QStringLiteral("\nCancelled: the remaining images were not labelled.");
  if (!s.new_classes.isEmpty())
    text += QStringLiteral("\nNew classes: ") + s.new_classes.join(QStringLiteral(", "));
  if (!s.failures.isEmpty()) {
    text += QStringLiteral("\n\nFailed:\n") + s.failures.mid(0, 10).join(QLatin1Char('\n'));
    if (s.failures.size() > 10)
      text += QStringLiteral("\n... and %1 more").arg(s.failures.size() - 10);
  }
  return text;
}

}  // namespace orvane
