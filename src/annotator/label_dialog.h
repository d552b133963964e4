#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;

namespace orvane {

// Asks for the class of a newly drawn shape: an editable combo of the known classes, so the
// operator either picks one or types a new name.
class LabelDialog : public QDialog {
  Q_OBJECT

 public:
  LabelDialog(const QStringList& existing_classes, const QString& last_label = {},
              QWidget* parent = nullptr);

  // The combo's text without surrounding white space.
  QString get_label() const;

  // The editable class chooser (owned by the dialog).
  QComboBox* combo() const { return combo_; }

 private:
  QComboBox* combo_ = nullptr;
};

}  // namespace orvane
