// The checks an engine verb runs before any work: ranges, image size and memory, model names.

#include <gtest/gtest.h>

#include <string>

#include "cli/preflight.h"
#include "engine/memory_need.h"
#include "engine/train_args.h"
#include "engine/weights_zoo.h"
#include "files/text_format.h"

namespace orvane::cli {
namespace {

std::string refusal_of(const std::function<void()>& check) {
  try {
    check();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

// A default outside its own range would make every plain run fail; the table and the defaults
// live in different files.
TEST(Preflight, EveryDefaultLiesInItsRange) {
  for (const auto& [key, value] : engine::train_args_list(engine::TrainOptions{})) {
    if (const auto* r = training::training_range(key)) {
      EXPECT_TRUE(r->contains(std::stod(value))) << key << "=" << value;
    }
  }
  const training::TrainingDefaults d;
  for (const auto& [key, value] : std::initializer_list<std::pair<const char*, double>>{
           {"epochs", d.epochs}, {"imgsz", d.imgsz}, {"batch", d.batch}, {"workers", d.workers},
           {"lr0", d.lr0}, {"lrf", d.lrf}, {"close_mosaic", d.close_mosaic}})
    EXPECT_TRUE(training::training_range(key)->contains(value)) << key;
}

TEST(Preflight, RangesReadAsAPersonWouldSayThem) {
  using training::training_range;
  EXPECT_EQ(range_text(*training_range("lr0")), "more than 0 and at most 1");
  EXPECT_EQ(range_text(*training_range("momentum")), "at least 0 and less than 1");
  EXPECT_EQ(range_text(*training_range("workers")), "from 0 to 32");
  EXPECT_EQ(range_text(*training_range("batch")), "from 1 to 256, or -1 to choose it (16 on the CPU)");
  EXPECT_EQ(range_text(*training_range("patience")), "at least 0");
  EXPECT_EQ(range_text(*training_range("dist_timeout")), "more than 0");
}

TEST(Preflight, ValuesAreCheckedInKeyOrderAndByKind) {
  const std::vector<KeyHelp> keys{{"epochs", "100", ""}, {"lr0", "0.01", ""}, {"name", "", ""}};
  auto check = [&](const std::vector<std::string>& words) {
    return refusal_of([&] { check_ranges(Args(words, keys), keys); });
  };
  EXPECT_EQ(check({"epochs=5", "lr0=0.5", "name=x"}), "");
  EXPECT_EQ(check({"lr0=-1", "epochs=0"}), "epochs=0: epochs must be from 1 to 2000");
  EXPECT_EQ(check({"epochs=2.5"}), "epochs=2.5 is not a whole number");
  EXPECT_EQ(check({"lr0=nan"}), "lr0=nan is not a number");
  EXPECT_EQ(check({"lr0=0"}), "lr0=0: the initial learning rate must be more than 0 and at most 1");
}

TEST(Preflight, AnImageSizeOffTheStrideIsRoundedUpAndZeroIsRefused) {
  engine::MemoryNeed need;
  const double plenty = 1e12;
  EXPECT_EQ(checked_imgsz(640, need, plenty), 640);
  EXPECT_EQ(checked_imgsz(70, need, plenty), 96);
  EXPECT_EQ(checked_imgsz(10, need, plenty), 32);
  EXPECT_EQ(refusal_of([&] { checked_imgsz(0, need, plenty); }),
            "imgsz=0: the image size must be from 32 to 4096");
  EXPECT_EQ(refusal_of([&] { checked_imgsz(5000, need, plenty); }),
            "imgsz=5000: the image size must be from 32 to 4096");
}

TEST(Preflight, AnImageSizeThatCannotFitNamesTheFigureAndWhatFits) {
  engine::MemoryNeed need;  // yolov8n, batch 16, 8 workers
  need.batch = 16;
  const double available = 4e9;
  // 100000 px: nothing fits at that size; the largest size that does is named.
  const std::string huge = refusal_of([&] { checked_imgsz(100000, need, available); });
  EXPECT_EQ(huge.rfind("imgsz=100000 with batch=16 needs about ", 0), 0u) << huge;
  EXPECT_NE(huge.find(" TB of memory to train and 4.0 GB is available: use imgsz="), std::string::npos) << huge;
  const int fits = std::stoi(huge.substr(huge.rfind("imgsz=") + 6));
  need.imgsz = fits;
  EXPECT_LE(engine::estimated_bytes(need), available);
  need.imgsz = fits + 32;
  EXPECT_GT(engine::estimated_bytes(need), available);
  // A size within the table that does not fit at this batch: a smaller batch is offered too.
  need.imgsz = 640;
  const std::string big = refusal_of([&] { checked_imgsz(1024, need, available); });
  EXPECT_NE(big.find(": use batch="), std::string::npos) << big;
  EXPECT_NE(big.find(" or less, or imgsz="), std::string::npos) << big;
  // Nothing at all fits.
  EXPECT_NE(refusal_of([&] { checked_imgsz(640, need, 1e6); }).find("not even imgsz=32 fits"),
            std::string::npos);
}

TEST(Preflight, LargerModelsAndBatchesNeedMoreMemory) {
  engine::MemoryNeed n = engine::memory_need_of_model("yolov8n.pt");
  engine::MemoryNeed x = engine::memory_need_of_model("runs/yolov8x-seg.yaml");
  EXPECT_EQ(x.scale, 'x');
  EXPECT_TRUE(x.segment);
  EXPECT_GT(engine::estimated_bytes(x), 5 * engine::estimated_bytes(n));
  engine::MemoryNeed two = n;
  two.batch = 2 * n.batch;
  EXPECT_GT(engine::estimated_bytes(two), 1.5 * engine::estimated_bytes(n));
  engine::MemoryNeed predict = n;
  predict.training = false;
  EXPECT_LT(engine::estimated_bytes(predict), engine::estimated_bytes(n));
  EXPECT_EQ(engine::memory_text(9.6e12), "9.6 TB");
  EXPECT_EQ(engine::memory_text(812e6), "812 MB");
}

TEST(Preflight, ModelNamesAreKnownFilesOrRefusedWithTheNearestName) {
  for (const char* fine : {"yolov8n.pt", "yolo11x-seg.yaml", "yolov8s-seg.pt", "yolov11n.yaml", ""})
    EXPECT_EQ(engine::model_name_problem(fine), "") << fine;
  const std::string typo = engine::model_name_problem("yolov8q.yaml");
  EXPECT_EQ(typo.rfind("yolov8q.yaml is not a known model name (fresh weights: yolov8n/s/m/l/x.yaml", 0), 0u)
      << typo;  // five names are one letter away: none is guessed
  EXPECT_NE(engine::model_name_problem("yolo8n.pt").find("; did you mean yolov8n.pt?"),
            std::string::npos);
  EXPECT_NE(engine::model_name_problem("yolov8n.yml").find("; did you mean yolov8n.yaml?"),
            std::string::npos);
  EXPECT_EQ(engine::model_name_problem("runs/missing/best.pt"),
            "weights file not found: runs/missing/best.pt");
  EXPECT_EQ(engine::zoo_names().size(), 20u);
  EXPECT_EQ(engine::fresh_model_names().front(), "yolov8n.yaml");
}

TEST(Preflight, TheNearestNameIsOneThatNoOtherTies) {
  const std::vector<std::string> keys{"epochs", "imgsz", "batch", "lr0", "lrf"};
  EXPECT_EQ(files::nearest_name("epoch", keys), "epochs");
  EXPECT_EQ(files::nearest_name("imgzs", keys), "imgsz");  // a swap is one edit
  EXPECT_EQ(files::nearest_name("BATCH", keys), "batch");
  EXPECT_EQ(files::nearest_name("lr", keys), "");  // lr0 and lrf tie
  EXPECT_EQ(files::nearest_name("momentum", keys), "");
}

TEST(Preflight, OptimizersAreTheFormsWithTheNearestSuggested) {
  EXPECT_EQ(refusal_of([] { check_optimizer("AdamW"); }), "");
  EXPECT_EQ(refusal_of([] { check_optimizer("adamw"); }),
            "optimizer=adamw is not an optimizer; did you mean AdamW? (use SGD, Adam, AdamW or auto)");
}

}  // namespace
}  // namespace orvane::cli
