#pragma once
// Prediction through LibTorch's JIT instead of the eager model.
//
// Eager LibTorch on a CPU repacks every convolution's weights on every call, reorders activations
// between layouts at each layer, and sends the small batch-1 convolutions of a YOLO head to its
// im2col + BLAS path. A frozen TorchScript module optimised for inference runs every convolution
// through oneDNN with pre-packed weights and keeps activations in oneDNN's blocked layout from one
// layer to the next: about half the forward time of a YOLOv8n.
//
// The script is the one the TorchScript export writes (the fused network and its decoding, same
// outputs to float rounding), built for one input size at a time. A folder of photos needs a few
// sizes (one per aspect ratio), so the last few are kept. Building one takes a few tenths of a
// second, longer than an eager forward pass: by default it happens on a thread of its own while
// the eager model answers, so no prediction ever waits for it.
//
// Segmentation models run eagerly: with their prototype branch the optimised module measured
// slower than the eager model at two threads (the blocked layout is converted back for the
// prototypes and the 32 coefficient maps), so only detection models are compiled.

#include <torch/script.h>

#include <cstdint>
#include <future>
#include <list>
#include <utility>

#include "engine/model.h"
#include "engine/predictor.h"

namespace orvane::engine {

// Freezes `module` (weights become constants) and applies LibTorch's inference optimisations.
// Returns `module` unchanged, after one warning, when this LibTorch cannot optimise it.
torch::jit::Module optimize_script_for_cpu(const torch::jit::Module& module);

// The outputs of a script's forward(): one tensor (detection) or (pred, proto) (segmentation).
NetworkOutput split_outputs(const c10::IValue& out);

class CompiledNetwork {
 public:
  enum class Compile { in_background, before_answering };
  // `fused` must not change while this object is used (YOLO owns both).
  explicit CompiledNetwork(YoloModel fused, Compile when = Compile::in_background)
      : fused_(std::move(fused)), when_(when) {}
  ~CompiledNetwork() { wait_for_compilation(); }
  CompiledNetwork(const CompiledNetwork&) = delete;
  CompiledNetwork& operator=(const CompiledNetwork&) = delete;

  // images [1,3,H,W] float 0..1 RGB, H and W multiples of 32.
  NetworkOutput forward(const torch::Tensor& images);
  // A Network (referring to this object) for predict_image.
  Network network();

  // True once forward() at this size runs the compiled module.
  bool is_compiled(int64_t height, int64_t width);
  // Blocks until every compilation started has finished.
  void wait_for_compilation();

  // How many sizes stay compiled: a compiled YOLOv8n holds its weights once more (about 13 MB).
  static constexpr std::size_t kSizesKept = 4;

 private:
  struct Entry {
    std::pair<int64_t, int64_t> size;
    std::shared_future<torch::jit::Module> module;
  };
  Entry& entry_for(int64_t height, int64_t width);

  YoloModel fused_;
  Compile when_;
  std::list<Entry> cache_;  // most recently used first
  bool eager_ = false;      // compilation failed once: run the eager model from then on
};

}  // namespace orvane::engine
