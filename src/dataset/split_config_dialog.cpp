#include "dataset/split_config_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>
#include <QVBoxLayout>

#include "ui/dialogs.h"

namespace orvane::dataset {

namespace {

QSpinBox* percent_box(int value, QWidget* parent) {
  auto* box = new QSpinBox(parent);
  box->setRange(0, 100);
  box->setValue(value);
  return box;
}

}  // namespace

SplitConfigDialog::SplitConfigDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Dataset Train/Val/Test Splitter");
  setFixedSize(320, 220);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout();
  train_percent_ = percent_box(70, this);
  val_percent_ = percent_box(20, this);
  test_percent_ = percent_box(10, this);
  format_choice_ = new QComboBox(this);
  format_choice_->addItems({"Detection (Bounding Boxes)", "Segmentation (Polygons)"});
  form->addRow("Train %:", train_percent_);
  form->addRow("Val %:", val_percent_);
  form->addRow("Test %:", test_percent_);
  form->addRow("Format:", format_choice_);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &SplitConfigDialog::validate);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

void SplitConfigDialog::validate() {
  if (train_percent_->value() + val_percent_->value() + test_percent_->value() != 100) {
    orvane::ui::warning(this, "Invalid", "Must total 100%.");
    return;
  }
  accept();
}

std::tuple<double, double, double> SplitConfigDialog::get_ratios() const {
  return {train_percent_->value() / 100.0, val_percent_->value() / 100.0,
          test_percent_->value() / 100.0};
}

QString SplitConfigDialog::get_format() const {
  return format_choice_->currentText().contains("Detection") ? QStringLiteral("Detection")
                                                             : QStringLiteral("Segmentation");
}

}  // namespace orvane::dataset
