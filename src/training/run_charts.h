#pragma once
// Which picture of a finished run folder each analytics page shows.

#include <QString>
#include <QStringList>
#include <vector>

namespace orvane::training {

// The pages' file patterns, tried in order ("*" = any run of characters within a name).
// Segmentation runs write Box/Mask-prefixed curves, which the wildcard patterns find
// (Box first, by name).
struct ChartPage {
  const char* view;  // the view's field name
  QStringList patterns;
};
// In the order the pages are filled: loss, confusion matrix, F1, precision-recall, val batch.
const std::vector<ChartPage>& chart_pages();

// The first file directly inside `run_dir` that the first matching pattern finds, in name
// order; "" when no pattern matches.
QString find_run_chart(const QString& run_dir, const QStringList& patterns);

}  // namespace orvane::training
