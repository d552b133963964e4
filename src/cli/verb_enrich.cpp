// orvane enrich: the enricher tab's "ENRICH DATASET" batch, headless. A source folder gives
// `count` variants of each of its images; each image is its own batch with its own second in the
// file names, so no variant ever replaces another.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <iostream>
#include <random>

#include "cli/args.h"
#include "cli/verbs.h"
#include "enricher/enricher_core.h"
#include "files/fs_path.h"
#include "imaging/image_io.h"
#include "label_geometry/label_geometry.h"

namespace orvane::cli {

namespace {

const std::vector<KeyHelp>& enrich_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "an image file, or a folder whose images (not sub-folders) are all enriched"},
      {"output", "", "folder for image_enriched_<second>_var_<k>.jpg (created if missing)"},
      {"count", "10", "variants per source image, 1-1000"},
      {"brightness", "-30,30", "offset added to every channel, -100..100"},
      {"contrast", "0.8,1.2", "multiplier, 0.1..3.0"},
      {"rotation", "-15,15", "degrees, counter-clockwise positive, -180..180"},
      {"gamma", "0.8,1.2", "gamma curve, 0.1..3.0"},
      {"warp", "0,5", "perspective skew in percent, 0..50; a maximum of 0 skips it"},
      {"seed", "", "integer seed for reproducible variants; empty takes a random one"},
      {"labels", "false",
       "carry YOLO labels: each variant gets a .txt with its source's shapes through the same "
       "geometry; classes.txt is copied"},
      {"min_visible", "0.25",
       "with labels: share of a shape's area that must stay in the picture to keep it, 0-1"},
  };
  return keys;
}

// Same limits as the tab's spin boxes, so the command line cannot ask for what the form refuses.
enricher::Range checked_range(const Args& args, const std::string& key, double lo, double hi) {
  const auto [a, b] = args.range(key);
  if (!(a >= lo && a <= hi && b >= lo && b <= hi))
    throw ArgError(key + "=" + args.str(key) + " must lie within " +
                   QString::number(lo).toStdString() + ".." + QString::number(hi).toStdString());
  return {a, b};
}

std::uint64_t seed_from(const Args& args) {
  const std::string text = args.str("seed");
  if (text.empty()) return std::random_device{}();
  try {
    size_t used = 0;
    const unsigned long long value = std::stoull(text, &used);
    if (used == text.size() && text.find('-') == std::string::npos) return value;
  } catch (const std::exception&) {
  }
  throw ArgError("seed=" + text + " must be a non-negative integer");
}

// The closing message and the exit code: 1 when a variant was not written, a label file did not
// parse, or no source could be read.
int finish(const enricher::SourcesReport& report, int sources) {
  std::cout << enricher::closing_message(report.created).toStdString() << "\n";
  if (report.failed > 0) {
    std::cerr << "orvane enrich: " << report.failed << " variant(s) could not be written, first "
              << report.first_failure.toStdString() << "\n";
    return 1;
  }
  if (report.bad_labels > 0) {
    std::cerr << "orvane enrich: " << report.bad_labels
              << " source(s) had a label file that does not parse and were skipped\n";
    return 1;
  }
  if (report.unreadable == sources) {
    std::cerr << "orvane enrich: no source image could be read\n";
    return 1;
  }
  return 0;
}

}  // namespace

int run_enrich(const std::vector<std::string>& words) {
  const char* summary = "generate randomly augmented variants of images";
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("enrich", summary, enrich_keys());
    return 0;
  }
  const Args args(words, enrich_keys());

  const QString source = QString::fromStdString(args.str("source"));
  const QString output = QString::fromStdString(args.str("output")).trimmed();
  if (source.isEmpty()) throw ArgError("source= is required (an image or a folder)");
  if (output.isEmpty()) throw ArgError("output= is required");
  const int count = args.integer("count");
  if (count < 1 || count > 1000) throw ArgError("count=" + args.str("count") + " must be 1..1000");
  enricher::AugRanges ranges;
  ranges.brightness = checked_range(args, "brightness", -100, 100);
  ranges.contrast = checked_range(args, "contrast", 0.1, 3.0);
  ranges.rotation = checked_range(args, "rotation", -180, 180);
  ranges.gamma = checked_range(args, "gamma", 0.1, 3.0);
  ranges.warp = checked_range(args, "warp", 0, 50);
  enricher::Rng rng(seed_from(args));
  const bool carry_labels = args.boolean("labels");
  const double min_visible = args.real("min_visible");
  if (!(min_visible >= 0 && min_visible <= 1)) throw ArgError("min_visible must be 0-1");

  const QFileInfo source_info(source);
  QStringList images;
  if (source_info.isDir()) {
    images = enricher::list_sources(source);
    if (images.isEmpty()) {
      std::cerr << "orvane enrich: no images (.jpg .jpeg .png .bmp .webp) in "
                << source.toStdString() << "\n";
      return 1;
    }
  } else if (source_info.isFile()) {
    images << source;
  } else {
    std::cerr << "orvane enrich: source " << source.toStdString() << " does not exist\n";
    return 1;
  }
  if (!QDir().mkpath(output)) {
    std::cerr << "orvane enrich: cannot create output folder " << output.toStdString() << "\n";
    return 1;
  }

  enricher::SourcesOptions options;
  options.ranges = ranges;
  options.count = count;
  options.out_dir = output;
  options.carry_labels = carry_labels;
  options.min_visible = min_visible;
  const enricher::SourcesReport report =
      enricher::enrich_sources(images, options, rng, [](const QString& step, const QString& text) {
        std::cerr << (step.isEmpty() ? QStringLiteral("orvane enrich") : step).toStdString() << ": "
                  << text.toStdString() << "\n";
      });
  return finish(report, int(images.size()));
}

}  // namespace orvane::cli
