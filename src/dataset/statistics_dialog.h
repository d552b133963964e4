#pragma once
// "Dataset Statistics", opened from Dataset Analytics: objects and images per class, objects per
// image, box sizes at the training size (small / medium / large), aspect ratios, as bar charts,
// with the advice on small objects.

#include <QDialog>
#include <QStringList>

#include "dataset/dataset_statistics.h"

class QLabel;
class QSpinBox;
class QTabWidget;

namespace orvane::dataset {

class StatisticsDialog : public QDialog {
  Q_OBJECT

 public:
  StatisticsDialog(const QStringList& image_paths, const QStringList& classes,
                   QWidget* parent = nullptr);

  const DatasetStatistics& statistics() const { return stats_; }
  QLabel* advice_label() const { return lbl_advice; }
  // Measures again at `imgsz` and rebuilds the charts.
  void recompute(int imgsz);

 private:
  QStringList image_paths_, classes_;
  DatasetStatistics stats_;
  QSpinBox* spin_imgsz = nullptr;
  QLabel* lbl_advice = nullptr;
  QLabel* lbl_summary = nullptr;
  QTabWidget* tab_charts = nullptr;
};

}  // namespace orvane::dataset
