#include "training/log_bridge.h"

namespace orvane::training {

const QRegularExpression& ANSI_ESCAPE() {
  // \d reads any decimal digit, as the pattern's first users (Python's re) read it.
  static const QRegularExpression pattern(
      QStringLiteral(
          R"(\x1B(?:[@-Z\\-_]|\[[0-?]*[ -/]*[@-~])|\x1b\[[0-9;]*[a-zA-Z]|\[\d+m|\[\d+;\d+m|\[0m)"),
      QRegularExpression::UseUnicodePropertiesOption);
  return pattern;
}

QString clean_console_text(const QString& text) {
  QString out = text;
  out.remove(ANSI_ESCAPE());
  out.remove(QChar('\r'));
  return out;
}

void StreamToSignal::write(const QString& text) const {
  if (text.isEmpty()) return;
  const QString clean = clean_console_text(text);
  if (clean.isEmpty() || !signal_) return;
  signal_(clean);
}

namespace {

// Index where an escape sequence starts that the text ends before finishing, or -1.
qsizetype unfinished_escape(const QString& text) {
  const qsizetype esc = text.lastIndexOf(QChar(0x1B));
  if (esc < 0) return -1;
  const qsizetype n = text.size();
  if (esc == n - 1) return esc;                // ESC alone
  if (text[esc + 1] != QChar('[')) return -1;  // two-byte sequence, complete
  for (qsizetype i = esc + 2; i < n; ++i) {
    const ushort c = text[i].unicode();
    if (c >= 0x40 && c <= 0x7E) return -1;  // final byte: complete
    if (c < 0x20 || c > 0x3F) return -1;    // not a sequence byte: nothing to wait for
  }
  return esc;
}

}  // namespace

void ConsoleDecoder::feed(const QByteArray& bytes) {
  QString text = held_ + utf8_.decode(bytes);
  held_.clear();
  const qsizetype cut = unfinished_escape(text);
  // Held back only while it can still be a sequence; a long run of parameter bytes is text.
  if (cut >= 0 && text.size() - cut <= 32) {
    held_ = text.mid(cut);
    text.truncate(cut);
  }
  sink_.write(text);
}

void ConsoleDecoder::finish() {
  QString rest = held_ + utf8_.decode(QByteArray());
  held_.clear();
  sink_.write(rest);
}

}  // namespace orvane::training
