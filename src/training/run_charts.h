#pragma once
// Which picture of a finished run folder each analytics page shows.

#include <QString>
#include <QStringList>

namespace orvane::training {

// The analytics pages of a run.
enum class Chart { Loss, ConfusionMatrix, F1, PrecisionRecall, ValBatch };

// The file patterns of `chart`'s page, tried in order ("*" = any run of characters within a
// name). Segmentation runs write Box/Mask-prefixed curves, which the wildcard patterns find
// (Box first, by name).
const QStringList& chart_patterns(Chart chart);

// The first file directly inside `run_dir` that the first matching pattern finds, in name
// order; "" when no pattern matches.
QString find_run_chart(const QString& run_dir, const QStringList& patterns);

}  // namespace orvane::training
