#pragma once
// Duplicate images and leakage between splits: exact copies by content hash (SHA-256 of the file
// bytes) and near copies (re-encoded, resized, slightly cropped or brightened) by a perceptual
// hash, confirmed on small grey thumbnails aligned over small crops, so that two different frames
// of one scene are not called copies. Hashing runs on every core and is cached per file by size
// and modification time.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "files/result.h"

namespace orvane::dataset {

// One image of the set and where a dropped copy goes.
struct DatasetImage {
  QString path;       // absolute
  QString split;      // "train", "val", "test"; empty for an annotator folder
  QString label;      // its label file (may not exist)
  QString removed;    // where the image goes when dropped (a path under a removed/ folder)
  QString removed_label;
  QString drop_refusal;  // set when it cannot be dropped (listed in a list file)
};

// An annotator folder's images (sorted), with removed/ inside the folder.
std::vector<DatasetImage> folder_images(const QString& folder);
// Every split of a data.yaml; a split folder such as train/images drops into train/removed/images
// (outside what the split lists), its labels into train/removed/labels.
Result<std::vector<DatasetImage>> yaml_images(const QString& data_yaml);

// What an image is reduced to. `thumb` is a 32 x 32 grey image of the whole picture.
struct ImageHash {
  bool ok = false;
  QByteArray sha256;  // raw bytes
  std::uint64_t phash = 0;
  cv::Mat thumb;
};

// Hashes one file's bytes (decoded at a reduced size where the codec allows).
ImageHash hash_image_bytes(const QByteArray& bytes);

// How far two thumbnails are apart once aligned over small crops and brightness: the mean
// absolute difference of the normalised pixels (`mean`), and the largest mean over any 8 x 8
// block (`block`), which catches a moved object that the mean would average away.
struct ThumbDifference {
  double mean = 0, block = 0;
};
ThumbDifference aligned_difference(const cv::Mat& a, const cv::Mat& b);

// The rule: hashes within `kCandidateDistance` bits, and the aligned thumbnails close everywhere.
inline constexpr int kCandidateDistance = 12;
bool near_copies(const ImageHash& a, const ImageHash& b);

struct DuplicatePair {
  int a = 0, b = 0;  // indexes into the images, a < b
  bool exact = false;
  int distance = 0;  // perceptual hash bits apart
};

struct DuplicateOptions {
  QString cache_file;  // empty: no cache
  int threads = 0;     // 0: one per core
  std::function<void(int done, int total)> progress;  // called from worker threads
  const std::atomic<bool>* stop = nullptr;
};

struct DuplicateReport {
  std::vector<DuplicatePair> pairs;  // exact first, then near; each in image order
  int hashed = 0;                    // files read and hashed this run
  int cached = 0;                    // taken from the cache
  QStringList unreadable;            // images that could not be read or decoded
  double seconds = 0;                // wall time of the whole check
  bool stopped = false;
};

// Finds every pair among `images`. Copies of one picture pair up each with each.
DuplicateReport find_duplicates(const std::vector<DatasetImage>& images,
                                const DuplicateOptions& options = {});

// The default cache file for a dataset root: under the user's cache folder, one file per root.
QString default_hash_cache(const QString& root);

// "exact\ttrain\t/d/train/images/a.jpg\tval\t/d/val/images/a.jpg" ("-" for no split); a pair
// across two splits ends in "\tleak".
QString pair_line(const std::vector<DatasetImage>& images, const DuplicatePair& pair);

// Moves the image (and its label file, when there is one) to its removed/ place, never deleting:
// a name already taken there gets " (2)", " (3)" ... Returns the image's new path.
Result<QString> drop_copy(const DatasetImage& image);

}  // namespace orvane::dataset
