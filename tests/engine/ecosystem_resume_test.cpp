// Resuming the YOLO ecosystem's interrupted run from its last.pt. No such file exists with the
// tests, so each test writes one: the network of a real ecosystem checkpoint (its module tree,
// hence the ecosystem's own parameter order) saved back as a last.pt with PyTorch's optimizer
// state dict, every parameter's state holding values that say whose they are.

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/checkpoint.h"
#include "engine/ecosystem_weights.h"
#include "engine/error.h"
#include "engine/pt_pickle.h"
#include "engine/pt_test_files.h"
#include "engine/shapes_data.h"
#include "engine/yolo.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using Type = pt::Value::Type;

// Values a test adds to a tree it read: owned here, pointed at by the tree.
class Values {
 public:
  const pt::Value* none() { return make(Type::none); }
  const pt::Value* integer(int64_t i) {
    auto* v = make(Type::integer);
    v->integer = i;
    return v;
  }
  const pt::Value* real(double d) {
    auto* v = make(Type::real);
    v->real = d;
    return v;
  }
  const pt::Value* boolean(bool b) {
    auto* v = make(Type::boolean);
    v->boolean = b;
    return v;
  }
  const pt::Value* text(const std::string& s) {
    auto* v = make(Type::string);
    v->text = s;
    return v;
  }
  const pt::Value* list(std::vector<const pt::Value*> items, Type type = Type::list) {
    auto* v = make(type);
    v->items = std::move(items);
    return v;
  }
  const pt::Value* dict(const std::vector<std::pair<const pt::Value*, const pt::Value*>>& entries) {
    auto* v = make(Type::dict);
    v->entries = entries;
    return v;
  }
  const pt::Value* dict(const std::vector<std::pair<std::string, const pt::Value*>>& entries) {
    auto* v = make(Type::dict);
    for (const auto& [k, val] : entries) v->entries.emplace_back(text(k), val);
    return v;
  }
  // A contiguous float16 or float32 tensor in a storage of its own.
  const pt::Value* tensor(const torch::Tensor& t) {
    const auto c = t.contiguous();
    bytes_.emplace_back(static_cast<const char*>(c.data_ptr()), c.nbytes());
    storages_.push_back(pt::Storage{"opt" + std::to_string(storages_.size()),
                                    c.scalar_type() == torch::kHalf ? pt::DType::float16
                                                                    : pt::DType::float32,
                                    c.numel(), bytes_.back()});
    auto* v = make(Type::tensor);
    v->tensor.storage = &storages_.back();
    v->tensor.sizes = c.sizes().vec();
    v->tensor.strides = c.strides().vec();
    return v;
  }

 private:
  pt::Value* make(Type type) {
    pool_.emplace_back();
    pool_.back().type = type;
    return &pool_.back();
  }
  std::deque<pt::Value> pool_;
  std::deque<pt::Storage> storages_;
  std::deque<std::string> bytes_;
};

// The ecosystem's three optimizer groups of a network record, as its training log counts them:
// biases, other weights, BatchNorm weights; modules in registration order.
void ecosystem_groups(const pt::Value& module, const std::string& prefix,
                      std::array<std::vector<std::pair<std::string, std::vector<int64_t>>>, 3>& g) {
  const bool bn = module.text.size() > 11 &&
                  module.text.compare(module.text.size() - 11, 11, "BatchNorm2d") == 0;
  if (const auto* params = module.get("_parameters"))
    for (const auto& [k, v] : params->entries)
      if (v->is(Type::tensor)) {
        const std::string name = prefix + k->text;
        const int group = name.find("bias") != std::string::npos ? 0 : bn ? 2 : 1;
        g[size_t(group)].emplace_back(name, v->tensor.sizes);
      }
  if (const auto* children = module.get("_modules"))
    for (const auto& [k, v] : children->entries)
      if (v->is(Type::object)) ecosystem_groups(*v, prefix + k->text + ".", g);
}

struct EcosystemLastPt {
  std::string optimizer = "AdamW";   // train_args' optimizer
  std::string state_kind = "";       // "SGD" or "Adam": the state written; "" as `optimizer`
  bool with_optimizer = true;        // false: optimizer None, as a finished run's last.pt
  int epoch = 1, epochs = 3;         // last finished epoch (0-based), planned epochs
  int64_t updates = 123, step = 40;  // EMA updates, Adam's step count
  int short_group = -1;              // this group lists one parameter fewer
  std::string misshapen;             // this parameter's first state tensor has the wrong shape
};

// A parameter's values in the written state say which parameter index they belong to.
float first_value(size_t index) { return float(index + 1) / 1024.f; }
float second_value(size_t index) { return float(index + 1) / 4096.f; }

class EcosystemResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("orvane_eco_resume_" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    data = make_dataset(dir / "data", false, 8);
    run = dir / "runs" / "eco";
    fs::create_directories(run / "weights");
  }
  void TearDown() override { fs::remove_all(dir); }

  // Writes run/weights/last.pt; returns, by our parameter name, the index its state was
  // written under.
  std::map<std::string, size_t> write_last_pt(const EcosystemLastPt& f) {
    const auto real = pt::read_pt_file(real_weights());
    const pt::Value* net = real.root().get("model");
    std::array<std::vector<std::pair<std::string, std::vector<int64_t>>>, 3> groups;
    ecosystem_groups(*net, "", groups);

    Values v;
    const bool sgd = (f.state_kind.empty() ? f.optimizer : f.state_kind) == "SGD";
    std::vector<std::pair<const pt::Value*, const pt::Value*>> state;
    std::vector<const pt::Value*> param_groups;
    std::map<std::string, size_t> index_of;
    size_t index = 0;
    for (int g = 0; g < 3; ++g) {
      std::vector<const pt::Value*> params;
      for (const auto& [name, sizes] : groups[size_t(g)]) {
        const size_t i = index++;
        if (g != f.short_group || &groups[size_t(g)].back().first != &name)
          params.push_back(v.integer(int64_t(i)));
        if (name.find(".dfl.") != std::string::npos) continue;  // frozen: never has state
        index_of[name] = i;
        const auto shape = name == f.misshapen ? std::vector<int64_t>{1} : sizes;
        const auto half = torch::TensorOptions().dtype(torch::kHalf);
        std::vector<std::pair<std::string, const pt::Value*>> entry;
        if (sgd) {
          entry.emplace_back("momentum_buffer",
                             v.tensor(torch::full(shape, -first_value(i), half)));
        } else {
          entry.emplace_back("step", v.tensor(torch::full({}, double(f.step))));
          entry.emplace_back("exp_avg", v.tensor(torch::full(shape, first_value(i), half)));
          entry.emplace_back("exp_avg_sq",
                             v.tensor(torch::full(sizes, second_value(i), half)));
        }
        state.emplace_back(v.integer(int64_t(i)), v.dict(entry));
      }
      std::vector<std::pair<std::string, const pt::Value*>> group{
          {"lr", v.real(0.001)},
          {"weight_decay", v.real(g == 1 ? 0.0005 : 0.0)},
          {"initial_lr", v.real(0.001)},
          {"params", v.list(params)}};
      if (sgd) {
        group.emplace_back("momentum", v.real(0.9));
        group.emplace_back("dampening", v.integer(0));
        group.emplace_back("nesterov", v.boolean(true));
      } else {
        group.emplace_back("betas", v.list({v.real(0.9), v.real(0.999)}, Type::tuple));
        group.emplace_back("eps", v.real(1e-8));
        group.emplace_back("amsgrad", v.boolean(false));
      }
      param_groups.push_back(v.dict(group));
    }
    const auto* optimizer =
        f.with_optimizer
            ? v.dict({{"state", v.dict(state)}, {"param_groups", v.list(param_groups)}})
            : v.none();
    const auto* args = v.dict({{"task", v.text("detect")},
                               {"mode", v.text("train")},
                               {"model", v.text("yolov8n.pt")},
                               {"data", v.text(data.string())},
                               {"epochs", v.integer(f.epochs)},
                               {"imgsz", v.integer(64)},
                               {"batch", v.integer(2)},
                               {"nbs", v.integer(4)},
                               {"workers", v.integer(0)},
                               {"optimizer", v.text(f.optimizer)},
                               {"lr0", v.real(0.001)},
                               {"seed", v.integer(0)},
                               {"deterministic", v.boolean(true)},
                               {"mosaic", v.real(0.0)},
                               {"close_mosaic", v.integer(0)},
                               {"plots", v.boolean(false)},
                               {"project", v.none()},
                               {"name", v.text("eco")},
                               {"resume", v.boolean(false)},
                               {"save_dir", v.text(run.string())}});
    const auto* root = v.dict({{"date", v.text("2026-12-01T10:00:00")},
                               {"version", v.text("8.3.0")},
                               {"epoch", v.integer(f.epoch)},
                               {"best_fitness", v.real(0.25)},
                               {"model", v.none()},
                               {"ema", net},
                               {"updates", v.integer(f.updates)},
                               {"optimizer", optimizer},
                               {"train_args", args},
                               {"train_metrics", v.dict(std::vector<std::pair<std::string,
                                                                              const pt::Value*>>{})}});
    write_file(run / "weights" / "last.pt", PtWriter().archive(*root, "last"));
    return index_of;
  }

  // The refusal a resume from run/weights/last.pt ends with; "" when it starts.
  std::string refusal() {
    try {
      YOLO model((run / "weights" / "last.pt").string());
      model.add_callback("on_train_start", [](Trainer& t) { t.stop = true; });
      TrainOptions o;
      o.resume = true;
      model.train(o);
    } catch (const EngineError& e) {
      return e.what();
    }
    return "";
  }

  fs::path dir, data, run;
};

TEST_F(EcosystemResumeTest, AdamStateLandsOnItsParametersAndTheRunGoesOnAtTheNextEpoch) {
  const auto index_of = write_last_pt({});
  // The ecosystem's results.csv of a version without the time column, cells padded.
  std::ofstream(run / "results.csv")
      << "                  epoch,         train/box_loss,         train/cls_loss,         "
         "train/dfl_loss,   metrics/precision(B),      metrics/recall(B),       "
         "metrics/mAP50(B),    metrics/mAP50-95(B),           val/box_loss,           "
         "val/cls_loss,           val/dfl_loss,                 lr/pg0,                 "
         "lr/pg1,                 lr/pg2\n"
      << "                      1,                 1.5,   2.5,  1.2,  0.1,  0.2,  0.15,  0.05,  "
         "1.6,  2.6,  1.3,  0.0001,  0.0001,  0.0001\n"
      << "                      2,                 1.4,   2.4,  1.1,  0.2,  0.3,  0.25,  0.1,  "
         "1.5,  2.5,  1.2,  0.0002,  0.0002,  0.0002\n";

  YOLO model((run / "weights" / "last.pt").string());
  int start = -1, checked = 0;
  std::vector<std::string> wrong;
  model.add_callback("on_train_start", [&](Trainer& t) {
    start = t.start_epoch;
    std::map<const void*, std::string> names;
    for (auto& p : t.model()->named_parameters(true))
      names[p.value().unsafeGetTensorImpl()] = p.key();
    auto& state = t.optimizer().state();
    for (auto& group : t.optimizer().param_groups())
      for (auto& p : group.params()) {
        const std::string name = names[p.unsafeGetTensorImpl()];
        const auto it = state.find(c10::guts::to_string(p.unsafeGetTensorImpl()));
        if (it == state.end() || !index_of.count(name)) {
          wrong.push_back(name + " (no state)");
          continue;
        }
        const auto& s = static_cast<torch::optim::AdamWParamState&>(*it->second);
        const size_t i = index_of.at(name);
        if (s.step() != 40 || !s.exp_avg().eq(first_value(i)).all().item<bool>() ||
            !s.exp_avg_sq().eq(second_value(i)).all().item<bool>())
          wrong.push_back(name);
        ++checked;
      }
  });
  TrainOptions o;
  o.resume = true;
  o.threads = 1;
  o.given_keys = {"resume", "threads"};
  const auto result = model.train(o);

  EXPECT_EQ(start, 2);
  EXPECT_EQ(size_t(checked), index_of.size());  // every trained parameter, the DFL's aside
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first " << wrong.front();
  EXPECT_EQ(result.epochs_completed, 3);
  const auto last = load_checkpoint(run / "weights" / "last.pt");  // ours now
  EXPECT_EQ(last.meta.epoch, 2);
  EXPECT_TRUE(last.meta.finished);
  // Four batches, each an optimizer step in the warm-up (100 iterations at least): the count
  // went on from 123.
  EXPECT_EQ(last.meta.ema_updates, 127);
  // The earlier rows by column name (no time there: 0), then the resumed epoch.
  std::ifstream csv(run / "results.csv");
  std::vector<std::vector<double>> rows;
  std::string line;
  std::getline(csv, line);
  EXPECT_NE(line.find("time"), std::string::npos);
  while (std::getline(csv, line)) {
    rows.emplace_back();
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');)
      rows.back().push_back(std::stod(cell));
  }
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][0], 1);
  EXPECT_EQ(rows[0][1], 0);
  EXPECT_EQ(rows[0][2], 1.5);
  EXPECT_EQ(rows[1][6], 0.3);  // metrics/recall(B) of epoch 2
  EXPECT_EQ(rows[2][0], 3);
  EXPECT_GT(rows[2][1], 0);
}

TEST_F(EcosystemResumeTest, SgdMomentumBuffersLandOnTheirParameters) {
  EcosystemLastPt f;
  f.optimizer = "SGD";
  const auto index_of = write_last_pt(f);
  YOLO model((run / "weights" / "last.pt").string());
  int checked = 0;
  std::vector<std::string> wrong;
  model.add_callback("on_train_start", [&](Trainer& t) {
    auto& state = t.optimizer().state();
    for (auto& p : t.model()->named_parameters(true)) {
      const auto it = state.find(c10::guts::to_string(p.value().unsafeGetTensorImpl()));
      if (it == state.end()) continue;
      const auto& s = static_cast<torch::optim::SGDParamState&>(*it->second);
      if (!index_of.count(p.key()) ||
          !s.momentum_buffer().eq(-first_value(index_of.at(p.key()))).all().item<bool>())
        wrong.push_back(p.key());
      ++checked;
    }
    t.stop = true;
  });
  TrainOptions o;
  o.resume = true;
  o.threads = 1;
  o.given_keys = {"resume", "threads"};
  EXPECT_TRUE(model.train(o).stopped);
  EXPECT_EQ(size_t(checked), index_of.size());
  EXPECT_TRUE(wrong.empty()) << wrong.front();
}

TEST_F(EcosystemResumeTest, StateThatDoesNotFitIsRefusedWithOneLineAndTheFileKept) {
  struct Case {
    std::function<void(EcosystemLastPt&)> change;
    std::vector<std::string> says;
  };
  const std::vector<Case> cases{
      {[](EcosystemLastPt& f) { f.short_group = 2; },
       {"cannot resume", "parameter group 2 (normalisation weights) holds 56", "has 57"}},
      {[](EcosystemLastPt& f) { f.short_group = 0; }, {"parameter group 0 (biases)"}},
      {[](EcosystemLastPt& f) { f.misshapen = "model.0.conv.weight"; },
       {"exp_avg of model.0.conv.weight is [1], the parameter is [16,3,3,3]"}},
      {[](EcosystemLastPt& f) { f.state_kind = "SGD"; },
       {"SGD's (momentum buffers)", "this run trains with AdamW"}},
      {[](EcosystemLastPt& f) { f.with_optimizer = false; },
       {"without optimizer state", "only fine-tuned from"}},
  };
  for (const auto& c : cases) {
    EcosystemLastPt f;
    c.change(f);
    write_last_pt(f);
    const std::string before = read_file(run / "weights" / "last.pt");
    const std::string message = refusal();
    for (const auto& part : c.says) EXPECT_NE(message.find(part), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_EQ(read_file(run / "weights" / "last.pt"), before);
  }
}

}  // namespace
}  // namespace orvane::engine
