// Bad input on the orvane command line: one clear line and a non-zero exit, the fault a person
// should fix first reported first, nothing read, downloaded or written before the checks pass.

#include <gtest/gtest.h>

#include <unistd.h>

#include <QRegularExpression>

#include <filesystem>
#include <fstream>

#include "common/run_orvane.h"
#include "engine/shapes_data.h"

namespace orvane::engine {
namespace {

using test::run_orvane;
using test::ToolRun;

class BadInputCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("orvane_bad_input_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    data = make_dataset(dir / "det", false, 4);
    // A zoo name must never be downloaded here: an empty weights folder and an address that
    // refuses at once.
    qputenv("ORVANE_WEIGHTS_DIR", QByteArray::fromStdString((dir / "weights").string()));
    qputenv("ORVANE_WEIGHTS_URL", "http://127.0.0.1:9");
  }
  static void TearDownTestSuite() { fs::remove_all(dir); }

  static QString q(const fs::path& p) { return QString::fromStdString(p.string()); }
  // A quick run's words with `changes` put in (key=value replaces the key's word).
  static QStringList train_words(const QStringList& changes) {
    QStringList words{"model=yolov8n.yaml", "data=" + q(data), "epochs=1", "imgsz=64",
                      "batch=4", "workers=1", "project=" + q(dir / "runs"), "name=run",
                      "warmup_epochs=0", "mosaic=0", "threads=1"};
    for (const QString& change : changes) {
      const QString key = change.section('=', 0, 0);
      words.replaceInStrings(QRegularExpression("^" + key + "=.*"), change);
      if (!words.contains(change)) words << change;
    }
    return words;
  }
  // One line on standard error, naming what was expected; nothing written, nothing downloaded.
  static void expect_refused(const ToolRun& run, int code, const QString& expected) {
    EXPECT_EQ(run.code, code) << run.err.toStdString();
    EXPECT_EQ(run.err.trimmed().count('\n'), 0) << run.err.toStdString();
    EXPECT_NE(run.err.indexOf(expected), -1) << run.err.toStdString();
    EXPECT_FALSE(fs::exists(dir / "runs"));
    EXPECT_FALSE(fs::exists(dir / "weights"));
  }

  static inline fs::path dir, data;
};

// One extra zero used to end in "terminate called without an active exception".
TEST_F(BadInputCliTest, AnImageSizeThatCannotFitIsRefusedWithTheSizeThatDoes) {
  // Several loader threads, as by default: the old failure came from one of them.
  const auto run = run_orvane("train", train_words({"imgsz=100000", "batch=16", "workers=4"}));
  expect_refused(run, 2, "imgsz=100000 with batch=16 needs about");
  EXPECT_NE(run.err.indexOf(QRegularExpression(R"(use imgsz=\d+ or less)")), -1)
      << run.err.toStdString();
  EXPECT_EQ(run.err.indexOf("terminate"), -1);
}

TEST_F(BadInputCliTest, ValuesOutsideTheirRangesAreRefusedBeforeAnythingRuns) {
  expect_refused(run_orvane("train", train_words({"lr0=-1"})), 2,
                 "lr0=-1: the initial learning rate must be more than 0 and at most 1");
  expect_refused(run_orvane("train", train_words({"workers=-2"})), 2,
                 "workers=-2: data loading threads must be from 0 to 32");
  expect_refused(run_orvane("train", train_words({"batch=0"})), 2,
                 "batch=0: images per batch must be from 1 to 256, or -1");
  expect_refused(run_orvane("train", train_words({"momentum=1"})), 2,
                 "momentum=1: the momentum (SGD) or beta1 (Adam) must be at least 0 and less than 1");
  expect_refused(run_orvane("train", train_words({"optimizer=sgd"})), 2,
                 "optimizer=sgd is not an optimizer; did you mean SGD?");
  expect_refused(run_orvane("train", train_words({"epoch=3"})), 2,
                 "unknown key 'epoch'; did you mean epochs?");
}

TEST_F(BadInputCliTest, UnknownModelNamesListTheKnownOnesAndSuggestTheNearest) {
  auto run = run_orvane("train", train_words({"model=yolov8q.yaml"}));
  expect_refused(run, 1, "yolov8q.yaml is not a known model name (fresh weights: yolov8n/s/m/l/x.yaml");
  run = run_orvane("train", train_words({"model=yolo8n.pt"}));
  expect_refused(run, 1, "yolo8n.pt is not a known model name; did you mean yolov8n.pt?");

  std::ofstream(dir / "fake.pt") << "not a checkpoint";
  run = run_orvane("train", train_words({"model=" + q(dir / "fake.pt")}));
  expect_refused(run, 1, "is neither an Orvane checkpoint nor a YOLO ecosystem .pt file");
}

// The default weights are a zoo name; the missing data file is what the person must fix, and
// nothing is downloaded before it is found.
TEST_F(BadInputCliTest, AMissingDataFileIsReportedBeforeTheDefaultWeights) {
  const auto run = run_orvane("train", {"data=" + q(dir / "missing.yaml"), "epochs=1"});
  expect_refused(run, 1, "missing.yaml does not exist");
}

// Two faults: the one to fix first is the one reported (keys, then values, then the data,
// then the weights).
TEST_F(BadInputCliTest, OfTwoFaultsTheOneToFixFirstIsReported) {
  const QString missing = "data=" + q(dir / "missing.yaml");
  expect_refused(run_orvane("train", train_words({"bogus=1", "lr0=-1"})), 2, "unknown key 'bogus'");
  expect_refused(run_orvane("train", train_words({"lr0=-1", missing})), 2, "lr0=-1");
  expect_refused(run_orvane("train", train_words({"imgsz=100000", missing})), 2, "imgsz=100000");
  expect_refused(run_orvane("train", train_words({missing, "model=yolov8q.yaml"})), 1,
                 "missing.yaml does not exist");
  expect_refused(run_orvane("train", train_words({"epochs=ten", "batch=0"})), 2,
                 "'epochs' must be a whole number");
}

// An image size the ecosystem takes and rounds up is taken and rounded up here too, said once.
TEST_F(BadInputCliTest, AnImageSizeOffTheStrideIsRoundedUpAndSaidOnce) {
  const auto run = run_orvane("train", train_words({"imgsz=70", "name=rounded"}));
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_EQ((run.out + run.err).count("updating to 96"), 1) << (run.out + run.err).toStdString();
  std::ifstream args(dir / "runs" / "rounded" / "args.yaml");
  std::string text((std::istreambuf_iterator<char>(args)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("imgsz: 96"), std::string::npos) << text;
  fs::remove_all(dir / "runs");
}

}  // namespace
}  // namespace orvane::engine
