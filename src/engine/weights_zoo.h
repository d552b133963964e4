#pragma once
// The model zoo: a bare zoo name ("yolov8s.pt", "yolov8n-seg.pt") means the YOLO ecosystem's
// COCO-pretrained weights. They are looked up as given, then in the weights folder, and when in
// neither place downloaded from the ecosystem's release assets:
//
//   weights folder  ORVANE_WEIGHTS_DIR, else $XDG_DATA_HOME/orvane/weights,
//                   else ~/.local/share/orvane/weights
//   base URL        ORVANE_WEIGHTS_URL, else kZooBaseUrl; the file is BASE/NAME
//
// A download goes to a temporary file in the weights folder, is verified by loading it and only
// then renamed to NAME; a failed, cut, refused or cancelled download leaves nothing behind and
// throws one line naming the file, the folder, the reason and the way out. Nothing ever falls
// back to fresh weights.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orvane::engine {

// The ecosystem's public release of its pretrained weights.
inline constexpr const char* kZooBaseUrl =
    "https://github.com/ultralytics/assets/releases/download/v8.3.0";

struct DownloadProgress {
  std::int64_t received = 0;  // bytes so far
  std::int64_t total = -1;    // -1 while unknown
  double seconds = 0.0;       // since the transfer started
};

struct ZooOptions {
  std::filesystem::path weights_dir;  // empty: the environment's, see above
  std::string base_url;               // empty: the environment's, see above
  // Called as bytes arrive; return false to cancel. Empty: progress is logged every 10 %.
  std::function<bool(const DownloadProgress&)> progress;
  long connect_timeout_s = 20;
};

// "yolov8s.pt" and the other names of the zoo's detection and segmentation files, with no folder.
bool is_zoo_name(const std::string& model);

// Every model name the engine knows, in the order people meet them: the zoo's pretrained files
// ("yolov8n.pt" ... "yolo11x-seg.pt") and the fresh-weight names ("yolov8n.yaml" ...).
const std::vector<std::string>& zoo_names();
const std::vector<std::string>& fresh_model_names();

// What is wrong with `model` as a model name, before anything is read or downloaded: empty when
// it is an existing file, a zoo name or a fresh-weight name (or a path the engine reports on
// itself); otherwise one line saying the name is not a known model, with the closest known
// name when one is near and the list of known names.
std::string model_name_problem(const std::string& model);

// The folder as the environment sets it (not created).
std::filesystem::path default_weights_dir();

// `model` when that file exists; else, for a zoo name, the file in the weights folder, downloaded
// first when missing. Throws EngineError when it cannot be had. Other names are returned as given.
std::filesystem::path resolve_weights(const std::string& model, const ZooOptions& options = {});

// Downloads `url` to `dest` through a temporary beside it; `verify` (may be empty) is called on
// the temporary and throws to reject it. Throws EngineError with the reason alone ("HTTP 404",
// "Host not found", "the transfer was cut short after 1.2 of 6.2 MB", "cancelled").
void download_file(const std::string& url, const std::filesystem::path& dest,
                   const std::function<bool(const DownloadProgress&)>& progress,
                   const std::function<void(const std::filesystem::path&)>& verify,
                   long connect_timeout_s = 20);

// "45% 2.8/6.2 MB 1.3 MB/s": one progress line.
std::string progress_text(const DownloadProgress& p);

}  // namespace orvane::engine
