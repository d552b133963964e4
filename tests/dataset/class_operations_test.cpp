// Class operations across a dataset: the id arithmetic, every line carried byte for byte, the class
// lists in step, and the journal that keeps a killed operation all or nothing.
#include "dataset/class_operations.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDirIterator>
#include <QTemporaryDir>
#include <map>

#include "dataset/test_files.h"
#include "dataset/yaml_dataset.h"

using namespace orvane::dataset;
using orvane::test::read_file;
using orvane::test::write_file;

namespace {

ClassMapping mapped(const QStringList& names, ClassOperationKind kind, const QString& text) {
  const auto op = parse_class_operation(kind, text);
  EXPECT_TRUE(op.ok()) << op.error().toStdString();
  const auto m = map_classes(names, *op);
  EXPECT_TRUE(m.ok()) << m.error().toStdString();
  return m.ok() ? *m : ClassMapping{};
}

QString map_error(const QStringList& names, ClassOperationKind kind, const QString& text) {
  const auto op = parse_class_operation(kind, text);
  if (!op) return op.error();
  const auto m = map_classes(names, *op);
  return m.ok() ? QString() : m.error();
}

const QStringList kNames{"car", "person", "bike", "truck"};

TEST(ClassMapping, DeleteRenumbersEveryClassAboveIt) {
  const ClassMapping m = mapped(kNames, ClassOperationKind::Delete, "car");
  EXPECT_EQ(m.names, (QStringList{"person", "bike", "truck"}));
  EXPECT_EQ(m.new_ids, (std::vector<long long>{-1, 0, 1, 2}));
  // By id, when no class has that name.
  EXPECT_EQ(mapped(kNames, ClassOperationKind::Delete, "2").new_ids,
            (std::vector<long long>{0, 1, -1, 2}));
}

TEST(ClassMapping, MergeKeepsTheTargetsPlaceOrTakesTheFirstMergedOne) {
  // Into a lower id: truck (3) and bike (2) become car (0); person moves down to 1.
  ClassMapping m = mapped(kNames, ClassOperationKind::Merge, "truck,bike:car");
  EXPECT_EQ(m.names, (QStringList{"car", "person"}));
  EXPECT_EQ(m.new_ids, (std::vector<long long>{0, 1, 0, 0}));
  // Into a new name: it takes bike's place (the lowest merged id), truck's objects follow.
  m = mapped(kNames, ClassOperationKind::Merge, "truck,bike:vehicle");
  EXPECT_EQ(m.names, (QStringList{"car", "person", "vehicle"}));
  EXPECT_EQ(m.new_ids, (std::vector<long long>{0, 1, 2, 2}));
  // The target may be listed among the merged.
  m = mapped(kNames, ClassOperationKind::Merge, "person,car:person");
  EXPECT_EQ(m.names, (QStringList{"person", "bike", "truck"}));
  EXPECT_EQ(m.new_ids, (std::vector<long long>{0, 0, 1, 2}));
}

TEST(ClassMapping, RenameAndReorder) {
  ClassMapping m = mapped(kNames, ClassOperationKind::Rename, "car:vehicle");
  EXPECT_EQ(m.names, (QStringList{"vehicle", "person", "bike", "truck"}));
  EXPECT_EQ(m.new_ids, (std::vector<long long>{0, 1, 2, 3}));
  m = mapped(kNames, ClassOperationKind::Reorder, "truck, car,person,bike");
  EXPECT_EQ(m.names, (QStringList{"truck", "car", "person", "bike"}));
  EXPECT_EQ(m.new_ids, (std::vector<long long>{1, 2, 3, 0}));
}

TEST(ClassMapping, RefusesWhatWouldBreakOrDoNothing) {
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Rename, "car:person").contains("merge"));
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Rename, "boat:ship").contains("no class 'boat'"));
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Rename, "car").contains("OLD:NEW"));
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Reorder, "car,person").contains("missing: bike, truck"));
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Reorder, "car,person,bike,truck").contains("already"));
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Merge, "car:car").contains("nothing to merge"));
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Merge, "car,car:x").contains("twice"));
  EXPECT_TRUE(map_error(kNames, ClassOperationKind::Delete, "9").contains("no class"));
}

// An annotator folder whose label files mix boxes, polygons, lines the studio does not parse and
// an id outside the list, with LF and CR LF line ends.
class FolderOperation : public ::testing::Test {
 protected:
  FolderOperation() {
    write_file(dir.filePath("classes.txt"), "car\nperson\nbike\n");
    write_file(dir.filePath("a.jpg"), "jpg");
    write_file(dir.filePath("a.txt"),
               "0 0.500000 0.500000 0.250000 0.125000\r\n"
               "2 0.1 0.1 0.9 0.1 0.9 0.9 0.1 0.9\r\n"
               "# reviewed by ana\r\n"
               "1 0.123456789 0.5 0.2 0.2\r\n");
    write_file(dir.filePath("b.png"), "png");
    write_file(dir.filePath("b.txt"),
               "1 0.2 0.2 0.3 0.3\n"
               "5 0.5 0.5 0.1 0.1\n"
               "0 0.3 0.3 0.4 0.3 0.4 0.4\n");
    write_file(dir.filePath("c.png"), "png");
    write_file(dir.filePath("c.txt"), "2 0.5 0.5 0.5 0.5\n");
    write_file(dir.filePath("notes.txt"), "1 this is not a label file\n");
  }

  ClassPlan plan(ClassOperationKind kind, const QString& text) {
    const auto data = open_folder_dataset(dir.path());
    EXPECT_TRUE(data.ok());
    const auto op = parse_class_operation(kind, text);
    const auto p = plan_class_operation(*data, *op);
    EXPECT_TRUE(p.ok()) << p.error().toStdString();
    return *p;
  }

  std::map<QString, QByteArray> snapshot() const {
    std::map<QString, QByteArray> files;
    QDirIterator it(dir.path(), QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
      const QString path = it.next();
      files[QFileInfo(path).fileName()] = read_file(path);
    }
    return files;
  }

  QTemporaryDir tmp;
  QDir dir{tmp.path()};
};

TEST_F(FolderOperation, DeletingClassZeroDropsItsObjectsAndShiftsTheRest) {
  const ClassPlan p = plan(ClassOperationKind::Delete, "car");
  EXPECT_EQ(p.objects_removed, 2);
  EXPECT_EQ(p.images_with_removed, 2);
  EXPECT_EQ(p.lines_carried, 2);  // the comment and id 5
  ASSERT_TRUE(apply_file_changes(dir.path(), p.changes, p.mapping.description).ok());
  EXPECT_EQ(read_file(dir.filePath("a.txt")),
            "1 0.1 0.1 0.9 0.1 0.9 0.9 0.1 0.9\r\n"
            "# reviewed by ana\r\n"
            "0 0.123456789 0.5 0.2 0.2\r\n");
  EXPECT_EQ(read_file(dir.filePath("b.txt")), "0 0.2 0.2 0.3 0.3\n5 0.5 0.5 0.1 0.1\n");
  EXPECT_EQ(read_file(dir.filePath("c.txt")), "1 0.5 0.5 0.5 0.5\n");
  EXPECT_EQ(read_file(dir.filePath("classes.txt")), "person\nbike\n");
  EXPECT_EQ(read_file(dir.filePath("notes.txt")), "1 this is not a label file\n");  // no image
  EXPECT_FALSE(QFileInfo::exists(journal_path(dir.path())));
}

TEST_F(FolderOperation, MergingIntoALowerIdAndUndoingIt) {
  const auto before = snapshot();
  const ClassPlan p = plan(ClassOperationKind::Merge, "bike:car");
  ASSERT_TRUE(apply_file_changes(dir.path(), p.changes, p.mapping.description).ok());
  EXPECT_EQ(read_file(dir.filePath("a.txt")),
            "0 0.500000 0.500000 0.250000 0.125000\r\n"
            "0 0.1 0.1 0.9 0.1 0.9 0.9 0.1 0.9\r\n"
            "# reviewed by ana\r\n"
            "1 0.123456789 0.5 0.2 0.2\r\n");
  EXPECT_EQ(read_file(dir.filePath("c.txt")), "0 0.5 0.5 0.5 0.5\n");
  EXPECT_EQ(read_file(dir.filePath("classes.txt")), "car\nperson\n");
  // The undo is the same journaled write with the bytes swapped: everything as it was.
  ASSERT_TRUE(apply_file_changes(dir.path(), reversed_changes(p.changes), "undo").ok());
  EXPECT_EQ(snapshot(), before);
}

TEST_F(FolderOperation, AFileChangedAfterPlanningStopsTheWholeOperation) {
  const auto p = plan(ClassOperationKind::Delete, "person");
  write_file(dir.filePath("b.txt"), "1 0.9 0.9 0.1 0.1\n");
  const auto before = snapshot();
  const orvane::Result<> r = apply_file_changes(dir.path(), p.changes, p.mapping.description);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().contains("b.txt changed")) << r.error().toStdString();
  EXPECT_EQ(snapshot(), before);
}

TEST_F(FolderOperation, UsageCountsObjectsAndImagesPerClass) {
  const auto data = open_folder_dataset(dir.path());
  const ClassUsage usage = class_usage(data->label_files, 3);
  EXPECT_EQ(usage.objects, (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(usage.images, (std::vector<int>{2, 2, 2}));
}

// The process dies at `stage` (file `index`) in a forked child, as a kill or a power cut would
// stop it: no destructor runs, no cleanup.
void die_during_apply(const QString& root, const std::vector<FileChange>& changes, ApplyStage stage,
                      int index) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    (void)apply_file_changes(root, changes, "test", [&](ApplyStage s, int i) {
      if (s == stage && i == index) _exit(42);
    });
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 42) << "the child did not reach the stage";
}

TEST_F(FolderOperation, KilledBeforeTheCommitPointTheOldSetIsKept) {
  const auto before = snapshot();
  const ClassPlan p = plan(ClassOperationKind::Delete, "car");
  die_during_apply(dir.path(), p.changes, ApplyStage::Staged, 1);
  EXPECT_TRUE(QFileInfo::exists(journal_path(dir.path())));
  EXPECT_EQ(read_file(dir.filePath("classes.txt")), "car\nperson\nbike\n");
  const auto recovered = recover_class_operation(dir.path());
  ASSERT_TRUE(recovered.ok()) << recovered.error().toStdString();
  EXPECT_TRUE(recovered->startsWith("Rolled back")) << recovered->toStdString();
  EXPECT_EQ(snapshot(), before);
}

TEST_F(FolderOperation, KilledAfterTheCommitPointTheNewSetIsCompleted) {
  const ClassPlan p = plan(ClassOperationKind::Delete, "car");
  std::map<QString, QByteArray> expected = snapshot();
  for (const FileChange& c : p.changes) expected[QFileInfo(c.path).fileName()] = c.after;
  for (const auto& [stage, index] : {std::pair{ApplyStage::Committed, -1}, {ApplyStage::Renamed, 1}}) {
    for (const FileChange& c : p.changes) write_file(c.path, c.before);
    die_during_apply(dir.path(), p.changes, stage, index);
    if (stage == ApplyStage::Renamed) {  // half renamed: the dataset on disk is mixed ...
      EXPECT_EQ(read_file(dir.filePath("c.txt")), "2 0.5 0.5 0.5 0.5\n");
    }
    // ... until the next open completes it.
    const auto recovered = recover_class_operation(dir.path());
    ASSERT_TRUE(recovered.ok()) << recovered.error().toStdString();
    EXPECT_TRUE(recovered->startsWith("Completed")) << recovered->toStdString();
    EXPECT_EQ(snapshot(), expected);
  }
}

TEST_F(FolderOperation, ANewOperationFinishesAnInterruptedOneFirst) {
  const ClassPlan first = plan(ClassOperationKind::Delete, "car");
  // Planned while the first one is still pending: it reads the old ids.
  const ClassPlan second = plan(ClassOperationKind::Delete, "person");
  std::map<QString, QByteArray> completed = snapshot();
  for (const FileChange& c : first.changes) completed[QFileInfo(c.path).fileName()] = c.after;
  die_during_apply(dir.path(), first.changes, ApplyStage::Committed, -1);
  // Applying completes the first, then refuses the second: its ids are no longer those it read.
  const orvane::Result<> r = apply_file_changes(dir.path(), second.changes, "second");
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().contains("changed since")) << r.error().toStdString();
  EXPECT_EQ(snapshot(), completed);
  // Planned again on the completed set, it applies.
  const ClassPlan again = plan(ClassOperationKind::Delete, "person");
  EXPECT_EQ(again.mapping.names, QStringList{"bike"});
  EXPECT_TRUE(apply_file_changes(dir.path(), again.changes, "again").ok());
}

TEST(YamlOperation, EverySplitAndEveryClassListInStep) {
  QTemporaryDir tmp;
  const QDir d(tmp.path());
  write_file(d.filePath("data.yaml"),
             "# made by hand\npath: .\ntrain: train/images\nval: val/images\ntest:\n\nnc: 3\n"
             "names:\n  0: cat\n  1: dog  # the big one\n  2: fox\nextra: [1, 2]\n");
  write_file(d.filePath("classes.txt"), "cat\ndog\nfox\n");
  write_file(d.filePath("train/images/a.jpg"), "jpg");
  write_file(d.filePath("train/images/sub/b.jpg"), "jpg");
  write_file(d.filePath("train/labels/a.txt"), "0 0.5 0.5 0.2 0.2\n2 0.1 0.1 0.2 0.2 0.2 0.1\n");
  write_file(d.filePath("train/labels/sub/b.txt"), "1 0.5 0.5 0.2 0.2\n");
  write_file(d.filePath("val/images/c.png"), "png");
  write_file(d.filePath("val/labels/c.txt"), "2 0.5 0.5 0.2 0.2\n");
  write_file(d.filePath("val/labels/classes.txt"), "cat\ndog\nfox\n");

  const auto data = open_yaml_dataset(d.filePath("data.yaml"));
  ASSERT_TRUE(data.ok()) << data.error().toStdString();
  EXPECT_EQ(data->label_files.size(), 3);
  EXPECT_EQ(data->classes_files.size(), 2);
  const auto p = plan_class_operation(*data, *parse_class_operation(ClassOperationKind::Merge, "fox:cat"));
  ASSERT_TRUE(p.ok()) << p.error().toStdString();
  ASSERT_TRUE(apply_file_changes(data->root, p->changes, p->mapping.description).ok());
  EXPECT_EQ(read_file(d.filePath("train/labels/a.txt")), "0 0.5 0.5 0.2 0.2\n0 0.1 0.1 0.2 0.2 0.2 0.1\n");
  EXPECT_EQ(read_file(d.filePath("val/labels/c.txt")), "0 0.5 0.5 0.2 0.2\n");
  EXPECT_EQ(read_file(d.filePath("val/labels/classes.txt")), "cat\ndog\n");
  EXPECT_EQ(read_file(d.filePath("classes.txt")), "cat\ndog\n");
  // The names block replaced, every other line (comments too) as it was.
  EXPECT_EQ(read_file(d.filePath("data.yaml")),
            "# made by hand\npath: .\ntrain: train/images\nval: val/images\ntest:\n\nnc: 2\n"
            "names:\n  0: cat\n  1: dog\nextra: [1, 2]\n");
  EXPECT_EQ(load_yaml_dataset(d.filePath("data.yaml"))->names, (QStringList{"cat", "dog"}));
}

TEST(YamlOperation, ListNamesAndFlowFormsStayReadable) {
  const auto list = with_class_names("names: [a, b, c]\ntrain: t\n", {"a", "c"});
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(*list, "names:\n  - a\n  - c\ntrain: t\n");
  // A flow mapping spread over lines the block finder cannot cut: re-emitted, still right.
  const auto flow = with_class_names("{names: {0: a, 1: b}, train: t}\n", {"b"});
  ASSERT_TRUE(flow.ok());
  QTemporaryDir tmp;
  write_file(tmp.filePath("d.yaml"), *flow);
  EXPECT_EQ(load_yaml_dataset(tmp.filePath("d.yaml"))->names, QStringList{"b"});
}

}  // namespace
