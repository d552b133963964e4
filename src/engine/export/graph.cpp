#include "engine/export/graph.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#include "engine/error.h"

namespace orvane::engine::exporting {

namespace {

// Walks the layers by their state-dict keys, mirroring the network in model.cpp, so that the
// exporters need nothing from the model but its weights and architecture.
class Walker {
 public:
  Walker(torch::nn::Module& model, GraphEmitter& e) : e_(e) {
    for (const auto& p : model.named_parameters(true)) tensors_[p.key()] = p.value().detach();
    for (const auto& b : model.named_buffers(true)) tensors_[b.key()] = b.value().detach();
  }

  bool has(const std::string& key) const { return tensors_.count(key) > 0; }

  const torch::Tensor& get(const std::string& key) const {
    auto it = tensors_.find(key);
    if (it == tensors_.end()) throw EngineError("the model has no weight " + key);
    return it->second;
  }

  // Conv2d + BatchNorm2d folded into one biased convolution, then SiLU (unless `act` is false).
  std::string conv(const std::string& prefix, const std::string& x, int64_t stride = 1,
                   bool act = true, int64_t groups = 1) {
    torch::NoGradGuard no_grad;
    const auto& w = get(prefix + ".conv.weight");
    const auto& gamma = get(prefix + ".bn.weight");
    const auto& beta = get(prefix + ".bn.bias");
    const auto& mean = get(prefix + ".bn.running_mean");
    const auto& var = get(prefix + ".bn.running_var");
    auto scale = gamma / torch::sqrt(var + kBnEps);
    auto fused_w = (w * scale.view({-1, 1, 1, 1})).contiguous();
    auto fused_b = (beta - mean * scale).contiguous();
    const int64_t k = w.size(2);
    auto wn = e_.constant(prefix + ".conv.weight", fused_w);
    auto bn = e_.constant(prefix + ".conv.bias", fused_b);
    auto y = e_.conv(x, wn, bn, k, stride, k / 2, groups);
    return act ? e_.silu(y) : y;
  }

  // A depthwise Conv of as many outputs as inputs: one group per channel.
  std::string dwconv(const std::string& prefix, const std::string& x, bool act = true) {
    const auto& w = get(prefix + ".conv.weight");
    if (w.size(1) != 1) throw EngineError(prefix + " is not a depthwise convolution");
    return conv(prefix, x, 1, act, w.size(0));
  }

  // A plain biased convolution (the head's output layers).
  std::string plain_conv(const std::string& prefix, const std::string& x) {
    const auto& w = get(prefix + ".weight");
    auto wn = e_.constant(prefix + ".weight", w.contiguous());
    auto bn = e_.constant(prefix + ".bias", get(prefix + ".bias").contiguous());
    return e_.conv(x, wn, bn, w.size(2), 1, w.size(2) / 2);
  }

  std::string c2f(const std::string& prefix, const std::string& x, bool shortcut) {
    auto y = conv(prefix + ".cv1", x);
    const int64_t c = get(prefix + ".cv1.conv.weight").size(0) / 2;
    std::vector<std::string> parts{e_.slice(y, 1, 0, c), e_.slice(y, 1, c, 2 * c)};
    for (int i = 0; has(prefix + ".m." + std::to_string(i) + ".cv1.conv.weight"); ++i) {
      const auto m = prefix + ".m." + std::to_string(i);
      auto b = conv(m + ".cv2", conv(m + ".cv1", parts.back()));
      parts.push_back(shortcut ? e_.add(parts.back(), b) : b);
    }
    return conv(prefix + ".cv2", e_.concat(parts, 1));
  }

  std::string sppf(const std::string& prefix, const std::string& x) {
    auto a = conv(prefix + ".cv1", x);
    auto b = e_.max_pool(a, 5, 2);
    auto c = e_.max_pool(b, 5, 2);
    auto d = e_.max_pool(c, 5, 2);
    return conv(prefix + ".cv2", e_.concat({a, b, c, d}, 1));
  }

  // One head branch: two Convs and the biased 1x1 output convolution.
  std::string branch(const std::string& prefix, const std::string& x) {
    return plain_conv(prefix + ".2", conv(prefix + ".1", conv(prefix + ".0", x)));
  }

  // YOLO11's class branch: (depthwise 3x3, 1x1) twice, then the output convolution.
  std::string light_branch(const std::string& prefix, const std::string& x) {
    auto y = conv(prefix + ".0.1", dwconv(prefix + ".0.0", x));
    y = conv(prefix + ".1.1", dwconv(prefix + ".1.0", y));
    return plain_conv(prefix + ".2", y);
  }

  // C2f's flow over bottlenecks (hidden c/2, always added) or C3k blocks.
  std::string c3k2(const std::string& prefix, const std::string& x) {
    auto y = conv(prefix + ".cv1", x);
    const int64_t c = get(prefix + ".cv1.conv.weight").size(0) / 2;
    std::vector<std::string> parts{e_.slice(y, 1, 0, c), e_.slice(y, 1, c, 2 * c)};
    for (int i = 0;; ++i) {
      const auto m = prefix + ".m." + std::to_string(i);
      if (has(m + ".cv3.conv.weight"))
        parts.push_back(c3k(m, parts.back()));
      else if (has(m + ".cv1.conv.weight"))
        parts.push_back(e_.add(parts.back(), conv(m + ".cv2", conv(m + ".cv1", parts.back()))));
      else
        break;
    }
    return conv(prefix + ".cv2", e_.concat(parts, 1));
  }

  std::string c3k(const std::string& prefix, const std::string& x) {
    auto y = conv(prefix + ".cv1", x);
    for (int i = 0; has(prefix + ".m." + std::to_string(i) + ".cv1.conv.weight"); ++i) {
      const auto m = prefix + ".m." + std::to_string(i);
      y = e_.add(y, conv(m + ".cv2", conv(m + ".cv1", y)));
    }
    return conv(prefix + ".cv3", e_.concat({y, conv(prefix + ".cv2", x)}, 1));
  }

  // C2PSA on a [1, c1, h, w] map.
  std::string c2psa(const std::string& prefix, const std::string& x, int64_t h, int64_t w) {
    auto y = conv(prefix + ".cv1", x);
    const int64_t c = get(prefix + ".cv1.conv.weight").size(0) / 2;
    auto a = e_.slice(y, 1, 0, c), b = e_.slice(y, 1, c, 2 * c);
    for (int i = 0; has(prefix + ".m." + std::to_string(i) + ".attn.qkv.conv.weight"); ++i) {
      const auto m = prefix + ".m." + std::to_string(i);
      b = e_.add(b, attention(m + ".attn", b, c, h, w));
      b = e_.add(b, conv(m + ".ffn.1", conv(m + ".ffn.0", b), 1, false));
    }
    return conv(prefix + ".cv2", e_.concat({a, b}, 1));
  }

  // Attention over the h*w positions of a [1, c, h, w] map: c / 64 heads, key width half the
  // head width (the weights do not tell the head count, the rule does).
  std::string attention(const std::string& prefix, const std::string& x, int64_t c, int64_t h,
                        int64_t w) {
    const int64_t heads = std::max<int64_t>(c / 64, 1), hd = c / heads, kd = hd / 2, n = h * w;
    auto qkv = e_.reshape(conv(prefix + ".qkv", x, 1, false), {heads, 2 * kd + hd, n});
    auto q = e_.slice(qkv, 1, 0, kd), k = e_.slice(qkv, 1, kd, 2 * kd);
    auto v = e_.slice(qkv, 1, 2 * kd, 2 * kd + hd);
    auto scale = e_.constant(prefix + ".scale", torch::full({1}, 1.0 / std::sqrt(double(kd))));
    auto attn = e_.mul(e_.matmul(e_.transpose(q, {0, 2, 1}), k), scale);  // [heads, n, n]
    attn = e_.softmax(attn, 2);  // the last axis, as every opset's Softmax reads it
    auto out = e_.reshape(e_.matmul(v, e_.transpose(attn, {0, 2, 1})), {1, c, h, w});
    auto pe = dwconv(prefix + ".pe", e_.reshape(v, {1, c, h, w}), false);
    return conv(prefix + ".proj", e_.add(out, pe), 1, false);
  }

 private:
  GraphEmitter& e_;
  std::map<std::string, torch::Tensor> tensors_;
};

}  // namespace

namespace {

void check_export_size(int64_t height, int64_t width) {
  if (height < 32 || width < 32 || height % 32 != 0 || width % 32 != 0)
    throw EngineError("export size " + std::to_string(height) + "x" + std::to_string(width) +
                      " must be a multiple of 32");
}

}  // namespace

void emit_classifier_graph(torch::nn::Module& model, Family family, int64_t height, int64_t width,
                           GraphEmitter& e) {
  check_export_size(height, width);
  if (height != width)
    throw EngineError("a classifier exports at a square size, not " + std::to_string(height) + "x" +
                      std::to_string(width));
  Walker w(model, e);
  auto y = w.conv("model.1", w.conv("model.0", e.input("images", {1, 3, height, width}), 2), 2);
  std::string head;
  if (family == Family::yolo11) {
    y = w.c3k2("model.4", w.conv("model.3", w.c3k2("model.2", y), 2));
    y = w.c3k2("model.6", w.conv("model.5", y, 2));
    y = w.c2psa("model.9", w.c3k2("model.8", w.conv("model.7", y, 2)), height / 32, width / 32);
    head = "model.10";
  } else {
    y = w.c2f("model.4", w.conv("model.3", w.c2f("model.2", y, true), 2), true);
    y = w.c2f("model.6", w.conv("model.5", y, 2), true);
    y = w.c2f("model.8", w.conv("model.7", y, 2), true);
    head = "model.9";
  }
  // Global average pooling as a depthwise convolution whose kernel covers the whole map with
  // weights 1/n, and the Linear layer as a 1x1 convolution: OpenCV 4.6's importer takes a MatMul
  // only in the shapes of attention, and every runtime runs convolutions.
  y = w.conv(head + ".conv", y);
  const auto& weight = w.get(head + ".linear.weight");  // [nc, c]
  const int64_t c = weight.size(1), nc = weight.size(0), side = height / 32;
  auto mean =
      e.constant(head + ".pool", torch::full({c, 1, side, side}, 1.0 / double(side * side)));
  auto pooled = e.conv(y, mean, "", side, 1, 0, c);  // [1, c, 1, 1]
  auto lw = e.constant(head + ".linear.weight", weight.view({nc, c, 1, 1}).contiguous());
  auto lb = e.constant(head + ".linear.bias", w.get(head + ".linear.bias").contiguous());
  auto logits = e.reshape(e.conv(pooled, lw, lb, 1, 1, 0), {1, nc});
  e.output(e.softmax(logits, 1), "output0");
}

void emit_inference_graph(YoloModelImpl& model, int64_t height, int64_t width, GraphEmitter& e) {
  check_export_size(height, width);
  Walker w(model, e);
  const auto x = e.input("images", {1, 3, height, width});
  auto up = [&](const std::string& t, int64_t stride) {
    return e.upsample2x(t, height / stride * 2, width / stride * 2);
  };
  const bool v11 = model.arch().family == Family::yolo11;
  std::array<std::string, 3> levels;
  if (v11) {
    auto p3 = w.c3k2(
        "model.4",
        w.conv("model.3", w.c3k2("model.2", w.conv("model.1", w.conv("model.0", x, 2), 2)), 2));
    auto p4 = w.c3k2("model.6", w.conv("model.5", p3, 2));
    auto p5 = w.c2psa("model.10", w.sppf("model.9", w.c3k2("model.8", w.conv("model.7", p4, 2))),
                      height / 32, width / 32);
    auto h13 = w.c3k2("model.13", e.concat({up(p5, 32), p4}, 1));
    auto o3 = w.c3k2("model.16", e.concat({up(h13, 16), p3}, 1));
    auto o4 = w.c3k2("model.19", e.concat({w.conv("model.17", o3, 2), h13}, 1));
    auto o5 = w.c3k2("model.22", e.concat({w.conv("model.20", o4, 2), p5}, 1));
    levels = {o3, o4, o5};
  } else {
    auto y = w.c2f("model.2", w.conv("model.1", w.conv("model.0", x, 2), 2), true);
    auto p3 = w.c2f("model.4", w.conv("model.3", y, 2), true);
    auto p4 = w.c2f("model.6", w.conv("model.5", p3, 2), true);
    auto p5 = w.sppf("model.9", w.c2f("model.8", w.conv("model.7", p4, 2), true));
    auto h12 = w.c2f("model.12", e.concat({up(p5, 32), p4}, 1), false);
    auto o3 = w.c2f("model.15", e.concat({up(h12, 16), p3}, 1), false);
    auto o4 = w.c2f("model.18", e.concat({w.conv("model.16", o3, 2), h12}, 1), false);
    auto o5 = w.c2f("model.21", e.concat({w.conv("model.19", o4, 2), p5}, 1), false);
    levels = {o3, o4, o5};
  }
  const std::string head = v11 ? "model.23" : "model.22";

  // Head: per level box and class logits side by side, flattened over the grid.
  const int64_t nc = model.nc();
  const int64_t no = 4 * kRegMax + nc;
  std::vector<std::string> flat, coef;
  std::vector<torch::Tensor> shapes;  // empty feature maps, for the anchor grid
  int64_t anchors = 0;
  for (int i = 0; i < 3; ++i) {
    const auto s = std::to_string(i);
    const int64_t h = height / kStrides[i], wd = width / kStrides[i];
    anchors += h * wd;
    shapes.push_back(torch::empty({1, 1, h, wd}));
    auto cls = v11 ? w.light_branch(head + ".cv3." + s, levels[i])
                   : w.branch(head + ".cv3." + s, levels[i]);
    auto f = e.concat({w.branch(head + ".cv2." + s, levels[i]), cls}, 1);
    flat.push_back(e.reshape(f, {1, no, h * wd}));
    if (model.is_segment())
      coef.push_back(e.reshape(w.branch(head + ".cv4." + s, levels[i]), {1, kNumMasks, h * wd}));
  }
  auto all = e.concat(flat, 2);
  auto box = e.slice(all, 1, 0, 4 * kRegMax);
  auto cls = e.slice(all, 1, 4 * kRegMax, no);

  // DFL as the expectation over 16 bins: softmax over the bins, then a 1x1 convolution whose
  // weights are 0..15. The softmax runs over the last axis because before opset 13 ONNX's
  // Softmax flattens everything from its axis on; the bins then move to the channel axis.
  auto dist = e.reshape(box, {1, 4, kRegMax, anchors});
  dist = e.softmax(e.transpose(dist, {0, 1, 3, 2}), 3);  // [1,4,A,16]
  dist = e.transpose(dist, {0, 3, 1, 2});                // [1,16,4,A]
  const auto& dfl = w.get(v11 ? head + ".dfl.conv.weight" : head + ".dfl.weight");
  auto proj = e.constant(head + ".dfl.conv.weight", dfl.reshape({1, kRegMax, 1, 1}).contiguous());
  dist = e.reshape(e.conv(dist, proj, "", 1, 1, 0), {1, 4, anchors});

  auto [points, strides] = YoloModelImpl::make_anchors(shapes);
  auto anc = e.constant("anchors", points.t().unsqueeze(0).contiguous());  // [1,2,A]
  auto st = e.constant("strides", strides.t()
                                      .unsqueeze(0)
                                      .expand({1, 4, anchors})  // [1,4,A]
                                      .contiguous());
  auto half = e.constant("half", torch::full({1}, 0.5f));
  auto x1y1 = e.sub(anc, e.slice(dist, 1, 0, 2));
  auto x2y2 = e.add(anc, e.slice(dist, 1, 2, 4));
  auto centre = e.mul(e.add(x1y1, x2y2), half);
  auto size = e.sub(x2y2, x1y1);
  auto dbox = e.mul(e.concat({centre, size}, 1), st);
  std::vector<std::string> rows{dbox, e.sigmoid(cls)};
  if (model.is_segment()) rows.push_back(e.concat(coef, 2));
  e.output(e.concat(rows, 1), "output0");
  if (model.is_segment()) {
    auto p = w.conv(head + ".proto.cv1", levels[0]);
    const auto& uw = w.get(head + ".proto.upsample.weight");
    auto un = e.constant(head + ".proto.upsample.weight", uw.contiguous());
    auto ub = e.constant(head + ".proto.upsample.bias",
                         w.get(head + ".proto.upsample.bias").contiguous());
    p = e.conv_transpose(p, un, ub, uw.size(2), 2);
    p = w.conv(head + ".proto.cv3", w.conv(head + ".proto.cv2", p));
    e.output(p, "output1");
  }
}

}  // namespace orvane::engine::exporting
