#include "inference/inference_tab.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <opencv2/imgcodecs.hpp>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "engine/yolo.h"
#include "tasks/long_task.h"
#include "inference/tiny_model.h"
#include "ui/dialogs.h"
#include "widgets/zoomable_view.h"

using orvane::inference::InferenceTab;

namespace {

using orvane::test::controls;
using orvane::test::DialogRecorder;
using orvane::test::state;
using orvane::ui::MessageKind;

cv::Mat picture(int w, int h) {
  cv::Mat img(h, w, CV_8UC3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 3), uchar(y * 3), 90);
  return img;
}

class InferenceTabTest : public orvane::test::GuiTest {
 protected:
  static void SetUpTestSuite() {
    weights_dir = new QTemporaryDir;
    orvane::test::write_tiny_checkpoint(
        QDir(weights_dir->path()).filePath("best.pt").toStdString());
  }
  static void TearDownTestSuite() {
    delete weights_dir;
    weights_dir = nullptr;
  }
  static QString weights() { return QDir(weights_dir->path()).filePath("best.pt"); }

  InferenceTabTest() {
    controls(tab).spin_inf_imgsz->setValue(64);
  }  // before any load: predicts nothing

  QString image(const QString& name, int w = 80, int h = 60) {
    const QString p = QDir(folder.path()).filePath(name);
    EXPECT_TRUE(cv::imwrite(p.toStdString(), picture(w, h)));
    return p;
  }
  void load(const QString& weights_path, const QString& dir) {
    controls(tab).entry_inf_weights->setText(weights_path);
    controls(tab).entry_inf_folder->setText(dir);
    controls(tab).btn_inf_load->click();
  }
  // The picture currently shown, or a null pixmap.
  QPixmap shown() const {
    return controls(tab).inf_view->pixmap_item() ? controls(tab).inf_view->pixmap_item()->pixmap()
                                                 : QPixmap();
  }

  static QTemporaryDir* weights_dir;
  DialogRecorder dialogs;
  QTemporaryDir folder;
  InferenceTab tab;
};
QTemporaryDir* InferenceTabTest::weights_dir = nullptr;

TEST_F(InferenceTabTest, StartsWithTheDefaultsAndSpinStepsClampAtTheEnds) {
  InferenceTab fresh;
  EXPECT_EQ(controls(fresh).entry_inf_weights->text(),
            "runs/detect/tavrix_yolo_run/weights/best.pt");
  EXPECT_EQ(controls(fresh).entry_inf_folder->placeholderText(),
            "Select directory containing images to predict...");
  EXPECT_EQ(controls(fresh).lbl_inf_counter->text(), "0 / 0");
  EXPECT_EQ(controls(fresh).entry_export_dir->text(), "exports");
  QStringList formats;
  for (int i = 0; i < controls(fresh).combo_export_format->count(); ++i)
    formats << controls(fresh).combo_export_format->itemText(i);
  EXPECT_EQ(formats, (QStringList{"onnx", "engine", "openvino", "torchscript", "coreml"}));
  EXPECT_EQ(controls(fresh).combo_export_format->currentText(), "onnx");
  EXPECT_FALSE(controls(fresh).combo_export_format->isEditable());
  EXPECT_EQ(controls(fresh).btn_inf_load->objectName(), "primaryBtn");
  EXPECT_EQ(controls(fresh).btn_export->objectName(), "primaryBtn");
  EXPECT_EQ(controls(fresh).spin_inf_imgsz->value(), 640);
  EXPECT_EQ(controls(fresh).spin_inf_conf->decimals(), 2);

  QDoubleSpinBox* conf = controls(fresh).spin_inf_conf;
  EXPECT_DOUBLE_EQ(conf->value(), 0.25);
  conf->stepUp();
  EXPECT_DOUBLE_EQ(conf->value(), 0.30);
  conf->stepUp();
  EXPECT_DOUBLE_EQ(conf->value(), 0.35);
  conf->setValue(0.95);
  conf->stepUp();
  conf->stepUp();
  EXPECT_DOUBLE_EQ(conf->value(), 1.0);
  conf->setValue(0.05);
  conf->stepDown();
  conf->stepDown();
  EXPECT_DOUBLE_EQ(conf->value(), 0.01);

  QSpinBox* size = controls(fresh).spin_inf_imgsz;
  size->stepUp();
  EXPECT_EQ(size->value(), 672);
  size->setValue(40);
  size->stepDown();
  size->stepDown();
  EXPECT_EQ(size->value(), 32);
  size->setValue(5000);
  EXPECT_EQ(size->value(), 4096);

  // None of those changes did anything before a model was loaded.
  EXPECT_EQ(controls(fresh).lbl_inf_counter->text(), "0 / 0");
  EXPECT_EQ(controls(fresh).inf_view->pixmap_item(), nullptr);
  EXPECT_TRUE(dialogs.messages.empty());

  // Choosers: a cancel keeps the text; exported models are offered too.
  QString filter;
  orvane::ui::dialog_hooks().open_file_name = [&](const QString&, const QString& f) {
    filter = f;
    return QString();
  };
  controls(fresh).btn_inf_browse_weights->click();
  EXPECT_EQ(filter, "PyTorch Weights (*.pt *.onnx *.torchscript)");
  EXPECT_EQ(controls(fresh).entry_inf_weights->text(),
            "runs/detect/tavrix_yolo_run/weights/best.pt");
  dialogs.directories.push_back(folder.path());
  controls(fresh).btn_inf_browse_folder->click();
  EXPECT_EQ(controls(fresh).entry_inf_folder->text(), folder.path());
}

TEST_F(InferenceTabTest, PredictsAndRedisplaysOnNavigationAndSpinChanges) {
  image("only.png", 80, 60);
  load("  " + weights() + " ", " " + folder.path() + "  ");
  ASSERT_TRUE(state(tab).inf_model);
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 1 - only.png");
  ASSERT_FALSE(shown().isNull());
  EXPECT_EQ(shown().size(), QSize(80, 60));  // predictions are drawn on the source image

  // With one image both directions redisplay it (a new prediction each time). A new picture is
  // told by its pixmap's cache key: a new view item may well reuse the freed one's address.
  for (auto* button : {controls(tab).btn_inf_next, controls(tab).btn_inf_prev}) {
    const qint64 before = shown().cacheKey();
    button->click();
    EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 1 - only.png");
    EXPECT_NE(shown().cacheKey(), before);
  }
  qint64 before = shown().cacheKey();
  controls(tab).spin_inf_conf->stepUp();
  EXPECT_NE(shown().cacheKey(), before);
  before = shown().cacheKey();
  controls(tab).spin_inf_imgsz->stepUp();
  EXPECT_NE(shown().cacheKey(), before);
  EXPECT_EQ(shown().size(), QSize(80, 60));

  // Loading another folder of the same weights keeps the model object and starts at its first
  // image.
  QTemporaryDir second;
  for (const char* name : {"b.png", "A.png"})
    ASSERT_TRUE(cv::imwrite(QDir(second.path()).filePath(name).toStdString(), picture(40, 40)));
  QFile(QDir(second.path()).filePath("c.txt")).open(QIODevice::WriteOnly);
  const auto* model = state(tab).inf_model.get();
  load(weights(), second.path());
  EXPECT_EQ(state(tab).inf_model.get(), model);
  EXPECT_EQ(state(tab).inf_image_paths.size(), 2);
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 2 - A.png");
  controls(tab).btn_inf_prev->click();
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "2 / 2 - b.png");
  controls(tab).btn_inf_next->click();
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 2 - A.png");
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(InferenceTabTest, BadPathsAndWeightsAreReportedAndKeepThePreviousModelAndList) {
  load(weights(), QDir(folder.path()).filePath("missing"));
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_EQ(dialogs.messages[0].text, "Ensure weights and inference folder paths are valid.");
  EXPECT_FALSE(state(tab).inf_model);

  image("a.png");
  load(weights(), folder.path());
  ASSERT_TRUE(state(tab).inf_model);
  const auto* model = state(tab).inf_model.get();
  const QStringList list = state(tab).inf_image_paths;

  QTemporaryDir other;
  image("z.png");  // would change the list if the bad load went through
  QFile junk(QDir(other.path()).filePath("junk.pt"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("PK\x03\x04 not really a checkpoint");
  junk.close();
  dialogs.messages.clear();
  load(junk.fileName(), folder.path());
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_TRUE(dialogs.messages[0].text.startsWith("Cannot load the model weights " +
                                                  junk.fileName() + ":\n"));
  EXPECT_EQ(state(tab).inf_model.get(), model);
  EXPECT_EQ(state(tab).inf_image_paths, list);
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 1 - a.png");

  // A folder without images: the list empties, the view keeps its picture, a box says why.
  dialogs.messages.clear();
  load(weights(), other.path());
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "No Images");
  EXPECT_TRUE(state(tab).inf_image_paths.isEmpty());
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 1 - a.png");
  controls(tab).btn_inf_next->click();
  controls(tab).spin_inf_conf->stepUp();
  EXPECT_EQ(dialogs.messages.size(), 1u);
}

TEST_F(InferenceTabTest, UnreadableEntriesAreReportedOnceAndNavigationGoesOn) {
  image("a.png");
  QFile broken(QDir(folder.path()).filePath("b.jpg"));
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("\xff\xd8\xff truncated");
  broken.close();
  QDir(folder.path()).mkdir("c.jpg");
  load(weights(), folder.path());
  ASSERT_EQ(state(tab).inf_image_paths.size(), 3);
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 3 - a.png");
  EXPECT_FALSE(shown().isNull());

  controls(tab).btn_inf_next->click();
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "2 / 3 - b.jpg");
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Warning);
  EXPECT_EQ(dialogs.messages[0].title, "Prediction Error");
  EXPECT_TRUE(dialogs.messages[0].text.startsWith("Cannot predict on b.jpg:\n"));
  EXPECT_TRUE(shown().isNull());  // no earlier prediction passes for this file's

  // Spin changes on the same broken entry try again but do not repeat the box.
  controls(tab).spin_inf_conf->stepUp();
  controls(tab).spin_inf_imgsz->stepUp();
  EXPECT_EQ(dialogs.messages.size(), 1u);

  controls(tab).btn_inf_next->click();
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "3 / 3 - c.jpg");
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_TRUE(dialogs.messages[1].text.startsWith("Cannot predict on c.jpg:\n"));

  controls(tab).btn_inf_next->click();
  EXPECT_EQ(controls(tab).lbl_inf_counter->text(), "1 / 3 - a.png");
  EXPECT_FALSE(shown().isNull());
  controls(tab)
      .btn_inf_next->click();  // the same broken file again after a good one: reported again
  EXPECT_EQ(dialogs.messages.size(), 3u);
}

TEST_F(InferenceTabTest, ExportChecksTheWeightsAndReportsTheThreadsOutcome) {
  controls(tab).entry_inf_weights->setText(QDir(folder.path()).filePath("none.pt"));
  controls(tab).btn_export->click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_EQ(dialogs.messages[0].text, "Select a valid weights file first.");
  EXPECT_FALSE(state(tab).export_task->running());

  dialogs.messages.clear();
  controls(tab).entry_inf_weights->setText(" " + weights() + " ");
  controls(tab).entry_export_dir->setText(QDir(folder.path()).filePath("exports"));
  controls(tab).combo_export_format->setCurrentText("coreml");
  controls(tab).btn_export->click();
  EXPECT_EQ(state(tab).last_export.model_path, weights());
  EXPECT_EQ(state(tab).last_export.format, "coreml");
  EXPECT_EQ(state(tab).last_export.export_dir, QDir(folder.path()).filePath("exports"));
  // The task's end (and the tab's message) arrives on this thread.
  ASSERT_TRUE(state(tab).export_task->wait(120000));
  ASSERT_EQ(dialogs.messages.size(), 1u);  // exactly one outcome
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Export Error");
  EXPECT_TRUE(dialogs.messages[0].text.contains("coreml", Qt::CaseInsensitive));
}

}  // namespace
