#include "engine/export/exported_model.h"

#include <onnx/onnx_pb.h>
#include <torch/script.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <fstream>
#include <opencv2/dnn.hpp>
#include <sstream>

#include "engine/error.h"

namespace orvane::engine {

namespace fs = std::filesystem;

namespace {

std::string lower_extension(const fs::path& path) {
  auto ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

// names ("{0: 'a', 1: 'b'}" or JSON {"0": "a"}) and imgsz ("[h, w]") in the metadata form of
// writers.h; both are YAML flow collections.
void read_names_and_size(const std::string& names_text, const std::string& imgsz_text,
                         const std::string& file, std::vector<std::string>& names, int& height,
                         int& width) {
  try {
    const auto map = YAML::Load(names_text);
    if (!map.IsMap() || map.size() == 0) throw EngineError("");
    names.assign(map.size(), "");
    for (const auto& kv : map) {
      const int id = kv.first.as<int>();
      if (id < 0 || id >= int(map.size())) throw EngineError("");
      names[id] = kv.second.as<std::string>();
    }
    const auto size = YAML::Load(imgsz_text);
    if (size.IsSequence() && size.size() == 2) {
      height = size[0].as<int>();
      width = size[1].as<int>();
    } else {
      height = width = size.as<int>();
    }
  } catch (const std::exception&) {
    throw EngineError(file + " has no readable class names or image size in its metadata");
  }
  if (height < 32 || width < 32 || height % 32 || width % 32)
    throw EngineError(file + " has an input size that is not a multiple of 32");
}

class OnnxModel : public ExportedModel {
 public:
  explicit OnnxModel(const fs::path& path) {
    format_ = "onnx";
    std::ifstream in(path, std::ios::binary);
    onnx::ModelProto proto;
    if (!in || !proto.ParseFromIstream(&in))
      throw EngineError(path.string() + " is not an ONNX model");
    std::string names, imgsz, task;
    for (const auto& p : proto.metadata_props()) {
      if (p.key() == "names") names = p.value();
      if (p.key() == "imgsz") imgsz = p.value();
      if (p.key() == "task") task = p.value();
    }
    if (names.empty() || imgsz.empty())
      throw EngineError(path.string() + " is not a YOLO export (no class names in its metadata)");
    read_names_and_size(names, imgsz, path.string(), names_, height_, width_);
    for (const auto& o : proto.graph().output()) outputs_.push_back(o.name());
    segment_ = task == "segment" || outputs_.size() > 1;
    task_ = task == "classify" ? task : segment_ ? "segment" : "detect";
    proto.Clear();
    try {
      net_ = cv::dnn::readNetFromONNX(path.string());
    } catch (const cv::Exception& e) {
      throw EngineError("OpenCV cannot load " + path.string() + ": " + e.msg);
    }
    net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  }

  NetworkOutput forward(const torch::Tensor& images) override {
    auto x = images.contiguous();
    const int sizes[4] = {int(x.size(0)), int(x.size(1)), int(x.size(2)), int(x.size(3))};
    // The blob shares the tensor's memory; setInput copies it once into the network.
    cv::Mat blob(4, sizes, CV_32F, x.data_ptr<float>());
    net_.setInput(blob);
    std::vector<cv::Mat> outs;
    net_.forward(outs, outputs_);
    NetworkOutput result;
    result.pred = to_tensor(outs.at(0));
    if (segment_ && outs.size() > 1) result.proto = to_tensor(outs[1]);
    return result;
  }

 private:
  static torch::Tensor to_tensor(const cv::Mat& m) {
    std::vector<int64_t> shape(m.size.p, m.size.p + m.dims);
    return torch::from_blob(m.data, shape, torch::kFloat32).clone();
  }

  cv::dnn::Net net_;
  std::vector<cv::String> outputs_;
};

class ScriptModel : public ExportedModel {
 public:
  explicit ScriptModel(const fs::path& path) {
    format_ = "torchscript";
    std::unordered_map<std::string, std::string> extra{{"config.txt", ""}};
    try {
      module_ = torch::jit::load(path.string(), torch::kCPU, extra);
    } catch (const c10::Error& e) {
      const std::string what = e.what();
      throw EngineError(path.string() +
                        " is not a TorchScript model: " + what.substr(0, what.find('\n')));
    }
    module_.eval();
    const auto& config = extra["config.txt"];
    if (config.empty())
      throw EngineError(path.string() + " is not a YOLO export (no config.txt with class names)");
    std::string names, imgsz, task;
    try {
      const auto c = YAML::Load(config);
      names = YAML::Dump(c["names"]);
      imgsz = YAML::Dump(c["imgsz"]);
      task = c["task"] ? c["task"].as<std::string>() : "";
    } catch (const std::exception&) {
      throw EngineError(path.string() + " has an unreadable config.txt");
    }
    read_names_and_size(names, imgsz, path.string(), names_, height_, width_);
    segment_ = task == "segment";
    task_ = task == "classify" ? task : segment_ ? "segment" : "detect";
  }

  NetworkOutput forward(const torch::Tensor& images) override {
    auto out = module_.forward({images});
    NetworkOutput result;
    if (out.isTuple()) {
      const auto& items = out.toTupleRef().elements();
      result.pred = items.at(0).toTensor();
      if (items.size() > 1) result.proto = items[1].toTensor();
    } else {
      result.pred = out.toTensor();
    }
    return result;
  }

 private:
  torch::jit::Module module_;
};

}  // namespace

bool ExportedModel::is_exported_path(const fs::path& path) {
  const auto ext = lower_extension(path);
  return ext == ".onnx" || ext == ".torchscript";
}

std::unique_ptr<ExportedModel> ExportedModel::load(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) throw EngineError("model file not found: " + path.string());
  if (lower_extension(path) == ".onnx") return std::make_unique<OnnxModel>(path);
  if (lower_extension(path) == ".torchscript") return std::make_unique<ScriptModel>(path);
  throw EngineError(path.string() + " is neither an ONNX nor a TorchScript file");
}

Network ExportedModel::network() {
  Network n;
  n.names = names_;
  n.segment = segment_;
  n.fixed_height = height_;
  n.fixed_width = width_;
  n.forward = [this](const torch::Tensor& x) { return forward(x); };
  return n;
}

}  // namespace orvane::engine
