// ONNX through the protobuf classes of Debian's ONNX library (onnx_proto); no Python.

#include <onnx/onnx_pb.h>

#include <sstream>

#include "engine/error.h"
#include "engine/export/graph.h"
#include "engine/export/writers.h"

namespace orvane::engine::exporting {

namespace {

class OnnxEmitter : public GraphEmitter {
 public:
  explicit OnnxEmitter(onnx::GraphProto& graph) : g_(graph) {}

  std::string input(const std::string& name, const std::vector<int64_t>& shape) override {
    auto* in = g_.add_input();
    in->set_name(name);
    set_type(in, shape);
    return name;
  }

  std::string constant(const std::string& name, const torch::Tensor& value) override {
    auto t = value.to(torch::kFloat32).contiguous();
    auto* init = g_.add_initializer();
    init->set_name(name);
    init->set_data_type(onnx::TensorProto::FLOAT);
    for (auto d : t.sizes()) init->add_dims(d);
    init->set_raw_data(std::string(static_cast<const char*>(t.data_ptr()), t.nbytes()));
    return name;
  }

  std::string conv(const std::string& x, const std::string& weight, const std::string& bias,
                   int64_t kernel, int64_t stride, int64_t pad, int64_t groups) override {
    std::vector<std::string> in{x, weight};
    if (!bias.empty()) in.push_back(bias);
    auto* n = node("Conv", in);
    ints(n, "kernel_shape", {kernel, kernel});
    ints(n, "strides", {stride, stride});
    ints(n, "pads", {pad, pad, pad, pad});
    ints(n, "dilations", {1, 1});
    integer(n, "group", groups);
    return n->output(0);
  }

  std::string conv_transpose(const std::string& x, const std::string& weight,
                             const std::string& bias, int64_t kernel, int64_t stride) override {
    auto* n = node("ConvTranspose", {x, weight, bias});
    ints(n, "kernel_shape", {kernel, kernel});
    ints(n, "strides", {stride, stride});
    ints(n, "pads", {0, 0, 0, 0});
    ints(n, "dilations", {1, 1});
    integer(n, "group", 1);
    return n->output(0);
  }

  std::string sigmoid(const std::string& x) override { return node("Sigmoid", {x})->output(0); }
  // No SiLU operator before opset 22.
  std::string silu(const std::string& x) override { return mul(x, sigmoid(x)); }
  std::string add(const std::string& a, const std::string& b) override {
    return node("Add", {a, b})->output(0);
  }
  std::string sub(const std::string& a, const std::string& b) override {
    return node("Sub", {a, b})->output(0);
  }
  std::string mul(const std::string& a, const std::string& b) override {
    return node("Mul", {a, b})->output(0);
  }

  std::string concat(const std::vector<std::string>& xs, int64_t axis) override {
    auto* n = node("Concat", xs);
    integer(n, "axis", axis);
    return n->output(0);
  }

  std::string slice(const std::string& x, int64_t axis, int64_t start, int64_t end) override {
    return node("Slice", {x, int_constant({start}), int_constant({end}), int_constant({axis})})
        ->output(0);
  }

  std::string max_pool(const std::string& x, int64_t kernel, int64_t pad) override {
    auto* n = node("MaxPool", {x});
    ints(n, "kernel_shape", {kernel, kernel});
    ints(n, "strides", {1, 1});
    ints(n, "pads", {pad, pad, pad, pad});
    return n->output(0);
  }

  std::string upsample2x(const std::string& x, int64_t, int64_t) override {
    if (scales_.empty()) {
      scales_ = "resize_scales";
      auto* t = g_.add_initializer();
      t->set_name(scales_);
      t->set_data_type(onnx::TensorProto::FLOAT);
      t->add_dims(4);
      for (float v : {1.f, 1.f, 2.f, 2.f}) t->add_float_data(v);
      roi_ = "resize_roi";
      auto* r = g_.add_initializer();
      r->set_name(roi_);
      r->set_data_type(onnx::TensorProto::FLOAT);
      r->add_dims(0);
    }
    auto* n = node("Resize", {x, roi_, scales_});
    text(n, "mode", "nearest");
    text(n, "coordinate_transformation_mode", "asymmetric");
    text(n, "nearest_mode", "floor");
    return n->output(0);
  }

  std::string reshape(const std::string& x, const std::vector<int64_t>& shape) override {
    return node("Reshape", {x, int_constant(shape)})->output(0);
  }

  std::string transpose(const std::string& x, const std::vector<int64_t>& perm) override {
    auto* n = node("Transpose", {x});
    ints(n, "perm", perm);
    return n->output(0);
  }

  std::string softmax(const std::string& x, int64_t axis) override {
    auto* n = node("Softmax", {x});
    integer(n, "axis", axis);
    return n->output(0);
  }

  std::string matmul(const std::string& a, const std::string& b) override {
    return node("MatMul", {a, b})->output(0);
  }

  void output(const std::string& x, const std::string& name) override {
    // Rename the producing node's output so the graph's outputs carry the ecosystem's names.
    for (auto& n : *g_.mutable_node())
      for (auto& o : *n.mutable_output())
        if (o == x) o = name;
    auto* out = g_.add_output();
    out->set_name(name);
    set_type(out, {});
    outputs_.push_back(out);
  }

  std::vector<onnx::ValueInfoProto*> outputs_;

 private:
  onnx::NodeProto* node(const std::string& op, const std::vector<std::string>& inputs) {
    auto* n = g_.add_node();
    const auto id = std::to_string(count_++);
    n->set_op_type(op);
    n->set_name("/" + op + "_" + id);
    for (const auto& i : inputs) n->add_input(i);
    n->add_output("/" + op + "_" + id + "_output_0");
    return n;
  }

  std::string int_constant(const std::vector<int64_t>& values) {
    const auto name = "const_" + std::to_string(count_++);
    auto* t = g_.add_initializer();
    t->set_name(name);
    t->set_data_type(onnx::TensorProto::INT64);
    t->add_dims(int64_t(values.size()));
    for (auto v : values) t->add_int64_data(v);
    return name;
  }

  static void ints(onnx::NodeProto* n, const std::string& name, const std::vector<int64_t>& v) {
    auto* a = n->add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::INTS);
    for (auto x : v) a->add_ints(x);
  }
  static void integer(onnx::NodeProto* n, const std::string& name, int64_t v) {
    auto* a = n->add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::INT);
    a->set_i(v);
  }
  static void text(onnx::NodeProto* n, const std::string& name, const std::string& v) {
    auto* a = n->add_attribute();
    a->set_name(name);
    a->set_type(onnx::AttributeProto::STRING);
    a->set_s(v);
  }
  static void set_type(onnx::ValueInfoProto* v, const std::vector<int64_t>& shape) {
    auto* tt = v->mutable_type()->mutable_tensor_type();
    tt->set_elem_type(onnx::TensorProto::FLOAT);
    auto* s = tt->mutable_shape();
    for (auto d : shape) s->add_dim()->set_dim_value(d);
  }

  onnx::GraphProto& g_;
  int count_ = 0;
  std::string scales_, roi_;
};

}  // namespace

std::string names_python_dict(const std::vector<std::string>& names) {
  std::string out = "{";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    // Python's repr: single quotes unless the text holds one and no double quote.
    const auto& n = names[i];
    const bool dq = n.find('\'') != std::string::npos && n.find('"') == std::string::npos;
    const char q = dq ? '"' : '\'';
    out += std::to_string(i) + ": " + q;
    for (char c : n) {
      if (c == '\\' || c == q) out += '\\';
      out += c;
    }
    out += q;
  }
  return out + "}";
}

std::vector<std::pair<std::string, std::string>> metadata_properties(const ExportMetadata& meta) {
  // Built with a stream: GCC 12 warns falsely about long chains of string concatenation at -O3.
  std::ostringstream imgsz;
  imgsz << "[" << meta.height << ", " << meta.width << "]";
  return {{"description", meta.description},
          {"author", "Orvane Studio"},
          {"date", meta.date},
          {"version", "0.1"},
          {"task", meta.task},
          {"stride", "32"},
          {"batch", "1"},
          {"imgsz", imgsz.str()},
          {"names", names_python_dict(meta.names)}};
}

std::string onnx_bytes(YoloModelImpl& model, const ExportMetadata& meta, int opset) {
  return onnx_bytes(
      [&](GraphEmitter& emitter) {
        emit_inference_graph(model, meta.height, meta.width, emitter);
        // Output shapes, so that tools that show the model list them.
        const int64_t rows = 4 + model.nc() + (model.is_segment() ? kNumMasks : 0);
        int64_t anchors = 0;
        for (int s : kStrides) anchors += (meta.height / s) * (meta.width / s);
        std::vector<std::vector<int64_t>> shapes{{1, rows, anchors}};
        if (model.is_segment()) shapes.push_back({1, kNumMasks, meta.height / 4, meta.width / 4});
        return shapes;
      },
      meta, opset);
}

std::string onnx_bytes(const GraphWalk& walk, const ExportMetadata& meta, int opset) {
  if (opset < 12 || opset > 17)
    throw EngineError("ONNX opset " + std::to_string(opset) + " is not supported (12 to 17)");
  onnx::ModelProto proto;
  proto.set_ir_version(opset >= 15 ? 8 : 7);
  proto.set_producer_name("orvane");
  proto.set_producer_version("0.1");
  proto.set_doc_string(meta.description);
  auto* op = proto.add_opset_import();
  op->set_domain("");
  op->set_version(opset);
  auto* graph = proto.mutable_graph();
  graph->set_name("main_graph");
  OnnxEmitter emitter(*graph);
  const auto shapes = walk(emitter);
  auto dims = [](onnx::ValueInfoProto* v, const std::vector<int64_t>& shape) {
    auto* s = v->mutable_type()->mutable_tensor_type()->mutable_shape();
    for (auto d : shape) s->add_dim()->set_dim_value(d);
  };
  for (size_t i = 0; i < shapes.size() && i < emitter.outputs_.size(); ++i)
    dims(emitter.outputs_[i], shapes[i]);
  for (const auto& [k, v] : metadata_properties(meta)) {
    auto* p = proto.add_metadata_props();
    p->set_key(k);
    p->set_value(v);
  }
  std::string bytes;
  if (!proto.SerializeToString(&bytes)) throw EngineError("the ONNX model could not be encoded");
  return bytes;
}

}  // namespace orvane::engine::exporting
