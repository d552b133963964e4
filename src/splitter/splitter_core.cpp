#include "splitter/splitter_core.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <optional>

#include "files/atomic_file.h"
#include "files/text_file.h"
#include "files/fs_path.h"
#include "files/label_format.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"
#include "label_geometry/label_geometry.h"

namespace orvane::splitter {

std::vector<Grid> grid_options(int parts) {
  std::vector<Grid> options;
  for (int rows = 1; rows <= parts; ++rows) {
    if (parts % rows == 0) options.push_back({rows, parts / rows});
  }
  return options;
}

QString grid_option_text(const Grid& grid) {
  return QStringLiteral("%1 Rows x %2 Cols").arg(grid.rows).arg(grid.cols);
}

std::optional<Grid> parse_grid_option(const QString& text) {
  static const QRegularExpression pattern(QStringLiteral("^(\\d+) Rows x (\\d+) Cols$"));
  const auto match = pattern.match(text);
  if (!match.hasMatch()) return std::nullopt;
  const Grid grid{match.captured(1).toInt(), match.captured(2).toInt()};
  if (grid.rows < 1 || grid.cols < 1) return std::nullopt;
  return grid;
}

QString tile_index_text(int index, int parts) {
  const int pad = static_cast<int>(QString::number(parts).size());
  return QStringLiteral("%1").arg(index, pad, 10, QLatin1Char('0'));
}

QString tile_file_name(const QString& source_file_name, int index, int parts) {
  const qsizetype dot = source_file_name.lastIndexOf(QLatin1Char('.'));
  const QString base = dot < 0 ? source_file_name : source_file_name.left(dot);
  const QString ext = dot < 0 ? QString() : source_file_name.mid(dot);
  return base + QStringLiteral("_part_") + tile_index_text(index, parts) + ext;
}

QString part_folder_name(int index, int parts) {
  return QStringLiteral("part_") + tile_index_text(index, parts);
}

std::vector<cv::Rect> tile_rects(int width, int height, const Grid& grid) {
  std::vector<cv::Rect> rects;
  if (grid.rows < 1 || grid.cols < 1) return rects;
  const int tile_h = height / grid.rows;
  const int tile_w = width / grid.cols;
  rects.reserve(static_cast<size_t>(grid.rows) * grid.cols);
  for (int r = 0; r < grid.rows; ++r) {
    const int y1 = r * tile_h;
    const int y2 = r == grid.rows - 1 ? height : (r + 1) * tile_h;
    for (int c = 0; c < grid.cols; ++c) {
      const int x1 = c * tile_w;
      const int x2 = c == grid.cols - 1 ? width : (c + 1) * tile_w;
      rects.emplace_back(x1, y1, x2 - x1, y2 - y1);
    }
  }
  return rects;
}

namespace {

// Starts and the common length of `count` tiles over `length` pixels sharing `overlap` (0..1) of
// a tile with each neighbour. The length t is the smallest with count * t - (count - 1) * overlap
// * t >= length; the starts are spread evenly from 0 to length - t, so every gap between two
// starts is at most (1 - overlap) * t and neighbours share at least overlap * t.
std::pair<std::vector<int>, int> overlapping_spans(int length, int count, double overlap) {
  if (count <= 1) return {{0}, length};
  const double needed = length / (count - (count - 1) * overlap);
  const int tile = std::clamp(static_cast<int>(std::ceil(needed - 1e-9)), 1, std::max(1, length));
  std::vector<int> starts;
  starts.reserve(count);
  for (int i = 0; i < count; ++i)
    starts.push_back(static_cast<int>(std::floor(double(i) * (length - tile) / (count - 1) + 0.5)));
  return {starts, tile};
}

}  // namespace

std::vector<cv::Rect> tile_rects(int width, int height, const Grid& grid, double overlap_percent) {
  if (!(overlap_percent > 0)) return tile_rects(width, height, grid);
  std::vector<cv::Rect> rects;
  if (grid.rows < 1 || grid.cols < 1) return rects;
  const double overlap = std::min(overlap_percent, 90.0) / 100.0;
  const auto [ys, tile_h] = overlapping_spans(height, grid.rows, overlap);
  const auto [xs, tile_w] = overlapping_spans(width, grid.cols, overlap);
  rects.reserve(static_cast<size_t>(grid.rows) * grid.cols);
  for (int y : ys)
    for (int x : xs) rects.emplace_back(x, y, tile_w, tile_h);
  return rects;
}

QStringList list_split_sources(const QString& folder) {
  static const QStringList patterns{"*.jpg", "*.jpeg", "*.png", "*.bmp", "*.webp"};
  const QDir dir(folder);
  QStringList files;
  for (const QString& pattern : patterns) {
    // QDir name filters ignore letter case by default; without QDir::Hidden, dot-files are left
    // out as a shell glob would.
    const auto entries = dir.entryInfoList({pattern}, QDir::Files, QDir::Unsorted);
    for (const QFileInfo& info : entries) files << dir.filePath(info.fileName());
  }
  return files;
}

bool SplitReport::has_problems() const {
  return !undecodable.isEmpty() || !unwritable_tiles.isEmpty() || !uncreatable_folders.isEmpty() ||
         empty_tiles_skipped > 0 || !unannotated.isEmpty() || !label_errors.isEmpty() ||
         !unwritable_labels.isEmpty() || !class_list_problems.isEmpty();
}

namespace {

namespace lg = label_geometry;

// The labels of the tile at `tile_path` (the picture's `rect`) beside it. Atomic but not synced,
// as bulk copies are: a label file is a few hundred bytes derived from the source, and a sync per
// tile would double the split's time on disks where the tile's own sync dominates.
void write_tile_labels(const QString& tile_path, const std::vector<lg::Shape>& shapes,
                       const cv::Rect& rect, double min_visible, SplitReport& report) {
  const std::string text =
      lg::format_labels(lg::shapes_in_tile(shapes, rect, min_visible), rect.size());
  const Result<> written =
      write_file_atomic(fs_path(label_path_for(tile_path)), text, files::Durability::kRenameOnly);
  if (written) {
    ++report.label_files_written;
  } else {
    report.unwritable_labels << written.error();
  }
}

// One split: the options, its report, and the class list each folder of tiles receives.
struct ImageSplit {
  const SplitOptions& options;
  SplitReport& report;
  lg::ClassListCarrier class_lists;

  // Once per folder that receives tiles, so a folder of tiles opens in the annotator as it is.
  void give_class_list(const QString& folder) {
    if (!options.carry_labels) return;
    const Result<> carried = class_lists.carry(fs_path(options.input_dir), fs_path(folder));
    if (!carried) report.class_list_problems << carried.error();
  }

  // The folder tile `index` goes into; empty (the failure recorded) when it cannot be created.
  QString tile_folder(int index, const QString& tile_name) {
    if (!options.use_subfolders) return options.output_dir;
    const QString folder =
        QDir(options.output_dir).filePath(part_folder_name(index, options.parts));
    if (!QDir().mkpath(folder)) {
      if (!report.uncreatable_folders.contains(folder)) report.uncreatable_folders << folder;
      report.unwritable_tiles << QDir(folder).filePath(tile_name);
      return {};
    }
    give_class_list(folder);
    return folder;
  }

  // The tiles of one decoded picture. `shapes` unset: an unannotated source, which says nothing
  // about its tiles; an annotated one makes every tile annotated, one without objects getting an
  // empty file (a true negative).
  void write_tiles(const cv::Mat& image, const QString& file_name,
                   const std::optional<std::vector<lg::Shape>>& shapes) {
    const std::vector<cv::Rect> rects =
        tile_rects(image.cols, image.rows, options.grid, options.overlap);
    bool had_empty = false;
    for (size_t t = 0; t < rects.size(); ++t) {
      const int index = static_cast<int>(t) + 1;
      // An image with fewer pixels than the grid leaves leading tiles empty; they have nothing
      // to write, but the later tiles keep their positional index.
      if (rects[t].empty()) {
        ++report.empty_tiles_skipped;
        had_empty = true;
        continue;
      }
      const QString tile_name = tile_file_name(file_name, index, options.parts);
      const QString folder = tile_folder(index, tile_name);
      if (folder.isEmpty()) continue;
      const QString tile_path = QDir(folder).filePath(tile_name);
      if (!write_image_atomic(tile_path, image(rects[t]))) {
        report.unwritable_tiles << tile_path;
        continue;
      }
      ++report.tiles_written;
      if (shapes) write_tile_labels(tile_path, *shapes, rects[t], options.min_visible, report);
    }
    if (had_empty) {
      report.images_with_empty_tiles
          << QStringLiteral("%1 (%2 x %3 px)")
                 .arg(file_name, QString::number(image.cols), QString::number(image.rows));
    }
  }

  // One source file: decoded, its labels read before any tile is written (a label file that
  // does not parse leaves its image uncut rather than half cut with tiles whose labels would be
  // missing or wrong), then cut.
  void split_file(const QString& path) {
    const QString file_name = QFileInfo(path).fileName();
    const cv::Mat image = read_image_bgr(path);
    if (image.empty()) {
      report.undecodable << file_name;
      return;
    }
    std::optional<std::vector<lg::Shape>> shapes;
    if (options.carry_labels) {
      Result<lg::LabelFile> labels = lg::read_image_labels(fs_path(path), image.size());
      if (!labels) {
        report.label_errors << labels.error();
        return;
      }
      if (labels->found)
        shapes = std::move(labels->shapes);
      else
        report.unannotated << file_name;
    }
    ++report.images_split;
    write_tiles(image, file_name, shapes);
  }
};

}  // namespace

SplitReport split_images(const SplitOptions& options, const QStringList& files,
                         const SplitProgress& progress, const std::atomic_bool* stop) {
  SplitReport report;
  report.images_found = static_cast<int>(files.size());
  const int total = static_cast<int>(files.size());
  // The output folder is created with its parents in both layouts; when that fails, no tile can
  // be written, so the batch stops with that one reason instead of one failure per tile.
  if (!QDir().mkpath(options.output_dir)) {
    report.uncreatable_folders << options.output_dir;
    return report;
  }
  ImageSplit split{options, report, {}};
  if (!options.use_subfolders) split.give_class_list(options.output_dir);
  for (int i = 0; i < total; ++i) {
    if (stop && stop->load()) {
      report.cancelled = true;
      break;
    }
    report.images_processed = i + 1;
    if (progress) progress(i, total, files[i]);
    split.split_file(files[i]);
  }
  return report;
}

QString success_message(const SplitReport& report) {
  const QString done = QStringLiteral("Split %1 images into %2 tile parts.")
                           .arg(report.images_split)
                           .arg(report.tiles_written);
  if (!report.cancelled) return done;
  return QStringLiteral("Splitting cancelled after %1 of %2 images. ")
             .arg(report.images_processed)
             .arg(report.images_found) +
         done;
}

namespace {

// At most `limit` entries, then "... and N more", so a failed batch of thousands stays readable.
QString short_list(const QStringList& items, int limit = 10) {
  QStringList shown = items.mid(0, limit);
  QString text = QStringLiteral("  ") + shown.join(QStringLiteral("\n  "));
  if (items.size() > limit) text += QStringLiteral("\n  ... and %1 more").arg(items.size() - limit);
  return text;
}

}  // namespace

QString problems_message(const SplitReport& report) {
  QStringList parts;
  if (!report.undecodable.isEmpty()) {
    parts << QStringLiteral("%1 file(s) could not be read as images and were skipped:\n%2")
                 .arg(report.undecodable.size())
                 .arg(short_list(report.undecodable));
  }
  if (!report.uncreatable_folders.isEmpty()) {
    parts << QStringLiteral("%1 folder(s) could not be created:\n%2")
                 .arg(report.uncreatable_folders.size())
                 .arg(short_list(report.uncreatable_folders));
  }
  if (!report.unwritable_tiles.isEmpty()) {
    parts << QStringLiteral("%1 tile(s) could not be written:\n%2")
                 .arg(report.unwritable_tiles.size())
                 .arg(short_list(report.unwritable_tiles));
  }
  if (!report.label_errors.isEmpty()) {
    parts << QStringLiteral("%1 label file(s) could not be used, so their images were not cut:\n%2")
                 .arg(report.label_errors.size())
                 .arg(short_list(report.label_errors));
  }
  if (!report.unwritable_labels.isEmpty()) {
    parts << QStringLiteral("%1 tile label file(s) could not be written:\n%2")
                 .arg(report.unwritable_labels.size())
                 .arg(short_list(report.unwritable_labels));
  }
  if (!report.unannotated.isEmpty()) {
    parts << QStringLiteral("%1 image(s) have no label file, so their tiles have none either:\n%2")
                 .arg(report.unannotated.size())
                 .arg(short_list(report.unannotated));
  }
  if (!report.class_list_problems.isEmpty()) {
    parts << QStringLiteral("classes.txt was not copied everywhere:\n%1")
                 .arg(short_list(report.class_list_problems));
  }
  if (report.empty_tiles_skipped > 0) {
    parts << QStringLiteral(
                 "%1 empty tile(s) were skipped because these images have fewer pixels than "
                 "the grid has rows or columns:\n%2")
                 .arg(report.empty_tiles_skipped)
                 .arg(short_list(report.images_with_empty_tiles));
  }
  return parts.join(QStringLiteral("\n\n"));
}

}  // namespace orvane::splitter
