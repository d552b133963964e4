#pragma once
// Resuming the YOLO ecosystem's interrupted run: its last.pt (read by the restricted reader of
// pt_pickle.h) holds PyTorch's `optimizer.state_dict()`, which this maps onto our optimizer.
//
//   epoch          last finished epoch, 0-based     best_fitness   float or None
//   model          None                             ema            the averaged network, float16
//   updates        EMA update count                 train_args     the run's options
//   optimizer      {state: {index: {step, exp_avg, exp_avg_sq}      Adam, AdamW
//                                | {momentum_buffer}},              SGD
//                   param_groups: [{params: [index ...], lr, initial_lr, weight_decay,
//                                   betas | momentum, nesterov, ...} x 3]}
//
// The ecosystem's trainer builds three groups by walking the network's modules in registration
// order (pre-order, each module's own parameters in order): group 0 the biases, group 1 the other
// weights (with weight decay), group 2 the weights of normalisation layers. Indices number group
// 0's parameters first, then group 1's, then group 2's. Our trainer's groups are the same three
// in the same order (the lr/pg0..2 columns of results.csv agree). Frozen parameters (the DFL
// projection, `freeze=` layers) sit in their group but never get state.
//
// The module tree of the file's own network gives every index its parameter name, so the mapping
// does not depend on the order in which our model registers its layers; everything is checked
// (group sizes, group of each parameter, kind of optimizer, every tensor's shape) before any
// state is set, and the first thing that does not fit refuses the file.

#include <torch/torch.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace orvane::engine {

// A run's trainable parameters in one optimizer group, with their names in our model.
using NamedParameters = std::vector<std::pair<std::string, torch::Tensor>>;

struct EcosystemOptimizerState {
  std::int64_t parameters_with_state = 0;  // 0 when the run was saved before its first step
};

// Fills `optimizer` (built by our trainer as `optimizer_name`: SGD, Adam or AdamW, with the groups
// `groups`: pg0 biases, pg1 weights with decay, pg2 normalisation weights) from the ecosystem's
// checkpoint at `path`. Throws EngineError ("PATH: ...", one line) when the file's optimizer state
// does not fit this run; the optimizer is then left untouched.
EcosystemOptimizerState restore_ecosystem_optimizer(const std::filesystem::path& path,
                                                    const std::array<NamedParameters, 3>& groups,
                                                    torch::optim::Optimizer& optimizer,
                                                    const std::string& optimizer_name);

// Whether `path` is a torch.save archive (the ecosystem's .pt) rather than one of our checkpoints.
bool is_torch_save_file(const std::filesystem::path& path);

}  // namespace orvane::engine
