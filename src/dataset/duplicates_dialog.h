#pragma once
// The duplicates part of the Dataset Health Inspector: "Duplicates & Leakage". Hashes the images
// of the annotator's folder (or of every split of a data.yaml) on worker threads, lists each pair
// with both thumbnails and splits, and drops a chosen copy into a removed/ folder beside it.

#include <QDialog>
#include <algorithm>
#include <atomic>
#include <vector>

#include "dataset/duplicates.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QThread;

namespace orvane::dataset {

class DuplicatesDialog : public QDialog {
  Q_OBJECT

 public:
  // `source`: an image folder, or a data.yaml.
  explicit DuplicatesDialog(const QString& source, QWidget* parent = nullptr);
  // Stops a running check and waits for it.
  ~DuplicatesDialog() override;

  // Starts the check on `source` (a folder or a data.yaml); `finished` follows.
  void start(const QString& source);
  bool running() const { return worker_ != nullptr; }
  const std::vector<DatasetImage>& images() const { return images_; }
  const DuplicateReport& report() const { return report_; }
  // Drops copy `which` (0: the first, 1: the second) of table row `row`.
  void drop(int row, int which);
  int dropped_count() const { return int(std::count(dropped_.begin(), dropped_.end(), true)); }

 Q_SIGNALS:
  void finished();

 private:
  void show_report();
  void choose_yaml();

  QString source_;
  std::vector<DatasetImage> images_;
  DuplicateReport report_;
  std::vector<bool> dropped_;  // per image: moved away in this dialog
  std::atomic<bool> stop_{false};
  QThread* worker_ = nullptr;  // owned by the dialog while a check runs

  QLabel* lbl_source = nullptr;
  QLabel* lbl_summary = nullptr;
  QProgressBar* progress = nullptr;
  QTableWidget* table_pairs = nullptr;
  QPushButton* btn_drop_first = nullptr;
  QPushButton* btn_drop_second = nullptr;
  QPushButton* btn_open_yaml = nullptr;
};

// Opens the dialog on the annotator's folder and starts the check at once. Returns how many
// copies were dropped (the folder's listing has changed when any were).
int show_duplicates(QWidget* parent, const QString& folder);

}  // namespace orvane::dataset
