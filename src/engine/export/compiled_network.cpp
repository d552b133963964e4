#include "engine/export/compiled_network.h"

#include <chrono>

#include "engine/error.h"
#include "engine/export/writers.h"
#include "engine/logger.h"

namespace orvane::engine {

NetworkOutput split_outputs(const c10::IValue& out) {
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

torch::jit::Module optimize_script_for_cpu(const torch::jit::Module& module) {
  try {
    torch::jit::Module frozen = torch::jit::freeze(module);
    return torch::jit::optimize_for_inference(frozen);
  } catch (const c10::Error& e) {
    const std::string what = e.what();
    LOGGER.warning("TorchScript inference optimisation is not available (" +
                   what.substr(0, what.find('\n')) + "), running the plain module");
    return module;
  }
}

CompiledNetwork::Entry& CompiledNetwork::entry_for(int64_t height, int64_t width) {
  const std::pair<int64_t, int64_t> size{height, width};
  for (auto it = cache_.begin(); it != cache_.end(); ++it) {
    if (it->size != size) continue;
    cache_.splice(cache_.begin(), cache_, it);
    return cache_.front();
  }
  auto compile = [model = fused_, height, width]() mutable {
    torch::NoGradGuard no_grad;
    return optimize_script_for_cpu(exporting::inference_script(*model, height, width));
  };
  const auto policy = when_ == Compile::in_background ? std::launch::async : std::launch::deferred;
  cache_.push_front({size, std::async(policy, compile).share()});
  if (cache_.size() > kSizesKept) cache_.pop_back();  // waits if that one is still compiling
  return cache_.front();
}

bool CompiledNetwork::is_compiled(int64_t height, int64_t width) {
  for (const auto& e : cache_)
    if (e.size == std::make_pair(height, width))
      return e.module.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  return false;
}

void CompiledNetwork::wait_for_compilation() {
  for (const auto& e : cache_)
    if (e.module.valid()) e.module.wait();
}

NetworkOutput CompiledNetwork::forward(const torch::Tensor& images) {
  torch::NoGradGuard no_grad;
  if (!eager_ && !fused_->is_segment()) {
    Entry& entry = entry_for(images.size(2), images.size(3));
    // A deferred compilation runs here, in get(); a background one is used once it is done.
    if (when_ == Compile::before_answering ||
        entry.module.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      try {
        torch::jit::Module module = entry.module.get();
        return split_outputs(module.forward({images}));
      } catch (const std::exception& e) {
        // The eager model computes the same; only speed is lost.
        LOGGER.warning(std::string("Running the network without compilation: ") + e.what());
        eager_ = true;
      }
    }
  }
  ModelOutput out = fused_->forward(images);
  return {fused_->decode(out), out.proto};
}

Network CompiledNetwork::network() {
  Network network;
  network.names = fused_->names;
  network.segment = fused_->is_segment();
  network.forward = [this](const torch::Tensor& x) { return forward(x); };
  return network;
}

}  // namespace orvane::engine
