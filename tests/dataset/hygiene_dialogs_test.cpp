// The dataset hygiene dialogs as an operator drives them: the Classes dialog's counts and its
// confirmed plan, the statistics' advice, the duplicates table and its drop action.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "dataset/classes_dialog.h"
#include "dataset/duplicates_dialog.h"
#include "dataset/statistics_dialog.h"
#include "dataset/test_files.h"

using namespace orvane::dataset;
using orvane::test::DialogRecorder;
using orvane::test::write_file;

namespace {

class HygieneDialogs : public orvane::test::GuiTest {
 protected:
  QTemporaryDir dir;
  DialogRecorder recorder;
};

TEST_F(HygieneDialogs, ClassesDialogCountsAndConfirmsADeletion) {
  write_file(dir.filePath("classes.txt"), "car\nperson\n");
  write_file(dir.filePath("a.jpg"), "jpg");
  write_file(dir.filePath("a.txt"), "0 0.5 0.5 0.1 0.1\n0 0.2 0.2 0.1 0.1\n1 0.5 0.5 0.2 0.2\n");
  write_file(dir.filePath("b.jpg"), "jpg");
  write_file(dir.filePath("b.txt"), "1 0.5 0.5 0.1 0.1\n");
  const auto data = open_folder_dataset(dir.path());
  ASSERT_TRUE(data.ok());
  ClassesDialog dialog(*data);
  auto* table = dialog.findChild<QTableWidget*>("table_classes");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->item(0, 1)->text(), "car");
  EXPECT_EQ(table->item(0, 2)->text(), "2");  // objects
  EXPECT_EQ(table->item(0, 3)->text(), "1");  // images
  EXPECT_EQ(table->item(1, 2)->text(), "2");
  EXPECT_EQ(table->item(1, 3)->text(), "2");

  // Declined: nothing planned. Confirmed: the plan, with the count in the question.
  recorder.answers = {QMessageBox::No, QMessageBox::Yes};
  table->selectRow(0);
  dialog.findChild<QPushButton*>("btn_delete_class")->click();
  EXPECT_FALSE(dialog.plan().has_value());
  dialog.findChild<QPushButton*>("btn_delete_class")->click();
  ASSERT_TRUE(dialog.plan().has_value());
  ASSERT_EQ(recorder.messages.size(), 2u);
  EXPECT_TRUE(recorder.messages[1].text.contains("deleted: 2 objects on 1 images"))
      << recorder.messages[1].text.toStdString();
  EXPECT_EQ(dialog.plan()->mapping.names, QStringList{"person"});
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(HygieneDialogs, StatisticsAdviseOnSmallObjects) {
  QImage(400, 400, QImage::Format_RGB32).save(dir.filePath("a.png"));
  write_file(dir.filePath("a.txt"), "0 0.5 0.5 0.02 0.02\n0 0.3 0.3 0.5 0.5\n");
  StatisticsDialog dialog({dir.filePath("a.png")}, {"speck"});
  EXPECT_EQ(dialog.statistics().sizes[kSmall], 1);
  EXPECT_FALSE(dialog.advice_label()->text().isEmpty());
  dialog.recompute(4096);  // 8 x 8 becomes 82 x 82: nothing small any more
  EXPECT_TRUE(dialog.advice_label()->text().isEmpty());
}

TEST_F(HygieneDialogs, DuplicatesTableAndDrop) {
  QImage picture(80, 60, QImage::Format_RGB32);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 80; ++x) picture.setPixel(x, y, qRgb(x * 3, y * 4, (x * y) % 256));
  picture.save(dir.filePath("a.png"));
  picture.save(dir.filePath("b.png"));
  qputenv("XDG_CACHE_HOME", dir.filePath("cache").toUtf8());
  DuplicatesDialog dialog(dir.path());
  QSignalSpy finished(&dialog, &DuplicatesDialog::finished);
  dialog.start(dir.path());
  ASSERT_TRUE(finished.wait(30000));
  auto* table = dialog.findChild<QTableWidget*>("table_pairs");
  ASSERT_EQ(table->rowCount(), 1);
  EXPECT_EQ(table->item(0, 0)->text(), "exact");
  EXPECT_EQ(table->item(0, 1)->text(), "a.png");
  EXPECT_FALSE(table->item(0, 1)->icon().isNull());
  dialog.drop(0, 1);
  EXPECT_TRUE(QFileInfo::exists(dir.filePath("removed/b.png")));
  EXPECT_FALSE(QFileInfo::exists(dir.filePath("b.png")));
  EXPECT_TRUE(table->item(0, 3)->text().startsWith("(dropped)"));
}

}  // namespace
