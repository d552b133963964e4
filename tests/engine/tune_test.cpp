// Hyperparameter tuning: the mutation step on its own, and `orvane tune` as the studio runs it.

#include <gtest/gtest.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/run_orvane.h"
#include "engine/error.h"
#include "engine/shapes_data.h"
#include "engine/tuner.h"

namespace orvane::engine {
namespace {

using test::run_orvane;

std::vector<double> defaults(const std::vector<TuneDimension>& space) {
  std::vector<double> v;
  for (const auto& d : space) v.push_back(get_hyperparameter(TrainOptions{}, d.key));
  return v;
}

bool rounded5(double v) { return std::abs(v * 1e5 - std::round(v * 1e5)) < 1e-6; }

TEST(TuneMutation, StartsFromTheGivenValuesStaysInBoundsAndRepeatsWithTheSeed) {
  const auto& space = default_tune_space();
  auto start = defaults(space);
  std::mt19937_64 rng(1);
  // No results yet: the given values, clipped to the bounds.
  start[0] = 1.0;  // lr0 above its bound
  auto first = mutate_hyperparameters(space, {}, start, rng);
  EXPECT_DOUBLE_EQ(first[0], 0.1);
  for (size_t i = 1; i < space.size(); ++i) EXPECT_NEAR(first[i], start[i], 1e-5) << space[i].key;

  // Parents at both ends of every range (and zeros, which a multiplicative step keeps).
  std::vector<TuneRow> rows{{0.2, {}}, {0.5, {}}, {0.1, defaults(space)}};
  for (const auto& d : space) {
    rows[0].values.push_back(d.upper);
    rows[1].values.push_back(d.lower > 0 ? d.lower : 0.0);
  }
  auto run = [&](std::uint64_t seed) {
    std::mt19937_64 r(seed);
    std::vector<std::vector<double>> out;
    for (int k = 0; k < 300; ++k) out.push_back(mutate_hyperparameters(space, rows, start, r));
    return out;
  };
  const auto a = run(42);
  for (const auto& child : a) {
    ASSERT_EQ(child.size(), space.size());
    for (size_t i = 0; i < space.size(); ++i) {
      EXPECT_GE(child[i], space[i].lower) << space[i].key;
      EXPECT_LE(child[i], space[i].upper) << space[i].key;
      EXPECT_TRUE(rounded5(child[i])) << space[i].key << " " << child[i];
    }
  }
  EXPECT_EQ(a, run(42));
  EXPECT_NE(a, run(43));

  // From a parent inside its ranges every step tries something new.
  const std::vector<TuneRow> one{{0.3, defaults(space)}};
  for (int k = 0; k < 100; ++k)
    EXPECT_NE(mutate_hyperparameters(space, one, start, rng), one[0].values);
}

TEST(TuneMutation, MutatesTheFitterParentAndSetsEverySearchedOption) {
  const auto& space = default_tune_space();
  // Two parents whose lr0 ranges after a x0.3..x3 step cannot overlap: every child of the fit
  // one has lr0 in [0.0003, 0.003], of the unfit one in [0.027, 0.1].
  TuneRow fit{0.9, defaults(space)}, unfit{0.0, defaults(space)};
  fit.values[0] = 0.001;
  unfit.values[0] = 0.09;
  std::mt19937_64 rng(7);
  for (int k = 0; k < 200; ++k) {
    const auto child = mutate_hyperparameters(space, {unfit, fit}, fit.values, rng);
    EXPECT_LE(child[0], 0.003 + 1e-9);
    EXPECT_GE(child[0], 0.0003 - 1e-9);
  }

  TrainOptions o;
  for (size_t i = 0; i < space.size(); ++i) {
    const double v = space[i].lower + (space[i].upper - space[i].lower) * 0.37;
    set_hyperparameter(o, space[i].key, v);
    EXPECT_NEAR(get_hyperparameter(o, space[i].key), v, 1e-6 * (1 + v)) << space[i].key;
  }
  EXPECT_THROW(set_hyperparameter(o, "mixup", 0.5), EngineError);
  EXPECT_THROW(get_hyperparameter(o, "optimizer"), EngineError);
}

class TuneCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          (std::string("orvane_tune_") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    data = make_dataset(dir / "det", false, 8);
  }
  void TearDown() override { fs::remove_all(dir); }

  QString q(const fs::path& p) const { return QString::fromStdString(p.string()); }
  // The studio's keys, plus what keeps the run tiny and on one compute thread.
  QStringList tune_words(int iterations) const {
    return {"model=yolov8n.yaml",
            "data=" + q(data),
            "epochs=1",
            "iterations=" + QString::number(iterations),
            "optimizer=auto",
            "project=" + q(dir / "runs"),
            "name=run_tune",
            "exist_ok=true",
            "imgsz=64",
            "batch=4",
            "workers=1",
            "threads=1",
            "seed=3"};
  }
  static std::vector<std::string> lines_of(const fs::path& p) {
    std::vector<std::string> lines;
    std::ifstream in(p);
    for (std::string l; std::getline(in, l);)
      if (!l.empty()) lines.push_back(l);
    return lines;
  }
  static std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    for (std::string c; std::getline(ss, c, ',');) out.push_back(c);
    return out;
  }

  fs::path dir, data;
};

TEST_F(TuneCliTest, TinySearchWritesTheThreeFilesAndTheYamlIsTheBestRow) {
  auto words = tune_words(2);
  words << "progress=" + q(dir / "progress.jsonl");
  const auto run = run_orvane("tune", words, 300000);
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  const auto folder = dir / "runs" / "run_tune";

  const auto csv = lines_of(folder / "tune_results.csv");
  ASSERT_EQ(csv.size(), 3u);  // header + one row per iteration
  const auto header = cells(csv[0]);
  ASSERT_GE(header.size(), 3u);
  EXPECT_EQ(header[0], "fitness");
  EXPECT_EQ(header[1], "lr0");
  EXPECT_EQ(header[2], "lrf");
  // optimizer=auto is resolved once, so iteration 1 tries the learning rate auto really uses
  // (AdamW, 0.002 * 5 / (4 + 2 classes), to 5 decimals as every searched value).
  EXPECT_EQ(cells(csv[1])[1], "0.00167");
  size_t best = 1;
  for (size_t r = 1; r < csv.size(); ++r) {
    ASSERT_EQ(cells(csv[r]).size(), header.size());
    if (std::stod(cells(csv[r])[0]) > std::stod(cells(csv[best])[0])) best = r;
  }
  EXPECT_NE(csv[1].substr(csv[1].find(',')), csv[2].substr(csv[2].find(',')))
      << "iteration 2 must try other values";

  const YAML::Node yaml = YAML::LoadFile((folder / "best_hyperparameters.yaml").string());
  ASSERT_TRUE(yaml.IsMap());
  EXPECT_EQ(yaml.size(), header.size() - 1);
  const auto best_row = cells(csv[best]);
  for (size_t c = 1; c < header.size(); ++c) {
    ASSERT_TRUE(yaml[header[c]]) << header[c];
    EXPECT_DOUBLE_EQ(yaml[header[c]].as<double>(), std::stod(best_row[c])) << header[c];
  }
  std::ifstream yaml_text(folder / "best_hyperparameters.yaml");
  const std::string text((std::istreambuf_iterator<char>(yaml_text)), {});
  EXPECT_NE(
      text.find("Best fitness=" + best_row[0] + " observed at iteration " + std::to_string(best)),
      std::string::npos)
      << text;
  EXPECT_EQ(text.find("e-0"), std::string::npos) << "plain decimals only: " << text;

  const cv::Mat chart = cv::imread((folder / "tune_fitness.png").string());
  EXPECT_GT(chart.cols, 100);
  EXPECT_TRUE(fs::exists(folder / "weights" / "best.pt"));
  EXPECT_TRUE(fs::exists(folder / "iter2" / "results.csv"));
  EXPECT_FALSE(fs::exists(folder / "iter1" / "weights" / "last.pt"));  // save=false

  EXPECT_NE(run.out.indexOf("iteration 2/2"), -1) << run.out.toStdString();
  EXPECT_NE(run.out.indexOf("best fitness="), -1);
  const auto progress = lines_of(dir / "progress.jsonl");
  ASSERT_EQ(progress.size(), 4u);  // start, 2 iterations, finished
  EXPECT_NE(progress[0].find("\"event\": \"start\""), std::string::npos);
  EXPECT_NE(progress[2].find("\"iteration\": 2"), std::string::npos);
  EXPECT_NE(progress[3].find("\"event\": \"finished\""), std::string::npos);
}

TEST_F(TuneCliTest, TerminateKeepsTheFinishedIterationsWhole) {
  QProcess process;
  auto words = tune_words(20);
  words << "progress=/dev/stdout";
  process.start(QDir(qEnvironmentVariable("ORVANE_BIN_DIR")).filePath("orvane"),
                QStringList{"tune"} + words);
  ASSERT_TRUE(process.waitForStarted());
  QByteArray out;
  while (!out.contains("\"event\": \"iteration\"") && process.state() == QProcess::Running)
    if (process.waitForReadyRead(120000)) out += process.readAllStandardOutput();
  ASSERT_TRUE(out.contains("\"event\": \"iteration\"")) << out.toStdString();
  process.terminate();
  ASSERT_TRUE(process.waitForFinished(120000));
  out += process.readAllStandardOutput();
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
  EXPECT_TRUE(out.contains("\"event\": \"stopped\"")) << out.toStdString();
  const auto folder = dir / "runs" / "run_tune";
  const auto csv = lines_of(folder / "tune_results.csv");
  EXPECT_GE(csv.size(), 2u);
  EXPECT_LT(csv.size(), 21u);
  const YAML::Node yaml = YAML::LoadFile((folder / "best_hyperparameters.yaml").string());
  EXPECT_TRUE(yaml["lr0"] && yaml["lrf"]);
  for (const auto& entry : fs::directory_iterator(folder))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
}

TEST_F(TuneCliTest, BadInputEndsWithOneLineAndNonZeroStatus) {
  auto expect_one_line_failure = [&](QStringList words, const QString& needle) {
    const auto run = run_orvane("tune", words);
    EXPECT_NE(run.code, 0) << needle.toStdString();
    EXPECT_EQ(run.err.trimmed().count('\n'), 0) << run.err.toStdString();
    EXPECT_NE(run.err.indexOf(needle), -1) << run.err.toStdString();
  };
  auto words = tune_words(2);
  words.replaceInStrings(QRegularExpression("^data=.*"), "data=" + q(dir / "missing.yaml"));
  expect_one_line_failure(words, "missing.yaml");

  std::ofstream(dir / "broken.yaml") << "train: [unclosed\n";
  words = tune_words(2);
  words.replaceInStrings(QRegularExpression("^data=.*"), "data=" + q(dir / "broken.yaml"));
  expect_one_line_failure(words, "broken.yaml");

  std::ofstream(dir / "foreign.pt") << "PK not ours";
  words = tune_words(2);
  words.replaceInStrings(QRegularExpression("^model=.*"), "model=" + q(dir / "foreign.pt"));
  expect_one_line_failure(words, "foreign.pt");

  expect_one_line_failure(tune_words(0), "iterations");
  EXPECT_FALSE(fs::exists(dir / "runs" / "run_tune" / "tune_results.csv"));

  const auto help = run_orvane("tune", {"help"});
  EXPECT_EQ(help.code, 0);
  for (const char* key : {"iterations=5", "epochs=10", "optimizer=auto", "seed=0", "imgsz=640"})
    EXPECT_NE(help.out.indexOf(key), -1) << key;
}

}  // namespace
}  // namespace orvane::engine
