// TorchScript: a torch::jit::Module holding the fused weights as parameters, with a forward()
// generated as TorchScript source from the same operator walk as the ONNX file. Source rather
// than a trace: it is readable (module.code in Python shows it), carries no tracer warnings and
// needs no example run; both LibTorch and Python's torch.jit.load compile it on loading.

#include <torch/script.h>

#include <sstream>

#include "engine/error.h"
#include "engine/export/graph.h"
#include "engine/export/writers.h"
#include "files/text_format.h"

namespace orvane::engine::exporting {

namespace {

std::string list(const std::vector<int64_t>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + std::to_string(v[i]);
  return out + "]";
}

class ScriptEmitter : public GraphEmitter {
 public:
  explicit ScriptEmitter(torch::jit::Module& module) : m_(module) {}

  std::string input(const std::string& name, const std::vector<int64_t>&) override {
    input_ = name;
    return name;
  }

  std::string constant(const std::string& name, const torch::Tensor& value) override {
    std::string attr = name;
    for (auto& c : attr)
      if (c == '.') c = '_';
    if (!m_.hasattr(attr))
      m_.register_parameter(attr, value.to(torch::kFloat32).contiguous().clone(), false);
    return "self." + attr;
  }

  std::string conv(const std::string& x, const std::string& weight, const std::string& bias,
                   int64_t, int64_t stride, int64_t pad, int64_t groups) override {
    return line("torch.conv2d(" + x + ", " + weight + ", " + (bias.empty() ? "None" : bias) + ", " +
                list({stride, stride}) + ", " + list({pad, pad}) + ", [1, 1], " +
                std::to_string(groups) + ")");
  }
  std::string conv_transpose(const std::string& x, const std::string& weight,
                             const std::string& bias, int64_t, int64_t stride) override {
    return line("torch.conv_transpose2d(" + x + ", " + weight + ", " + bias + ", " +
                list({stride, stride}) + ", [0, 0], [0, 0], 1, [1, 1])");
  }
  std::string sigmoid(const std::string& x) override { return line("torch.sigmoid(" + x + ")"); }
  std::string silu(const std::string& x) override { return line("torch.silu(" + x + ")"); }
  std::string add(const std::string& a, const std::string& b) override {
    return line(a + " + " + b);
  }
  std::string sub(const std::string& a, const std::string& b) override {
    return line(a + " - " + b);
  }
  std::string mul(const std::string& a, const std::string& b) override {
    return line(a + " * " + b);
  }
  std::string concat(const std::vector<std::string>& xs, int64_t axis) override {
    std::string items;
    for (size_t i = 0; i < xs.size(); ++i) items += (i ? ", " : "") + xs[i];
    return line("torch.cat([" + items + "], " + std::to_string(axis) + ")");
  }
  std::string slice(const std::string& x, int64_t axis, int64_t start, int64_t end) override {
    return line(x + ".narrow(" + std::to_string(axis) + ", " + std::to_string(start) + ", " +
                std::to_string(end - start) + ")");
  }
  std::string max_pool(const std::string& x, int64_t kernel, int64_t pad) override {
    return line("torch.max_pool2d(" + x + ", " + list({kernel, kernel}) + ", [1, 1], " +
                list({pad, pad}) + ")");
  }
  std::string upsample2x(const std::string& x, int64_t height, int64_t width) override {
    return line("torch.upsample_nearest2d(" + x + ", " + list({height, width}) + ")");
  }
  std::string reshape(const std::string& x, const std::vector<int64_t>& shape) override {
    return line(x + ".reshape(" + list(shape) + ")");
  }
  std::string transpose(const std::string& x, const std::vector<int64_t>& perm) override {
    return line(x + ".permute(" + list(perm) + ")");
  }
  std::string softmax(const std::string& x, int64_t axis) override {
    return line("torch.softmax(" + x + ", " + std::to_string(axis) + ")");
  }
  std::string matmul(const std::string& a, const std::string& b) override {
    return line("torch.bmm(" + a + ", " + b + ")");
  }
  void output(const std::string& x, const std::string&) override { outputs_.push_back(x); }

  std::string source() const {
    std::string ret =
        outputs_.size() == 1 ? outputs_[0] : "(" + outputs_[0] + ", " + outputs_[1] + ")";
    return "def forward(self, " + input_ + "):\n" + body_.str() + "    return " + ret + "\n";
  }

 private:
  std::string line(const std::string& expr) {
    std::string name = "x";
    name += std::to_string(count_++);
    body_ << "    " << name << " = " << expr << "\n";
    return name;
  }

  torch::jit::Module& m_;
  std::ostringstream body_;
  std::string input_;
  std::vector<std::string> outputs_;
  int count_ = 0;
};

std::string config_json(const ExportMetadata& meta) {
  std::ostringstream out;
  out << "{\"description\": " << files::json_quote(meta.description)
      << ", \"author\": \"Orvane Studio\", \"date\": " << files::json_quote(meta.date)
      << ", \"version\": \"0.1\", \"task\": " << files::json_quote(meta.task)
      << ", \"stride\": 32, \"batch\": 1, \"imgsz\": [" << meta.height << ", " << meta.width
      << "], \"names\": {";
  for (size_t i = 0; i < meta.names.size(); ++i)
    out << (i ? ", " : "") << files::json_quote(std::to_string(i)) << ": "
        << files::json_quote(meta.names[i]);
  out << "}}";
  return out.str();
}

}  // namespace

std::string torchscript_bytes(YoloModelImpl& model, const ExportMetadata& meta) {
  return torchscript_bytes(
      [&](GraphEmitter& emitter) {
        emit_inference_graph(model, meta.height, meta.width, emitter);
        return std::vector<std::vector<int64_t>>{};
      },
      model.arch().family == Family::yolo11 ? "__torch__.orvane.YOLO11" : "__torch__.orvane.YOLOv8",
      meta);
}

std::string torchscript_bytes(const GraphWalk& walk, const std::string& module_name,
                              const ExportMetadata& meta) {
  torch::jit::Module module(module_name);
  ScriptEmitter emitter(module);
  walk(emitter);
  try {
    module.define(emitter.source());
  } catch (const c10::Error& e) {
    const std::string what = e.what();
    throw EngineError("TorchScript compilation failed: " + what.substr(0, what.find('\n')));
  }
  module.eval();
  std::ostringstream out;
  module.save(out, {{"config.txt", config_json(meta)}});
  return out.str();
}

}  // namespace orvane::engine::exporting
