// orvane train / val / predict / export of an image classifier, as a script runs them: a folder
// of class folders in, the run folder, accuracies and ranked classes out, and the exported files
// ranking the classes as the checkpoint does.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QStringList>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "common/run_orvane.h"
#include "engine/shapes_data.h"

namespace orvane::engine {
namespace {

using test::run_orvane;

QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

std::vector<std::string> lines_of(const QString& text) {
  std::vector<std::string> lines;
  std::istringstream in(text.toStdString());
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) lines.push_back(l);
  return lines;
}

// "PATH: name p name p ..." lines of orvane predict, by file name: the ranked (name, p) pairs.
using Ranking = std::vector<std::pair<std::string, double>>;
std::map<std::string, Ranking> rankings(const QString& out) {
  std::map<std::string, Ranking> result;
  for (const auto& line : lines_of(out)) {
    const auto colon = line.rfind(": ");
    if (colon == std::string::npos) continue;
    std::istringstream rest(line.substr(colon + 2));
    Ranking ranking;
    std::string name;
    double p = 0;
    while (rest >> name >> p) ranking.emplace_back(name, p);
    result[fs::path(line.substr(0, colon)).filename().string()] = ranking;
  }
  return result;
}

class ClassifyVerbsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("orvane_classify_verbs_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    data = make_classify_dataset(dir / "shapes", 4, 64);
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path dir, data;
};

TEST_F(ClassifyVerbsTest, TrainValPredictAndExportAClassifier) {
  const fs::path progress = dir / "progress.jsonl";
  auto train = run_orvane(
      "train", {"model=yolov8n-cls.yaml", "data=" + q(data), "epochs=2", "imgsz=64", "batch=4",
                "project=" + q(dir / "runs"), "name=run", "progress=" + q(progress)});
  ASSERT_EQ(train.code, 0) << train.err.toStdString();
  const fs::path run = dir / "runs" / "run";
  for (const char* f : {"weights/best.pt", "weights/last.pt", "args.yaml", "results.csv"})
    EXPECT_TRUE(fs::exists(run / f)) << f;
  EXPECT_NE((train.out + train.err).indexOf("epoch 2/2"), -1) << train.out.toStdString();
  std::ifstream csv(run / "results.csv");
  std::string header, row;
  std::getline(csv, header);
  int rows = 0;
  while (std::getline(csv, row)) rows += !row.empty();
  EXPECT_EQ(header.rfind("epoch,train/loss,metrics/accuracy_top1,metrics/accuracy_top5", 0), 0u);
  EXPECT_EQ(rows, 2);
  // The progress channel the studio reads: start, batches, two epochs, finished with accuracy.
  std::ifstream in(progress);
  std::vector<std::string> events;
  for (std::string l; std::getline(in, l);) events.push_back(l);
  ASSERT_GE(events.size(), 4u);
  EXPECT_NE(events.front().find("\"event\": \"start\""), std::string::npos) << events.front();
  EXPECT_NE(events.back().find("\"event\": \"finished\""), std::string::npos) << events.back();
  EXPECT_NE(events.back().find("metrics/accuracy_top1"), std::string::npos) << events.back();
  int epochs = 0;
  for (const auto& l : events) epochs += l.find("\"event\": \"epoch\"") != std::string::npos;
  EXPECT_EQ(epochs, 2);

  const QString best = q(run / "weights" / "best.pt");
  auto val = run_orvane("val", {"model=" + best, "data=" + q(data)});
  ASSERT_EQ(val.code, 0) << val.err.toStdString();
  EXPECT_NE((val.out + val.err).indexOf("all 6 images: top1"), -1) << val.err.toStdString();

  // One line per image, all three classes ranked, probabilities falling and summing to one.
  auto predict = run_orvane("predict", {"model=" + best, "source=" + q(data / "val" / "disc")});
  ASSERT_EQ(predict.code, 0) << predict.err.toStdString();
  const auto from_checkpoint = rankings(predict.out);
  ASSERT_EQ(from_checkpoint.size(), 2u) << predict.out.toStdString();
  for (const auto& [file, ranking] : from_checkpoint) {
    ASSERT_EQ(ranking.size(), 3u) << file;
    EXPECT_GE(ranking[0].second, ranking[1].second);
    EXPECT_NEAR(ranking[0].second + ranking[1].second + ranking[2].second, 1.0, 0.02);
  }

  // Each export ranks the classes as the checkpoint does (OpenCV runs the ONNX file, LibTorch
  // the TorchScript one), at the size the model was trained at.
  for (const char* format : {"onnx", "torchscript"}) {
    SCOPED_TRACE(format);
    auto exported = run_orvane("export", {"model=" + best, QString("format=") + format});
    ASSERT_EQ(exported.code, 0) << exported.err.toStdString();
    const fs::path file = run / "weights" / (std::string("best.") + format);
    EXPECT_EQ(lines_of(exported.out).back(), file.string());  // the path, after the log line
    auto again = run_orvane("predict", {"model=" + q(file), "source=" + q(data / "val" / "disc")});
    ASSERT_EQ(again.code, 0) << again.err.toStdString();
    const auto from_export = rankings(again.out);
    ASSERT_EQ(from_export.size(), from_checkpoint.size());
    for (const auto& [name, ranking] : from_checkpoint) {
      ASSERT_EQ(from_export.at(name).size(), ranking.size()) << name;
      for (size_t i = 0; i < ranking.size(); ++i)
        EXPECT_NEAR(from_export.at(name)[i].second, ranking[i].second, 0.011) << name << " " << i;
      EXPECT_EQ(from_export.at(name)[0].first, ranking[0].first) << name;
    }
  }

  // An export only predicts; a classifier is not a detector; a bad folder is one line.
  auto refused =
      run_orvane("val", {"model=" + q(run / "weights" / "best.onnx"), "data=" + q(data)});
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.indexOf("can only predict"), -1) << refused.err.toStdString();
  auto wrong_task = run_orvane("val", {"model=" + best, "task=detect", "data=" + q(data)});
  EXPECT_EQ(wrong_task.code, 2);
  EXPECT_NE(wrong_task.err.indexOf("is a classifier"), -1) << wrong_task.err.toStdString();
  auto no_data = run_orvane("train", {"model=yolov8n-cls.yaml", "data=" + q(dir / "missing"),
                                      "epochs=1", "imgsz=64", "project=" + q(dir / "runs")});
  EXPECT_EQ(no_data.code, 1);
  EXPECT_EQ(no_data.err.trimmed().count('\n'), 0) << no_data.err.toStdString();
  EXPECT_FALSE(fs::exists(dir / "runs" / "train"));
}

}  // namespace
}  // namespace orvane::engine
