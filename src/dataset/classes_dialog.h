#pragma once
// "Classes": every class of the annotator's folder with its object and image counts, and the
// four operations (rename, merge, delete, reorder). The dialog only chooses and previews; the
// plan it returns is applied by the caller as one undoable step.

#include <QDialog>
#include <optional>

#include "dataset/class_operations.h"

class QTableWidget;

namespace orvane::dataset {

class ClassesDialog : public QDialog {
  Q_OBJECT

 public:
  ClassesDialog(const ClassDataset& dataset, QWidget* parent = nullptr);

  // The confirmed plan, once the dialog was accepted.
  const std::optional<ClassPlan>& plan() const { return plan_; }

  // Plans `operation` and, when the operator confirms its summary, accepts the dialog. Shows why
  // when the operation is refused. Returns true when accepted.
  bool propose(const ClassOperation& operation);

 private:
  void rename();
  void merge();
  void remove();
  void move(int step);
  QList<int> selected_rows() const;

  ClassDataset dataset_;
  ClassUsage usage_;
  QTableWidget* table_classes = nullptr;
  std::optional<ClassPlan> plan_;
};

// Opens the dialog on `folder` (after finishing any interrupted operation there). Returns the
// plan the operator confirmed, or nothing.
std::optional<ClassPlan> choose_class_operation(QWidget* parent, const QString& folder);

}  // namespace orvane::dataset
