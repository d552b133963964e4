// orvane convert: a dataset from one format to another (COCO JSON, Pascal VOC, labelme, YOLO).

#include <QFile>
#include <iostream>

#include "cli/args.h"
#include "cli/verbs.h"
#include "interchange/convert.h"

namespace orvane::cli {

namespace {

const std::vector<KeyHelp>& convert_keys() {
  static const std::vector<KeyHelp> keys{
      {"from", "", "source format: coco | voc | labelme | yolo"},
      {"to", "", "output format: coco | voc | labelme | yolo"},
      {"source", "", "source folder (for coco also its JSON file)"},
      {"output", "", "output folder; must not exist yet or be empty"},
      {"max_json_mb", "1024", "refuse a COCO JSON file larger than this (MB)"},
  };
  return keys;
}

constexpr const char* kSummary =
    "convert a dataset between COCO JSON, Pascal VOC, labelme and YOLO";

interchange::Format format_of(const Args& args, const char* key) {
  const std::string value = args.str(key);
  if (value.empty())
    throw ArgError(std::string(key) + "= is required (coco, voc, labelme or yolo)");
  interchange::Format format;
  if (!interchange::parse_format(QString::fromStdString(value), format))
    throw ArgError(std::string(key) + "=" + value + " must be coco, voc, labelme or yolo");
  return format;
}

std::string out(const QString& text) { return text.toLocal8Bit().toStdString(); }

}  // namespace

int run_convert(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("convert", kSummary, convert_keys());
    return 0;
  }
  const Args args(words, convert_keys());
  interchange::ConvertRequest request;
  request.from = format_of(args, "from");
  request.to = format_of(args, "to");
  if (args.str("source").empty()) throw ArgError("source= is required");
  if (args.str("output").empty()) throw ArgError("output= is required");
  request.source = QFile::decodeName(QByteArray::fromStdString(args.str("source")));
  request.output = QFile::decodeName(QByteArray::fromStdString(args.str("output")));
  const int max_mb = args.integer("max_json_mb");
  if (max_mb < 1) throw ArgError("max_json_mb must be at least 1");
  request.limits.max_json_bytes = qint64(max_mb) << 20;

  int last_percent = -1;
  const interchange::ConvertOutcome outcome =
      interchange::convert_dataset(request, [&](int done, int total, const QString&) {
        const int percent = total > 0 ? done * 100 / total : 100;
        if (percent / 10 != last_percent / 10 || done == total) {
          std::cerr << "orvane convert: " << done << "/" << total << " images\n";
          last_percent = percent;
        }
      });
  for (const QString& line : outcome.report.lines())
    std::cerr << "orvane convert: " << out(line) << "\n";
  if (!outcome.written()) {
    std::cerr << "orvane convert: " << out(outcome.summary(request)) << "\n";
    return 1;
  }
  std::cout << out(outcome.summary(request)) << "\n";
  return outcome.complete() ? 0 : 1;
}

}  // namespace orvane::cli
