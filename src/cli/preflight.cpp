#include "cli/preflight.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "engine/data/data_config.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/sliced_predictor.h"
#include "engine/weights_zoo.h"
#include "files/label_format.h"

namespace orvane::cli {

namespace fs = std::filesystem;

int checked_imgsz(int imgsz, engine::MemoryNeed need, double available) {
  const training::ValueRange& r = *training::training_range("imgsz");
  const std::string given = std::to_string(imgsz);
  if (imgsz <= 0) throw ArgError(range_refusal("imgsz", given, r));
  const int size = training::stride_multiple(imgsz);
  need.imgsz = size;
  need.batch = std::max(need.batch, 1);
  const double bytes = engine::estimated_bytes(need);
  if (bytes > available) {
    const int max_size = int(r.max);
    const int fitting_size = engine::largest_fitting_imgsz(need, available, max_size);
    const int fitting_batch = size <= max_size ? engine::largest_fitting_batch(need, available) : 0;
    std::string way_out;
    if (fitting_batch > 0)
      way_out = "use batch=" + std::to_string(fitting_batch) + " or less, or imgsz=" +
                std::to_string(fitting_size) + " or less";
    else if (fitting_size > 0)
      way_out = "use imgsz=" + std::to_string(fitting_size) + " or less";
    else
      way_out = "not even imgsz=32 fits; close other programs or use a smaller model";
    throw ArgError("imgsz=" + given + " with batch=" + std::to_string(need.batch) +
                   " needs about " + engine::memory_text(bytes) + " of memory" +
                   (need.training ? " to train" : "") + " and " +
                   engine::memory_text(available) + " is available: " + way_out);
  }
  if (size > r.max) throw ArgError(range_refusal("imgsz", given, r));
  if (size != imgsz)
    engine::LOGGER.warning("imgsz=" + given + " must be a multiple of max stride 32, updating to " +
                           std::to_string(size));
  return size;
}

int check_training_run(const Args& args, const std::vector<KeyHelp>& keys,
                       const engine::TrainOptions& options, int world_size) {
  check_ranges(args, keys);
  check_optimizer(options.optimizer);
  const std::string model = args.str("model");
  if (options.resume) {
    // The run goes on with its own options (data, image size) from its last.pt.
    check_model(model);
    return options.imgsz;
  }
  engine::MemoryNeed need = engine::memory_need_of_model(model);
  need.batch = std::max(1, (options.batch == -1 ? 16 : options.batch) / std::max(world_size, 1));
  need.workers = options.workers;
  const int imgsz = checked_imgsz(options.imgsz, need, double(engine::available_memory_bytes()));
  if (options.data.empty()) throw ArgError("data= is required (a data.yaml)");
  check_data_file(options.data);
  check_model(model);
  return imgsz;
}

void check_data_file(const std::string& data) {
  try {
    (void)engine::load_data_config(data);
  } catch (const engine::EngineError& e) {
    throw std::runtime_error(e.what());
  }
}

void check_model(const std::string& model) {
  if (const std::string problem = engine::model_name_problem(model); !problem.empty())
    throw std::runtime_error(problem);
}

void check_exists(const std::string& key, const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw std::runtime_error(key + "=" + path + ": no such file or folder");
}

std::vector<KeyHelp> with_slice_keys(std::vector<KeyHelp> keys) {
  keys.push_back({"slice", "",
                  "sliced prediction for small objects in large images: tile size W or WxH "
                  "(the model's training size, e.g. 640); empty: the whole image at imgsz"});
  keys.push_back({"overlap", "0.2", "share of a tile shared with its neighbour, 0-0.9"});
  keys.push_back({"slice_full", "false",
                  "with slice=: also predict the whole image at imgsz, for objects larger "
                  "than a tile"});
  return keys;
}

engine::SliceOptions slice_options(const Args& args) {
  engine::SliceOptions slice;
  const double overlap = args.real("overlap");
  if (!(overlap >= 0.0 && overlap <= 0.9)) throw ArgError("overlap must be 0-0.9");
  slice.overlap = float(overlap);
  slice.full = args.boolean("slice_full");
  const std::string size = args.str("slice");
  if (size.empty()) return slice;
  try {
    const cv::Size tile = engine::parse_slice_size(size);
    slice.width = tile.width;
    slice.height = tile.height;
  } catch (const engine::EngineError& e) {
    throw ArgError(e.what());
  }
  return slice;
}

std::vector<std::filesystem::path> source_images(const std::filesystem::path& source) {
  namespace fs = std::filesystem;
  std::vector<fs::path> images;
  std::error_code ec;
  if (fs::is_directory(source, ec)) {
    for (const auto& entry : fs::directory_iterator(source, ec))
      if (entry.is_regular_file(ec) && files::is_image_path(entry.path().string()))
        images.push_back(entry.path());
    std::sort(images.begin(), images.end());
    if (images.empty()) throw std::runtime_error("no images in " + source.string());
  } else if (fs::is_regular_file(source, ec)) {
    images.push_back(source);
  } else {
    throw std::runtime_error("source not found: " + source.string());
  }
  return images;
}

}  // namespace orvane::cli
