#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/verbs.h"

namespace orvane::cli {

const std::vector<Verb>& verbs() {
  static const std::vector<Verb> all{
      {"split", "cut every image of a folder into a grid of tiles", run_split},
      {"resize", "resize and compress images to physical sizes and size budgets", run_resize},
      {"enrich", "generate randomly augmented variants of images", run_enrich},
      {"dataset", "health | stats | split | classes | duplicates of an annotated folder or data.yaml",
       run_dataset},
      {"train", "train a YOLO model", run_train},
      {"val", "validate a YOLO model on a dataset", run_val},
      {"predict", "predict with a YOLO model on an image or folder", run_predict},
      {"tune", "search training hyperparameters (genetic tuning)", run_tune},
      {"export", "export a trained model to onnx or torchscript", run_export},
      {"autolabel", "label the unlabelled images of a folder with a trained model", run_autolabel},
      {"convert", "convert a dataset between COCO JSON, Pascal VOC, labelme and YOLO", run_convert},
      {"review", "find likely labelling mistakes with a trained model", run_review},
      {"frames", "extract frames of a video for labelling", run_frames},
      {"track", "track objects through a video with a YOLO model (ByteTrack)", run_track},
  };
  return all;
}

}  // namespace orvane::cli

namespace {

void print_usage() {
  std::cerr << "usage: orvane VERB key=value ...   (orvane VERB help lists the keys)\n\nverbs:\n";
  for (const auto& verb : orvane::cli::verbs())
    std::cerr << "  " << verb.name << "    " << verb.summary << "\n";
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "help" || words[0] == "--help" || words[0] == "-h") {
    print_usage();
    return words.empty() ? 2 : 0;
  }
  const std::string name = words[0];
  words.erase(words.begin());
  for (const auto& verb : orvane::cli::verbs()) {
    if (name != verb.name) continue;
    try {
      return verb.run(words);
    } catch (const orvane::cli::ArgError& e) {
      std::cerr << "orvane " << name << ": " << e.what() << "\n";
      return 2;
    } catch (const std::exception& e) {
      // LibTorch's errors carry a backtrace after the first line; the user gets the first line.
      const std::string what = e.what();
      std::cerr << "orvane " << name << ": " << what.substr(0, what.find('\n')) << "\n";
      return 1;
    } catch (...) {
      // Whatever a library throws ends the verb with a line and a status, never std::terminate.
      std::cerr << "orvane " << name << ": failed with an error of unknown kind\n";
      return 1;
    }
  }
  std::cerr << "orvane: unknown verb '" << name << "'\n";
  print_usage();
  return 2;
}
