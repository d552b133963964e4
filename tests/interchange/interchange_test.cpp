// Conversions that must carry a dataset across unchanged, and the things the formats cannot
// carry, which must be reported and counted rather than dropped.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>

#include "files/label_format.h"
#include "interchange/convert.h"
#include "interchange/interchange_fixture.h"

using namespace orvane::interchange;
using namespace orvane::test;

namespace {

class Interchange : public ::testing::Test {
 protected:
  QString at(const QString& name) const { return dir.filePath(name); }
  ConvertOutcome run(Format from, Format to, const QString& source, const QString& output) {
    request = ConvertRequest{from, to, at(source), at(output), {}};
    return convert_dataset(request);
  }
  QString lines(const ConvertOutcome& outcome) const { return outcome.report.lines().join('\n'); }
  QTemporaryDir dir;
  ConvertRequest request;
};

QJsonObject read_json(const QString& path) { return QJsonDocument::fromJson(get(path)).object(); }

}  // namespace

TEST_F(Interchange, CocoAndLabelmeRoundTripsGiveTheSameLabelFiles) {
  make_yolo_folder(at("yolo"));
  for (const Format via : {Format::Coco, Format::Labelme}) {
    SCOPED_TRACE(format_name(via).toStdString());
    const QString there = "out-" + format_name(via), back = "back-" + format_name(via);
    const ConvertOutcome out = run(Format::Yolo, via, "yolo", there);
    ASSERT_TRUE(out.written()) << out.summary(request).toStdString();
    EXPECT_TRUE(out.complete()) << lines(out).toStdString();
    EXPECT_EQ(out.images, 3);
    EXPECT_EQ(out.objects, 4);
    const ConvertOutcome in = run(via, Format::Yolo, there, back);
    ASSERT_TRUE(in.complete()) << in.summary(request).toStdString() << lines(in).toStdString();
    for (const QString name : {"classes.txt", "a.txt", "part two/b.txt"})
      EXPECT_EQ(get(at(back + "/" + name)), get(at("yolo/" + name))) << name.toStdString();
    // The picture without a label file comes back as reviewed with no objects.
    EXPECT_EQ(get(at(back + "/c.txt")), QByteArray());
    EXPECT_EQ(get(at(back + "/part two/b.png")), get(at("yolo/part two/b.png")));
  }
}

TEST_F(Interchange, VocKeepsTheBoxesAndWritesPolygonsAsTheirBounds) {
  make_yolo_folder(at("yolo"));
  const ConvertOutcome out = run(Format::Yolo, Format::Voc, "yolo", "voc");
  ASSERT_TRUE(out.written());
  EXPECT_EQ(out.report.changed_counts().at("polygons written as boxes"), 2);
  EXPECT_TRUE(get(at("voc/Annotations/a.xml")).contains("<xmin>24</xmin>"));
  EXPECT_TRUE(QFileInfo::exists(at("voc/JPEGImages/part two/b.png")));
  const ConvertOutcome in = run(Format::Voc, Format::Yolo, "voc", "back");
  ASSERT_TRUE(in.complete()) << lines(in).toStdString();
  EXPECT_EQ(get(at("back/classes.txt")), get(at("yolo/classes.txt")));
  EXPECT_EQ(get(at("back/a.txt")),
            "0 0.500000 0.500000 0.250000 0.500000\n"
            "2 0.475000 0.525000 0.850000 0.850000\n"
            "1 0.333333 0.666667 0.125000 0.041667\n");
  EXPECT_EQ(get(at("back/part two/b.txt")), "2 0.500000 0.500000 1.000000 1.000000\n");
}

TEST_F(Interchange, CocoWritesPixelsAreasAndCategoriesFromOne) {
  make_yolo_folder(at("yolo"));
  ASSERT_TRUE(run(Format::Yolo, Format::Coco, "yolo", "coco").written());
  const QJsonObject coco = read_json(at("coco/annotations.json"));
  const QJsonArray categories = coco["categories"].toArray();
  ASSERT_EQ(categories.size(), 3);
  EXPECT_EQ(categories[1].toObject()["id"].toInt(), 2);
  EXPECT_EQ(categories[2].toObject()["name"].toString(), QString::fromUtf8("chat \xe7\x8c\xab"));
  const QJsonArray annotations = coco["annotations"].toArray();
  ASSERT_EQ(annotations.size(), 4);
  const QJsonObject box = annotations[0].toObject();
  EXPECT_EQ(box["bbox"].toArray(), (QJsonArray{24, 12, 16, 24}));
  EXPECT_EQ(box["area"].toDouble(), 384);
  EXPECT_TRUE(box["segmentation"].toArray().isEmpty());
  // The triangle on the 100 x 80 picture: half of it.
  const QJsonObject triangle = annotations[3].toObject();
  EXPECT_EQ(triangle["area"].toDouble(), 4000);
  EXPECT_EQ(triangle["segmentation"].toArray()[0].toArray(), (QJsonArray{0, 0, 100, 0, 50, 80}));
  EXPECT_EQ(coco["images"].toArray()[2].toObject()["file_name"].toString(), "part two/b.png");
  EXPECT_TRUE(QFileInfo::exists(at("coco/images/part two/b.png")));
}

TEST_F(Interchange, CategoryIdsWithGapsMapInIdOrder) {
  put_image(at("coco/images/x.png"), 40, 20);
  put(at("coco/instances.json"), R"({
    "images": [{"id": 9, "file_name": "x.png", "width": 40, "height": 20}],
    "categories": [{"id": 42, "name": "z last"}, {"id": 3, "name": "\u00e9l\u00e8ve"},
                   {"id": 17, "name": "middle one"}],
    "annotations": [
      {"id": 1, "image_id": 9, "category_id": 42, "bbox": [0, 0, 20, 10], "iscrowd": 0},
      {"id": 2, "image_id": 9, "category_id": 3, "bbox": [20, 10, 20, 10], "segmentation": []},
      {"id": 3, "image_id": 9, "category_id": 17, "segmentation": [[0, 0, 40, 0, 40, 20]]}]})");
  const ConvertOutcome outcome = run(Format::Coco, Format::Yolo, "coco", "yolo");
  ASSERT_TRUE(outcome.complete()) << lines(outcome).toStdString();
  EXPECT_EQ(QString::fromUtf8(get(at("yolo/classes.txt"))),
            QString::fromUtf8("\xc3\xa9l\xc3\xa8ve\nmiddle one\nz last\n"));
  EXPECT_EQ(get(at("yolo/x.txt")),
            "2 0.250000 0.250000 0.500000 0.500000\n"
            "0 0.750000 0.750000 0.500000 0.500000\n"
            "1 0.000000 0.000000 1.000000 0.000000 1.000000 1.000000\n");
}

TEST_F(Interchange, CrowdRegionsRleMasksAndHolesAreReportedNotLost) {
  put_image(at("coco/x.png"), 100, 100);
  put(at("coco/c.json"), R"({
    "images": [{"id": 1, "file_name": "x.png", "width": 100, "height": 100}],
    "categories": [{"id": 1, "name": "cell"}],
    "annotations": [
      {"id": 10, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "iscrowd": 1,
       "segmentation": {"size": [100, 100], "counts": "abc"}},
      {"id": 11, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10],
       "segmentation": {"size": [100, 100], "counts": [0, 5, 95]}},
      {"id": 12, "image_id": 1, "category_id": 1,
       "segmentation": [[10, 10, 90, 10, 90, 90, 10, 90], [40, 40, 60, 40, 60, 60, 40, 60]]},
      {"id": 13, "image_id": 1, "category_id": 1,
       "segmentation": [[0, 0, 10, 0, 10, 10], [50, 0, 60, 0, 60, 10, 50, 10]]},
      {"id": 14, "image_id": 1, "category_id": 1, "bbox": [-20, 90, 40, 30]}]})");
  const ConvertOutcome outcome = run(Format::Coco, Format::Yolo, "coco", "yolo");
  ASSERT_TRUE(outcome.written());
  EXPECT_FALSE(outcome.complete());
  EXPECT_EQ(outcome.report.lost(), 3);
  EXPECT_EQ(outcome.report.lost_counts().at("crowd regions"), 1);
  EXPECT_EQ(outcome.report.lost_counts().at("RLE masks"), 1);
  EXPECT_EQ(outcome.report.lost_counts().at("polygon holes"), 1);
  EXPECT_EQ(outcome.report.changed_counts().at("multi-part polygons joined"), 1);
  EXPECT_EQ(outcome.report.changed_counts().at("objects clipped to their picture"), 1);
  EXPECT_TRUE(lines(outcome).contains("c.json: annotation 10 on x.png: a crowd region"));
  EXPECT_TRUE(outcome.summary(request).contains(
      "3 not converted (1 RLE masks, 1 crowd regions, 1 polygon holes)"))
      << outcome.summary(request).toStdString();
  const QList<QByteArray> written = get(at("yolo/x.txt")).split('\n');
  ASSERT_EQ(written.size(), 4);  // three objects and the final line end
  EXPECT_EQ(written[0],
            "0 0.100000 0.100000 0.900000 0.100000 0.900000 0.900000 0.100000 0.900000");
  // Triangle and square joined by a bridge there and back: 3 + 4 vertices and 2 repeated.
  EXPECT_EQ(written[1].split(' ').size(), 1 + 2 * 9);
  EXPECT_EQ(written[2], "0 0.100000 0.950000 0.200000 0.100000");
}

TEST(JoinParts, KeepsTheAreaOfEveryPartWhateverTheirWinding) {
  int holes = 0;
  const std::vector<cv::Point2d> square{{0, 0}, {10, 0}, {10, 10}, {0, 10}};
  const std::vector<cv::Point2d> reversed{{20, 0}, {20, 4}, {30, 4}, {30, 0}};
  const std::vector<cv::Point2d> far{{0, 50}, {5, 50}, {5, 55}};
  const std::vector<cv::Point2d> joined = join_parts({square, reversed, far}, holes);
  EXPECT_EQ(holes, 0);
  EXPECT_EQ(joined.size(), 4u + 5u + 4u + 2u);
  EXPECT_DOUBLE_EQ(area_of(joined), 100 + 40 + 12.5);
  EXPECT_EQ(join_parts({square, {{2, 2}, {4, 2}, {4, 4}}}, holes), square);
  EXPECT_EQ(holes, 1);
}

TEST_F(Interchange, LabelmeShapesWithoutAYoloFormAreCountedAndCirclesBecomePolygons) {
  put_image(at("lm/pic.png"), 50, 50);
  put(at("lm/pic.json"), R"({"version": "5.1.1", "imagePath": "pic.png", "imageData": null,
    "imageHeight": 50, "imageWidth": 50, "shapes": [
      {"label": "b", "points": [[40, 30], [10, 5]], "shape_type": "rectangle", "group_id": null},
      {"label": "a", "points": [[25, 25], [35, 25]], "shape_type": "circle"},
      {"label": "a", "points": [[0, 0], [10, 10]], "shape_type": "line"},
      {"label": "a", "points": [[5, 5]], "shape_type": "point"},
      {"label": "a", "points": [[0, 0], [9, 9], [0, 9]], "shape_type": "polygon", "group_id": 3}]})");
  const ConvertOutcome outcome = run(Format::Labelme, Format::Yolo, "lm", "yolo");
  ASSERT_TRUE(outcome.written());
  EXPECT_EQ(outcome.report.lost_counts().at("line shapes"), 1);
  EXPECT_EQ(outcome.report.lost_counts().at("point shapes"), 1);
  EXPECT_EQ(outcome.report.changed_counts().at("circles as polygons"), 1);
  EXPECT_EQ(outcome.report.changed_counts().at("group ids dropped"), 1);
  // No classes.txt in the folder: names in code point order.
  EXPECT_EQ(get(at("yolo/classes.txt")), "a\nb\n");
  const QList<QByteArray> written = get(at("yolo/pic.txt")).split('\n');
  ASSERT_EQ(written.size(), 4);
  EXPECT_EQ(written[0], "1 0.500000 0.350000 0.600000 0.500000");
  EXPECT_EQ(written[1].split(' ').size(), 1 + 2 * 32);
  EXPECT_TRUE(written[1].startsWith("0 0.700000 0.500000 "));
}

TEST_F(Interchange, VocDifficultFlagsAreReportedAndBoxesClipped) {
  put_image(at("voc/JPEGImages/p.png"), 60, 30);
  put(at("voc/Annotations/p.xml"), R"(<annotation><filename>p.png</filename>
    <size><width>60</width><height>30</height><depth>3</depth></size>
    <object><name>dog</name><difficult>1</difficult>
      <bndbox><xmin>6</xmin><ymin>3</ymin><xmax>30</xmax><ymax>15</ymax></bndbox></object>
    <object><name>cat</name><difficult>0</difficult>
      <bndbox><xmin>30.5</xmin><ymin>-4</ymin><xmax>75</xmax><ymax>30</ymax></bndbox></object>
  </annotation>)");
  put(at("voc/classes.txt"), "dog\n");
  const ConvertOutcome outcome = run(Format::Voc, Format::Yolo, "voc", "yolo");
  ASSERT_TRUE(outcome.complete()) << lines(outcome).toStdString();
  EXPECT_EQ(outcome.report.changed_counts().at("difficult flags dropped"), 1);
  EXPECT_EQ(outcome.report.changed_counts().at("objects clipped to their picture"), 1);
  EXPECT_EQ(get(at("yolo/classes.txt")), "dog\ncat\n");  // the folder's list first
  EXPECT_EQ(get(at("yolo/p.txt")),
            "0 0.300000 0.300000 0.400000 0.400000\n1 0.754167 0.500000 0.491667 1.000000\n");
}

// Each reader looks for pictures where its format keeps them, and an entry's frame and number
// travel with it to its objects.
TEST_F(Interchange, ReadersFindPicturesWhereTheirFormatKeepsThem) {
  // COCO in annotations/: pictures under the parent's images/. The file declares half the real
  // size, so positions stay relative to the declared frame; the second annotation has no id and
  // is named by its place in the list.
  put_image(at("coco/images/sub/x.png"), 80, 40);
  put(at("coco/annotations/instances.json"), R"({
    "images": [{"id": 4, "file_name": "gone.png", "width": 10, "height": 10},
               {"id": 2, "file_name": "sub/x.png", "width": 40, "height": 20}],
    "categories": [{"id": 5, "name": "only"}],
    "annotations": [{"id": 8, "image_id": 2, "category_id": 5, "bbox": [0, 0, 20, 10]},
                    {"image_id": 4, "category_id": 5, "bbox": [0, 0, 5, 5]}]})");
  const ConvertOutcome coco = run(Format::Coco, Format::Yolo, "coco", "from-coco");
  ASSERT_TRUE(coco.written()) << coco.summary(request).toStdString();
  EXPECT_EQ(coco.report.changed_counts().at("images whose size differs from the file"), 1);
  EXPECT_EQ(get(at("from-coco/sub/x.txt")), "0 0.250000 0.250000 0.500000 0.500000\n");
  EXPECT_TRUE(lines(coco).contains("instances.json: annotation 2: its image gone.png was skipped"))
      << lines(coco).toStdString();

  // VOC in Annotations/sub/: the picture in JPEGImages/sub/ wins over one of the same name at
  // the top of JPEGImages/.
  put_image(at("voc/JPEGImages/sub/p.png"), 30, 20);
  put_image(at("voc/JPEGImages/p.png"), 60, 40);
  put(at("voc/Annotations/sub/p.xml"), R"(<annotation><filename>p.png</filename>
    <size><width>30</width><height>20</height></size>
    <object><name>cat</name>
      <bndbox><xmin>0</xmin><ymin>0</ymin><xmax>15</xmax><ymax>10</ymax></bndbox></object>
  </annotation>)");
  const ConvertOutcome voc = run(Format::Voc, Format::Yolo, "voc", "from-voc");
  ASSERT_TRUE(voc.complete()) << lines(voc).toStdString();
  EXPECT_EQ(get(at("from-voc/sub/p.txt")), "0 0.250000 0.250000 0.500000 0.500000\n");
  EXPECT_FALSE(QFileInfo::exists(at("from-voc/p.txt")));
}

TEST_F(Interchange, CancellingLeavesNothingBehind) {
  make_yolo_folder(at("yolo"));
  std::atomic_bool stop{false};
  int calls = 0;
  request = ConvertRequest{Format::Yolo, Format::Coco, at("yolo"), at("out/coco"), {}};
  const ConvertOutcome outcome = convert_dataset(
      request,
      [&](int done, int, const QString&) {
        ++calls;
        if (done == 1) stop = true;
      },
      &stop);
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_FALSE(outcome.written());
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(entries(at("out")), QStringList());
}

TEST_F(Interchange, SevenDecimalSourcesRoundLikeTheLabelModuleAfterARoundTrip) {
  // Real datasets carry values such as 0.0016875, one unit of the seventh decimal off a tie:
  // through pixels and back they must still round as the label module rounds the source.
  put(at("yolo/classes.txt"), "a\n");
  put_image(at("yolo/i.png"), 640, 427);
  const QByteArray line = "0 0.0016875 0.0965625 0.0649375 0.3333335 0.9999995 0.7000005";
  put(at("yolo/i.txt"), line + "\n");
  QByteArray expected = "0";
  for (const QByteArray& token : line.split(' ').mid(1))
    expected +=
        ' ' + QByteArray::fromStdString(orvane::files::format_label_coordinate(token.toDouble()));
  for (const Format via : {Format::Coco, Format::Labelme}) {
    const QString there = "via-" + format_name(via), back = "back-" + format_name(via);
    ASSERT_TRUE(run(Format::Yolo, via, "yolo", there).complete());
    ASSERT_TRUE(run(via, Format::Yolo, there, back).complete());
    EXPECT_EQ(get(at(back + "/i.txt")), expected + "\n") << format_name(via).toStdString();
  }
}
