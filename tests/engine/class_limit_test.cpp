// A data.yaml that claims an absurd number of classes is refused with a message, before anything
// is allocated for them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/data/data_config.h"
#include "engine/error.h"
#include "engine/limits.h"

namespace fs = std::filesystem;
using namespace orvane::engine;

namespace {

std::string refusal(const fs::path& dir, const std::string& yaml) {
  std::ofstream(dir / "data.yaml") << "train: images\nval: images\n" << yaml;
  try {
    load_data_config(dir / "data.yaml");
  } catch (const EngineError& e) {
    return e.what();
  }
  return "loaded";
}

TEST(ClassLimit, DataYamlBeyondTheLimitIsRefused) {
  const fs::path dir =
      fs::temp_directory_path() / ("orvane_class_limit_" + std::to_string(::getpid()));
  fs::create_directories(dir / "images");
  EXPECT_NE(refusal(dir, "nc: 2000000000\n").find("more than the 100000 classes"),
            std::string::npos);
  EXPECT_NE(refusal(dir, "names: {2147483647: a}\n").find("class id 2147483647"),
            std::string::npos);
  EXPECT_EQ(refusal(dir, "nc: " + std::to_string(kMaxClasses) + "\n"), "loaded");
  fs::remove_all(dir);
}

}  // namespace
