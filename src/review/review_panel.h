#pragma once
// The review list window: images with findings (image, findings, score), sortable and filtered by
// kind; under it the selected image's findings, and the buttons that act on the one selected.

#include <QWidget>
#include <optional>

#include "review/review.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableView;

namespace orvane::test {
struct Access;
}

namespace orvane::review {

class ReviewFilterProxy;
class ReviewListModel;

class ReviewPanel : public QWidget {
  Q_OBJECT

 public:
  ReviewPanel(ReviewListModel* model, QWidget* parent = nullptr);

  // The image of the selected row (index into the report), -1 when none.
  int current_image() const { return current_image_; }
  // The selected finding of that image, when one is selected.
  std::optional<Finding> current_finding() const;
  // Selects the row of `image` (and its strongest finding).
  void select_image(int image);
  // The report changed as a whole: the summary line and the first row.
  void report_changed();

 Q_SIGNALS:
  void image_selected(int image);
  void finding_selected();  // current_finding() changed (possibly to none)
  void accept_requested();

 private:
  friend struct orvane::test::Access;
  struct Ui {
    QComboBox* combo_kind = nullptr;  // "All kinds" and one entry per kind
    QTableView* table_review = nullptr;
    QListWidget* list_findings = nullptr;
    QPushButton* btn_accept = nullptr;   // takes the prediction as a label, or removes the label
    QPushButton* btn_dismiss = nullptr;  // hides the finding for this folder and model
    QLabel* lbl_summary = nullptr;
  } ui_;

  void on_row_changed();
  void fill_findings();
  void dismiss_current();
  void update_buttons();

  ReviewListModel* model_;
  ReviewFilterProxy* proxy_;
  int current_image_ = -1;
  std::vector<Finding> shown_;  // the findings list's entries
};

// The Accept button's text for a finding: a prediction becomes a label; a label alone is removed.
QString accept_text(const Finding& finding);

}  // namespace orvane::review
