#pragma once
// data.yaml: where a dataset's splits are and what its classes are called.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "files/label_format.h"

namespace orvane::engine {

// Accepted forms (as our split writes it and as the YOLO ecosystem 8.3 reads it):
//   path: root            optional; relative to the yaml's folder; missing = the yaml's folder
//   train: train/images   a folder, a .txt list file (one image path per line, relative entries
//   val: [a/images, b.txt]   against the list file's folder), or a list of those; relative to root
//   test:                 optional, may be empty
//   nc: 2                 optional when names are given; must agree with names otherwise
//   names: [a, b] | {0: a, 1: b}   a list, or a mapping id -> name (ids 0..nc-1)
//   kpt_shape: [17, 3]    pose sets: keypoints per object and numbers per keypoint (2 or 3)
//   flip_idx: [0, 2, 1, ...]  pose sets, optional: each keypoint's left-right mirror
// When only nc is given, classes are named "class0", "class1" ...
struct DataConfig {
  std::filesystem::path yaml_path;
  std::filesystem::path root;
  std::vector<std::filesystem::path> train;  // each a folder or a list file, absolute
  std::vector<std::filesystem::path> val;
  std::vector<std::filesystem::path> test;
  std::vector<std::string> names;
  std::optional<files::KeypointShape> kpt_shape;  // pose sets only
  std::vector<int> flip_idx;                      // empty: keypoints are not mirrored
  int nc() const { return static_cast<int>(names.size()); }
};

// Throws EngineError with a one-line message when the file is missing or malformed, names are
// absent, kpt_shape is not [1..1000, 2 or 3], flip_idx is not a permutation of its keypoints, or a train/val source does not exist. `val` falls back to nothing (callers decide).
DataConfig load_data_config(const std::filesystem::path& yaml_path);

// Image files of one split: folders are listed recursively (sorted), list files read line by
// line (LF or CR LF, blank lines ignored). Only .jpg .jpeg .png .bmp .webp (any case) count.
std::vector<std::string> list_split_images(const std::vector<std::filesystem::path>& sources);

}  // namespace orvane::engine
