#include "engine/checkpoint.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include "engine/error.h"
#include "engine/train_args.h"
#include "engine/yolo.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;

class CheckpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("orvane_ckpt_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  void write_bytes(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }

  fs::path dir;
};

CheckpointMeta meta_for(const YoloModel& model) {
  CheckpointMeta meta;
  meta.arch = model->arch();
  meta.names = model->names;
  meta.imgsz = 320;
  meta.epoch = 4;
  meta.epochs = 10;
  meta.best_fitness = 0.375;
  meta.ema_updates = 42;
  meta.metrics = {{"metrics/mAP50(B)", 0.5}, {"metrics/mAP50-95(B)", 0.25}};
  meta.train_args = {{"data", "data: odd.yaml"}, {"epochs", "10"}};
  meta.date = "2026-01-01T00:00:00Z";
  return meta;
}

TEST_F(CheckpointTest, RoundTripKeepsWeightsNamesAndMetadata) {
  torch::manual_seed(3);
  YoloModel model(ModelSpec{'n', Task::segment, 2}, std::vector<std::string>{"nut", "bolt: M4"});
  model->eval();
  const auto path = dir / "best.pt";
  save_checkpoint(path, model, meta_for(model));
  EXPECT_FALSE(fs::exists(dir / "best.pt.tmp"));

  auto loaded = load_checkpoint(path);
  EXPECT_EQ(loaded.meta.arch.name(), "yolov8n-seg");
  EXPECT_EQ(loaded.meta.arch.nc, 2);
  EXPECT_EQ(loaded.model->names, (std::vector<std::string>{"nut", "bolt: M4"}));
  EXPECT_EQ(loaded.meta.epoch, 4);
  EXPECT_EQ(loaded.meta.epochs, 10);
  EXPECT_DOUBLE_EQ(loaded.meta.best_fitness, 0.375);
  EXPECT_EQ(loaded.meta.ema_updates, 42);
  ASSERT_EQ(loaded.meta.metrics.size(), 2u);
  EXPECT_EQ(loaded.meta.metrics[1].first, "metrics/mAP50-95(B)");
  EXPECT_EQ(loaded.meta.train_args.at("data"), "data: odd.yaml");
  EXPECT_FALSE(loaded.has_optimizer);

  torch::NoGradGuard no_grad;
  auto x = torch::rand({1, 3, 64, 64});
  EXPECT_TRUE(torch::equal(model->decode(model->forward(x)),
                           loaded.model->decode(loaded.model->forward(x))));
}

TEST_F(CheckpointTest, OptimizerStateRoundTripsForResuming) {
  YoloModel model(ModelSpec{'n', Task::detect, 1});
  torch::optim::SGD opt(model->parameters(), torch::optim::SGDOptions(0.01).momentum(0.9));
  auto out = model->forward(torch::rand({1, 3, 64, 64}));
  out.feats[0].sum().backward();
  opt.step();
  const auto path = dir / "last.pt";
  save_checkpoint(path, model, meta_for(model), &opt);
  EXPECT_TRUE(load_checkpoint(path).has_optimizer);

  torch::optim::SGD fresh(model->parameters(), torch::optim::SGDOptions(0.01).momentum(0.9));
  load_optimizer_state(path, fresh);
  EXPECT_EQ(fresh.state().size(), opt.state().size());
  // best.pt-like files carry no optimizer and say so.
  save_checkpoint(dir / "best.pt", model, meta_for(model));
  EXPECT_THROW(load_optimizer_state(dir / "best.pt", fresh), EngineError);
}

TEST_F(CheckpointTest, ForeignOrDamagedFilesGiveAOneLineError) {
  YoloModel model(ModelSpec{'n', Task::detect, 1});
  save_checkpoint(dir / "good.pt", model, meta_for(model));
  std::ifstream in(dir / "good.pt", std::ios::binary);
  const std::string good((std::istreambuf_iterator<char>(in)), {});

  write_bytes(dir / "text.pt", "this is not a model\n");
  write_bytes(dir / "empty.pt", "");
  write_bytes(dir / "truncated.pt", good.substr(0, good.size() / 2));
  write_bytes(dir / "zip.pt", std::string("PK\x03\x04", 4) + std::string(200, 'x'));
  torch::save(torch::ones({3}), (dir / "tensor.pt").string());  // a LibTorch file, not ours

  for (const char* name : {"text.pt", "empty.pt", "truncated.pt", "zip.pt", "tensor.pt",
                           "missing.pt"}) {
    try {
      load_checkpoint(dir / name);
      ADD_FAILURE() << name << " loaded";
    } catch (const EngineError& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.find('\n'), std::string::npos) << what;
      EXPECT_NE(what.find(name), std::string::npos) << what;
    }
  }
  // A checkpoint from a newer format version is refused with a reason.
  auto meta = meta_from_yaml(meta_to_yaml(meta_for(model)));
  EXPECT_EQ(meta.arch.nc, 1);
  std::string yaml = meta_to_yaml(meta_for(model));
  yaml.replace(yaml.find("version: 1"), 10, "version: 99");
  EXPECT_THROW(meta_from_yaml(yaml), EngineError);
  // Billions of classes (a damaged or hostile file) are refused before anything is allocated.
  yaml = meta_to_yaml(meta_for(model));
  yaml.replace(yaml.find("nc: 1"), 5, "nc: 2000000000");
  EXPECT_THROW(meta_from_yaml(yaml), EngineError);
}

TEST_F(CheckpointTest, AFailedWriteLeavesTheOldFileWhole) {
  YoloModel model(ModelSpec{'n', Task::detect, 1});
  const auto path = dir / "last.pt";
  save_checkpoint(path, model, meta_for(model));
  const auto size = fs::file_size(path);

  // The disk fills up halfway through the archive (RLIMIT_FSIZE in a child, as ENOSPC would).
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{256 * 1024, 256 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    try {
      save_checkpoint(path, model, meta_for(model));
    } catch (const EngineError&) {
      ::_exit(0);
    }
    ::_exit(1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the short write was not reported: status " << status;
  EXPECT_EQ(fs::file_size(path), size);
  EXPECT_NO_THROW(load_checkpoint(path));

  // A folder in the checkpoint's place, and a folder that does not exist.
  fs::create_directories(dir / "best.pt" / "blocker");
  EXPECT_THROW(save_checkpoint(dir / "best.pt", model, meta_for(model)), EngineError);
  EXPECT_TRUE(fs::exists(dir / "best.pt" / "blocker"));
  EXPECT_THROW(save_checkpoint(dir / "no" / "such" / "dir" / "x.pt", model, meta_for(model)),
               EngineError);
  // Nothing left behind but the two names.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
}

// The background writer: files land in order with the newest bytes, a failure reaches the caller
// at the next call and names the file, later writes still work, and leaving the writer (as an
// exception out of training does) still finishes what was queued.
TEST_F(CheckpointTest, TheBackgroundWriterLandsEveryFileAndReportsItsFailures) {
  torch::manual_seed(5);
  YoloModel model(ModelSpec{'n', Task::detect, 1}, std::vector<std::string>{"a"});
  auto meta = meta_for(model);
  {
    CheckpointWriter writer;
    for (int epoch = 0; epoch < 3; ++epoch) {
      meta.epoch = epoch;
      writer.write(dir / "last.pt", checkpoint_bytes(model, meta));
      if (epoch == 0) writer.write(dir / "best.pt", checkpoint_bytes(model, meta));
    }
    writer.wait();
    EXPECT_EQ(load_checkpoint(dir / "last.pt").meta.epoch, 2);
    EXPECT_EQ(load_checkpoint(dir / "best.pt").meta.epoch, 0);

    writer.write(dir / "missing" / "last.pt", checkpoint_bytes(model, meta));
    try {
      writer.wait();
      ADD_FAILURE() << "a write into a missing folder was not reported";
    } catch (const EngineError& e) {
      EXPECT_NE(std::string(e.what()).find("missing/last.pt"), std::string::npos) << e.what();
    }
    // Reported once; the writer goes on.
    meta.epoch = 7;
    writer.write(dir / "last.pt", checkpoint_bytes(model, meta));
    writer.wait();
    EXPECT_EQ(load_checkpoint(dir / "last.pt").meta.epoch, 7);

    meta.epoch = 8;
    writer.write(dir / "last.pt", checkpoint_bytes(model, meta));
    writer.write(dir / "missing" / "best.pt", checkpoint_bytes(model, meta));
  }  // no wait: the destructor writes the queue out and only logs the failure
  EXPECT_EQ(load_checkpoint(dir / "last.pt").meta.epoch, 8);
  // Nothing left behind but the two files.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
}

// A saved option whose value no longer parses would resume a different training: refused, by
// name. One this version does not know is ignored (the run then fails on its missing data only).
TEST_F(CheckpointTest, AResumeWithASavedOptionThatDoesNotParseIsRefused) {
  YoloModel model(ModelSpec{'n', Task::detect, 1});
  CheckpointMeta meta = meta_for(model);
  meta.train_args = {{"data", (dir / "none.yaml").string()}, {"epochs", "ten"}};
  meta.epoch = 0;
  meta.epochs = 10;
  torch::optim::SGD optimizer(model->parameters(), 0.01);  // a last.pt holds optimizer state
  save_checkpoint(dir / "last.pt", model, meta, &optimizer);
  TrainOptions resume;
  resume.resume = true;
  try {
    YOLO((dir / "last.pt").string()).train(resume);
    ADD_FAILURE() << "the resume went ahead";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("epochs=ten does not parse"), std::string::npos)
        << e.what();
  }

  meta.train_args = {{"data", (dir / "none.yaml").string()}, {"a_future_option", "1"}};
  save_checkpoint(dir / "last.pt", model, meta, &optimizer);
  try {
    YOLO((dir / "last.pt").string()).train(resume);
    ADD_FAILURE() << "a resume without data went ahead";
  } catch (const EngineError& e) {
    EXPECT_EQ(std::string(e.what()).find("a_future_option"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace orvane::engine

namespace orvane::engine {
namespace {

// Training options are saved as text (args.yaml, checkpoints, help): each number reads back as
// the same value and shows as the user would write it.
TEST(TrainArgsText, NumbersAreShortAndReadBackExactly) {
  TrainOptions options;
  options.hyp.hsv_h = 0.015f;
  options.hyp.translate = 0.1f;
  options.lr0 = 0.004;
  std::map<std::string, std::string> text;
  for (const auto& [key, value] : train_args_list(options)) text[key] = value;
  EXPECT_EQ(text.at("hsv_h"), "0.015");
  EXPECT_EQ(text.at("translate"), "0.1");
  EXPECT_EQ(text.at("lr0"), "0.004");
  TrainOptions again;
  for (const auto& [key, value] : text) set_train_arg(again, key, value);
  EXPECT_EQ(again.hyp.hsv_h, options.hyp.hsv_h);
  EXPECT_EQ(again.hyp.translate, options.hyp.translate);
  EXPECT_EQ(again.lr0, options.lr0);
}

}  // namespace
}  // namespace orvane::engine
