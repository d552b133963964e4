#include <QDir>
#include <QFileInfo>
#include <iostream>

#include "cli/args.h"
#include "cli/verbs.h"
#include "splitter/splitter_core.h"

namespace orvane::cli {

namespace {

const std::vector<KeyHelp> kSplitKeys{
    {"source", "", "folder whose images (jpg, jpeg, png, bmp, webp; not sub-folders) are cut"},
    {"output", "", "folder that receives the tiles (created with its part folders as needed)"},
    {"parts", "4", "number of tiles per image, 1-100; also sets the index padding"},
    {"rows", "1", "grid rows; rows x cols must equal parts (cols defaults to parts / rows)"},
    {"cols", "4", "grid columns (rows defaults to parts / cols when only cols is given)"},
    {"subfolders", "true", "put each tile position in its own part_<index> folder"},
    {"labels", "false",
     "carry YOLO labels: each tile gets a .txt with the shapes clipped to it; classes.txt is "
     "copied"},
    {"overlap", "0", "percent of a tile that neighbouring tiles share, 0-90"},
    {"min_visible", "0.25",
     "with labels: share of a shape's area a tile must hold to keep it, 0-1"},
};

// rows/cols follow parts when left out, so `parts=6` alone means 1 row x 6 columns, as the tab's
// first grid option does.
splitter::Grid grid_from(const Args& args, int parts) {
  int rows = args.has("rows") ? args.integer("rows") : 0;
  int cols = args.has("cols") ? args.integer("cols") : 0;
  if (rows == 0 && cols == 0) rows = 1;
  if (rows < 0 || cols < 0 || (rows == 0 && cols == 0))
    throw ArgError("rows and cols must be positive");
  if (cols == 0) {
    if (parts % rows != 0)
      throw ArgError("parts=" + std::to_string(parts) +
                     " cannot be cut into rows=" + std::to_string(rows));
    cols = parts / rows;
  } else if (rows == 0) {
    if (parts % cols != 0)
      throw ArgError("parts=" + std::to_string(parts) +
                     " cannot be cut into cols=" + std::to_string(cols));
    rows = parts / cols;
  }
  if (rows < 1 || cols < 1 || rows * cols != parts)
    throw ArgError("rows x cols must equal parts (" + std::to_string(rows) + " x " +
                   std::to_string(cols) + " != " + std::to_string(parts) + ")");
  return {rows, cols};
}

}  // namespace

int run_split(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("split", "cut every image of a folder into a grid of tiles",
                             kSplitKeys);
    return 0;
  }
  const Args args(words, kSplitKeys);
  splitter::SplitOptions options;
  options.input_dir = QString::fromStdString(args.str("source")).trimmed();
  options.output_dir = QString::fromStdString(args.str("output")).trimmed();
  if (options.input_dir.isEmpty() || !QFileInfo(options.input_dir).isDir() ||
      options.output_dir.isEmpty())
    throw ArgError("Specify valid Input and Output directories. (source=DIR output=DIR)");
  options.parts = args.integer("parts");
  if (options.parts < 1 || options.parts > 100) throw ArgError("parts must be 1-100");
  options.grid = grid_from(args, options.parts);
  options.use_subfolders = args.boolean("subfolders");
  options.carry_labels = args.boolean("labels");
  options.overlap = args.real("overlap");
  if (!(options.overlap >= 0 && options.overlap <= 90)) throw ArgError("overlap must be 0-90");
  options.min_visible = args.real("min_visible");
  if (!(options.min_visible >= 0 && options.min_visible <= 1))
    throw ArgError("min_visible must be 0-1");

  const QStringList files = splitter::list_split_sources(options.input_dir);
  if (files.isEmpty()) {
    std::cerr << "orvane split: No images found in input folder.\n";
    return 1;
  }
  const auto report =
      splitter::split_images(options, files, [](int index, int total, const QString& path) {
        std::cerr << "[" << index + 1 << "/" << total << "] "
                  << QFileInfo(path).fileName().toStdString() << "\n";
      });
  if (report.has_problems())
    std::cerr << "orvane split: " << splitter::problems_message(report).toStdString() << "\n";
  std::cout << splitter::success_message(report).toStdString() << "\n";
  // Skipped undecodable files and empty tiles are warnings; a tile (or its label file) that should
  // exist but could not be written, or an image left uncut because its labels do not parse, is a
  // failure a script must notice.
  const bool failed = !report.unwritable_tiles.isEmpty() || !report.unwritable_labels.isEmpty() ||
                      !report.label_errors.isEmpty();
  return !failed && report.tiles_written > 0 ? 0 : 1;
}

}  // namespace orvane::cli
