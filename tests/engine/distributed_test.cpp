// Data-parallel training: two ranks as threads of this process (each with its own rendezvous
// client and Gloo group, exactly as two processes would have), one compute thread each.

#include "engine/distributed.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "common/free_port.h"
#include "engine/data/data_config.h"
#include "engine/data/loader.h"
#include "engine/error.h"
#include "engine/model.h"
#include "engine/quick_train.h"
#include "engine/shapes_data.h"
#include "engine/trainer.h"

namespace orvane::engine {
namespace {

using test::free_port;

using std::chrono::milliseconds;

fs::path temp_dir() {
  std::string tmpl = (fs::temp_directory_path() / "orvane_dist_XXXXXX").string();
  return fs::path(::mkdtemp(tmpl.data()));
}

// Runs `body(rank, group)` on `world` threads, one rank each; rethrows the first failure.
void run_ranks(int world, const std::function<void(int, DistributedGroup&)>& body,
               milliseconds timeout = milliseconds(20000)) {
  const int port = free_port();
  std::vector<std::exception_ptr> errors(world);
  std::vector<std::thread> threads;
  for (int r = 0; r < world; ++r) {
    threads.emplace_back([&, r] {
      try {
        DistributedEnv env;
        env.rank = r;
        env.world_size = world;
        env.master_port = port;
        DistributedGroup group(env, timeout);
        body(r, group);
      } catch (...) {
        errors[r] = std::current_exception();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
}

TEST(DistributedEnvTest, ReadsTorchrunVariablesAndRefusesHalfOrWrongOnes) {
  using Env = std::map<std::string, std::string>;
  auto read = [](const Env& env) {
    return distributed_env_from_environment([&](const char* k) -> const char* {
      auto it = env.find(k);
      return it == env.end() ? nullptr : it->second.c_str();
    });
  };
  EXPECT_FALSE(read({}).has_value());  // alone: training exactly as without this feature
  auto env = read({{"RANK", "1"},
                   {"WORLD_SIZE", "4"},
                   {"LOCAL_RANK", "0"},
                   {"MASTER_ADDR", "10.0.0.2"},
                   {"MASTER_PORT", "29600"}});
  ASSERT_TRUE(env.has_value());
  EXPECT_EQ(env->rank, 1);
  EXPECT_EQ(env->world_size, 4);
  EXPECT_EQ(env->local_rank, 0);
  EXPECT_EQ(env->master_addr, "10.0.0.2");
  EXPECT_EQ(env->master_port, 29600);
  auto defaults = read({{"RANK", "0"}, {"WORLD_SIZE", "2"}});
  EXPECT_EQ(defaults->master_addr, "127.0.0.1");
  EXPECT_EQ(defaults->master_port, 29500);
  for (const Env& bad :
       {Env{{"RANK", "0"}}, Env{{"WORLD_SIZE", "2"}}, Env{{"RANK", "2"}, {"WORLD_SIZE", "2"}},
        Env{{"RANK", "-1"}, {"WORLD_SIZE", "2"}}, Env{{"RANK", "x"}, {"WORLD_SIZE", "2"}},
        Env{{"RANK", "0"}, {"WORLD_SIZE", "2"}, {"MASTER_PORT", "70000"}}})
    EXPECT_THROW(read(bad), EngineError);
}

TEST(DistributedShardTest, ShardsAreDisjointEqualAndCoverTheSetEachEpoch) {
  const auto dir = temp_dir();
  const auto data = make_dataset(dir / "data", false, 10, 64);
  const auto config = load_data_config(data.string());
  LoaderOptions o;
  o.imgsz = 64;
  o.batch = 2;
  o.workers = 0;
  o.shuffle = true;
  o.augment = true;
  o.hyp.mosaic = 0;
  o.seed = 3;
  auto dataset = build_dataset(config, "train", o);
  for (int world : {2, 3}) {
    std::vector<std::unique_ptr<DataLoader>> loaders;
    for (int r = 0; r < world; ++r) {
      LoaderOptions lo = o;
      lo.rank = r;
      lo.world_size = world;
      loaders.push_back(std::make_unique<DataLoader>(dataset, lo));
    }
    std::vector<std::size_t> previous;
    for (int epoch = 0; epoch < 2; ++epoch) {
      std::multiset<std::size_t> seen;
      std::vector<std::size_t> all;
      for (auto& l : loaders) {
        l->begin_epoch(epoch);
        EXPECT_EQ(l->size(), loaders[0]->size()) << "every rank runs the same number of batches";
        EXPECT_EQ(l->epoch_order().size(), (10 + world - 1) / world);
        for (auto i : l->epoch_order()) seen.insert(i), all.push_back(i);
      }
      std::set<std::size_t> distinct(seen.begin(), seen.end());
      EXPECT_EQ(distinct.size(), 10u) << "world " << world << ": the shards cover the set";
      // Only the padding repeats an image: 10 over 3 ranks pads 2, over 2 ranks none.
      EXPECT_EQ(seen.size() - distinct.size(),
                std::size_t(world * ((10 + world - 1) / world) - 10));
      EXPECT_NE(all, previous) << "a new permutation each epoch";
      previous = all;
    }
    // The ranks' batches are really different images.
    loaders[0]->begin_epoch(0);
    loaders[1]->begin_epoch(0);
    EXPECT_NE(loaders[0]->next()->paths, loaders[1]->next()->paths);
  }
  LoaderOptions wrong = o;
  wrong.rank = 2;
  wrong.world_size = 2;
  EXPECT_THROW(DataLoader(dataset, wrong), EngineError);
  fs::remove_all(dir);
}

// The gradients of `params` after backward of `loss_of(inputs)`.
std::vector<torch::Tensor> grads_of(const std::vector<torch::Tensor>& params) {
  std::vector<torch::Tensor> g;
  for (const auto& p : params)
    g.push_back(p.grad().defined() ? p.grad().clone() : torch::zeros_like(p));
  return g;
}

double max_abs_diff(const std::vector<torch::Tensor>& a, const std::vector<torch::Tensor>& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i)
    worst = std::max(worst, (a[i] - b[i]).abs().max().item<double>());
  return worst;
}

// Two ranks each back-propagate half of a batch through copies of `make_model()`; their averaged
// gradient must equal one process's gradient of the whole batch. The loss is a mean over the
// images, so the whole batch's loss is the mean of the halves' losses.
template <typename MakeModel, typename Loss>
void expect_averaged_gradient_is_whole_batch_gradient(MakeModel make_model, Loss loss_of,
                                                      torch::Tensor inputs,
                                                      GradientSyncOptions options) {
  torch::set_num_threads(1);
  auto reference = make_model();
  auto params = [](auto& m) {
    std::vector<torch::Tensor> out;
    for (auto& p : m->parameters())
      if (p.requires_grad()) out.push_back(p);
    return out;
  };
  loss_of(reference, inputs).backward();
  const auto expected = grads_of(params(reference));
  const auto halves = inputs.chunk(2, 0);
  std::vector<std::vector<torch::Tensor>> got(2);
  std::vector<std::size_t> buckets(2);
  run_ranks(2, [&](int rank, DistributedGroup& group) {
    auto model = make_model();
    // Rank 1 starts from other weights: the broadcast must make them rank 0's.
    if (rank == 1) {
      torch::NoGradGuard no_grad;
      for (auto& p : model->parameters()) p.add_(0.5);
    }
    std::vector<torch::Tensor> state;
    for (auto& p : model->parameters()) state.push_back(p);
    for (auto& b : model->buffers()) state.push_back(b);
    group.broadcast(state);
    GradientSync sync(group, params(model), options);
    buckets[rank] = sync.buckets();
    // An accumulated micro-batch first: the sync must average the accumulated gradient.
    auto first = halves[rank].narrow(0, 0, 1), second = halves[rank].narrow(0, 1, 1);
    (loss_of(model, first) * 0.5).backward();
    sync.arm();
    (loss_of(model, second) * 0.5).backward();
    EXPECT_FALSE(sync.finish(false));
    got[rank] = grads_of(params(model));
  });
  EXPECT_GE(buckets[0], options.overlap ? 2u : 1u);
  EXPECT_EQ(max_abs_diff(got[0], got[1]), 0.0) << "both ranks hold the same averaged gradient";
  const double diff = max_abs_diff(got[0], expected);
  EXPECT_LE(diff, 1e-6) << "averaged gradient against the whole batch's";
}

TEST(DistributedGradientTest, AveragedGradientEqualsWholeBatchGradientWithoutBatchNorm) {
  torch::manual_seed(0);
  auto net = torch::nn::Sequential(torch::nn::Conv2d(torch::nn::Conv2dOptions(3, 8, 3).padding(1)),
                                   torch::nn::SiLU(),
                                   torch::nn::Conv2d(torch::nn::Conv2dOptions(8, 4, 3).stride(2)),
                                   torch::nn::Flatten(), torch::nn::Linear(4 * 7 * 7, 5));
  auto make = [&] {
    auto copy = std::dynamic_pointer_cast<torch::nn::SequentialImpl>(net->clone());
    return torch::nn::Sequential(copy);
  };
  auto loss = [](torch::nn::Sequential& m, const torch::Tensor& x) {
    return m->forward(x).pow(2).mean();
  };
  const auto inputs = torch::randn({4, 3, 16, 16});
  GradientSyncOptions overlap;
  overlap.bucket_bytes = 1024;  // several buckets, filled while backward runs
  expect_averaged_gradient_is_whole_batch_gradient(make, loss, inputs, overlap);
  GradientSyncOptions flat;
  flat.overlap = false;
  expect_averaged_gradient_is_whole_batch_gradient(make, loss, inputs, flat);
}

TEST(DistributedGradientTest, AveragedGradientEqualsWholeBatchGradientOnYolov8nInEvalMode) {
  torch::manual_seed(0);
  ModelSpec arch;
  arch.nc = 2;
  YoloModel base(arch);
  base->eval();  // BatchNorm from its running statistics: images independent of each other
  auto make = [&] {
    auto m = clone_model(base);
    m->eval();
    return m;
  };
  auto loss = [](YoloModel& m, const torch::Tensor& x) {
    auto out = m->forward(x);
    torch::Tensor total = torch::zeros({});
    for (const auto& f : out.feats) total = total + f.pow(2).mean();
    return total;
  };
  const auto inputs = torch::rand({4, 3, 64, 64});
  expect_averaged_gradient_is_whole_batch_gradient(make, loss, inputs, GradientSyncOptions{});
}

TEST(DistributedGradientTest, ASkippedStepOnOneRankIsSkippedByAll) {
  run_ranks(2, [](int rank, DistributedGroup& group) {
    auto w = torch::ones({3}, torch::requires_grad());
    GradientSync sync(group, {w});
    sync.arm();
    if (rank == 0) (w * 2).sum().backward();  // rank 1 had a non-finite loss: no backward
    EXPECT_TRUE(sync.finish(rank == 1));
    // Rank 1 contributed zeros; the averaged gradient is still defined on both.
    EXPECT_TRUE(w.grad().defined());
    EXPECT_TRUE(torch::allclose(w.grad(), torch::ones({3})));
    EXPECT_TRUE(group.any(rank == 1));
    EXPECT_FALSE(group.any(false));
  });
}

TEST(DistributedTrainTest, StopOnRankOneEndsBothAfterTheBatchWithIdenticalWeights) {
  const auto dir = temp_dir();
  const auto data = make_dataset(dir / "data", false, 16, 64);
  std::vector<std::vector<torch::Tensor>> weights(2), ema(2);
  std::vector<int> last_batch(2, -1);
  std::vector<TrainResult> results(2);
  run_ranks(
      2,
      [&](int rank, DistributedGroup& group) {
        auto options = quick_train_options(data, dir / "runs", 2);
        options.verbose = false;
        options.group = std::shared_ptr<DistributedGroup>(&group, [](DistributedGroup*) {});
        ModelSpec arch;
        arch.nc = 2;
        // Each rank builds other weights (another seed); the trainer starts both from rank 0's.
        torch::manual_seed(100 + rank);
        Trainer trainer(YoloModel(arch), options);
        trainer.add_callback("on_train_batch_end", [&, rank](Trainer& t) {
          last_batch[rank] = t.batch_index;
          if (rank == 1 && t.batch_index == 2) t.stop = true;  // the third step
        });
        results[rank] = trainer.train();
        for (auto& p : trainer.model()->parameters()) weights[rank].push_back(p.detach().clone());
        for (auto& b : trainer.model()->buffers()) weights[rank].push_back(b.detach().clone());
        for (auto& p : trainer.ema_model()->parameters()) ema[rank].push_back(p.detach().clone());
      },
      milliseconds(30000));
  for (int r = 0; r < 2; ++r) {
    EXPECT_TRUE(results[r].stopped) << "rank " << r;
    EXPECT_EQ(last_batch[r], 2) << "rank " << r << " ended after the batch the stop came in";
    EXPECT_EQ(results[r].save_dir, results[0].save_dir);
  }
  ASSERT_EQ(weights[0].size(), weights[1].size());
  for (std::size_t i = 0; i < weights[0].size(); ++i)
    ASSERT_TRUE(torch::equal(weights[0][i], weights[1][i])) << "tensor " << i;
  for (std::size_t i = 0; i < ema[0].size(); ++i)
    ASSERT_TRUE(torch::equal(ema[0][i], ema[1][i])) << "ema tensor " << i;
  // Only rank 0 wrote a run folder, and its last.pt is there.
  std::vector<fs::path> runs;
  for (auto& e : fs::directory_iterator(dir / "runs")) runs.push_back(e.path());
  EXPECT_EQ(runs.size(), 1u);
  EXPECT_TRUE(fs::exists(results[0].save_dir / "weights" / "last.pt"));
  fs::remove_all(dir);
}

TEST(DistributedFaultTest, AnUnreachableOrIncompleteRendezvousFailsWithinTheTimeoutNamingTheRank) {
  const int port = free_port();
  DistributedEnv env;
  env.world_size = 2;
  env.master_port = port;
  // Rank 0 alone: rank 1 never comes.
  auto t0 = std::chrono::steady_clock::now();
  try {
    DistributedGroup group(env, milliseconds(1500));
    ADD_FAILURE() << "a rendezvous with a missing rank succeeded";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("rank 1 did not join"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(6));
  // Rank 1 alone: nobody hosts the rendezvous.
  env.rank = 1;
  t0 = std::chrono::steady_clock::now();
  try {
    DistributedGroup group(env, milliseconds(1500));
    ADD_FAILURE() << "joined a rendezvous nobody hosts";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("rank 1 could not reach"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(DistributedFaultTest, APeerThatLeavesMidCollectiveIsNamed) {
  // Rank 1 leaves (its group destroyed, as when its process ends) while rank 0 all-reduces.
  std::string message;
  run_ranks(
      2,
      [&](int rank, DistributedGroup& group) {
        group.barrier();
        if (rank == 1) return;
        try {
          for (int i = 0; i < 100; ++i) {
            group.any(false);
            std::this_thread::sleep_for(milliseconds(50));
          }
        } catch (const EngineError& e) {
          message = e.what();
        }
      },
      milliseconds(3000));
  EXPECT_NE(message.find("rank 1"), std::string::npos) << message;
  EXPECT_EQ(message.find('\n'), std::string::npos) << message;
}

}  // namespace
}  // namespace orvane::engine
