#pragma once
// The checks an engine verb runs before it reads a dataset or downloads weights, in the order a
// person fixes things: the keys (Args refuses unknown ones), then the values (type and range,
// from the one table in training/training_defaults.h that the training form's spin boxes use
// too), then the files that must exist (the data before the weights), and only then may the
// verb download anything. Each check stops at the first fault with one line.
//
// Faults of keys and values are ArgErrors (exit 2); missing or unreadable files are
// std::runtime_errors (exit 1, like a failed run).

#include <filesystem>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/value_ranges.h"
#include "engine/memory_need.h"
#include "engine/slice_options.h"
#include "engine/train_options.h"

namespace orvane::cli {

// The image size the run will use. A size that is not a multiple of 32 is rounded up, as the
// YOLO ecosystem does, and said once on the console (the engine then sees the rounded value and
// says nothing). Refused (ArgError): a size of 0 or less; one whose run would not fit in
// `available` bytes (with the estimate, the largest size that fits and the largest batch that
// would); one above the table's maximum.
int checked_imgsz(int imgsz, engine::MemoryNeed need, double available);

// The whole check of a training run (train, tune), in order: the ranges of `keys`, the
// optimizer, the image size and its memory (a rank holds its share of the batch over
// `world_size` ranks), data= then model=. Returns the image size to train at.
int check_training_run(const Args& args, const std::vector<KeyHelp>& keys,
                       const engine::TrainOptions& options, int world_size = 1);

// The data manifest must exist and read as one (std::runtime_error with the engine's message).
void check_data_file(const std::string& data);

// The model must be an existing file or a name the engine knows (std::runtime_error: a missing
// path; an unknown name with the nearest known one and the list).
void check_model(const std::string& model);

// The images a prediction reads: `source` itself when it is a file, else the images of the
// folder (not its subfolders), sorted. std::runtime_error when it does not exist or a folder
// holds no image.
std::vector<std::filesystem::path> source_images(const std::filesystem::path& source);

// A file or folder the verb reads must exist (std::runtime_error "source=DIR: no such file or
// folder").
void check_exists(const std::string& key, const std::string& path);

// The keys of sliced prediction (predict, val, autolabel, review): slice=W[xH] overlap=0.2
// slice_full=false, appended to a verb's own keys.
std::vector<KeyHelp> with_slice_keys(std::vector<KeyHelp> keys);

// The slicing those keys ask for (disabled when slice= is empty). ArgError for a size that is
// not W or WxH of at least 32 pixels, or an overlap outside 0..0.9.
engine::SliceOptions slice_options(const Args& args);

}  // namespace orvane::cli
