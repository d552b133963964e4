#include "review/review_list_model.h"

#include <QFileInfo>
#include <algorithm>

namespace orvane::review {

ReviewListModel::ReviewListModel(QObject* parent) : QAbstractTableModel(parent) {}

void ReviewListModel::set_report(ReviewReport report, std::unique_ptr<DismissedStore> store) {
  beginResetModel();
  report_ = std::move(report);
  store_ = std::move(store);
  rows_.clear();
  for (int image : ranked_images(report_))
    if (!visible_findings(image).empty()) rows_.push_back(image);
  endResetModel();
}

std::vector<Finding> ReviewListModel::visible_findings(int image) const {
  std::vector<Finding> out;
  if (image < 0 || image >= int(report_.images.size())) return out;
  const ImageReview& review = report_.images[size_t(image)];
  for (const Finding& f : review.findings)
    if (!store_ || !store_->contains(finding_key(review.image_path, f))) out.push_back(f);
  return out;
}

int ReviewListModel::image_index(const QString& path) const {
  for (int i = 0; i < int(report_.images.size()); ++i)
    if (report_.images[size_t(i)].image_path == path) return i;
  return -1;
}

int ReviewListModel::image_at(const QModelIndex& index) const {
  return index.isValid() ? index.data(ImageIndexRole).toInt() : -1;
}

void ReviewListModel::row_changed(int image) {
  const auto it = std::find(rows_.begin(), rows_.end(), image);
  if (it == rows_.end()) {
    // An edit made a finding on an image that had none: it joins the list.
    if (visible_findings(image).empty()) return;
    beginInsertRows({}, int(rows_.size()), int(rows_.size()));
    rows_.push_back(image);
    endInsertRows();
  } else {
    // A fixed image keeps its row (showing no findings), so the selection does not jump away.
    const int row = int(it - rows_.begin());
    Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1));
  }
  Q_EMIT image_findings_changed(image);
}

void ReviewListModel::relabel(int image, std::vector<LabelObject> labels) {
  if (image < 0 || image >= int(report_.images.size())) return;
  ImageReview& review = report_.images[size_t(image)];
  if (review.size.isEmpty()) return;  // never decoded: nothing to match against
  rematch(review, std::move(labels), report_.match);
  row_changed(image);
}

Result<> ReviewListModel::dismiss(int image, const Finding& finding) {
  if (!store_ || image < 0 || image >= int(report_.images.size()))
    return fail(QStringLiteral("No review is open."));
  const Result<> result =
      store_->dismiss(finding_key(report_.images[size_t(image)].image_path, finding));
  row_changed(image);
  return result;
}

int ReviewListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(rows_.size());
}

int ReviewListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCount;
}

QVariant ReviewListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= int(rows_.size())) return {};
  const int image = rows_[size_t(index.row())];
  if (role == ImageIndexRole) return image;
  const std::vector<Finding> findings = visible_findings(image);
  if (role == KindsRole) {
    QStringList kinds;
    for (const Finding& f : findings) kinds << kind_name(f.kind);
    kinds.removeDuplicates();
    return kinds;
  }
  const double score = image_score(findings);
  if (role == Qt::DisplayRole || role == Qt::EditRole) {
    switch (index.column()) {
      case ImageColumn:
        return QFileInfo(report_.images[size_t(image)].image_path).fileName();
      case FindingsColumn: {
        if (findings.empty()) return QStringLiteral("none left");
        QStringList kinds = data(index, KindsRole).toStringList();
        return QStringLiteral("%1: %2").arg(findings.size()).arg(kinds.join(QStringLiteral(", ")));
      }
      case ScoreColumn:
        return role == Qt::EditRole ? QVariant(score) : QVariant(QString::number(score, 'f', 2));
    }
  }
  if (role == Qt::ToolTipRole) {
    QStringList lines;
    for (const Finding& f : findings) lines << kind_name(f.kind) + ": " + kind_meaning(f.kind);
    return lines.join(QLatin1Char('\n'));
  }
  if (role == Qt::TextAlignmentRole && index.column() == ScoreColumn)
    return int(Qt::AlignRight | Qt::AlignVCenter);
  return {};
}

QVariant ReviewListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case ImageColumn:
      return QStringLiteral("Image");
    case FindingsColumn:
      return QStringLiteral("Findings");
    case ScoreColumn:
      return QStringLiteral("Score");
  }
  return {};
}

ReviewFilterProxy::ReviewFilterProxy(QObject* parent) : QSortFilterProxyModel(parent) {
  setSortRole(Qt::EditRole);  // the score sorts as a number
  setDynamicSortFilter(false);  // a row does not jump away while it is being fixed
}

void ReviewFilterProxy::set_kind(const QString& kind) {
  kind_ = kind;
  invalidateFilter();
}

bool ReviewFilterProxy::filterAcceptsRow(int row, const QModelIndex& parent) const {
  if (kind_.isEmpty()) return true;
  const QModelIndex index = sourceModel()->index(row, 0, parent);
  return index.data(ReviewListModel::KindsRole).toStringList().contains(kind_);
}

}  // namespace orvane::review
