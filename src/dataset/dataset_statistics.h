#pragma once
// The statistics that explain a model's misses: objects and images per class, objects per image,
// and box sizes in pixels at the training size, where the engine sees them (the long side of each
// image scaled to `imgsz`), split as COCO-style metrics split them: small under 32 x 32 pixels of
// area, medium under 96 x 96, large above. Aspect ratios tell thin classes apart.

#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <vector>

#include "training/training_defaults.h"

namespace orvane::dataset {

inline constexpr double kSmallArea = 32.0 * 32.0;
inline constexpr double kMediumArea = 96.0 * 96.0;

enum SizeClass { kSmall = 0, kMedium = 1, kLarge = 2 };
SizeClass size_class(double area_pixels);

// Aspect ratio (width / height) bins: under 1/4, 1/4 to 1/2, 1/2 to 1, 1 to 2, 2 to 4, 4 and over.
inline constexpr int kAspectBins = 6;
int aspect_bin(double ratio);
const QStringList& aspect_bin_names();

// Objects per image bins: 0, 1, 2, 3-5, 6-10, 11-20, over 20.
inline constexpr int kCountBins = 7;
int count_bin(int objects);
const QStringList& count_bin_names();

struct ClassStatistics {
  QString name;
  int objects = 0;
  int images = 0;
  std::array<int, 3> sizes{};  // small, medium, large (boxes of images whose size is known)
};

struct DatasetStatistics {
  int imgsz = training::kTrainingDefaults.imgsz;
  int images = 0;
  int images_without_objects = 0;  // no label file, or one without a usable object
  int images_unreadable = 0;       // size unknown: their boxes have no pixel size
  int objects = 0;
  int lines_skipped = 0;  // lines without a class id in the list or without coordinates
  std::vector<ClassStatistics> classes;
  std::array<int, kCountBins> objects_per_image{};
  int max_objects_per_image = 0;
  std::array<int, 3> sizes{};  // all classes
  std::array<int, kAspectBins> aspects{};
  std::vector<double> widths, heights;  // pixels at imgsz, one per sized box
  int sized() const { return sizes[0] + sizes[1] + sizes[2]; }
  double small_share() const { return sized() ? double(sizes[kSmall]) / sized() : 0.0; }
};

// Reads each image's header (its size) and its label file (`label_for`, e.g. label_path_for).
// Boxes are "c cx cy w h" lines; polygons count by the box around their vertices.
DatasetStatistics compute_statistics(const QStringList& image_paths, const QStringList& names,
                                     int imgsz,
                                     const std::function<QString(const QString&)>& label_for);

// Per image: whether its label file holds an object of class `class_id`; for a negative
// `class_id`, whether it has no label file or no object at all (the queue's filters).
std::vector<bool> images_matching(const QStringList& image_paths, int class_id,
                                  const std::function<QString(const QString&)>& label_for);

// The value at `fraction` (0..1) of `values` once sorted (nearest rank); 0 when empty.
double percentile(std::vector<double> values, double fraction);

// The advice when more than a third of the sized objects are small at the training size, else
// empty: "41% of the objects are small (under 32 x 32 pixels) at imgsz=640: consider tiling the
// images (orvane split labels=true) or a larger imgsz."
QString size_advice(const DatasetStatistics& stats);

// The `orvane dataset stats sizes=true` section: a few plain lines for people and scripts.
QStringList statistics_lines(const DatasetStatistics& stats);

}  // namespace orvane::dataset
