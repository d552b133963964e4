#include "review/review_panel.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "review/review_list_model.h"
#include "ui/dialogs.h"

namespace orvane::review {

QString accept_text(const Finding& f) {
  switch (f.kind) {
    case Kind::Unlabelled:
      return QStringLiteral("Accept prediction as label");
    case Kind::ClassDisagreement:
    case Kind::LooseOutline:
      return QStringLiteral("Replace label by prediction");
    case Kind::Duplicate:
    case Kind::Missed:
      return QStringLiteral("Remove label");
    case Kind::Unreadable:
      break;
  }
  return QStringLiteral("Accept");
}

ReviewPanel::ReviewPanel(ReviewListModel* model, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model) {
  setWindowTitle(QStringLiteral("Label review"));
  resize(520, 640);
  auto* layout = new QVBoxLayout(this);
  ui_.lbl_summary = new QLabel;
  ui_.lbl_summary->setWordWrap(true);
  layout->addWidget(ui_.lbl_summary);

  auto* filter_row = new QHBoxLayout;
  filter_row->addWidget(new QLabel(QStringLiteral("Show:")));
  ui_.combo_kind = new QComboBox;
  ui_.combo_kind->addItem(QStringLiteral("All kinds"), QString());
  for (const KindInfo& info : kind_table()) {
    ui_.combo_kind->addItem(QString::fromUtf8(info.name), QString::fromUtf8(info.name));
    ui_.combo_kind->setItemData(ui_.combo_kind->count() - 1, QString::fromUtf8(info.meaning),
                                Qt::ToolTipRole);
  }
  filter_row->addWidget(ui_.combo_kind, 1);
  layout->addLayout(filter_row);

  proxy_ = new ReviewFilterProxy(this);
  proxy_->setSourceModel(model_);
  ui_.table_review = new QTableView;
  ui_.table_review->setModel(proxy_);
  ui_.table_review->setSortingEnabled(true);
  ui_.table_review->sortByColumn(ReviewListModel::ScoreColumn, Qt::DescendingOrder);
  ui_.table_review->setSelectionBehavior(QAbstractItemView::SelectRows);
  ui_.table_review->setSelectionMode(QAbstractItemView::SingleSelection);
  ui_.table_review->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ui_.table_review->verticalHeader()->hide();
  ui_.table_review->horizontalHeader()->setSectionResizeMode(ReviewListModel::FindingsColumn,
                                                             QHeaderView::Stretch);
  layout->addWidget(ui_.table_review, 3);

  layout->addWidget(
      new QLabel(QStringLiteral("Findings of the selected image (strongest first):")));
  ui_.list_findings = new QListWidget;
  layout->addWidget(ui_.list_findings, 1);

  auto* buttons = new QHBoxLayout;
  ui_.btn_accept = new QPushButton(QStringLiteral("Accept"));
  ui_.btn_accept->setToolTip(QStringLiteral("One undoable edit of the labels, saved at once"));
  ui_.btn_dismiss = new QPushButton(QStringLiteral("Dismiss"));
  ui_.btn_dismiss->setToolTip(
      QStringLiteral("Hide this finding for this folder and model (kept beside the labels)"));
  buttons->addWidget(ui_.btn_accept);
  buttons->addWidget(ui_.btn_dismiss);
  layout->addLayout(buttons);
  auto* hint = new QLabel(QStringLiteral(
      "Dotted outlines on the canvas are the model's predictions; the dashed orange frame is the "
      "selected finding. Fix labels with the usual tools: the list follows every edit."));
  hint->setWordWrap(true);
  layout->addWidget(hint);

  connect(ui_.combo_kind, &QComboBox::currentIndexChanged, this, [this] {
    proxy_->set_kind(ui_.combo_kind->currentData().toString());
    on_row_changed();
  });
  connect(ui_.table_review->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &ReviewPanel::on_row_changed);
  connect(ui_.list_findings, &QListWidget::currentRowChanged, this, [this] {
    update_buttons();
    Q_EMIT finding_selected();
  });
  connect(ui_.btn_accept, &QPushButton::clicked, this, &ReviewPanel::accept_requested);
  connect(ui_.btn_dismiss, &QPushButton::clicked, this, &ReviewPanel::dismiss_current);
  connect(model_, &ReviewListModel::image_findings_changed, this, [this](int image) {
    if (image == current_image_) fill_findings();
  });
  connect(model_, &QAbstractItemModel::modelReset, this, &ReviewPanel::report_changed);
  update_buttons();
}

void ReviewPanel::report_changed() {
  ui_.lbl_summary->setText(summary_text(model_->report(), 0).toHtmlEscaped().replace('\n', "<br>"));
  proxy_->sort(ReviewListModel::ScoreColumn, Qt::DescendingOrder);
  if (proxy_->rowCount() > 0)
    ui_.table_review->selectionModel()->setCurrentIndex(
        proxy_->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  else
    on_row_changed();
}

void ReviewPanel::select_image(int image) {
  for (int row = 0; row < proxy_->rowCount(); ++row) {
    const QModelIndex index = proxy_->index(row, 0);
    if (model_->image_at(index) != image) continue;
    ui_.table_review->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    return;
  }
}

void ReviewPanel::on_row_changed() {
  const int image = model_->image_at(ui_.table_review->selectionModel()->currentIndex());
  const bool moved = image != current_image_;
  current_image_ = image;
  fill_findings();
  if (moved && image >= 0) Q_EMIT image_selected(image);
}

void ReviewPanel::fill_findings() {
  const int keep = ui_.list_findings->currentRow();
  shown_ = model_->visible_findings(current_image_);
  const QStringList& names = model_->report().names;
  {
    const QSignalBlocker block(ui_.list_findings);
    ui_.list_findings->clear();
    for (const Finding& f : shown_) {
      QString text = kind_name(f.kind);
      if (f.class_id >= 0) text += QStringLiteral(" · ") + class_name(names, f.class_id);
      if (f.other_class >= 0) text += QStringLiteral(" → ") + class_name(names, f.other_class);
      if (f.line > 0) text += QStringLiteral(" · line %1").arg(f.line);
      if (f.prediction >= 0) text += QStringLiteral(" · conf %1").arg(f.conf, 0, 'f', 2);
      if (f.iou > 0) text += QStringLiteral(" · IoU %1").arg(f.iou, 0, 'f', 2);
      if (!f.detail.isEmpty()) text += QStringLiteral(" · ") + f.detail;
      auto* item = new QListWidgetItem(text);
      item->setToolTip(kind_meaning(f.kind));
      ui_.list_findings->addItem(item);
    }
    if (!shown_.empty())
      ui_.list_findings->setCurrentRow(std::clamp(keep, 0, int(shown_.size()) - 1));
  }
  update_buttons();
  Q_EMIT finding_selected();
}

std::optional<Finding> ReviewPanel::current_finding() const {
  const int row = ui_.list_findings->currentRow();
  if (row < 0 || row >= int(shown_.size())) return std::nullopt;
  return shown_[size_t(row)];
}

void ReviewPanel::update_buttons() {
  const std::optional<Finding> f = current_finding();
  ui_.btn_accept->setEnabled(f && f->kind != Kind::Unreadable);
  ui_.btn_accept->setText(f ? accept_text(*f) : QStringLiteral("Accept"));
  ui_.btn_dismiss->setEnabled(f.has_value());
}

void ReviewPanel::dismiss_current() {
  const std::optional<Finding> f = current_finding();
  if (!f) return;
  const Result<> result = model_->dismiss(current_image_, *f);
  if (!result)
    ui::warning(this, QStringLiteral("Dismiss Failed"),
                result.error() + QStringLiteral("\nThe finding is hidden until the list closes."));
}

}  // namespace orvane::review
