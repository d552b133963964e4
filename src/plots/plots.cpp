#include "plots/plots.h"

#include <QBuffer>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

#include "files/atomic_file.h"

namespace orvane::plots {

namespace fs = std::filesystem;

namespace {

// Charts need fonts, and fonts need a QGuiApplication. Tools without one (the orvane command)
// get an offscreen application that lives until the process ends.
bool ensure_gui_application() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return true;
  if (QCoreApplication::instance()) return false;
  static int argc = 3;
  static char arg0[] = "orvane", arg1[] = "-platform", arg2[] = "offscreen";
  static char* argv[] = {arg0, arg1, arg2, nullptr};
  // Qt warns that XDG_RUNTIME_DIR is unset on headless machines; that is expected here and
  // would only clutter the training log.
  static QtMessageHandler previous = nullptr;
  previous = qInstallMessageHandler(
      [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (message.startsWith("QStandardPaths:")) return;
        if (previous)
          previous(type, context, message);
        else
          std::cerr << message.toStdString() << "\n";
      });
  static QGuiApplication* app = new QGuiApplication(argc, argv);  // intentionally never freed
  qInstallMessageHandler(previous);
  return app != nullptr;
}

// The matplotlib "tab10" cycle: familiar to anyone who has looked at such charts.
QColor series_color(int i) {
  static const QRgb kTab10[10] = {0x1f77b4, 0xff7f0e, 0x2ca02c, 0xd62728, 0x9467bd,
                                  0x8c564b, 0xe377c2, 0x7f7f7f, 0xbcbd22, 0x17becf};
  return QColor(kTab10[((i % 10) + 10) % 10]);
}

bool save_png(const QImage& image, const fs::path& path) {
  QByteArray png;
  QBuffer buffer(&png);
  if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) return false;
  try {
    files::write_atomically(path, std::string_view(png.constData(), png.size()));
  } catch (const files::WriteError&) {
    return false;
  }
  return true;
}

QString format_tick(double v, double step) {
  if (step >= 1 && std::abs(v) < 1e6) return QString::number(std::lround(v));
  const int decimals = std::clamp(static_cast<int>(std::ceil(-std::log10(step))), 0, 6);
  if (std::abs(v) < 1e-3 && v != 0 && decimals > 4) return QString::number(v, 'e', 1);
  return QString::number(v, 'f', decimals);
}

// 1-2-5 tick step covering [lo, hi] with about `count` ticks.
double nice_step(double lo, double hi, int count) {
  const double span = std::max(hi - lo, 1e-12);
  const double raw = span / count;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (raw <= m * mag) return m * mag;
  return 10 * mag;
}

// A rectangle with data coordinates, axes, ticks, title and captions.
class Axes {
 public:
  Axes(QPainter& p, QRectF frame, double x0, double x1, double y0, double y1)
      : p_(p), frame_(frame), x0_(x0), x1_(x1), y0_(y0), y1_(y1) {
    if (x1_ <= x0_) x1_ = x0_ + 1;
    if (y1_ <= y0_) y1_ = y0_ + 1;
  }
  QPointF map(double x, double y) const {
    return {frame_.left() + (x - x0_) / (x1_ - x0_) * frame_.width(),
            frame_.bottom() - (y - y0_) / (y1_ - y0_) * frame_.height()};
  }
  void draw_frame(const QString& title, const QString& xlabel, const QString& ylabel,
                  int xticks = 5, int yticks = 5, bool grid = false) {
    QFont font = p_.font();
    const QFontMetricsF fm(font);
    p_.setPen(QPen(QColor(40, 40, 40), 1));
    double xs = nice_step(x0_, x1_, xticks);
    if (integer_x_) xs = std::max(1.0, std::round(xs));
    const double ys = nice_step(y0_, y1_, yticks);
    for (double v = std::ceil(x0_ / xs - 1e-9) * xs; v <= x1_ + 1e-9 * xs; v += xs) {
      const QPointF a = map(v, y0_);
      if (grid) {
        p_.setPen(QPen(QColor(225, 225, 225), 1));
        p_.drawLine(a, map(v, y1_));
        p_.setPen(QPen(QColor(40, 40, 40), 1));
      }
      p_.drawLine(a, a + QPointF(0, 4));
      const QString t = format_tick(v, xs);
      p_.drawText(QPointF(a.x() - fm.horizontalAdvance(t) / 2, a.y() + 6 + fm.ascent()), t);
    }
    for (double v = std::ceil(y0_ / ys - 1e-9) * ys; v <= y1_ + 1e-9 * ys; v += ys) {
      const QPointF a = map(x0_, v);
      if (grid) {
        p_.setPen(QPen(QColor(225, 225, 225), 1));
        p_.drawLine(a, map(x1_, v));
        p_.setPen(QPen(QColor(40, 40, 40), 1));
      }
      p_.drawLine(a, a - QPointF(4, 0));
      const QString t = format_tick(v, ys);
      p_.drawText(QPointF(a.x() - 7 - fm.horizontalAdvance(t), a.y() + fm.ascent() / 2 - 1), t);
    }
    p_.setBrush(Qt::NoBrush);
    p_.drawRect(frame_);
    if (!title.isEmpty()) {
      QFont bold = font;
      bold.setPointSizeF(font.pointSizeF() * 1.1);
      p_.setFont(bold);
      const QFontMetricsF bfm(bold);
      p_.drawText(QPointF(frame_.center().x() - bfm.horizontalAdvance(title) / 2, frame_.top() - 8),
                  title);
      p_.setFont(font);
    }
    if (!xlabel.isEmpty())
      p_.drawText(QPointF(frame_.center().x() - fm.horizontalAdvance(xlabel) / 2,
                          frame_.bottom() + 10 + 2 * fm.height()),
                  xlabel);
    if (!ylabel.isEmpty()) {
      p_.save();
      p_.translate(frame_.left() - 50, frame_.center().y() + fm.horizontalAdvance(ylabel) / 2);
      p_.rotate(-90);
      p_.drawText(QPointF(0, 0), ylabel);
      p_.restore();
    }
  }
  void line(const std::vector<double>& xs, const std::vector<double>& ys, const QPen& pen,
            bool markers = false) {
    if (xs.empty()) return;
    QPainterPath path;
    path.moveTo(map(xs[0], ys[0]));
    for (std::size_t i = 1; i < xs.size() && i < ys.size(); ++i) path.lineTo(map(xs[i], ys[i]));
    p_.save();
    p_.setClipRect(frame_.adjusted(-1, -1, 1, 1));
    p_.setPen(pen);
    p_.setBrush(Qt::NoBrush);
    p_.drawPath(path);
    if (markers) {
      p_.setBrush(pen.color());
      p_.setPen(Qt::NoPen);
      for (std::size_t i = 0; i < xs.size() && i < ys.size(); ++i)
        p_.drawEllipse(map(xs[i], ys[i]), 3.0, 3.0);
    }
    p_.restore();
  }
  const QRectF& frame() const { return frame_; }
  void set_integer_x(bool on) { integer_x_ = on; }

 private:
  bool integer_x_ = false;
  QPainter& p_;
  QRectF frame_;
  double x0_, x1_, y0_, y1_;
};

// Legend box in the frame's top-right (or bottom-left) corner.
void draw_legend(QPainter& p, const QRectF& frame,
                 const std::vector<std::pair<QString, QPen>>& items, bool bottom_left = false) {
  if (items.empty()) return;
  const QFontMetricsF fm(p.font());
  double w = 0;
  for (const auto& it : items) w = std::max(w, fm.horizontalAdvance(it.first));
  const double lh = fm.height() + 2;
  const QRectF box =
      bottom_left ? QRectF(frame.left() + 10, frame.bottom() - 10 - lh * items.size() - 8, w + 50,
                           lh * items.size() + 8)
                  : QRectF(frame.right() - w - 60, frame.top() + 10, w + 50, lh * items.size() + 8);
  p.setPen(QPen(QColor(200, 200, 200), 1));
  p.setBrush(QColor(255, 255, 255, 220));
  p.drawRoundedRect(box, 3, 3);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const double y = box.top() + 4 + lh * i + lh / 2;
    p.setPen(items[i].second);
    p.drawLine(QPointF(box.left() + 6, y), QPointF(box.left() + 32, y));
    p.setPen(QColor(30, 30, 30));
    p.drawText(QPointF(box.left() + 40, y + fm.ascent() / 2 - 1), items[i].first);
  }
}

std::vector<double> gaussian_smooth(const std::vector<double>& y, double sigma) {
  const int n = static_cast<int>(y.size());
  if (n < 2) return y;
  const int radius = static_cast<int>(4 * sigma + 0.5);
  std::vector<double> kernel(2 * radius + 1);
  double sum = 0;
  for (int k = -radius; k <= radius; ++k)
    sum += kernel[k + radius] = std::exp(-0.5 * k * k / (sigma * sigma));
  for (double& k : kernel) k /= sum;
  auto at = [&](int i) {  // mirror at the ends (half-sample symmetric)
    while (i < 0 || i >= n) i = i < 0 ? -i - 1 : 2 * n - i - 1;
    return y[i];
  };
  std::vector<double> out(n, 0);
  for (int i = 0; i < n; ++i)
    for (int k = -radius; k <= radius; ++k) out[i] += kernel[k + radius] * at(i + k);
  return out;
}

std::optional<QJsonObject> read_json(const fs::path& path) {
  QFile f(QString::fromStdString(path.string()));
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) {
    std::cerr << "plots: " << path.string()
              << " is not valid JSON: " << error.errorString().toStdString() << "\n";
    return std::nullopt;
  }
  return doc.object();
}

std::vector<double> to_vector(const QJsonValue& v) {
  std::vector<double> out;
  for (const auto& x : v.toArray()) out.push_back(x.toDouble());
  return out;
}

std::vector<std::vector<double>> to_matrix(const QJsonValue& v) {
  std::vector<std::vector<double>> out;
  for (const auto& row : v.toArray()) out.push_back(to_vector(row));
  return out;
}

QImage white_canvas(int w, int h) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(Qt::white);
  return image;
}

void setup_painter(QPainter& p, double point_size = 10) {
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  QFont font("DejaVu Sans");
  font.setPointSizeF(point_size);
  p.setFont(font);
}

}  // namespace

bool render_results(const fs::path& csv, const fs::path& png) {
  if (!ensure_gui_application()) return false;
  QFile f(QString::fromStdString(csv.string()));
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  QTextStream in(&f);
  QStringList header;
  std::vector<std::vector<double>> columns;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty()) continue;
    const QStringList cells = line.split(',');
    if (header.isEmpty()) {
      for (const QString& c : cells) header << c.trimmed();
      columns.resize(header.size());
      continue;
    }
    for (int i = 0; i < header.size(); ++i) {
      bool ok = false;
      const double v = i < cells.size() ? cells[i].trimmed().toDouble(&ok) : 0.0;
      columns[i].push_back(ok ? v : std::numeric_limits<double>::quiet_NaN());
    }
  }
  if (header.size() < 2 || columns[0].empty()) return false;
  const int epoch_col = std::max<int>(0, header.indexOf("epoch"));
  std::vector<double> x = columns[epoch_col];
  std::vector<int> panels;
  for (int i = 0; i < header.size(); ++i)
    if (i != epoch_col) panels.push_back(i);
  const int n = static_cast<int>(panels.size());
  const int rows = n > 5 ? 2 : 1;
  const int cols = (n + rows - 1) / rows;
  constexpr int PW = 360, PH = 300;
  QImage image = white_canvas(cols * PW, rows * PH);
  QPainter p(&image);
  setup_painter(p, 8.5);
  for (int k = 0; k < n; ++k) {
    const int c = panels[k];
    std::vector<double> xs, ys;
    for (std::size_t i = 0; i < columns[c].size(); ++i)
      if (std::isfinite(columns[c][i]) && std::isfinite(x[i]))
        xs.push_back(x[i]), ys.push_back(columns[c][i]);
    const QRectF frame((k % cols) * PW + 62, (k / cols) * PH + 30, PW - 80, PH - 75);
    double y0 = 0, y1 = 1, x0 = 0, x1 = 1;
    if (!ys.empty()) {
      y0 = *std::min_element(ys.begin(), ys.end());
      y1 = *std::max_element(ys.begin(), ys.end());
      // A flat series (all zeros early in training) still gets a readable axis.
      const double pad = y1 - y0 > 1e-9 ? (y1 - y0) * 0.08 : std::max(std::abs(y1) * 0.1, 0.05);
      y0 -= pad, y1 += pad;
      x0 = xs.front(), x1 = std::max(xs.back(), xs.front() + 1);
    }
    Axes axes(p, frame, x0, x1, y0, y1);
    axes.set_integer_x(true);  // epochs
    axes.draw_frame(header[c], "", "", 5, 5, true);
    const QPen raw(series_color(0), 2);
    const QPen smooth(series_color(1), 2, Qt::DotLine);
    axes.line(xs, ys, raw, xs.size() <= 60);
    if (xs.size() > 1) axes.line(xs, gaussian_smooth(ys, 3), smooth);
    if (k == 0) draw_legend(p, frame, {{"results", raw}, {"smooth", smooth}});
  }
  p.end();
  return save_png(image, png);
}

bool render_confusion(const fs::path& json, const fs::path& png, bool normalized) {
  if (!ensure_gui_application()) return false;
  const auto obj = read_json(json);
  if (!obj) return false;
  std::vector<std::vector<double>> m = to_matrix((*obj)["matrix"]);
  QStringList names;
  for (const auto& v : (*obj)["names"].toArray()) names << v.toString();
  const int n = static_cast<int>(m.size());
  if (n == 0) return false;
  for (const auto& row : m)
    if (static_cast<int>(row.size()) != n) return false;
  while (names.size() < n - 1) names << QString::number(names.size());
  names = names.mid(0, n - 1);
  names << "background";
  if (normalized) {  // each true class (column) sums to 1
    for (int c = 0; c < n; ++c) {
      double sum = 0;
      for (int r = 0; r < n; ++r) sum += m[r][c];
      for (int r = 0; r < n; ++r) m[r][c] = m[r][c] / (sum + 1e-9);
    }
  }
  double peak = 0;
  for (const auto& row : m)
    for (double v : row) peak = std::max(peak, v);
  const bool annotate = n <= 30;
  const bool labels = n <= 100;

  const int W = 1400, H = 1150;
  QImage image = white_canvas(W, H);
  QPainter p(&image);
  setup_painter(p, n > 20 ? 7 : 10);
  // Room for the longest class name (names are cut at 24 characters).
  double longest = 0;
  for (const QString& name : names)
    longest = std::max(longest, QFontMetricsF(p.font()).horizontalAdvance(name.left(24)));
  const double label_space = labels ? std::min(longest + 16, 260.0) : 40;
  const double side = std::min(W - label_space - 230.0, H - label_space - 110.0);
  const QRectF grid(label_space + 60, 70, side, side);
  const double cell = side / n;
  QFont font = p.font();
  QFont small = font;
  small.setPointSizeF(std::clamp(cell / 5.5, 5.0, 11.0));
  for (int r = 0; r < n; ++r)
    for (int c = 0; c < n; ++c) {
      const double v = m[r][c];
      const double t = peak > 0 ? v / peak : 0;
      // Blues: white to dark blue.
      const QColor color(static_cast<int>(247 - t * (247 - 8)),
                         static_cast<int>(251 - t * (251 - 48)),
                         static_cast<int>(255 - t * (255 - 107)));
      const QRectF rect(grid.left() + c * cell, grid.top() + r * cell, cell, cell);
      p.fillRect(rect, v < (normalized ? 0.005 : 0.5) ? QColor(Qt::white) : color);
      if (annotate && v >= (normalized ? 0.005 : 0.5)) {
        p.setFont(small);
        p.setPen(t > 0.5 ? Qt::white : QColor(30, 30, 30));
        p.drawText(rect, Qt::AlignCenter,
                   normalized ? QString::number(v, 'f', 2) : QString::number(std::lround(v)));
      }
    }
  p.setFont(font);
  p.setPen(QColor(40, 40, 40));
  p.drawRect(grid);
  const QFontMetricsF fm(font);
  if (labels) {
    for (int i = 0; i < n; ++i) {
      const QString name = names[i].left(24);
      // Rows: predicted class, left of the grid.
      p.drawText(QPointF(grid.left() - 8 - fm.horizontalAdvance(name),
                         grid.top() + (i + 0.5) * cell + fm.ascent() / 2 - 1),
                 name);
      // Columns: true class, below the grid, rotated.
      p.save();
      p.translate(grid.left() + (i + 0.5) * cell + fm.ascent() / 2 - 1, grid.bottom() + 8);
      p.rotate(-90);
      p.drawText(QPointF(-fm.horizontalAdvance(name), 0), name);
      p.restore();
    }
  }
  QFont big = font;
  big.setPointSizeF(13);
  p.setFont(big);
  const QFontMetricsF bfm(big);
  const QString title = normalized ? "Confusion Matrix Normalized" : "Confusion Matrix";
  p.drawText(QPointF(grid.center().x() - bfm.horizontalAdvance(title) / 2, 45), title);
  p.drawText(QPointF(grid.center().x() - bfm.horizontalAdvance("True") / 2,
                     grid.bottom() + label_space + 30),
             "True");
  p.save();
  p.translate(grid.left() - label_space - 30,
              grid.center().y() + bfm.horizontalAdvance("Predicted") / 2);
  p.rotate(-90);
  p.drawText(QPointF(0, 0), "Predicted");
  p.restore();
  // Colour bar.
  const QRectF bar(grid.right() + 30, grid.top(), 24, grid.height());
  for (int i = 0; i < static_cast<int>(bar.height()); ++i) {
    const double t = 1.0 - i / bar.height();
    p.fillRect(QRectF(bar.left(), bar.top() + i, bar.width(), 1),
               QColor(static_cast<int>(247 - t * 239), static_cast<int>(251 - t * 203),
                      static_cast<int>(255 - t * 148)));
  }
  p.setFont(font);
  p.setPen(QColor(40, 40, 40));
  p.drawRect(bar);
  for (int k = 0; k <= 4; ++k) {
    const double v = peak * k / 4;
    const double y = bar.bottom() - bar.height() * k / 4;
    p.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + 4, y));
    p.drawText(QPointF(bar.right() + 8, y + fm.ascent() / 2 - 1),
               normalized ? QString::number(v, 'f', 2) : QString::number(v, 'g', 4));
  }
  p.end();
  return save_png(image, png);
}

std::vector<fs::path> render_curves(const fs::path& json, const fs::path& dir) {
  std::vector<fs::path> written;
  if (!ensure_gui_application()) return written;
  const auto obj = read_json(json);
  if (!obj) return written;
  QStringList names;
  for (const auto& v : (*obj)["names"].toArray()) names << v.toString();
  const std::vector<double> px = to_vector((*obj)["px"]);
  if (px.empty()) return written;
  for (const auto& set_value : (*obj)["sets"].toArray()) {
    const QJsonObject set = set_value.toObject();
    const QString prefix = set["prefix"].toString();
    const std::vector<double> classes = to_vector(set["classes"]);
    const std::vector<double> ap50 = to_vector(set["ap50"]);
    const auto name_of = [&](std::size_t i) {
      const int c = i < classes.size() ? static_cast<int>(classes[i]) : static_cast<int>(i);
      return c >= 0 && c < names.size() ? names[c] : QString::number(c);
    };
    struct Kind {
      const char* key;
      const char* file;
      const char* xlabel;
      const char* ylabel;
    };
    for (const Kind& kind : {Kind{"f1", "F1_curve.png", "Confidence", "F1"},
                             Kind{"p", "P_curve.png", "Confidence", "Precision"},
                             Kind{"r", "R_curve.png", "Confidence", "Recall"},
                             Kind{"pr", "PR_curve.png", "Recall", "Precision"}}) {
      const auto rows = to_matrix(set[kind.key]);
      const bool pr = std::string(kind.key) == "pr";
      QImage image = white_canvas(1100, 800);
      QPainter p(&image);
      setup_painter(p, 10);
      Axes axes(p, QRectF(110, 60, 960, 640), 0, 1, 0, 1);
      const QString title =
          QString(pr ? "Precision-Recall Curve" : QString(kind.ylabel) + "-Confidence Curve");
      axes.draw_frame(title, kind.xlabel, kind.ylabel, 5, 5, false);
      std::vector<std::pair<QString, QPen>> legend;
      const bool per_class_legend = !rows.empty() && rows.size() < 21;
      std::vector<double> mean(px.size(), 0.0);
      for (std::size_t i = 0; i < rows.size(); ++i) {
        const QPen pen(per_class_legend ? series_color(static_cast<int>(i)) : QColor(128, 128, 128),
                       1);
        axes.line(px, rows[i], pen);
        for (std::size_t k = 0; k < px.size() && k < rows[i].size(); ++k)
          mean[k] += rows[i][k] / rows.size();
        if (per_class_legend) {
          QString label = name_of(i).left(28);
          if (pr && i < ap50.size()) label += " " + QString::number(ap50[i], 'f', 3);
          legend.emplace_back(label, pen);
        }
      }
      const QPen all_pen(QColor(0x1f, 0x3f, 0xc4), 3);
      QString all_label;
      if (rows.empty()) {
        all_label = "no labelled classes";
      } else if (pr) {
        double m = 0;
        for (double a : ap50) m += a / std::max<std::size_t>(ap50.size(), 1);
        all_label = QString("all classes %1 mAP@0.5").arg(m, 0, 'f', 3);
        axes.line(px, mean, all_pen);
      } else {
        // The mean curve, lightly smoothed, and where it peaks.
        std::vector<double> smoothed(px.size());
        const int half = static_cast<int>(std::lround(px.size() * 0.05 * 2)) / 2 / 2;
        for (int k = 0; k < static_cast<int>(px.size()); ++k) {
          double s = 0;
          for (int j = -half; j <= half; ++j)
            s += mean[std::clamp(k + j, 0, static_cast<int>(px.size()) - 1)];
          smoothed[k] = s / (2 * half + 1);
        }
        const auto best = std::max_element(smoothed.begin(), smoothed.end()) - smoothed.begin();
        all_label =
            QString("all classes %1 at %2").arg(smoothed[best], 0, 'f', 2).arg(px[best], 0, 'f', 3);
        axes.line(px, smoothed, all_pen);
      }
      legend.emplace_back(all_label, all_pen);
      draw_legend(p, axes.frame(), legend, std::string(kind.key) == "r" ? false : pr);
      p.end();
      const fs::path out = dir / (prefix.toStdString() + kind.file);
      if (save_png(image, out)) written.push_back(out);
    }
  }
  return written;
}

bool render_tune_fitness(const fs::path& csv, const fs::path& png) {
  if (!ensure_gui_application()) return false;
  QFile f(QString::fromStdString(csv.string()));
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
  QTextStream in(&f);
  std::vector<double> xs, ys;
  bool header = true;
  while (!in.atEnd()) {
    const QString line = in.readLine().trimmed();
    if (line.isEmpty()) continue;
    if (header) {
      header = false;
      if (!line.startsWith("fitness")) return false;
      continue;
    }
    bool ok = false;
    const double v = line.section(',', 0, 0).trimmed().toDouble(&ok);
    // Iterations are numbered by row, so a bad cell does not shift the ones after it.
    if (ok && std::isfinite(v)) xs.push_back(double(xs.size() + 1)), ys.push_back(v);
  }
  if (xs.empty()) return false;
  const auto best = std::size_t(std::max_element(ys.begin(), ys.end()) - ys.begin());
  const double lo = *std::min_element(ys.begin(), ys.end()), hi = ys[best];
  const double pad = hi - lo > 1e-9 ? (hi - lo) * 0.1 : std::max(std::abs(hi) * 0.1, 0.05);

  QImage image = white_canvas(720, 480);
  QPainter p(&image);
  setup_painter(p, 10);
  Axes axes(p, QRectF(80, 40, 610, 370), 0.5, std::max(xs.back(), 1.0) + 0.5,
            std::max(0.0, lo - pad), hi + pad);
  axes.set_integer_x(true);
  // Every iteration gets its tick while they fit.
  axes.draw_frame("Fitness per iteration", "Iteration", "Fitness",
                  std::clamp(static_cast<int>(xs.size()), 2, 10), 5, true);
  const QPen trials(series_color(0), 2);
  axes.line(xs, ys, trials, true);
  // The running best: what the search had found after each iteration.
  std::vector<double> running(ys.size());
  for (std::size_t i = 0; i < ys.size(); ++i)
    running[i] = std::max(ys[i], i ? running[i - 1] : ys[i]);
  const QPen best_pen(series_color(1), 2, Qt::DashLine);
  axes.line(xs, running, best_pen);
  p.setPen(QPen(series_color(3), 2));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(axes.map(xs[best], ys[best]), 7.0, 7.0);
  draw_legend(p, axes.frame(),
              {{"fitness", trials},
               {"best so far", best_pen},
               {QString("best: %1 (iteration %2)").arg(ys[best], 0, 'f', 5).arg(best + 1),
                QPen(series_color(3), 2)}},
              true);
  p.end();
  return save_png(image, png);
}

std::vector<fs::path> render_run_folder(const fs::path& run_dir) {
  std::vector<fs::path> written;
  try {
    if (!ensure_gui_application()) {
      std::cerr << "plots: charts need a QGuiApplication; none drawn\n";
      return written;
    }
    std::error_code ec;
    if (fs::exists(run_dir / "results.csv", ec) &&
        render_results(run_dir / "results.csv", run_dir / "results.png"))
      written.push_back(run_dir / "results.png");
    if (fs::exists(run_dir / "confusion_matrix.json", ec)) {
      if (render_confusion(run_dir / "confusion_matrix.json", run_dir / "confusion_matrix.png",
                           false))
        written.push_back(run_dir / "confusion_matrix.png");
      if (render_confusion(run_dir / "confusion_matrix.json",
                           run_dir / "confusion_matrix_normalized.png", true))
        written.push_back(run_dir / "confusion_matrix_normalized.png");
    }
    if (fs::exists(run_dir / "curves.json", ec))
      for (const auto& p : render_curves(run_dir / "curves.json", run_dir)) written.push_back(p);
  } catch (const std::exception& e) {
    std::cerr << "plots: " << e.what() << "\n";
  }
  return written;
}

}  // namespace orvane::plots
