#pragma once
// Asks for the train/val/test percentages and the label format of an export.

#include <QDialog>
#include <QString>
#include <tuple>

class QComboBox;
class QSpinBox;

namespace orvane::dataset {

class SplitConfigDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SplitConfigDialog(QWidget* parent = nullptr);

  // Percentages / 100.0, in the order train, val, test.
  std::tuple<double, double, double> get_ratios() const;
  // "Detection" or "Segmentation".
  QString get_format() const;

  // The form's fields (owned by the dialog through Qt's parent chain).
  QSpinBox* train_percent() const { return train_percent_; }
  QSpinBox* val_percent() const { return val_percent_; }
  QSpinBox* test_percent() const { return test_percent_; }
  QComboBox* format_choice() const { return format_choice_; }

 public Q_SLOTS:
  // Accepts only when the three percentages total exactly 100; otherwise warns and stays open.
  void validate();

 private:
  QSpinBox* train_percent_ = nullptr;
  QSpinBox* val_percent_ = nullptr;
  QSpinBox* test_percent_ = nullptr;
  QComboBox* format_choice_ = nullptr;
};

}  // namespace orvane::dataset
