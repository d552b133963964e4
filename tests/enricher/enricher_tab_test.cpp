#include "enricher/enricher_tab.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <opencv2/imgcodecs.hpp>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/finish_tasks.h"
#include "common/tab_access.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

using orvane::enricher::EnricherTab;

namespace {

using orvane::test::controls;
using orvane::test::finish_tasks;
using orvane::test::DialogRecorder;
using orvane::test::state;

cv::Mat gradient(int w, int h) {
  cv::Mat img(h, w, CV_8UC3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      img.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(20 + x * 200 / w), uchar(20 + y * 200 / h), 90);
  return img;
}

bool equal(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

class EnricherTabTest : public orvane::test::GuiTest {
 protected:
  EnricherTabTest() { state(tab).rng.seed(11); }

  // Writes PNG sources (lossless, so loads compare exactly) and loads the folder as a user would.
  void load_folder(const std::vector<std::pair<QString, cv::Mat>>& images) {
    for (const auto& [name, img] : images)
      ASSERT_TRUE(cv::imwrite(QDir(in.path()).filePath(name).toStdString(), img));
    dialogs.directories.push_back(in.path());
    controls(tab).btn_aug_browse_in->click();
  }
  void load_one(const cv::Mat& img) { load_folder({{"src.png", img}}); }
  void mode(orvane::DrawMode m) { orvane::select_draw_mode(controls(tab).aug_combo_mode, m); }
  void point(double x, double y) { Q_EMIT controls(tab).aug_canvas->point_clicked(QPointF(x, y)); }
  void identity_ranges() {
    for (auto* s : {controls(tab).aug_brightness_min, controls(tab).aug_brightness_max,
                    controls(tab).aug_rotation_min, controls(tab).aug_rotation_max,
                    controls(tab).aug_warp_min, controls(tab).aug_warp_max})
      s->setValue(0);
    for (auto* s : {controls(tab).aug_contrast_min, controls(tab).aug_contrast_max,
                    controls(tab).aug_gamma_min, controls(tab).aug_gamma_max})
      s->setValue(1);
  }
  QStringList written() const { return QDir(out.path()).entryList(QDir::Files, QDir::Name); }

  DialogRecorder dialogs;
  QTemporaryDir in, out;
  EnricherTab tab;
};

TEST_F(EnricherTabTest, LoadsAFolderAndWrapsAroundInBothDirections) {
  QDir(in.path()).mkdir("sub");
  ASSERT_TRUE(cv::imwrite(QDir(in.path()).filePath("sub/z.png").toStdString(), gradient(8, 8)));
  QFile(QDir(in.path()).filePath("x.tif")).open(QIODevice::WriteOnly);
  load_folder(
      {{"a.png", gradient(30, 20)}, {"B.JPG", gradient(40, 20)}, {"c.bmp", gradient(50, 20)}});

  EXPECT_EQ(controls(tab).aug_entry_in->text(), in.path());
  ASSERT_EQ(state(tab).aug_image_paths.size(), 3);  // no .tif, no sub-folder
  EXPECT_EQ(controls(tab).aug_lbl_status->text(), "Total Images: 3 | Enriched: 0");
  EXPECT_EQ(controls(tab).aug_lbl_counter->text(),
            "1 / 3 - B.JPG");  // code-point order: upper case first
  EXPECT_EQ(state(tab).aug_display_cv_img.cols, 40);
  EXPECT_EQ(controls(tab).aug_canvas->sceneRect(), QRectF(0, 0, 40, 20));
  EXPECT_EQ(controls(tab).aug_canvas->items().size(), 1);

  controls(tab).btn_aug_prev->click();
  EXPECT_EQ(controls(tab).aug_lbl_counter->text(), "3 / 3 - c.bmp");
  EXPECT_TRUE(equal(state(tab).aug_display_cv_img, gradient(50, 20)));
  controls(tab).btn_aug_next->click();
  EXPECT_EQ(controls(tab).aug_lbl_counter->text(), "1 / 3 - B.JPG");
  controls(tab).btn_aug_next->click();
  EXPECT_EQ(controls(tab).aug_lbl_counter->text(), "2 / 3 - a.png");
  // The three images are independent copies.
  EXPECT_NE(state(tab).aug_original_cv_img.data, state(tab).aug_display_cv_img.data);
  EXPECT_NE(state(tab).aug_active_base_img.data, state(tab).aug_display_cv_img.data);

  // A cancelled chooser changes nothing.
  controls(tab).btn_aug_browse_in->click();
  EXPECT_EQ(state(tab).aug_image_paths.size(), 3);
  EXPECT_EQ(*state(tab).aug_current_idx, 1);

  // A new folder restarts at its first image.
  QTemporaryDir second;
  for (int i = 1; i <= 12; ++i)
    cv::imwrite(
        QDir(second.path()).filePath(QString("img_%1.png").arg(i, 2, 10, QChar('0'))).toStdString(),
        gradient(10 + i, 10));
  dialogs.directories.push_back(second.path());
  controls(tab).btn_aug_browse_in->click();
  EXPECT_EQ(controls(tab).aug_lbl_counter->text(), "1 / 12 - img_01.png");
  controls(tab).btn_aug_next->click();
  EXPECT_EQ(controls(tab).aug_lbl_counter->text(), "2 / 12 - img_02.png");
}

TEST_F(EnricherTabTest, UnreadableSourceKeepsThePreviousImage) {
  QFile bad(QDir(in.path()).filePath("b_broken.jpg"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write("not a jpeg");
  bad.close();
  load_folder({{"a.png", gradient(30, 20)}});
  controls(tab).btn_aug_next->click();
  EXPECT_EQ(controls(tab).aug_lbl_counter->text(), "1 / 2 - a.png");
  EXPECT_EQ(state(tab).aug_display_cv_img.cols, 30);
}

TEST_F(EnricherTabTest, CropsByTwoRealClicksInEitherOrder) {
  const cv::Mat img = gradient(400, 300);
  load_one(img);
  tab.resize(1200, 800);
  tab.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
  controls(tab).aug_preview_view->resetTransform();
  controls(tab).aug_preview_view->centerOn(200, 150);
  const auto click_at = [&](double x, double y) {
    QTest::mouseClick(controls(tab).aug_preview_view->viewport(), Qt::LeftButton, {},
                      controls(tab).aug_preview_view->mapFromScene(QPointF(x, y)));
  };

  // Where a click on a whole viewport pixel lands in the scene.
  const auto landed = [&](double x, double y) {
    const QPointF p = controls(tab).aug_preview_view->mapToScene(
        controls(tab).aug_preview_view->mapFromScene(QPointF(x, y)));
    return cv::Point2d(p.x(), p.y());
  };
  const auto expected = orvane::enricher::crop_rect(img.size(), landed(50, 40), landed(250, 180));
  ASSERT_TRUE(expected);

  mode(orvane::DrawMode::Crop);
  click_at(250, 180);  // bottom-right first
  click_at(50, 40);
  ASSERT_EQ(state(tab).aug_display_cv_img.size(), expected->size());
  EXPECT_NEAR(expected->width, 200, 1);
  EXPECT_TRUE(equal(state(tab).aug_display_cv_img, img(*expected)));
  EXPECT_TRUE(equal(state(tab).aug_active_base_img, state(tab).aug_display_cv_img));
  EXPECT_EQ(controls(tab).aug_combo_mode->currentText(), "Select/Move");
  EXPECT_EQ(controls(tab).aug_canvas->draw_mode(), orvane::DrawMode::SelectMove);
  EXPECT_TRUE(state(tab).aug_crop_points.isEmpty());
  EXPECT_EQ(controls(tab).aug_canvas->sceneRect(), QRectF(0, 0, expected->width, expected->height));
}

TEST_F(EnricherTabTest, CropEdgeCases) {
  const cv::Mat img = gradient(100, 80);
  load_one(img);

  // A mode change between the clicks discards the first one.
  mode(orvane::DrawMode::Crop);
  point(10, 10);
  mode(orvane::DrawMode::Warp);
  mode(orvane::DrawMode::Crop);
  point(60, 50);
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), img.size());
  point(90, 70);
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), cv::Size(30, 20));

  // An empty rectangle changes nothing and keeps its points: later clicks crop nothing until
  // the mode is chosen again.
  controls(tab).btn_aug_reset->click();
  mode(orvane::DrawMode::Crop);
  point(-20, 10);
  point(-5, 60);
  point(50, 50);
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), img.size());
  EXPECT_EQ(state(tab).aug_crop_points.size(), 3);

  // Points in Select/Move do nothing.
  mode(orvane::DrawMode::SelectMove);
  point(1, 1);
  EXPECT_TRUE(state(tab).aug_crop_points.isEmpty());
}

TEST_F(EnricherTabTest, WarpsTheClickedRegion) {
  load_one(gradient(400, 400));
  mode(orvane::DrawMode::Warp);
  point(0, 0);
  point(200, 0);
  point(200, 100);
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), cv::Size(400, 400));
  point(0, 100);
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), cv::Size(200, 100));
  EXPECT_EQ(state(tab).aug_active_base_img.size(), cv::Size(200, 100));
  EXPECT_EQ(controls(tab).aug_combo_mode->currentText(), "Select/Move");
  EXPECT_TRUE(state(tab).aug_warp_points.isEmpty());

  // A collapsed quadrilateral changes nothing.
  mode(orvane::DrawMode::Warp);
  for (int i = 0; i < 4; ++i) point(5, 5);
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), cv::Size(200, 100));
}

TEST_F(EnricherTabTest, RotatesResetsAndRejectsBadAngles) {
  const cv::Mat img = gradient(640, 480);
  controls(tab).btn_aug_rotate_cw->click();  // nothing loaded: nothing happens
  EXPECT_TRUE(state(tab).aug_display_cv_img.empty());

  load_one(img);
  controls(tab).btn_aug_rotate_cw->click();
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), cv::Size(480, 640));
  EXPECT_EQ(state(tab).aug_active_base_img.size(), cv::Size(480, 640));
  EXPECT_EQ(controls(tab).aug_canvas->sceneRect(), QRectF(0, 0, 480, 640));
  for (int i = 0; i < 3; ++i) controls(tab).btn_aug_rotate_ccw->click();
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), cv::Size(640, 480));

  controls(tab).aug_entry_angle->setText(" 45 ");
  controls(tab).btn_aug_rotate->click();
  EXPECT_EQ(state(tab).aug_display_cv_img.cols, int(480 * std::sqrt(0.5) + 640 * std::sqrt(0.5)));

  const cv::Mat before = state(tab).aug_display_cv_img.clone();
  for (const char* bad : {"abc", "nan"}) {
    controls(tab).aug_entry_angle->setText(bad);
    controls(tab).btn_aug_rotate->click();
  }
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0].kind, orvane::ui::MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_EQ(dialogs.messages[0].text, "Enter a valid numeric angle.");
  EXPECT_TRUE(equal(state(tab).aug_display_cv_img, before));

  mode(orvane::DrawMode::Crop);
  point(3, 3);
  controls(tab).btn_aug_reset->click();
  EXPECT_TRUE(equal(state(tab).aug_display_cv_img, img));
  EXPECT_TRUE(equal(state(tab).aug_active_base_img, img));
  EXPECT_TRUE(state(tab).aug_crop_points.isEmpty());
  EXPECT_EQ(controls(tab).aug_combo_mode->currentText(), "Crop");  // reset does not change the mode
}

TEST_F(EnricherTabTest, PreviewShowsAVariantAndKeepsTheWorkingImage) {
  controls(tab).btn_aug_preview->click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Preview");
  EXPECT_EQ(dialogs.messages[0].text, "Load an input dataset folder first.");

  const cv::Mat first = gradient(60, 40), second = gradient(70, 40);
  load_folder({{"1.png", first}, {"2.png", second}});
  controls(tab).btn_aug_next->click();
  controls(tab).btn_aug_preview->click();
  EXPECT_EQ(state(tab).aug_display_cv_img.size(), second.size());
  EXPECT_FALSE(equal(state(tab).aug_display_cv_img, second));
  EXPECT_TRUE(equal(state(tab).aug_active_base_img, second));

  identity_ranges();
  controls(tab).btn_aug_preview->click();
  EXPECT_TRUE(equal(state(tab).aug_display_cv_img, second));

  // No working image but sources: the preview starts from the first source, not the current one.
  state(tab).aug_active_base_img = cv::Mat();
  controls(tab).btn_aug_preview->click();
  EXPECT_TRUE(equal(state(tab).aug_display_cv_img, first));
  EXPECT_TRUE(equal(state(tab).aug_original_cv_img, first));
  EXPECT_TRUE(equal(state(tab).aug_active_base_img, first));
}

TEST_F(EnricherTabTest, EnrichChecksItsInputs) {
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  load_one(gradient(30, 30));
  controls(tab).aug_entry_out->setText("   ");
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  QFile blocker(QDir(out.path()).filePath("file"));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  controls(tab).aug_entry_out->setText(QDir(out.path()).filePath("file/sub"));
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);

  ASSERT_EQ(dialogs.messages.size(), 3u);
  EXPECT_EQ(dialogs.messages[0].kind, orvane::ui::MessageKind::Warning);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_EQ(dialogs.messages[0].text, "No image is currently loaded on the canvas.");
  EXPECT_EQ(dialogs.messages[1].text, "Select a valid output directory first.");
  EXPECT_EQ(dialogs.messages[2].kind, orvane::ui::MessageKind::Critical);
  EXPECT_TRUE(dialogs.messages[2].text.startsWith("Could not create the output directory"));
  EXPECT_EQ(written(), QStringList{"file"});
}

TEST_F(EnricherTabTest, EnrichWritesNumberedVariantsWithoutOverwriting) {
  load_one(gradient(64, 48));
  mode(orvane::DrawMode::Crop);
  point(0, 0);
  point(32, 24);
  dialogs.directories.push_back(QDir(out.path()).filePath("new/deeper"));
  controls(tab).btn_aug_browse_out->click();
  controls(tab).spin_aug_gen_count->setValue(1);
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  controls(tab).spin_aug_gen_count->setValue(2);
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);

  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0].title, "Success");
  EXPECT_EQ(dialogs.messages[0].text,
            "Enrichment complete! Saved 1 variant(s) of the manipualted image.");
  EXPECT_EQ(dialogs.messages[1].text,
            "Enrichment complete! Saved 2 variant(s) of the manipualted image.");
  const QDir dir(QDir(out.path()).filePath("new/deeper"));
  const QStringList files = dir.entryList(QDir::Files, QDir::Name);
  ASSERT_EQ(files.size(), 3);  // the second batch did not replace the first one's var_1
  EXPECT_TRUE(files[0].endsWith("_var_1.jpg"));
  for (const QString& f : files) {
    const cv::Mat v = cv::imread(dir.filePath(f).toStdString());
    EXPECT_EQ(v.size(), cv::Size(32, 24)) << f.toStdString();  // variants of the cropped image
  }
  EXPECT_EQ(controls(tab).aug_lbl_status->text(), "Total Images: 1 | Enriched: 0");
}

TEST_F(EnricherTabTest, EnrichReportsVariantsThatCouldNotBeWritten) {
  load_one(gradient(20, 20));
  controls(tab).aug_entry_out->setText(out.path());
  controls(tab).spin_aug_gen_count->setValue(3);
  // A file system that takes no more than a few bytes a file (as a full disk would).
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  ::setrlimit(RLIMIT_FSIZE, &saved);

  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, orvane::ui::MessageKind::Critical);
  EXPECT_TRUE(dialogs.messages[0].text.startsWith(
      "Enrichment complete! Saved 0 variant(s) of the manipualted image."));
  EXPECT_TRUE(dialogs.messages[0].text.contains("3 variant(s) could not be written"));
  EXPECT_TRUE(written().isEmpty());  // no partial file, no temporary
  EXPECT_TRUE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

// A batch that throws (here: a working image the transforms cannot take) ends in the tab's error
// box with the ordinary cursor back, not in an exception escaping the slot.
TEST_F(EnricherTabTest, AFailingBatchShowsAnErrorAndRestoresTheCursor) {
  load_one(gradient(20, 20));
  controls(tab).aug_entry_out->setText(out.path());
  // Half-precision pixels: OpenCV's contrast step has no kernel for them and throws.
  state(tab).aug_active_base_img = cv::Mat::zeros(8, 8, CV_16FC3);
  ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, orvane::ui::MessageKind::Critical);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_TRUE(dialogs.messages[0].text.startsWith("The enrichment stopped: "))
      << dialogs.messages[0].text.toStdString();
}

TEST_F(EnricherTabTest, LabelsFollowManualEditsUntilResetAndGoWithTheVariants) {
  EXPECT_FALSE(controls(tab).chk_aug_labels->isChecked());
  EXPECT_EQ(controls(tab).chk_aug_labels->text(), "Carry YOLO labels (.txt beside each image)");
  // A 100 x 50 source with one box covering x 10..30, y 10..20.
  QFile label(QDir(in.path()).filePath("src.txt"));
  ASSERT_TRUE(label.open(QIODevice::WriteOnly));
  label.write("3 0.2 0.3 0.2 0.2\n");
  label.close();
  QFile classes(QDir(in.path()).filePath("classes.txt"));
  ASSERT_TRUE(classes.open(QIODevice::WriteOnly));
  classes.write("a\nb\nc\nd\n");
  classes.close();
  load_one(gradient(100, 50));
  ASSERT_TRUE(state(tab).active_shapes.has_value());
  controls(tab).chk_aug_labels->setChecked(true);
  EXPECT_EQ(controls(tab).aug_canvas->items().size(), 2);  // the picture and the box's outline

  // Crop from (20, 0) to (100, 50): the box keeps x 20..30 (half its area, above 25 %).
  mode(orvane::DrawMode::Crop);
  point(100, 50);
  point(20, 0);
  ASSERT_EQ(state(tab).active_shapes->size(), 1u);
  EXPECT_EQ((*state(tab).active_shapes)[0].points[0], cv::Point2d(0, 10));
  EXPECT_EQ((*state(tab).active_shapes)[0].points[2], cv::Point2d(10, 20));
  // A quarter turn clockwise of the 80 x 50 crop. The pixels turn about the integer centre
  // (40, 25) onto a 50-wide canvas, which maps pixel centres by x' = 50 - y, y' = x: one pixel
  // right of a turn about the exact centre. The labels go where the pixels went.
  controls(tab).btn_aug_rotate_cw->click();
  ASSERT_EQ(state(tab).active_shapes->size(), 1u);
  EXPECT_NEAR((*state(tab).active_shapes)[0].points[0].x, 31, 1e-9);
  EXPECT_NEAR((*state(tab).active_shapes)[0].points[0].y, 0, 1e-9);
  EXPECT_NEAR((*state(tab).active_shapes)[0].points[2].x, 41, 1e-9);
  EXPECT_NEAR((*state(tab).active_shapes)[0].points[2].y, 10, 1e-9);

  controls(tab).aug_entry_out->setText(out.path());
  controls(tab).spin_aug_gen_count->setValue(2);
  identity_ranges();
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  const QStringList files = written();
  ASSERT_EQ(files.size(), 5) << files.join(" ").toStdString();  // 2 variants, 2 labels, classes
  EXPECT_TRUE(files.contains("classes.txt"));
  for (const QString& f : files) {
    if (!f.endsWith(".txt") || f == "classes.txt") continue;
    QFile variant(QDir(out.path()).filePath(f));
    ASSERT_TRUE(variant.open(QIODevice::ReadOnly));
    EXPECT_EQ(variant.readAll(), "3 0.720000 0.062500 0.200000 0.125000\n");
  }

  controls(tab).btn_aug_reset->click();
  EXPECT_EQ((*state(tab).active_shapes)[0].points[0], cv::Point2d(10, 10));
}

TEST_F(EnricherTabTest, ALabelFileThatDoesNotParseStopsTheBatchBeforeAnyWrite) {
  QFile label(QDir(in.path()).filePath("src.txt"));
  ASSERT_TRUE(label.open(QIODevice::WriteOnly));
  label.write("0 0.5 0.5 0.1\n");
  label.close();
  load_one(gradient(40, 30));
  controls(tab).aug_entry_out->setText(out.path());
  controls(tab).chk_aug_labels->setChecked(true);
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Error");
  EXPECT_TRUE(dialogs.messages[0].text.contains("src.txt: line 1"));
  EXPECT_TRUE(written().isEmpty());
  // Without labels the same image enriches as before.
  controls(tab).chk_aug_labels->setChecked(false);
  controls(tab).spin_aug_gen_count->setValue(1);
  controls(tab).btn_aug_enrich->click();
  finish_tasks(tab);
  EXPECT_EQ(written().size(), 1);
}

}  // namespace
