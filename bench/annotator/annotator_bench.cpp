// Annotator timings, each beside a peer measured in the same run:
//   - listing a folder of 10,000 images with their label marks: our single directory listing
//     against one existence check (stat) per label file, and the whole tab's folder load;
//   - saving and loading a label file with one 500-vertex polygon: our writer/reader against a
//     plain snprintf("%.6f") / strtod loop;
//   - showing a 24-megapixel JPEG: decode + conversion, and one full repaint of the fitted view
//     drawn from the picture's pyramid against drawing it from the full image;
//   - a 100-megapixel JPEG (10000 x 10000): opening it in the tab, and the redraw of one pan
//     step (fitted, and at 1:1) with our pyramid item against a plain pixmap item.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QListWidget>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "annotator/annotator_tab.h"
#include "common/tab_access.h"
#include "annotator/image_folder.h"
#include "annotator/label_file.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"
#include "widgets/large_image_item.h"
#include "widgets/zoomable_view.h"

using namespace orvane;

namespace {

// 10,000 image names (empty files: only the first is ever decoded, and it is a real PNG) with a
// label file for every second one.
const QTemporaryDir& big_folder() {
  static QTemporaryDir* dir = [] {
    auto* d = new QTemporaryDir;
    for (int i = 0; i < 10000; ++i) {
      const QString name = QStringLiteral("img_%1").arg(i, 5, 10, QChar('0'));
      QFile(d->filePath(name + ".jpg")).open(QIODevice::WriteOnly);
      if (i % 2 == 0) QFile(d->filePath(name + ".txt")).open(QIODevice::WriteOnly);
    }
    cv::imwrite(d->filePath("img_00000.jpg").toStdString() + ".png", cv::Mat(64, 64, CV_8UC3));
    QFile::remove(d->filePath("img_00000.jpg"));
    QFile::rename(d->filePath("img_00000.jpg.png"), d->filePath("img_00000.jpg"));
    return d;
  }();
  return *dir;
}

void BM_FolderListing_Ours(benchmark::State& state) {
  const QString folder = big_folder().path();
  for (auto _ : state) benchmark::DoNotOptimize(scan_image_folder(folder));
}
BENCHMARK(BM_FolderListing_Ours)->Unit(benchmark::kMillisecond);

void BM_FolderListing_PeerStatPerLabel(benchmark::State& state) {
  const QString folder = big_folder().path();
  for (auto _ : state) {
    const QStringList images = list_images(folder, ListOrder::CodePoint);
    std::vector<bool> labelled;
    for (const QString& p : images) labelled.push_back(QFileInfo::exists(label_path_for(p)));
    benchmark::DoNotOptimize(labelled);
  }
}
BENCHMARK(BM_FolderListing_PeerStatPerLabel)->Unit(benchmark::kMillisecond);

void BM_TabOpenFolder10k(benchmark::State& state) {
  AnnotatorTab tab;
  const QString folder = big_folder().path();
  for (auto _ : state) {
    tab.open_folder(folder);
    benchmark::DoNotOptimize(orvane::test::state(tab).image_paths.size());
  }
}
BENCHMARK(BM_TabOpenFolder10k)->Unit(benchmark::kMillisecond);

LabelShape big_shape() {
  LabelShape shape{3, {}};
  QRandomGenerator rng(7);
  for (int i = 0; i < 500; ++i) shape.points.append({rng.generateDouble(), rng.generateDouble()});
  return shape;
}

// The class id alternates, so every iteration really replaces the file (atomically).
void BM_SaveLabel500_Ours(benchmark::State& state) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  std::vector<LabelShape> shapes{big_shape()};
  for (auto _ : state) {
    shapes[0].class_id ^= 1;
    benchmark::DoNotOptimize(save_label_file(path, shapes).ok());
  }
}
BENCHMARK(BM_SaveLabel500_Ours)->Unit(benchmark::kMicrosecond);

// Saving what the file already holds, as every move to another image does for an unedited image.
void BM_SaveLabel500_OursUnchanged(benchmark::State& state) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  const std::vector<LabelShape> shapes{big_shape()};
  for (auto _ : state) benchmark::DoNotOptimize(save_label_file(path, shapes).ok());
}
BENCHMARK(BM_SaveLabel500_OursUnchanged)->Unit(benchmark::kMicrosecond);

void BM_SaveLabel500_PeerPrintfDirect(benchmark::State& state) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("a.txt").toStdString();
  const LabelShape shape = big_shape();
  for (auto _ : state) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fprintf(f, "%d", shape.class_id);
    for (const QPointF& p : shape.points) std::fprintf(f, " %.6f %.6f", p.x(), p.y());
    std::fputc('\n', f);
    std::fclose(f);
  }
}
BENCHMARK(BM_SaveLabel500_PeerPrintfDirect)->Unit(benchmark::kMicrosecond);

void BM_LoadLabel500_Ours(benchmark::State& state) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  (void)save_label_file(path, {big_shape()});
  for (auto _ : state) benchmark::DoNotOptimize(read_label_file(path, 10));
}
BENCHMARK(BM_LoadLabel500_Ours)->Unit(benchmark::kMicrosecond);

void BM_LoadLabel500_PeerStrtod(benchmark::State& state) {
  QTemporaryDir dir;
  const QString path = dir.filePath("a.txt");
  (void)save_label_file(path, {big_shape()});
  const std::string p = path.toStdString();
  for (auto _ : state) {
    FILE* f = std::fopen(p.c_str(), "r");
    char buffer[65536];
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    buffer[n] = 0;
    char* cursor = buffer;
    const long id = std::strtol(cursor, &cursor, 10);
    std::vector<double> values;
    for (char* end = nullptr;; cursor = end) {
      const double v = std::strtod(cursor, &end);
      if (end == cursor) break;
      values.push_back(v);
    }
    benchmark::DoNotOptimize(id);
    benchmark::DoNotOptimize(values);
  }
}
BENCHMARK(BM_LoadLabel500_PeerStrtod)->Unit(benchmark::kMicrosecond);

// A 6000 x 4000 photo-like JPEG (smooth gradients plus noise, so it compresses like a photo).
const QString& photo_24mp() {
  static QTemporaryDir* dir = new QTemporaryDir;
  static const QString path = [] {
    cv::Mat small(400, 600, CV_8UC3);
    cv::randu(small, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::Mat image;
    cv::resize(small, image, cv::Size(6000, 4000), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(image.size(), image.type());
    cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(12));
    image += noise;
    const QString p = dir->filePath("photo.jpg");
    cv::imwrite(p.toStdString(), image, {cv::IMWRITE_JPEG_QUALITY, 90});
    return p;
  }();
  return path;
}

void BM_Show24MP_DecodeAndConvert(benchmark::State& state) {
  photo_24mp();
  for (auto _ : state) {
    const cv::Mat image = read_image_bgr(photo_24mp());
    benchmark::DoNotOptimize(QPixmap::fromImage(mat_to_qimage(image)));
  }
}
BENCHMARK(BM_Show24MP_DecodeAndConvert)->Unit(benchmark::kMillisecond);

// Opening a photo in the tab (two copies, alternately): decode, pyramid, overview, fit.
void tab_load(benchmark::State& state, const QString& photo) {
  QTemporaryDir dir;
  QFile::copy(photo, dir.filePath("a.jpg"));
  QFile::copy(photo, dir.filePath("b.jpg"));
  AnnotatorTab tab;
  tab.resize(1500, 950);
  tab.show();
  tab.open_folder(dir.path());
  for (auto _ : state) {
    // As a person does: the other row of the queue.
    orvane::test::controls(tab).list_images->setCurrentRow(1 - orvane::test::state(tab).current_idx);
    QApplication::processEvents();
  }
}

void BM_TabLoad24MP(benchmark::State& state) { tab_load(state, photo_24mp()); }
BENCHMARK(BM_TabLoad24MP)->Unit(benchmark::kMillisecond);

// One full repaint of a 1000 x 700 view showing the whole 24-megapixel picture, as happens when
// the preview outline moves across it. Arg 1: cached at screen resolution (ours); 0: drawn from
// the full image each time (the peer).
// The picture as the annotator shows it (1: LargeImageItem) or as a plain pixmap item (0).
QGraphicsItem* add_picture(QGraphicsScene& scene, const cv::Mat& bgr, bool ours) {
  if (ours) {
    auto* item = new LargeImageItem(image_pyramid(bgr, LargeImageItem::kSmallestSide));
    scene.addItem(item);
    return item;
  }
  return scene.addPixmap(QPixmap::fromImage(mat_to_qimage(bgr)));
}

void BM_Repaint24MPFitted(benchmark::State& state) {
  QGraphicsScene scene;
  QGraphicsItem* item = add_picture(scene, read_image_bgr(photo_24mp()), state.range(0) == 1);
  ZoomableView view;
  view.setScene(&scene);
  view.resize(1000, 700);
  view.show();
  view.fitInView(item, Qt::KeepAspectRatio);
  view.viewport()->grab();
  for (auto _ : state) benchmark::DoNotOptimize(view.viewport()->grab());
}
BENCHMARK(BM_Repaint24MPFitted)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// A 10000 x 10000 JPEG of smooth noise, made once.
const QString& photo_100mp() {
  static QTemporaryDir* dir = new QTemporaryDir;
  static const QString path = [] {
    cv::Mat small(500, 500, CV_8UC3);
    cv::randu(small, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::Mat image;
    cv::resize(small, image, cv::Size(10000, 10000), 0, 0, cv::INTER_LINEAR);
    const QString p = dir->filePath("huge.jpg");
    cv::imwrite(p.toStdString(), image, {cv::IMWRITE_JPEG_QUALITY, 90});
    return p;
  }();
  return path;
}

void BM_TabLoad100MP(benchmark::State& state) { tab_load(state, photo_100mp()); }
BENCHMARK(BM_TabLoad100MP)->Unit(benchmark::kMillisecond)->Iterations(3);

// One pan step of a 1000 x 700 view over the 100-megapixel picture and its redraw. range(0):
// 1 ours, 0 a plain pixmap item; range(1): 1 at 1:1 (panning 80 px), 0 fitted (the picture
// fills the view, panning a step of the scroll range).
void BM_Pan100MP(benchmark::State& state) {
  static const cv::Mat bgr = read_image_bgr(photo_100mp());
  QGraphicsScene scene;
  add_picture(scene, bgr, state.range(0) == 1);
  ZoomableView view;
  view.setScene(&scene);
  view.resize(1000, 700);
  view.show();
  if (state.range(1) == 0) view.scale(0.12, 0.12);  // the whole width and a bit in view
  view.centerOn(5000, 5000);
  view.viewport()->grab();
  int step = 0;
  for (auto _ : state) {
    const int dx = (step++ % 20 < 10) ? 80 : -80;
    view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->value() + dx);
    benchmark::DoNotOptimize(view.viewport()->grab());
  }
}
BENCHMARK(BM_Pan100MP)->Args({1, 1})->Args({0, 1})->Args({1, 0})->Args({0, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
