// Broken or hostile sources: each problem is one line, and the output folder either appears whole
// or not at all.
#include <gtest/gtest.h>

#include "interchange/convert.h"
#include "interchange/interchange_fixture.h"

using namespace orvane::interchange;
using namespace orvane::test;

namespace {

class BadInput : public ::testing::Test {
 protected:
  QString at(const QString& name) const { return dir.filePath(name); }
  ConvertOutcome run(Format from, const QString& source, Limits limits = {}) {
    request = ConvertRequest{from, Format::Yolo, at(source), at("out/result"), limits};
    return convert_dataset(request);
  }
  // A refused conversion writes nothing: not the output, not a staging folder.
  void expect_nothing_written() const { EXPECT_EQ(entries(at("out")), QStringList()); }
  QTemporaryDir dir;
  ConvertRequest request;
};

const char* const kOneImage =
    R"("images": [{"id": 1, "file_name": "x.png", "width": 10, "height": 10}],
    "categories": [{"id": 1, "name": "a"}])";

}  // namespace

TEST_F(BadInput, MalformedJsonIsOneLineAndWritesNothing) {
  put(at("coco/bad.json"), R"({"images": [{"id": 1,)");
  const ConvertOutcome outcome = run(Format::Coco, "coco");
  EXPECT_FALSE(outcome.written());
  EXPECT_TRUE(outcome.run.error().contains("bad.json: malformed JSON at byte"))
      << outcome.run.error().toStdString();
  EXPECT_FALSE(outcome.summary(request).contains('\n'));
  expect_nothing_written();

  put(at("lm/a.json"), "not json");
  put_image(at("lm/b.png"), 8, 8);
  put(at("lm/b.json"), R"({"imagePath": "b.png", "shapes": []})");
  const ConvertOutcome labelme = run(Format::Labelme, "lm");
  ASSERT_TRUE(labelme.written());
  EXPECT_EQ(labelme.report.lost_counts().at("unusable JSON files"), 1);
  EXPECT_TRUE(labelme.report.lines()[0].startsWith("a.json: malformed JSON"));
}

TEST_F(BadInput, MalformedXmlSkipsThatFileOnly) {
  put_image(at("voc/x.png"), 10, 10);
  put(at("voc/x.xml"),
      "<annotation><filename>x.png</filename><object><name>a</name>"
      "<bndbox><xmin>1</xmin><ymin>1</ymin><xmax>5</xmax><ymax>5</ymax>"
      "</bndbox></object></annotation>");
  put(at("voc/y.xml"), "<annotation><filename>y.png</filename><object></annotation>");
  put(at("voc/z.xml"), "<html/>");
  const ConvertOutcome outcome = run(Format::Voc, "voc");
  ASSERT_TRUE(outcome.written());
  EXPECT_EQ(outcome.report.lost(), 2);
  EXPECT_TRUE(outcome.report.lines()[0].startsWith("y.xml: malformed XML at line 1"))
      << outcome.report.lines()[0].toStdString();
  EXPECT_TRUE(outcome.report.lines()[1].startsWith("z.xml: not a Pascal VOC annotation"));
  EXPECT_EQ(get(at("out/result/x.txt")), "0 0.300000 0.300000 0.400000 0.400000\n");
}

TEST_F(BadInput, UnknownCategoriesDuplicateIdsAndEscapingNamesAreEachReported) {
  put_image(at("coco/x.png"), 10, 10);
  put_image(at("coco/y.png"), 10, 10);
  put_image(at("secret.png"), 10, 10);
  put(at("coco/c.json"), QByteArray("{") + kOneImage + R"(,
    "annotations": [
      {"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 5, 5]},
      {"id": 2, "image_id": 1, "category_id": 99, "bbox": [0, 0, 5, 5]},
      {"id": 3, "image_id": 1, "category_id": 1, "bbox": [0, 0, 5, 5], "segmentation": [[1, 2]]},
      {"id": 4, "image_id": 7, "category_id": 1, "bbox": [0, 0, 5, 5]}]})");
  // Patch in a duplicate id and a name that climbs out of the folder.
  QByteArray text = get(at("coco/c.json"));
  text.replace(
      R"("images": [)",
      R"("images": [{"id": 1, "file_name": "y.png"}, {"id": 5, "file_name": "../secret.png"}, )");
  put(at("coco/c.json"), text);
  const ConvertOutcome outcome = run(Format::Coco, "coco");
  ASSERT_TRUE(outcome.written()) << outcome.run.error().toStdString();
  const QStringList& lines = outcome.report.lines();
  ASSERT_EQ(lines.size(), 5) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[0].contains("file name '../secret.png' points outside the folder"));
  EXPECT_EQ(lines[1], "c.json: image id 1 is given twice (y.png and x.png); x.png skipped");
  EXPECT_EQ(lines[2], "c.json: annotation 2: unknown category id 99, skipped");
  EXPECT_TRUE(
      lines[3].startsWith("c.json: annotation 3 on y.png: its segmentation holds no polygon"));
  EXPECT_EQ(lines[4], "c.json: annotation 4: image id 7 is not in the images list, skipped");
  EXPECT_EQ(tree(at("out/result")), (QStringList{"classes.txt", "y.png", "y.txt"}));
  EXPECT_FALSE(outcome.complete());
}

TEST_F(BadInput, LabelmeAndVocPathsOutsideTheFolderAreRefused) {
  put_image(at("outside.png"), 10, 10);
  put_image(at("lm/in.png"), 10, 10);
  put(at("lm/sub/a.json"), R"({"imagePath": "../../outside.png", "shapes": []})");
  put(at("lm/sub/b.json"), R"({"imagePath": "../in.png", "shapes": []})");
  const ConvertOutcome labelme = run(Format::Labelme, "lm");
  ASSERT_TRUE(labelme.written());
  EXPECT_EQ(
      labelme.report.lines(),
      QStringList{"sub/a.json: imagePath '../../outside.png' points outside the folder, skipped"});
  EXPECT_EQ(tree(at("out/result")), (QStringList{"classes.txt", "in.png", "in.txt"}));

  put(at("voc/a.xml"), "<annotation><filename>../outside.png</filename></annotation>");
  request = ConvertRequest{Format::Voc, Format::Yolo, at("voc"), at("out/voc"), {}};
  const ConvertOutcome voc = convert_dataset(request);
  EXPECT_FALSE(voc.written());
  EXPECT_TRUE(voc.report.lines()[0].contains("points outside the folder"));
  EXPECT_TRUE(voc.run.error().contains("no image of"));
}

TEST_F(BadInput, AHugeJsonIsRefusedBeforeItIsRead) {
  put_image(at("coco/x.png"), 10, 10);
  put(at("coco/c.json"), QByteArray("{") + kOneImage + ", \"annotations\": []," + "\"pad\": \"" +
                             QByteArray(3 << 20, 'x') + "\"}");
  Limits limits;
  limits.max_json_bytes = 2 << 20;
  const ConvertOutcome outcome = run(Format::Coco, "coco", limits);
  EXPECT_EQ(outcome.run.error(), at("coco/c.json") + " is 3 MB, over the 2 MB limit for one file");
  expect_nothing_written();
  EXPECT_TRUE(run(Format::Coco, "coco").complete());
}

TEST_F(BadInput, MissingImagesAreCountedWithTheirObjects) {
  put_image(at("coco/images/x.png"), 10, 10);
  put(at("coco/c.json"), R"({"images": [{"id": 1, "file_name": "x.png", "width": 10, "height": 10},
    {"id": 2, "file_name": "gone.png", "width": 10, "height": 10}],
    "categories": [{"id": 1, "name": "a"}],
    "annotations": [{"id": 1, "image_id": 2, "category_id": 1, "bbox": [0, 0, 5, 5]}]})");
  const ConvertOutcome outcome = run(Format::Coco, "coco");
  ASSERT_TRUE(outcome.written());
  EXPECT_EQ(outcome.report.lost_counts().at("missing images"), 1);
  EXPECT_EQ(outcome.report.lost_counts().at("objects of missing images"), 1);
  EXPECT_TRUE(outcome.summary(request).contains("2 not converted"));

  // A YOLO label file whose image is gone is reported too.
  put(at("split/classes.txt"), "a\n");
  put_image(at("split/images/train/k.png"), 10, 10);
  put(at("split/labels/train/k.txt"), "0 0.5 0.5 0.2 0.2\n");
  put(at("split/labels/train/lost.txt"), "0 0.5 0.5 0.2 0.2\n");
  request = ConvertRequest{Format::Yolo, Format::Coco, at("split"), at("out/split"), {}};
  const ConvertOutcome yolo = convert_dataset(request);
  ASSERT_TRUE(yolo.written());
  EXPECT_EQ(yolo.report.lines(),
            QStringList{"labels/train/lost.txt: no image for this label file, skipped"});
  EXPECT_EQ(yolo.objects, 1);
  EXPECT_TRUE(QFileInfo::exists(at("out/split/images/train/k.png")));
}

TEST_F(BadInput, AnOutputThatHoldsFilesIsNeverTouched) {
  make_yolo_folder(at("yolo"));
  put(at("out/result/keep.txt"), "mine");
  request = ConvertRequest{Format::Yolo, Format::Coco, at("yolo"), at("out/result"), {}};
  const ConvertOutcome outcome = convert_dataset(request);
  EXPECT_TRUE(outcome.run.error().contains("already exists and is not an empty folder"));
  EXPECT_EQ(tree(at("out")), QStringList{"result/keep.txt"});
  // An empty one (as a folder chooser makes) is fine.
  QDir().mkpath(at("out/empty"));
  request.output = at("out/empty");
  EXPECT_TRUE(convert_dataset(request).complete());
  EXPECT_TRUE(QFileInfo::exists(at("out/empty/annotations.json")));
}

TEST_F(BadInput, ImagesThatWouldShareALabelFileAreReported) {
  put(at("yolo/classes.txt"), "a\n");
  put_image(at("yolo/p.png"), 10, 10);
  put_image(at("yolo/p.jpg"), 10, 10);
  put(at("yolo/p.txt"), "0 0.5 0.5 0.2 0.2\n");
  request = ConvertRequest{Format::Yolo, Format::Labelme, at("yolo"), at("out/lm"), {}};
  const ConvertOutcome outcome = convert_dataset(request);
  ASSERT_TRUE(outcome.written());
  EXPECT_EQ(outcome.report.lost_counts().at("images with clashing names"), 1);
  EXPECT_EQ(tree(at("out/lm")), (QStringList{"classes.txt", "p.jpg", "p.json"}));
}
