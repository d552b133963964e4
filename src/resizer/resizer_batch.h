#pragma once
// The processing queue and the batch export: what the tab's buttons and `orvane resize` do.

#include <QSize>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "files/result.h"
#include "resizer/resize_settings.h"

namespace orvane::resizer {

// Image files of `folder` (".jpg", ".jpeg", ".png", ".webp", ".bmp", any case) in listing order.
// Recursive: the folder's own files first, then each subfolder the same way (symbolic links to
// folders are not followed, so a link loop cannot run forever).
QStringList collect_folder(const QString& folder, bool recursive);

// Appends each path not already in `queue` (exact string comparison); returns how many were added.
int append_unique(QStringList& queue, const QStringList& paths);

// The settings as the operator typed them (tab fields or command-line values).
struct BatchInput {
  bool resize_on = true;
  QString width_text, height_text;
  QString unit = "px";
  QString dpi_text = "300";
  bool lock_aspect = true;
  QString rotation_text = "0";
  QString format_text = "Match Original";
  bool budget_on = false;
  QString budget_text = "500";
};

struct BatchOptions {
  SizeSettings size;
  double dpi = kDefaultDpi;
  FormatChoice format = FormatChoice::MatchOriginal;
  bool budget_on = false;
  double budget_kb = 500.0;
};

// Checks everything that does not depend on an image before a single file is written: a DPI that
// is not a positive number, a width, height or budget that is not a number, a negative size.
// The message is written for the operator.
Result<BatchOptions> read_batch_options(const BatchInput& input);

// One file's line in the batch report.
struct FileOutcome {
  QString source;
  QString output;  // the path written (or that would have been)
  bool ok = false;
  QString error;  // why it failed
  QSize size;     // pixels written
  qint64 bytes = 0;
  std::optional<int> quality;  // quality the budget search chose (JPEG, WEBP)
  bool over_budget = false;    // budget on and even the smallest encoding is larger
  QString budget_note;         // why it is over the budget ("still 397 KB at the lowest quality")
  bool profile_removed = false;  // converted to sRGB without its colour profile to fit the budget
};

// Decodes, resizes, rotates, converts and writes one queued image into `output_dir`.
// Never throws: every failure comes back in the result.
FileOutcome process_file(const QString& source, const QString& output_dir,
                         const BatchOptions& options);

struct BatchSummary {
  int total = 0;
  int written = 0;
  std::vector<FileOutcome> failures;     // in queue order
  std::vector<FileOutcome> over_budget;  // written, but larger than the budget even at the minimum
  double budget_kb = 0;
  std::vector<FileOutcome> profile_removed;  // written in sRGB without their colour profile
  int processed = 0;       // files the batch got to (all of them unless cancelled)
  bool cancelled = false;  // the stop flag ended the batch before every file was processed
};

// Processes every entry, `jobs` files at a time (0: one per core). Entries that write the same
// output name run in queue order, so the later one wins as it would one by one. `on_file` runs on
// the calling thread after each file, with the number of files done so far. When `stop` becomes
// true no further file is started; the files in progress finish (each is written whole or not at
// all), and the summary says how many were processed.
BatchSummary run_batch(const QStringList& queue, const QString& output_dir,
                       const BatchOptions& options,
                       const std::function<void(const FileOutcome&, int done)>& on_file = {},
                       int jobs = 0, const std::atomic_bool* stop = nullptr);

// "Resizer Error: <path>: <reason>", the line a failed file prints on standard output.
QString error_line(const FileOutcome& result);

// "Batch process finished. Exported N images." counting only written files (a cancelled batch:
// "Batch process cancelled after D of T files. Exported N images."), followed by the
// failed files (with the reason), the files whose colour profile was removed to meet the budget,
// and the files left over the budget (each with its own reason), when there are any.
QString closing_message(const BatchSummary& summary);

}  // namespace orvane::resizer
