#include "annotator/annotation_document.h"

#include <QFileInfo>
#include <QUndoCommand>

#include "annotator/classes_file.h"
#include "imaging/image_files.h"

namespace orvane {

namespace {

enum CommandId { kMoveId = 1 };

}  // namespace

// Shape ids are handed out when a command is made, so redo re-inserts the very same shapes.

class AddShapesCommand : public QUndoCommand {
 public:
  AddShapesCommand(AnnotationDocument* doc, std::vector<DocumentShape> shapes, const QString& text,
                   QUndoCommand* parent = nullptr)
      : QUndoCommand(text, parent), doc_(doc), shapes_(std::move(shapes)) {
    first_ = int(doc->shapes_.size());
  }
  void redo() override {
    for (size_t i = 0; i < shapes_.size(); ++i) doc_->insert_shape(first_ + int(i), shapes_[i]);
  }
  void undo() override {
    for (size_t i = shapes_.size(); i-- > 0;) doc_->take_shape(first_ + int(i));
  }

 private:
  AnnotationDocument* doc_;
  std::vector<DocumentShape> shapes_;
  int first_ = 0;
};

class RemoveShapeCommand : public QUndoCommand {
 public:
  RemoveShapeCommand(AnnotationDocument* doc, int index, QUndoCommand* parent = nullptr)
      : QUndoCommand(QStringLiteral("Delete shape"), parent),
        doc_(doc),
        index_(index),
        shape_(doc->shapes_[size_t(index)]) {}
  void redo() override { doc_->take_shape(index_); }
  void undo() override { doc_->insert_shape(index_, shape_); }

 private:
  AnnotationDocument* doc_;
  int index_;
  DocumentShape shape_;  // exactly as it was: id, class, vertices, box form and source line
};

// An edit of one shape in place: undo puts back the shape exactly as it was before the edit.
class ShapeEditCommand : public QUndoCommand {
 public:
  ShapeEditCommand(const QString& text, AnnotationDocument* doc, int id, QUndoCommand* parent)
      : QUndoCommand(text, parent),
        doc_(doc),
        id_(id),
        before_(doc->shapes_[size_t(doc->index_of(id))]) {}
  void undo() override { apply(before_); }

 protected:
  void apply(const DocumentShape& shape) {
    const int index = doc_->index_of(id_);
    doc_->shapes_[size_t(index)] = shape;
    Q_EMIT doc_->shape_changed(index);
  }

  AnnotationDocument* doc_;
  int id_;
  DocumentShape before_;
};

class MoveShapeCommand : public ShapeEditCommand {
 public:
  MoveShapeCommand(AnnotationDocument* doc, int id, QPointF offset, int drag)
      : ShapeEditCommand(QStringLiteral("Move shape"), doc, id, nullptr),
        offset_(offset),
        drag_(drag) {}
  int id() const override { return kMoveId; }
  bool mergeWith(const QUndoCommand* other) override {
    const auto* move = dynamic_cast<const MoveShapeCommand*>(other);
    if (!move || move->id_ != id_ || move->drag_ != drag_ || drag_ == 0) return false;
    offset_ += move->offset_;
    return true;
  }
  void redo() override {
    DocumentShape moved = before_;
    moved.points.translate(offset_);
    // A moved box is written from its new corners.
    moved.source.clear();
    apply(moved);
  }

 private:
  QPointF offset_;
  int drag_;
};

class RelabelCommand : public ShapeEditCommand {
 public:
  RelabelCommand(AnnotationDocument* doc, int id, const QString& label,
                 QUndoCommand* parent = nullptr)
      : ShapeEditCommand(QStringLiteral("Change class"), doc, id, parent), label_(label) {}
  void redo() override {
    DocumentShape relabelled = before_;
    relabelled.label = label_;
    apply(relabelled);
  }

 private:
  QString label_;
};

// classes.txt was already written with the new name when the command was made (a write that
// fails refuses the edit); undo and redo rewrite it.
class AddClassCommand : public QUndoCommand {
 public:
  AddClassCommand(AnnotationDocument* doc, const QString& name, QUndoCommand* parent = nullptr)
      : QUndoCommand(QStringLiteral("Add class %1").arg(name), parent), doc_(doc), name_(name) {}
  void redo() override {
    if (!doc_->classes_.contains(name_)) doc_->classes_.append(name_);
    if (written_) doc_->rewrite_classes();
    written_ = true;
    Q_EMIT doc_->classes_changed();
  }
  void undo() override {
    if (!doc_->classes_.isEmpty() && doc_->classes_.back() == name_) doc_->classes_.removeLast();
    doc_->rewrite_classes();
    Q_EMIT doc_->classes_changed();
  }

 private:
  AnnotationDocument* doc_;
  QString name_;
  bool written_ = false;
};

class ReplaceShapesCommand : public QUndoCommand {
 public:
  ReplaceShapesCommand(AnnotationDocument* doc, std::vector<DocumentShape> shapes,
                       const QString& text)
      : QUndoCommand(text), doc_(doc), before_(doc->shapes_), after_(std::move(shapes)) {}
  void redo() override { swap_to(after_); }
  void undo() override { swap_to(before_); }

 private:
  void swap_to(const std::vector<DocumentShape>& shapes) {
    while (!doc_->shapes_.empty()) doc_->take_shape(int(doc_->shapes_.size()) - 1);
    for (size_t i = 0; i < shapes.size(); ++i) doc_->insert_shape(int(i), shapes[i]);
  }
  AnnotationDocument* doc_;
  std::vector<DocumentShape> before_, after_;
};

class FolderEditCommand : public QUndoCommand {
 public:
  FolderEditCommand(AnnotationDocument* doc, const QString& text,
                    AnnotationDocument::FolderStep forward, AnnotationDocument::FolderStep backward)
      : QUndoCommand(text), doc_(doc), forward_(std::move(forward)), backward_(std::move(backward)) {
    for (const DocumentShape& shape : doc->shapes_) before_.push_back(shape.id);
  }
  void redo() override {
    // The first run happened before the push (so a failure could refuse the step).
    if (!first_) {
      if (!run(forward_)) return;
    }
    first_ = false;
    doc_->files_written_by_step_ = true;
    after_ = doc_->reread(after_);
  }
  void undo() override {
    if (!run(backward_)) return;
    before_ = doc_->reread(before_);
  }

 private:
  bool run(const AnnotationDocument::FolderStep& step) {
    // The files are written by the step: the label file on disk is already what it should be.
    doc_->files_written_by_step_ = true;
    const Result<> done = step();
    if (done) return true;
    setObsolete(true);
    Q_EMIT doc_->folder_edit_failed(done.error());
    return false;
  }
  AnnotationDocument* doc_;
  AnnotationDocument::FolderStep forward_, backward_;
  std::vector<int> before_, after_;
  bool first_ = true;
};

AnnotationDocument::AnnotationDocument(QObject* parent) : QObject(parent) {
  connect(&stack_, &QUndoStack::indexChanged, this, [this] {
    if (files_written_by_step_) {
      files_written_by_step_ = false;
      return;
    }
    // Clearing the stack on a load is no edit.
    if (!image_path_.isEmpty()) Q_EMIT edited();
  });
}

Result<> AnnotationDocument::apply_folder_edit(const QString& text, FolderStep forward,
                                               FolderStep backward) {
  if (Result<> done = forward(); !done) return done;
  // Earlier steps of this image are let go: undoing them across the edit would bring back class
  // names and ids the files no longer have. Clearing is no edit to save.
  files_written_by_step_ = true;
  stack_.clear();
  files_written_by_step_ = false;
  stack_.push(new FolderEditCommand(this, text, std::move(forward), std::move(backward)));
  return {};
}

std::vector<int> AnnotationDocument::reread(const std::vector<int>& ids) {
  if (!classes_file_.isEmpty()) {
    const Result<ClassesFileContents> read = read_classes_file(classes_file_);
    classes_ = read ? read->classes : QStringList();
    classes_error_ = read.error();
  }
  std::vector<DocumentShape> old = std::move(shapes_);
  shapes_.clear();
  kept_lines_.clear();
  std::vector<int> given;
  if (has_image()) {
    const LabelFileContents read = read_label_file(label_path_for(image_path_), classes_.size());
    label_status_ = read.status;
    kept_lines_ = read.kept_lines;
    std::vector<bool> claimed(old.size());
    for (const LabelShape& shape : read.shapes) {
      DocumentShape s = document_shape(shape);
      if (ids.size() == read.shapes.size()) {
        s.id = ids[shapes_.size()];
      } else {
        for (size_t i = 0; i < old.size(); ++i) {
          if (claimed[i] || old[i].points != s.points) continue;
          claimed[i] = true;
          s.id = old[i].id;
          break;
        }
      }
      given.push_back(s.id);
      shapes_.push_back(s);
    }
  }
  Q_EMIT classes_changed();
  Q_EMIT reset();
  return given;
}

void AnnotationDocument::set_classes(const QStringList& classes, const QString& classes_file,
                                     const QString& read_error) {
  classes_ = classes;
  classes_file_ = classes_file;
  classes_error_ = read_error;
  Q_EMIT classes_changed();
}

int AnnotationDocument::class_id(const QString& label) const {
  return class_id_for(classes_, label);
}

QString AnnotationDocument::label_path() const {
  return image_path_.isEmpty() ? QString() : label_path_for(image_path_);
}

DocumentLoad AnnotationDocument::load(const QString& image_path, QSize size) {
  image_path_.clear();  // no edits are signalled while the stack is emptied
  stack_.clear();
  shapes_.clear();
  kept_lines_.clear();
  image_path_ = image_path;
  size_ = size;
  const LabelFileContents read = read_label_file(label_path_for(image_path), classes_.size());
  label_status_ = read.status;
  kept_lines_ = read.kept_lines;
  for (const LabelShape& shape : read.shapes) shapes_.push_back(document_shape(shape));
  Q_EMIT reset();
  return {read.status, read.error, int(read.kept_lines.size())};
}

DocumentShape AnnotationDocument::document_shape(const LabelShape& shape) {
  DocumentShape s;
  s.id = next_id_++;
  s.points = denormalize_polygon(shape.points, QSizeF(size_));
  s.label = classes_[shape.class_id];
  s.box = shape.box;
  s.source = shape.source;
  s.source_class_id = shape.class_id;
  s.type = shape.box
               ? QStringLiteral("Box")
               : (s.points.size() == 4 ? QStringLiteral("Rectangle") : QStringLiteral("Polygon"));
  return s;
}

void AnnotationDocument::clear() {
  image_path_.clear();
  stack_.clear();
  size_ = QSize();
  shapes_.clear();
  kept_lines_.clear();
  label_status_ = LabelReadStatus::Missing;
  Q_EMIT reset();
}

int AnnotationDocument::index_of(int id) const {
  for (size_t i = 0; i < shapes_.size(); ++i) {
    if (shapes_[i].id == id) return int(i);
  }
  return -1;
}

std::vector<LabelShape> AnnotationDocument::label_shapes() const {
  std::vector<LabelShape> out;
  out.reserve(shapes_.size());
  const QSizeF pixels(size_);
  for (const DocumentShape& shape : shapes_) {
    LabelShape line{class_id(shape.label), normalize_polygon(shape.points, pixels), shape.box, {}};
    // The line as read, while nothing it says has changed (a class list with a name twice can
    // give the same name another id).
    if (shape.box && line.class_id == shape.source_class_id) line.source = shape.source;
    out.push_back(std::move(line));
  }
  return out;
}

Result<> AnnotationDocument::save() {
  if (!has_image()) return {};
  const QString path = label_path();
  if (label_status_ == LabelReadStatus::Unreadable) {
    // Its contents are unknown, so neither replacing nor deleting it is safe.
    if (shapes_.empty()) return {};
    // The cause may have been fixed meanwhile (permissions, a lock): then every line it holds is
    // kept after the new shapes and the save goes ahead.
    const LabelFileContents again = read_label_file(path, 0);
    if (again.status == LabelReadStatus::Unreadable) {
      return fail(
          again.error +
          "\n\nThe label file could not be read, so it is left untouched; the shapes stay on "
          "screen but are not saved. Delete them to move on, or make the file readable and "
          "save again.");
    }
    label_status_ = again.status;
    kept_lines_ = again.kept_lines;
  }
  const Result<> result = save_label_file(path, label_shapes(), kept_lines_);
  if (result) stack_.setClean();
  return result;
}

void AnnotationDocument::insert_shape(int index, const DocumentShape& shape) {
  shapes_.insert(shapes_.begin() + index, shape);
  Q_EMIT shape_inserted(index);
}

DocumentShape AnnotationDocument::take_shape(int index) {
  DocumentShape shape = std::move(shapes_[size_t(index)]);
  shapes_.erase(shapes_.begin() + index);
  Q_EMIT shape_removed(index);
  return shape;
}

void AnnotationDocument::rewrite_classes() {
  if (const Result<> written = write_classes(); !written)
    Q_EMIT classes_write_failed(written.error());
}

Result<> AnnotationDocument::write_classes() {
  if (classes_file_.isEmpty()) return {};
  return write_classes_file(classes_file_, classes_);
}

Result<> AnnotationDocument::add_shapes(const std::vector<NewShape>& shapes, const QString& text) {
  if (!has_image()) return fail(QStringLiteral("No image is shown."));
  if (shapes.empty()) return fail(QStringLiteral("There is no shape to add."));
  QStringList new_names;
  for (const NewShape& shape : shapes) {
    if (!classes_.contains(shape.label) && !new_names.contains(shape.label))
      new_names.append(shape.label);
  }
  if (!new_names.isEmpty()) {
    if (Result<> prepared = prepare_classes(new_names); !prepared) return prepared;
  }
  std::vector<DocumentShape> made;
  made.reserve(shapes.size());
  for (const NewShape& shape : shapes) {
    DocumentShape s;
    s.id = next_id_++;
    s.points = shape.points;
    s.label = shape.label;
    s.type = shape.type;
    made.push_back(std::move(s));
  }
  if (new_names.isEmpty()) {
    stack_.push(new AddShapesCommand(this, std::move(made), text));
    return {};
  }
  auto* macro = new QUndoCommand(text);
  for (const QString& name : new_names) new AddClassCommand(this, name, macro);
  // Made after the classes exist, so its index is right; added to the macro as its last child.
  new AddShapesCommand(this, std::move(made), text, macro);
  stack_.push(macro);
  return {};
}

bool AnnotationDocument::remove_shape(int id) {
  const int index = index_of(id);
  if (index < 0) return false;
  stack_.push(new RemoveShapeCommand(this, index));
  return true;
}

bool AnnotationDocument::move_shape(int id, QPointF offset, int drag) {
  if (index_of(id) < 0 || offset.isNull()) return false;
  stack_.push(new MoveShapeCommand(this, id, offset, drag));
  return true;
}

Result<> AnnotationDocument::relabel(int id, const QString& label) {
  const int index = index_of(id);
  if (index < 0) return fail(QStringLiteral("No shape has the id %1.").arg(id));
  if (label.isEmpty()) return fail(QStringLiteral("A class name is needed."));
  if (shapes_[size_t(index)].label == label)
    return fail(QStringLiteral("The shape is already of class \"%1\".").arg(label));
  if (!classes_.contains(label)) {
    if (Result<> prepared = prepare_classes({label}); !prepared) return prepared;
    auto* macro = new QUndoCommand(QStringLiteral("Change class"));
    new AddClassCommand(this, label, macro);
    new RelabelCommand(this, id, label, macro);
    stack_.push(macro);
    return {};
  }
  stack_.push(new RelabelCommand(this, id, label));
  return {};
}

Result<> AnnotationDocument::prepare_classes(const QStringList& names) {
  if (!classes_readable()) {
    return fail(classes_error_ +
                "\n\nclasses.txt could not be read when the folder was loaded, so no class can be "
                "added: a new name would take an id the file gives to another class. Make the "
                "file readable and load the folder again.");
  }
  // Written before anything changes: a failed write refuses the whole step.
  const QStringList before = classes_;
  classes_ += names;
  Result<> written = write_classes();
  classes_ = before;
  return written;
}

Result<> AnnotationDocument::add_class(const QString& name) {
  if (name.isEmpty()) return fail(QStringLiteral("A class name is needed."));
  if (classes_.contains(name))
    return fail(QStringLiteral("The class \"%1\" already exists.").arg(name));
  if (Result<> prepared = prepare_classes({name}); !prepared) return prepared;
  stack_.push(new AddClassCommand(this, name));
  return {};
}

bool AnnotationDocument::replace_shapes(const std::vector<LabelShape>& shapes,
                                        const QString& text) {
  if (!has_image()) return false;
  std::vector<DocumentShape> made;
  for (const LabelShape& shape : shapes)
    if (shape.class_id >= 0 && shape.class_id < classes_.size())
      made.push_back(document_shape(shape));
  stack_.push(new ReplaceShapesCommand(this, std::move(made), text));
  return true;
}

}  // namespace orvane
