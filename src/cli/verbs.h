#pragma once
// The orvane tool's verbs. Each lives in its own verb_*.cpp; main dispatches by name.

#include <string>
#include <vector>

namespace orvane::cli {

class Args;

struct Verb {
  const char* name;
  const char* summary;
  // Runs the verb on its words (everything after the verb name). Returns the exit code; throws
  // ArgError for bad arguments. `words` == {"help"} prints the verb's keys.
  int (*run)(const std::vector<std::string>& words);
};

int run_split(const std::vector<std::string>& words);
int run_resize(const std::vector<std::string>& words);
int run_enrich(const std::vector<std::string>& words);
int run_dataset(const std::vector<std::string>& words);
int run_train(const std::vector<std::string>& words);
int run_val(const std::vector<std::string>& words);
int run_predict(const std::vector<std::string>& words);
int run_tune(const std::vector<std::string>& words);
int run_export(const std::vector<std::string>& words);
int run_autolabel(const std::vector<std::string>& words);
int run_convert(const std::vector<std::string>& words);
int run_review(const std::vector<std::string>& words);
int run_frames(const std::vector<std::string>& words);
int run_track(const std::vector<std::string>& words);

const std::vector<Verb>& verbs();

// predict and track on a video file: loads the model, runs it over the video with progress on
// standard error and Ctrl-C as a graceful stop, prints the outcome. Returns the exit code.
}  // namespace orvane::cli
namespace orvane::video {
struct VideoPredictOptions;
}
namespace orvane::cli {
int run_video_prediction(const std::string& model, const std::string& source,
                         const video::VideoPredictOptions& options, const std::string& verb);

// The `model=` key of train and tune: what a weights name may be.
extern const char* const kModelKeyHelp;
// The `amp=` key of train, val and predict, and its value checked (ArgError unless true, false
// or auto).
extern const char* const kAmpKeyHelp;
std::string checked_amp(const Args& args);

}  // namespace orvane::cli
