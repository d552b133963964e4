// A run killed outright (SIGKILL, mid-epoch) and resumed from its last.pt ends exactly as the same
// run uninterrupted; what a resume refuses; save_period's numbered checkpoints survive a kill.

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <iostream>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <algorithm>

#include "common/run_orvane.h"
#include "engine/checkpoint.h"
#include "engine/shapes_data.h"

namespace orvane::engine {
namespace {

using test::run_orvane;

class ResumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          (std::string("orvane_resume_") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  static QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

  // Eight batches an epoch, an optimizer step every second batch, warm-up running throughout,
  // AdamW (optimizer=auto on so short a run), validation every epoch: every piece of state a
  // resume has to carry over is in play.
  QStringList recipe(const fs::path& data, const QString& name, int epochs) const {
    return {"model=yolov8n.yaml", "data=" + q(data), "epochs=" + QString::number(epochs),
            "imgsz=64", "batch=2", "nbs=4", "workers=2", "project=" + q(dir / "runs"),
            "name=" + name, "seed=3", "threads=1", "plots=false", "mosaic=0", "scale=0.2"};
  }

  // Starts `orvane train`, waits until the progress file has a line holding every one of
  // `marks`, and kills the process outright.
  static void kill_at(const QStringList& words, const fs::path& progress,
                      const std::vector<std::string>& marks) {
    QProcess process;
    process.start(QDir(qEnvironmentVariable("ORVANE_BIN_DIR")).filePath("orvane"),
                  QStringList{"train"} + words + QStringList{"progress=" + q(progress)});
    ASSERT_TRUE(process.waitForStarted());
    bool seen = false;
    while (!seen && process.state() == QProcess::Running) {
      process.waitForFinished(5);
      std::ifstream in(progress);
      for (std::string line; std::getline(in, line);)
        seen = seen || std::all_of(marks.begin(), marks.end(), [&](const std::string& m) {
                 return line.find(m) != std::string::npos;
               });
    }
    ASSERT_TRUE(seen) << "the run ended before " << marks.front();
    ::kill(pid_t(process.processId()), SIGKILL);
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitStatus(), QProcess::CrashExit);
  }

  // results.csv rows without the time column, as printed.
  static std::vector<std::string> rows_but_time(const fs::path& run) {
    std::vector<std::string> rows;
    std::ifstream in(run / "results.csv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      const auto first = line.find(','), second = line.find(',', first + 1);
      rows.push_back(line.substr(0, first) + line.substr(second));
    }
    return rows;
  }

  // The metrics of the final validation, from the progress file's "finished" line.
  static std::string final_metrics(const fs::path& progress) {
    std::ifstream in(progress);
    std::string last;
    for (std::string line; std::getline(in, line);)
      if (line.find("\"finished\"") != std::string::npos) last = line;
    const auto at = last.find("\"metrics\"");
    return at == std::string::npos ? "" : last.substr(at);
  }

  fs::path dir;
};

TEST_F(ResumeTest, ARunKilledMidEpochAndResumedEndsWithTheUninterruptedRunsRows) {
  const auto data = make_dataset(dir / "det", false, 16);
  auto straight = recipe(data, "straight", 4);
  straight << "progress=" + q(dir / "straight.jsonl");
  auto run = run_orvane("train", straight, 600000);
  ASSERT_EQ(run.code, 0) << run.err.toStdString();

  const auto killed = dir / "runs" / "killed";
  // Batch 3 of 8 of epoch 3 is done: the kill lands in the middle of the epoch.
  kill_at(recipe(data, "killed", 4), dir / "killed.jsonl",
          {"\"event\": \"batch\"", "\"epoch\": 3,", "\"batch\": 3,"});
  ASSERT_EQ(rows_but_time(killed).size(), 2u) << "not killed during epoch 3";
  // last.pt is written in the background: epoch 2's may not have landed when the kill came, and
  // then the resume starts from epoch 1's. Either way it must end with the same rows.
  const int saved = load_checkpoint(killed / "weights" / "last.pt").meta.epoch;
  EXPECT_TRUE(saved == 0 || saved == 1) << saved;

  // Keys that change the run are refused before anything is touched; the rows stay.
  auto refused = run_orvane("train", {"resume=" + q(killed / "weights" / "last.pt"), "batch=4"});
  EXPECT_NE(refused.code, 0);
  EXPECT_NE(refused.err.indexOf("cannot resume with batch=4: the run was started with batch=2"),
            -1)
      << refused.err.toStdString();
  refused = run_orvane("train", {"resume=true"});
  EXPECT_NE(refused.code, 0);
  EXPECT_NE(refused.err.indexOf("resume=true needs model="), -1) << refused.err.toStdString();
  EXPECT_EQ(rows_but_time(killed).size(), 2u);

  // The run folder stands for its last.pt; workers may change.
  auto resumed = run_orvane(
      "train", {"resume=" + q(killed), "workers=1", "progress=" + q(dir / "resumed.jsonl")},
      600000);
  ASSERT_EQ(resumed.code, 0) << resumed.err.toStdString();
  EXPECT_NE((resumed.out + resumed.err).indexOf("Resuming training from"), -1);
  const auto want = rows_but_time(dir / "runs" / "straight");
  ASSERT_EQ(want.size(), 4u);
  EXPECT_EQ(rows_but_time(killed), want);
  EXPECT_FALSE(final_metrics(dir / "resumed.jsonl").empty());
  EXPECT_EQ(final_metrics(dir / "resumed.jsonl"), final_metrics(dir / "straight.jsonl"));
  EXPECT_TRUE(fs::exists(killed / "weights" / "best.pt"));

  // A finished run says so and does nothing.
  const auto before = fs::last_write_time(killed / "results.csv");
  auto again = run_orvane("train", {"model=" + q(killed / "weights" / "last.pt"), "resume=true"});
  EXPECT_EQ(again.code, 0) << again.err.toStdString();
  EXPECT_NE(again.err.indexOf("already finished"), -1) << again.err.toStdString();
  EXPECT_EQ(fs::last_write_time(killed / "results.csv"), before);

  // Weights without optimizer state can only be fine-tuned from: ours (best.pt) and the
  // ecosystem's.
  auto best = run_orvane("train", {"resume=" + q(killed / "weights" / "best.pt")});
  EXPECT_NE(best.code, 0);
  EXPECT_NE(best.err.indexOf("holds no optimizer state"), -1) << best.err.toStdString();
  const fs::path foreign = fs::path(qEnvironmentVariable("ORVANE_SOURCE_DIR").toStdString()) /
                           "tests" / "data" / "weights" / "yolov8n-shapes.pt";
  auto eco = run_orvane("train", {"resume=" + q(foreign)});
  EXPECT_NE(eco.code, 0);
  EXPECT_NE(eco.err.indexOf("only fine-tuned from"), -1) << eco.err.toStdString();
}

TEST_F(ResumeTest, SavePeriodKeepsNumberedCheckpointsThatAKillLeavesReadable) {
  const auto data = make_dataset(dir / "det", false, 8);
  auto words = recipe(data, "periodic", 20);
  words << "save_period=1"
        << "val=false";
  const auto weights = dir / "runs" / "periodic" / "weights";
  // Killed as soon as epoch 3 ends: the writer is then putting epoch3.pt and last.pt on disk.
  kill_at(words, dir / "periodic.jsonl", {"\"event\": \"epoch\"", "\"epoch\": 3,"});
  int readable = 0;
  for (const auto& entry : fs::directory_iterator(weights)) {
    const std::string name = entry.path().filename().string();
    if (!std::regex_match(name, std::regex(R"(epoch\d+\.pt)"))) continue;
    const auto loaded = load_checkpoint(entry.path());  // throws when damaged
    EXPECT_EQ("epoch" + std::to_string(loaded.meta.epoch + 1) + ".pt", name);
    EXPECT_TRUE(loaded.has_optimizer);
    ++readable;
  }
  EXPECT_GE(readable, 2);  // epoch3.pt too when the writer got to it before the kill
  EXPECT_NO_THROW(load_checkpoint(weights / "last.pt"));

  // Every second epoch: epoch2.pt and epoch4.pt beside last.pt and best.pt.
  auto even = recipe(data, "even", 4);
  even << "save_period=2";
  ASSERT_EQ(run_orvane("train", even, 600000).code, 0);
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(dir / "runs" / "even" / "weights"))
    files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"best.pt", "epoch2.pt", "epoch4.pt", "last.pt"}));
}

// The measurement the notes quote (minutes; run with --gtest_also_run_disabled_tests): detection
// and segmentation, 6 epochs each, killed during epoch 3 and resumed, against the same run
// uninterrupted. Prints both results.csv files without their time column.
TEST_F(ResumeTest, DISABLED_MeasureSixEpochRunsKilledDuringEpochThree) {
  for (const bool segment : {false, true}) {
    const auto data = make_dataset(dir / (segment ? "seg" : "det"), segment, 16);
    auto words = [&](const QString& name) {
      auto w = recipe(data, name, 6);
      w.replaceInStrings("model=yolov8n.yaml", segment ? "model=yolov8n-seg.yaml" : "model=yolov8n.yaml");
      return w;
    };
    const QString tag = segment ? "seg" : "det";
    auto run = run_orvane("train", words(tag + "_straight"), 1800000);
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    kill_at(words(tag + "_killed"), dir / (tag.toStdString() + ".jsonl"),
            {"\"event\": \"batch\"", "\"epoch\": 3,", "\"batch\": 3,"});
    const auto killed = dir / "runs" / (tag.toStdString() + "_killed");
    const auto rows_at_kill = rows_but_time(killed).size();
    auto resumed = run_orvane("train", {"resume=" + q(killed)}, 1800000);
    ASSERT_EQ(resumed.code, 0) << resumed.err.toStdString();
    const auto a = rows_but_time(dir / "runs" / (tag.toStdString() + "_straight"));
    const auto b = rows_but_time(killed);
    std::cout << tag.toStdString() << ": killed with " << rows_at_kill
              << " rows written; rows identical: " << (a == b ? "yes" : "NO") << "\n";
    for (size_t r = 0; r < std::max(a.size(), b.size()); ++r)
      std::cout << "  straight " << (r < a.size() ? a[r] : "-") << "\n  resumed  "
                << (r < b.size() ? b[r] : "-") << "\n";
    EXPECT_EQ(a, b);
  }
}

}  // namespace
}  // namespace orvane::engine
