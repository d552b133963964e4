#include "engine/ecosystem_optimizer.h"

#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "engine/ecosystem_weights.h"
#include "engine/error.h"
#include "engine/pt_pickle.h"

namespace orvane::engine {

namespace fs = std::filesystem;
using pt::Value;
using Type = pt::Value::Type;

namespace {

constexpr const char* kGroupNames[3] = {"biases", "weights with decay",
                                        "normalisation weights"};

// The ecosystem's three groups, by parameter name, as its trainer builds them: named_modules()
// order (pre-order, a module reached twice counts once), each module's own parameters in order;
// a name holding "bias" goes to group 0, a weight of a normalisation layer (any class whose name
// holds "Norm") to group 2, every other weight to group 1.
void walk_groups(const Value& module, const std::string& prefix, int depth,
                 std::set<const Value*>& seen, std::array<std::vector<std::string>, 3>& groups) {
  if (depth > 32) throw EngineError("its modules nest too deeply");
  if (!module.is(Type::object) || !seen.insert(&module).second) return;
  const std::string cls = module.text.substr(module.text.rfind('.') + 1);
  const bool norm = cls.find("Norm") != std::string::npos;
  if (const Value* params = module.get("_parameters"); params && params->is(Type::dict))
    for (const auto& [k, v] : params->entries) {
      if (!k->is(Type::string) || v->is(Type::none)) continue;
      const std::string name = prefix + k->text;
      const int group = name.find("bias") != std::string::npos ? 0
                        : norm || name.find("logit_scale") != std::string::npos ? 2
                                                                               : 1;
      groups[size_t(group)].push_back(name);
    }
  if (const Value* children = module.get("_modules"); children && children->is(Type::dict))
    for (const auto& [k, v] : children->entries)
      if (k->is(Type::string) && !v->is(Type::none))
        walk_groups(*v, prefix + k->text + ".", depth + 1, seen, groups);
}

std::int64_t index_of(const Value* v, std::size_t count) {
  if (!v || !v->is(Type::integer) || v->integer < 0 || std::uint64_t(v->integer) >= count)
    throw EngineError("its optimizer state refers to parameter " +
                      (v ? v->describe() : std::string("?")) + ", which is not one of its " +
                      std::to_string(count) + " parameters");
  return v->integer;
}

// A state tensor as float32, checked against the parameter it belongs to.
torch::Tensor state_tensor(const Value* v, const std::string& key, const std::string& name,
                           const torch::Tensor& param) {
  if (!v->is(Type::tensor))
    throw EngineError("its optimizer state " + key + " of " + name + " is " + v->describe() +
                      ", not a tensor");
  if (c10::IntArrayRef(v->tensor.sizes) != param.sizes())
    throw EngineError("its optimizer state " + key + " of " + name + " is " +
                      shape_text(v->tensor.sizes) + ", the parameter is " +
                      shape_text(param.sizes()));
  auto t = ecosystem_tensor(v->tensor);
  if (!t.is_floating_point())
    throw EngineError("its optimizer state " + key + " of " + name + " is not floating point");
  t = t.to(torch::kFloat).contiguous();
  if (!torch::isfinite(t).all().item<bool>())
    throw EngineError("its optimizer state " + key + " of " + name +
                      " holds values that are not finite numbers");
  return t;
}

// Adam's `step`: a plain number in older PyTorch, a one-element tensor since 1.12.
std::int64_t step_count(const Value* v, const std::string& name) {
  double step = -1;
  if (v->is(Type::integer)) step = double(v->integer);
  else if (v->is(Type::real)) step = v->real;
  else if (v->is(Type::tensor) && v->tensor.numel() == 1)
    step = ecosystem_tensor(v->tensor).to(torch::kDouble).item<double>();
  if (!std::isfinite(step) || step < 0 || step > 1e12 || step != std::floor(step))
    throw EngineError("its optimizer step count of " + name + " is " + v->describe() +
                      ", not a count");
  return std::int64_t(step);
}

// One parameter's state, read and checked, not yet handed to the optimizer.
struct Pending {
  torch::Tensor param;
  std::int64_t step = 0;
  torch::Tensor first, second;  // exp_avg, exp_avg_sq; SGD: first is the momentum buffer
};

}  // namespace

bool is_torch_save_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return bytes.compare(0, 2, "PK") == 0 && !pt::torch_save_prefix(bytes).empty();
}

EcosystemOptimizerState restore_ecosystem_optimizer(const fs::path& path,
                                                    const std::array<NamedParameters, 3>& groups,
                                                    torch::optim::Optimizer& optimizer,
                                                    const std::string& optimizer_name) {
  const pt::Unpickled file = pt::read_pt_file(path);
  const bool sgd = optimizer_name == "SGD";
  std::vector<Pending> pending;
  EcosystemOptimizerState result;
  try {
    const Value& root = file.root();
    if (!root.is(Type::dict)) throw EngineError("not a YOLO checkpoint");
    const Value* net = root.get("ema");
    if (!net || net->is(Type::none)) net = root.get("model");
    if (!net || !net->is(Type::object))
      throw EngineError("not a YOLO checkpoint: it holds no network under 'ema' or 'model'");
    const Family family = map_ecosystem_architecture(*net, path.filename().string()).family;
    const Value* saved = root.get("optimizer");
    if (!saved || !saved->is(Type::dict)) throw EngineError("it holds no optimizer state");
    const Value* state = saved->get("state");
    const Value* param_groups = saved->get("param_groups");
    if (!state || !state->is(Type::dict) || !param_groups || !param_groups->is(Type::list))
      throw EngineError("its optimizer state is not PyTorch's (no 'state' and 'param_groups')");
    if (param_groups->items.size() != 3)
      throw EngineError("its optimizer has " + std::to_string(param_groups->items.size()) +
                        " parameter groups; the YOLO trainer builds 3 (biases, weights with "
                        "decay, normalisation weights)");

    // Which optimizer wrote it: Adam's groups carry betas, SGD's momentum and nesterov.
    const Value* first_group = param_groups->items[0];
    const bool saved_sgd = first_group->is(Type::dict) && first_group->get("nesterov") &&
                           !first_group->get("betas");
    if (saved_sgd != sgd)
      throw EngineError(std::string("its optimizer state is ") +
                        (saved_sgd ? "SGD's (momentum buffers)" : "Adam's (moment estimates)") +
                        ", this run trains with " + optimizer_name +
                        ": resume with the optimizer the run was started with");

    // Every index of the file named through its own network's module tree.
    std::array<std::vector<std::string>, 3> theirs;
    std::set<const Value*> seen;
    walk_groups(*net, "", 0, seen, theirs);
    const std::size_t count = theirs[0].size() + theirs[1].size() + theirs[2].size();
    std::vector<std::string> name_of(count);
    std::vector<int> group_of(count, -1);
    for (int g = 0; g < 3; ++g) {
      const Value* group = param_groups->items[size_t(g)];
      const Value* params = group->is(Type::dict) ? group->get("params") : nullptr;
      if (!params || !params->is(Type::list))
        throw EngineError("its optimizer's parameter group " + std::to_string(g) +
                          " lists no parameters");
      if (params->items.size() != theirs[size_t(g)].size())
        throw EngineError("its optimizer's parameter group " + std::to_string(g) + " (" +
                          kGroupNames[g] + ") holds " + std::to_string(params->items.size()) +
                          " parameters, its network has " +
                          std::to_string(theirs[size_t(g)].size()));
      for (std::size_t k = 0; k < params->items.size(); ++k) {
        const auto index = std::size_t(index_of(params->items[k], count));
        if (group_of[index] != -1)
          throw EngineError("its optimizer lists parameter " + std::to_string(index) + " twice");
        group_of[index] = g;
        name_of[index] = ecosystem_parameter_name(theirs[size_t(g)][k], family);
      }
    }

    // Ours, by name: the group each parameter trains in and the tensor itself.
    std::map<std::string, std::pair<int, torch::Tensor>> ours;
    for (int g = 0; g < 3; ++g)
      for (const auto& [name, tensor] : groups[size_t(g)]) ours.emplace(name, std::pair{g, tensor});

    std::set<std::string> covered;
    for (const auto& [k, v] : state->entries) {
      const auto index = std::size_t(index_of(k, count));
      const std::string& name = name_of[index];
      const auto it = ours.find(name);
      if (it == ours.end())
        throw EngineError("it holds optimizer state for " + name +
                          ", which this run does not train (frozen here)");
      if (it->second.first != group_of[index])
        throw EngineError("it puts " + name + " in parameter group " +
                          std::to_string(group_of[index]) + " (" + kGroupNames[group_of[index]] +
                          "), this run in group " + std::to_string(it->second.first));
      if (!v->is(Type::dict))
        throw EngineError("its optimizer state of " + name + " is " + v->describe());
      Pending p;
      p.param = it->second.second;
      for (const auto& [key_value, entry] : v->entries) {
        const std::string key = key_value->is(Type::string) ? key_value->text : "?";
        if (!sgd && key == "step") p.step = step_count(entry, name);
        else if (!sgd && key == "exp_avg") p.first = state_tensor(entry, key, name, p.param);
        else if (!sgd && key == "exp_avg_sq") p.second = state_tensor(entry, key, name, p.param);
        else if (sgd && key == "momentum_buffer" && !entry->is(Type::none))
          p.first = state_tensor(entry, key, name, p.param);
        else if (!(sgd && key == "momentum_buffer"))
          throw EngineError("its optimizer state of " + name + " holds '" + key +
                            "', which " + optimizer_name + " as this program runs it has not");
      }
      if (!sgd && (!p.first.defined() || !p.second.defined()))
        throw EngineError("its optimizer state of " + name + " lacks exp_avg or exp_avg_sq");
      covered.insert(name);
      pending.push_back(std::move(p));
    }
    // Saved after the first step, every parameter that trains has its state.
    if (!covered.empty())
      for (const auto& [name, place] : ours)
        if (!covered.count(name))
          throw EngineError("it holds no optimizer state for " + name +
                            ", which this run trains (was it frozen in the ecosystem's run?)");
  } catch (const EngineError& e) {
    throw EngineError(path.string() + ": cannot resume: " + e.what());
  }

  // Everything fits: hand it over, keyed as LibTorch's optimizers key their state.
  auto& slots = optimizer.state();
  for (auto& p : pending) {
    const auto key = c10::guts::to_string(p.param.unsafeGetTensorImpl());
    if (sgd) {
      // A buffer PyTorch left None starts from the next gradient, as LibTorch's does unset.
      if (!p.first.defined()) continue;
      auto s = std::make_unique<torch::optim::SGDParamState>();
      s->momentum_buffer(p.first);
      slots[key] = std::move(s);
    } else if (optimizer_name == "AdamW") {
      auto s = std::make_unique<torch::optim::AdamWParamState>();
      s->step(p.step).exp_avg(p.first).exp_avg_sq(p.second);
      slots[key] = std::move(s);
    } else {
      auto s = std::make_unique<torch::optim::AdamParamState>();
      s->step(p.step).exp_avg(p.first).exp_avg_sq(p.second);
      slots[key] = std::move(s);
    }
  }
  result.parameters_with_state = std::int64_t(pending.size());
  return result;
}

}  // namespace orvane::engine
