#pragma once
// Class operations across a whole dataset: rename, merge, delete and reorder classes, with every
// label file renumbered and the class lists (classes.txt, data.yaml) kept in step.
//
// An operation is planned first (the new bytes of every file that changes, computed in memory),
// then applied all or nothing through a journal in the dataset's root:
//
//   1. the journal is written in state "staging", listing every target file;
//   2. each new content is written beside its target as TARGET.orvane-staged, and synced;
//   3. the journal is rewritten in state "committed": this one atomic rename is the commit point;
//   4. each staged file is renamed over its target; then the journal is removed.
//
// A process killed anywhere leaves a journal behind, and `recover_class_operation` (run before
// any new operation and whenever the annotator opens the folder) finishes the work: before the
// commit point the staged files are removed (the old set stays), after it the remaining renames
// are made (the new set is whole). Either way no half-renumbered dataset is ever left.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "files/result.h"

namespace orvane::dataset {

// The files one operation reads and rewrites.
struct ClassDataset {
  QString root;       // the journal's folder: the annotator folder, or the data.yaml's folder
  QString data_yaml;  // empty for an annotator folder
  QStringList names;  // the class list (classes.txt, or the data.yaml's names)
  QStringList label_files;    // existing label files of every image (every split), no repeats
  QStringList classes_files;  // classes.txt files to rewrite with the new names
  QStringList image_paths;    // every image, in listing order (for counts per image)
};

// An annotator folder: its images (not sub-folders), their label files beside them, and
// classes.txt. Fails when the folder is missing or classes.txt cannot be read.
Result<ClassDataset> open_folder_dataset(const QString& folder);

// A data.yaml: its names, the images of every split (train, val, test; folders listed with their
// sub-folders, or list files), their label files (the last "images" folder of the path becomes
// "labels"), and any classes.txt beside the data.yaml or in a split's labels folder.
Result<ClassDataset> open_yaml_dataset(const QString& data_yaml);

enum class ClassOperationKind { Rename, Merge, Delete, Reorder };

struct ClassOperation {
  ClassOperationKind kind = ClassOperationKind::Rename;
  QStringList sources;  // Rename, Delete: one class; Merge: the merged classes; Reorder: all names
  QString target;       // Rename: the new name; Merge: the class they become (may be new)
};

// "OLD:NEW", "A,B:C", "X", "c,a,b" as the command line gives them. A class may be named by its
// id when no class has that name. Fails on malformed text.
Result<ClassOperation> parse_class_operation(ClassOperationKind kind, const QString& text);

// What an operation does to the class list: the new names, and for every old id its new id or
// -1 when its objects are deleted.
struct ClassMapping {
  QStringList names;
  std::vector<long long> new_ids;
  QString description;  // "rename 'car' to 'vehicle'"
};

// Resolves names (or ids) against `names`. Merging keeps the target's name at its place (a new
// target takes the place of the first merged class), removes the merged names and renumbers the
// rest in their order. Fails naming the unknown class, a rename onto an existing name, an
// incomplete or repeated order, or an operation that changes nothing.
Result<ClassMapping> map_classes(const QStringList& names, const ClassOperation& operation);

// One file's content before and after.
struct FileChange {
  QString path;
  QByteArray before;
  QByteArray after;
};

struct ClassPlan {
  ClassMapping mapping;
  std::vector<FileChange> changes;  // only the files whose bytes change
  int label_files = 0;              // label files read
  int lines_renumbered = 0;
  int objects_removed = 0;
  int images_with_removed = 0;  // images that lose objects
  int lines_carried = 0;        // lines with an id outside the list, or no id, left as they were
};

// Reads every file of `dataset` and computes its new bytes. Nothing is written. Fails naming a
// file that cannot be read (nothing is then changed by anyone).
Result<ClassPlan> plan_class_operation(const ClassDataset& dataset,
                                       const ClassOperation& operation);

// Human lines: what the plan changes ("rename 'car' to 'vehicle'", "label files: 12 of 40
// rewritten, 57 lines renumbered", "deleted: 3 objects on 2 images", "new classes: 0 vehicle,
// 1 person").
QStringList describe_plan(const ClassPlan& plan);

// Where apply_file_changes has got to, for tests that stop the process there.
enum class ApplyStage { Staged, Committed, Renamed };
using ApplyHook = std::function<void(ApplyStage stage, int index)>;

// Applies `changes` all or nothing under `root`'s journal (see the top of this file). Each file
// must still hold its `before` bytes; otherwise nothing is written and the failure names it.
// A pending journal is recovered first.
Result<> apply_file_changes(const QString& root, const std::vector<FileChange>& changes,
                            const QString& description, const ApplyHook& hook = {});

// The changes that undo `changes`.
std::vector<FileChange> reversed_changes(const std::vector<FileChange>& changes);

// Finishes or rolls back an operation interrupted under `root`. Returns an empty string when no
// journal was there, else one line saying what was done ("Completed the interrupted class
// operation 'rename ...' (12 files).", "Rolled back ..."). Fails when the journal cannot be read
// or a rename fails (the journal is then kept for the next try).
Result<QString> recover_class_operation(const QString& root);

// The journal's path under `root`.
QString journal_path(const QString& root);

// Objects and images per class id over `label_files` (ids outside [0, class_count) ignored).
struct ClassUsage {
  std::vector<int> objects;
  std::vector<int> images;
};
ClassUsage class_usage(const QStringList& label_files, int class_count);

}  // namespace orvane::dataset
