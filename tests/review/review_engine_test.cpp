// A real model reviews a drawn shapes set with planted mistakes: every kind is found on its image,
// the planted images rank first, broken files become findings, and `orvane review` writes the CSV.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <fstream>
#include <map>
#include <sstream>
#include <set>

#include "common/run_orvane.h"
#include "engine/pt_test_files.h"
#include "engine/shapes_data.h"
#include "engine/yolo.h"
#include "review/review.h"

namespace orvane::review {
namespace {

namespace fs = std::filesystem;

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_text(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

struct Box {
  int cls;
  double cx, cy, w, h;
};
Box parse_box(const std::string& line) {
  Box b{};
  std::istringstream in(line);
  in >> b.cls >> b.cx >> b.cy >> b.w >> b.h;
  return b;
}
std::string line_of(const Box& b) {
  std::ostringstream out;
  out << b.cls << " " << b.cx << " " << b.cy << " " << b.w << " " << b.h << "\n";
  return out.str();
}

const Finding* find_kind(const ImageReview& image, Kind kind) {
  for (const Finding& f : image.findings)
    if (f.kind == kind) return &f;
  return nullptr;
}

class ReviewEngineTest : public ::testing::Test {
 protected:
  QTemporaryDir tmp;
  fs::path root = fs::path(tmp.path().toStdString()) / "shapes";
  fs::path data;
  engine::YOLO model{engine::testing::real_weights().string()};
  ReviewOptions options;

  void SetUp() override {
    data = engine::make_dataset(root, /*polygons=*/false, 14, 96);
    options.data_yaml = QString::fromStdString(data.string());
    options.split = "val";
    options.imgsz = 96;
  }
  fs::path label(const std::string& stem) { return root / "labels" / "train" / (stem + ".txt"); }
  static std::string stem_of(const QString& path) {
    return fs::path(path.toStdString()).stem().string();
  }
};

TEST_F(ReviewEngineTest, FindsEveryPlantedKindAndRanksThemFirst) {
  const Result<ReviewReport> first = review_images(model, options);
  ASSERT_TRUE(first) << first.error().toStdString();
  const ReviewReport& clean = *first;
  ASSERT_EQ(clean.reviewed, 14);
  std::vector<std::string> agreeing;  // images where the model and the labels agree
  for (const ImageReview& image : clean.images)
    if (image.findings.empty()) agreeing.push_back(stem_of(image.image_path));
  ASSERT_GE(agreeing.size(), 7u) << "the fixture model should agree with most drawn labels";

  // One mistake per image, of each kind; agreeing[5] stays as it is.
  const std::map<std::string, Kind> planted{{agreeing[0], Kind::Unlabelled},
                                            {agreeing[1], Kind::ClassDisagreement},
                                            {agreeing[2], Kind::LooseOutline},
                                            {agreeing[3], Kind::Duplicate},
                                            {agreeing[4], Kind::Missed}};
  write_text(label(agreeing[0]), "");
  Box b = parse_box(read_text(label(agreeing[1])));
  b.cls = 1 - b.cls;
  write_text(label(agreeing[1]), line_of(b));
  b = parse_box(read_text(label(agreeing[2])));
  b.cx += b.cx < 0.5 ? 0.45 * b.w : -0.45 * b.w;
  write_text(label(agreeing[2]), line_of(b));
  b = parse_box(read_text(label(agreeing[3])));
  Box copy = b;
  copy.cx += 0.01;
  write_text(label(agreeing[3]), line_of(b) + line_of(copy));
  b = parse_box(read_text(label(agreeing[4])));
  const Box spurious{b.cls, b.cx < 0.5 ? 0.9 : 0.1, b.cy < 0.5 ? 0.9 : 0.1, 0.12, 0.12};
  write_text(label(agreeing[4]), line_of(b) + line_of(spurious));
  // A broken label file and an image that does not decode.
  write_text(label(agreeing[6]), "0 0.5 zero 0.2 0.2\n");
  write_text(root / "images" / "train" / "broken.png", "not a picture");

  const Result<ReviewReport> second = review_images(model, options);
  ASSERT_TRUE(second) << second.error().toStdString();
  const ReviewReport& report = *second;
  ASSERT_EQ(report.reviewed, 15);
  std::map<std::string, const ImageReview*> by_stem;
  for (const ImageReview& image : report.images) by_stem[stem_of(image.image_path)] = &image;

  for (const auto& [stem, kind] : planted) {
    const Finding* f = find_kind(*by_stem.at(stem), kind);
    ASSERT_NE(f, nullptr) << stem << " should show " << kind_name(kind).toStdString();
    const int planted_line = kind == Kind::Duplicate || kind == Kind::Missed ? 2 : 1;
    if (kind != Kind::Unlabelled) {
      EXPECT_EQ(f->line, planted_line) << stem;
    }
  }
  EXPECT_TRUE(by_stem.at(agreeing[5])->findings.empty());
  for (const std::string& stem : {agreeing[6], std::string("broken")}) {
    const ImageReview& image = *by_stem.at(stem);
    ASSERT_EQ(image.findings.size(), 1u) << stem;
    EXPECT_EQ(image.findings[0].kind, Kind::Unreadable);
    EXPECT_FALSE(image.findings[0].detail.isEmpty());
  }

  // The ranking: the two broken files, then the five planted mistakes, then anything else.
  const std::vector<int> ranked = ranked_images(report);
  ASSERT_GE(ranked.size(), 7u);
  std::set<std::string> first_two, next_five;
  for (int k = 0; k < 2; ++k) first_two.insert(stem_of(report.images[size_t(ranked[size_t(k)])].image_path));
  for (int k = 2; k < 7; ++k) next_five.insert(stem_of(report.images[size_t(ranked[size_t(k)])].image_path));
  EXPECT_EQ(first_two, (std::set<std::string>{agreeing[6], "broken"}));
  std::set<std::string> planted_stems;
  for (const auto& [stem, kind] : planted) planted_stems.insert(stem);
  EXPECT_EQ(next_five, planted_stems);

  // The command line: one model load, the CSV, the summary, and exit 0 despite broken files.
  const QString csv = tmp.filePath("review.csv");
  const test::ToolRun run = test::run_orvane(
      "review", {"model=" + QString::fromStdString(engine::testing::real_weights().string()),
                 "data=" + options.data_yaml, "imgsz=96", "csv=" + csv});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains("15 image(s) reviewed")) << run.out.toStdString();
  EXPECT_TRUE(run.out.contains("1 duplicate")) << run.out.toStdString();
  EXPECT_TRUE(run.err.contains("review: 15/15")) << run.err.toStdString();
  QFile file(csv);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QList<QByteArray> rows = file.readAll().trimmed().split('\n');
  EXPECT_EQ(rows[0], "image,kind,class,confidence,iou,line,x1,y1,x2,y2,score,detail");
  EXPECT_TRUE(rows[1].contains(",unreadable,")) << rows[1].toStdString();
  EXPECT_GE(rows.size(), 8);
}

TEST_F(ReviewEngineTest, CommandRefusesBadArgumentsInOneLine) {
  const QString weights = QString::fromStdString(engine::testing::real_weights().string());
  test::ToolRun run = test::run_orvane("review", {"model=" + weights});
  EXPECT_EQ(run.code, 2);
  EXPECT_TRUE(run.err.contains("give either source=DIR or data=data.yaml")) << run.err.toStdString();
  run = test::run_orvane("review", {"model=" + weights, "data=" + options.data_yaml, "conf=2"});
  EXPECT_EQ(run.code, 2);
  run = test::run_orvane("review", {"model=" + tmp.filePath("none.pt"), "source=" + tmp.path()});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err.trimmed().count('\n'), 0) << run.err.toStdString();
  run = test::run_orvane("review", {"help"});
  EXPECT_EQ(run.code, 0);
  EXPECT_TRUE(run.out.contains("possibly unlabelled")) << run.out.toStdString();
}

}  // namespace
}  // namespace orvane::review
