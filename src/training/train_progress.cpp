#include "training/train_progress.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <algorithm>
#include <cmath>

namespace orvane::training {

int progress_percent(int completed, int total) {
  if (total <= 0) return 0;
  const double fraction = double(completed) / double(total);
  return int(std::trunc(fraction * 100.0));
}

QString format_eta(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  const long long whole = static_cast<long long>(seconds);  // fractions dropped
  const long long of_day = whole % 86400;
  return QString("%1:%2:%3")
      .arg(of_day / 3600, 2, 10, QChar('0'))
      .arg(of_day / 60 % 60, 2, 10, QChar('0'))
      .arg(of_day % 60, 2, 10, QChar('0'));
}

double eta_seconds(int completed, int total, double elapsed) {
  return (total - completed) * (elapsed / std::max(completed, 1));
}

QString epoch_status_text(int completed, int total, double elapsed, int first) {
  // The rate of this session's epochs, over the epochs still to come.
  const double left = completed > first ? eta_seconds(completed - first, total - first, elapsed)
                                        : eta_seconds(completed, total, elapsed);
  return QString("Epoch %1/%2 (%3%) | ETA: %4")
      .arg(completed)
      .arg(total)
      .arg(progress_percent(completed, total))
      .arg(format_eta(left));
}

QString resumed_status_text(int epoch, int total) {
  return QString("Resumed at epoch %1/%2").arg(epoch).arg(total);
}

void JsonLineParser::parse_line(const QByteArray& line, std::vector<QJsonObject>& out) {
  if (line.trimmed().isEmpty()) return;
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) {
    ++bad_lines_;
    return;
  }
  out.push_back(doc.object());
}

std::vector<QJsonObject> JsonLineParser::feed(const QByteArray& bytes) {
  std::vector<QJsonObject> out;
  partial_ += bytes;
  qsizetype start = 0;
  for (qsizetype nl = partial_.indexOf('\n'); nl >= 0; nl = partial_.indexOf('\n', start)) {
    parse_line(partial_.mid(start, nl - start), out);
    start = nl + 1;
  }
  partial_.remove(0, start);
  return out;
}

std::vector<QJsonObject> JsonLineParser::finish() {
  std::vector<QJsonObject> out;
  parse_line(partial_, out);
  partial_.clear();
  return out;
}

}  // namespace orvane::training
