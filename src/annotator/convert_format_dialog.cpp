#include "annotator/convert_format_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>

namespace orvane {

using orvane::interchange::Format;

ConvertFormatDialog::ConvertFormatDialog(bool importing, QWidget* parent) : QDialog(parent) {
  setWindowTitle(importing ? "Import Dataset" : "Export Dataset");
  auto* layout = new QFormLayout(this);
  format_choice_ = new QComboBox;
  format_choice_->addItem("COCO JSON", int(Format::Coco));
  format_choice_->addItem("Pascal VOC XML", int(Format::Voc));
  format_choice_->addItem("labelme JSON", int(Format::Labelme));
  layout->addRow(importing ? "Import from:" : "Export to:", format_choice_);
  auto* note = new QLabel(importing ? "The dataset is converted into a new YOLO folder, which is "
                                      "then opened here."
                                    : "The open folder is written into a new folder; its images "
                                      "and labels stay as they are.");
  note->setWordWrap(true);
  layout->addRow(note);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addRow(buttons);
}

Format ConvertFormatDialog::format() const { return Format(format_choice_->currentData().toInt()); }

}  // namespace orvane
