#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/args.h"
#include "cli/verbs.h"
#include "resizer/resizer_batch.h"

namespace orvane::cli {

namespace {

const std::vector<KeyHelp>& resize_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "image files and/or folders, comma-separated"},
      {"output", "", "folder for the *_scaled files (created if missing)"},
      {"recursive", "false", "also take images from subfolders of source folders"},
      {"resize", "true", "resize (false: keep the pixel size; rotate/convert/compress only)"},
      {"width", "", "target width in `unit` (empty: from height and the aspect ratio, or kept)"},
      {"height", "", "target height in `unit`"},
      {"unit", "px", "px | cm | mm | in | pt"},
      {"dpi", "300", "resolution used for physical units and recorded in the files"},
      {"lock", "true", "keep the aspect ratio when only one of width/height is given"},
      {"budget", "false", "compress each file to at most budget_kb"},
      {"budget_kb", "500", "size budget in KB (1 KB = 1024 bytes)"},
      {"format", "match", "match | jpeg | png | webp (match: the format the file really has)"},
      {"rotate", "0", "clockwise rotation: 0 | 90 | 180 | 270"},
  };
  return keys;
}

constexpr const char* kSummary = "resize and compress images to physical sizes and size budgets";

}  // namespace

int run_resize(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("resize", kSummary, resize_keys());
    return 0;
  }
  const Args args(words, resize_keys());
  if (args.str("source").empty()) throw ArgError("source= is required");
  if (args.str("output").empty()) throw ArgError("output= is required");

  // Qt finds its image format plugins (JPEG, WEBP) through the application object.
  std::unique_ptr<QCoreApplication> app;
  static int argc = 1;
  static char name[] = "orvane";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);

  resizer::BatchInput input;
  input.resize_on = args.boolean("resize");
  input.width_text = QString::fromStdString(args.str("width"));
  input.height_text = QString::fromStdString(args.str("height"));
  input.unit = QString::fromStdString(args.str("unit"));
  input.dpi_text = QString::fromStdString(args.str("dpi"));
  input.lock_aspect = args.boolean("lock");
  input.rotation_text = QString::fromStdString(args.str("rotate"));
  input.format_text = QString::fromStdString(args.str("format"));
  input.budget_on = args.boolean("budget");
  input.budget_text = QString::fromStdString(args.str("budget_kb"));
  const bool recursive = args.boolean("recursive");
  const auto options = resizer::read_batch_options(input);
  if (!options) throw ArgError(options.error().toStdString());

  QStringList queue;
  for (const std::string& item : args.list("source")) {
    const QString path = QString::fromStdString(item);
    const QFileInfo info(path);
    if (info.isDir())
      resizer::append_unique(queue, resizer::collect_folder(path, recursive));
    else if (info.exists())
      resizer::append_unique(queue, {path});
    else
      throw ArgError("source '" + item + "' does not exist");
  }
  if (queue.isEmpty()) {
    std::cerr << "orvane resize: no images found in source\n";
    return 1;
  }

  const QString output = QString::fromStdString(args.str("output"));
  if (!QDir().mkpath(output)) {
    std::cerr << "orvane resize: cannot create output folder '" << args.str("output") << "'\n";
    return 1;
  }

  const auto summary =
      resizer::run_batch(queue, output, *options, [&](const resizer::FileOutcome& r, int done) {
        if (!r.ok) {
          std::cout << resizer::error_line(r).toStdString() << std::endl;
          std::cerr << "[" << done << "/" << queue.size() << "] failed: " << r.source.toStdString()
                    << "\n";
          return;
        }
        std::cerr << "[" << done << "/" << queue.size() << "] " << r.output.toStdString() << "  "
                  << r.size.width() << "x" << r.size.height() << "  "
                  << resizer::format_kb(r.bytes).toStdString() << " KB";
        if (r.quality) std::cerr << "  quality " << *r.quality;
        if (r.over_budget) std::cerr << "  (over budget: smallest encoding)";
        std::cerr << "\n";
      });
  std::cout << resizer::closing_message(summary).toStdString() << std::endl;
  if (!summary.failures.empty()) {
    std::cerr << "orvane resize: " << summary.failures.size() << " of " << summary.total
              << " files failed\n";
    return 1;
  }
  return 0;
}

}  // namespace orvane::cli
