#include "dataset/duplicates.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QStandardPaths>
#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <opencv2/img_hash.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "dataset/yaml_dataset.h"
#include "files/atomic_file.h"
#include "files/text_file.h"
#include "imaging/image_files.h"

namespace orvane::dataset {

namespace {

constexpr int kThumb = 32;

// A new place under removed/ that no file takes yet: "a.jpg", "a (2).jpg", ...
QString free_name(const QString& wanted) {
  if (!QFileInfo::exists(wanted)) return wanted;
  const QFileInfo info(wanted);
  const QString stem = info.completeBaseName(), suffix = info.suffix();
  for (int n = 2;; ++n) {
    const QString candidate = info.dir().filePath(
        QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix));
    if (!QFileInfo::exists(candidate)) return candidate;
  }
}

// Per-file cache: path -> size, modification time and the hash.
struct CacheEntry {
  qint64 size = 0;
  qint64 mtime = 0;
  ImageHash hash;
};

QHash<QString, CacheEntry> read_cache(const QString& file) {
  QHash<QString, CacheEntry> cache;
  if (file.isEmpty()) return cache;
  const Result<QByteArray> text = read_whole_file(file);
  if (!text) return cache;
  for (const QByteArray& line : split_lines(*text)) {
    const QList<QByteArray> f = line.split('\t');
    if (f.size() != 6) continue;
    CacheEntry e;
    bool ok1 = false, ok2 = false, ok3 = false;
    e.size = f[1].toLongLong(&ok1);
    e.mtime = f[2].toLongLong(&ok2);
    e.hash.sha256 = QByteArray::fromHex(f[3]);
    e.hash.phash = f[4].toULongLong(&ok3, 16);
    const QByteArray thumb = QByteArray::fromBase64(f[5]);
    if (!ok1 || !ok2 || !ok3 || e.hash.sha256.size() != 32 || thumb.size() != kThumb * kThumb) continue;
    e.hash.thumb = cv::Mat(kThumb, kThumb, CV_8U);
    std::copy(thumb.begin(), thumb.end(), e.hash.thumb.data);
    e.hash.ok = true;
    cache.insert(QString::fromUtf8(f[0]), e);
  }
  return cache;
}

void write_cache(const QString& file, const QHash<QString, CacheEntry>& cache) {
  if (file.isEmpty()) return;
  QDir().mkpath(QFileInfo(file).absolutePath());
  QByteArray text;
  for (auto it = cache.begin(); it != cache.end(); ++it) {
    const CacheEntry& e = it.value();
    if (!e.hash.ok || it.key().contains(QLatin1Char('\t')) || it.key().contains(QLatin1Char('\n')))
      continue;
    text += it.key().toUtf8() + '\t' + QByteArray::number(e.size) + '\t' +
            QByteArray::number(e.mtime) + '\t' + e.hash.sha256.toHex() + '\t' +
            QByteArray::number(qulonglong(e.hash.phash), 16) + '\t' +
            QByteArray(reinterpret_cast<const char*>(e.hash.thumb.data), kThumb * kThumb).toBase64() +
            '\n';
  }
  // A cache that cannot be written only costs time on the next run.
  (void)write_file_atomic(std::filesystem::path(QFile::encodeName(file).toStdString()),
                          text.toStdString(), files::Durability::kRenameOnly);
}

// `thumb` as floats of zero mean and unit spread (brightness and contrast shifts cancel), with a
// slight blur: resampling a thumbnail leaves pixel-level differences that a crop or a resize makes
// and that no moved object needs to be told apart by.
cv::Mat prepared(const cv::Mat& thumb) {
  cv::Mat f;
  thumb.convertTo(f, CV_32F);
  cv::Scalar mean, stddev;
  cv::meanStdDev(f, mean, stddev);
  f = (f - mean[0]) / std::max(stddev[0], 1.0);
  cv::GaussianBlur(f, f, cv::Size(5, 5), 1.2);
  return f;
}

// `a`'s window [x0, x0 + w] x [y0, y0 + h] (fractions) stretched to the thumbnail's size.
cv::Mat window(const cv::Mat& a, double x0, double y0, double w, double h) {
  const double n = a.cols;
  cv::Mat m = (cv::Mat_<double>(2, 3) << w, 0, x0 * n, 0, h, y0 * n);
  cv::Mat out;
  cv::warpAffine(a, out, m, a.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
  return out;
}

ThumbDifference difference(const cv::Mat& prepared_a, const cv::Mat& prepared_b) {
  cv::Mat d;
  cv::absdiff(prepared_a, prepared_b, d);
  ThumbDifference out;
  out.mean = cv::mean(d)[0];
  // An inner margin of two pixels is left out of the blocks: the edge is where crops differ.
  for (int y = 2; y + 8 <= kThumb - 2; y += 4)
    for (int x = 2; x + 8 <= kThumb - 2; x += 4)
      out.block = std::max(out.block, cv::mean(d(cv::Rect(x, y, 8, 8)))[0]);
  return out;
}

// The thumbnail reduced to 8 x 8, normalised and quantised (z-scores * 40 around 128): a second
// way to propose candidates, for crops of fine textures whose perceptual hash moves too far.
using Tiny = std::array<std::uint8_t, 64>;
constexpr int kTinyScale = 40;
constexpr int kTinyCandidate = 64 * kTinyScale / 4;  // a mean difference of a quarter of a spread

Tiny tiny_of(const cv::Mat& thumb) {
  cv::Mat f, small;
  thumb.convertTo(f, CV_32F);
  cv::resize(f, small, cv::Size(8, 8), 0, 0, cv::INTER_AREA);
  cv::Scalar mean, stddev;
  cv::meanStdDev(small, mean, stddev);
  Tiny out{};
  for (int i = 0; i < 64; ++i) {
    const double z = (small.at<float>(i / 8, i % 8) - mean[0]) / std::max(stddev[0], 1.0);
    out[size_t(i)] = std::uint8_t(std::clamp(std::lround(128 + kTinyScale * z), 0L, 255L));
  }
  return out;
}

int tiny_distance(const Tiny& a, const Tiny& b) {
  int sum = 0;
  for (size_t i = 0; i < 64; ++i) sum += std::abs(int(a[i]) - int(b[i]));
  return sum;
}

// A crop window: left and top offsets and width and height, as fractions.
struct Window {
  double x0 = 0, y0 = 0, w = 1, h = 1;
};

}  // namespace

std::vector<DatasetImage> folder_images(const QString& folder) {
  std::vector<DatasetImage> images;
  const QDir dir(QFileInfo(folder).absoluteFilePath());
  for (const QString& path : list_images(dir.path(), ListOrder::CodePoint)) {
    DatasetImage image;
    image.path = path;
    image.label = label_path_for(path);
    const QString removed = dir.filePath(QStringLiteral("removed"));
    image.removed = QDir(removed).filePath(QFileInfo(path).fileName());
    image.removed_label = QDir(removed).filePath(QFileInfo(image.label).fileName());
    images.push_back(image);
  }
  return images;
}

Result<std::vector<DatasetImage>> yaml_images(const QString& data_yaml) {
  const Result<YamlDataset> yaml = load_yaml_dataset(data_yaml);
  if (!yaml) return fail(yaml.error());
  std::vector<DatasetImage> images;
  QHash<QString, bool> seen;
  for (const SplitSource& source : yaml->sources) {
    const QDir top(source.path);
    // train/images -> train/removed/images and train/removed/labels; any other folder S ->
    // S/../removed/S, labels beside the images there.
    QDir up = top;
    up.cdUp();
    const bool images_folder = top.dirName() == QLatin1String("images");
    for (const QString& path : split_images(source)) {
      if (seen.contains(path)) continue;
      seen.insert(path, true);
      DatasetImage image;
      image.path = path;
      image.split = source.split;
      image.label = split_label_path(path);
      if (!source.is_folder) {
        image.drop_refusal =
            QStringLiteral("%1 is listed in %2; remove its line there").arg(path, source.path);
      } else {
        const QString rel = top.relativeFilePath(path);
        if (images_folder) {
          image.removed = up.filePath(QStringLiteral("removed/images/") + rel);
          image.removed_label = label_path_for(up.filePath(QStringLiteral("removed/labels/") + rel));
        } else {
          image.removed = up.filePath(QStringLiteral("removed/") + top.dirName() + QLatin1Char('/') + rel);
          image.removed_label = label_path_for(image.removed);
        }
      }
      images.push_back(image);
    }
  }
  return images;
}

ImageHash hash_image_bytes(const QByteArray& bytes) {
  ImageHash hash;
  hash.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
  // JPEG decodes at 1/2, 1/4 or 1/8 of its size for almost nothing: pick the largest reduction
  // that still leaves 128 pixels on the short side.
  int flag = cv::IMREAD_GRAYSCALE;
  {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    const int side = std::min(size.width(), size.height());
    if (side >= 1024) flag = cv::IMREAD_REDUCED_GRAYSCALE_8;
    else if (side >= 512) flag = cv::IMREAD_REDUCED_GRAYSCALE_4;
    else if (side >= 256) flag = cv::IMREAD_REDUCED_GRAYSCALE_2;
  }
  cv::Mat grey;
  try {
    grey = cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8U, const_cast<char*>(bytes.constData())), flag);
  } catch (const cv::Exception&) {
    return hash;
  }
  if (grey.empty()) return hash;
  cv::Mat ph;
  cv::img_hash::pHash(grey, ph);
  for (int i = 0; i < 8; ++i) hash.phash = (hash.phash << 8) | ph.at<uchar>(0, i);
  cv::resize(grey, hash.thumb, cv::Size(kThumb, kThumb), 0, 0, cv::INTER_AREA);
  hash.ok = true;
  return hash;
}

ThumbDifference aligned_difference(const cv::Mat& a, const cv::Mat& b) {
  // One of the two may be a crop of the other (up to about 8 % per side): windows of each are
  // stretched onto the other, on a 2 % grid first and then 1 % around the best, and the closest
  // is kept. The window's content is prepared again, as it has its own mean and spread.
  ThumbDifference best{1e9, 1e9};
  const auto score = [](const ThumbDifference& d) { return d.mean + d.block; };
  for (int swap = 0; swap < 2; ++swap) {
    const cv::Mat& big = swap ? b : a;
    const cv::Mat small = prepared(swap ? a : b);
    const auto try_window = [&](const Window& win) {
      if (win.x0 < 0 || win.y0 < 0 || win.x0 + win.w > 1.0001 || win.y0 + win.h > 1.0001 ||
          win.w > 1.0001 || win.h > 1.0001)
        return ThumbDifference{1e9, 1e9};
      return difference(prepared(window(big, win.x0, win.y0, win.w, win.h)), small);
    };
    Window at;
    ThumbDifference here{1e9, 1e9};
    for (double x0 : {0.0, 0.02, 0.04})
      for (double y0 : {0.0, 0.02, 0.04})
        for (double w : {1.0, 0.96, 0.92})
          for (double h : {1.0, 0.96, 0.92}) {
            const ThumbDifference d = try_window({x0, y0, w, h});
            if (score(d) < score(here)) here = d, at = {x0, y0, w, h};
          }
    const Window coarse = at;
    for (double dx : {-0.01, 0.0, 0.01})
      for (double dy : {-0.01, 0.0, 0.01})
        for (double dw : {-0.01, 0.0, 0.01})
          for (double dh : {-0.01, 0.0, 0.01}) {
            const ThumbDifference d =
                try_window({coarse.x0 + dx, coarse.y0 + dy, coarse.w + dw, coarse.h + dh});
            if (score(d) < score(here)) here = d;
          }
    if (score(here) < score(best)) best = here;
  }
  return best;
}

bool near_copies(const ImageHash& a, const ImageHash& b) {
  if (!a.ok || !b.ok) return false;
  if (std::popcount(a.phash ^ b.phash) > kCandidateDistance &&
      tiny_distance(tiny_of(a.thumb), tiny_of(b.thumb)) > kTinyCandidate)
    return false;
  const ThumbDifference d = aligned_difference(a.thumb, b.thumb);
  // Measured on planted copies (block at most 0.06 on the tests' scenes, 0.13 on a real 2 % crop of
  // a leaf) against two frames of a moving scene (at least 0.21): see the tests.
  return d.mean <= 0.12 && d.block <= 0.16;
}

QString default_hash_cache(const QString& root) {
  QString base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (base.isEmpty()) return {};
  const QByteArray key = QCryptographicHash::hash(QFileInfo(root).absoluteFilePath().toUtf8(),
                                                  QCryptographicHash::Sha1)
                             .toHex()
                             .left(16);
  return QDir(base).filePath(QStringLiteral("orvane/image-hashes/") + QString::fromLatin1(key) +
                             QStringLiteral(".tsv"));
}

namespace {

// Runs `work` on `threads` threads, this one included, and returns when all have returned.
void on_threads(int threads, const std::function<void()>& work) {
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
}

// The hash of every image: from the cache where it answers (same size and modification time),
// computed on `threads` threads for the rest, which then go into the cache. False when stopped.
bool hash_images(const std::vector<DatasetImage>& images, const DuplicateOptions& options,
                 int threads, std::vector<ImageHash>& hashes, DuplicateReport& report) {
  const int n = int(images.size());
  QHash<QString, CacheEntry> cache = read_cache(options.cache_file);
  std::vector<qint64> sizes(static_cast<size_t>(n)), mtimes(static_cast<size_t>(n));
  std::vector<int> todo;
  for (int i = 0; i < n; ++i) {
    const QFileInfo info(images[size_t(i)].path);
    sizes[size_t(i)] = info.size();
    mtimes[size_t(i)] = info.lastModified().toMSecsSinceEpoch();
    const auto it = cache.constFind(images[size_t(i)].path);
    if (it != cache.constEnd() && it->size == sizes[size_t(i)] && it->mtime == mtimes[size_t(i)]) {
      hashes[size_t(i)] = it->hash;
      ++report.cached;
    } else {
      todo.push_back(i);
    }
  }
  std::atomic<int> next{0}, done{report.cached};
  on_threads(threads, [&] {
    for (;;) {
      if (options.stop && options.stop->load()) return;
      const int k = next.fetch_add(1);
      if (k >= int(todo.size())) return;
      const int i = todo[size_t(k)];
      QFile file(images[size_t(i)].path);
      if (file.open(QIODevice::ReadOnly)) hashes[size_t(i)] = hash_image_bytes(file.readAll());
      const int now = done.fetch_add(1) + 1;
      if (options.progress) options.progress(now, n);
    }
  });
  if (options.stop && options.stop->load()) return false;
  report.hashed = int(todo.size());
  for (int i : todo) {
    if (!hashes[size_t(i)].ok) {
      report.unreadable.append(images[size_t(i)].path);
      continue;
    }
    cache.insert(images[size_t(i)].path, {sizes[size_t(i)], mtimes[size_t(i)], hashes[size_t(i)]});
  }
  if (!todo.empty()) write_cache(options.cache_file, cache);
  return true;
}

// Exact copies: equal content hashes.
void add_exact_pairs(const std::vector<ImageHash>& hashes, DuplicateReport& report) {
  const int n = int(hashes.size());
  QHash<QByteArray, std::vector<int>> by_content;
  for (int i = 0; i < n; ++i)
    if (hashes[size_t(i)].ok) by_content[hashes[size_t(i)].sha256].push_back(i);
  for (int i = 0; i < n; ++i) {
    if (!hashes[size_t(i)].ok) continue;
    const std::vector<int>& group = by_content[hashes[size_t(i)].sha256];
    for (int j : group)
      if (j > i) report.pairs.push_back({i, j, true, 0});
  }
}

// Near copies: candidates by hash distance, each confirmed on the thumbnails (in parallel: the
// confirmation costs more than the comparison of all hashes).
void add_near_pairs(const std::vector<ImageHash>& hashes, int threads, DuplicateReport& report) {
  const int n = int(hashes.size());
  std::vector<Tiny> tiny(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    if (hashes[size_t(i)].ok) tiny[size_t(i)] = tiny_of(hashes[size_t(i)].thumb);
  std::vector<DuplicatePair> candidates;
  for (int i = 0; i < n; ++i) {
    if (!hashes[size_t(i)].ok) continue;
    for (int j = i + 1; j < n; ++j) {
      if (!hashes[size_t(j)].ok) continue;
      const int distance = std::popcount(hashes[size_t(i)].phash ^ hashes[size_t(j)].phash);
      if (distance > kCandidateDistance && tiny_distance(tiny[size_t(i)], tiny[size_t(j)]) > kTinyCandidate)
        continue;
      if (hashes[size_t(i)].sha256 == hashes[size_t(j)].sha256) continue;
      candidates.push_back({i, j, false, distance});
    }
  }
  std::vector<char> confirmed(candidates.size());
  std::atomic<size_t> next_pair{0};
  on_threads(threads, [&] {
    for (size_t k; (k = next_pair.fetch_add(1)) < candidates.size();)
      confirmed[k] = near_copies(hashes[size_t(candidates[k].a)], hashes[size_t(candidates[k].b)]);
  });
  for (size_t k = 0; k < candidates.size(); ++k)
    if (confirmed[k]) report.pairs.push_back(candidates[k]);
}

}  // namespace

DuplicateReport find_duplicates(const std::vector<DatasetImage>& images,
                                const DuplicateOptions& options) {
  QElapsedTimer timer;
  timer.start();
  DuplicateReport report;
  std::vector<ImageHash> hashes(images.size());
  const int threads =
      std::max(1, options.threads > 0 ? options.threads : int(std::thread::hardware_concurrency()));
  if (!hash_images(images, options, threads, hashes, report)) {
    report.stopped = true;
    report.seconds = timer.elapsed() / 1000.0;
    return report;
  }
  add_exact_pairs(hashes, report);
  add_near_pairs(hashes, threads, report);
  report.seconds = timer.elapsed() / 1000.0;
  return report;
}

QString pair_line(const std::vector<DatasetImage>& images, const DuplicatePair& pair) {
  const DatasetImage& a = images[size_t(pair.a)];
  const DatasetImage& b = images[size_t(pair.b)];
  const auto split = [](const QString& s) { return s.isEmpty() ? QStringLiteral("-") : s; };
  QString line = QStringList{pair.exact ? QStringLiteral("exact") : QStringLiteral("near"), split(a.split),
                             a.path, split(b.split), b.path}
                     .join(QLatin1Char('\t'));
  if (a.split != b.split) line += QStringLiteral("\tleak");
  return line;
}

Result<QString> drop_copy(const DatasetImage& image) {
  if (!image.drop_refusal.isEmpty()) return fail(image.drop_refusal);
  if (!QFileInfo(image.path).isFile()) return fail(QStringLiteral("%1 does not exist").arg(image.path));
  const QString target = free_name(image.removed);
  if (!QDir().mkpath(QFileInfo(target).absolutePath()))
    return fail(QStringLiteral("Could not create %1").arg(QFileInfo(target).absolutePath()));
  if (!QFile::rename(image.path, target))
    return fail(QStringLiteral("Could not move %1 to %2").arg(image.path, target));
  if (QFileInfo(image.label).isFile()) {
    // The label follows under the image's new name, so the pair stays a pair.
    const QString label_target =
        QFileInfo(image.removed_label).dir().filePath(QFileInfo(label_path_for(target)).fileName());
    if (!QDir().mkpath(QFileInfo(label_target).absolutePath()) ||
        QFileInfo::exists(label_target) || !QFile::rename(image.label, label_target)) {
      QFile::rename(target, image.path);  // put the image back: a pair is moved whole or not at all
      return fail(QStringLiteral("Could not move %1 to %2").arg(image.label, label_target));
    }
  }
  return target;
}

}  // namespace orvane::dataset
