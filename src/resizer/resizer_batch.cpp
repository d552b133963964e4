#include "resizer/resizer_batch.h"

#include <QColorSpace>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QThread>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <opencv2/core.hpp>
#include <thread>

#include "files/text_file.h"
#include "imaging/image_files.h"
#include "resizer/encode_image.h"
#include "resizer/resize_image.h"

namespace orvane::resizer {

namespace {

// Far beyond any print size, but small enough that a typo ("10000 in") is refused instead of
// exhausting memory: 2^29 pixels is 2 GB of 8-bit RGBA.
constexpr qint64 kMaxSide = 1 << 20;
constexpr qint64 kMaxPixels = qint64(1) << 29;

void walk(const QString& folder, QStringList& out) {
  out += list_images(folder, ListOrder::Directory);
  const QDir dir(folder);
  const auto subfolders =
      dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Unsorted);
  for (const QFileInfo& info : subfolders) {
    if (info.isSymLink()) continue;
    walk(dir.filePath(info.fileName()), out);
  }
}

// The image with its pixels converted to sRGB and no embedded profile (viewers take untagged
// pixels as sRGB). Grey images keep their values: only the profile goes.
QImage without_profile(const QImage& image) {
  QImage plain = image;
  const QColorSpace space = image.colorSpace();
  if (space.isValid() && space != QColorSpace(QColorSpace::SRgb) && !image.isGrayscale()) {
    plain = image.convertedToColorSpace(QColorSpace::SRgb);
    if (plain.isNull()) plain = image;
  }
  plain.setColorSpace(QColorSpace());
  return plain;
}

// Why a file written under the budget is still larger, as the closing box says it.
QString over_budget_reason(const QByteArray& format, qint64 bytes) {
  const QString size = format_kb(bytes) + " KB";
  if (quality_changes_size(format)) return QString("still %1 at the lowest quality").arg(size);
  return QString("still %1; %2 does not shrink with quality")
      .arg(size, QString::fromLatin1(format.toUpper()));
}

Result<double> read_size_text(const QString& what, const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return 0.0;
  const auto value = parse_real(trimmed);
  if (!value || std::isnan(*value))
    return fail(QString("%1 '%2' is not a number.").arg(what, text));
  if (*value < 0) return fail(QString("%1 must not be negative (got '%2').").arg(what, text));
  return *value;
}

}  // namespace

QStringList collect_folder(const QString& folder, bool recursive) {
  if (!recursive) return list_images(folder, ListOrder::Directory);
  QStringList out;
  walk(folder, out);
  return out;
}

int append_unique(QStringList& queue, const QStringList& paths) {
  int added = 0;
  for (const QString& path : paths) {
    if (queue.contains(path)) continue;
    queue.append(path);
    ++added;
  }
  return added;
}

Result<BatchOptions> read_batch_options(const BatchInput& input) {
  BatchOptions options;
  const auto dpi = parse_dpi(input.dpi_text);
  if (!dpi) return fail(QString("Target DPI '%1' is not a number.").arg(input.dpi_text));
  if (!std::isfinite(*dpi) || *dpi <= 0)
    return fail(QString("Target DPI must be a positive number (got '%1').").arg(input.dpi_text));
  options.dpi = *dpi;

  options.size.resize_on = input.resize_on;
  options.size.width_text = input.width_text.trimmed();
  options.size.height_text = input.height_text.trimmed();
  options.size.unit = input.unit;
  options.size.lock_aspect = input.lock_aspect;
  if (input.unit != "px" && !unit_to_inches().contains(input.unit))
    return fail(QString("Unknown unit '%1'.").arg(input.unit));
  if (input.resize_on) {
    for (const auto& [what, text] : {std::pair{QString("Width"), input.width_text},
                                     std::pair{QString("Height"), input.height_text}}) {
      const auto value = read_size_text(what, text);
      if (!value) return Failure{value.error()};
      const auto pixels = to_px(text, input.unit, options.dpi);
      if (!pixels) return fail(QString("%1: %2.").arg(what, pixels.error()));
      if (*pixels && (**pixels > kMaxSide))
        return fail(QString("%1 of %2 px is too large.").arg(what).arg(**pixels));
    }
  }

  const auto rotation = parse_rotation(input.rotation_text);
  if (!rotation)
    return fail(QString("Rotation '%1' is not 0, 90, 180 or 270.").arg(input.rotation_text));
  options.size.rotation = *rotation;

  const auto format = parse_format_choice(input.format_text);
  if (!format) return fail(QString("Unknown export format '%1'.").arg(input.format_text));
  options.format = *format;

  options.budget_on = input.budget_on;
  if (input.budget_on) {
    const auto budget = parse_real(input.budget_text);
    if (!budget || std::isnan(*budget))
      return fail(QString("Max File Size '%1' is not a number.").arg(input.budget_text));
    options.budget_kb = *budget;
  }
  return options;
}

namespace {

// The picture at `source` decoded, resized and rotated as `options` say, and the format it is
// written in. The decoded picture is dropped as soon as it is transformed: large photos are big.
Result<QImage> transformed_picture(const QString& source, const BatchOptions& options,
                                   QByteArray& format) {
  auto decoded = decode_image(source);
  if (!decoded) return fail(decoded.error());
  std::optional<QSize> size;
  if (options.size.resize_on) {
    const auto target = target_size(decoded->image.size(), options.size, options.dpi, false);
    if (!target) return fail(target.error());
    if (target->width <= 0 || target->height <= 0)
      return fail(QString("target size %1x%2 px is not a valid image size")
                      .arg(target->width)
                      .arg(target->height));
    if (target->width > kMaxSide || target->height > kMaxSide ||
        target->width * target->height > kMaxPixels)
      return fail(
          QString("target size %1x%2 px is too large").arg(target->width).arg(target->height));
    size = QSize(int(target->width), int(target->height));
  }
  format = output_format_for(options.format, decoded->format);
  return transform_image(decoded->image, size, options.size.rotation, format);
}

// The bytes of `picture` within the size budget, noting the quality, the profile and a missed
// budget in `result`.
Result<QByteArray> budget_bytes(const QImage& picture, const QByteArray& format,
                                const BatchOptions& options, FileOutcome& result) {
  // A large embedded colour profile (camera and print profiles reach hundreds of KB) can make
  // a budget unreachable at any quality; then the pixels go to sRGB and the profile goes.
  // Colours stay exact where removing it would not meet the budget anyway.
  const qint64 profile_bytes = picture.colorSpace().iccProfile().size();
  const bool profile_too_big =
      profile_bytes > 0 && double(profile_bytes) >= options.budget_kb * 1024.0;
  std::optional<Result<BudgetEncoding>> encoded;
  if (!profile_too_big)
    encoded = encode_within_budget(picture, format, options.dpi, options.budget_kb);
  if (profile_bytes > 0 && (profile_too_big || (*encoded && !(*encoded)->fits))) {
    auto plain =
        encode_within_budget(without_profile(picture), format, options.dpi, options.budget_kb);
    if (profile_too_big || (plain && plain->fits)) {
      result.profile_removed = bool(plain);
      encoded = std::move(plain);
    }
  }
  if (!*encoded) return fail(encoded->error());
  const BudgetEncoding& chosen = encoded->value();
  if (quality_changes_size(format)) result.quality = chosen.quality;
  result.over_budget = !chosen.fits;
  if (result.over_budget) {
    result.budget_note = over_budget_reason(format, chosen.bytes.size());
    if (result.profile_removed) result.budget_note += ", even without its colour profile";
  }
  return chosen.bytes;
}

}  // namespace

FileOutcome process_file(const QString& source, const QString& output_dir,
                         const BatchOptions& options) {
  FileOutcome result;
  result.source = source;
  result.output = QDir(output_dir).filePath(output_file_name(source, options.format));
  try {
    QByteArray format;
    const Result<QImage> transformed = transformed_picture(source, options, format);
    if (!transformed) {
      result.error = transformed.error();
      return result;
    }
    const Result<QByteArray> bytes = options.budget_on
                                         ? budget_bytes(*transformed, format, options, result)
                                         : encode_image(*transformed, format, options.dpi);
    if (!bytes) {
      result.error = bytes.error();
      return result;
    }
    const Result<> written = write_file_atomic(result.output, *bytes);
    if (!written) {
      result.error = written.error();
      return result;
    }
    result.ok = true;
    result.size = transformed->size();
    result.bytes = bytes->size();
  } catch (const cv::Exception& e) {
    result.error = QString("image processing failed (%1)").arg(QString::fromStdString(e.err));
  } catch (const std::bad_alloc&) {
    result.error = "out of memory";
  } catch (const std::exception& e) {
    result.error = QString::fromLocal8Bit(e.what());
  }
  return result;
}

namespace {

// Entries that share an output name form one group, run in queue order by one worker.
std::vector<std::vector<int>> output_groups(const QStringList& queue, const QString& output_dir,
                                            const BatchOptions& options) {
  std::vector<std::vector<int>> groups;
  QHash<QString, int> group_of;
  for (int i = 0; i < int(queue.size()); ++i) {
    const QString out = QDir(output_dir).filePath(output_file_name(queue[i], options.format));
    const auto it = group_of.constFind(out);
    if (it == group_of.constEnd()) {
      group_of.insert(out, int(groups.size()));
      groups.push_back({i});
    } else {
      groups[*it].push_back(i);
    }
  }
  return groups;
}

// The outcomes in queue order into the summary's lists (files never started are left out).
void sort_outcomes(std::vector<std::optional<FileOutcome>>& results, BatchSummary& summary) {
  for (auto& result : results) {
    if (!result) continue;
    if (!result->ok) {
      summary.failures.push_back(std::move(*result));
      continue;
    }
    ++summary.written;
    if (result->profile_removed && !result->over_budget) summary.profile_removed.push_back(*result);
    if (result->over_budget) summary.over_budget.push_back(std::move(*result));
  }
}

}  // namespace

BatchSummary run_batch(const QStringList& queue, const QString& output_dir,
                       const BatchOptions& options,
                       const std::function<void(const FileOutcome&, int done)>& on_file, int jobs,
                       const std::atomic_bool* stop) {
  BatchSummary summary;
  summary.total = int(queue.size());
  std::vector<std::optional<FileOutcome>> results(queue.size());

  const std::vector<std::vector<int>> groups = output_groups(queue, output_dir, options);

  if (jobs <= 0) jobs = std::max(1, QThread::idealThreadCount());
  jobs = std::min<int>(jobs, int(groups.size()));
  int done = 0;
  auto report = [&](int index, std::optional<FileOutcome> result) {
    if (!result) return;  // not started: the batch was cancelled
    ++done;
    if (on_file) on_file(*result, done);
    results[index] = std::move(result);
  };
  auto stopped = [stop] { return stop && stop->load(); };
  auto process = [&](int i) -> std::optional<FileOutcome> {
    if (stopped()) return std::nullopt;
    return process_file(queue[i], output_dir, options);
  };

  if (jobs <= 1) {
    for (const auto& group : groups)
      for (int i : group) report(i, process(i));
  } else {
    std::mutex mutex;
    std::condition_variable ready_cv;
    std::deque<std::pair<int, std::optional<FileOutcome>>> ready;
    std::atomic<size_t> next_group{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < jobs; ++w) {
      workers.emplace_back([&] {
        for (size_t g = next_group++; g < groups.size(); g = next_group++) {
          for (int i : groups[g]) {
            std::optional<FileOutcome> result = process(i);
            {
              std::lock_guard lock(mutex);
              ready.emplace_back(i, std::move(result));
            }
            ready_cv.notify_one();
          }
        }
      });
    }
    // The caller's thread reports progress, so a GUI caller can update its widgets here.
    for (int remaining = int(queue.size()); remaining > 0; --remaining) {
      std::unique_lock lock(mutex);
      ready_cv.wait(lock, [&] { return !ready.empty(); });
      auto [index, result] = std::move(ready.front());
      ready.pop_front();
      lock.unlock();
      report(index, std::move(result));
    }
    for (auto& worker : workers) worker.join();
  }

  summary.processed = done;
  summary.cancelled = done < summary.total && stopped();
  summary.budget_kb = options.budget_kb;
  sort_outcomes(results, summary);
  return summary;
}

QString error_line(const FileOutcome& result) {
  return QString("Resizer Error: %1: %2").arg(result.source, result.error);
}

namespace {

void list_files(QString& text, const std::vector<FileOutcome>& files,
                QString FileOutcome::*detail = nullptr) {
  constexpr int kListed = 15;
  int listed = 0;
  for (const FileOutcome& file : files) {
    if (listed++ == kListed) {
      text += QString("\n... and %1 more").arg(int(files.size()) - kListed);
      break;
    }
    text += "\n" + QFileInfo(file.source).fileName();
    if (detail && !(file.*detail).isEmpty()) text += ": " + file.*detail;
  }
}

}  // namespace

QString closing_message(const BatchSummary& summary) {
  QString text =
      summary.cancelled
          ? QString("Batch process cancelled after %1 of %2 files. Exported %3 images.")
                .arg(summary.processed)
                .arg(summary.total)
                .arg(summary.written)
          : QString("Batch process finished. Exported %1 images.").arg(summary.written);
  if (!summary.failures.empty()) {
    text += QString("\n\n%1 of %2 files could not be exported:")
                .arg(summary.failures.size())
                .arg(summary.total);
    list_files(text, summary.failures, &FileOutcome::error);
  }
  if (!summary.profile_removed.empty()) {
    text += QString(
                "\n\n%1 files were converted to sRGB (colour profile removed to meet the size "
                "budget):")
                .arg(summary.profile_removed.size());
    list_files(text, summary.profile_removed);
  }
  if (!summary.over_budget.empty()) {
    text += QString("\n\n%1 files are larger than %2 KB:")
                .arg(summary.over_budget.size())
                .arg(summary.budget_kb);
    list_files(text, summary.over_budget, &FileOutcome::budget_note);
  }
  return text;
}

}  // namespace orvane::resizer
