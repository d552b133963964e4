#include "engine/weights_zoo.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>

#include "engine/ecosystem_weights.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/model.h"
#include "files/atomic_file.h"
#include "files/text_format.h"

namespace orvane::engine {

namespace fs = std::filesystem;

bool is_zoo_name(const std::string& model) {
  static const std::regex re(R"(^(yolov8|yolo11)[nsmlx](-seg)?\.pt$)");
  return std::regex_match(model, re);
}

namespace {

// Both lists follow the same families, scales and tasks; the zoo's files and the fresh-weight
// names differ only in their ending.
std::vector<std::string> model_names(const std::string& ending) {
  std::vector<std::string> names;
  for (const char* family : {"yolov8", "yolo11"})
    for (const char* task : {"", "-seg"})
      for (const char scale : std::string("nsmlx"))
        names.push_back(family + std::string(1, scale) + task + ending);
  return names;
}

}  // namespace

const std::vector<std::string>& zoo_names() {
  static const std::vector<std::string> names = model_names(".pt");
  return names;
}

const std::vector<std::string>& fresh_model_names() {
  static const std::vector<std::string> names = model_names(".yaml");
  return names;
}

std::string model_name_problem(const std::string& model) {
  std::error_code ec;
  if (model.empty() || fs::exists(model, ec) || parse_model_name(model)) return {};
  if (fs::path(model).has_parent_path()) return "weights file not found: " + model;
  std::vector<std::string> known = fresh_model_names();
  const bool pt = fs::path(model).extension() == ".pt";
  if (pt)
    known = zoo_names();
  else if (fs::path(model).extension() != ".yaml")
    known.insert(known.end(), zoo_names().begin(), zoo_names().end());
  const std::string near = files::nearest_name(model, known);
  return model + " is not a known model name" +
         (near.empty() ? std::string() : "; did you mean " + near + "?") +
         " (fresh weights: yolov8n/s/m/l/x.yaml, yolov8n/s/m/l/x-seg.yaml, yolo11n/s/m/l/x.yaml, "
         "yolo11n/s/m/l/x-seg.yaml; pretrained: the same names ending in .pt; or the path of a "
         "weights file)";
}

fs::path default_weights_dir() {
  if (const char* dir = std::getenv("ORVANE_WEIGHTS_DIR"); dir && *dir) return dir;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
    return fs::path(data) / "orvane" / "weights";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : ".") / ".local" / "share" / "orvane" / "weights";
}

namespace {

// The folder as a person would type it: ~ for the home folder.
std::string shown(const fs::path& dir) {
  const char* home = std::getenv("HOME");
  const std::string d = dir.string();
  if (home && *home) {
    const std::string h = fs::path(home).lexically_normal().string();
    if (d.rfind(h + "/", 0) == 0) return "~" + d.substr(h.size());
  }
  return d;
}

std::string megabytes(std::int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", double(bytes) / 1e6);
  return text;
}

struct Transfer {
  std::FILE* out = nullptr;
  const std::function<bool(const DownloadProgress&)>* progress = nullptr;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  DownloadProgress last;
  bool cancelled = false;
  bool write_failed = false;
};

size_t on_data(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (std::fwrite(data, 1, n, t->out) != n) {
    t->write_failed = true;
    return 0;  // makes curl stop with a write error
  }
  return n;
}

int on_progress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  DownloadProgress p;
  p.received = now;
  p.total = total > 0 ? total : -1;
  p.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t->start).count();
  t->last = p;
  if (t->progress && *t->progress && !(*t->progress)(p)) {
    t->cancelled = true;
    return 1;
  }
  return 0;
}

std::string reason(CURLcode code, long http, const Transfer& t) {
  if (t.cancelled) return "cancelled";
  if (t.write_failed) return "the weights folder could not be written";
  switch (code) {
    case CURLE_HTTP_RETURNED_ERROR:
      return "HTTP " + std::to_string(http);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "Host not found";
    case CURLE_COULDNT_CONNECT:
      return "connection refused";
    case CURLE_OPERATION_TIMEDOUT:
      return "timed out";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return "the transfer was cut short after " + megabytes(t.last.received) +
             (t.last.total > 0 ? " of " + megabytes(t.last.total) : "") + " MB";
    default:
      return curl_easy_strerror(code);
  }
}

}  // namespace

std::string progress_text(const DownloadProgress& p) {
  const double rate = p.seconds > 0 ? double(p.received) / p.seconds : 0.0;
  std::string text;
  if (p.total > 0) text = std::to_string(int(100.0 * double(p.received) / double(p.total))) + "% ";
  text += megabytes(p.received) + (p.total > 0 ? "/" + megabytes(p.total) : "") + " MB " +
          megabytes(std::int64_t(rate)) + " MB/s";
  return text;
}

void download_file(const std::string& url, const fs::path& dest,
                   const std::function<bool(const DownloadProgress&)>& progress,
                   const std::function<void(const fs::path&)>& verify, long connect_timeout_s) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) throw EngineError("the download library could not start");
  const auto produce = [&](const fs::path& temporary) {
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    // Our reasons are EngineErrors (the writer removes the temporary and lets them through
    // unchanged); its own failures to sync or rename are its WriteError.
    if (!curl) throw EngineError("the download library could not start");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(temporary.c_str(), "wb"),
                                                        std::fclose);
    if (!out) throw EngineError("the weights folder could not be written");
    Transfer t;
    t.out = out.get();
    t.progress = &progress;
    char message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);  // release assets redirect
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, connect_timeout_s);
    // A transfer that stalls for a minute is as good as cut.
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "orvane-studio");
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, on_data);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &t);
    const CURLcode code = curl_easy_perform(curl.get());
    long http = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &http);
    if (code != CURLE_OK) throw EngineError(reason(code, http, t));
    if (std::fflush(out.get()) != 0) throw EngineError("the weights folder could not be written");
    out.reset();
    if (verify) {
      try {
        verify(temporary);
      } catch (const EngineError& e) {
        // The temporary's name means nothing to the reader; what is wrong with it does.
        std::string why = e.what();
        const std::string name = temporary.string() + ": ";
        if (why.rfind(name, 0) == 0) why = why.substr(name.size());
        throw EngineError("the downloaded file does not load: " + why);
      }
    }
  };
  try {
    files::write_atomically_with(dest, produce);
  } catch (const files::WriteError& e) {
    throw EngineError(e.what());
  }
}

fs::path resolve_weights(const std::string& model, const ZooOptions& options) {
  std::error_code ec;
  if (fs::exists(model, ec) || !is_zoo_name(model)) return model;
  const fs::path dir = options.weights_dir.empty() ? default_weights_dir() : options.weights_dir;
  const fs::path dest = dir / model;
  if (fs::is_regular_file(dest, ec)) return dest;

  std::string base = options.base_url;
  if (base.empty())
    if (const char* env = std::getenv("ORVANE_WEIGHTS_URL"); env && *env) base = env;
  if (base.empty()) base = kZooBaseUrl;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string url = base + "/" + model;
  const std::string stem = model.substr(0, model.size() - 3);
  auto refuse = [&](const std::string& why) {
    return EngineError(model + " is not in " + shown(dir) + " and could not be downloaded (" + why +
                       "): put the file there, give its path, or train from fresh weights with "
                       "model=" +
                       stem + ".yaml");
  };

  // The folder (and any parent it needs) is made for the download and removed again when the
  // download fails: a failure leaves nothing behind.
  fs::path made;
  for (fs::path p = dir; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    made = p;
    if (p == p.parent_path()) break;
  }
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) throw refuse("the folder cannot be created");
  LOGGER.info("Downloading " + url + " to " + shown(dest));
  // A progress line per percent, redrawn in place on a terminal; the last one stays.
  int shown_percent = -1;
  DownloadProgress last;
  std::function<bool(const DownloadProgress&)> progress = [&](const DownloadProgress& p) {
    last = p;
    return options.progress(p);
  };
  if (!options.progress)
    progress = [&](const DownloadProgress& p) {
      last = p;
      const int percent = p.total > 0 ? int(100 * p.received / p.total) : int(p.received >> 20);
      if (percent != shown_percent) {
        shown_percent = percent;
        LOGGER.progress(model + ": " + progress_text(p));
      }
      return true;
    };
  try {
    download_file(
        url, dest, progress, [](const fs::path& file) { load_weights(file); },
        options.connect_timeout_s);
  } catch (const EngineError& e) {
    if (!made.empty())
      for (fs::path p = dir;; p = p.parent_path()) {
        if (!fs::remove(p, ec) || p == made) break;  // remove() refuses a folder that is not empty
      }
    throw refuse(e.what());
  }
  LOGGER.info(model + ": " + progress_text(last));
  LOGGER.info("Saved " + shown(dest));
  return dest;
}

}  // namespace orvane::engine
