#pragma once
// YOLO11 detection and segmentation networks, layer for layer as published (scales n/s/m/l/x).
//
//   backbone: Conv s2 -> Conv s2 -> C3k2 -> Conv s2 -> C3k2 (P3/8) -> Conv s2 -> C3k2 (P4/16)
//             -> Conv s2 -> C3k2 -> SPPF -> C2PSA (P5/32)
//   neck:     up + cat P4 -> C3k2 (13) -> up + cat P3 -> C3k2 (16, out P3)
//             -> Conv s2 + cat 13 -> C3k2 (19, out P4) -> Conv s2 + cat P5 -> C3k2 (22, out P5)
//   head (23): YOLOv8's, except each class branch is (depthwise 3x3, 1x1) twice.
//
// Scales (depth, width, max channels): n 0.50/0.25/1024, s 0.50/0.50/1024, m 0.50/1.00/512,
// l 1.00/1.00/512, x 1.00/1.50/512; at m, l and x every C3k2 uses C3k blocks. The blocks are
// public so that tests and benchmarks can run them alone.

#include <torch/torch.h>

#include <memory>
#include <vector>

#include "engine/layers.h"
#include "engine/model.h"

namespace orvane::engine {

namespace yolo11 {

// CSP block of `n` 3x3 bottlenecks at half width: cv3(cat(m(cv1(x)), cv2(x))).
class C3kImpl : public torch::nn::Module {
 public:
  C3kImpl(int64_t c1, int64_t c2, int64_t n = 2, bool shortcut = true);
  torch::Tensor forward(const torch::Tensor& x);
  void fuse();

  layers::Conv cv1{nullptr}, cv2{nullptr}, cv3{nullptr};
  std::vector<layers::Bottleneck> m;
};
TORCH_MODULE(C3k);

// C2f's data flow (split, n blocks on the last half, every output kept, 1x1 over all) whose blocks
// are C3k (c3k) or bottlenecks with hidden width c/2, where c = c2 * e.
class C3k2Impl : public torch::nn::Module {
 public:
  C3k2Impl(int64_t c1, int64_t c2, int64_t n, bool c3k, double e = 0.5, bool shortcut = true);
  torch::Tensor forward(const torch::Tensor& x);
  void fuse();

  layers::Conv cv1{nullptr}, cv2{nullptr};
  std::vector<C3k> c3k_blocks;                  // when c3k
  std::vector<layers::Bottleneck> bottlenecks;  // otherwise

 private:
  int64_t c_;
};
TORCH_MODULE(C3k2);

// Multi-head self-attention over the positions of a feature map, with a depthwise 3x3 positional
// term on the values. Per head: queries and keys of width head_dim * attn_ratio, values of
// head_dim; softmax((qᵀk) / sqrt(key width)).
class AttentionImpl : public torch::nn::Module {
 public:
  AttentionImpl(int64_t dim, int64_t num_heads, double attn_ratio = 0.5);
  torch::Tensor forward(const torch::Tensor& x);
  void fuse();

  int64_t heads() const { return heads_; }
  int64_t key_dim() const { return key_dim_; }
  int64_t head_dim() const { return head_dim_; }

  layers::Conv qkv{nullptr}, proj{nullptr}, pe{nullptr};

 private:
  int64_t heads_, key_dim_, head_dim_;
  double scale_;
};
TORCH_MODULE(Attention);

// x + attn(x), then x + ffn(x); ffn = 1x1 Conv to 2c, 1x1 Conv back to c without activation.
class PSABlockImpl : public torch::nn::Module {
 public:
  PSABlockImpl(int64_t c, double attn_ratio, int64_t num_heads);
  torch::Tensor forward(const torch::Tensor& x);
  void fuse();

  Attention attn{nullptr};
  layers::Conv ffn0{nullptr}, ffn1{nullptr};
};
TORCH_MODULE(PSABlock);

// 1x1 Conv to 2c (c = c1 * e), split; the second half through n PSA blocks (c / 64 heads);
// concatenated, a 1x1 Conv back to c1.
class C2PSAImpl : public torch::nn::Module {
 public:
  C2PSAImpl(int64_t c1, int64_t c2, int64_t n = 1, double e = 0.5);
  torch::Tensor forward(const torch::Tensor& x);
  void fuse();

  layers::Conv cv1{nullptr}, cv2{nullptr};
  std::vector<PSABlock> m;

 private:
  int64_t c_;
};
TORCH_MODULE(C2PSA);

// Scale factors of the YOLO11 family. Throws std::invalid_argument for an unknown letter.
layers::Scaling scaling(char scale);

}  // namespace yolo11

// The YOLO11 network of `arch` (arch.family is ignored), for YoloModelImpl.
std::shared_ptr<YoloNetImpl> make_yolo11_net(const ModelSpec& arch);

}  // namespace orvane::engine
