#include "splitter/splitter_core.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <opencv2/imgcodecs.hpp>
#include <atomic>
#include <set>

#include "imaging/image_io.h"
#include "splitter/split_fixture.h"

using namespace orvane::splitter;
using orvane::test::position_image;
using orvane::test::write_bytes;
using orvane::test::write_image;

namespace {

QStringList texts(int parts) {
  QStringList out;
  for (const Grid& g : grid_options(parts)) out << grid_option_text(g);
  return out;
}

TEST(GridOptions, EveryDivisorByAscendingRows) {
  EXPECT_EQ(texts(1), QStringList({"1 Rows x 1 Cols"}));
  EXPECT_EQ(texts(4), QStringList({"1 Rows x 4 Cols", "2 Rows x 2 Cols", "4 Rows x 1 Cols"}));
  EXPECT_EQ(texts(7), QStringList({"1 Rows x 7 Cols", "7 Rows x 1 Cols"}));
  EXPECT_EQ(texts(12), QStringList({"1 Rows x 12 Cols", "2 Rows x 6 Cols", "3 Rows x 4 Cols",
                                    "4 Rows x 3 Cols", "6 Rows x 2 Cols", "12 Rows x 1 Cols"}));
  EXPECT_EQ(grid_options(100).size(), 9u);
  for (int n = 1; n <= 100; ++n)
    for (const Grid& g : grid_options(n)) EXPECT_EQ(g.rows * g.cols, n);
}

TEST(GridOptions, TextRoundTripsAndJunkIsRejected) {
  for (const Grid& g : grid_options(60)) EXPECT_EQ(parse_grid_option(grid_option_text(g)), g);
  EXPECT_EQ(parse_grid_option("12 Rows x 1 Cols"), (Grid{12, 1}));
  for (const char* junk : {"", "2 Rows x 2", "2 rows x 2 cols", "0 Rows x 4 Cols", "2x2",
                           " 2 Rows x 2 Cols", "-1 Rows x 4 Cols"})
    EXPECT_FALSE(parse_grid_option(junk).has_value()) << junk;
}

TEST(TileNames, IndexPaddedToTheDigitsOfThePartCount) {
  struct Case {
    int index, parts;
    const char* text;
  };
  for (const Case& c :
       {Case{1, 1, "1"}, Case{4, 4, "4"}, Case{9, 9, "9"}, Case{1, 10, "01"}, Case{3, 12, "03"},
        Case{12, 12, "12"}, Case{1, 100, "001"}, Case{100, 100, "100"}, Case{42, 99, "42"}})
    EXPECT_EQ(tile_index_text(c.index, c.parts), c.text) << c.index << "/" << c.parts;
  EXPECT_EQ(part_folder_name(7, 12), "part_07");
  EXPECT_EQ(part_folder_name(1, 4), "part_1");
}

TEST(TileNames, BaseNameUpToTheLastDotAndExtensionAsItWas) {
  EXPECT_EQ(tile_file_name("photo.JPG", 1, 4), "photo_part_1.JPG");
  EXPECT_EQ(tile_file_name("a.b.png", 1, 4), "a.b_part_1.png");
  EXPECT_EQ(tile_file_name("x.jpeg", 12, 12), "x_part_12.jpeg");
  EXPECT_EQ(tile_file_name("scan 01.WebP", 5, 100), "scan 01_part_005.WebP");
  EXPECT_EQ(tile_file_name("x.jpg", 1, 1), "x_part_1.jpg");
}

void expect_partition(int w, int h, const Grid& grid) {
  const auto rects = tile_rects(w, h, grid);
  ASSERT_EQ(rects.size(), size_t(grid.rows * grid.cols));
  cv::Mat cover(h, w, CV_8U, cv::Scalar(0));
  for (const cv::Rect& r : rects) {
    ASSERT_GE(r.width, 0);
    ASSERT_GE(r.height, 0);
    ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.x + r.width <= w && r.y + r.height <= h);
    if (!r.empty()) cover(r) += 1;
  }
  // Every pixel in exactly one tile.
  double lo, hi;
  cv::minMaxLoc(cover, &lo, &hi);
  EXPECT_EQ(lo, 1) << w << "x" << h;
  EXPECT_EQ(hi, 1) << w << "x" << h;
}

TEST(TileGeometry, LastRowAndColumnAbsorbTheRemainders) {
  // 10 x 7 as 2 x 2: heights 3 and 4, widths 5 and 5, row-major.
  const auto r = tile_rects(10, 7, {2, 2});
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0], cv::Rect(0, 0, 5, 3));
  EXPECT_EQ(r[1], cv::Rect(5, 0, 5, 3));
  EXPECT_EQ(r[2], cv::Rect(0, 3, 5, 4));
  EXPECT_EQ(r[3], cv::Rect(5, 3, 5, 4));
  const auto w = tile_rects(1001, 10, {1, 2});
  EXPECT_EQ(w[0].width, 500);
  EXPECT_EQ(w[1].width, 501);
  const auto tall = tile_rects(5, 23, {4, 1});
  EXPECT_EQ(tall[0].height, 5);
  EXPECT_EQ(tall[3], cv::Rect(0, 15, 5, 8));
  for (auto [w2, h2] : {std::pair{1, 1}, {7, 3}, {640, 480}, {1001, 999}, {3, 100}})
    for (const Grid& g : {Grid{1, 1}, Grid{3, 4}, Grid{1, 7}, Grid{10, 10}})
      expect_partition(w2, h2, g);
}

TEST(TileGeometry, ImageSmallerThanTheGridLeavesLeadingTilesEmpty) {
  const auto r = tile_rects(3, 2, {1, 4});
  EXPECT_TRUE(r[0].empty() && r[1].empty() && r[2].empty());
  EXPECT_EQ(r[3], cv::Rect(0, 0, 3, 2));
}

class SplitBatch : public ::testing::Test {
 protected:
  QString in(const QString& name) const { return QDir(input.path()).filePath(name); }
  QString out(const QString& rel) const { return QDir(output.path()).filePath(rel); }
  SplitReport run(int parts, Grid grid, bool subfolders) {
    SplitOptions options;
    options.input_dir = input.path();
    options.output_dir = output.path();
    options.parts = parts;
    options.grid = grid;
    options.use_subfolders = subfolders;
    return split_images(options, list_split_sources(input.path()));
  }
  // Every file under the output folder, relative, sorted.
  QStringList tree() const {
    QStringList files;
    QDir root(output.path());
    for (const QFileInfo& info :
         root.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
      if (info.isDir()) {
        for (const QString& f : QDir(info.filePath()).entryList(QDir::Files | QDir::Hidden))
          files << info.fileName() + "/" + f;
      } else {
        files << info.fileName();
      }
    }
    files.sort();
    return files;
  }
  QTemporaryDir input, output;
};

TEST_F(SplitBatch, ListsPatternByPatternIgnoringCaseSubfoldersAndOtherFiles) {
  for (const char* name : {"b.png", "a.JPG", "c.jpeg", "d.Bmp", "e.webp", "f.txt", "g.jpg.txt",
                           ".hidden.jpg", "h.jpg"})
    write_bytes(in(name), "x");
  QDir(input.path()).mkdir("sub");
  write_bytes(in("sub/x.jpg"), "x");
  QStringList names;
  for (const QString& path : list_split_sources(input.path())) names << QFileInfo(path).fileName();
  ASSERT_EQ(names.size(), 6);
  // "*.jpg" matches come first (in directory order), then jpeg, png, bmp, webp.
  EXPECT_EQ(QSet<QString>(names.begin(), names.begin() + 2), QSet<QString>({"a.JPG", "h.jpg"}));
  EXPECT_EQ(names.mid(2), QStringList({"c.jpeg", "b.png", "d.Bmp", "e.webp"}));
}

TEST_F(SplitBatch, TwelvePartsIntoSubfoldersWithExactPixels) {
  const cv::Mat source = position_image(41, 29);
  write_image(in("x.png"), source);
  write_image(in("x.bmp"), source);
  const SplitReport report = run(12, {3, 4}, true);
  EXPECT_EQ(report.images_found, 2);
  EXPECT_EQ(report.images_split, 2);
  EXPECT_EQ(report.tiles_written, 24);
  EXPECT_FALSE(report.has_problems());
  EXPECT_EQ(success_message(report), "Split 2 images into 24 tile parts.");
  const auto rects = tile_rects(41, 29, {3, 4});
  for (int i = 1; i <= 12; ++i) {
    const QString folder = part_folder_name(i, 12);
    EXPECT_EQ(QDir(out(folder)).entryList(QDir::Files).size(), 2) << folder.toStdString();
    for (const char* ext : {".png", ".bmp"}) {
      const QString path = out(folder + "/x_part_" + tile_index_text(i, 12) + ext);
      const cv::Mat tile = cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
      ASSERT_FALSE(tile.empty()) << path.toStdString();
      EXPECT_EQ(cv::norm(tile, source(rects[i - 1]), cv::NORM_INF), 0) << path.toStdString();
    }
  }
  EXPECT_EQ(tree().size(), 24);
}

TEST_F(SplitBatch, FlatOutputKeepsNamesAndFormatsAsGiven) {
  write_image(in("photo.JPG"), position_image(64, 48));
  write_image(in("a.b.png"), position_image(10, 7));
  const SplitReport report = run(4, {2, 2}, false);
  EXPECT_EQ(report.tiles_written, 8);
  EXPECT_EQ(tree(), QStringList({"a.b_part_1.png", "a.b_part_2.png", "a.b_part_3.png",
                                 "a.b_part_4.png", "photo_part_1.JPG", "photo_part_2.JPG",
                                 "photo_part_3.JPG", "photo_part_4.JPG"}));
  // The upper-case extension still selects the JPEG encoder.
  QFile jpeg(out("photo_part_1.JPG"));
  ASSERT_TRUE(jpeg.open(QIODevice::ReadOnly));
  EXPECT_TRUE(jpeg.read(2) == QByteArray("\xFF\xD8", 2));
  const cv::Mat bottom_right = cv::imread(out("a.b_part_4.png").toStdString());
  EXPECT_EQ(bottom_right.cols, 5);
  EXPECT_EQ(bottom_right.rows, 4);
}

TEST_F(SplitBatch, OneTileWritesTheWholeImageAndOverwritesOldTiles) {
  write_image(in("whole.png"), position_image(9, 5));
  write_bytes(out("whole_part_1.png"), "stale");
  const SplitReport report = run(1, {1, 1}, false);
  EXPECT_EQ(report.tiles_written, 1);
  const cv::Mat tile = cv::imread(out("whole_part_1.png").toStdString());
  EXPECT_EQ(cv::norm(tile, position_image(9, 5), cv::NORM_INF), 0);
}

TEST_F(SplitBatch, UndecodableFilesAreNamedAndNotCounted) {
  write_image(in("good.png"), position_image(20, 20));
  write_bytes(in("broken.jpg"), "not a jpeg at all");
  const SplitReport report = run(4, {1, 4}, true);
  EXPECT_EQ(report.images_found, 2);
  EXPECT_EQ(report.images_split, 1);
  EXPECT_EQ(report.tiles_written, 4);
  EXPECT_EQ(report.undecodable, QStringList({"broken.jpg"}));
  EXPECT_EQ(success_message(report), "Split 1 images into 4 tile parts.");
  EXPECT_TRUE(problems_message(report).contains("broken.jpg"));
}

TEST_F(SplitBatch, TilesThatCannotBeWrittenAreNotCounted) {
  write_image(in("p.png"), position_image(20, 20));
  ASSERT_TRUE(QDir(output.path()).mkdir("p_part_1.png"));  // a folder where a tile should go
  const SplitReport report = run(2, {1, 2}, false);
  EXPECT_EQ(report.tiles_written, 1);
  EXPECT_EQ(report.unwritable_tiles, QStringList({out("p_part_1.png")}));
  EXPECT_TRUE(problems_message(report).contains("p_part_1.png"));
  EXPECT_EQ(success_message(report), "Split 1 images into 1 tile parts.");
}

// Flat output, as with part folders, creates a missing output folder; one that cannot be created
// stops the batch with that one reason rather than a failure per tile.
TEST_F(SplitBatch, AMissingOutputFolderIsCreatedInBothLayouts) {
  write_image(in("p.png"), position_image(20, 20));
  for (const bool subfolders : {false, true}) {
    SplitOptions options;
    options.input_dir = input.path();
    options.output_dir = out(subfolders ? "nested/parts" : "missing/flat");
    options.parts = 2;
    options.grid = {1, 2};
    options.use_subfolders = subfolders;
    const SplitReport report = split_images(options, list_split_sources(input.path()));
    EXPECT_EQ(report.tiles_written, 2) << subfolders;
    EXPECT_FALSE(report.has_problems()) << problems_message(report).toStdString();
  }
  EXPECT_TRUE(QFileInfo::exists(out("missing/flat/p_part_2.png")));
  EXPECT_TRUE(QFileInfo::exists(out("nested/parts/part_2/p_part_2.png")));

  write_bytes(out("taken"), "a file where the output folder should go");
  SplitOptions options;
  options.input_dir = input.path();
  options.output_dir = out("taken/tiles");
  options.use_subfolders = false;
  const SplitReport report = split_images(options, list_split_sources(input.path()));
  EXPECT_EQ(report.tiles_written, 0);
  EXPECT_EQ(report.uncreatable_folders, QStringList({out("taken/tiles")}));
  EXPECT_TRUE(report.unwritable_tiles.isEmpty());
  EXPECT_TRUE(report.has_problems());
}

TEST_F(SplitBatch, AFolderThatCannotBeCreatedIsReportedAndTheBatchGoesOn) {
  write_image(in("p.png"), position_image(20, 20));
  write_image(in("q.png"), position_image(20, 20));
  write_bytes(out("part_2"), "a file where a folder should go");
  const SplitReport report = run(4, {2, 2}, true);
  EXPECT_EQ(report.tiles_written, 6);
  EXPECT_EQ(report.uncreatable_folders, QStringList({out("part_2")}));
  EXPECT_EQ(report.unwritable_tiles.size(), 2);
  EXPECT_TRUE(QFileInfo::exists(out("part_4/q_part_4.png")));
}

TEST_F(SplitBatch, EmptyTilesOfATinyImageAreSkippedAndSaid) {
  write_image(in("tiny.png"), position_image(3, 2));
  write_image(in("big.png"), position_image(40, 20));
  const SplitReport report = run(4, {1, 4}, true);
  EXPECT_EQ(report.tiles_written, 5);  // 1 from tiny (the last column holds it all), 4 from big
  EXPECT_EQ(report.empty_tiles_skipped, 3);
  EXPECT_EQ(report.images_with_empty_tiles, QStringList({"tiny.png (3 x 2 px)"}));
  EXPECT_TRUE(QFileInfo::exists(out("part_4/tiny_part_4.png")));
  EXPECT_FALSE(QFileInfo::exists(out("part_1/tiny_part_1.png")));
  EXPECT_TRUE(problems_message(report).contains("3 empty tile(s)"));
  EXPECT_FALSE(tree().join(' ').contains(".tmp"));  // no temporary left behind
}

TEST(ProblemsMessage, LongListsAreShortened) {
  SplitReport report;
  for (int i = 0; i < 25; ++i) report.unwritable_tiles << QString("t%1.png").arg(i);
  const QString text = problems_message(report);
  EXPECT_TRUE(text.startsWith("25 tile(s) could not be written:"));
  EXPECT_TRUE(text.contains("t9.png"));
  EXPECT_FALSE(text.contains("t10.png"));
  EXPECT_TRUE(text.contains("... and 15 more"));
  EXPECT_TRUE(problems_message(SplitReport{}).isEmpty());
}

}  // namespace

namespace {

// Cancelled while the second image is cut: that image gets all its tiles, none is begun after.
TEST_F(SplitBatch, AStopEndsTheBatchAfterTheImageInHand) {
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(cv::imwrite(in(QString("img%1.png").arg(i)).toStdString(),
                            cv::Mat(40, 40, CV_8UC3, cv::Scalar(i * 40, 10, 200))));
  SplitOptions options;
  options.input_dir = input.path();
  options.output_dir = output.path();
  options.parts = 4;
  options.grid = {2, 2};
  options.use_subfolders = false;
  std::atomic_bool stop{false};
  const SplitReport report = split_images(
      options, list_split_sources(input.path()),
      [&stop](int index, int, const QString&) {
        if (index == 1) stop = true;
      },
      &stop);
  EXPECT_TRUE(report.cancelled);
  EXPECT_EQ(report.images_processed, 2);
  EXPECT_EQ(report.tiles_written, 8);
  EXPECT_EQ(tree().size(), 8);
  for (const QString& tile : tree()) EXPECT_EQ(orvane::read_image_bgr(out(tile)).cols, 20);
  EXPECT_EQ(success_message(report),
            "Splitting cancelled after 2 of 5 images. Split 2 images into 8 tile parts.");
}

}  // namespace
