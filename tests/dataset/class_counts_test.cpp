#include "dataset/class_counts.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include "dataset/test_files.h"

using namespace orvane::dataset;
using orvane::test::write_file;

namespace {

std::vector<std::pair<QString, int>> as_pairs(const std::vector<ClassCount>& counts) {
  std::vector<std::pair<QString, int>> out;
  for (const ClassCount& c : counts) out.emplace_back(c.name, c.count);
  return out;
}

using Rows = std::vector<std::pair<QString, int>>;

}  // namespace

TEST(ClassCounts, CountsPerClassLargestFirst) {
  QTemporaryDir dir;
  write_file(dir.filePath("a.png"), "");
  write_file(dir.filePath("a.txt"),
             "0 0.1 0.1 0.2 0.2 0.3 0.1\n0 0.5 0.5 0.6 0.6 0.7 0.5\r\n1 .1 .1 .2 .2 .3 .1\n");
  write_file(dir.filePath("b.jpg"), "");
  write_file(dir.filePath("b.txt"), "1 0 0 1 1\n\n   \n1 0 0 1 1\n0 0 0 1 1\n1\n1 x\n");
  write_file(dir.filePath("c.png"), "");  // no label file: skipped silently
  const QStringList images{dir.filePath("a.png"), dir.filePath("b.jpg"), dir.filePath("c.png")};
  const ClassCounts counts = count_classes(images, {"bolt", "nut"});
  EXPECT_EQ(as_pairs(counts.counts), (Rows{{"bolt", 3}, {"nut", 5}}));  // first-met order
  EXPECT_EQ(counts.skipped_lines, 0);
  EXPECT_EQ(counts.skipped_files, 0);
  const std::vector<ClassCount> rows = sorted_by_count(counts.counts);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(count_row_text(rows[0]), "nut (5)");
  EXPECT_EQ(count_row_text(rows[1]), "bolt (3)");
}

TEST(ClassCounts, IdsOutsideTheListAreNotCounted) {
  QTemporaryDir dir;
  write_file(dir.filePath("a.png"), "");
  write_file(dir.filePath("a.txt"), "2 0 0\n-1 0 0\n+1 0 0\n99999999999999999999 0 0\n0\n");
  const ClassCounts counts = count_classes({dir.filePath("a.png")}, {"bolt", "nut"});
  EXPECT_EQ(as_pairs(counts.counts), (Rows{{"nut", 1}, {"bolt", 1}}));
  EXPECT_EQ(counts.skipped_lines, 0);
  // With no classes at all nothing is counted.
  EXPECT_TRUE(count_classes({dir.filePath("a.png")}, {}).counts.empty());
}

TEST(ClassCounts, SkipsNonIntegerIdsAndUnreadableFilesAndSaysSo) {
  QTemporaryDir dir;
  write_file(dir.filePath("a.png"), "");
  write_file(dir.filePath("a.txt"), "bolt 0 0\n1.0 0 0\n0 0 0\n0x1 0 0\n");
  write_file(dir.filePath("b.png"), "");
  QDir(dir.path()).mkdir("b.txt");  // exists, but cannot be read as a file
  const ClassCounts counts =
      count_classes({dir.filePath("a.png"), dir.filePath("b.png")}, {"bolt"});
  EXPECT_EQ(as_pairs(counts.counts), (Rows{{"bolt", 1}}));
  EXPECT_EQ(counts.skipped_lines, 3);
  EXPECT_EQ(counts.skipped_files, 1);
  EXPECT_EQ(skipped_note(counts),
            "Skipped 3 lines whose class id is not an integer and 1 unreadable label file.");
  EXPECT_EQ(skipped_note(ClassCounts{}), "");
  ClassCounts one_line;
  one_line.skipped_lines = 1;
  EXPECT_EQ(skipped_note(one_line), "Skipped 1 line whose class id is not an integer.");
}

TEST(ClassCounts, EqualCountsKeepFirstMetOrder) {
  QTemporaryDir dir;
  write_file(dir.filePath("1.png"), "");
  write_file(dir.filePath("1.txt"), "3 0 0\n0 0 0\n");
  write_file(dir.filePath("2.png"), "");
  write_file(dir.filePath("2.txt"), "2 0 0\n1 0 0\n1 0 0\n");
  const QStringList classes{"a", "b", "c", "d"};
  const ClassCounts counts = count_classes({dir.filePath("1.png"), dir.filePath("2.png")}, classes);
  EXPECT_EQ(as_pairs(sorted_by_count(counts.counts)),
            (Rows{{"b", 2}, {"d", 1}, {"a", 1}, {"c", 1}}));
  // A stable sort of a longer run of ties (an unstable sort would shuffle these).
  std::vector<ClassCount> many;
  for (int i = 0; i < 40; ++i) many.push_back({QString::number(i), i % 3});
  const std::vector<ClassCount> sorted = sorted_by_count(many);
  for (size_t i = 1; i < sorted.size(); ++i) {
    ASSERT_GE(sorted[i - 1].count, sorted[i].count);
    if (sorted[i - 1].count == sorted[i].count) {
      EXPECT_LT(sorted[i - 1].name.toInt(), sorted[i].name.toInt());
    }
  }
}

TEST(ClassCounts, DuplicateClassNamesShareOneRow) {
  QTemporaryDir dir;
  write_file(dir.filePath("a.png"), "");
  write_file(dir.filePath("a.txt"), "0 0 0\n1 0 0\n");
  const ClassCounts counts = count_classes({dir.filePath("a.png")}, {"bolt", "bolt"});
  EXPECT_EQ(as_pairs(counts.counts), (Rows{{"bolt", 2}}));
}
