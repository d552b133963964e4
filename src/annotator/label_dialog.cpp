#include "annotator/label_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace orvane {

LabelDialog::LabelDialog(const QStringList& existing_classes, const QString& last_label,
                         QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Assign Target Class");
  setFixedSize(300, 120);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Select existing label or type new:"));
  combo_ = new QComboBox;
  combo_->setEditable(true);
  // Typed names are taken as they stand and Enter accepts the dialog at once. An inline completer
  // would swallow the first Enter (it takes the pre-selected proposal for a completion to accept)
  // and could turn "Car" into "car"; the drop-down still lists every class.
  combo_->setInsertPolicy(QComboBox::NoInsert);
  combo_->setCompleter(nullptr);
  combo_->addItems(existing_classes);
  // Selecting the item (not only its text) keeps the combo_'s index and its edit text in step.
  const qsizetype last = existing_classes.indexOf(last_label);
  if (last >= 0) combo_->setCurrentIndex(int(last));
  layout->addWidget(combo_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  combo_->setFocus();
}

QString LabelDialog::get_label() const { return combo_->currentText().trimmed(); }

}  // namespace orvane
