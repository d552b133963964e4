#include "annotator/label_dialog.h"

#include <QComboBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

LabelDialog::LabelDialog(const QStringList& existing_classes, const QString& last_label,
                         QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Assign Target Class");
  setFixedSize(300, 120);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Select existing label or type new:"));
  combo = new QComboBox;
  combo->setEditable(true);
  // Typed names are taken as they stand: completion may offer an existing class but never turns
  // "Car" into "car", and Enter does not add the typed text to the combo's own list.
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->completer()->setCaseSensitivity(Qt::CaseSensitive);
  combo->addItems(existing_classes);
  if (existing_classes.contains(last_label)) combo->setCurrentText(last_label);
  layout->addWidget(combo);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  combo->setFocus();
}

QString LabelDialog::get_label() const { return combo->currentText().trimmed(); }
