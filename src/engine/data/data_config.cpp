#include "engine/data/data_config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "engine/error.h"
#include "engine/limits.h"

namespace fs = std::filesystem;

namespace orvane::engine {

namespace {

bool is_image_file(const fs::path& p) {
  static const std::set<std::string> exts{".jpg", ".jpeg", ".png", ".bmp", ".webp"};
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return exts.count(ext) > 0;
}

// A split entry relative to the dataset root. Roboflow exports write "../train/images" next to
// a data.yaml that sits in the dataset folder itself; accept those too.
// Whether `p` exists; a path the system cannot even look up (a name too long, a component that
// is a file) does not, instead of throwing out of the reader.
bool present(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

fs::path resolve_entry(const fs::path& root, const std::string& entry) {
  fs::path p(entry);
  if (p.is_absolute()) return p.lexically_normal();
  fs::path joined = (root / p).lexically_normal();
  if (!present(joined) && entry.rfind("../", 0) == 0) {
    fs::path stripped = (root / entry.substr(3)).lexically_normal();
    if (present(stripped)) return stripped;
  }
  return joined;
}

std::vector<fs::path> read_split(const YAML::Node& node, const fs::path& root) {
  std::vector<fs::path> out;
  if (!node || node.IsNull()) return out;
  if (node.IsScalar()) {
    const std::string s = node.as<std::string>();
    if (!s.empty()) out.push_back(resolve_entry(root, s));
  } else if (node.IsSequence()) {
    for (const auto& item : node)
      if (item.IsScalar() && !item.as<std::string>().empty())
        out.push_back(resolve_entry(root, item.as<std::string>()));
  } else {
    throw EngineError("must be a path or a list of paths");
  }
  return out;
}

// kpt_shape and flip_idx of a pose set, checked as the label reader will need them.
void read_keypoint_keys(const YAML::Node& doc, const std::string& where, DataConfig& config) {
  if (const YAML::Node shape = doc["kpt_shape"]; shape && !shape.IsNull()) {
    std::vector<int> values;
    try {
      values = shape.as<std::vector<int>>();
    } catch (const YAML::Exception&) {
      throw EngineError(where + ": 'kpt_shape' must be two whole numbers, such as [17, 3]");
    }
    if (values.size() != 2)
      throw EngineError(where + ": 'kpt_shape' must be two whole numbers, such as [17, 3]");
    const files::KeypointShape kpt{values[0], values[1]};
    if (const auto problem = kpt.problem(); !problem.empty())
      throw EngineError(where + ": " + problem);
    config.kpt_shape = kpt;
  }
  if (const YAML::Node flip = doc["flip_idx"]; flip && !flip.IsNull()) {
    if (!config.kpt_shape) throw EngineError(where + ": 'flip_idx' without 'kpt_shape'");
    try {
      config.flip_idx = flip.as<std::vector<int>>();
    } catch (const YAML::Exception&) {
      throw EngineError(where + ": 'flip_idx' must be a list of keypoint numbers");
    }
    if (const auto problem = files::flip_idx_problem(config.flip_idx, config.kpt_shape->count);
        !problem.empty())
      throw EngineError(where + ": " + problem);
  }
}

}  // namespace

DataConfig load_data_config(const fs::path& yaml_path) {
  const std::string where = "data.yaml " + yaml_path.string();
  std::error_code ec;
  if (!fs::is_regular_file(yaml_path, ec)) throw EngineError(where + " does not exist");
  YAML::Node doc;
  try {
    doc = YAML::LoadFile(yaml_path.string());
  } catch (const YAML::Exception& e) {
    throw EngineError(where + " is not valid YAML: " + e.msg + " (line " +
                      std::to_string(e.mark.line + 1) + ")");
  }
  if (!doc.IsMap()) throw EngineError(where + " is not a mapping of keys to values");

  DataConfig config;
  config.yaml_path = fs::absolute(yaml_path).lexically_normal();
  const fs::path yaml_dir = config.yaml_path.parent_path();
  config.root = yaml_dir;
  try {
    if (doc["path"] && doc["path"].IsScalar() && !doc["path"].as<std::string>().empty()) {
      fs::path p(doc["path"].as<std::string>());
      if (p.is_absolute()) {
        config.root = p;
      } else if (present(yaml_dir / p)) {
        config.root = yaml_dir / p;
      } else if (present(fs::absolute(p))) {
        config.root = fs::absolute(p);
      } else {
        config.root = yaml_dir / p;  // reported below when the splits are missing
      }
      config.root = config.root.lexically_normal();
    }

    for (const char* key : {"train", "val"})
      if (!doc[key]) throw EngineError(where + " has no '" + key + ":' entry");
    auto split = [&](const char* key, std::vector<fs::path>& target) {
      try {
        target = read_split(doc[key], config.root);
      } catch (const EngineError& e) {
        throw EngineError(where + ": '" + key + "' " + e.what());
      }
    };
    split("train", config.train);
    split("val", config.val);
    split("test", config.test);

    int nc = -1;
    if (doc["nc"] && !doc["nc"].IsNull()) {
      try {
        nc = doc["nc"].as<int>();
      } catch (const YAML::Exception&) {
        throw EngineError(where + ": 'nc' is not a whole number");
      }
      if (nc <= 0) throw EngineError(where + ": 'nc' must be at least 1");
      if (nc > kMaxClasses)
        throw EngineError(where + ": 'nc' is " + std::to_string(nc) + ", more than the " +
                          std::to_string(kMaxClasses) + " classes a dataset may have");
    }
    const YAML::Node names = doc["names"];
    if (names && names.IsSequence()) {
      for (const auto& n : names) config.names.push_back(n.IsScalar() ? n.as<std::string>() : "");
    } else if (names && names.IsMap()) {
      std::map<int, std::string> by_id;
      for (const auto& kv : names) {
        int id = -1;
        try {
          id = kv.first.as<int>();
        } catch (const YAML::Exception&) {
          throw EngineError(where + ": class id '" + kv.first.as<std::string>() +
                            "' in 'names' is not a whole number");
        }
        if (id < 0) throw EngineError(where + ": negative class id in 'names'");
        if (id >= kMaxClasses)
          throw EngineError(where + ": class id " + std::to_string(id) +
                            " in 'names' is beyond the " + std::to_string(kMaxClasses) +
                            " classes a dataset may have");
        by_id[id] = kv.second.IsScalar() ? kv.second.as<std::string>() : "";
      }
      const int count = std::max(by_id.empty() ? 0 : by_id.rbegin()->first + 1, nc);
      for (int i = 0; i < count; ++i) {
        auto it = by_id.find(i);
        config.names.push_back(it != by_id.end() ? it->second : "class" + std::to_string(i));
      }
    } else if (names && !names.IsNull()) {
      throw EngineError(where + ": 'names' must be a list or a mapping of id to name");
    }
    if (config.names.empty()) {
      if (nc < 0) throw EngineError(where + " has neither 'names' nor 'nc'");
      for (int i = 0; i < nc; ++i) config.names.push_back("class" + std::to_string(i));
    }
    if (nc >= 0 && nc != config.nc())
      throw EngineError(where + ": 'nc' is " + std::to_string(nc) + " but 'names' lists " +
                        std::to_string(config.nc()) + " classes");
    read_keypoint_keys(doc, where, config);
  } catch (const YAML::Exception& e) {
    throw EngineError(where + " is malformed: " + e.msg);
  }
  return config;
}

std::vector<std::string> list_split_images(const std::vector<fs::path>& sources) {
  std::vector<std::string> files;
  for (const fs::path& source : sources) {
    std::error_code ec;
    if (fs::is_directory(source, ec)) {
      std::vector<std::string> found;
      for (auto it = fs::recursive_directory_iterator(
               source, fs::directory_options::skip_permission_denied, ec);
           !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && is_image_file(it->path()))
          found.push_back(it->path().string());
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else if (fs::is_regular_file(source, ec) && is_image_file(source)) {
      files.push_back(source.string());
    } else if (fs::is_regular_file(source, ec)) {
      // A list file: one image path per line, relative entries against the list's folder.
      std::ifstream in(source);
      std::string line;
      while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
          line.pop_back();
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        fs::path p(line.substr(start));
        if (p.is_relative()) p = source.parent_path() / p;
        if (is_image_file(p)) files.push_back(p.lexically_normal().string());
      }
    } else {
      throw EngineError("dataset source " + source.string() + " does not exist");
    }
  }
  return files;
}

}  // namespace orvane::engine
