#pragma once
// TrainOptions as text: args.yaml and checkpoints store it, resume and the command line read it.

#include <string>
#include <utility>
#include <vector>

#include "engine/train_options.h"

namespace orvane::engine {

// optimizer=auto: a run of more than this many optimizer iterations uses SGD (lr 0.01, momentum
// 0.9), which generalises better when there is time to converge; a shorter one uses AdamW, which
// gets further in few steps. Training and the tuner both decide with it.
inline constexpr long long kAutoOptimizerSgdIterations = 10000;

// Every plain option as (key, text) in a stable order (callbacks and hooks are not options).
std::vector<std::pair<std::string, std::string>> train_args_list(const TrainOptions& options);

// Sets one option from text. Throws EngineError naming the key for an unknown key or a value
// that does not parse.
void set_train_arg(TrainOptions& options, const std::string& key, const std::string& value);

}  // namespace orvane::engine
