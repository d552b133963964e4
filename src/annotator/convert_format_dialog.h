#pragma once
// Asks which format a dataset is imported from or exported to.

#include <QDialog>

#include "interchange/interchange_dataset.h"

class QComboBox;

namespace orvane {

class ConvertFormatDialog : public QDialog {
  Q_OBJECT

 public:
  // `importing` picks the wording ("Import from" / "Export to").
  explicit ConvertFormatDialog(bool importing, QWidget* parent = nullptr);

  orvane::interchange::Format format() const;

  // One entry per non-YOLO format (owned by the dialog).
  QComboBox* format_choice() const { return format_choice_; }

 private:
  QComboBox* format_choice_ = nullptr;
};

}  // namespace orvane
