#pragma once
// Progress of a training run as the monitor shows it: the percent and the epoch/ETA text, and
// the reader of the JSON-lines progress channel of `orvane train`.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <vector>

namespace orvane::training {

// Whole percent of `completed` of `total` epochs: the quotient first, then x 100, truncated
// (29 of 100 gives 28, as 0.29 is a little below 29/100 in binary).
int progress_percent(int completed, int total);

// Seconds as "HH:MM:SS" of a 24-hour clock: fractions dropped, hours wrap at 24, negative is 0.
QString format_eta(double seconds);

// Time left when `completed` of `total` epochs took `elapsed` seconds in all.
double eta_seconds(int completed, int total, double elapsed);

// "Epoch 3/100 (3%) | ETA: 00:12:34". `first`: epochs a resumed run had before it started, which
// took none of `elapsed`.
QString epoch_status_text(int completed, int total, double elapsed, int first = 0);

// "Resumed at epoch 4/10": a resumed run goes on with epoch `epoch` (1-based) of `total`.
QString resumed_status_text(int epoch, int total);

// Splits a byte stream into JSON objects, one per line. A read may end in the middle of a line;
// the rest waits for the next read. Lines that are not a JSON object are counted and skipped.
class JsonLineParser {
 public:
  std::vector<QJsonObject> feed(const QByteArray& bytes);
  // End of the stream: a last line without its line break still counts.
  std::vector<QJsonObject> finish();
  int bad_lines() const { return bad_lines_; }

 private:
  void parse_line(const QByteArray& line, std::vector<QJsonObject>& out);
  QByteArray partial_;
  int bad_lines_ = 0;
};

}  // namespace orvane::training
