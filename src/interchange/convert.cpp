#include "interchange/convert.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <set>

#include "interchange/folder_paths.h"
#include "interchange/formats.h"

namespace orvane::interchange {

namespace {

ReadResult read_any(const ConvertRequest& request, Report& report) {
  switch (request.from) {
    case Format::Yolo:
      return read_yolo(request.source, report);
    case Format::Coco:
      return read_coco(request.source, report, request.limits);
    case Format::Voc:
      return read_voc(request.source, report, request.limits);
    case Format::Labelme:
      return read_labelme(request.source, report, request.limits);
  }
  return fail(QStringLiteral("unknown source format"));
}

bool write_any(Format format, const Dataset& dataset, const QString& staging, Report& report,
               const StepFn& step) {
  switch (format) {
    case Format::Yolo:
      return write_yolo(dataset, staging, report, step);
    case Format::Coco:
      return write_coco(dataset, staging, report, step);
    case Format::Voc:
      return write_voc(dataset, staging, report, step);
    case Format::Labelme:
      return write_labelme(dataset, staging, report, step);
  }
  return false;
}

// Two images whose names differ only in the extension ("a.jpg", "a.png") would share one label
// file, XML or labelme JSON: the first keeps it, the second is reported and left out.
void drop_clashing_names(Dataset& dataset, Report& report) {
  std::set<QString> stems;
  std::vector<Image> kept;
  kept.reserve(dataset.images.size());
  for (Image& image : dataset.images) {
    if (!stems.insert(with_suffix(image.relative_path, QString())).second) {
      report.lose(
          "images with clashing names",
          QStringLiteral("%1: another image has the same name before its extension, so "
                         "their annotation files would collide; skipped with its %2 object(s)")
              .arg(image.relative_path)
              .arg(image.objects.size()));
      continue;
    }
    kept.push_back(std::move(image));
  }
  dataset.images = std::move(kept);
}

QString counts_text(const std::map<QString, int>& counts) {
  QStringList parts;
  for (const auto& [kind, count] : counts)
    parts.append(QStringLiteral("%1 %2").arg(count).arg(kind));
  return parts.join(", ");
}

}  // namespace

QString ConvertOutcome::summary(const ConvertRequest& request) const {
  const QString route =
      QStringLiteral("%1 to %2").arg(format_name(request.from), format_name(request.to));
  if (cancelled)
    return QStringLiteral("Conversion from %1 cancelled; nothing was written").arg(route);
  if (!run) return QStringLiteral("Nothing converted: %1").arg(run.error());
  QString text = QStringLiteral("Converted %1 images with %2 objects in %3 classes from %4 into %5")
                     .arg(images)
                     .arg(objects)
                     .arg(classes)
                     .arg(route, request.output);
  if (report.lost() > 0)
    text += QStringLiteral("; %1 not converted (%2)")
                .arg(report.lost())
                .arg(counts_text(report.lost_counts()));
  if (report.changed() > 0)
    text += QStringLiteral("; %1 changed (%2)")
                .arg(report.changed())
                .arg(counts_text(report.changed_counts()));
  return text;
}

ConvertOutcome convert_dataset(const ConvertRequest& request, const ProgressFn& progress,
                               const std::atomic_bool* stop) {
  ConvertOutcome outcome;
  if (request.source.isEmpty() || !QFileInfo::exists(request.source)) {
    outcome.run = fail(QStringLiteral("source %1 does not exist").arg(request.source));
    return outcome;
  }
  if (request.output.isEmpty()) {
    outcome.run = fail(QStringLiteral("no output folder given"));
    return outcome;
  }
  const QFileInfo output(request.output);
  if (output.exists() && (!output.isDir() || !QDir(request.output)
                                                  .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                           QDir::Hidden | QDir::System))) {
    outcome.run = fail(QStringLiteral(
                        "output %1 already exists and is not an empty folder; "
                        "choose a new one so nothing there is overwritten")
                        .arg(request.output));
    return outcome;
  }

  ReadResult read = read_any(request, outcome.report);
  if (!read) {
    outcome.run = fail(read.error());
    return outcome;
  }
  Dataset& dataset = *read;
  drop_clashing_names(dataset, outcome.report);
  if (dataset.images.empty()) {
    outcome.run = fail(QStringLiteral("no image of %1 could be converted").arg(request.source));
    return outcome;
  }

  const QString parent = output.absolutePath();
  if (!QDir().mkpath(parent)) {
    outcome.run = fail(QStringLiteral("cannot create the folder %1").arg(parent));
    return outcome;
  }
  QTemporaryDir staging(QDir(parent).filePath("." + output.fileName() + ".converting-XXXXXX"));
  if (!staging.isValid()) {
    outcome.run = fail(QStringLiteral("cannot create a staging folder in %1: %2")
                        .arg(parent, staging.errorString()));
    return outcome;
  }
  const StepFn step = [&](int done, int total, const QString& name) {
    if (progress) progress(done, total, name);
    return !(stop && stop->load());
  };
  try {
    if (!write_any(request.to, dataset, staging.path(), outcome.report, step)) {
      outcome.cancelled = true;
      return outcome;  // the staging folder goes with `staging`
    }
  } catch (const WriteError& e) {
    outcome.run = fail(QString::fromStdString(e.what()) + "; nothing was written to " + request.output);
    return outcome;
  }
  // An empty output folder (made for us by a folder chooser) gives way to the finished one.
  if (output.exists() && !QDir().rmdir(request.output)) {
    outcome.run = fail(QStringLiteral("cannot replace the empty folder %1").arg(request.output));
    return outcome;
  }
  if (!QDir().rename(staging.path(), request.output)) {
    outcome.run = fail(QStringLiteral("cannot rename the finished %1 to %2").arg(staging.path(), request.output));
    return outcome;
  }
  staging.setAutoRemove(false);
  outcome.images = int(dataset.images.size());
  for (const Image& image : dataset.images) outcome.objects += int(image.objects.size());
  outcome.classes = int(dataset.classes.size());
  return outcome;
}

}  // namespace orvane::interchange
