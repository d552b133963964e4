#include "training/run_charts.h"

#include <QDir>

namespace orvane::training {

const std::vector<ChartPage>& chart_pages() {
  static const std::vector<ChartPage> pages{
      {"view_loss_plot", {"results.png", "live_loss_plot.png"}},
      {"view_confusion_plot", {"confusion_matrix.png", "*confusion_matrix*.png"}},
      {"view_f1_plot", {"F1_curve.png", "*F1_curve.png"}},
      {"view_pr_plot", {"PR_curve.png", "*PR_curve.png"}},
      {"view_val_batch", {"val_batch0_pred.jpg", "val_batch0_labels.jpg"}},
  };
  return pages;
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
