#include "annotator/label_file.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "files/label_format.h"

namespace orvane {

namespace {

std::string_view view_of(QByteArrayView bytes) {
  return std::string_view(bytes.data(), size_t(bytes.size()));
}

QString quoted(std::string_view token) {
  return QStringLiteral("'%1'").arg(
      QString::fromUtf8(token.data(), qsizetype(std::min<size_t>(token.size(), 40))));
}

// Clamped to [0, 1], six decimals (see files::format_label_coordinate).
void append_coordinate(QByteArray& out, double value) {
  out.append(files::format_label_coordinate(value));
}

}  // namespace

QList<QByteArray> split_label_tokens(QByteArrayView line) {
  QList<QByteArray> tokens;
  for (const std::string_view token : files::split_label_tokens(view_of(line)))
    tokens.append(QByteArray(token.data(), qsizetype(token.size())));
  return tokens;
}

// The annotator's policy: a line it cannot show but that is well-formed (too short, a class
// without a name) is kept and written back; a line it cannot make sense of stops the reading,
// and it and every later line are kept verbatim. Nothing is lost either way.
ParsedLabelLine classify_label_line(QByteArrayView line, qsizetype class_count) {
  ParsedLabelLine parsed;
  const files::LabelLine read = files::parse_label_line(view_of(line));
  if (read.blank()) return parsed;  // Blank
  if (read.token_count < 3) {
    parsed.kind = LabelLineKind::Skipped;
    return parsed;
  }
  if (!read.class_id) {
    // An integer too large for any list is still a class id (one without a name).
    if (read.class_overflow) {
      parsed.kind = LabelLineKind::Skipped;
    } else {
      parsed.kind = LabelLineKind::Malformed;
      parsed.error = QStringLiteral("class id %1 is not an integer").arg(quoted(read.class_token));
    }
    return parsed;
  }
  if (*read.class_id < 0 || *read.class_id >= class_count) {
    parsed.kind = LabelLineKind::Skipped;
    return parsed;
  }
  if (!read.numbers_ok()) {
    parsed.kind = LabelLineKind::Malformed;
    parsed.error = QStringLiteral("coordinate %1 is not a number").arg(quoted(read.bad_token));
    return parsed;
  }
  if (read.coords.size() % 2 != 0) {
    parsed.kind = LabelLineKind::Malformed;
    parsed.error = QStringLiteral("the last x coordinate has no y");
    return parsed;
  }
  for (const double v : read.coords) {
    if (!std::isfinite(v)) {
      parsed.kind = LabelLineKind::Malformed;
      parsed.error = QStringLiteral("coordinate %1 is not a finite number")
                         .arg(std::isnan(v) ? "'nan'" : "'inf'");
      return parsed;
    }
  }
  parsed.kind = LabelLineKind::Shape;
  parsed.shape.class_id = int(*read.class_id);
  const std::vector<double>& c = read.coords;
  if (read.is_box()) {
    // Centre and size: the rectangle's corners, clockwise from the top left.
    const double x1 = c[0] - c[2] / 2, x2 = c[0] + c[2] / 2;
    const double y1 = c[1] - c[3] / 2, y2 = c[1] + c[3] / 2;
    parsed.shape.points = QPolygonF{{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}};
    parsed.shape.box = true;
    parsed.shape.source = line.toByteArray();
    return parsed;
  }
  parsed.shape.points.reserve(qsizetype(c.size() / 2));
  for (size_t i = 0; i + 1 < c.size(); i += 2) parsed.shape.points.append(QPointF(c[i], c[i + 1]));
  return parsed;
}

LabelFileContents read_label_file(const QString& path, qsizetype class_count) {
  LabelFileContents result;
  if (!QFileInfo::exists(path)) return result;  // Missing
  const Result<QByteArray> read = read_whole_file(path);
  if (!read) {
    result.error = read.error();
    result.status = LabelReadStatus::Unreadable;
    return result;
  }
  const QByteArray& contents = *read;
  result.status = LabelReadStatus::Ok;
  const std::vector<std::string_view> lines = files::split_label_text(view_of(contents));
  for (size_t n = 0; n < lines.size(); ++n) {
    const QByteArray line(lines[n].data(), qsizetype(lines[n].size()));
    if (result.status == LabelReadStatus::Stopped) {
      if (!files::split_label_tokens(lines[n]).empty()) result.kept_lines.append(line);
      continue;
    }
    ParsedLabelLine parsed = classify_label_line(line, class_count);
    switch (parsed.kind) {
      case LabelLineKind::Blank:
        break;
      case LabelLineKind::Shape:
        result.shapes.push_back(std::move(parsed.shape));
        break;
      case LabelLineKind::Skipped:
        result.kept_lines.append(line);
        break;
      case LabelLineKind::Malformed:
        result.status = LabelReadStatus::Stopped;
        result.error = QStringLiteral("%1 line %2: %3").arg(path).arg(n + 1).arg(parsed.error);
        result.kept_lines.append(line);
        break;
    }
  }
  return result;
}

QByteArray format_label_coordinate(double value) {
  return QByteArray::fromStdString(files::format_label_coordinate(value));
}

QByteArray format_label_line(const LabelShape& shape) {
  if (shape.box) {
    if (!shape.source.isEmpty()) return shape.source;
    const QRectF r = shape.points.boundingRect();
    const double x1 = std::clamp(r.left(), 0.0, 1.0), x2 = std::clamp(r.right(), 0.0, 1.0);
    const double y1 = std::clamp(r.top(), 0.0, 1.0), y2 = std::clamp(r.bottom(), 0.0, 1.0);
    return QByteArray::fromStdString(
        files::format_box_line(shape.class_id, (x1 + x2) / 2, (y1 + y2) / 2, x2 - x1, y2 - y1));
  }
  QByteArray line;
  line.reserve(12 + shape.points.size() * 18);
  line.append(QByteArray::number(shape.class_id));
  if (shape.points.isEmpty()) {
    line.append(' ');
    return line;
  }
  for (const QPointF& p : shape.points) {
    line.append(' ');
    append_coordinate(line, p.x());
    line.append(' ');
    append_coordinate(line, p.y());
  }
  return line;
}

QByteArray format_label_file(const std::vector<LabelShape>& shapes,
                             const QList<QByteArray>& kept_lines) {
  QByteArray contents;
  for (const LabelShape& shape : shapes) {
    contents.append(format_label_line(shape));
    contents.append(native_line_end());
  }
  for (const QByteArray& line : kept_lines) {
    contents.append(line);
    contents.append(native_line_end());
  }
  return contents;
}

Result<> write_label_file(const QString& path, const std::vector<LabelShape>& shapes,
                          const QList<QByteArray>& kept_lines) {
  return write_file_atomic(path, format_label_file(shapes, kept_lines));
}

Result<> save_label_file(const QString& path, const std::vector<LabelShape>& shapes,
                         const QList<QByteArray>& kept_lines) {
  if (shapes.empty() && kept_lines.isEmpty()) {
    // An empty label file marks an image checked and found empty (a true negative, as tiling
    // writes for tiles without objects); removing it would turn it back into "not annotated".
    // Only a file that held shapes is removed when its last shape goes.
    const QFileInfo info(path);
    if (info.isFile() && info.size() == 0) return {};
    return remove_file(path);
  }
  return write_label_file(path, shapes, kept_lines);
}

QPolygonF normalize_polygon(const QPolygonF& pixels, QSizeF image_size) {
  QPolygonF out;
  out.reserve(pixels.size());
  for (const QPointF& p : pixels)
    out.append({p.x() / image_size.width(), p.y() / image_size.height()});
  return out;
}

QPolygonF denormalize_polygon(const QPolygonF& normalized, QSizeF image_size) {
  QPolygonF out;
  out.reserve(normalized.size());
  for (const QPointF& p : normalized) {
    out.append({p.x() * image_size.width(), p.y() * image_size.height()});
  }
  return out;
}

}  // namespace orvane
