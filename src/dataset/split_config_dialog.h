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

  // Owned by the dialog through Qt's parent chain.
  QSpinBox* ts;
  QSpinBox* vs;
  QSpinBox* tes;
  QComboBox* fc;

 public Q_SLOTS:
  // Accepts only when the three percentages total exactly 100; otherwise warns and stays open.
  void validate();
};

}  // namespace orvane::dataset
