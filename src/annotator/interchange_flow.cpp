#include "annotator/interchange_flow.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <QWidget>
#include <memory>

#include "annotator/convert_format_dialog.h"
#include "interchange/convert.h"
#include "tasks/long_task.h"
#include "ui/dialogs.h"
#include "ui/task_progress_dialog.h"

namespace orvane {

using namespace orvane;
using interchange::ConvertRequest;
using interchange::ConvertOutcome;
using interchange::Format;

namespace {

// The problem lines shown in the closing message; the rest are counted in the summary.
constexpr int kShownLines = 15;

}  // namespace

InterchangeFlow::InterchangeFlow(QWidget* host, Hooks hooks)
    : QObject(host), host_(host), hooks_(std::move(hooks)), task_(new tasks::LongTask(this)) {}

QWidget* InterchangeFlow::window() const { return host_->window(); }

InterchangeFlow::~InterchangeFlow() = default;  // the task stops and waits for its work

bool InterchangeFlow::is_running() const { return task_->running(); }

QString InterchangeFlow::output_folder_in(const QString& chosen, const QString& name,
                                          const QString& format) {
  const QDir dir(chosen);
  if (!dir.exists() || dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
    return chosen;
  const QString base = (name.isEmpty() ? QStringLiteral("dataset") : name) + "-" + format;
  QString candidate = dir.filePath(base);
  for (int n = 2; QFileInfo::exists(candidate); ++n)
    candidate = dir.filePath(QStringLiteral("%1-%2").arg(base).arg(n));
  return candidate;
}

void InterchangeFlow::import_dataset() {
  if (task_->running()) return;
  ConvertFormatDialog dialog(true, window());
  if (ui::exec_dialog(dialog) != QDialog::Accepted) return;
  ConvertRequest request;
  request.from = dialog.format();
  request.to = Format::Yolo;
  // A COCO dataset is named by its JSON file; VOC and labelme by their folder.
  if (request.from == Format::Coco)
    request.source =
        ui::get_open_file_name(window(), "Select the COCO JSON File", {}, "COCO JSON (*.json)");
  else
    request.source = ui::get_existing_directory(window(), "Select the Folder to Import");
  if (request.source.isEmpty()) return;
  const QString chosen = ui::get_existing_directory(window(), "Select the New YOLO Folder");
  if (chosen.isEmpty()) return;
  // Leaving the open folder: what is on screen is written first, as any folder change does.
  if (!hooks_.save_current()) return;
  const QFileInfo source(request.source);
  const QString name = source.isDir() ? source.fileName() : source.dir().dirName();
  request.output = output_folder_in(chosen, name, "yolo");
  start(request, true);
}

void InterchangeFlow::export_dataset() {
  if (task_->running()) return;
  if (hooks_.folder().isEmpty()) {
    ui::warning(window(), "Export Dataset", "Load an image folder first.");
    return;
  }
  ConvertFormatDialog dialog(false, window());
  if (ui::exec_dialog(dialog) != QDialog::Accepted) return;
  const QString chosen = ui::get_existing_directory(window(), "Select the Export Folder");
  if (chosen.isEmpty()) return;
  // The export reads the label files, so the shapes on screen go to disk first.
  if (!hooks_.save_current()) return;
  ConvertRequest request;
  request.from = Format::Yolo;
  request.to = dialog.format();
  request.source = hooks_.folder();
  request.output = output_folder_in(chosen, QFileInfo(hooks_.folder()).fileName(),
                                    interchange::format_name(request.to));
  start(request, false);
}

void InterchangeFlow::start(const ConvertRequest& request, bool importing) {
  auto outcome = std::make_shared<ConvertOutcome>();
  task_->start(
      [request, outcome](tasks::TaskControl& control) {
        try {
          *outcome = interchange::convert_dataset(
              request,
              [&control](int done, int total, const QString& name) {
                control.report(done, total, name);
              },
              control.stop_flag());
        } catch (const std::exception& e) {
          // A deep failure (out of memory on a huge file) ends this run, never the studio.
          *outcome = ConvertOutcome{};
          outcome->run = fail(QString::fromLocal8Bit(e.what()));
        }
      },
      [this, request, outcome, importing](const tasks::TaskEnd&) {
        finish(request, *outcome, importing);
      });
  ui::TaskProgressDialog::follow(task_, importing ? "Import Dataset" : "Export Dataset", window());
}

void InterchangeFlow::finish(const ConvertRequest& request, const ConvertOutcome& outcome,
                             bool importing) {
  const QString title = importing ? "Import Dataset" : "Export Dataset";
  const QString summary = outcome.summary(request);
  QString text = summary;
  const QStringList& lines = outcome.report.lines();
  if (!lines.isEmpty()) {
    text += "\n\n" + lines.mid(0, kShownLines).join('\n');
    if (lines.size() > kShownLines)
      text += QStringLiteral("\n... and %1 more").arg(lines.size() - kShownLines);
  }
  if (outcome.cancelled) {
    ui::information(window(), title, summary);
  } else if (!outcome.written()) {
    ui::critical(window(), title, text);
  } else if (importing) {
    hooks_.open_folder(request.output);
    if (outcome.complete())
      ui::information(window(), title, text);
    else
      ui::warning(window(), title, text);
  } else {
    const auto answer = ui::question(window(), title, text + "\n\nOpen the exported folder?");
    if (answer == QMessageBox::Yes) QDesktopServices::openUrl(QUrl::fromLocalFile(request.output));
  }
  Q_EMIT conversion_finished(summary);
}

}  // namespace orvane
