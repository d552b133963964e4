#include "dataset/dataset_split.h"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <filesystem>
#include <set>

#include "dataset/test_files.h"
#include "imaging/image_files.h"

using namespace orvane::dataset;
using orvane::test::read_file;
using orvane::test::write_file;

TEST(SplitSizes, TruncateTheDoubleProducts) {
  struct Case {
    int n, train, val, test;
    SplitSizes expected;
  };
  const Case cases[] = {
      {10, 70, 20, 10, {7, 2, 1}}, {1, 70, 20, 10, {0, 0, 1}},      {90, 70, 20, 10, {62, 18, 10}},
      {0, 70, 20, 10, {0, 0, 0}},  {7, 0, 0, 100, {0, 0, 7}},       {7, 100, 0, 0, {7, 0, 0}},
      {3, 34, 33, 33, {1, 0, 2}},  {100, 70, 20, 10, {70, 20, 10}},
  };
  for (const Case& c : cases) {
    const SplitSizes s = split_sizes(c.n, c.train / 100.0, c.val / 100.0);
    EXPECT_EQ(s.train, c.expected.train) << c.n;
    EXPECT_EQ(s.val, c.expected.val) << c.n;
    EXPECT_EQ(s.test, c.expected.test) << c.n;
  }
}

TEST(PolygonToBox, Examples) {
  const std::pair<const char*, const char*> cases[] = {
      {"2 0.1 0.2 0.3 0.4 0.2 0.6", "2 0.200000 0.400000 0.200000 0.400000"},
      {"0 0.5 0.5", "0 0.500000 0.500000 0.000000 0.000000"},
      {"1 0.2 0.3 0.6 0.9", "1 0.400000 0.600000 0.400000 0.600000"},      // box form: two points
      {"\t07  0.1 0.1 0.4 \r", "07 0.250000 0.100000 0.300000 0.000000"},  // odd count, token kept
      {"3 -0.5 1.5 2 0.25", "3 0.750000 0.875000 2.500000 1.250000"},      // no clamping
      {"0 0.1234565 0 0.1234575 0", "0 0.123457 0.000000 0.000001 0.000000"},
      // Exact binary ties round to even, as every label writer does (not up: 0.476563).
      {"0 0.4765625 0.5 0.4765625 0.5", "0 0.476562 0.500000 0.000000 0.000000"},
      {"0 1.4765625 0.0078125 1.4765625 0.0078125", "0 1.476562 0.007812 0.000000 0.000000"},
  };
  for (const auto& [line, expected] : cases)
    EXPECT_EQ(polygon_line_to_box(line).value().value_or("<none>"), expected) << line;
  // Too short to be a shape: skipped, not an error.
  EXPECT_FALSE(polygon_line_to_box("0 0.5").value());
  EXPECT_FALSE(polygon_line_to_box("   ").value());
  const auto bad = polygon_line_to_box("0 0.5 abc");
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.error(), "'abc' is not a number");

  EXPECT_EQ(detection_label_lines({"0 0.5", "", "1 0 0 1 1"}).value(),
            QStringList{"1 0.500000 0.500000 1.000000 1.000000"});
  EXPECT_EQ(detection_label_lines({}).value(), QStringList{});
  const auto bad_file = detection_label_lines({"0 0 0 1 1", "0 0 0", "0 0 0 1 ,"});
  EXPECT_FALSE(bad_file);
  EXPECT_EQ(bad_file.error(), "line 3: ',' is not a number");
}

TEST(DataYaml, TextAsTheTrainerReadsIt) {
  EXPECT_EQ(data_yaml_text("D:\\sets\\parts", {"bolt", "nut"}),
            "path: D:/sets/parts\ntrain: train/images\nval: val/images\ntest: test/images\n\n"
            "names:\n  0: bolt\n  1: nut\n");
  EXPECT_TRUE(data_yaml_text("/out", {}).endsWith("\n\nnames:\n"));
  EXPECT_EQ(yaml_scalar("traffic light"), "traffic light");
  EXPECT_EQ(yaml_scalar("a: b"), "'a: b'");
  EXPECT_EQ(yaml_scalar("it's"), "'it''s'");
  EXPECT_EQ(yaml_scalar("yes"), "'yes'");
  EXPECT_EQ(yaml_scalar("tab\there"), "\"tab\\there\"");
}

TEST(DataYaml, EveryNameReadsBackExactlyThroughYamlCpp) {
  // clang-format off
  const QStringList plain{"bolt", "traffic light", "Schraube-M6", "болт", "café_au_lait", "a-b",
                          "x.y", "back\\slash", "hard hat (worn)", "a:b", "C:/data"};
  const QStringList awkward{
      "a: b", "ends:", "#hash", "x #y", "x#y", "'quoted'", "\"dq\"", "it's", "yes", "No", "ON",
      "off", "y", "n", "null", "Null", "~", "true", "FALSE", "123", "1.5", "-7", "+1", "0x1F",
      "0o17", "1e3", ".5", ".inf", "-.INF", ".NaN", "1_000", "1:20", "2001-12-14", " lead",
      "trail ", "", " ", "-", "- x", "? x", "[a]", "{a}", "a,b", "*alias", "&anchor", "!tag", "|",
      ">", "%dir", "@x", "`x", "<<", "=", "---", "...", "tab\tin", "new\nline", "cr\rx",
      "bell\x07", QString(QChar(0)) + "nul", QString(QChar(0x85)) + "x",
      "line" + QString(QChar(0x2028)) + "sep", QString(QChar(0xFEFF)) + "bom", "quote\" and '"};
  // clang-format on
  QStringList all = plain + awkward;
  const QString path = "/data/sets: v2 #1/it's";
  const std::string text = data_yaml_text(path, all).toStdString();
  const YAML::Node root = YAML::Load(text);
  EXPECT_EQ(root["path"].as<std::string>(), path.toStdString());
  EXPECT_EQ(root["train"].as<std::string>(), "train/images");
  const YAML::Node names = root["names"];
  ASSERT_TRUE(names.IsMap());
  ASSERT_EQ(names.size(), size_t(all.size()));
  for (qsizetype i = 0; i < all.size(); ++i) {
    const YAML::Node node = names[int(i)];
    ASSERT_TRUE(node.IsScalar()) << i << ": " << all[i].toStdString();
    EXPECT_EQ(node.as<std::string>(), all[i].toStdString()) << i;
    // Plain names stay plain ("?" tag); the rest are quoted ("!"), so no parser resolves them to
    // a boolean, null or number.
    EXPECT_EQ(node.Tag(), i < plain.size() ? "?" : "!") << all[i].toStdString();
  }
}

TEST(Shuffle, SeedGivesOneOrderAndEveryPermutationIsPossible) {
  std::vector<LabeledImage> pairs;
  for (int i = 0; i < 30; ++i) pairs.push_back({QString::number(i), QString::number(i) + ".txt"});
  auto a = pairs, b = pairs, c = pairs, d = pairs, e = pairs;
  shuffle_pairs(a, 42);
  shuffle_pairs(b, 42);
  shuffle_pairs(c, 43);
  shuffle_pairs(d, std::nullopt);
  shuffle_pairs(e, std::nullopt);
  const auto order = [](const std::vector<LabeledImage>& v) {
    QStringList out;
    for (const auto& p : v) out << p.image;
    return out;
  };
  EXPECT_EQ(order(a), order(b));
  EXPECT_NE(order(a), order(c));
  EXPECT_NE(order(d), order(e));  // unseeded: 1 in 30! to fail by chance
  QStringList sorted = order(a);
  sorted.sort();
  QStringList original = order(pairs);
  original.sort();
  EXPECT_EQ(sorted, original);
  // Every position is reachable for the first element (a biased shuffle often misses some).
  std::set<QString> firsts;
  for (std::uint64_t seed = 0; seed < 2000; ++seed) {
    auto small = std::vector<LabeledImage>(pairs.begin(), pairs.begin() + 5);
    shuffle_pairs(small, seed);
    firsts.insert(small.front().image);
  }
  EXPECT_EQ(firsts.size(), 5u);
}

namespace {

// An annotator folder: n images with labels "i.txt" (one square per label), plus extras.
struct Dataset {
  QTemporaryDir source, output;
  QStringList images;
  explicit Dataset(int n) {
    for (int i = 0; i < n; ++i) {
      const QString image = source.filePath(QStringLiteral("img%1.jpg").arg(i));
      write_file(image, QByteArray("jpegbytes") + QByteArray::number(i));
      write_file(orvane::label_path_for(image), "0 0.1 0.2 0.3 0.4 0.2 0.6\n1 0.5 0.5\n");
      images << image;
    }
  }
  QStringList names_in(const QString& relative) const {
    return QDir(output.filePath(relative)).entryList(QDir::Files, QDir::Name);
  }
  ExportResult run(LabelFormat format, double train = 0.7, double val = 0.2,
                   std::optional<std::uint64_t> seed = 1) {
    auto pairs = annotated_pairs(images);
    shuffle_pairs(pairs, seed);
    return export_split(pairs, {"bolt", "nut"}, {output.path(), format, train, val});
  }
};

std::filesystem::file_time_type mtime(const QString& path) {
  return std::filesystem::last_write_time(path.toStdString());
}

}  // namespace

TEST(ExportSplit, LayoutCountsAndDetectionLabels) {
  Dataset set(10);
  write_file(set.source.filePath("unlabelled.png"), "png");
  set.images << set.source.filePath("unlabelled.png");
  write_file(set.source.filePath("empty.png"), "png");
  write_file(set.source.filePath("empty.txt"), "");
  set.images << set.source.filePath("empty.png");

  const ExportResult result = set.run(LabelFormat::Detection);
  ASSERT_TRUE(result.status.ok()) << result.status.error().toStdString();
  EXPECT_EQ(result.sizes.train, 7);  // 11 pairs: trunc(7.7), trunc(2.2), rest
  EXPECT_EQ(result.sizes.val, 2);
  EXPECT_EQ(result.sizes.test, 2);
  QStringList all_images;
  for (const char* split : {"train", "val", "test"}) {
    const QStringList images = set.names_in(QString(split) + "/images");
    QStringList stems, label_stems;
    for (const QString& name : images) stems << QFileInfo(name).completeBaseName();
    for (const QString& name : set.names_in(QString(split) + "/labels"))
      label_stems << QFileInfo(name).completeBaseName();
    EXPECT_EQ(stems, label_stems) << split;  // every image has its label beside it
    all_images += images;
  }
  EXPECT_EQ(all_images.size(), 11);
  EXPECT_FALSE(all_images.contains("unlabelled.png"));

  // The empty label made its image a pair and gave an empty converted file.
  const QString expected_empty = [&] {
    for (const char* split : {"train", "val", "test"})
      if (QFileInfo::exists(set.output.filePath(QString(split) + "/labels/empty.txt")))
        return set.output.filePath(QString(split) + "/labels/empty.txt");
    return QString();
  }();
  ASSERT_FALSE(expected_empty.isEmpty());
  EXPECT_EQ(read_file(expected_empty), "");
  // Converted labels are new files with the usual permissions, like any file made here.
  write_file(set.output.filePath("probe"), "");
  EXPECT_EQ(QFileInfo(set.output.filePath("train/labels/" + set.names_in("train/labels").value(0)))
                .permissions(),
            QFileInfo(set.output.filePath("probe")).permissions());
  // A polygon became its box; a single point became a zero-size box.
  const QString converted = set.names_in("train/labels").filter("img").value(0);
  EXPECT_EQ(read_file(set.output.filePath("train/labels/" + converted)),
            "0 0.200000 0.400000 0.200000 0.400000\n1 0.500000 0.500000 0.000000 0.000000\n");
  EXPECT_EQ(read_file(set.output.filePath("data.yaml")),
            ("path: " + QDir(set.output.path()).absolutePath() +
             "\ntrain: train/images\nval: val/images\ntest: test/images\n\nnames:\n  0: bolt\n"
             "  1: nut\n")
                .toUtf8());
}

TEST(ExportSplit, OnePairStillCreatesAllSixFolders) {
  Dataset set(1);
  const ExportResult result = set.run(LabelFormat::Detection);
  ASSERT_TRUE(result.status.ok());
  for (const char* split : {"train", "val", "test"})
    for (const char* kind : {"images", "labels"})
      EXPECT_TRUE(QFileInfo(set.output.filePath(QString(split) + "/" + kind)).isDir());
  EXPECT_EQ(set.names_in("test/images"), QStringList{"img0.jpg"});
  EXPECT_TRUE(set.names_in("train/images").isEmpty());
}

TEST(ExportSplit, AllToOneSplit) {
  Dataset set(6);
  ASSERT_TRUE(set.run(LabelFormat::Detection, 0, 0).status.ok());
  EXPECT_EQ(set.names_in("test/images").size(), 6);
  Dataset other(6);
  ASSERT_TRUE(other.run(LabelFormat::Detection, 1, 0).status.ok());
  EXPECT_EQ(other.names_in("train/images").size(), 6);
  EXPECT_TRUE(other.names_in("test/images").isEmpty());
}

TEST(ExportSplit, SegmentationCopiesKeepContentsTimesAndPermissions) {
  Dataset set(3);
  write_file(set.images[0], QByteArray(3 << 20, 'x'));  // more than one copy chunk
  const QDateTime old_time(QDate(2001, 2, 3), QTime(4, 5, 6, 789));
  for (const QString& image : set.images) {
    for (const QString& path : {image, orvane::label_path_for(image)}) {
      QFile f(path);
      ASSERT_TRUE(f.open(QIODevice::ReadWrite));
      ASSERT_TRUE(f.setFileTime(old_time, QFileDevice::FileModificationTime));
      ASSERT_TRUE(f.setFileTime(old_time.addDays(1), QFileDevice::FileAccessTime));
    }
  }
  // Read-only sources, as photos copied off a camera card often are.
  for (const QString& image : set.images)
    std::filesystem::permissions(image.toStdString(), std::filesystem::perms(0444));
  std::filesystem::permissions(set.images[1].toStdString(), std::filesystem::perms(0640));
  ASSERT_TRUE(set.run(LabelFormat::Segmentation, 0, 0).status.ok());
  for (const QString& image : set.images) {
    const QString name = QFileInfo(image).fileName();
    const QString copy = set.output.filePath("test/images/" + name);
    const QString label_copy =
        set.output.filePath("test/labels/" + QFileInfo(orvane::label_path_for(image)).fileName());
    EXPECT_EQ(QFileInfo(copy).lastRead(), old_time.addDays(1));  // before reading it below
    EXPECT_EQ(read_file(copy), read_file(image));
    EXPECT_EQ(read_file(label_copy), read_file(orvane::label_path_for(image)));
    EXPECT_EQ(mtime(copy), mtime(image)) << name.toStdString();
    EXPECT_EQ(mtime(label_copy), mtime(orvane::label_path_for(image)));
    EXPECT_EQ(std::filesystem::status(copy.toStdString()).permissions(),
              std::filesystem::status(image.toStdString()).permissions());
  }
  // A second export replaces the read-only copies of the first and leaves no temporary behind.
  ASSERT_TRUE(set.run(LabelFormat::Segmentation, 0, 0).status.ok());
  EXPECT_EQ(QDir(set.output.filePath("test/images")).entryList(QDir::Files | QDir::Hidden).size(),
            3);
}

TEST(ExportSplit, SecondRunOverwritesAndKeepsOthers) {
  Dataset set(4);
  ASSERT_TRUE(set.run(LabelFormat::Detection, 1, 0).status.ok());
  write_file(set.output.filePath("train/images/stray.png"), "stray");
  write_file(set.images[0], "changed");
  write_file(orvane::label_path_for(set.images[0]), "5 0 0 1 1\n");
  ASSERT_TRUE(set.run(LabelFormat::Detection, 1, 0).status.ok());
  EXPECT_EQ(read_file(set.output.filePath("train/images/img0.jpg")), "changed");
  EXPECT_EQ(read_file(set.output.filePath("train/labels/img0.txt")),
            "5 0.500000 0.500000 1.000000 1.000000\n");
  EXPECT_EQ(read_file(set.output.filePath("train/images/stray.png")), "stray");
}

TEST(ExportSplit, LabelRemovedAfterListingLeavesTheImageWithoutOne) {
  Dataset set(2);
  auto pairs = annotated_pairs(set.images);
  ASSERT_EQ(pairs.size(), 2u);
  QFile::remove(orvane::label_path_for(set.images[1]));
  const ExportResult result =
      export_split(pairs, {}, {set.output.path(), LabelFormat::Detection, 1, 0});
  ASSERT_TRUE(result.status.ok());
  EXPECT_EQ(set.names_in("train/images").size(), 2);
  EXPECT_EQ(set.names_in("train/labels"), QStringList{"img0.txt"});
}

TEST(ExportSplit, AFailureStopsNamesTheFileAndWritesNoManifest) {
  Dataset set(3);
  write_file(orvane::label_path_for(set.images[1]), "0 0.1 0.1 0.2 0.2\n0 0.1 oops 0.2 0.2\n");
  const ExportResult bad_number = set.run(LabelFormat::Detection, 1, 0);
  ASSERT_FALSE(bad_number.status.ok());
  EXPECT_TRUE(bad_number.status.error().contains(orvane::label_path_for(set.images[1])));
  EXPECT_TRUE(bad_number.status.error().contains("line 2: 'oops' is not a number"))
      << bad_number.status.error().toStdString();
  EXPECT_FALSE(QFileInfo::exists(set.output.filePath("data.yaml")));
  EXPECT_FALSE(QFileInfo::exists(set.output.filePath("train/labels/img1.txt")));

  // A destination that cannot be written (a folder in the way of the image copy).
  Dataset blocked(2);
  QDir().mkpath(blocked.output.filePath("train/images/img1.jpg"));
  const ExportResult copy_failed = blocked.run(LabelFormat::Segmentation, 1, 0);
  ASSERT_FALSE(copy_failed.status.ok());
  EXPECT_TRUE(copy_failed.status.error().contains("img1.jpg"))
      << copy_failed.status.error().toStdString();
  EXPECT_FALSE(QFileInfo::exists(blocked.output.filePath("data.yaml")));
}

TEST(ExportSplit, NeverWritesOverTheSourceFiles) {
  // Images and labels in OUT/train/labels: the label copies would land on the sources themselves.
  QTemporaryDir out;
  const QString folder = out.filePath("train/labels");
  write_file(folder + "/a.png", "png");
  write_file(folder + "/a.txt", "0 0.1 0.2 0.3 0.4 0.2 0.6\n");
  const auto pairs = annotated_pairs({folder + "/a.png"});
  const ExportResult segmentation =
      export_split(pairs, {"bolt"}, {out.path(), LabelFormat::Segmentation, 1, 0});
  EXPECT_TRUE(segmentation.status.ok()) << segmentation.status.error().toStdString();
  const ExportResult detection =
      export_split(pairs, {"bolt"}, {out.path(), LabelFormat::Detection, 1, 0});
  EXPECT_FALSE(detection.status.ok());
  EXPECT_TRUE(detection.status.error().contains("source label file itself"));
  EXPECT_EQ(read_file(folder + "/a.txt"), "0 0.1 0.2 0.3 0.4 0.2 0.6\n");
}

// Cancelled as the fifth pair begins: five images with their labels, nothing begun after, and
// no data.yaml, whose presence marks a complete export.
TEST(ExportSplit, AStopEndsTheExportAfterThePairInHandWithoutTheManifest) {
  Dataset set(10);
  auto pairs = annotated_pairs(set.images);
  std::atomic_bool stop{false};
  const ExportResult result = export_split(
      pairs, {"bolt", "nut"}, {set.output.path(), LabelFormat::Segmentation, 0.7, 0.2},
      [&stop](int done, int total) {
        EXPECT_EQ(total, 10);
        if (done == 4) stop = true;
      },
      &stop);
  EXPECT_TRUE(result.status.ok());
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.copied, 5);
  EXPECT_EQ(set.names_in("train/images").size(), 5);
  EXPECT_EQ(set.names_in("train/labels").size(), 5);
  for (const QString& name : set.names_in("train/labels"))
    EXPECT_EQ(read_file(set.output.filePath("train/labels/" + name)),
              "0 0.1 0.2 0.3 0.4 0.2 0.6\n1 0.5 0.5\n");
  EXPECT_FALSE(QFileInfo::exists(set.output.filePath("data.yaml")));
}
