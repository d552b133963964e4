// Auto-labelling with real models: a detector and a segmenter trained for two epochs on the tiny
// shapes set, then used on a frame in the tab and on a folder.

#include "annotator/auto_label.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPolygonItem>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUndoStack>

#include "annotator/annotator_tab.h"
#include "annotator/auto_label_flow.h"
#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/run_orvane.h"
#include "common/tab_access.h"
#include "engine/quick_train.h"
#include "engine/shapes_data.h"
#include "engine/yolo.h"

using orvane::AnnotatorTab;

using namespace orvane;
using orvane::test::controls;
using orvane::test::state;
namespace fs = std::filesystem;

namespace {

QByteArray read_all(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void write_raw(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

// Trains once per test program: two epochs at 64 px.
fs::path trained(bool segment) {
  static fs::path paths[2];
  fs::path& weights = paths[segment ? 1 : 0];
  if (!weights.empty()) return weights;
  const fs::path root =
      fs::temp_directory_path() /
      ("orvane_autolabel_" + std::to_string(::getpid()) + (segment ? "_seg" : "_det"));
  const fs::path data = engine::make_dataset(root / "data", segment, 16, 64);
  engine::YOLO model(segment ? "yolov8n-seg.yaml" : "yolov8n.yaml");
  engine::TrainOptions o = engine::quick_train_options(data, root / "runs", 2);
  o.val = false;
  const engine::TrainResult result = model.train(o);
  weights = result.save_dir / "weights" / "last.pt";
  return weights;
}

// The highest confidence the model gives on `image` (so a test can ask for detections it gets).
float best_conf(engine::YOLO& model, const fs::path& image) {
  const auto results =
      model.predict(image.string(), {.conf = 0.0005f, .imgsz = 64, .verbose = false, .slice = {}});
  if (results.empty() || results[0].boxes.size() == 0) return 0.0f;
  return results[0].boxes.conf.max().item<float>();
}

class AutoLabelTest : public test::GuiTest {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  QString path(const QString& name) const { return dir.filePath(name); }
  void image_from_set(bool segment, int index, const QString& name) {
    const fs::path source =
        trained(segment).parent_path().parent_path().parent_path().parent_path() / "data" /
        "images" / "train" / ("img" + std::to_string(index) + ".png");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(source.string()), path(name)));
  }
  QTemporaryDir dir;
  test::DialogRecorder dialogs;
};

}  // namespace

TEST(AutoLabelShapes, BoxesBecomeRectanglesMasksBecomeTheirOutlines) {
  engine::Results r;
  r.names = {"square", "disc"};
  r.boxes.xyxy = torch::tensor({{1.5f, 2.0f, 30.0f, 40.25f}, {5.0f, 6.0f, 7.0f, 8.0f}});
  r.boxes.conf = torch::tensor({0.9f, 0.5f});
  r.boxes.cls = torch::tensor({1.0f, 0.0f});
  FrameLabels labels = shapes_from_result(r);
  EXPECT_EQ(labels.detections, 2);
  ASSERT_EQ(labels.shapes.size(), 2u);
  EXPECT_EQ(labels.shapes[0].label, "disc");
  EXPECT_EQ(labels.shapes[0].type, "AI Rectangle");
  EXPECT_EQ(labels.shapes[0].points,
            (QPolygonF{{1.5, 2.0}, {30.0, 2.0}, {30.0, 40.25}, {1.5, 40.25}}));
  EXPECT_EQ(labels.shapes[1].label, "square");

  // With masks: one polygon per (outline, box) pair, the shorter list decides.
  r.masks = engine::Masks{};
  r.masks->xy = {{{1, 1}, {9, 1}, {9, 9}, {5, 12}, {1, 9}}};
  labels = shapes_from_result(r);
  EXPECT_EQ(labels.detections, 2);  // the message counts the boxes
  ASSERT_EQ(labels.shapes.size(), 1u);
  EXPECT_EQ(labels.shapes[0].type, "AI Polygon");
  EXPECT_EQ(labels.shapes[0].points, (QPolygonF{{1, 1}, {9, 1}, {9, 9}, {5, 12}, {1, 9}}));
  EXPECT_EQ(labels.shapes[0].label, "disc");

  // An empty outline is still a shape (written as its class id and a space).
  r.masks->xy = {{}, {}};
  labels = shapes_from_result(r);
  ASSERT_EQ(labels.shapes.size(), 2u);
  EXPECT_TRUE(labels.shapes[0].points.isEmpty());
}

TEST_F(AutoLabelTest, DetectorLabelsTheFrameAsOneUndoableStep) {
  const fs::path weights = trained(false);
  engine::YOLO probe(weights.string());
  image_from_set(false, 0, "a.png");
  write_raw(path("classes.txt"), "other\n");
  const float conf = best_conf(probe, dir.filePath("a.png").toStdString());
  ASSERT_GT(conf, 0.01f) << "the trained detector finds nothing at all";

  AnnotatorTab tab;
  dialogs.directories.push_back(dir.path());
  controls(tab).btn_load_dir->click();
  EXPECT_FALSE(controls(tab).btn_run_ai->isEnabled());

  // A file that is no model: named in the box; nothing loaded.
  write_raw(path("broken.pt"), "not a checkpoint");
  dialogs.files.push_back(path("broken.pt"));
  controls(tab).btn_load_ai->click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_TRUE(dialogs.messages[0].text.contains("broken.pt"));
  EXPECT_FALSE(state(tab).auto_label_flow->has_model());
  EXPECT_FALSE(controls(tab).btn_run_ai->isEnabled());

  dialogs.files.push_back(QString::fromStdString(weights.string()));
  controls(tab).btn_load_ai->click();
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].title, "AI Model Loaded");
  EXPECT_EQ(dialogs.messages[1].text, "Loaded model: last.pt");
  ASSERT_TRUE(controls(tab).btn_run_ai->isEnabled());
  ASSERT_TRUE(state(tab).auto_label_flow->has_model());
  const QString loaded = state(tab).auto_label_flow->model()->path();

  // A broken file after a good one: the good one stays.
  dialogs.files.push_back(path("broken.pt"));
  controls(tab).btn_load_ai->click();
  EXPECT_EQ(state(tab).auto_label_flow->model()->path(), loaded);
  EXPECT_TRUE(controls(tab).btn_run_ai->isEnabled());

  // Nothing that sure: a message, nothing changes.
  controls(tab).spin_ai_conf->setValue(1.0);
  const size_t before = dialogs.messages.size();
  controls(tab).btn_run_ai->click();
  ASSERT_EQ(dialogs.messages.size(), before + 1);
  EXPECT_EQ(dialogs.messages.back().title, "AI Assist");
  EXPECT_EQ(dialogs.messages.back().text, "No objects detected at current confidence threshold.");
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_FALSE(QFileInfo::exists(path("a.txt")));

  controls(tab).spin_ai_conf->setValue(std::max(0.01, std::floor(conf * 100) / 100 - 0.01));
  const auto expected = probe.predict(dir.filePath("a.png").toStdString(),
                                      {.conf = float(controls(tab).spin_ai_conf->value()),
                                       .imgsz = 64,
                                       .verbose = false,
                                       .slice = {}});
  const int boxes = int(expected[0].boxes.size());
  controls(tab).btn_run_ai->click();
  EXPECT_EQ(dialogs.messages.back().title, "AI Success");
  EXPECT_EQ(dialogs.messages.back().text,
            "Successfully auto-labeled " + QString::number(boxes) + " object(s).");
  ASSERT_EQ(int(state(tab).annotations.size()), boxes);
  for (size_t i = 0; i < state(tab).annotations.size(); ++i) {
    const DocumentShape& shape = state(tab).document->shapes()[i];
    EXPECT_EQ(shape.type, "AI Rectangle");
    EXPECT_EQ(state(tab).annotations[i].item->polygon().size(), 4);
    EXPECT_TRUE(shape.label == "square" || shape.label == "disc");
  }
  // New names follow the folder's own classes; the label file uses their positions there.
  EXPECT_EQ(tab.classes().first(), "other");
  EXPECT_GT(tab.classes().size(), 1);
  EXPECT_EQ(read_all(path("classes.txt")), (tab.classes().join('\n') + '\n').toUtf8());
  const QList<QByteArray> lines = read_all(path("a.txt")).trimmed().split('\n');
  ASSERT_EQ(lines.size(), boxes);
  EXPECT_NE(lines[0].left(2), "0 ");
  EXPECT_EQ(lines[0].split(' ').size(), 9);  // class and four corners

  // One undo takes the whole frame back, and the file follows.
  Q_EMIT controls(tab).shortcut_undo->activated();
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_FALSE(QFileInfo::exists(path("a.txt")));
  EXPECT_EQ(tab.classes(), QStringList{"other"});
  Q_EMIT controls(tab).shortcut_redo->activated();
  EXPECT_EQ(int(state(tab).annotations.size()), boxes);
}

TEST_F(AutoLabelTest, SegmenterGivesPolygonsWithTheOutlinePoints) {
  const fs::path weights = trained(true);
  image_from_set(true, 1, "a.png");
  auto model = load_autolabel_model(QString::fromStdString(weights.string()));
  EXPECT_EQ(model_imgsz(*model), 64);  // predicts at the size it was trained at
  const float conf = best_conf(*model, dir.filePath("a.png").toStdString());
  ASSERT_GT(conf, 0.01f) << "the trained segmenter finds nothing at all";
  const double threshold = std::max(0.01, std::floor(conf * 100) / 100 - 0.01);
  const auto expected =
      model->predict(dir.filePath("a.png").toStdString(),
                     {.conf = float(threshold), .imgsz = 64, .verbose = false, .slice = {}});
  ASSERT_TRUE(expected[0].masks);
  const FrameLabels labels = auto_label_frame(*model, path("a.png"), threshold);
  EXPECT_EQ(labels.detections, int(expected[0].boxes.size()));
  ASSERT_EQ(labels.shapes.size(), std::min(expected[0].boxes.size(), expected[0].masks->xy.size()));
  for (size_t i = 0; i < labels.shapes.size(); ++i) {
    EXPECT_EQ(labels.shapes[i].type, "AI Polygon");
    EXPECT_EQ(size_t(labels.shapes[i].points.size()), expected[0].masks->xy[i].size());
  }
}

TEST_F(AutoLabelTest, FolderSkipsLabelledImagesAndSurvivesABrokenOne) {
  const fs::path weights = trained(false);
  image_from_set(false, 0, "a.png");
  image_from_set(false, 2, "b.png");
  image_from_set(false, 4, "c.png");
  write_raw(path("broken.jpg"), "this is no jpeg");
  write_raw(path("b.txt"), "0 0.5 0.5 0.1 0.1\n");  // the operator's: never touched
  write_raw(path("classes.txt"), "square\n");
  auto model = load_autolabel_model(QString::fromStdString(weights.string()));

  std::vector<int> seen;
  const Result<FolderLabelSummary> ran =
      auto_label_folder(*model, {dir.path(), 0.01, 64, {}}, [&](int done, int total, const QString&) {
        EXPECT_EQ(total, 4);
        seen.push_back(done);
      });
  ASSERT_TRUE(ran) << ran.error().toStdString();
  const FolderLabelSummary& s = *ran;
  EXPECT_EQ(s.total, 4);
  EXPECT_EQ(s.skipped, 1);
  ASSERT_EQ(s.failures.size(), 1);
  EXPECT_TRUE(s.failures[0].startsWith("broken.jpg: ")) << s.failures[0].toStdString();
  EXPECT_EQ(s.labelled + s.empty, 2);
  EXPECT_EQ(seen.back(), 4);
  EXPECT_EQ(read_all(path("b.txt")), "0 0.5 0.5 0.1 0.1\n");
  EXPECT_FALSE(QFileInfo::exists(path("broken.txt")));
  EXPECT_EQ(s.classes.first(), "square");
  EXPECT_EQ(read_all(path("classes.txt")), (s.classes.join('\n') + '\n').toUtf8());
  EXPECT_TRUE(folder_summary_text(s).contains("1 failed"));

  // A second run finds everything labelled (or without objects) and writes nothing new.
  const QByteArray a_before = read_all(path("a.txt"));
  const Result<FolderLabelSummary> again = auto_label_folder(*model, {dir.path(), 0.01, 64, {}}, {});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->labelled, 0);
  EXPECT_EQ(read_all(path("a.txt")), a_before);

  // An unreadable classes.txt: nothing is labelled at all.
  QFile::remove(path("classes.txt"));
  QDir(dir.path()).mkdir("classes.txt");
  QFile::remove(path("a.txt"));
  const Result<FolderLabelSummary> refused = auto_label_folder(*model, {dir.path(), 0.01, 64, {}}, {});
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().contains("classes.txt")) << refused.error().toStdString();
  EXPECT_FALSE(QFileInfo::exists(path("a.txt")));
}

TEST_F(AutoLabelTest, TheTabRunsTheFolderOnAWorkerAndRefreshesTheList) {
  const fs::path weights = trained(false);
  image_from_set(false, 0, "a.png");
  image_from_set(false, 2, "b.png");
  write_raw(path("zz.png"), "broken");
  AnnotatorTab tab;
  dialogs.directories.push_back(dir.path());
  controls(tab).btn_load_dir->click();
  dialogs.files.push_back(QString::fromStdString(weights.string()));
  controls(tab).btn_load_ai->click();
  controls(tab).spin_ai_conf->setValue(0.01);
  QSignalSpy finished(state(tab).auto_label_flow, &AutoLabelFlow::folder_finished);
  controls(tab).btn_run_ai_folder->click();
  ASSERT_TRUE(state(tab).auto_label_flow->running());
  EXPECT_FALSE(tab.isEnabled());  // no edits race the label files the run writes
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_FALSE(state(tab).auto_label_flow->running());
  EXPECT_TRUE(tab.isEnabled());
  EXPECT_EQ(dialogs.messages.back().title, "Auto-Label Folder");
  EXPECT_TRUE(dialogs.messages.back().text.contains("1 failed"));
  EXPECT_TRUE(dialogs.messages.back().text.contains("zz.png"));
  // The marks follow the files, and the image on screen shows its new shapes.
  for (int row = 0; row < 2; ++row) {
    const bool labelled = QFileInfo::exists(path(row == 0 ? "a.txt" : "b.txt"));
    EXPECT_EQ(controls(tab).list_images->item(row)->text().startsWith("[✓]"), labelled);
  }
  if (QFileInfo::exists(path("a.txt"))) {
    EXPECT_FALSE(state(tab).annotations.empty());
  }
  EXPECT_EQ(tab.classes(), state(tab).document->classes());
}

TEST_F(AutoLabelTest, OrvaneAutolabelDoesTheSameHeadless) {
  const fs::path weights = trained(false);
  const auto help = test::run_orvane("autolabel", {"help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.contains("conf=0.25")) << help.out.toStdString();
  EXPECT_TRUE(help.out.contains("model=")) << help.out.toStdString();

  image_from_set(false, 0, "a.png");
  image_from_set(false, 2, "b.png");
  write_raw(path("b.txt"), "0 0.5 0.5 0.1 0.1\n");
  const QString model = QString::fromStdString(weights.string());
  const auto run = test::run_orvane(
      "autolabel", {"model=" + model, "source=" + dir.path(), "conf=0.01", "imgsz=64"});
  EXPECT_EQ(run.code, 0) << run.err.toStdString();
  EXPECT_TRUE(run.out.contains("1 already had labels")) << run.out.toStdString();
  EXPECT_EQ(read_all(path("b.txt")), "0 0.5 0.5 0.1 0.1\n");

  // A broken image is named and makes the exit code non-zero; the rest is done.
  write_raw(path("c.jpg"), "broken");
  const auto broken =
      test::run_orvane("autolabel", {"model=" + model, "source=" + dir.path(), "conf=0.01"});
  EXPECT_EQ(broken.code, 1);
  EXPECT_TRUE(broken.out.contains("c.jpg: ")) << broken.out.toStdString();

  const auto bad =
      test::run_orvane("autolabel", {"model=" + path("missing.pt"), "source=" + dir.path()});
  EXPECT_EQ(bad.code, 1);
  EXPECT_TRUE(bad.err.contains("missing.pt")) << bad.err.toStdString();
  EXPECT_EQ(
      test::run_orvane("autolabel", {"model=" + model, "source=" + dir.path(), "conf=2"}).code, 2);
  EXPECT_EQ(test::run_orvane("autolabel", {"source=" + dir.path()}).code, 2);
}
