#include "annotator/label_file.h"

#include <QFileInfo>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace orvane {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// An integer written in decimal, maybe signed, but too large for an int: still a class id (one that
// has no name), not a malformed token.
bool looks_like_integer(QByteArrayView token) {
  if (!token.empty() && (token.front() == '+' || token.front() == '-')) token = token.sliced(1);
  return !token.empty() &&
         std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Clamped to [0, 1], six decimals; "+ 0.0" turns -0.0 into 0.0 so "-0.000000" never appears.
void append_coordinate(QByteArray& out, double value) {
  const double v = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0) + 0.0;
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
  out.append(buffer, end.ptr - buffer);
}

QString quoted(QByteArrayView token) {
  return QStringLiteral("'%1'").arg(
      QString::fromUtf8(token.first(std::min<qsizetype>(token.size(), 40))));
}

}  // namespace

QList<QByteArray> split_label_tokens(QByteArrayView line) {
  QList<QByteArray> tokens;
  const qsizetype n = line.size();
  qsizetype i = 0;
  while (i < n) {
    while (i < n && is_space(line[i])) ++i;
    const qsizetype start = i;
    while (i < n && !is_space(line[i])) ++i;
    if (i > start) tokens.append(line.sliced(start, i - start).toByteArray());
  }
  return tokens;
}

ParsedLabelLine parse_label_line(QByteArrayView line, qsizetype class_count) {
  ParsedLabelLine parsed;
  const QList<QByteArray> tokens = split_label_tokens(line);
  if (tokens.isEmpty()) return parsed;  // Blank
  if (tokens.size() < 3) {
    parsed.kind = LabelLineKind::Skipped;
    return parsed;
  }
  bool ok = false;
  const qlonglong id = tokens[0].toLongLong(&ok, 10);
  if (!ok) {
    if (looks_like_integer(tokens[0])) {
      parsed.kind = LabelLineKind::Skipped;
    } else {
      parsed.kind = LabelLineKind::Malformed;
      parsed.error = QStringLiteral("class id %1 is not an integer").arg(quoted(tokens[0]));
    }
    return parsed;
  }
  if (id < 0 || id >= class_count) {
    parsed.kind = LabelLineKind::Skipped;
    return parsed;
  }
  if ((tokens.size() - 1) % 2 != 0) {
    parsed.kind = LabelLineKind::Malformed;
    parsed.error = QStringLiteral("the last x coordinate has no y");
    return parsed;
  }
  QPolygonF points;
  points.reserve((tokens.size() - 1) / 2);
  for (qsizetype i = 1; i + 1 < tokens.size(); i += 2) {
    double xy[2];
    for (int k = 0; k < 2; ++k) {
      const QByteArray& token = tokens[i + k];
      xy[k] = token.toDouble(&ok);
      if (!ok || !std::isfinite(xy[k])) {
        parsed.kind = LabelLineKind::Malformed;
        parsed.error = QStringLiteral("coordinate %1 is not a number").arg(quoted(token));
        return parsed;
      }
    }
    points.append(QPointF(xy[0], xy[1]));
  }
  parsed.kind = LabelLineKind::Shape;
  parsed.shape.class_id = int(id);
  parsed.shape.points = std::move(points);
  return parsed;
}

LabelFileContents read_label_file(const QString& path, qsizetype class_count) {
  LabelFileContents result;
  if (!QFileInfo::exists(path)) return result;  // Missing
  QByteArray contents;
  if (!read_whole_file(path, contents, result.error)) {
    result.status = LabelReadStatus::Unreadable;
    return result;
  }
  result.status = LabelReadStatus::Ok;
  const QList<QByteArray> lines = split_lines(contents);
  for (qsizetype n = 0; n < lines.size(); ++n) {
    const QByteArray& line = lines[n];
    if (result.status == LabelReadStatus::Stopped) {
      if (!split_label_tokens(line).isEmpty()) result.kept_lines.append(line);
      continue;
    }
    ParsedLabelLine parsed = parse_label_line(line, class_count);
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
  QByteArray out;
  append_coordinate(out, value);
  return out;
}

QByteArray format_label_line(const LabelShape& shape) {
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

FileResult write_label_file(const QString& path, const std::vector<LabelShape>& shapes,
                            const QList<QByteArray>& kept_lines) {
  return write_file_atomic(path, format_label_file(shapes, kept_lines));
}

FileResult save_label_file(const QString& path, const std::vector<LabelShape>& shapes,
                           const QList<QByteArray>& kept_lines) {
  if (shapes.empty() && kept_lines.isEmpty()) return remove_file(path);
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
