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
  ts = percent_box(70, this);
  vs = percent_box(20, this);
  tes = percent_box(10, this);
  fc = new QComboBox(this);
  fc->addItems({"Detection (Bounding Boxes)", "Segmentation (Polygons)"});
  form->addRow("Train %:", ts);
  form->addRow("Val %:", vs);
  form->addRow("Test %:", tes);
  form->addRow("Format:", fc);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &SplitConfigDialog::validate);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

void SplitConfigDialog::validate() {
  if (ts->value() + vs->value() + tes->value() != 100) {
    orvane::ui::warning(this, "Invalid", "Must total 100%.");
    return;
  }
  accept();
}

std::tuple<double, double, double> SplitConfigDialog::get_ratios() const {
  return {ts->value() / 100.0, vs->value() / 100.0, tes->value() / 100.0};
}

QString SplitConfigDialog::get_format() const {
  return fc->currentText().contains("Detection") ? QStringLiteral("Detection")
                                                 : QStringLiteral("Segmentation");
}

}  // namespace orvane::dataset
