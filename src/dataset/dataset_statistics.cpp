#include "dataset/dataset_statistics.h"

#include <QFileInfo>
#include <QImageReader>
#include <algorithm>
#include <cmath>

#include "files/label_format.h"
#include "files/text_file.h"

namespace orvane::dataset {

SizeClass size_class(double area) {
  if (area < kSmallArea) return kSmall;
  if (area < kMediumArea) return kMedium;
  return kLarge;
}

int aspect_bin(double r) {
  if (r < 0.25) return 0;
  if (r < 0.5) return 1;
  if (r < 1.0) return 2;
  if (r < 2.0) return 3;
  if (r < 4.0) return 4;
  return 5;
}

const QStringList& aspect_bin_names() {
  static const QStringList names{"< 1/4", "1/4-1/2", "1/2-1", "1-2", "2-4", ">= 4"};
  return names;
}

int count_bin(int n) {
  if (n <= 2) return n;
  if (n <= 5) return 3;
  if (n <= 10) return 4;
  if (n <= 20) return 5;
  return 6;
}

const QStringList& count_bin_names() {
  static const QStringList names{"0", "1", "2", "3-5", "6-10", "11-20", "> 20"};
  return names;
}

DatasetStatistics compute_statistics(const QStringList& image_paths, const QStringList& names,
                                     int imgsz,
                                     const std::function<QString(const QString&)>& label_for) {
  DatasetStatistics stats;
  stats.imgsz = imgsz;
  stats.images = int(image_paths.size());
  for (const QString& name : names) stats.classes.push_back({name, 0, 0, {}});
  const int nc = int(names.size());
  std::vector<char> seen(static_cast<size_t>(nc), 0);
  for (const QString& image : image_paths) {
    int count = 0;
    const QString label = label_for(image);
    if (QFileInfo(label).isFile()) {
      const Result<QByteArray> text = read_whole_file(label);
      // The header only: no pixel is decoded.
      const QSize size = QImageReader(image).size();
      if (!size.isValid()) ++stats.images_unreadable;
      const double scale = size.isValid() ? double(imgsz) / std::max(size.width(), size.height()) : 0;
      std::fill(seen.begin(), seen.end(), 0);
      for (const std::string_view line : files::split_label_text(
               text ? std::string_view(text->constData(), size_t(text->size())) : std::string_view())) {
        const files::LabelLine parsed = files::parse_label_line(line);
        if (parsed.blank()) continue;
        const bool polygon = parsed.numbers_ok() && parsed.coords.size() >= 6 && parsed.coords.size() % 2 == 0;
        if (!parsed.class_id || *parsed.class_id < 0 || *parsed.class_id >= nc ||
            !(parsed.is_box() || polygon)) {
          ++stats.lines_skipped;
          continue;
        }
        const size_t id = size_t(*parsed.class_id);
        ClassStatistics& cls = stats.classes[id];
        ++cls.objects;
        if (!seen[id]) ++cls.images;
        seen[id] = 1;
        ++count;
        double w = 0, h = 0;
        if (parsed.is_box()) {
          w = parsed.coords[2];
          h = parsed.coords[3];
        } else {
          double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
          for (size_t i = 0; i + 1 < parsed.coords.size(); i += 2) {
            x0 = std::min(x0, parsed.coords[i]);
            x1 = std::max(x1, parsed.coords[i]);
            y0 = std::min(y0, parsed.coords[i + 1]);
            y1 = std::max(y1, parsed.coords[i + 1]);
          }
          w = x1 - x0;
          h = y1 - y0;
        }
        if (!size.isValid() || !std::isfinite(w) || !std::isfinite(h)) continue;
        const double wp = std::abs(w) * size.width() * scale, hp = std::abs(h) * size.height() * scale;
        const SizeClass sc = size_class(wp * hp);
        ++cls.sizes[sc];
        ++stats.sizes[sc];
        if (hp > 0) ++stats.aspects[size_t(aspect_bin(wp / hp))];
        stats.widths.push_back(wp);
        stats.heights.push_back(hp);
      }
    }
    stats.objects += count;
    if (count == 0) ++stats.images_without_objects;
    ++stats.objects_per_image[size_t(count_bin(count))];
    stats.max_objects_per_image = std::max(stats.max_objects_per_image, count);
  }
  return stats;
}

std::vector<bool> images_matching(const QStringList& image_paths, int class_id,
                                  const std::function<QString(const QString&)>& label_for) {
  std::vector<bool> out;
  out.reserve(size_t(image_paths.size()));
  for (const QString& image : image_paths) {
    const Result<QByteArray> text = read_whole_file(label_for(image));
    bool any = false, match = false;
    if (text) {
      for (const std::string_view line :
           files::split_label_text(std::string_view(text->constData(), size_t(text->size())))) {
        const files::LabelLine parsed = files::parse_label_line(line);
        if (!parsed.class_id) continue;
        any = true;
        if (*parsed.class_id == class_id) match = true;
      }
    }
    out.push_back(class_id < 0 ? !any : match);
  }
  return out;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = size_t(std::ceil(std::clamp(fraction, 0.0, 1.0) * double(values.size())));
  return values[rank == 0 ? 0 : rank - 1];
}

QString size_advice(const DatasetStatistics& stats) {
  if (stats.sized() == 0 || stats.sizes[kSmall] * 3 <= stats.sized()) return {};
  return QStringLiteral(
             "%1% of the objects are small (under 32 x 32 pixels) at imgsz=%2: consider tiling the "
             "images (orvane split labels=true) or a larger imgsz.")
      .arg(qRound(100.0 * stats.small_share()))
      .arg(stats.imgsz);
}

QStringList statistics_lines(const DatasetStatistics& s) {
  QStringList lines;
  lines << QStringLiteral("images: %1 (%2 without objects, %3 of unknown size)")
               .arg(s.images)
               .arg(s.images_without_objects)
               .arg(s.images_unreadable);
  lines << QStringLiteral("objects: %1 (%2 lines skipped)").arg(s.objects).arg(s.lines_skipped);
  QStringList bins;
  for (int i = 0; i < kCountBins; ++i)
    bins << QStringLiteral("%1: %2").arg(count_bin_names()[i]).arg(s.objects_per_image[size_t(i)]);
  lines << QStringLiteral("objects per image: ") + bins.join(QStringLiteral(", ")) +
               QStringLiteral(" (max %1)").arg(s.max_objects_per_image);
  lines << QStringLiteral("class\tobjects\timages\tsmall\tmedium\tlarge");
  for (const ClassStatistics& c : s.classes)
    lines << QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
                 .arg(c.name)
                 .arg(c.objects)
                 .arg(c.images)
                 .arg(c.sizes[0])
                 .arg(c.sizes[1])
                 .arg(c.sizes[2]);
  const auto pct = [&](int n) { return s.sized() ? qRound(100.0 * n / s.sized()) : 0; };
  lines << QStringLiteral("box sizes at imgsz=%1: small %2 (%3%), medium %4 (%5%), large %6 (%7%)")
               .arg(s.imgsz)
               .arg(s.sizes[0])
               .arg(pct(s.sizes[0]))
               .arg(s.sizes[1])
               .arg(pct(s.sizes[1]))
               .arg(s.sizes[2])
               .arg(pct(s.sizes[2]));
  const auto spread = [](const std::vector<double>& v) {
    return QStringLiteral("min %1, p10 %2, median %3, p90 %4, max %5")
        .arg(qRound(percentile(v, 0)))
        .arg(qRound(percentile(v, 0.1)))
        .arg(qRound(percentile(v, 0.5)))
        .arg(qRound(percentile(v, 0.9)))
        .arg(qRound(percentile(v, 1)));
  };
  lines << QStringLiteral("box width px: ") + spread(s.widths);
  lines << QStringLiteral("box height px: ") + spread(s.heights);
  bins.clear();
  for (int i = 0; i < kAspectBins; ++i)
    bins << QStringLiteral("%1: %2").arg(aspect_bin_names()[i]).arg(s.aspects[size_t(i)]);
  lines << QStringLiteral("aspect ratio w/h: ") + bins.join(QStringLiteral(", "));
  if (const QString advice = size_advice(s); !advice.isEmpty()) lines << QStringLiteral("advice: ") + advice;
  return lines;
}

}  // namespace orvane::dataset
