#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/ecosystem_weights.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/pt_pickle.h"
#include "engine/pt_test_files.h"
#include "engine/quick_train.h"
#include "engine/shapes_data.h"
#include "engine/yolo.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;
using namespace testing;

class PretrainedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("orvane_pretrained_" +
           std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // The one-line message loading `bytes` as a weights file fails with.
  std::string refusal(const std::string& name, const std::string& bytes) {
    const auto path = dir / name;
    write_file(path, bytes);
    try {
      load_weights(path);
    } catch (const EngineError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.find('\n'), std::string::npos) << message;
      return message;
    }
    ADD_FAILURE() << name << " loaded";
    return "";
  }

  // Box mAP50 of `weights` on a small drawn set of the shapes these files were trained on.
  double box_map50_on_shapes(const fs::path& weights) {
    const auto data = make_dataset(dir / "shapes", /*polygons=*/false, 16, 96);
    YOLO model(weights.string());
    ValArgs args;
    args.data = data.string();
    args.imgsz = 96;
    args.batch = 8;
    args.workers = 0;
    args.split = "train";
    args.threads = 1;
    return model.val(args).box.map50();
  }

  fs::path dir;
};

TEST_F(PretrainedTest, RealFileBecomesOurYolov8nWithItsWeightsNamesAndImageSize) {
  const auto loaded = load_weights(real_weights());
  EXPECT_TRUE(loaded.foreign);
  EXPECT_EQ(loaded.meta.arch.name(), "yolov8n");
  EXPECT_EQ(loaded.meta.arch.nc, 2);
  EXPECT_EQ(loaded.meta.names, (std::vector<std::string>{"rect", "circle"}));
  EXPECT_EQ(loaded.meta.imgsz, 96);
  EXPECT_EQ(loaded.meta.train_args.at("task"), "detect");
  auto params = loaded.model->named_parameters(true);
  // The first values of model.0.conv.weight as the file stores them (float16).
  const auto w = params["model.0.conv.weight"].flatten().slice(0, 0, 4);
  EXPECT_EQ(w.scalar_type(), torch::kFloat);
  const std::vector<float> expected{-0.010894775390625f, 0.0968017578125f, -0.16748046875f,
                                    -0.15185546875f};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(w[i].item<float>(), expected[size_t(i)]);
  // The DFL projection comes from the file's dfl.conv and is still 0..15.
  EXPECT_TRUE(params["model.22.dfl.weight"].flatten().equal(torch::arange(16, torch::kFloat)));
  // BatchNorm statistics are trained ones, not the fresh 0 / 1.
  auto buffers = loaded.model->named_buffers(true);
  EXPECT_GT(buffers["model.0.bn.running_mean"].abs().sum().item<float>(), 0.1f);
  // The file counts 1 batch (its EMA copy); fine-tuning must not average these statistics
  // away as if they were fresh.
  EXPECT_GE(buffers["model.0.bn.num_batches_tracked"].item<int64_t>(), std::ceil(1 / kBnMomentum));
  YoloModel copy = clone_model(loaded.model);
  copy->train();
  warm_up_batchnorm(*copy);
  copy->forward(torch::rand({2, 3, 64, 64}));
  const auto moved =
      (copy->named_buffers(true)["model.0.bn.running_mean"] - buffers["model.0.bn.running_mean"])
          .abs()
          .max()
          .item<float>();
  const auto scale = buffers["model.0.bn.running_mean"].abs().max().item<float>();
  EXPECT_LT(moved, 0.1f * scale) << "one batch replaced the pretrained statistics";
}

TEST_F(PretrainedTest, RealFileFindsTheShapesItWasTrainedOn) {
  // A wrong mapping (a tensor in the wrong place, float16 read as float32) finds nothing.
  EXPECT_GT(box_map50_on_shapes(real_weights()), 0.6);
}

TEST_F(PretrainedTest, RealYolo11FileBecomesOurYolo11nAndFindsTheShapes) {
  const auto path = real_weights("yolo11n-shapes.pt");
  const auto loaded = load_weights(path);
  EXPECT_EQ(loaded.meta.arch.name(), "yolo11n");
  EXPECT_EQ(loaded.meta.names, (std::vector<std::string>{"rect", "circle"}));
  EXPECT_EQ(loaded.model->info().parameters, 2590230);  // as the ecosystem's summary counts
  // Its DFL projection keeps the ecosystem's path and is still 0..15.
  EXPECT_TRUE(loaded.model->named_parameters(true)["model.23.dfl.conv.weight"].flatten().equal(
      torch::arange(16, torch::kFloat)));
  EXPECT_GT(box_map50_on_shapes(path), 0.6);
}

TEST_F(PretrainedTest, OurOwnCheckpointsStillLoadThroughTheSameEntryPoint) {
  // LibTorch compresses the code entries of its archives, which torch.save never does.
  YoloModel model(ModelSpec{'n', Task::detect, 1}, std::vector<std::string>{"nut"});
  CheckpointMeta meta;
  meta.arch = model->arch();
  meta.names = model->names;
  meta.imgsz = 64;
  save_checkpoint(dir / "best.pt", model, meta);
  const auto loaded = load_weights(dir / "best.pt");
  EXPECT_FALSE(loaded.foreign);
  EXPECT_EQ(loaded.meta.names, std::vector<std::string>{"nut"});
  EXPECT_EQ(loaded.meta.imgsz, 64);
}

TEST_F(PretrainedTest, PickleThatCallsCodeIsRefusedByNameAndNeverRuns) {
  const auto marker = dir / "marker";
  const std::vector<std::pair<std::string, std::string>> calls{
      {"posix", "system"},
      {"os", "system"},
      {"__builtin__", "eval"},
      {"builtins", "exec"},
      {"subprocess", "Popen"},
      {"torch.storage", "_load_from_bytes"},
      {"torch.serialization", "load"}};
  for (const auto& [module, name] : calls) {
    const std::string pickle = PickleWriter()
                                   .global(module, name)
                                   .str("touch " + marker.string())
                                   .op("\x85")  // TUPLE1
                                   .reduce()
                                   .stop();
    const std::string shown = (module == "__builtin__" ? "builtins" : module) + "." + name;
    EXPECT_EQ(refusal("model.pt", pt_archive(pickle)),
              (dir / "model.pt").string() + ": refused: the file asks to call " + shown +
                  "; a checkpoint holds data only");
    EXPECT_THROW(YOLO((dir / "model.pt").string()), EngineError);
  }
  EXPECT_FALSE(fs::exists(marker));
}

// The network record of a checkpoint whose yaml has the given layers.
std::string model_file(const std::string& model_class, const std::string& yaml_file,
                       const std::vector<std::pair<std::string, int>>& layers) {
  PickleWriter p;
  p.empty_dict().mark().str("model");
  p.global("ultralytics.nn.tasks", model_class).empty_tuple().newobj();
  p.empty_dict().mark().str("yaml").empty_dict().mark();
  p.str("nc").integer(1).str("scale").str("n").str("yaml_file").str(yaml_file);
  p.str("backbone").empty_list().mark();
  auto layer = [&](const std::pair<std::string, int>& l) {
    p.empty_list().mark().integer(-1).integer(l.second).str(l.first).empty_list().appends();
  };
  for (size_t i = 0; i + 1 < layers.size(); ++i) layer(layers[i]);
  p.appends().str("head").empty_list().mark();
  layer(layers.back());
  p.appends().setitems().setitems().build().setitems();
  return pt_archive(p.stop());
}

TEST_F(PretrainedTest, ModelsWeCannotRunAreRefusedByWhatTheyAre) {
  const std::string what =
      " model; Orvane Studio trains and runs detection and segmentation models";
  EXPECT_EQ(refusal("yolov8n-pose.pt", model_file("PoseModel", "yolov8n-pose.yaml",
                                                  {{"Conv", 1}, {"C2f", 3}, {"Pose", 1}})),
            "yolov8n-pose.pt is a YOLO pose" + what);
  EXPECT_EQ(refusal("yolov8n-cls.pt", model_file("ClassificationModel", "yolov8n-cls.yaml",
                                                 {{"Conv", 1}, {"Classify", 1}})),
            "yolov8n-cls.pt is a YOLO classification" + what);
  EXPECT_EQ(refusal("yolov8n-obb.pt",
                    model_file("OBBModel", "yolov8n-obb.yaml", {{"Conv", 1}, {"OBB", 1}})),
            "yolov8n-obb.pt is a YOLO oriented-box" + what);
  // Layers of the YOLO11 kind, but not YOLO11's: not built as anything.
  const auto not_11 =
      refusal("yolo11n.pt", model_file("DetectionModel", "yolo11n.yaml",
                                       {{"Conv", 1}, {"C3k2", 2}, {"C2PSA", 2}, {"Detect", 1}}));
  EXPECT_NE(not_11.find("yolo11n.pt: unknown architecture"), std::string::npos) << not_11;
  const auto unknown = refusal(
      "odd.pt", model_file("DetectionModel", "odd.yaml", {{"Conv", 1}, {"C3", 3}, {"Detect", 1}}));
  EXPECT_NE(unknown.find("odd.pt: unknown architecture"), std::string::npos) << unknown;
}

TEST_F(PretrainedTest, DamagedFilesGiveOneLineAndNeverCrash) {
  const std::string real = read_file(real_weights());
  ASSERT_GT(real.size(), 1000000u);
  // Cut anywhere: inside the pickle, inside a storage, inside the directory.
  for (size_t keep :
       {size_t(100), size_t(40000), real.size() / 2, real.size() - 30, real.size() - 1})
    EXPECT_FALSE(refusal("cut.pt", real.substr(0, keep)).empty()) << keep;
  EXPECT_NE(refusal("text.zip", make_zip({{"notes/readme.txt", "hello"}})).find("text.zip"),
            std::string::npos);
  EXPECT_FALSE(refusal("noise.pt", "PK\x03\x04" + std::string(5000, 'x')).empty());

  // The yaml says 3 classes while the class layers hold 2: the file contradicts itself.
  // The yaml's nc is the first key of the dict after "yaml".
  std::string patched = real;
  const auto yaml = patched.find(std::string("X\x04\x00\x00\x00yaml", 9));
  const auto key = patched.find(std::string("X\x02\x00\x00\x00nc", 7), yaml);
  const auto value = patched.find("K\x02", key);
  ASSERT_NE(yaml, std::string::npos);
  ASSERT_LT(value - key, 16u);
  patched[value + 1] = '\x03';
  const auto mismatch = refusal("patched.pt", patched);
  EXPECT_NE(mismatch.find("its tensors do not match its own yaml"), std::string::npos) << mismatch;

  // Pickles that would make the reader hold without bound.
  PickleWriter deep;
  for (int i = 0; i < 300; ++i) deep.empty_list();
  for (int i = 0; i < 299; ++i) deep.op("a");
  EXPECT_NE(refusal("deep.pt", pt_archive(deep.stop())).find("nests deeper"), std::string::npos);
  EXPECT_NE(refusal("memo.pt", pt_archive(PickleWriter().op("h\x05").stop())).find("memo slot 5"),
            std::string::npos);
  // A storage claiming more elements than its entry holds.
  PickleWriter storage;
  storage.mark()
      .str("storage")
      .global("torch", "FloatStorage")
      .str("0")
      .str("cpu")
      .integer(1000000);
  storage.tuple().op("Q");
  const auto big = refusal("storage.pt", make_zip({{"archive/data.pkl", storage.stop()},
                                                   {"archive/data/0", std::string(16, '\0')}}));
  EXPECT_NE(big.find("claims 1000000 float32 values, its entry holds 16 bytes"), std::string::npos)
      << big;
}

// Counts the "Transferred" line of a training run from the real weights on data with `classes`.
std::string transfer_line(const fs::path& dir, int classes) {
  const auto data = make_dataset(dir / ("shapes" + std::to_string(classes)), false, 8, 64);
  if (classes != 2) {
    std::string names = "names:\n";
    for (int i = 0; i < classes; ++i)
      names += "  " + std::to_string(i) + ": c" + std::to_string(i) + "\n";
    std::ofstream(data) << "path: " << data.parent_path().string()
                        << "\ntrain: images/train\nval: images/train\n"
                        << names;
  }
  std::string line;
  const int id = LOGGER.add_handler([&](const LogRecord& r) {
    if (r.message.rfind("Transferred ", 0) == 0) line = r.message;
  });
  YOLO model(real_weights().string());
  auto options = quick_train_options(data, dir / ("runs" + std::to_string(classes)), 1);
  model.train(options);
  LOGGER.remove_handler(id);
  return line;
}

TEST_F(PretrainedTest, FineTuningTransfersEveryTensorThatFitsAndSaysHowMany) {
  YoloModel probe(ModelSpec{'n', Task::detect, 3});
  const auto total = probe->named_parameters(true).size() + probe->named_buffers(true).size();
  // Same classes: everything. Three classes: all but the three class convolutions' weight and
  // bias, whose outputs are rebuilt.
  EXPECT_EQ(transfer_line(dir, 2), "Transferred " + std::to_string(total) + "/" +
                                       std::to_string(total) + " items from pretrained weights");
  EXPECT_EQ(transfer_line(dir, 3), "Transferred " + std::to_string(total - 6) + "/" +
                                       std::to_string(total) + " items from pretrained weights");
}

}  // namespace
}  // namespace orvane::engine
