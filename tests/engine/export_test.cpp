// Export to ONNX and TorchScript: the files compute what the checkpoint computes (checked in
// LibTorch, OpenCV DNN, ONNX Runtime and Python's torch.jit), predictions from them match the
// checkpoint's, and the formats this platform cannot build fail cleanly.

#include <gtest/gtest.h>
#include <torch/script.h>
#include <unistd.h>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "common/run_orvane.h"
#include "engine/checkpoint.h"
#include "engine/error.h"
#include "engine/export/exported_model.h"
#include "engine/exporter.h"
#include "engine/yolo.h"

namespace orvane::engine {
namespace {

namespace fs = std::filesystem;
constexpr int kSize = 64;

// A fresh yolov8n(-seg) or yolo11n(-seg) with 2 classes whose BatchNorm layers hold non-trivial
// statistics (so folding them into the convolutions is really tested) and class biases that make
// the untrained model detect things, saved as a checkpoint trained at 64 px.
fs::path make_checkpoint(const fs::path& dir, Task task, Family family = Family::yolov8) {
  torch::manual_seed(task == Task::detect ? 1 : 2);
  ModelSpec arch;
  arch.task = task;
  arch.nc = 2;
  arch.family = family;
  YoloModel model(arch, std::vector<std::string>{"nut", "bolt's"});
  {
    torch::NoGradGuard no_grad;
    for (auto& m : model->modules(false)) {
      if (auto* bn = dynamic_cast<torch::nn::BatchNorm2dImpl*>(m.get())) {
        bn->running_mean.normal_(0.0, 0.2);
        bn->running_var.uniform_(0.5, 2.0);
        bn->weight.normal_(1.0, 0.2);
        bn->bias.normal_(0.0, 0.2);
      }
    }
    for (auto& p : model->named_parameters())
      if (p.key().find(".cv3.") != std::string::npos && p.key().find("2.bias") != std::string::npos)
        p.value().fill_(-0.5);
  }
  model->eval();
  CheckpointMeta meta;
  meta.arch = arch;
  meta.names = model->names;
  meta.imgsz = kSize;
  fs::create_directories(dir);
  const auto path = dir / "best.pt";
  save_checkpoint(path, model, meta);
  return path;
}

torch::Tensor input_image() {
  torch::manual_seed(5);
  return torch::rand({1, 3, kSize, kSize});
}

// What the exports must reproduce: the unfused checkpoint model in LibTorch.
std::pair<torch::Tensor, torch::Tensor> reference(const fs::path& checkpoint) {
  auto loaded = load_checkpoint(checkpoint);
  torch::NoGradGuard no_grad;
  auto out = loaded.model->forward(input_image());
  return {loaded.model->decode(out), out.proto};
}

// Largest difference relative to the magnitude (absolute below 1): box sizes of an untrained
// model reach a thousand pixels, where one float step is already 1e-4.
double max_diff(const torch::Tensor& a, const torch::Tensor& b) {
  EXPECT_EQ(a.sizes(), b.sizes());
  if (a.sizes() != b.sizes()) return 1e9;
  return ((a - b).abs() / (1 + b.abs())).max().item<double>();
}

void write_floats(const fs::path& path, const torch::Tensor& t) {
  auto c = t.contiguous();
  std::ofstream(path, std::ios::binary)
      .write(static_cast<const char*>(c.data_ptr()), std::streamsize(c.nbytes()));
}

torch::Tensor read_floats(const fs::path& path, const torch::Tensor& like) {
  std::ifstream in(path, std::ios::binary);
  auto t = torch::empty_like(like);
  in.read(static_cast<char*>(t.data_ptr()), std::streamsize(t.nbytes()));
  EXPECT_EQ(in.gcount(), std::streamsize(t.nbytes())) << path;
  return t;
}

std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct Run {
  int code = -1;
  std::string out, err;
};
Run run(const QString& program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  if (!p.waitForFinished(120000)) return {};
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
          p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
}

class ExportTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    torch::set_num_threads(1);
    root = fs::temp_directory_path() / ("orvane_export_test_" + std::to_string(::getpid()));
    fs::remove_all(root);
    det = make_checkpoint(root / "det", Task::detect);
    seg = make_checkpoint(root / "seg", Task::segment);
    det11 = make_checkpoint(root / "det11", Task::detect, Family::yolo11);
    seg11 = make_checkpoint(root / "seg11", Task::segment, Family::yolo11);
    for (const auto& pt : {det, seg, det11, seg11}) {
      export_model({.weights = pt.string(), .format = "onnx"});
      export_model({.weights = pt.string(), .format = "torchscript"});
    }
  }
  static void TearDownTestSuite() { fs::remove_all(root); }

  static fs::path with(const fs::path& pt, const char* ext) {
    return fs::path(pt).replace_extension(ext);
  }

  static bool is_seg(const fs::path& pt) { return pt == seg || pt == seg11; }

  static inline fs::path root, det, seg, det11, seg11;
};

TEST_F(ExportTest, FilesAreNamedAfterTheWeightsAndNothingElseIsLeft) {
  EXPECT_EQ(listing(root / "det"),
            (std::vector<std::string>{"best.onnx", "best.pt", "best.torchscript"}));
  // Exporting again replaces the file in place.
  const auto first = fs::file_size(with(det, ".onnx"));
  EXPECT_EQ(export_model({.weights = det.string(), .format = "onnx"}), with(det, ".onnx"));
  EXPECT_EQ(fs::file_size(with(det, ".onnx")), first);
  EXPECT_EQ(listing(root / "det").size(), 3u);
}

TEST_F(ExportTest, OnnxRunsInOpenCvAndReproducesLibTorch) {
  for (const auto& pt : {det, seg, det11, seg11}) {
    SCOPED_TRACE(pt.string());
    auto [pred, proto] = reference(pt);
    auto model = ExportedModel::load(with(pt, ".onnx"));
    EXPECT_EQ(model->names(), (std::vector<std::string>{"nut", "bolt's"}));
    EXPECT_EQ(model->height(), kSize);
    EXPECT_EQ(model->is_segment(), is_seg(pt));
    auto out = model->forward(input_image());
    EXPECT_LT(max_diff(out.pred, pred), 1e-4);
    if (is_seg(pt)) {
      EXPECT_LT(max_diff(out.proto, proto), 1e-4);
    }
  }
}

TEST_F(ExportTest, TorchScriptLoadsInLibTorchAndReproducesIt) {
  for (const auto& pt : {det, seg, det11, seg11}) {
    SCOPED_TRACE(pt.string());
    auto [pred, proto] = reference(pt);
    std::unordered_map<std::string, std::string> extra{{"config.txt", ""}};
    auto module = torch::jit::load(with(pt, ".torchscript").string(), torch::kCPU, extra);
    EXPECT_NE(extra["config.txt"].find("\"names\": {\"0\": \"nut\", \"1\": \"bolt's\"}"),
              std::string::npos);
    EXPECT_NE(extra["config.txt"].find("\"imgsz\": [64, 64]"), std::string::npos);
    torch::NoGradGuard no_grad;
    auto out = module.forward({input_image()});
    if (is_seg(pt)) {
      auto items = out.toTuple()->elements();
      EXPECT_LT(max_diff(items.at(0).toTensor(), pred), 1e-4);
      EXPECT_LT(max_diff(items.at(1).toTensor(), proto), 1e-4);
    } else {
      EXPECT_LT(max_diff(out.toTensor(), pred), 1e-4);
    }
  }
}

TEST_F(ExportTest, OnnxRunsInOnnxRuntime) {
  const fs::path source = std::getenv("ORVANE_SOURCE_DIR") ? std::getenv("ORVANE_SOURCE_DIR") : "";
  const fs::path package = source / "tools" / "ort" / "node_modules" / "onnxruntime-node";
  if (run("node", {"--version"}).code != 0) GTEST_SKIP() << "node is not installed";
  if (!fs::exists(package / "package.json"))
    GTEST_SKIP() << "onnxruntime-node is missing: run scripts/install-onnxruntime.sh";
  const auto input = root / "input.bin";
  write_floats(input, input_image());
  for (const auto& pt : {det, seg, det11, seg11}) {
    SCOPED_TRACE(pt.string());
    auto [pred, proto] = reference(pt);
    const auto prefix = pt.parent_path() / "ort_";
    auto r = run("node", {QString::fromStdString((source / "tests/engine/ort_run.js").string()),
                          QString::fromStdString(package.string()),
                          QString::fromStdString(with(pt, ".onnx").string()),
                          QString::fromStdString(input.string()), "64", "64",
                          QString::fromStdString(prefix.string())});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("output0 1x" + std::to_string(pred.size(1)) + "x" +
                         std::to_string(pred.size(2))),
              std::string::npos)
        << r.out;
    EXPECT_LT(max_diff(read_floats(prefix.string() + "output0.bin", pred), pred), 1e-4);
    if (is_seg(pt)) {
      EXPECT_NE(r.out.find("output1 1x32x16x16"), std::string::npos) << r.out;
      EXPECT_LT(max_diff(read_floats(prefix.string() + "output1.bin", proto), proto), 1e-4);
    }
  }
}

TEST_F(ExportTest, TorchScriptLoadsInPythonTorch) {
  if (run("/usr/bin/python3", {"-c", "import torch"}).code != 0)
    GTEST_SKIP() << "Python's torch is not installed (Debian package python3-torch)";
  const auto input = root / "input_py.bin";
  write_floats(input, input_image());
  const char* script = R"(
import sys, json, torch
path, inp, out = sys.argv[1:4]
files = {'config.txt': ''}
m = torch.jit.load(path, _extra_files=files)
cfg = json.loads(files['config.txt'])
x = torch.frombuffer(bytearray(open(inp, 'rb').read()), dtype=torch.float32).reshape(1, 3, *cfg['imgsz'])
with torch.no_grad():
    y = m(x)
y = y if isinstance(y, tuple) else (y,)
for i, t in enumerate(y):
    open(out + str(i) + '.bin', 'wb').write(t.contiguous().numpy().tobytes())
print(cfg['names']['1'], cfg['task'], len(y))
)";
  for (const auto& pt : {det, seg, det11, seg11}) {
    SCOPED_TRACE(pt.string());
    auto [pred, proto] = reference(pt);
    const auto prefix = pt.parent_path() / "py_";
    auto r = run("/usr/bin/python3",
                 {"-c", script, QString::fromStdString(with(pt, ".torchscript").string()),
                  QString::fromStdString(input.string()), QString::fromStdString(prefix.string())});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, is_seg(pt) ? "bolt's segment 2\n" : "bolt's detect 1\n");
    EXPECT_LT(max_diff(read_floats(prefix.string() + "0.bin", pred), pred), 1e-4);
    if (is_seg(pt)) {
      EXPECT_LT(max_diff(read_floats(prefix.string() + "1.bin", proto), proto), 1e-4);
    }
  }
}

TEST_F(ExportTest, PredictFromEachFormatMatchesTheCheckpoint) {
  // A square picture, so the checkpoint's minimal padding and the exports' fixed input agree.
  cv::Mat img(kSize, kSize, CV_8UC3, cv::Scalar(40, 30, 25));
  cv::rectangle(img, {10, 12}, {40, 44}, {200, 180, 90}, -1);
  cv::circle(img, {46, 20}, 10, {60, 220, 240}, -1);
  const auto image = root / "picture.png";
  cv::imwrite(image.string(), img);
  const QString source = QString::fromStdString(image.string());
  const QString exports = QString::fromStdString((root / "exports").string());
  std::map<std::string, std::string> labels;
  for (const auto& pt : {det, seg}) {
    for (const char* format : {"pt", "onnx", "torchscript"}) {
      SCOPED_TRACE(pt.string() + " " + format);
      fs::path model = pt;
      if (std::string(format) != "pt") {
        // Exported by the tool into a folder of its own, as a user would.
        auto r = test::run_orvane(
            "export", {"model=" + QString::fromStdString(pt.string()), QString("format=") + format,
                       "output=" + exports + "/" + (pt == seg ? "s" : "d")});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        // The path is the last line; the engine's log comes before it.
        model = r.out.trimmed().split('\n').last().toStdString();
        EXPECT_EQ(model,
                  (root / "exports" / (pt == seg ? "s" : "d") / (std::string("best.") + format)));
        EXPECT_TRUE(fs::exists(model));
        EXPECT_FALSE(fs::exists(with(pt, (std::string(".") + format).c_str())))
            << "moved, not copied";
      }
      const auto save = root / "pred" / (pt.parent_path().filename().string() + format);
      auto r = test::run_orvane(
          "predict", {"model=" + QString::fromStdString(model.string()), "source=" + source,
                      "conf=0.3", "imgsz=64", "save=" + QString::fromStdString(save.string())});
      ASSERT_EQ(r.code, 0) << r.err.toStdString();
      std::ifstream in(save / "picture.txt");
      labels[pt.parent_path().filename().string() + format] =
          std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  // Put back what the tool moved away, for the other tests.
  for (const auto& pt : {det, seg})
    for (const char* format : {"onnx", "torchscript"})
      export_model({.weights = pt.string(), .format = format});

  // Same detections in the same order; coordinates agree to well below a pixel.
  auto numbers = [](const std::string& text) {
    std::vector<double> v;
    std::istringstream s(text);
    for (double x; s >> x;) v.push_back(x);
    return v;
  };
  for (const char* task : {"det", "seg"}) {
    const auto want = numbers(labels[std::string(task) + "pt"]);
    EXPECT_FALSE(want.empty()) << task << ": the test model should detect something";
    for (const char* format : {"onnx", "torchscript"}) {
      const auto got = numbers(labels[std::string(task) + format]);
      ASSERT_EQ(got.size(), want.size()) << task << " " << format;
      for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], 2.0 / kSize) << task << " " << format << " #" << i;
    }
  }
}

TEST_F(ExportTest, FormatsWithoutAToolchainFailCleanly) {
  const auto before = listing(root / "det");
  const std::map<std::string, std::string> missing{
      {"engine", "TensorRT"}, {"openvino", "OpenVINO"}, {"coreml", "coremltools"}};
  for (const auto& [format, tool] : missing) {
    try {
      export_model({.weights = det.string(), .format = format});
      ADD_FAILURE() << format << " did not fail";
    } catch (const EngineError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(tool), std::string::npos) << what;
      EXPECT_NE(what.find("export to onnx instead"), std::string::npos) << what;
      EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
    EXPECT_EQ(listing(root / "det"), before) << format;
  }
  EXPECT_THROW(export_model({.weights = det.string(), .format = "tflite"}), EngineError);
  EXPECT_THROW(export_model({.weights = (root / "nothing.pt").string(), .format = "onnx"}),
               EngineError);
  EXPECT_THROW(export_model({.weights = with(det, ".onnx").string(), .format = "torchscript"}),
               EngineError);
  // The tool reports the same one line and fails.
  auto r = test::run_orvane("export",
                            {"model=" + QString::fromStdString(det.string()), "format=coreml"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(r.err.contains("coremltools")) << r.err.toStdString();
  EXPECT_EQ(listing(root / "det"), before);
}

TEST_F(ExportTest, ExportedModelsOnlyPredict) {
  YOLO onnx(with(seg, ".onnx").string());
  EXPECT_TRUE(onnx.is_exported());
  EXPECT_EQ(onnx.task(), "segment");
  EXPECT_EQ(onnx.names().size(), 2u);
  EXPECT_THROW(onnx.train({}), EngineError);
  EXPECT_THROW(onnx.export_to("onnx"), EngineError);
  YOLO script(with(det, ".torchscript").string());
  EXPECT_EQ(script.task(), "detect");
  ValArgs val;
  val.data = "data.yaml";
  EXPECT_THROW(script.val(val), EngineError);
  // A file that is not a model is refused with a message, not a crash.
  const auto bogus = root / "bogus.onnx";
  std::ofstream(bogus) << "not a model";
  EXPECT_THROW(YOLO(bogus.string()), EngineError);
  const auto bogus_ts = root / "bogus.torchscript";
  std::ofstream(bogus_ts) << "not a model";
  EXPECT_THROW(YOLO(bogus_ts.string()), EngineError);
}

}  // namespace
}  // namespace orvane::engine
