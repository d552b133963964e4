#include "resizer/resizer_tab.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGraphicsPixmapItem>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/finish_tasks.h"
#include "common/tab_access.h"
#include "tasks/long_task.h"
#include "test_images.h"
#include "ui/task_progress_dialog.h"
#include "widgets/zoomable_view.h"

using orvane::resizer::ResizerTab;

using namespace orvane::test;

namespace {

QStringList items(const QComboBox* combo) {
  QStringList out;
  for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
  return out;
}

class ResizerTabTest : public ::testing::Test {
 protected:
  QString image(const QString& name, const QImage& picture, const char* format = "png") {
    const QString path = QDir(in.path()).filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    EXPECT_TRUE(save(picture, path, format));
    return path;
  }
  QApplication& app = gui_app();  // first: widgets need it
  QTemporaryDir in, out;
  DialogRecorder dialogs;
  ResizerTab tab;
};

TEST_F(ResizerTabTest, StartsWithTheDocumentedControls) {
  EXPECT_TRUE(controls(tab).chk_enable_dim->isChecked());
  EXPECT_EQ(controls(tab).chk_enable_dim->text(), "Enable Resizing");
  EXPECT_EQ(controls(tab).entry_resize_w->placeholderText(), "Width");
  EXPECT_EQ(controls(tab).entry_resize_h->placeholderText(), "Height");
  EXPECT_EQ(items(controls(tab).combo_unit), (QStringList{"px", "cm", "mm", "in", "pt"}));
  EXPECT_EQ(controls(tab).entry_dpi->text(), "300");
  EXPECT_TRUE(controls(tab).chk_aspect_ratio->isChecked());
  EXPECT_FALSE(controls(tab).chk_enable_comp->isChecked());
  EXPECT_EQ(controls(tab).entry_target_kb->text(), "500");
  EXPECT_EQ(items(controls(tab).combo_resizer_format),
            (QStringList{"Match Original", "JPEG", "PNG", "WEBP"}));
  EXPECT_EQ(items(controls(tab).combo_resizer_rotate), (QStringList{"0°", "90°", "180°", "270°"}));
  EXPECT_FALSE(controls(tab).chk_recursive->isChecked());
  EXPECT_EQ(controls(tab).lbl_queue_count->text(), "0 files in queue");
  EXPECT_EQ(controls(tab).lbl_resizer_details->text(),
            "Select an image from queue to preview expected output.");
  EXPECT_EQ(controls(tab).preview_resizer_view->height(), 220);
  EXPECT_EQ(controls(tab).btn_run_resizer->objectName(), "primaryBtn");
  EXPECT_EQ(controls(tab).btn_run_resizer->text(), "⚡ RUN BATCH EXPORT");
}

TEST_F(ResizerTabTest, QueueKeepsOrderRefusesDuplicatesAndShowsFileNames) {
  const QString a = image("a/img.png", noise_image(8, 8));
  const QString b = image("b/img.png", noise_image(8, 8));
  dialogs.file_lists = {{a}, {a, b}, {}};
  QTest::mouseClick(controls(tab).btn_add_files, Qt::LeftButton);
  EXPECT_EQ(controls(tab).lbl_queue_count->text(), "1 files in queue");
  QTest::mouseClick(controls(tab).btn_add_files, Qt::LeftButton);
  QTest::mouseClick(controls(tab).btn_add_files, Qt::LeftButton);  // cancelled: nothing changes
  EXPECT_EQ(state(tab).resizer_queue, (QStringList{a, b}));
  ASSERT_EQ(controls(tab).list_resizer_queue->count(), 2);
  EXPECT_EQ(controls(tab).list_resizer_queue->item(0)->text(), "img.png");
  EXPECT_EQ(controls(tab).list_resizer_queue->item(1)->text(), "img.png");
  EXPECT_EQ(controls(tab).lbl_queue_count->text(), "2 files in queue");

  QTest::mouseClick(controls(tab).btn_clear_queue, Qt::LeftButton);
  EXPECT_TRUE(state(tab).resizer_queue.isEmpty());
  EXPECT_EQ(controls(tab).list_resizer_queue->count(), 0);
  EXPECT_EQ(controls(tab).lbl_queue_count->text(), "0 files in queue");
}

TEST_F(ResizerTabTest, AddFolderHonoursTheRecursiveBox) {
  image("top.JPG", noise_image(8, 8), "jpeg");
  image("sub/deep.png", noise_image(8, 8));
  dialogs.directories = {in.path(), in.path(), QString()};
  QTest::mouseClick(controls(tab).btn_add_folder, Qt::LeftButton);
  EXPECT_EQ(state(tab).resizer_queue.size(), 1);
  controls(tab).chk_recursive->setChecked(true);
  QTest::mouseClick(controls(tab).btn_add_folder, Qt::LeftButton);
  EXPECT_EQ(state(tab).resizer_queue.size(), 2);                    // top.JPG is not queued twice
  QTest::mouseClick(controls(tab).btn_add_folder, Qt::LeftButton);  // cancelled
  EXPECT_EQ(controls(tab).lbl_queue_count->text(), "2 files in queue");
}

TEST_F(ResizerTabTest, PreviewPredictsTheOutputOfTheSelectedEntry) {
  const QString photo = image("photo.png", noise_image(400, 300));
  dialogs.file_lists = {{photo}};
  tab.resizer_add_files();
  controls(tab).entry_resize_w->setText("10");
  controls(tab).combo_unit->setCurrentText("cm");
  controls(tab).entry_dpi->setText("");
  controls(tab).list_resizer_queue->setCurrentRow(0);
  EXPECT_EQ(controls(tab).lbl_resizer_details->text(),
            QString("Predicted Output: 1181x886 px | 300 DPI | Orig: %1 KB")
                .arg(orvane::resizer::format_kb(QFileInfo(photo).size())));
  ASSERT_NE(controls(tab).preview_resizer_view->pixmap_item(), nullptr);
  EXPECT_EQ(controls(tab).preview_resizer_view->pixmap_item()->pixmap().size(), QSize(186, 140));

  // Fields are read afresh on the next selection; errors go to the label.
  controls(tab).combo_resizer_rotate->setCurrentText("90°");
  controls(tab).list_resizer_queue->clearSelection();
  controls(tab).list_resizer_queue->setCurrentRow(0);
  EXPECT_TRUE(
      controls(tab).lbl_resizer_details->text().startsWith("Predicted Output: 886x1181 px"));
  controls(tab).entry_resize_w->setText("wide");
  controls(tab).list_resizer_queue->clearSelection();
  controls(tab).list_resizer_queue->setCurrentRow(0);
  EXPECT_TRUE(controls(tab).lbl_resizer_details->text().startsWith("Preview Error: "));
}

TEST_F(ResizerTabTest, BatchWithABadDpiAsksNothingAndWritesNothing) {
  dialogs.file_lists = {{image("photo.png", noise_image(40, 30))}};
  tab.resizer_add_files();
  controls(tab).entry_dpi->setText("three hundred");
  dialogs.directories = {out.path()};
  QTest::mouseClick(controls(tab).btn_run_resizer, Qt::LeftButton);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, orvane::ui::MessageKind::Warning);
  EXPECT_TRUE(dialogs.messages[0].text.contains("DPI"));
  EXPECT_EQ(dialogs.directories.size(), 1u);  // the folder was never asked for
  EXPECT_TRUE(QDir(out.path()).isEmpty());
}

TEST_F(ResizerTabTest, BatchExportsCountsWrittenFilesAndNamesFailures) {
  const QString good = image("good.png", noise_image(40, 30));
  const QString turned = image("turned.bmp", noise_image(40, 30), "bmp");
  const QString bad = QDir(in.path()).filePath("bad.jpg");
  QFile junk(bad);
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("no picture here");
  junk.close();
  dialogs.file_lists = {{good, bad, turned}};
  tab.resizer_add_files();
  controls(tab).entry_resize_w->setText("20");
  controls(tab).combo_resizer_rotate->setCurrentText("90°");

  QTest::mouseClick(controls(tab).btn_run_resizer, Qt::LeftButton);  // folder dialog cancelled
  EXPECT_TRUE(dialogs.messages.empty());

  dialogs.directories = {out.path()};
  QTest::mouseClick(controls(tab).btn_run_resizer, Qt::LeftButton);
  finish_tasks(tab);
  EXPECT_EQ(controls(tab).progress_resizer->maximum(), 3);
  EXPECT_EQ(controls(tab).progress_resizer->value(), 3);
  EXPECT_TRUE(controls(tab).btn_run_resizer->isEnabled());
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Export Complete");
  EXPECT_TRUE(dialogs.messages[0].text.startsWith("Batch process finished. Exported 2 images."));
  EXPECT_TRUE(dialogs.messages[0].text.contains("bad.jpg"));
  EXPECT_EQ(read_image(QDir(out.path()).filePath("good_scaled.png")).size(), QSize(15, 20));
  EXPECT_EQ(detected_format(QDir(out.path()).filePath("turned_scaled.bmp")), "bmp");
  EXPECT_EQ(state(tab).resizer_queue.size(), 3);  // a batch does not empty the queue

  tab.resizer_clear_queue();
  QTest::mouseClick(controls(tab).btn_run_resizer,
                    Qt::LeftButton);  // empty queue: silently nothing
  EXPECT_EQ(dialogs.messages.size(), 1u);
}

// A batch of some seconds runs off the window's thread: the window's timers keep firing, a second
// start is refused, and Cancel stops it after the files in hand, each of them whole.
TEST_F(ResizerTabTest, ABatchLeavesTheWindowFreeRefusesASecondStartAndCancels) {
  QStringList queue;
  for (int i = 0; i < 64; ++i)
    queue << image(QString("n%1.png").arg(i, 2, 10, QChar('0')), noise_image(600, 480, i));
  dialogs.file_lists = {queue};
  tab.resizer_add_files();
  controls(tab).entry_resize_w->setText("480");
  controls(tab).combo_resizer_format->setCurrentText("JPEG");
  controls(tab).chk_enable_comp->setChecked(true);
  controls(tab).entry_target_kb->setText("20");  // many encodings per file

  dialogs.directories = {out.path()};
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(controls(tab).btn_run_resizer, Qt::LeftButton);
  ASSERT_TRUE(controls(tab).resize_task->running());
  EXPECT_FALSE(controls(tab).btn_run_resizer->isEnabled());
  tab.resizer_process_batch();  // the same batch again, while it runs
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Batch Running");
  auto* dialog = tab.findChild<orvane::ui::TaskProgressDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(dialog->isModal());

  // A timer of the window measures how long the event loop goes unanswered.
  qint64 last = clock.elapsed(), worst = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    worst = std::max(worst, clock.elapsed() - last);
    last = clock.elapsed();
  });
  tick.start(10);
  QEventLoop loop;
  QObject::connect(controls(tab).resize_task, &orvane::tasks::LongTask::progress_signal, &loop,
                   [&](int done) {
                     if (done >= 32 && dialog->cancel_button()->isEnabled())
                       QTest::mouseClick(dialog->cancel_button(), Qt::LeftButton);
                   });
  QObject::connect(controls(tab).resize_task, &orvane::tasks::LongTask::finished_signal, &loop,
                   &QEventLoop::quit);
  QTimer::singleShot(120000, &loop, &QEventLoop::quit);
  loop.exec();
  tick.stop();
  EXPECT_FALSE(controls(tab).resize_task->running());
  // Half the batch takes about half a second on this machine when it is quiet: long enough for
  // some fifty ticks of the timer.
  EXPECT_GT(clock.elapsed(), 250) << "the batch was too quick to measure anything";
  EXPECT_LT(worst, 100) << "the window did not answer for " << worst << " ms";

  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].title, "Export Cancelled");
  const QStringList written = QDir(out.path()).entryList(QDir::Files);
  EXPECT_GE(written.size(), 32);
  EXPECT_LT(written.size(), 64);
  EXPECT_TRUE(dialogs.messages[1].text.startsWith(
      QString("Batch process cancelled after %1 of 64 files. Exported %1 images.")
          .arg(written.size())))
      << dialogs.messages[1].text.toStdString();
  for (const QString& name : written) {
    EXPECT_TRUE(name.endsWith("_scaled.jpeg")) << name.toStdString();  // no temporaries
    EXPECT_EQ(read_image(QDir(out.path()).filePath(name)).width(), 480) << name.toStdString();
  }
  EXPECT_TRUE(controls(tab).btn_run_resizer->isEnabled());
}

}  // namespace
