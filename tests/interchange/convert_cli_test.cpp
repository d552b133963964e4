// `orvane convert` as a script runs it: a summary line, the problems on standard error, and an
// exit status that says whether everything came across.
#include <gtest/gtest.h>

#include "common/run_orvane.h"
#include "interchange/interchange_fixture.h"

using namespace orvane::test;

namespace {

ToolRun convert(const QStringList& words) { return run_orvane("convert", words); }

}  // namespace

TEST(ConvertCli, RoundTripsThroughCocoWithASummaryLine) {
  QTemporaryDir dir;
  make_yolo_folder(dir.filePath("yolo"));
  const ToolRun out = convert(
      {"from=yolo", "to=coco", "source=" + dir.filePath("yolo"), "output=" + dir.filePath("coco")});
  ASSERT_EQ(out.code, 0) << out.err.toStdString();
  // c.png has no label file: it goes out as an image with no objects, and that is said.
  EXPECT_EQ(out.out.toStdString(),
            ("Converted 3 images with 4 objects in 3 classes from yolo to coco into " +
             dir.filePath("coco") + "; 1 changed (1 images without a label file)\n")
                .toStdString());
  EXPECT_TRUE(out.err.contains("orvane convert: 3/3 images"));
  const ToolRun back =
      convert({"from=coco", "to=yolo", "source=" + dir.filePath("coco/annotations.json"),
               "output=" + dir.filePath("back")});
  ASSERT_EQ(back.code, 0) << back.err.toStdString();
  EXPECT_EQ(get(dir.filePath("back/a.txt")), get(dir.filePath("yolo/a.txt")));
  EXPECT_EQ(get(dir.filePath("back/classes.txt")), get(dir.filePath("yolo/classes.txt")));
}

TEST(ConvertCli, LossesExitNonZeroAndBadInputWritesNothing) {
  QTemporaryDir dir;
  put_image(dir.filePath("coco/x.png"), 10, 10);
  put(dir.filePath("coco/c.json"), R"({"images": [{"id": 1, "file_name": "x.png"}],
    "categories": [{"id": 1, "name": "a"}], "annotations": [
      {"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 5, 5], "iscrowd": 1},
      {"id": 2, "image_id": 1, "category_id": 1, "bbox": [0, 0, 5, 5]}]})");
  const ToolRun lossy = convert(
      {"from=coco", "to=yolo", "source=" + dir.filePath("coco"), "output=" + dir.filePath("y")});
  EXPECT_EQ(lossy.code, 1);
  EXPECT_TRUE(lossy.out.endsWith("; 1 not converted (1 crowd regions)\n"))
      << lossy.out.toStdString();
  EXPECT_TRUE(lossy.err.contains("orvane convert: c.json: annotation 1 on x.png: a crowd region"));
  EXPECT_EQ(get(dir.filePath("y/x.txt")), "0 0.250000 0.250000 0.500000 0.500000\n");

  put(dir.filePath("broken/c.json"), "{\"images\": [");
  const ToolRun broken = convert(
      {"from=coco", "to=yolo", "source=" + dir.filePath("broken"), "output=" + dir.filePath("z")});
  EXPECT_EQ(broken.code, 1);
  EXPECT_EQ(broken.out, "");
  EXPECT_EQ(broken.err.count('\n'), 1) << broken.err.toStdString();
  EXPECT_TRUE(broken.err.startsWith("orvane convert: Nothing converted: "));
  EXPECT_FALSE(QFileInfo::exists(dir.filePath("z")));

  const ToolRun typo = convert({"from=xml", "to=yolo", "source=a", "output=b"});
  EXPECT_EQ(typo.code, 2);
  EXPECT_EQ(typo.err, "orvane convert: from=xml must be coco, voc, labelme or yolo\n");
  const ToolRun help = convert({"help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.contains("max_json_mb")) << help.out.toStdString();
}
