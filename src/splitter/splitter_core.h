#pragma once
// Cutting the images of a folder into a grid of tiles: grid options, tile geometry and names, and
// the batch itself. Shared by the splitter tab, `orvane split` and the tests; no widgets here.

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

namespace orvane::splitter {

struct Grid {
  int rows = 1;
  int cols = 1;
  friend bool operator==(const Grid&, const Grid&) = default;
};

// Every grid of exactly `parts` tiles, by ascending row count (1 x parts first).
std::vector<Grid> grid_options(int parts);

// "2 Rows x 3 Cols" (plural words also for 1), and back; nullopt for text of another shape.
QString grid_option_text(const Grid& grid);
std::optional<Grid> parse_grid_option(const QString& text);

// Tile index text: `index` left-padded with zeros to the digit count of `parts`
// (4 parts -> "3"; 12 -> "03"; 100 -> "003").
QString tile_index_text(int index, int parts);

// "a.b.png", 3, 12 -> "a.b_part_03.png": the base name (up to the last dot), "_part_", the padded
// index, and the extension exactly as it was (dot and letter case included).
QString tile_file_name(const QString& source_file_name, int index, int parts);

// "part_03" for index 3 of 12.
QString part_folder_name(int index, int parts);

// The tile rectangles of a width x height image, row-major (tile 1 first). Tiles are
// height / rows by width / cols; the last row and the last column absorb the remainders. When the
// image has fewer pixels than the grid in a direction, the leading tiles in it are empty.
std::vector<cv::Rect> tile_rects(int width, int height, const Grid& grid);

// The same grid with neighbouring tiles sharing a margin of at least `overlap_percent` (0..90) of
// a tile, as small-object pipelines tile: all tiles of a row (column) are equally wide (high), the
// first starts at 0, the last ends at the image's edge and the others are spread evenly between.
// 0 gives exactly `tile_rects` above.
std::vector<cv::Rect> tile_rects(int width, int height, const Grid& grid, double overlap_percent);

// The images directly in `folder` matched by "*.jpg", "*.jpeg", "*.png", "*.bmp", "*.webp"
// (letter case ignored, hidden files excluded), pattern by pattern in directory order.
QStringList list_split_sources(const QString& folder);

struct SplitOptions {
  QString input_dir;
  QString output_dir;
  int parts = 4;  // sets the index padding; rows x cols must equal it
  Grid grid{1, 4};
  bool use_subfolders = true;  // one "part_<index>" folder per tile position
  double overlap = 0.0;        // percent of a tile shared with each neighbour, 0..90
  // Each tile gets a label file beside it with the source's shapes clipped to it, and classes.txt
  // of the input folder is copied into every folder that receives tiles.
  bool carry_labels = false;
  double min_visible = 0.25;  // share of a shape's area a tile must hold to keep it, 0..1
};

// What a batch did. Only tiles actually on disk are counted as written; everything that went
// wrong is listed so the operator can be told.
struct SplitReport {
  int images_found = 0;  // matching files in the input folder
  int images_processed = 0;  // of those, the ones the batch got to (all unless cancelled)
  bool cancelled = false;    // the stop flag ended the batch early
  int images_split = 0;  // of those, the ones that decoded
  int tiles_written = 0;
  int empty_tiles_skipped = 0;
  QStringList undecodable;              // file names that did not decode
  QStringList unwritable_tiles;         // tile paths whose write failed
  QStringList uncreatable_folders;      // part folders that could not be created
  QStringList images_with_empty_tiles;  // "name (W x H px)", smaller than the grid
  // With labels carried:
  int label_files_written = 0;
  QStringList unannotated;          // sources without a label file: their tiles get none
  QStringList label_errors;         // label files that do not parse; their images were not cut
  QStringList unwritable_labels;    // tile label files whose write failed
  QStringList class_list_problems;  // classes.txt copies that failed or were left alone

  bool has_problems() const;
};

// Called before each image: 0-based position, total, and the image's path.
using SplitProgress = std::function<void(int index, int total, const QString& path)>;

// Cuts every listed image. Input validation (folders given, input exists, images found) is the
// caller's. The output folder is created with its parents whether or not tiles go into part
// folders; if it cannot be, the batch stops at once with it as the one uncreatable folder.
// Otherwise the batch never stops early: a bad file, part folder or tile is recorded and the rest
// goes on.
// When `stop` becomes true the batch ends after the image in hand (all its tiles written).
SplitReport split_images(const SplitOptions& options, const QStringList& files,
                         const SplitProgress& progress = {},
                         const std::atomic_bool* stop = nullptr);

// "Split N images into M tile parts." with N the images split and M the tiles written; a
// cancelled batch: "Splitting cancelled after P of F images. Split N images into M tile parts."
QString success_message(const SplitReport& report);

// A readable list of everything that went wrong or was skipped; empty when nothing did.
QString problems_message(const SplitReport& report);

}  // namespace orvane::splitter
