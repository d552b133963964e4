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
  combo_format = new QComboBox;
  combo_format->addItem("COCO JSON", int(Format::Coco));
  combo_format->addItem("Pascal VOC XML", int(Format::Voc));
  combo_format->addItem("labelme JSON", int(Format::Labelme));
  layout->addRow(importing ? "Import from:" : "Export to:", combo_format);
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

Format ConvertFormatDialog::format() const { return Format(combo_format->currentData().toInt()); }

}  // namespace orvane
