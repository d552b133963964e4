#include "annotator/annotation_document.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "annotator/classes_file.h"
#include "common/raw_file.h"

using namespace orvane;

namespace {

using test::read_all;
using test::write_raw;

const QPolygonF kTriangle{{10, 20}, {50, 20}, {30, 60}};

class DocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    write_raw(path("classes.txt"), "bolt\nnut\n");
    doc.set_classes({"bolt", "nut"}, path("classes.txt"));
  }
  QString path(const QString& name) const { return dir.filePath(name); }
  // An image of 100 x 80 pixels (the file itself is never decoded by the document).
  DocumentLoad load(const QString& name = "a.png") { return doc.load(path(name), QSize(100, 80)); }
  QUndoStack& stack() { return *doc.undo_stack(); }

  QTemporaryDir dir;
  AnnotationDocument doc;
};

}  // namespace

TEST_F(DocumentTest, AddRemoveUndoRedoRestoreShapesExactly) {
  load();
  ASSERT_TRUE(doc.add_shapes(
      {{kTriangle, "nut", "Polygon"}, {QPolygonF{{1, 2}, {3, 4}, {5, 7}}, "bolt", "Circle"}},
      "Draw"));
  ASSERT_EQ(doc.shapes().size(), 2u);
  const DocumentShape first = doc.shapes()[0];
  const int second_id = doc.shapes()[1].id;
  EXPECT_NE(first.id, second_id);

  ASSERT_TRUE(doc.remove_shape(first.id));
  ASSERT_EQ(doc.shapes().size(), 1u);
  EXPECT_EQ(doc.shapes()[0].id, second_id);
  stack().undo();
  ASSERT_EQ(doc.shapes().size(), 2u);
  // Same place, id, class, type and vertices.
  EXPECT_EQ(doc.shapes()[0].id, first.id);
  EXPECT_EQ(doc.shapes()[0].label, "nut");
  EXPECT_EQ(doc.shapes()[0].type, "Polygon");
  EXPECT_EQ(doc.shapes()[0].points, kTriangle);
  stack().redo();
  EXPECT_EQ(doc.shapes().size(), 1u);

  // The whole add was one step.
  stack().undo();
  stack().undo();
  EXPECT_TRUE(doc.shapes().empty());
  stack().redo();
  ASSERT_EQ(doc.shapes().size(), 2u);
  EXPECT_EQ(doc.shapes()[0].id, first.id);  // redo brings back the same shapes
  EXPECT_FALSE(doc.remove_shape(12345));
}

TEST_F(DocumentTest, MovesOfOneDragMergeOtherDragsStaySeparate) {
  load();
  ASSERT_TRUE(doc.add_shapes({{kTriangle, "nut", "Polygon"}}, "Draw"));
  const int id = doc.shapes()[0].id;
  const int drag = doc.next_drag();
  doc.move_shape(id, {5, 0}, drag);
  doc.move_shape(id, {5, 1}, drag);
  EXPECT_EQ(stack().count(), 2);  // the add and one move
  EXPECT_EQ(doc.shapes()[0].points[0], QPointF(20, 21));
  doc.move_shape(id, {1, 1}, doc.next_drag());
  EXPECT_EQ(stack().count(), 3);
  stack().undo();
  EXPECT_EQ(doc.shapes()[0].points[0], QPointF(20, 21));
  stack().undo();
  EXPECT_EQ(doc.shapes()[0].points, kTriangle);
  stack().redo();
  EXPECT_EQ(doc.shapes()[0].points[0], QPointF(20, 21));
  EXPECT_FALSE(doc.move_shape(id, {0, 0}, 9));  // no move, no step
}

TEST_F(DocumentTest, RelabelAndNewClassesUndoWithClassesTxt) {
  load();
  ASSERT_TRUE(doc.add_shapes({{kTriangle, "nut", "Polygon"}}, "Draw"));
  const int id = doc.shapes()[0].id;
  ASSERT_TRUE(doc.relabel(id, "bolt"));
  EXPECT_EQ(doc.shapes()[0].label, "bolt");
  stack().undo();
  EXPECT_EQ(doc.shapes()[0].label, "nut");

  // A new name: appended to the list and the file, and gone again with the undo.
  QSignalSpy classes_spy(&doc, &AnnotationDocument::classes_changed);
  ASSERT_TRUE(doc.relabel(id, "washer"));
  EXPECT_EQ(doc.classes(), (QStringList{"bolt", "nut", "washer"}));
  EXPECT_EQ(read_all(path("classes.txt")), "bolt\nnut\nwasher\n");
  EXPECT_GE(classes_spy.count(), 1);
  stack().undo();
  EXPECT_EQ(doc.classes(), (QStringList{"bolt", "nut"}));
  EXPECT_EQ(read_all(path("classes.txt")), "bolt\nnut\n");
  EXPECT_EQ(doc.shapes()[0].label, "nut");
  stack().redo();
  EXPECT_EQ(read_all(path("classes.txt")), "bolt\nnut\nwasher\n");

  ASSERT_TRUE(doc.add_class("pin"));
  EXPECT_EQ(read_all(path("classes.txt")), "bolt\nnut\nwasher\npin\n");
  const Result<> again = doc.add_class("pin");
  ASSERT_FALSE(again);
  EXPECT_TRUE(again.error().contains("already exists"));
  stack().undo();
  EXPECT_EQ(doc.classes().size(), 3);
}

TEST_F(DocumentTest, UndoAfterASaveIsWrittenByTheNextSave) {
  load();
  QSignalSpy edited(&doc, &AnnotationDocument::edited);
  ASSERT_TRUE(doc.add_shapes({{kTriangle, "nut", "Polygon"}}, "Draw"));
  ASSERT_TRUE(doc.save());
  EXPECT_EQ(read_all(path("a.txt")), "1 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n");
  EXPECT_TRUE(stack().isClean());
  stack().undo();
  EXPECT_FALSE(stack().isClean());  // the file no longer matches
  EXPECT_EQ(edited.count(), 2);     // the add and the undo, each asking for a save
  ASSERT_TRUE(doc.save());
  EXPECT_FALSE(QFileInfo::exists(path("a.txt")));  // nothing left: no empty label file
  stack().redo();
  ASSERT_TRUE(doc.save());
  EXPECT_EQ(read_all(path("a.txt")), "1 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000\n");

  // Another image: its own, empty stack; loading is no edit.
  edited.clear();
  load("b.png");
  EXPECT_EQ(stack().count(), 0);
  EXPECT_EQ(edited.count(), 0);
}

TEST_F(DocumentTest, BoxLinesStayByteForByteUntilMoved) {
  // Unusual spacing and precision on purpose: an untouched line keeps every byte.
  write_raw(path("a.txt"),
            "1  0.5 0.5\t0.2 0.25\r\n"
            "0 0.1 0.1 0.3 0.1 0.3 0.4\r\n"
            "0 0.25 0.75 0.1 0.1\r\n");
  const DocumentLoad read = load();
  EXPECT_EQ(read.status, LabelReadStatus::Ok);
  ASSERT_EQ(doc.shapes().size(), 3u);
  const DocumentShape& box = doc.shapes()[0];
  EXPECT_TRUE(box.box);
  EXPECT_EQ(box.type, "Box");
  // Centre (50, 40), 20 x 20 pixels: a rectangle, not two points.
  EXPECT_EQ(box.points, (QPolygonF{{40, 30}, {60, 30}, {60, 50}, {40, 50}}));
  EXPECT_EQ(doc.shapes()[1].type, "Polygon");

  ASSERT_TRUE(doc.save());
  EXPECT_EQ(read_all(path("a.txt")),
            "1  0.5 0.5\t0.2 0.25\n"
            "0 0.100000 0.100000 0.300000 0.100000 0.300000 0.400000\n"
            "0 0.25 0.75 0.1 0.1\n");

  // Moved: written in box form from its new place. The other box keeps its bytes.
  doc.move_shape(box.id, {10, -10}, doc.next_drag());
  ASSERT_TRUE(doc.save());
  EXPECT_EQ(read_all(path("a.txt")),
            "1 0.600000 0.375000 0.200000 0.250000\n"
            "0 0.100000 0.100000 0.300000 0.100000 0.300000 0.400000\n"
            "0 0.25 0.75 0.1 0.1\n");
  // Moved back by undo: the original line again.
  stack().undo();
  ASSERT_TRUE(doc.save());
  EXPECT_TRUE(read_all(path("a.txt")).startsWith("1  0.5 0.5\t0.2 0.25\n"));

  // Relabelled: the class changes, so the line is written anew.
  ASSERT_TRUE(doc.relabel(doc.shapes()[2].id, "nut"));
  ASSERT_TRUE(doc.save());
  EXPECT_TRUE(read_all(path("a.txt")).endsWith("1 0.250000 0.750000 0.100000 0.100000\n"));

  // Dragged past the edge: the box is cut at the image border.
  doc.move_shape(doc.shapes()[0].id, {-45, 0}, doc.next_drag());
  ASSERT_TRUE(doc.save());
  EXPECT_TRUE(read_all(path("a.txt")).startsWith("1 0.075000 0.500000 0.150000 0.250000\n"));
}

TEST_F(DocumentTest, ReplaceShapesIsOneStepAndKeepsTheKeptLines) {
  write_raw(path("a.txt"), "7 0.1 0.1 0.2 0.2 0.3 0.3\n0 0.1 0.1 0.3 0.1 0.3 0.4\n");
  load();
  ASSERT_EQ(doc.kept_lines().size(), 1);
  const LabelFileContents prev = read_label_file(path("none.txt"), 2);  // missing: no shapes
  ASSERT_TRUE(doc.replace_shapes(prev.shapes, "Copy"));
  EXPECT_TRUE(doc.shapes().empty());
  ASSERT_TRUE(doc.save());
  EXPECT_EQ(read_all(path("a.txt")), "7 0.1 0.1 0.2 0.2 0.3 0.3\n");
  stack().undo();
  EXPECT_EQ(doc.shapes().size(), 1u);
}

TEST_F(DocumentTest, NoClassIsAddedWhileClassesTxtIsUnreadable) {
  doc.set_classes({}, path("classes.txt"), "classes.txt: Permission denied");
  load();
  const Result<> added = doc.add_shapes({{kTriangle, "car", "Polygon"}}, "Draw");
  ASSERT_FALSE(added);
  EXPECT_TRUE(added.error().contains("Permission denied"));
  EXPECT_TRUE(doc.shapes().empty());
  EXPECT_EQ(stack().count(), 0);
  EXPECT_FALSE(doc.add_class("car"));
  EXPECT_EQ(read_all(path("classes.txt")), "bolt\nnut\n");  // untouched
}

TEST_F(DocumentTest, AFailedClassesWriteRefusesTheWholeStep) {
  load();
  QFile::remove(path("classes.txt"));
  QDir(dir.path()).mkdir("classes.txt");  // cannot be replaced by a file
  const Result<> added = doc.add_shapes({{kTriangle, "car", "Polygon"}}, "Draw");
  ASSERT_FALSE(added);
  EXPECT_TRUE(added.error().contains("classes.txt"));
  EXPECT_TRUE(doc.shapes().empty());
  EXPECT_EQ(doc.classes(), (QStringList{"bolt", "nut"}));
  // Known names need no write.
  EXPECT_TRUE(doc.add_shapes({{kTriangle, "nut", "Polygon"}}, "Draw"));
}

namespace {

// Undo and redo rewrite classes.txt; when that fails the operator hears of it (with the reason)
// instead of the file silently falling out of step with the list.
TEST_F(DocumentTest, UndoThatCannotRewriteClassesTxtSaysSo) {
  load();
  ASSERT_TRUE(doc.add_class("pin"));
  QSignalSpy failed(&doc, &AnnotationDocument::classes_write_failed);
  QFile::remove(path("classes.txt"));
  QDir(dir.path()).mkdir("classes.txt");
  stack().undo();
  ASSERT_EQ(failed.count(), 1);
  EXPECT_TRUE(failed[0][0].toString().contains("classes.txt"));
  EXPECT_EQ(doc.classes(), (QStringList{"bolt", "nut"}));
  QDir(dir.path()).rmdir("classes.txt");
  stack().redo();
  EXPECT_EQ(failed.count(), 1);
  EXPECT_EQ(read_all(path("classes.txt")), "bolt\nnut\npin\n");
}

}  // namespace

// A class operation across the folder as one step: the files are written by the step (no save
// follows it), the shapes and classes are read again, undo and redo keep the shape ids.
TEST_F(DocumentTest, FolderEditIsOneStepThatRereadsAndKeepsIds) {
  write_raw(path("a.txt"), "0 0.5 0.5 0.2 0.2\n1 0.1 0.1 0.2 0.1 0.2 0.2\n# kept\n");
  load();
  ASSERT_TRUE(doc.add_class("washer"));
  ASSERT_EQ(doc.shapes().size(), 2u);
  const int nut_id = doc.shapes()[1].id;
  const QByteArray before_label = read_all(path("a.txt")), before_classes = read_all(path("classes.txt"));
  // Deleting "bolt": its box goes, the nut becomes id 0.
  const QByteArray after_label = "0 0.1 0.1 0.2 0.1 0.2 0.2\n# kept\n", after_classes = "nut\nwasher\n";
  const auto put = [this](const QByteArray& label, const QByteArray& classes) {
    return [=, this] {
      write_raw(path("a.txt"), label);
      write_raw(path("classes.txt"), classes);
      return Result<>();
    };
  };
  QSignalSpy edited(&doc, &AnnotationDocument::edited);
  ASSERT_TRUE(doc.apply_folder_edit("Delete class bolt", put(after_label, after_classes),
                                    put(before_label, before_classes)));
  EXPECT_EQ(edited.count(), 0);  // nothing for the tab to save: the step wrote the files
  EXPECT_EQ(stack().count(), 1);  // the one step; the earlier "add class" is let go
  EXPECT_EQ(doc.classes(), (QStringList{"nut", "washer"}));
  ASSERT_EQ(doc.shapes().size(), 1u);
  EXPECT_EQ(doc.shapes()[0].id, nut_id);
  EXPECT_EQ(doc.shapes()[0].label, "nut");
  EXPECT_EQ(read_all(path("a.txt")), after_label);

  stack().undo();
  EXPECT_EQ(edited.count(), 0);
  EXPECT_EQ(read_all(path("a.txt")), before_label);
  EXPECT_EQ(doc.classes(), (QStringList{"bolt", "nut", "washer"}));
  ASSERT_EQ(doc.shapes().size(), 2u);
  EXPECT_EQ(doc.shapes()[1].id, nut_id);
  EXPECT_EQ(doc.shapes()[0].label, "bolt");

  stack().redo();
  ASSERT_EQ(doc.shapes().size(), 1u);
  EXPECT_EQ(doc.shapes()[0].id, nut_id);
  // A later edit is an edit again, saved as usual.
  ASSERT_TRUE(doc.relabel(nut_id, "washer"));
  EXPECT_EQ(edited.count(), 1);
}

TEST_F(DocumentTest, AFailingFolderEditIsRefusedOrLeavesTheStack) {
  load();
  const auto ok = [] { return Result<>(); };
  const Result<> refused = doc.apply_folder_edit("x", [] { return Result<>(fail("disk full")); }, ok);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "disk full");
  EXPECT_EQ(stack().count(), 0);
  ASSERT_TRUE(doc.apply_folder_edit("y", ok, [] { return Result<>(fail("gone")); }));
  QSignalSpy failed(&doc, &AnnotationDocument::folder_edit_failed);
  stack().undo();
  ASSERT_EQ(failed.count(), 1);
  EXPECT_EQ(failed[0][0].toString(), "gone");
  EXPECT_EQ(stack().count(), 0);
}
