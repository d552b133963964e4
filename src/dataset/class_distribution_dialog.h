#pragma once
// "Dataset Class Distribution": one bar per class, largest first.

#include <QDialog>
#include <vector>

#include "dataset/class_counts.h"

namespace orvane::dataset {

class ClassDistributionDialog : public QDialog {
  Q_OBJECT

 public:
  // `rows` in display order; `note` (what was skipped while counting) is shown under the bars
  // when not empty.
  ClassDistributionDialog(const std::vector<orvane::dataset::ClassCount>& rows, const QString& note,
                          QWidget* parent = nullptr);

  // Adds the "Size Statistics…" button under the bars, opening the statistics of these images.
  void add_statistics_button(const QStringList& image_paths, const QStringList& classes);
};

}  // namespace orvane::dataset
