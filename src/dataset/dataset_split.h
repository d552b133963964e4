#pragma once
// Export and split: annotated images and their label files copied into train/val/test folders
// (OUT/{train,val,test}/{images,labels}), with labels optionally reduced to boxes, and the
// data.yaml manifest the training tab hands to the engine.

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "dataset/dataset_files.h"

namespace orvane::dataset {

enum class LabelFormat {
  Detection,     // each polygon line becomes "class cx cy w h"
  Segmentation,  // label files copied unchanged
};

struct SplitSizes {
  int train = 0, val = 0, test = 0;
};

// train = trunc(n * train_ratio), val = trunc(n * val_ratio), test = the rest. The products are
// plain doubles, so 90 pairs at 0.7 give 62 (90 * 0.7 == 62.99999999999999).
SplitSizes split_sizes(int n, double train_ratio, double val_ratio);

struct LabeledImage {
  QString image;
  QString label;
};

// The images of `image_paths` (in order) whose label file exists, with that label path.
std::vector<LabeledImage> annotated_pairs(const QStringList& image_paths);

// A uniform random permutation (Fisher-Yates on a 64-bit Mersenne Twister). With a seed the
// order is the same on every platform; without one it is seeded from the system's entropy.
void shuffle_pairs(std::vector<LabeledImage>& pairs, std::optional<std::uint64_t> seed);

// One polygon label line reduced to its box: "class cx cy w h", six decimals, class token kept as
// written. x values are the even-positioned numbers after the class, y values the odd ones.
// No box (std::nullopt) for a line of fewer than three tokens, which is skipped; fails, naming the
// token, for a coordinate that is not a number.
Result<std::optional<QString>> polygon_line_to_box(const QString& line);

// The converted lines of a whole label file, one per qualifying input line. Fails on a
// non-numeric coordinate with "line N: ...".
Result<QStringList> detection_label_lines(const QStringList& lines);

// `value` as a YAML scalar that every YAML parser reads back as exactly this string: plain when
// that is safe, else single-quoted, or double-quoted with escapes when it holds control
// characters.
QString yaml_scalar(const QString& value);

// The data.yaml text for an output folder (absolute path, backslashes turned to "/") and classes.
QString data_yaml_text(const QString& absolute_output_dir, const QStringList& classes);

struct ExportRequest {
  QString output_dir;
  LabelFormat format = LabelFormat::Detection;
  double train_ratio = 0.7;
  double val_ratio = 0.2;
};

struct ExportResult {
  Result<> status;    // the first failure, naming the file and the cause; the export stops there
  SplitSizes sizes;   // how the pairs were cut
  int copied = 0;          // pairs begun (all copied but one a failure stopped at)
  bool cancelled = false;  // the stop flag ended the export early: no data.yaml
};

// Cuts `pairs` (already shuffled) into train/val/test in order, creates all six folders, copies
// each image (and label, or its box conversion) under its own name, then writes data.yaml
// atomically. Files written before a failure stay; data.yaml is only written when all went well.
// `progress(done, total)` follows the pairs; when `stop` becomes true the export ends after the
// pair in hand (each file is whole), without data.yaml.
ExportResult export_split(const std::vector<LabeledImage>& pairs, const QStringList& classes,
                          const ExportRequest& request,
                          const std::function<void(int, int)>& progress = {},
                          const std::atomic_bool* stop = nullptr);

}  // namespace orvane::dataset
