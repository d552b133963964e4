#pragma once
// Console text of a training or tuning run: what the child `orvane` prints, cleaned of terminal
// control codes so the console shows plain text. Widget-free; used on the worker thread.

#include <QRegularExpression>
#include <QString>
#include <QStringDecoder>
#include <functional>

namespace orvane::training {

// The one cleaning pattern, compiled once: ESC sequences, CSI sequences, and colour codes that
// lost their ESC ("[31m", "[1;32m", "[0m"), which also go when they appear in ordinary text.
const QRegularExpression& ANSI_ESCAPE();

// `text` with every ANSI_ESCAPE match and every carriage return removed.
QString clean_console_text(const QString& text);

// The text sink of the console: every piece written is cleaned and, unless nothing is left,
// handed to `signal` exactly as written (no line break added). Stands where the process's
// standard streams would be, so it offers the three operations writers expect of a stream.
class StreamToSignal {
 public:
  explicit StreamToSignal(std::function<void(const QString&)> signal)
      : signal_(std::move(signal)) {}
  void write(const QString& text) const;
  void flush() const {}
  bool isatty() const { return true; }  // the engine may colour its output; it is cleaned here

 private:
  std::function<void(const QString&)> signal_;
};

// Turns the raw bytes of a child's output pipe into console pieces. A read can end in the middle
// of a UTF-8 character or of an escape sequence; both are held back until the next read, so a
// split code never reaches the console half-cleaned.
class ConsoleDecoder {
 public:
  explicit ConsoleDecoder(const StreamToSignal& sink) : sink_(sink) {}
  void feed(const QByteArray& bytes);
  // End of the stream: whatever is held back is written as it is (cleaned).
  void finish();

 private:
  const StreamToSignal& sink_;
  QStringDecoder utf8_{QStringDecoder::Utf8};
  QString held_;  // an unfinished escape sequence at the end of the last read
};

}  // namespace orvane::training
