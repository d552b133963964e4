#include "enricher/enricher_core.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "files/atomic_file.h"
#include "files/text_file.h"
#include "files/fs_path.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"

namespace orvane::enricher {

double uniform(Rng& rng, double a, double b) {
  // a + (b - a) * u works in either order and gives exactly a for a collapsed range.
  const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
  return a + (b - a) * u;
}

cv::Mat gamma_table(double gamma) {
  const double inv_gamma = 1.0 / gamma;
  cv::Mat table(1, 256, CV_8U);
  for (int i = 0; i < 256; ++i) {
    double v = std::pow(i / 255.0, inv_gamma) * 255.0;
    // Only a non-positive gamma (never offered by the form) leaves 0..255; keep the cast defined.
    if (!(v >= 0.0)) v = 0.0;
    table.at<uchar>(i) = static_cast<uchar>(std::min(v, 255.0));
  }
  return table;
}

namespace {

cv::Mat affine_3x3(const cv::Mat& m2x3) {
  cv::Mat m = cv::Mat::eye(3, 3, CV_64F);
  m2x3.convertTo(m.rowRange(0, 2), CV_64F);
  return m;
}

cv::Mat translation(double dx, double dy) {
  cv::Mat m = cv::Mat::eye(3, 3, CV_64F);
  m.at<double>(0, 2) = dx;
  m.at<double>(1, 2) = dy;
  return m;
}

}  // namespace

cv::Mat get_aug_image(const cv::Mat& base, const AugRanges& ranges, Rng& rng) {
  return augment(base, ranges, rng).image;
}

Transformed augment(const cv::Mat& base, const AugRanges& ranges, Rng& rng) {
  const int h = base.rows, w = base.cols;
  if (base.empty()) return {};
  cv::Mat geometry = cv::Mat::eye(3, 3, CV_64F);

  const double alpha = uniform(rng, ranges.contrast.a, ranges.contrast.b);
  const double beta = uniform(rng, ranges.brightness.a, ranges.brightness.b);
  cv::Mat img;
  cv::convertScaleAbs(base, img, alpha, beta);

  const double gamma = uniform(rng, ranges.gamma.a, ranges.gamma.b);
  cv::LUT(img, gamma_table(gamma), img);

  // The skew is skipped only for a non-positive maximum; a minimum of 0 may still draw 0.
  if (ranges.warp.b > 0) {
    const double wp = uniform(rng, ranges.warp.a, ranges.warp.b) / 100.0;
    const double dx = w * wp, dy = h * wp;
    const cv::Point2f src[4] = {{0.f, 0.f}, {float(w), 0.f}, {float(w), float(h)}, {0.f, float(h)}};
    // Drawn corner by corner, x before y, so a seed reproduces the same skew.
    cv::Point2f dst[4];
    for (int i = 0; i < 4; ++i) {
      const double ox = uniform(rng, -dx, dx);
      const double oy = uniform(rng, -dy, dy);
      dst[i] = cv::Point2f(float(src[i].x + ox), float(src[i].y + oy));
    }
    const cv::Mat m = cv::getPerspectiveTransform(src, dst);
    // A separate output: warping in place would make OpenCV copy the whole source first.
    cv::Mat warped;
    cv::warpPerspective(img, warped, m, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    img = warped;
    geometry = m;
  }

  const double angle = uniform(rng, ranges.rotation.a, ranges.rotation.b);
  const cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(float(w / 2), float(h / 2)), angle, 1.0);
  cv::Mat out;
  cv::warpAffine(img, out, m, cv::Size(w, h), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return {out, affine_3x3(m) * geometry};
}

std::optional<cv::Rect> crop_rect(const cv::Size& image_size, cv::Point2d p1, cv::Point2d p2) {
  const auto clip_x = [&](double x) { return std::clamp(x, 0.0, double(image_size.width)); };
  const auto clip_y = [&](double y) { return std::clamp(y, 0.0, double(image_size.height)); };
  // Integer parts, as the scene reports sub-pixel positions and the crop is on whole pixels.
  const int x1 = int(std::min(clip_x(p1.x), clip_x(p2.x)));
  const int x2 = int(std::max(clip_x(p1.x), clip_x(p2.x)));
  const int y1 = int(std::min(clip_y(p1.y), clip_y(p2.y)));
  const int y2 = int(std::max(clip_y(p1.y), clip_y(p2.y)));
  if (!(x2 > x1 && y2 > y1)) return std::nullopt;
  return cv::Rect(x1, y1, x2 - x1, y2 - y1);
}

std::optional<cv::Mat> crop_image(const cv::Mat& image, cv::Point2d p1, cv::Point2d p2) {
  auto cropped = crop_transform(image, p1, p2);
  if (!cropped) return std::nullopt;
  return cropped->image;
}

std::optional<Transformed> crop_transform(const cv::Mat& image, cv::Point2d p1, cv::Point2d p2) {
  if (image.empty()) return std::nullopt;
  const auto rect = crop_rect(image.size(), p1, p2);
  if (!rect) return std::nullopt;
  return Transformed{image(*rect).clone(), translation(-rect->x, -rect->y)};
}

std::optional<cv::Mat> warp_quad(const cv::Mat& image, const std::array<cv::Point2d, 4>& points) {
  auto warped = warp_quad_transform(image, points);
  if (!warped) return std::nullopt;
  return warped->image;
}

std::optional<Transformed> warp_quad_transform(const cv::Mat& image,
                                               const std::array<cv::Point2d, 4>& points) {
  if (image.empty()) return std::nullopt;
  const double max_x = image.cols - 1, max_y = image.rows - 1;
  cv::Point2f src[4];
  for (int i = 0; i < 4; ++i)
    src[i] = cv::Point2f(float(std::clamp(points[i].x, 0.0, max_x)),
                         float(std::clamp(points[i].y, 0.0, max_y)));

  const auto length = [](cv::Point2f a, cv::Point2f b) { return double(cv::norm(a - b)); };
  const double w_a = length(src[2], src[3]), w_b = length(src[1], src[0]);
  const double h_a = length(src[1], src[2]), h_b = length(src[0], src[3]);
  const int mw = std::max(int(w_a), int(w_b));
  const int mh = std::max(int(h_a), int(h_b));
  // A side below two pixels makes the target rectangle collapse to a line.
  if (mw < 2 || mh < 2) return std::nullopt;

  const cv::Point2f dst[4] = {
      {0.f, 0.f}, {float(mw - 1), 0.f}, {float(mw - 1), float(mh - 1)}, {0.f, float(mh - 1)}};
  const cv::Mat m = cv::getPerspectiveTransform(src, dst);
  // Three clicked corners on a line leave no invertible mapping (OpenCV then returns a zero
  // matrix); warping with it would give a black picture.
  const double det = cv::determinant(m);
  if (!std::isfinite(det) || std::abs(det) < 1e-12 || !cv::checkRange(m)) return std::nullopt;

  cv::Mat out;
  cv::warpPerspective(image, out, m, cv::Size(mw, mh), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                      cv::Scalar(0, 0, 0));
  return Transformed{out, m};
}

cv::Mat rotate_grow(const cv::Mat& image, double angle) {
  return rotate_grow_transform(image, angle).image;
}

Transformed rotate_grow_transform(const cv::Mat& image, double angle) {
  if (image.empty() || !std::isfinite(angle)) return {image.clone(), cv::Mat::eye(3, 3, CV_64F)};
  const int h = image.rows, w = image.cols;
  const int cx = w / 2, cy = h / 2;
  cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(float(cx), float(cy)), angle, 1.0);
  const double cos_a = std::abs(m.at<double>(0, 0));
  const double sin_a = std::abs(m.at<double>(0, 1));
  const int nw = std::max(1, int(h * sin_a + w * cos_a));
  const int nh = std::max(1, int(h * cos_a + w * sin_a));
  m.at<double>(0, 2) += nw / 2.0 - cx;
  m.at<double>(1, 2) += nh / 2.0 - cy;
  cv::Mat out;
  cv::warpAffine(image, out, m, cv::Size(nw, nh), cv::INTER_CUBIC, cv::BORDER_REPLICATE);
  return {out, affine_3x3(m)};
}

QString variant_file_name(std::int64_t second, int k) {
  return QStringLiteral("image_enriched_%1_var_%2.jpg").arg(second).arg(k);
}

QString variant_label_name(std::int64_t second, int k) {
  return QStringLiteral("image_enriched_%1_var_%2.txt").arg(second).arg(k);
}

std::int64_t free_batch_second(const QString& out_dir, std::int64_t now, int count) {
  const QStringList entries =
      QDir(out_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
  const QSet<QString> taken(entries.begin(), entries.end());
  for (std::int64_t second = now;; ++second) {
    bool free = true;
    for (int k = 1; k <= count && free; ++k)
      free = !taken.contains(variant_file_name(second, k)) &&
             !taken.contains(variant_label_name(second, k));
    if (free) return second;
  }
}

BatchResult enrich_batch(const cv::Mat& base, const AugRanges& ranges, int count,
                         const QString& out_dir, std::int64_t now, Rng& rng,
                         const std::function<void(int)>& on_variant, const BatchLabels& labels,
                         const std::atomic_bool* stop) {
  BatchResult result;
  result.second = free_batch_second(out_dir, now, count);
  const QDir dir(out_dir);
  const auto fail = [&](const QString& path) {
    if (result.failed == 0) result.first_failure = path;
    ++result.failed;
  };
  for (int k = 1; k <= count; ++k) {
    if (stop && stop->load()) {
      result.cancelled = true;
      break;
    }
    result.attempted = k;
    const Transformed variant = augment(base, ranges, rng);
    if (!variant.image.empty()) {
      const QString path = dir.filePath(variant_file_name(result.second, k));
      if (!write_image_atomic(path, variant.image)) {
        fail(path);
      } else if (!labels.shapes) {
        ++result.created;
      } else {
        const QString label_path = dir.filePath(variant_label_name(result.second, k));
        const std::string text = label_geometry::format_labels(
            label_geometry::transform_shapes(*labels.shapes, variant.matrix, variant.image.size(),
                                             labels.min_visible),
            variant.image.size());
        // Atomic but not synced (see the splitter): derived, small, and one per variant.
        if (write_file_atomic(fs_path(label_path), text, files::Durability::kRenameOnly)) {
          ++result.created;
          ++result.labels_written;
        } else {
          // A variant without its labels would read as an image with no objects: not created.
          QFile::remove(path);
          fail(label_path);
        }
      }
    }
    if (on_variant) on_variant(k);
  }
  return result;
}

QString closing_message(int created) {
  return QStringLiteral("Enrichment complete! Saved %1 variant(s) of the manipualted image.")
      .arg(created);
}

QString closing_message(const BatchResult& result, int count) {
  if (!result.cancelled) return closing_message(result.created);
  return QStringLiteral("Enrichment cancelled after %1 of %2 variants. ")
             .arg(result.attempted)
             .arg(count) +
         closing_message(result.created);
}

Source read_source(const QString& path, bool with_labels) {
  Source source;
  source.image = read_image_bgr(path);
  if (source.image.empty() || !with_labels) return source;
  Result<label_geometry::LabelFile> read =
      label_geometry::read_image_labels(fs_path(path), source.image.size());
  if (!read)
    source.label_error = read.error();
  else if (read->found)
    source.shapes = std::move(read->shapes);
  return source;
}

namespace {

// One source of enrich_sources: its batch, or why it has none.
void enrich_one_source(const QString& path, const QString& step, const SourcesOptions& options,
                       Rng& rng, label_geometry::ClassListCarrier& class_lists,
                       SourcesReport& report,
                       const std::function<void(const QString&, const QString&)>& note) {
  const Source source = read_source(path, options.carry_labels);
  if (source.image.empty()) {
    ++report.unreadable;
    note(step, QStringLiteral("does not decode, skipped"));
    return;
  }
  if (!source.label_error.isEmpty()) {
    ++report.bad_labels;
    note(step, source.label_error + QStringLiteral("; no variants made"));
    return;
  }
  if (options.carry_labels && !source.shapes)
    note(step, QStringLiteral("no label file, so its variants have none"));
  if (source.shapes) {
    const Result<> carried =
        class_lists.carry(fs_path(QFileInfo(path).path()), fs_path(options.out_dir));
    if (!carried) note({}, carried.error());
  }
  BatchLabels labels;
  if (source.shapes) labels = {&*source.shapes, options.min_visible};
  const BatchResult result =
      enrich_batch(source.image, options.ranges, options.count, options.out_dir,
                   QDateTime::currentSecsSinceEpoch(), rng, {}, labels);
  report.created += result.created;
  if (result.failed > 0 && report.failed == 0) report.first_failure = result.first_failure;
  report.failed += result.failed;
  note(step, QStringLiteral("%1 variant(s) as image_enriched_%2_var_*.jpg%3")
                 .arg(result.created)
                 .arg(result.second)
                 .arg(labels.shapes ? QStringLiteral(" with labels") : QString()));
}

}  // namespace

SourcesReport enrich_sources(const QStringList& sources, const SourcesOptions& options, Rng& rng,
                             const std::function<void(const QString&, const QString&)>& note) {
  SourcesReport report;
  label_geometry::ClassListCarrier class_lists;
  for (qsizetype i = 0; i < sources.size(); ++i) {
    const QString step = QStringLiteral("[%1/%2] %3")
                             .arg(i + 1)
                             .arg(sources.size())
                             .arg(QFileInfo(sources[i]).fileName());
    enrich_one_source(sources[i], step, options, rng, class_lists, report, note);
  }
  return report;
}

QStringList list_sources(const QString& folder) {
  QStringList paths;
  for (const QString& path : list_images(folder, ListOrder::CodePoint))
    paths << QDir::toNativeSeparators(QDir::cleanPath(path));
  std::sort(paths.begin(), paths.end(),
            [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseSensitive) < 0; });
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return paths;
}

}  // namespace orvane::enricher
