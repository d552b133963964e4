#include "splitter/splitter_tab.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/finish_tasks.h"
#include "common/tab_access.h"
#include "splitter/split_fixture.h"
#include "widgets/zoomable_view.h"

using orvane::splitter::SplitterTab;

using orvane::test::controls;
using orvane::test::finish_tasks;
using orvane::test::DialogRecorder;
using orvane::test::state;
using orvane::ui::MessageKind;

namespace {

QStringList options(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

class SplitterTabTest : public orvane::test::GuiTest {
 protected:
  void SetUp() override { ASSERT_TRUE(input.isValid() && output.isValid()); }
  void click_split() {
    QTest::mouseClick(controls(tab).btn_split, Qt::LeftButton);
    finish_tasks(tab);
  }
  SplitterTab tab;
  DialogRecorder dialogs;
  QTemporaryDir input, output;
};

TEST_F(SplitterTabTest, StartsWithFourPartsAndTheirThreeGrids) {
  EXPECT_EQ(controls(tab).spin_split_parts->minimum(), 1);
  EXPECT_EQ(controls(tab).spin_split_parts->maximum(), 100);
  EXPECT_EQ(controls(tab).spin_split_parts->value(), 4);
  EXPECT_EQ(options(controls(tab).combo_grid_mode),
            QStringList({"1 Rows x 4 Cols", "2 Rows x 2 Cols", "4 Rows x 1 Cols"}));
  EXPECT_EQ(controls(tab).combo_grid_mode->currentIndex(), 0);
  EXPECT_TRUE(controls(tab).chk_subfolders->isChecked());
  EXPECT_EQ(controls(tab).chk_subfolders->text(),
            "Save each tile part index in a separate subfolder (e.g. part_1/, part_2/)");
  EXPECT_EQ(controls(tab).entry_split_in->placeholderText(),
            "Select source directory containing images...");
  EXPECT_EQ(controls(tab).entry_split_out->placeholderText(),
            "Select destination directory for tiles...");
  EXPECT_EQ(controls(tab).btn_split->text(), QString::fromUtf8("✂ SPLIT IMAGES"));
  EXPECT_EQ(controls(tab).btn_split->objectName(), "primaryBtn");
  QStringList titles;
  for (auto* box : tab.findChildren<QGroupBox*>()) titles << box->title();
  // Doubled so the box shows one "&" instead of taking it as a mnemonic.
  EXPECT_EQ(titles,
            QStringList({"Directory Configuration", "Splitting Grid Parameters && Folder Structure",
                         "Grid Preview (first image of the input folder)"}));
}

TEST_F(SplitterTabTest, PreviewDrawsTheChosenCutsOverTheFirstImageThatDecodes) {
  // An unreadable file sorts first: the preview skips it as the batch does.
  orvane::test::write_bytes(input.path() + "/a_broken.png", "garbage");
  orvane::test::write_image(input.path() + "/b_field.png",
                            cv::Mat(32, 64, CV_8UC3, cv::Scalar(0, 0, 0)));
  auto shown = [&] {
    auto* item = controls(tab).view_split_preview->pixmap_item();
    return item == nullptr ? QImage() : item->pixmap().toImage();
  };
  controls(tab).entry_split_in->setText(input.path());
  controls(tab).spin_split_parts->setValue(2);  // 1 row x 2 columns: one cut at x = 32
  QImage image = shown();
  ASSERT_EQ(image.size(), QSize(64, 32));
  auto is_line = [](QColor c) { return c.blue() > 150 && c.green() > 150 && c.red() < 100; };
  EXPECT_TRUE(is_line(image.pixelColor(31, 6)));       // tile 1's right edge
  EXPECT_TRUE(is_line(image.pixelColor(32, 6)));       // tile 2's left edge
  EXPECT_EQ(image.pixelColor(8, 8), QColor(0, 0, 0));  // inside a tile the photo shows
  // Another grid redraws: 2 rows x 1 column cuts at y = 16 instead.
  controls(tab).combo_grid_mode->setCurrentText("2 Rows x 1 Cols");
  image = shown();
  EXPECT_TRUE(is_line(image.pixelColor(8, 15)));
  EXPECT_FALSE(is_line(image.pixelColor(32, 6)));
  // A folder without images empties the view instead of keeping a stale picture.
  controls(tab).entry_split_in->setText(output.path());
  EXPECT_TRUE(shown().isNull());
}

TEST_F(SplitterTabTest, ChangingThePartCountResetsTheGridChoice) {
  controls(tab).combo_grid_mode->setCurrentIndex(2);
  controls(tab).spin_split_parts->setValue(7);
  EXPECT_EQ(options(controls(tab).combo_grid_mode),
            QStringList({"1 Rows x 7 Cols", "7 Rows x 1 Cols"}));
  EXPECT_EQ(controls(tab).combo_grid_mode->currentIndex(), 0);
  controls(tab).spin_split_parts->setValue(1);
  EXPECT_EQ(options(controls(tab).combo_grid_mode), QStringList({"1 Rows x 1 Cols"}));
}

TEST_F(SplitterTabTest, BrowseFillsTheEntryAndCancelKeepsIt) {
  controls(tab).entry_split_in->setText("/kept");
  dialogs.directories = {"/chosen/in", ""};
  QTest::mouseClick(controls(tab).btn_browse_in, Qt::LeftButton);
  EXPECT_EQ(controls(tab).entry_split_in->text(), "/chosen/in");
  QTest::mouseClick(controls(tab).btn_browse_in, Qt::LeftButton);  // cancelled
  EXPECT_EQ(controls(tab).entry_split_in->text(), "/chosen/in");
  dialogs.directories = {"/chosen/out"};
  QTest::mouseClick(controls(tab).btn_browse_out, Qt::LeftButton);
  EXPECT_EQ(controls(tab).entry_split_out->text(), "/chosen/out");
}

TEST_F(SplitterTabTest, InvalidFoldersAndEmptyInputAreWarnedAndNothingIsWritten) {
  struct Case {
    QString in, out, title, text;
  };
  const QString missing = input.path() + "/nope";
  for (const Case& c :
       {Case{"", output.path(), "Error", "Specify valid Input and Output directories."},
        Case{missing, output.path(), "Error", "Specify valid Input and Output directories."},
        Case{input.path(), "   ", "Error", "Specify valid Input and Output directories."},
        Case{input.path(), output.path(), "No Images", "No images found in input folder."}}) {
    dialogs.messages.clear();
    controls(tab).entry_split_in->setText(c.in);
    controls(tab).entry_split_out->setText(c.out);
    click_split();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Warning);
    EXPECT_EQ(dialogs.messages[0].title, c.title);
    EXPECT_EQ(dialogs.messages[0].text, c.text);
  }
  EXPECT_TRUE(QDir(output.path()).isEmpty());
}

TEST_F(SplitterTabTest, SplitsWithTheChosenGridAndSaysWhatWasWritten) {
  orvane::test::write_image(input.path() + "/photo.JPG", orvane::test::position_image(30, 20));
  orvane::test::write_image(input.path() + "/a.b.png", orvane::test::position_image(30, 20));
  controls(tab).entry_split_in->setText("  " + input.path() +
                                        " ");  // surrounding spaces are trimmed
  controls(tab).entry_split_out->setText(output.path() + "/tiles");  // created as needed
  controls(tab).spin_split_parts->setValue(12);
  controls(tab).combo_grid_mode->setCurrentText("3 Rows x 4 Cols");
  click_split();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Information);
  EXPECT_EQ(dialogs.messages[0].title, "Splitting Success");
  EXPECT_EQ(dialogs.messages[0].text, "Split 2 images into 24 tile parts.");
  EXPECT_TRUE(QFileInfo::exists(output.path() + "/tiles/part_01/photo_part_01.JPG"));
  EXPECT_TRUE(QFileInfo::exists(output.path() + "/tiles/part_12/a.b_part_12.png"));
}

TEST_F(SplitterTabTest, ProblemsFollowTheSuccessBoxAndATotalFailureIsNotASuccess) {
  orvane::test::write_image(input.path() + "/good.png", orvane::test::position_image(8, 8));
  orvane::test::write_bytes(input.path() + "/broken.webp", "garbage");
  controls(tab).entry_split_in->setText(input.path());
  controls(tab).entry_split_out->setText(output.path());
  click_split();
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0].text, "Split 1 images into 4 tile parts.");
  EXPECT_EQ(dialogs.messages[1].kind, MessageKind::Warning);
  EXPECT_TRUE(dialogs.messages[1].text.contains("broken.webp"));

  // Flat output into a folder that does not exist yet: it is created.
  dialogs.messages.clear();
  controls(tab).chk_subfolders->setChecked(false);
  controls(tab).entry_split_out->setText(output.path() + "/missing");
  click_split();
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[0].text, "Split 1 images into 4 tile parts.");
  EXPECT_TRUE(QFileInfo::exists(output.path() + "/missing/good_part_1.png"));

  // An output folder that cannot be created: nothing can be written, and the box says why once.
  dialogs.messages.clear();
  orvane::test::write_bytes(output.path() + "/file", "in the way");
  controls(tab).entry_split_out->setText(output.path() + "/file/tiles");
  click_split();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, MessageKind::Warning);
  EXPECT_EQ(dialogs.messages[0].title, "Splitting Failed");
  EXPECT_TRUE(dialogs.messages[0].text.contains("1 folder(s) could not be created:\n  " +
                                                output.path() + "/file/tiles"));
}

TEST_F(SplitterTabTest, CarryingLabelsIsOffUntilChecked) {
  EXPECT_FALSE(controls(tab).chk_split_labels->isChecked());
  EXPECT_EQ(controls(tab).chk_split_labels->text(), "Carry YOLO labels (.txt beside each image)");
  EXPECT_EQ(controls(tab).spin_split_overlap->value(), 0);
  EXPECT_FALSE(controls(tab).spin_split_min_visible->isEnabled());
  orvane::test::write_image(input.path() + "/a.png", orvane::test::position_image(40, 20));
  orvane::test::write_bytes(input.path() + "/a.txt", "1 0.125 0.5 0.25 1\n");
  orvane::test::write_bytes(input.path() + "/classes.txt", "x\ny\n");
  controls(tab).entry_split_in->setText(input.path());
  controls(tab).entry_split_out->setText(output.path());
  controls(tab).chk_subfolders->setChecked(false);
  click_split();
  EXPECT_FALSE(QFileInfo::exists(output.path() + "/a_part_1.txt"));

  controls(tab).chk_split_labels->setChecked(true);
  EXPECT_TRUE(controls(tab).spin_split_min_visible->isEnabled());
  click_split();
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].text, "Split 1 images into 4 tile parts.");
  QFile first(output.path() + "/a_part_1.txt");
  ASSERT_TRUE(first.open(QIODevice::ReadOnly));
  EXPECT_EQ(first.readAll(), "1 0.500000 0.500000 1.000000 1.000000\n");
  EXPECT_EQ(QFileInfo(output.path() + "/a_part_2.txt").size(), 0);
  EXPECT_TRUE(QFileInfo::exists(output.path() + "/classes.txt"));
}

}  // namespace
