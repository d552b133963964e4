// orvane train / val / predict as a script or the studio runs them.

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include <filesystem>
#include <fstream>

#include "common/run_orvane.h"
#include "engine/shapes_data.h"

namespace orvane::engine {
namespace {

using test::run_orvane;

class CliEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          (std::string("orvane_cli_engine_") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    data = make_dataset(dir / "det", false, 8);
  }
  void TearDown() override { fs::remove_all(dir); }

  QString q(const fs::path& p) const { return QString::fromStdString(p.string()); }
  QStringList quick_train(int epochs) const {
    return {"model=yolov8n.yaml", "data=" + q(data), "epochs=" + QString::number(epochs),
            "imgsz=64", "batch=4", "workers=1", "project=" + q(dir / "runs"), "name=run",
            "warmup_epochs=0", "mosaic=0", "threads=1"};
  }
  static std::vector<std::string> lines_of(const fs::path& p) {
    std::vector<std::string> lines;
    std::ifstream in(p);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }

  fs::path dir, data;
};

TEST_F(CliEngineTest, TrainWritesTheRunFolderChartsAndJsonProgressThenValAndPredictUseIt) {
  auto words = quick_train(2);
  words << "progress=" + q(dir / "progress.jsonl");
  auto run = run_orvane("train", words);
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  const auto folder = dir / "runs" / "run";
  for (const char* f : {"weights/best.pt", "weights/last.pt", "args.yaml", "results.csv",
                        "results.png", "confusion_matrix.png", "F1_curve.png", "PR_curve.png",
                        "val_batch0_pred.jpg"})
    EXPECT_TRUE(fs::exists(folder / f)) << f;
  EXPECT_NE(run.out.indexOf("2/2"), -1);  // per-epoch progress line on standard output

  const auto lines = lines_of(dir / "progress.jsonl");
  ASSERT_GE(lines.size(), 6u);  // start, 2 x (2 batches), 2 epochs, finished
  for (const auto& l : lines) EXPECT_TRUE(l.front() == '{' && l.back() == '}') << l;
  EXPECT_NE(lines.front().find("\"event\": \"start\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"event\": \"batch\""), std::string::npos);
  EXPECT_NE(lines.back().find("\"event\": \"finished\""), std::string::npos) << lines.back();
  EXPECT_NE(lines.back().find("metrics/mAP50(B)"), std::string::npos);
  int epochs = 0;
  for (const auto& l : lines) epochs += l.find("\"event\": \"epoch\"") != std::string::npos;
  EXPECT_EQ(epochs, 2);

  auto val = run_orvane("val", {"model=" + q(folder / "weights" / "best.pt"), "data=" + q(data),
                                "imgsz=64"});
  EXPECT_EQ(val.code, 0) << val.err.toStdString();
  EXPECT_NE(val.out.indexOf("all"), -1) << val.out.toStdString();

  // A folder with a good image, a broken one and a non-image: the broken one is named and
  // skipped, the good one gets its picture and label file.
  fs::create_directories(dir / "photos");
  fs::copy_file(dir / "det" / "images" / "train" / "img0.png", dir / "photos" / "good.png");
  std::ofstream(dir / "photos" / "broken.jpg") << "\xff\xd8\xff not really";
  std::ofstream(dir / "photos" / "notes.txt") << "hello";
  auto pred = run_orvane("predict", {"model=" + q(folder / "weights" / "best.pt"),
                                     "source=" + q(dir / "photos"), "imgsz=64", "conf=0.01",
                                     "save=" + q(dir / "out")});
  EXPECT_EQ(pred.code, 0) << pred.err.toStdString();
  EXPECT_TRUE(fs::exists(dir / "out" / "good.png"));
  EXPECT_TRUE(fs::exists(dir / "out" / "good.txt"));
  EXPECT_FALSE(fs::exists(dir / "out" / "broken.jpg"));
  EXPECT_NE((pred.out + pred.err).indexOf("broken.jpg"), -1);
}

TEST_F(CliEngineTest, TerminateStopsAfterTheCurrentBatchAndSavesLastPt) {
  QProcess process;
  auto words = quick_train(200);
  words << "progress=/dev/stdout";
  process.start(QDir(qEnvironmentVariable("ORVANE_BIN_DIR")).filePath("orvane"),
                QStringList{"train"} + words);
  ASSERT_TRUE(process.waitForStarted());
  // Wait for the first finished batch, then ask for a stop as the studio does.
  QByteArray out;
  while (!out.contains("\"event\": \"batch\"") && process.state() == QProcess::Running)
    if (process.waitForReadyRead(60000)) out += process.readAllStandardOutput();
  ASSERT_TRUE(out.contains("\"event\": \"batch\"")) << out.toStdString();
  process.terminate();
  ASSERT_TRUE(process.waitForFinished(60000));
  out += process.readAllStandardOutput();
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
  EXPECT_TRUE(out.contains("\"event\": \"stopped\"")) << out.toStdString();
  EXPECT_FALSE(out.contains("\"event\": \"finished\""));
  EXPECT_TRUE(fs::exists(dir / "runs" / "run" / "weights" / "last.pt"));
}

TEST_F(CliEngineTest, BadInputEndsWithOneLineAndNonZeroStatus) {
  auto words = quick_train(1);
  words.replaceInStrings(QRegularExpression("^data=.*"), "data=" + q(dir / "missing.yaml"));
  words << "progress=" + q(dir / "p.jsonl");
  auto run = run_orvane("train", words);
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err.trimmed().count('\n'), 0) << run.err.toStdString();
  EXPECT_NE(lines_of(dir / "p.jsonl").back().find("\"event\": \"error\""), std::string::npos);

  std::ofstream(dir / "fake.pt") << "not a checkpoint";
  run = run_orvane("predict", {"model=" + q(dir / "fake.pt"),
                              "source=" + q(dir / "det" / "images" / "train" / "img0.png")});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.indexOf("neither an Orvane checkpoint nor a YOLO ecosystem"), -1)
      << run.err.toStdString();
  EXPECT_EQ(run.err.trimmed().count('\n'), 0) << run.err.toStdString();

  run = run_orvane("train", {"model=yolov8n.yaml", "epochs=ten"});
  EXPECT_EQ(run.code, 2);
  run = run_orvane("val", {"model=yolov8n.yaml", "data=" + q(data), "imgsz=64", "bogus=1"});
  EXPECT_EQ(run.code, 2);
}

}  // namespace
}  // namespace orvane::engine
