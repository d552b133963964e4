#include "annotator/annotator_tab.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGraphicsPolygonItem>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUndoStack>
#include <QVBoxLayout>
#include <opencv2/imgcodecs.hpp>

#include "annotator/classes_file.h"
#include "annotator/label_dialog.h"
#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/raw_file.h"
#include "common/tab_access.h"
#include "widgets/interactive_canvas.h"
#include "widgets/zoomable_view.h"

using orvane::AnnotatorTab;
using orvane::LabelDialog;

using namespace orvane;
using orvane::test::controls;
using orvane::test::state;

namespace {

using test::read_all;
using test::write_raw;

QList<QByteArray> lines_of(const QString& path) {
  QList<QByteArray> lines = read_all(path).split('\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
  return lines;
}

class AnnotatorTabTest : public test::GuiTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    tab.resize(1300, 800);
  }

  QString path(const QString& name) const { return dir.filePath(name); }
  void image(const QString& name, int width, int height) {
    cv::Mat mat(height, width, CV_8UC3, cv::Scalar(40, 90, 160));
    ASSERT_TRUE(cv::imwrite(path(name).toStdString(), mat));
  }
  void open() {
    dialogs.directories.push_back(dir.path());
    controls(tab).btn_load_dir->click();
  }
  // The next label dialog is answered with `text` (typed into its combo) and OK.
  void answer_label(const QString& text) {
    dialogs.dialog_actions.push_back([text](QDialog& d) {
      auto& dialog = dynamic_cast<LabelDialog&>(d);
      dialog.combo()->setCurrentText(text);
      return int(QDialog::Accepted);
    });
  }
  void show() {
    tab.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    controls(tab).btn_fit_screen->click();
  }
  void mode(DrawMode m) { select_draw_mode(controls(tab).combo_mode, m); }
  QPoint at(QPointF scene) const { return controls(tab).canvas_view->mapFromScene(scene); }
  QPointF scene_of(QPointF scene) const { return controls(tab).canvas_view->mapToScene(at(scene)); }
  void press(QPointF p, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mousePress(controls(tab).canvas_view->viewport(), b, {}, at(p));
  }
  void release(QPointF p, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mouseRelease(controls(tab).canvas_view->viewport(), b, {}, at(p));
  }
  void drag(QPointF from, QPointF to) {
    press(from);
    QTest::mouseMove(controls(tab).canvas_view->viewport(), at(to));
    release(to);
  }
  QPolygonF scene_polygon(int i) const {
    const QGraphicsPolygonItem* item = state(tab).annotations.at(i).item;
    return item->mapToScene(item->polygon());
  }

  QTemporaryDir dir;
  test::DialogRecorder dialogs;
  AnnotatorTab tab;
};

}  // namespace

TEST(AnnotatorTabLifetime, ClosingWithASelectedShapeDoesNotCrash) {
  // The window is destroyed with a shape still selected: tearing the canvas down deselects it,
  // which once reached the half-destroyed tab and crashed the studio on exit.
  test::gui_app();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  ASSERT_TRUE(cv::imwrite(dir.filePath("a.png").toStdString(),
                          cv::Mat(30, 40, CV_8UC3, cv::Scalar(40, 90, 160))));
  write_raw(dir.filePath("a.txt"), "0 0.1 0.1 0.9 0.1 0.5 0.9\n");
  write_raw(dir.filePath("classes.txt"), "nut\n");
  test::DialogRecorder dialogs;
  auto* tab = new AnnotatorTab;
  dialogs.directories.push_back(dir.path());
  controls(*tab).btn_load_dir->click();
  ASSERT_EQ(controls(*tab).table_objects->rowCount(), 1);
  controls(*tab).table_objects->selectRow(0);
  ASSERT_FALSE(controls(*tab).canvas->selectedItems().isEmpty());
  delete tab;
  EXPECT_TRUE(read_all(dir.filePath("a.txt")).startsWith("0 0.1"));  // the labels stay
}

TEST_F(AnnotatorTabTest, LoadsFolderInCodePointOrderWithStatusMarksAndClasses) {
  image("b.png", 40, 30);
  image("A.jpg", 40, 30);
  image("a.jpg", 40, 30);
  image("IMG_10.jpg", 40, 30);
  image("IMG_2.WebP", 40, 30);
  write_raw(path("notes.txt"), "x");
  write_raw(path("archive.tif"), "x");
  QDir(dir.path()).mkpath("sub");
  image("sub/c.png", 40, 30);
  write_raw(path("a.txt"), "0 0.1 0.1 0.5 0.1 0.5 0.5\n");
  write_raw(path("classes.txt"), "bolt\r\n\r\n nut \r\n");
  open();

  QStringList rows;
  for (int i = 0; i < controls(tab).list_images->count(); ++i)
    rows << controls(tab).list_images->item(i)->text();
  EXPECT_EQ(rows, (QStringList{"[  ] A.jpg", "[  ] IMG_10.jpg", "[  ] IMG_2.WebP", "[✓] a.jpg",
                               "[  ] b.png"}));
  EXPECT_EQ(tab.classes(), (QStringList{"bolt", "nut"}));
  EXPECT_EQ(state(tab).current_idx, 0);
  EXPECT_EQ(controls(tab).list_images->currentRow(), 0);
  EXPECT_EQ(controls(tab).lbl_img_status->text(), "STATUS: PENDING");
  EXPECT_EQ(controls(tab).canvas->sceneRect(), QRectF(0, 0, 40, 30));

  controls(tab).list_images->setCurrentRow(3);  // a.jpg, with its label file
  EXPECT_EQ(state(tab).current_idx, 3);
  EXPECT_EQ(controls(tab).lbl_img_status->text(), "STATUS: ANNOTATED");
  ASSERT_EQ(state(tab).annotations.size(), 1u);
  EXPECT_EQ(state(tab).document->shapes()[0].label, "bolt");
  EXPECT_EQ(state(tab).document->shapes()[0].type, "Polygon");
  EXPECT_EQ(controls(tab).table_objects->rowCount(), 1);

  // A second folder without classes.txt keeps the class list; an empty one shows no image.
  QTemporaryDir other;
  cv::imwrite(QDir(other.path()).filePath("z.png").toStdString(),
              cv::Mat(10, 10, CV_8UC3, cv::Scalar::all(0)));
  dialogs.directories.push_back(other.path());
  controls(tab).btn_load_dir->click();
  EXPECT_EQ(tab.classes(), (QStringList{"bolt", "nut"}));
  QTemporaryDir empty;
  dialogs.directories.push_back(empty.path());
  controls(tab).btn_load_dir->click();
  EXPECT_EQ(controls(tab).list_images->count(), 0);
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_TRUE(state(tab).display_cv_img.empty());
}

TEST_F(AnnotatorTabTest, DrawLabelAndFileForEveryShapeMode) {
  image("photo.png", 200, 100);
  open();
  show();
  const QString label = path("photo.txt");

  mode(DrawMode::Polygon);
  answer_label("  nut ");
  for (QPointF p : {QPointF(20, 20), QPointF(80, 20), QPointF(50, 70)}) {
    press(p);
    release(p);
  }
  press({50, 50}, Qt::RightButton);
  ASSERT_EQ(state(tab).annotations.size(), 1u);
  EXPECT_EQ(state(tab).document->shapes()[0].label, "nut");  // typed with spaces, stored without
  EXPECT_EQ(tab.classes(), QStringList{"nut"});
  EXPECT_EQ(read_all(path("classes.txt")), "nut\n");
  EXPECT_EQ(controls(tab).list_images->item(0)->text(), "[✓] photo.png");
  EXPECT_EQ(controls(tab).lbl_img_status->text(),
            "STATUS: PENDING");  // until the image is shown again

  mode(DrawMode::Rectangle);
  answer_label("bolt");
  drag({100, 10}, {150, 60});
  mode(DrawMode::Circle);
  answer_label("nut");  // an existing name reuses its id
  drag({30, 85}, {30, 75});
  mode(DrawMode::Pentagon);
  answer_label("bolt");
  drag({178, 80}, {168, 85});
  ASSERT_EQ(state(tab).annotations.size(), 4u);
  EXPECT_EQ(tab.classes(), (QStringList{"nut", "bolt"}));
  EXPECT_EQ(state(tab).last_label, "bolt");

  const QStringList types{"Polygon", "Rectangle", "Circle", "Pentagon"};
  const int vertices[] = {3, 4, 32, 5};
  const int ids[] = {0, 1, 0, 1};
  const QList<QByteArray> lines = lines_of(label);
  ASSERT_EQ(lines.size(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(controls(tab).table_objects->item(i, 1)->text(), types[i]);
    EXPECT_EQ(controls(tab).table_objects->item(i, 0)->text(),
              state(tab).document->shapes()[i].label);
    const QList<QByteArray> tokens = lines[i].split(' ');
    EXPECT_EQ(tokens[0].toInt(), ids[i]) << i;
    EXPECT_EQ(tokens.size(), 1 + 2 * vertices[i]) << i;
    // The file holds exactly what is on screen, normalised to the image size.
    const QPolygonF on_screen = scene_polygon(i);
    for (int v = 0; v < vertices[i]; ++v) {
      EXPECT_NEAR(tokens[1 + 2 * v].toDouble(), std::clamp(on_screen[v].x() / 200, 0.0, 1.0), 5e-7);
      EXPECT_NEAR(tokens[2 + 2 * v].toDouble(), std::clamp(on_screen[v].y() / 100, 0.0, 1.0), 5e-7);
    }
  }
  // The rectangle's corners are where the mouse went, in drawing order.
  EXPECT_EQ(scene_polygon(1)[0], scene_of({100, 10}));
  EXPECT_EQ(scene_polygon(1)[2], scene_of({150, 60}));

  // Opened again, the image reads back the same shapes (file shapes are typed by vertex count).
  tab.open_folder(tab.image_folder());
  ASSERT_EQ(state(tab).annotations.size(), 4u);
  EXPECT_EQ(state(tab).document->shapes()[1].type, "Rectangle");
  EXPECT_EQ(state(tab).document->shapes()[2].type, "Polygon");
  EXPECT_EQ(controls(tab).lbl_img_status->text(), "STATUS: ANNOTATED");
}

TEST_F(AnnotatorTabTest, CancelledOrBlankLabelDropsTheShape) {
  image("a.png", 50, 50);
  open();
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{1, 1}, {20, 1}, {20, 20}});  // no answer queued: cancelled
  answer_label("   ");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{1, 1}, {20, 1}, {20, 20}});
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_TRUE(tab.classes().isEmpty());
  EXPECT_FALSE(QFile::exists(path("a.txt")));
  EXPECT_FALSE(QFile::exists(path("classes.txt")));
  EXPECT_EQ(dialogs.dialogs_run, 2);
}

TEST_F(AnnotatorTabTest, SavesBeforeEveryMoveAndOnlyThen) {
  image("a.png", 100, 80);
  image("b.png", 100, 80);
  open();
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  EXPECT_EQ(read_all(path("a.txt")), "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n");

  // A drag is written by the next save: here, "◄ Prev" on the first image does nothing.
  state(tab).annotations[0].item->setPos(10, 0);
  controls(tab).btn_prev_img->click();
  EXPECT_EQ(read_all(path("a.txt")), "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n");
  controls(tab).list_images->setCurrentRow(0);  // the row already shown: no save, no reload
  EXPECT_EQ(read_all(path("a.txt")), "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n");
  controls(tab).btn_next_img->click();
  EXPECT_EQ(state(tab).current_idx, 1);
  EXPECT_EQ(read_all(path("a.txt")), "0 0.200000 0.250000 0.600000 0.250000 0.400000 0.750000\n");

  // Dragged past the edge and saved with the button: clamped.
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{90, 70}, {99, 70}, {99, 79}});
  state(tab).annotations[0].item->setPos(20, 20);
  controls(tab).btn_next_img->click();  // last image: no save
  EXPECT_EQ(read_all(path("b.txt")), "0 0.900000 0.875000 0.990000 0.875000 0.990000 0.987500\n");
  controls(tab).btn_save->click();
  EXPECT_EQ(read_all(path("b.txt")), "0 1.000000 1.000000 1.000000 1.000000 1.000000 1.000000\n");
  // The save made the drag a step of the shape; dragging it back is another.
  state(tab).annotations[0].item->setPos(-20, -20);
  controls(tab).list_images->setCurrentRow(0);
  EXPECT_EQ(read_all(path("b.txt")), "0 0.900000 0.875000 0.990000 0.875000 0.990000 0.987500\n");
}

TEST_F(AnnotatorTabTest, ClosingTheWindowSavesADraggedShape) {
  image("a.png", 100, 80);
  open();
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  layout->addWidget(&tab);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  state(tab).annotations[0].item->setPos(10, 0);
  EXPECT_TRUE(window.close());
  EXPECT_EQ(read_all(path("a.txt")), "0 0.200000 0.250000 0.600000 0.250000 0.400000 0.750000\n");

  // When the save fails the operator chooses: "No" keeps the window open.
  window.show();
  QFile::remove(path("a.txt"));
  QDir(dir.path()).mkdir("a.txt");
  dialogs.answers = {QMessageBox::Ok, QMessageBox::No};  // the save's warning, then the question
  EXPECT_FALSE(window.close());
  dialogs.answers = {QMessageBox::Ok, QMessageBox::Yes};
  EXPECT_TRUE(window.close());
  ASSERT_EQ(dialogs.messages.size(), 4u);
  EXPECT_EQ(dialogs.messages[1].title, "Unsaved Shapes");
  layout->removeWidget(&tab);
  tab.setParent(nullptr);
}

TEST_F(AnnotatorTabTest, DeletingTheLastShapeRemovesTheLabelFile) {
  image("cat.png", 100, 80);
  open();
  answer_label("cat");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  answer_label("cat");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{60, 20}, {90, 20}, {70, 60}});
  ASSERT_EQ(lines_of(path("cat.txt")).size(), 2);
  controls(tab).table_objects->selectRow(0);
  controls(tab).btn_delete_shape->click();
  EXPECT_EQ(lines_of(path("cat.txt")).size(), 1);
  controls(tab).table_objects->selectRow(0);
  controls(tab).btn_delete_shape->click();
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_EQ(controls(tab).table_objects->rowCount(), 0);
  EXPECT_FALSE(QFile::exists(path("cat.txt")));
  EXPECT_EQ(controls(tab).list_images->item(0)->text(), "[  ] cat.png");
  controls(tab).btn_delete_shape->click();  // nothing left: nothing happens
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(AnnotatorTabTest, CopyPreviousScalesShapesToTheCurrentImage) {
  image("1.png", 100, 80);
  image("2.png", 200, 160);
  image("3.png", 50, 50);
  write_raw(path("classes.txt"), "a\nb\n");
  write_raw(path("1.txt"), "1 0.1 0.25 0.5 0.25 0.3 0.75\n");
  open();
  controls(tab).btn_copy_prev->click();  // first image: nothing before it
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Unavailable");
  EXPECT_EQ(dialogs.messages[0].text, "No previous image available to copy annotations from.");

  controls(tab).btn_next_img->click();
  answer_label("a");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{0, 0}, {10, 0}, {10, 10}});  // replaced by the copy
  controls(tab).btn_copy_prev->click();
  ASSERT_EQ(state(tab).annotations.size(), 1u);
  EXPECT_EQ(state(tab).document->shapes()[0].label, "b");
  EXPECT_EQ(scene_polygon(0), (QPolygonF{{20, 40}, {100, 40}, {60, 120}}));
  EXPECT_EQ(controls(tab).canvas->items().size(),
            2);  // picture + the copied shape, nothing left over
  EXPECT_EQ(read_all(path("2.txt")), "1 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n");

  // From an image without labels the copy empties the current one and removes its file.
  controls(tab).btn_next_img->click();
  answer_label("a");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{0, 0}, {10, 0}, {10, 10}});
  QFile::remove(path("2.txt"));
  controls(tab).btn_copy_prev->click();
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_FALSE(QFile::exists(path("3.txt")));
}

TEST_F(AnnotatorTabTest, SelectionFollowsBetweenTableAndCanvasAndColoursFollowClassIds) {
  image("a.png", 100, 100);
  QStringList names;
  for (int i = 0; i < 11; ++i) names << QStringLiteral("c%1").arg(i);
  write_raw(path("classes.txt"), names.join('\n').toUtf8());
  open();
  for (const char* label : {"c1", "c10", "c0"}) {
    answer_label(label);
    Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 10}, {40, 10}, {40, 40}});
  }
  EXPECT_EQ(state(tab).annotations[0].item->pen().color(), QColor("#FF0000"));
  EXPECT_EQ(state(tab).annotations[1].item->pen().color(), QColor("#00FF00"));  // id 10 wraps to 0
  EXPECT_EQ(state(tab).annotations[1].item->brush().color().alpha(), 60);

  controls(tab).table_objects->selectRow(1);
  EXPECT_TRUE(state(tab).annotations[1].item->isSelected());
  EXPECT_FALSE(state(tab).annotations[0].item->isSelected());
  EXPECT_EQ(state(tab).annotations[1].item->pen().width(), 4);
  EXPECT_EQ(state(tab).annotations[1].item->brush().color().alpha(), 120);
  EXPECT_EQ(state(tab).annotations[1].item->zValue(), 1.0);
  EXPECT_EQ(state(tab).annotations[0].item->zValue(), 0.0);

  state(tab).annotations[2].item->setSelected(true);  // as a click on the canvas does
  state(tab).annotations[1].item->setSelected(false);
  EXPECT_EQ(controls(tab).table_objects->currentRow(), 2);
  EXPECT_EQ(controls(tab).table_objects->selectionModel()->selectedRows().size(), 1);
  EXPECT_EQ(state(tab).annotations[2].item->pen().width(), 4);
  EXPECT_EQ(state(tab).annotations[1].item->pen().width(), 2);

  // Nothing selected on the canvas: Delete must not remove the shape selected before.
  controls(tab).canvas->clearSelection();
  EXPECT_EQ(controls(tab).table_objects->currentRow(), -1);
  controls(tab).btn_delete_shape->click();
  EXPECT_EQ(state(tab).annotations.size(), 3u);
}

TEST_F(AnnotatorTabTest, DeleteKeysActOnlyWhileTheAnnotatorIsShown) {
  image("a.png", 100, 100);
  open();
  for (int i = 0; i < 2; ++i) {
    answer_label("x");
    Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 10}, {40, 10}, {40, 40}});
  }
  // The tab inside a tab widget beside another page, as in the main window.
  QTabWidget tabs;
  auto* other = new QWidget;
  auto* other_button = new QPushButton("elsewhere", other);
  tabs.addTab(new QWidget, "placeholder");
  tab.setParent(nullptr);
  tabs.addTab(&tab, "Image Annotator");
  tabs.addTab(other, "Other");
  tabs.resize(1300, 800);
  tabs.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&tabs));

  controls(tab).table_objects->selectRow(0);
  tabs.setCurrentWidget(other);
  other_button->setFocus();
  QTest::keyClick(other_button, Qt::Key_Delete);
  QTest::keyClick(other_button, Qt::Key_Backspace);
  EXPECT_EQ(state(tab).annotations.size(), 2u);

  tabs.setCurrentWidget(&tab);
  controls(tab).table_objects->setFocus();
  controls(tab).table_objects->selectRow(0);
  QTest::keyClick(controls(tab).table_objects, Qt::Key_Delete);
  EXPECT_EQ(state(tab).annotations.size(), 1u);
  controls(tab).table_objects->selectRow(0);
  QTest::keyClick(controls(tab).table_objects, Qt::Key_Backspace);
  EXPECT_TRUE(state(tab).annotations.empty());
  tabs.removeTab(tabs.indexOf(&tab));
  tab.setParent(nullptr);
}

TEST_F(AnnotatorTabTest, LinesTheReaderCannotShowSurviveEverySave) {
  image("a.png", 100, 80);
  write_raw(path("classes.txt"), "bolt\nnut\n");
  write_raw(path("a.txt"),
            "5 0.1 0.1 0.2 0.2 0.3 0.3\r\n"
            "1 0.1 0.25 0.5 0.25 0.3 0.75\r\n"
            "0 0.5\r\n"
            "0 0.5 0.5 0.2\r\n"
            "0 0.9 0.9 0.8 0.8 0.7 0.7\r\n");
  testing::internal::CaptureStdout();
  open();
  // The reason is shown, not printed where nobody looks.
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Label File Error");
  EXPECT_TRUE(dialogs.messages[0].text.startsWith("Error loading annotations: "));
  EXPECT_TRUE(dialogs.messages[0].text.contains("line 4"))
      << dialogs.messages[0].text.toStdString();
  EXPECT_TRUE(controls(tab).lbl_img_status->toolTip().contains("line 4"));
  ASSERT_EQ(state(tab).annotations.size(), 1u);
  EXPECT_TRUE(controls(tab).lbl_img_status->text().contains("LABEL FILE ERROR"));

  // Deleting the only shown shape keeps the file with the lines that were not shown.
  controls(tab).table_objects->selectRow(0);
  controls(tab).btn_delete_shape->click();
  EXPECT_EQ(read_all(path("a.txt")),
            "5 0.1 0.1 0.2 0.2 0.3 0.3\n0 0.5\n0 0.5 0.5 0.2\n0 0.9 0.9 0.8 0.8 0.7 0.7\n");
  answer_label("nut");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  EXPECT_EQ(read_all(path("a.txt")),
            "1 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n"
            "5 0.1 0.1 0.2 0.2 0.3 0.3\n0 0.5\n0 0.5 0.5 0.2\n0 0.9 0.9 0.8 0.8 0.7 0.7\n");
}

TEST_F(AnnotatorTabTest, EmptyClassListShowsNoShapeButKeepsTheFile) {
  image("a.png", 100, 80);
  image("b.png", 100, 80);
  const QByteArray original = "0 0.1 0.25 0.5 0.25 0.3 0.75\n";
  write_raw(path("a.txt"), original);
  open();
  EXPECT_TRUE(state(tab).annotations.empty());
  controls(tab).btn_next_img->click();
  controls(tab).btn_prev_img->click();
  controls(tab).btn_save->click();
  EXPECT_EQ(read_all(path("a.txt")), original);
}

TEST_F(AnnotatorTabTest, UndecodableImageShowsNothingAndItsLabelFileIsNeverTouched) {
  image("a.png", 100, 80);
  write_raw(path("b.jpg"), "not a jpeg");
  write_raw(path("classes.txt"), "car\n");
  const QByteArray b_labels = "0 0.1 0.1 0.2 0.2 0.3 0.3\n";
  write_raw(path("b.txt"), b_labels);
  open();
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});

  controls(tab).btn_next_img->click();
  EXPECT_EQ(state(tab).current_idx, 1);
  EXPECT_TRUE(state(tab).display_cv_img.empty());
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_EQ(controls(tab).table_objects->rowCount(), 0);
  EXPECT_TRUE(controls(tab).lbl_img_status->text().contains("COULD NOT BE DECODED"));
  EXPECT_EQ(controls(tab).canvas->items().size(), 0);
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{1, 1}, {5, 1}, {5, 5}});  // nothing to draw on
  controls(tab).btn_save->click();
  controls(tab).btn_copy_prev->click();
  controls(tab).btn_prev_img->click();
  EXPECT_EQ(read_all(path("b.txt")), b_labels);
  EXPECT_EQ(state(tab).annotations.size(), 1u);
  EXPECT_EQ(lines_of(path("a.txt")).size(), 1);
}

TEST_F(AnnotatorTabTest, FailedWritesWarnKeepShapesAndBlockTheMove) {
  image("a.png", 100, 80);
  image("b.png", 100, 80);
  open();
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  // The label file turns into something that cannot be replaced.
  QFile::remove(path("a.txt"));
  QDir(dir.path()).mkdir("a.txt");
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{60, 20}, {90, 20}, {70, 60}});
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, ui::MessageKind::Warning);
  EXPECT_TRUE(dialogs.messages[0].text.contains(path("a.txt")));
  EXPECT_EQ(state(tab).annotations.size(), 2u);

  controls(tab).btn_next_img->click();
  EXPECT_EQ(state(tab).current_idx, 0);  // stayed: moving on would lose the shapes
  EXPECT_EQ(state(tab).annotations.size(), 2u);
  controls(tab).list_images->setCurrentRow(1);
  EXPECT_EQ(state(tab).current_idx, 0);
  EXPECT_EQ(controls(tab).list_images->currentRow(), 0);
  EXPECT_EQ(dialogs.messages.size(), 3u);

  QDir(dir.path()).rmdir("a.txt");
  controls(tab).btn_next_img->click();
  EXPECT_EQ(state(tab).current_idx, 1);
  EXPECT_EQ(lines_of(path("a.txt")).size(), 2);
}

TEST_F(AnnotatorTabTest, UnreadableLabelFileIsLeftUntouched) {
  image("a.png", 100, 80);
  image("b.png", 100, 80);
  QDir(dir.path()).mkdir("a.txt");  // exists, cannot be read as a file
  open();
  EXPECT_TRUE(controls(tab).lbl_img_status->text().contains("UNREADABLE"));
  EXPECT_EQ(controls(tab).list_images->item(0)->text(), "[✓] a.png");
  controls(tab).btn_next_img->click();  // nothing drawn: the move goes ahead and the entry stays
  EXPECT_EQ(state(tab).current_idx, 1);
  controls(tab).btn_prev_img->click();
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  // Each showing of the image names the problem; the save is refused.
  ASSERT_EQ(dialogs.messages.size(), 3u);
  EXPECT_EQ(dialogs.messages[0].title, "Label File Error");
  EXPECT_EQ(dialogs.messages[2].title, "Save Failed");
  EXPECT_TRUE(QFileInfo(path("a.txt")).isDir());

  // Once the file can be read again, the next save keeps its lines after the new shape.
  QDir(dir.path()).rmdir("a.txt");
  write_raw(path("a.txt"), "4 0.1 0.1 0.2 0.2 0.3 0.3\n");
  controls(tab).btn_save->click();
  EXPECT_EQ(read_all(path("a.txt")),
            "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n4 0.1 0.1 0.2 0.2 0.3 0.3\n");
}

TEST_F(AnnotatorTabTest, UnreadableClassesFileIsNotOverwritten) {
  image("a.png", 100, 80);
  QDir(dir.path()).mkdir("classes.txt");
  open();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_TRUE(tab.classes().isEmpty());
  // A new name would be written at an id the unread file may give to another class: refused.
  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  EXPECT_TRUE(tab.classes().isEmpty());
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_TRUE(QFileInfo(path("classes.txt")).isDir());
  ASSERT_EQ(dialogs.messages.size(), 2u);
  EXPECT_EQ(dialogs.messages[1].title, "Shape Not Added");
  EXPECT_FALSE(QFileInfo::exists(path("a.txt")));
}

TEST_F(AnnotatorTabTest, LabelDialogProposesTheLastLabelWhileItIsKnown) {
  test::gui_app();
  LabelDialog known({"bolt", "nut"}, "nut");
  EXPECT_EQ(known.windowTitle(), "Assign Target Class");
  EXPECT_EQ(known.combo()->currentText(), "nut");
  EXPECT_TRUE(known.combo()->isEditable());
  LabelDialog unknown({"bolt", "nut"}, "gear");
  EXPECT_EQ(unknown.combo()->currentText(), "bolt");
  LabelDialog none({}, "");
  EXPECT_EQ(none.get_label(), "");
  unknown.combo()->setCurrentText("  Nut  ");
  EXPECT_EQ(unknown.get_label(), "Nut");

  // Enter on the proposed name accepts it at once: reusing the last class is one key.
  known.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&known));
  QTest::keyClick(known.combo(), Qt::Key_Return);
  EXPECT_EQ(known.result(), QDialog::Accepted);
  EXPECT_EQ(known.get_label(), "nut");
}

TEST_F(AnnotatorTabTest, UndoRedoKeysFollowDrawDeleteAndDragAndTheFileFollows) {
  image("a.png", 100, 80);
  image("b.png", 100, 80);
  open();
  show();
  answer_label("nut");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  const QByteArray drawn = "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n";
  ASSERT_EQ(read_all(path("a.txt")), drawn);

  // A drag with the mouse is one step, written when the mouse is let go.
  mode(DrawMode::SelectMove);
  drag(QPointF(30, 30), QPointF(40, 30));
  QCoreApplication::processEvents();
  const QPointF moved_by = scene_polygon(0)[0] - QPointF(10, 20);
  ASSERT_GT(moved_by.x(), 0);
  EXPECT_EQ(state(tab).annotations[0].item->pos(), QPointF(0, 0));  // the document holds the move
  EXPECT_NE(read_all(path("a.txt")), drawn);
  EXPECT_EQ(state(tab).document->undo_stack()->count(), 2);

  QTest::keyClick(controls(tab).canvas_view->viewport(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(scene_polygon(0), (QPolygonF{{10, 20}, {50, 20}, {30, 60}}));
  EXPECT_EQ(read_all(path("a.txt")), drawn);

  // Delete, undo: the shape is back with its class and vertices; the file follows each step.
  controls(tab).table_objects->selectRow(0);
  controls(tab).btn_delete_shape->click();
  EXPECT_TRUE(state(tab).annotations.empty());
  EXPECT_FALSE(QFileInfo::exists(path("a.txt")));
  EXPECT_EQ(controls(tab).list_images->item(0)->text(), "[  ] a.png");
  QTest::keyClick(controls(tab).canvas_view->viewport(), Qt::Key_Z, Qt::ControlModifier);
  ASSERT_EQ(state(tab).annotations.size(), 1u);
  EXPECT_EQ(state(tab).document->shapes()[0].label, "nut");
  EXPECT_EQ(controls(tab).table_objects->item(0, 0)->text(), "nut");
  EXPECT_EQ(read_all(path("a.txt")), drawn);
  EXPECT_EQ(controls(tab).list_images->item(0)->text(), "[✓] a.png");
  QTest::keyClick(controls(tab).canvas_view->viewport(), Qt::Key_Z,
                  Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(state(tab).annotations.empty());
  QTest::keyClick(controls(tab).canvas_view->viewport(), Qt::Key_Z, Qt::ControlModifier);
  QTest::keyClick(controls(tab).canvas_view->viewport(), Qt::Key_Y, Qt::ControlModifier);
  EXPECT_TRUE(state(tab).annotations.empty());

  // Another image starts with nothing to undo.
  controls(tab).btn_next_img->click();
  QTest::keyClick(controls(tab).canvas_view->viewport(), Qt::Key_Z, Qt::ControlModifier);
  EXPECT_FALSE(QFileInfo::exists(path("a.txt")));
  EXPECT_EQ(state(tab).document->undo_stack()->count(), 0);
}

TEST_F(AnnotatorTabTest, DetectionLabelsShowAsBoxesAndKeepTheirBytes) {
  image("a.png", 200, 100);
  write_raw(path("classes.txt"), "pest\n");
  const QByteArray original = "0 0.5 0.5 0.25 0.5\r\n0 0.100 0.2 0.1 0.2\r\n";
  write_raw(path("a.txt"), original);
  open();
  ASSERT_EQ(state(tab).annotations.size(), 2u);
  EXPECT_EQ(state(tab).document->shapes()[0].type, "Box");
  EXPECT_EQ(scene_polygon(0), (QPolygonF{{75, 25}, {125, 25}, {125, 75}, {75, 75}}));
  // Saving what was only looked at changes no byte but the line ends.
  controls(tab).btn_save->click();
  EXPECT_EQ(read_all(path("a.txt")), "0 0.5 0.5 0.25 0.5\n0 0.100 0.2 0.1 0.2\n");
  state(tab).annotations[1].item->setPos(20, 10);
  controls(tab).btn_save->click();
  EXPECT_EQ(read_all(path("a.txt")), "0 0.5 0.5 0.25 0.5\n0 0.200000 0.300000 0.100000 0.200000\n");
}

TEST_F(AnnotatorTabTest, CopyPreviousRefusesALabelFileItCannotReadWhole) {
  image("1.png", 100, 80);
  image("2.png", 100, 80);
  write_raw(path("classes.txt"), "a\nb\n");
  write_raw(path("1.txt"), "1 0.1 0.25 0.5 0.25 0.3 0.75\n0 0.5 oops 0.2 0.2 0.3 0.3\n");
  const QByteArray mine = "0 0.200000 0.200000 0.400000 0.200000 0.400000 0.400000\n";
  write_raw(path("2.txt"), mine);
  open();
  dialogs.messages.clear();
  controls(tab).btn_next_img->click();
  controls(tab).btn_copy_prev->click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Copy Refused");
  EXPECT_TRUE(dialogs.messages[0].text.contains("line 2"));
  EXPECT_EQ(read_all(path("2.txt")), mine);
  ASSERT_EQ(state(tab).annotations.size(), 1u);

  // Unreadable altogether: the same.
  QFile::remove(path("1.txt"));
  QDir(dir.path()).mkdir("1.txt");
  controls(tab).btn_copy_prev->click();
  EXPECT_EQ(dialogs.messages.back().title, "Copy Refused");
  EXPECT_EQ(read_all(path("2.txt")), mine);

  // A readable one is copied, and one undo gives this image's shapes back.
  QDir(dir.path()).rmdir("1.txt");
  write_raw(path("1.txt"), "1 0.1 0.25 0.5 0.25 0.3 0.75\n");
  controls(tab).btn_copy_prev->click();
  EXPECT_EQ(read_all(path("2.txt")), "1 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n");
  Q_EMIT controls(tab).shortcut_undo->activated();
  EXPECT_EQ(read_all(path("2.txt")), mine);
}

namespace {

// The dataset buttons ask for the tools with the folder, its images and its classes; the export
// is asked for only once what is on screen is in the label files it reads.
TEST_F(AnnotatorTabTest, DatasetButtonsAskForTheToolsAndTheExportSavesFirst) {
  image("a.png", 100, 80);
  image("b.png", 100, 80);
  write_raw(path("classes.txt"), "car\n");
  open();
  QSignalSpy health(&tab, &AnnotatorTab::health_check_requested);
  QSignalSpy analytics(&tab, &AnnotatorTab::analytics_requested);
  QSignalSpy exports(&tab, &AnnotatorTab::split_export_requested);
  QTest::mouseClick(controls(tab).btn_health_check, Qt::LeftButton);
  ASSERT_EQ(health.count(), 1);
  EXPECT_EQ(health[0][0].toString(), dir.path());
  QTest::mouseClick(controls(tab).btn_analytics, Qt::LeftButton);
  ASSERT_EQ(analytics.count(), 1);
  EXPECT_EQ(analytics[0][0].toStringList(), state(tab).image_paths);
  EXPECT_EQ(analytics[0][1].toStringList(), QStringList{"car"});

  answer_label("car");
  Q_EMIT controls(tab).canvas->polygon_completed(QPolygonF{{10, 20}, {50, 20}, {30, 60}});
  state(tab).annotations[0].item->setPos(10, 0);  // a drag not yet saved
  QTest::mouseClick(controls(tab).btn_split_export, Qt::LeftButton);
  ASSERT_EQ(exports.count(), 1);
  EXPECT_EQ(read_all(path("a.txt")), "0 0.200000 0.250000 0.600000 0.250000 0.400000 0.750000\n");

  // A label file that cannot be written: a warning, and no export of stale files.
  QFile::remove(path("a.txt"));
  QDir(dir.path()).mkdir("a.txt");
  state(tab).annotations[0].item->setPos(0, 0);
  QTest::mouseClick(controls(tab).btn_split_export, Qt::LeftButton);
  EXPECT_EQ(exports.count(), 1);
  EXPECT_FALSE(dialogs.messages.empty());
}

}  // namespace

TEST_F(AnnotatorTabTest, QueueFilterByClassAndWithoutLabelsAndNextStepsOverHiddenRows) {
  for (const char* name : {"a.png", "b.png", "c.png", "d.png"}) image(name, 40, 30);
  write_raw(path("classes.txt"), "nut\nbolt\n");
  write_raw(path("a.txt"), "0 0.1 0.1 0.9 0.1 0.5 0.9\n");
  write_raw(path("c.txt"), "1 0.5 0.5 0.2 0.2\n0 0.5 0.5 0.2 0.2\n");
  open();
  QComboBox* filter = controls(tab).combo_queue_filter;
  ASSERT_EQ(filter->count(), 4);  // all, without labels, nut, bolt
  EXPECT_EQ(filter->itemText(3), "Class: bolt");
  tab.filter_queue(1);  // bolt: c only
  QListWidget* list = controls(tab).list_images;
  EXPECT_TRUE(list->isRowHidden(0));
  EXPECT_FALSE(list->isRowHidden(2));
  EXPECT_EQ(filter->currentText(), "Class: bolt");
  tab.filter_queue(-1);  // without labels: b, d
  EXPECT_EQ(std::vector<bool>({list->isRowHidden(0), list->isRowHidden(1), list->isRowHidden(2),
                               list->isRowHidden(3)}),
            std::vector<bool>({true, false, true, false}));
  controls(tab).list_images->setCurrentRow(1);
  controls(tab).btn_next_img->click();
  EXPECT_EQ(state(tab).current_idx, 3);
  controls(tab).btn_prev_img->click();
  EXPECT_EQ(state(tab).current_idx, 1);
  tab.filter_queue(-2);
  EXPECT_FALSE(list->isRowHidden(0));
}

TEST_F(AnnotatorTabTest, AFolderEditIsOneUndoStepAndTheFilterFollowsTheClasses) {
  image("a.png", 40, 30);
  write_raw(path("classes.txt"), "nut\nbolt\n");
  write_raw(path("a.txt"), "1 0.5 0.5 0.2 0.2\n");
  open();
  const auto put = [this](QByteArray label, QByteArray classes) {
    return [=, this] {
      write_raw(path("a.txt"), label);
      write_raw(path("classes.txt"), classes);
      return Result<>();
    };
  };
  tab.apply_folder_edit("Classes: merge", put("0 0.5 0.5 0.2 0.2\n", "nut\n"),
                        put("1 0.5 0.5 0.2 0.2\n", "nut\nbolt\n"));
  EXPECT_EQ(tab.classes(), QStringList{"nut"});
  EXPECT_EQ(controls(tab).combo_queue_filter->count(), 3);
  EXPECT_EQ(controls(tab).table_objects->item(0, 0)->text(), "nut");
  Q_EMIT controls(tab).shortcut_undo->activated();
  EXPECT_EQ(tab.classes(), (QStringList{"nut", "bolt"}));
  EXPECT_EQ(read_all(path("a.txt")), "1 0.5 0.5 0.2 0.2\n");
  EXPECT_EQ(controls(tab).table_objects->item(0, 0)->text(), "bolt");
  // A refused edit warns and changes nothing.
  tab.apply_folder_edit("x", [] { return Result<>(fail("disk full")); }, [] { return Result<>(); });
  ASSERT_FALSE(dialogs.messages.empty());
  EXPECT_EQ(dialogs.messages.back().text, "disk full");
}

TEST_F(AnnotatorTabTest, RefreshingTheListingDropsMovedImagesAndKeepsTheCurrentOne) {
  for (const char* name : {"a.png", "b.png", "c.png"}) image(name, 40, 30);
  open();
  controls(tab).list_images->setCurrentRow(2);
  ASSERT_TRUE(QFile::remove(path("b.png")));
  tab.refresh_folder_listing();
  EXPECT_EQ(state(tab).image_paths, (QStringList{path("a.png"), path("c.png")}));
  EXPECT_EQ(state(tab).current_idx, 1);
  EXPECT_EQ(controls(tab).list_images->count(), 2);
}
