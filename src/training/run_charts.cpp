#include "training/run_charts.h"

#include <QDir>

namespace orvane::training {

const QStringList& chart_patterns(Chart chart) {
  static const QStringList loss{"results.png", "live_loss_plot.png"};
  static const QStringList confusion{"confusion_matrix.png", "*confusion_matrix*.png"};
  static const QStringList f1{"F1_curve.png", "*F1_curve.png"};
  static const QStringList pr{"PR_curve.png", "*PR_curve.png"};
  static const QStringList val_batch{"val_batch0_pred.jpg", "val_batch0_labels.jpg"};
  switch (chart) {
    case Chart::Loss:
      return loss;
    case Chart::ConfusionMatrix:
      return confusion;
    case Chart::F1:
      return f1;
    case Chart::PrecisionRecall:
      return pr;
    case Chart::ValBatch:
      return val_batch;
  }
  return loss;
}

QString find_run_chart(const QString& run_dir, const QStringList& patterns) {
  const QDir dir(run_dir);
  for (const QString& pattern : patterns) {
    // Case matters, as names on the engine's disk do: "f1_curve.png" is not "F1_curve.png".
    QDir listing(run_dir, pattern, QDir::Name, QDir::Files | QDir::CaseSensitive);
    const QStringList found = listing.entryList();
    if (!found.isEmpty()) return dir.filePath(found.first());
  }
  return {};
}

}  // namespace orvane::training
