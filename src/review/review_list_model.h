#pragma once
// The review list as a table: one row per image with findings (image, findings, score), the
// dismissed findings left out, and a proxy that sorts and filters by kind. Widget-free.

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <memory>

#include "review/dismissed.h"
#include "review/review.h"

namespace orvane::review {

class ReviewListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { ImageColumn, FindingsColumn, ScoreColumn, ColumnCount };
  static constexpr int KindsRole = Qt::UserRole + 1;  // QStringList of visible kinds
  static constexpr int ImageIndexRole = Qt::UserRole + 2;

  explicit ReviewListModel(QObject* parent = nullptr);

  // Shows `report`; `store` says which findings are dismissed (may be null: none).
  void set_report(ReviewReport report, std::unique_ptr<DismissedStore> store);
  const ReviewReport& report() const { return report_; }
  DismissedStore* store() { return store_.get(); }

  // The findings of image `image` that are not dismissed, strongest first.
  std::vector<Finding> visible_findings(int image) const;
  // Index into report().images of an image path, -1 when not reviewed.
  int image_index(const QString& path) const;
  // The proxy row's image (ImageIndexRole).
  int image_at(const QModelIndex& index) const;

  // The labels of image `image` changed: re-match against its cached predictions.
  void relabel(int image, std::vector<LabelObject> labels);
  // Hides a finding for this folder and model (written beside the labels).
  Result<> dismiss(int image, const Finding& finding);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 Q_SIGNALS:
  void image_findings_changed(int image);

 private:
  void row_changed(int image);
  ReviewReport report_;
  std::unique_ptr<DismissedStore> store_;
  std::vector<int> rows_;  // image indices, in report order of ranking at set_report
};

// Sorts by the column's value (the score numerically) and keeps rows with a finding of `kind`.
class ReviewFilterProxy : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit ReviewFilterProxy(QObject* parent = nullptr);
  // Empty: every row.
  void set_kind(const QString& kind);

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

 private:
  QString kind_;
};

}  // namespace orvane::review
