#pragma once
// The annotator's state for the image on screen: its shapes in image pixels, the folder's class
// list, and the label lines that are kept but not shown. The canvas and the object table are views
// of it; it changes only through commands on its undo stack, so drawing, deleting, dragging,
// auto-labelling and copying all undo the same way.
//
// The stack holds the edits of one image: loading another image (or none) clears it. Saving
// writes the label file atomically through annotator/label_file.h.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPolygonF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUndoStack>
#include <functional>
#include <vector>

#include "annotator/label_file.h"

namespace orvane {

// One shape of the current image.
struct DocumentShape {
  int id = 0;        // stable while the image is shown; never reused within one document
  QPolygonF points;  // image pixels
  QString label;     // class name
  QString type;      // the table's "Shape" text: the draw mode, "Polygon", "Box", "AI Polygon" ...
  // Written in the box form "c cx cy w h" (a detection line as read). `source` is the line as
  // read; it is written back unchanged until the shape is moved or relabelled.
  bool box = false;
  QByteArray source;
  int source_class_id = -1;
};

// A shape to add: what drawing or a model produced.
struct NewShape {
  QPolygonF points;  // image pixels
  QString label;
  QString type;
};

struct DocumentLoad {
  LabelReadStatus status = LabelReadStatus::Missing;
  QString error;  // Stopped / Unreadable: file, line and cause
  int kept = 0;   // lines kept but not shown
};

class AnnotationDocument : public QObject {
  Q_OBJECT

 public:
  explicit AnnotationDocument(QObject* parent = nullptr);

  QUndoStack* undo_stack() { return &stack_; }

  // ---- Classes ----
  const QStringList& classes() const { return classes_; }
  // The list read from `classes_file` (empty path: no folder, nothing is written). A non-empty
  // `read_error` means the file exists but could not be read: the list is then not to be extended
  // (a new name would be written at an id the file gives to another class) until a read succeeds.
  void set_classes(const QStringList& classes, const QString& classes_file,
                   const QString& read_error = {});
  bool classes_readable() const { return classes_error_.isEmpty(); }
  const QString& classes_error() const { return classes_error_; }
  const QString& classes_file() const { return classes_file_; }
  // The id a shape of class `label` is written with (first position, 0 when unknown).
  int class_id(const QString& label) const;

  // ---- Image ----
  // Shows the image at `image_path` of `size` pixels: reads its label file, clears the undo stack.
  DocumentLoad load(const QString& image_path, QSize size);
  // No image: no shapes, nothing to save, an empty stack.
  void clear();
  bool has_image() const { return !image_path_.isEmpty() && !size_.isEmpty(); }
  const QString& image_path() const { return image_path_; }
  QString label_path() const;
  QSize image_size() const { return size_; }
  LabelReadStatus label_status() const { return label_status_; }
  const QList<QByteArray>& kept_lines() const { return kept_lines_; }

  const std::vector<DocumentShape>& shapes() const { return shapes_; }
  int index_of(int id) const;  // -1 when no shape has that id

  // What a save would write (shapes in normalised coordinates, with their class ids).
  std::vector<LabelShape> label_shapes() const;
  // Writes the label file (deleting it when nothing is left). A file that could not be read is
  // neither replaced nor deleted: the save fails with the reason, unless a fresh read now
  // succeeds, in which case all its lines are kept after the shapes.
  Result<> save();

  // ---- Edits (each is one undoable step; each changes nothing when refused)
  // ---- Appends any names of `shapes` that are not yet classes (writing classes.txt), then the
  // shapes, as one step named `text`. Refused, with the reason, when there is no image or no shape,
  // when a new name is needed while the class list could not be read, or when classes.txt cannot
  // be written.
  Result<> add_shapes(const std::vector<NewShape>& shapes, const QString& text);
  bool remove_shape(int id);
  // Moves by `offset` pixels. Moves of one shape with the same `drag` number merge into one step.
  bool move_shape(int id, QPointF offset, int drag = 0);
  // Refused, with the reason, for an unknown shape, an empty name, the shape's own class, or a new
  // class that cannot be added (as add_class).
  Result<> relabel(int id, const QString& label);
  // Appends a class name (writes classes.txt). Refused for an empty or existing name, while the
  // class list is unreadable, or when classes.txt cannot be written.
  Result<> add_class(const QString& name);
  // Replaces every shape by `shapes` (normalised, as read from another image's label file) as one
  // step: the kept lines of this image stay.
  bool replace_shapes(const std::vector<LabelShape>& shapes, const QString& text);

  // An edit of files across the folder (a class operation), as the one step left on the stack
  // (earlier steps of the image are dropped). The label file must be saved first. `forward` is run now
  // and on every redo, `backward` on undo. After each, classes.txt and the current label file are
  // read again, and the shapes keep their ids. Refused, with `forward`'s reason, when it fails now.
  // A later failure is signalled by `folder_edit_failed` and the step leaves the stack, the files
  // as the failed call left them.
  using FolderStep = std::function<Result<>()>;
  Result<> apply_folder_edit(const QString& text, FolderStep forward, FolderStep backward);

  // A number for one drag gesture (see move_shape).
  int next_drag() { return ++drag_counter_; }

 Q_SIGNALS:
  void reset();  // the whole shape list was replaced (load, clear)
  void shape_inserted(int index);
  void shape_removed(int index);  // the shape that was at `index` is gone
  void shape_changed(int index);  // moved or relabelled
  void classes_changed();
  // After every command, undo and redo: the label file no longer matches the shapes.
  void edited();
  // Undoing or redoing a new class could not rewrite classes.txt (`error` says why); the list in
  // memory has changed all the same, and the next successful write brings the file in step.
  void classes_write_failed(const QString& error);
  void folder_edit_failed(const QString& error);

 private:
  friend class ShapeEditCommand;
  friend class AddShapesCommand;
  friend class RemoveShapeCommand;
  friend class MoveShapeCommand;
  friend class RelabelCommand;
  friend class AddClassCommand;
  friend class ReplaceShapesCommand;
  friend class FolderEditCommand;

  void insert_shape(int index, const DocumentShape& shape);
  // Reads classes.txt and the label file again after a folder edit. The shapes take `ids` in
  // order when there are as many; otherwise each takes the id of the first unclaimed shape with
  // the same points, or a fresh one. Returns the ids given.
  std::vector<int> reread(const std::vector<int>& ids);
  DocumentShape take_shape(int index);
  Result<> write_classes();
  // Undo and redo of a new class: writes classes.txt, reporting a failure by signal.
  void rewrite_classes();
  // A read shape in this image's pixels, with a fresh id.
  DocumentShape document_shape(const LabelShape& shape);
  // Checks that `names` may be appended and writes classes.txt with them (the list itself is left
  // for the command to change).
  Result<> prepare_classes(const QStringList& names);

  QUndoStack stack_;
  QStringList classes_;
  QString classes_file_;
  QString classes_error_;
  QString image_path_;
  QSize size_;
  LabelReadStatus label_status_ = LabelReadStatus::Missing;
  QList<QByteArray> kept_lines_;
  std::vector<DocumentShape> shapes_;
  int next_id_ = 1;
  int drag_counter_ = 0;
  bool files_written_by_step_ = false;  // the last step wrote the files itself: no save
};

}  // namespace orvane
