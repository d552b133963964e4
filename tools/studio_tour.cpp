// Drives the real studio window through every tab, the way an operator would, and saves one
// picture per tab for the README. It makes all of its data itself (drawn photos, a labelled
// folder, a tiny dataset), trains a tiny model through the training tab's own child process and
// predicts with a small trained checkpoint, so re-running it gives the same pictures.
//
//   studio-tour WORK_DIR OUTPUT_DIR WEIGHTS.pt
//
// WORK_DIR is scratch space (emptied first); OUTPUT_DIR receives the PNG files; WEIGHTS.pt is a
// detection checkpoint trained on the drawn shapes (the test fixture yolov8n-shapes.pt).
//
//   studio-tour walkthrough PHOTOS_DIR SET_DIR SHOTS_DIR
//
// follows the README's first ten minutes click by click in the working folder: draws twenty
// photos into PHOTOS_DIR, boxes ten of them on the annotator's canvas, exports the split set into
// SET_DIR, trains from the training form and predicts in the inference tab, saving a picture of
// each step into SHOTS_DIR. Numbers are those the README gives.
//
//   studio-tour video WORK_DIR SHOTS_DIR WEIGHTS.pt
//
// the README's Video section as an operator follows it: opens a drawn video in the annotator,
// boxes the first frame, propagates ten frames, fixes one, interpolates between two keyframes,
// exports the set, and plays the video with predictions and tracks in the inference tab. Its
// picture of the annotator is the README's video.png (written to SHOTS_DIR with the others).
//
// Widgets are found by object name or accessible name, never by screen position; every dialog
// is answered through the studio's dialog hooks.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFont>
#include <QGraphicsPixmapItem>
#include <QImageWriter>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QSlider>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <vector>

#include "app/orvane_studio.h"
#include "engine/compute_thread.h"
#include "ui/dialogs.h"
#include "widgets/zoomable_view.h"

using orvane::OrvaneStudio;
using orvane::ZoomableView;

namespace {

// The studio's own first size: every tab title fits the bar at this width.
constexpr int kWidth = 1500;
constexpr int kHeight = 950;
constexpr double kPi = 3.14159265358979323846;

[[noreturn]] void fail(const QString& why) {
  std::fprintf(stderr, "studio-tour: %s\n", qPrintable(why));
  std::exit(1);
}

void say(const QString& what) { std::fprintf(stderr, "studio-tour: %s\n", qPrintable(what)); }

// The widget of type T below `root` whose object name or accessible name is `name`. Styled
// buttons keep their style's object name, so they are found by their accessible name.
template <typename T>
T* find(QWidget* root, const QString& name) {
  for (T* widget : root->findChildren<T*>()) {
    if (widget->objectName() == name || widget->accessibleName() == name) return widget;
  }
  fail("no widget named " + name);
}

template <typename Predicate>
void wait_until(Predicate ready, int timeout_ms, const QString& what) {
  if (!QTest::qWaitFor(ready, timeout_ms)) fail("timed out waiting for " + what);
}

// ---- data ------------------------------------------------------------------------------------

struct Object {
  int cls = 0;  // 0 crate, 1 ball, 2 cone
  std::vector<cv::Point2f> polygon;
};

// A small outdoor "photo": sky, a hill line, the sun and two or three objects standing on the
// ground. The objects' outlines come back in pixels.
cv::Mat draw_scene(unsigned seed, int width, int height, std::vector<Object>* objects) {
  std::mt19937 rng(seed);
  auto uniform = [&](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng);
  };
  cv::Mat image(height, width, CV_8UC3);
  const double horizon = height * uniform(0.45, 0.6);
  const cv::Vec3d sky_top(uniform(150, 190), uniform(90, 120), uniform(40, 70));  // BGR
  const cv::Vec3d sky_low(uniform(225, 245), uniform(200, 220), uniform(170, 200));
  const cv::Vec3d grass_near(uniform(30, 50), uniform(110, 140), uniform(60, 90));
  const cv::Vec3d grass_far(uniform(60, 80), uniform(150, 170), uniform(110, 130));
  const double hill_phase = uniform(0, 2 * kPi);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double hill = horizon + height * 0.05 * std::sin(hill_phase + 3.0 * x / width);
      cv::Vec3d colour;
      if (y < hill) {
        colour = sky_top + (sky_low - sky_top) * (y / hill);
      } else {
        const double t = (y - hill) / std::max(1.0, height - hill);
        colour = grass_far + (grass_near - grass_far) * t;
      }
      image.at<cv::Vec3b>(y, x) =
          cv::Vec3b(cv::saturate_cast<uchar>(colour[0]), cv::saturate_cast<uchar>(colour[1]),
                    cv::saturate_cast<uchar>(colour[2]));
    }
  }
  const int unit = std::min(width, height);
  cv::circle(image, cv::Point(int(width * uniform(0.65, 0.9)), int(height * uniform(0.1, 0.25))),
             int(unit * 0.07), cv::Scalar(120, 235, 255), cv::FILLED, cv::LINE_AA);

  const int count = 2 + int(uniform(0, 2));
  for (int i = 0; i < count; ++i) {
    Object object;
    object.cls = (int(seed) + i) % 3;
    // Objects spread over the width, standing on the ground.
    const double cx = width * (0.12 + 0.76 * (i + uniform(0.2, 0.8)) / count);
    const double size = unit * uniform(0.16, 0.24);
    const double base = std::min(height - 4.0, horizon + (height - horizon) * uniform(0.45, 0.9));
    if (object.cls == 0) {
      const double angle = uniform(-0.25, 0.25);
      const cv::Point2f centre(float(cx), float(base - size / 2));
      const cv::RotatedRect box(centre, cv::Size2f(float(size * 1.2), float(size)),
                                float(angle * 180 / kPi));
      cv::Point2f corners[4];
      box.points(corners);
      object.polygon.assign(corners, corners + 4);
      std::vector<cv::Point> outline(corners, corners + 4);
      cv::fillConvexPoly(image, outline, cv::Scalar(40, 90, 150), cv::LINE_AA);
      cv::polylines(image, outline, true, cv::Scalar(20, 50, 90), std::max(1, unit / 150),
                    cv::LINE_AA);
    } else if (object.cls == 1) {
      const double r = size / 2;
      const cv::Point2f centre(float(cx), float(base - r));
      cv::circle(image, centre, int(r), cv::Scalar(50, 60, 215), cv::FILLED, cv::LINE_AA);
      cv::circle(image, centre + cv::Point2f(float(-r / 3), float(-r / 3)), int(r / 4),
                 cv::Scalar(140, 150, 255), cv::FILLED, cv::LINE_AA);
      for (int k = 0; k < 24; ++k) {
        const double t = 2 * kPi * k / 24;
        object.polygon.emplace_back(float(centre.x + r * std::cos(t)),
                                    float(centre.y + r * std::sin(t)));
      }
    } else {
      object.polygon = {cv::Point2f(float(cx), float(base - size * 1.1)),
                        cv::Point2f(float(cx + size * 0.45), float(base)),
                        cv::Point2f(float(cx - size * 0.45), float(base))};
      std::vector<cv::Point> outline(object.polygon.begin(), object.polygon.end());
      cv::fillConvexPoly(image, outline, cv::Scalar(30, 130, 245), cv::LINE_AA);
    }
    if (objects != nullptr) objects->push_back(object);
  }
  // No sensor noise: it would only make the README's pictures larger.
  return image;
}

void write_file(const QString& path, const QByteArray& text) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
    fail("cannot write " + path);
}

void write_image(const QString& path, const cv::Mat& image) {
  if (!cv::imwrite(path.toStdString(), image, {cv::IMWRITE_JPEG_QUALITY, 92}))
    fail("cannot write " + path);
}

// One polygon line per object, normalised to the picture as the annotator writes them.
QByteArray label_lines(const std::vector<Object>& objects, int width, int height) {
  QByteArray text;
  for (const Object& object : objects) {
    text += QByteArray::number(object.cls);
    for (const cv::Point2f& p : object.polygon) {
      text += ' ' + QByteArray::number(std::clamp(p.x / width, 0.0f, 1.0f), 'f', 6);
      text += ' ' + QByteArray::number(std::clamp(p.y / height, 0.0f, 1.0f), 'f', 6);
    }
    text += '\n';
  }
  return text;
}

const QByteArray kClasses = "crate\nball\ncone\n";

// photos/: six unlabelled photos; labelled/: the same kind, annotated, with classes.txt;
// dataset/: a tiny train/val set with data.yaml; shapes/: pictures like the ones the shapes
// checkpoint was trained on (one bright filled rectangle or disc on a dark background).
void make_data(const QString& work) {
  QDir(work).mkpath("photos");
  for (int i = 1; i <= 6; ++i) {
    write_image(work + QStringLiteral("/photos/field_%1.jpg").arg(i, 2, 10, QChar('0')),
                draw_scene(100 + i, 960, 640, nullptr));
  }
  QDir(work).mkpath("labelled");
  for (int i = 1; i <= 5; ++i) {
    std::vector<Object> objects;
    const cv::Mat image = draw_scene(200 + i, 720, 480, &objects);
    const QString stem = work + QStringLiteral("/labelled/yard_%1").arg(i, 2, 10, QChar('0'));
    write_image(stem + ".jpg", image);
    write_file(stem + ".txt", label_lines(objects, image.cols, image.rows));
  }
  write_file(work + "/labelled/classes.txt", kClasses);

  for (const char* split : {"train", "val"}) {
    QDir(work).mkpath(QStringLiteral("dataset/%1/images").arg(split));
    QDir(work).mkpath(QStringLiteral("dataset/%1/labels").arg(split));
    const int count = QByteArray(split) == "train" ? 12 : 4;
    for (int i = 0; i < count; ++i) {
      std::vector<Object> objects;
      const unsigned seed = (QByteArray(split) == "train" ? 300u : 400u) + unsigned(i);
      const cv::Mat image = draw_scene(seed, 128, 96, &objects);
      const QString name = QStringLiteral("%1_%2").arg(split).arg(i, 2, 10, QChar('0'));
      write_image(QStringLiteral("%1/dataset/%2/images/%3.jpg").arg(work, split, name), image);
      write_file(QStringLiteral("%1/dataset/%2/labels/%3.txt").arg(work, split, name),
                 label_lines(objects, image.cols, image.rows));
    }
  }
  write_file(work + "/dataset/data.yaml",
             "path: " + QDir(work + "/dataset").absolutePath().toUtf8() +
                 "\ntrain: train/images\nval: val/images\n\nnames:\n  0: crate\n  1: ball\n"
                 "  2: cone\n");

  QDir(work).mkpath("shapes");
  std::mt19937 rng(11);
  auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  for (int i = 1; i <= 4; ++i) {
    const int size = 384;
    cv::Mat image(size, size, CV_8UC3, cv::Scalar(40, 30, 25));
    cv::Mat noise(image.size(), CV_8UC3);
    cv::RNG noise_rng{std::uint64_t(i)};
    noise_rng.fill(noise, cv::RNG::NORMAL, 0, 6);
    image += noise;
    const int cx = uniform(size * 7 / 32, size * 25 / 32);
    const int cy = uniform(size * 7 / 32, size * 25 / 32);
    const int r = uniform(size * 9 / 64, size * 13 / 64);
    const cv::Scalar colour(uniform(150, 255), uniform(150, 255), uniform(150, 255));
    if (i % 2 == 1) {
      cv::rectangle(image, cv::Point(cx - r, cy - r), cv::Point(cx + r - 1, cy + r - 1), colour,
                    cv::FILLED);
    } else {
      cv::circle(image, cv::Point(cx, cy), r, colour, cv::FILLED, cv::LINE_AA);
    }
    write_image(work + QStringLiteral("/shapes/shape_%1.jpg").arg(i, 2, 10, QChar('0')), image);
  }
}

// ---- pictures --------------------------------------------------------------------------------

void save_shot(QWidget* window, const QString& path) {
  QApplication::processEvents();
  const QImage image = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QImageWriter writer(path, "png");
  writer.setQuality(0);  // the PNG writer's strongest zlib level
  if (!writer.write(image)) fail("cannot write " + path + ": " + writer.errorString());
  const qint64 bytes = QFileInfo(path).size();
  say(QStringLiteral("saved %1 (%2 KB)").arg(path).arg(bytes / 1024));
}

// Dialogs answered in order; an empty queue cancels, as an operator closing the chooser would.
std::deque<QString> directories;
std::deque<QStringList> file_lists;

void install_dialog_hooks() {
  auto& hooks = orvane::ui::dialog_hooks();
  auto take = [](auto& queue, auto fallback) {
    if (queue.empty()) return fallback;
    auto value = queue.front();
    queue.pop_front();
    return value;
  };
  hooks.message = [](const orvane::ui::Message& m) {
    say("message box: " + m.title + ": " + m.text);
    return QMessageBox::Ok;
  };
  hooks.existing_directory = [take](const QString&) { return take(directories, QString()); };
  hooks.open_file_names = [take](const QString&, const QString&) {
    return take(file_lists, QStringList());
  };
  hooks.open_file_name = [](const QString&, const QString&) { return QString(); };
  hooks.save_file_name = [](const QString&, const QString&) { return QString(); };
  hooks.exec_dialog = [](QDialog&) { return int(QDialog::Rejected); };
}

void show_tab(QTabWidget* tabs, int index) {
  tabs->setCurrentIndex(index);
  QTest::qWait(100);  // lets the page lay out before pictures are fitted into its views
}

// The studio at the pictures' fixed size, on screen; returns its tab widget.
QTabWidget* show_studio(OrvaneStudio& window) {
  window.setFixedSize(kWidth, kHeight);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) fail("the window was never shown");
  return find<QTabWidget>(&window, "tabs");
}

void set_text(QLineEdit* entry, const QString& text) {
  entry->clear();
  QTest::keyClicks(entry, text);
  QTest::keyClick(entry, Qt::Key_Tab);  // leaving the field commits the typed value
}

int tour(const QString& work, const QString& out, const QString& weights) {
  if (!QFileInfo(weights).isFile()) fail("no weights file " + weights);
  QDir(work).removeRecursively();
  if (!QDir().mkpath(work) || !QDir().mkpath(out)) fail("cannot create the folders");
  make_data(work);
  QDir(work).mkpath("models");
  if (!QFile::copy(weights, work + "/models/shapes.pt")) fail("cannot copy " + weights);
  // Relative paths from here on, as an operator's fields would read, with no machine's folders
  // in the pictures.
  QDir::setCurrent(work);
  install_dialog_hooks();

  OrvaneStudio window;
  auto* tabs = show_studio(window);

  // 1. Resizer: a queue of photos, 10 cm wide at 300 DPI, the second one selected.
  show_tab(tabs, 0);
  QStringList photos;
  for (int i = 1; i <= 6; ++i)
    photos << QStringLiteral("photos/field_%1.jpg").arg(i, 2, 10, QChar('0'));
  file_lists.push_back(photos);
  QTest::mouseClick(find<QPushButton>(&window, "btn_add_files"), Qt::LeftButton);
  auto* queue = find<QListWidget>(&window, "list_resizer_queue");
  if (queue->count() != 6) fail("the resizer queue holds " + QString::number(queue->count()));
  set_text(find<QLineEdit>(&window, "entry_resize_w"), "10");
  find<QComboBox>(&window, "combo_unit")->setCurrentText("cm");
  queue->setCurrentRow(1);
  save_shot(&window, out + "/resizer.png");

  // 2. Splitter: six tiles in two rows with a 10 % overlap, drawn over the first photo.
  show_tab(tabs, 1);
  set_text(find<QLineEdit>(&window, "entry_split_in"), "photos");
  set_text(find<QLineEdit>(&window, "entry_split_out"), "tiles");
  find<QSpinBox>(&window, "spin_split_parts")->setValue(6);
  find<QComboBox>(&window, "combo_grid_mode")->setCurrentText("2 Rows x 3 Cols");
  find<QSpinBox>(&window, "spin_split_overlap")->setValue(10);
  if (find<ZoomableView>(&window, "view_split_preview")->pixmap_item() == nullptr)
    fail("the splitter shows no preview");
  save_shot(&window, out + "/splitter.png");

  // 3. Enricher: a labelled photo turned by 12 degrees; its shapes turn with it.
  show_tab(tabs, 2);
  find<QCheckBox>(&window, "chk_aug_labels")->setChecked(true);
  directories.push_back("labelled");
  QTest::mouseClick(find<QPushButton>(&window, "btn_aug_browse_in"), Qt::LeftButton);
  wait_until([&] { return find<QLabel>(&window, "aug_lbl_counter")->text().startsWith("1 /"); },
             5000, "the enricher's first image");
  set_text(find<QLineEdit>(&window, "aug_entry_angle"), "12");
  QTest::mouseClick(find<QPushButton>(&window, "btn_aug_rotate"), Qt::LeftButton);
  save_shot(&window, out + "/enricher.png");

  // 4. Annotator: the labelled folder, its polygons and the object table, one shape selected.
  show_tab(tabs, 3);
  directories.push_back("labelled");
  QTest::mouseClick(find<QPushButton>(&window, "btn_load_dir"), Qt::LeftButton);
  auto* images = find<QListWidget>(&window, "list_images");
  if (images->count() != 5) fail("the annotator lists " + QString::number(images->count()));
  images->setCurrentRow(1);
  auto* table = find<QTableWidget>(&window, "table_objects");
  wait_until([&] { return table->rowCount() > 0; }, 5000, "the annotator's object table");
  table->selectRow(0);
  save_shot(&window, out + "/annotator.png");

  // 5. Training form: fresh yolov8n weights (no download), 64 px, two epochs.
  show_tab(tabs, 4);
  auto* model = find<QComboBox>(&window, "model_combo");
  model->setCurrentText("yolov8n.yaml");
  set_text(find<QLineEdit>(&window, "data_yaml_input"), "dataset/data.yaml");
  set_text(find<QLineEdit>(&window, "project_dir_input"), "runs/detect");
  set_text(find<QLineEdit>(&window, "run_name_input"), "first_run");
  find<QSpinBox>(&window, "epochs_input")->setValue(2);
  find<QSpinBox>(&window, "imgsz_input")->setValue(64);
  find<QSpinBox>(&window, "batch_input")->setValue(4);
  find<QSpinBox>(&window, "workers_input")->setValue(1);
  save_shot(&window, out + "/training_form.png");

  // 6. Monitor: the run trains in its own process; the charts appear when it has finished.
  QTest::mouseClick(find<QPushButton>(&window, "Start model training"), Qt::LeftButton);
  auto* status = find<QLabel>(&window, "lbl_train_status");
  wait_until(
      [&] {
        const QString text = status->text();
        return text.contains("Complete") || text.contains("Error") || text.contains("Stopped");
      },
      20 * 60 * 1000, "the training run");
  if (!status->text().contains("Complete")) fail("the training run ended with " + status->text());
  find<QTabWidget>(&window, "tabs_analytics")->setCurrentIndex(0);
  QTest::qWait(200);
  save_shot(&window, out + "/monitor.png");
  if (!QFileInfo::exists("runs/detect/first_run/weights/best.pt"))
    fail("the run left no weights/best.pt");

  // 7. Inference: the shapes checkpoint on drawn shapes, boxes drawn by the tab.
  show_tab(tabs, 6);
  set_text(find<QLineEdit>(&window, "entry_inf_weights"), "models/shapes.pt");
  set_text(find<QLineEdit>(&window, "entry_inf_folder"), "shapes");
  find<QSpinBox>(&window, "spin_inf_imgsz")->setValue(96);
  QTest::mouseClick(find<QPushButton>(&window, "Load model and infer queue"), Qt::LeftButton);
  auto* counter = find<QLabel>(&window, "lbl_inf_counter");
  wait_until([&] { return counter->text().startsWith("1 /"); }, 60000, "the first prediction");
  QTest::qWait(200);
  save_shot(&window, out + "/inference.png");
  return 0;
}

const char* const kClassNames[] = {"crate", "ball", "cone"};

int walkthrough(const QString& photos_dir, const QString& set_dir, const QString& shots) {
  QDir().mkpath(photos_dir);
  QDir().mkpath(shots);
  // The operator's photos: drawn here so the driver knows where the objects are.
  std::vector<std::vector<Object>> truth;
  for (int i = 1; i <= 20; ++i) {
    std::vector<Object> objects;
    write_image(photos_dir + QStringLiteral("/photo_%1.jpg").arg(i, 2, 10, QChar('0')),
                draw_scene(500 + i, 960, 640, &objects));
    truth.push_back(objects);
  }
  install_dialog_hooks();
  OrvaneStudio window;
  auto* tabs = show_studio(window);

  // 2. Image Annotator: Load Directory.
  show_tab(tabs, 3);
  directories.push_back(photos_dir);
  QTest::mouseClick(find<QPushButton>(&window, "btn_load_dir"), Qt::LeftButton);
  auto* images = find<QListWidget>(&window, "list_images");
  if (images->count() != 20) fail("the annotator lists " + QString::number(images->count()));
  save_shot(&window, shots + "/step2.png");

  // 3./4. Rectangle mode; one drag per object, its class typed into the label dialog; Next.
  find<QComboBox>(&window, "combo_mode")->setCurrentText("Rectangle");
  auto* view = find<ZoomableView>(&window, "canvas_view");
  auto* next = find<QPushButton>(&window, "btn_next_img");
  auto* table = find<QTableWidget>(&window, "table_objects");
  for (int i = 0; i < 10; ++i) {
    if (images->currentRow() != i) fail("the annotator is not on photo " + QString::number(i + 1));
    for (const Object& object : truth[std::size_t(i)]) {
      const cv::Rect2f box = cv::boundingRect(object.polygon);
      const QPoint from = view->mapFromScene(QPointF(box.x, box.y));
      const QPoint to = view->mapFromScene(QPointF(box.x + box.width, box.y + box.height));
      orvane::ui::dialog_hooks().exec_dialog = [&object](QDialog& dialog) {
        auto* combo = dialog.findChild<QComboBox*>();
        if (combo == nullptr) fail("the label dialog has no class field");
        combo->setCurrentText(kClassNames[object.cls]);
        return int(QDialog::Accepted);
      };
      const int rows = table->rowCount();
      QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
      QTest::mouseMove(view->viewport(), to);
      QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, to);
      if (table->rowCount() != rows + 1)
        fail("a drag on photo " + QString::number(i + 1) + " made no shape");
    }
    if (i == 0) save_shot(&window, shots + "/step3.png");
    QTest::mouseClick(next, Qt::LeftButton);
  }
  save_shot(&window, shots + "/step4.png");

  // 5. Export & Split Dataset with the dialog's defaults into SET_DIR.
  orvane::ui::dialog_hooks().exec_dialog = [](QDialog&) { return int(QDialog::Accepted); };
  directories.push_back(set_dir);
  QTest::mouseClick(find<QPushButton>(&window, "Export and split dataset"), Qt::LeftButton);
  if (!QFileInfo::exists(set_dir + "/data.yaml")) fail("the export wrote no data.yaml");

  // 6. Training form: yolov8n.yaml, the manifest through Browse..., 30 epochs at 320.
  show_tab(tabs, 4);
  find<QComboBox>(&window, "model_combo")->setCurrentText("yolov8n.yaml");
  orvane::ui::dialog_hooks().open_file_name = [&](const QString&, const QString&) {
    return set_dir + "/data.yaml";
  };
  QTest::mouseClick(find<QPushButton>(&window, "Browse for the data manifest"), Qt::LeftButton);
  find<QSpinBox>(&window, "epochs_input")->setValue(30);
  find<QSpinBox>(&window, "imgsz_input")->setValue(320);
  save_shot(&window, shots + "/step6.png");

  // 7. Start, and wait for the end of the run.
  QTest::mouseClick(find<QPushButton>(&window, "Start model training"), Qt::LeftButton);
  auto* status = find<QLabel>(&window, "lbl_train_status");
  QTest::qWait(30000);
  save_shot(&window, shots + "/step7a.png");
  wait_until(
      [&] {
        const QString text = status->text();
        return text.contains("Complete") || text.contains("Error") || text.contains("Stopped");
      },
      60 * 60 * 1000, "the training run");
  save_shot(&window, shots + "/step7.png");
  if (!status->text().contains("Complete")) fail("the training run ended with " + status->text());

  // 8. Inference with the default weights path, the photos through Browse..., conf 0.05.
  show_tab(tabs, 6);
  directories.push_back(photos_dir);
  QTest::mouseClick(find<QPushButton>(&window, "btn_inf_browse_folder"), Qt::LeftButton);
  QTest::mouseClick(find<QPushButton>(&window, "Load model and infer queue"), Qt::LeftButton);
  auto* counter = find<QLabel>(&window, "lbl_inf_counter");
  wait_until([&] { return counter->text().startsWith("1 /"); }, 60000, "the first prediction");
  save_shot(&window, shots + "/step8a.png");
  auto* conf = find<QDoubleSpinBox>(&window, "spin_inf_conf");
  conf->setValue(0.05);
  QTest::qWait(500);
  save_shot(&window, shots + "/step8.png");
  return 0;
}


// A drawn video: two textured crates drifting right and a ball rolling left, 25 frames a
// second, 640x400. Returns the crates' and the ball's boxes per frame.
std::vector<std::vector<cv::Rect>> write_video(const QString& path, int frames) {
  cv::VideoWriter writer(path.toStdString(), cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                         cv::Size(640, 400));
  if (!writer.isOpened()) fail("cannot write " + path);
  cv::Mat back(400, 640, CV_8UC3, cv::Scalar(70, 60, 50));
  cv::rectangle(back, cv::Rect(0, 300, 640, 100), cv::Scalar(60, 110, 80), cv::FILLED);
  std::vector<std::vector<cv::Rect>> boxes;
  for (int i = 0; i < frames; ++i) {
    cv::Mat image = back.clone();
    std::vector<cv::Rect> now;
    for (int k = 0; k < 2; ++k) {
      const cv::Rect crate(60 + 5 * i + 260 * k, 200 + 20 * k, 90, 80);
      cv::rectangle(image, crate, cv::Scalar(60, 120, 200), cv::FILLED);
      cv::line(image, crate.tl(), crate.br(), cv::Scalar(30, 70, 130), 4);
      cv::line(image, {crate.x, crate.y + crate.height}, {crate.x + crate.width, crate.y}, cv::Scalar(30, 70, 130), 4);
      cv::rectangle(image, crate, cv::Scalar(30, 70, 130), 3);
      now.push_back(crate);
    }
    const cv::Point ball(560 - 6 * i, 120 + i);
    cv::circle(image, ball, 36, cv::Scalar(50, 60, 215), cv::FILLED, cv::LINE_AA);
    cv::circle(image, ball + cv::Point(-12, -12), 9, cv::Scalar(200, 210, 255), cv::FILLED, cv::LINE_AA);
    now.push_back(cv::Rect(ball.x - 36, ball.y - 36, 72, 72));
    writer.write(image);
    boxes.push_back(now);
  }
  return boxes;
}

// One box dragged on the annotator's canvas and named in the label dialog.
void drag_box(OrvaneStudio& window, const cv::Rect& box, const QString& label) {
  auto* view = find<ZoomableView>(&window, "canvas_view");
  auto* table = find<QTableWidget>(&window, "table_objects");
  const QPoint from = view->mapFromScene(QPointF(box.x, box.y));
  const QPoint to = view->mapFromScene(QPointF(box.x + box.width, box.y + box.height));
  orvane::ui::dialog_hooks().exec_dialog = [label](QDialog& dialog) {
    auto* combo = dialog.findChild<QComboBox*>();
    if (combo == nullptr) fail("the label dialog has no class field");
    combo->setCurrentText(label);
    return int(QDialog::Accepted);
  };
  const int rows = table->rowCount();
  QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
  QTest::mouseMove(view->viewport(), to);
  QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, to);
  if (table->rowCount() != rows + 1) fail("a drag made no shape");
}

int video_tour(const QString& work, const QString& shots, const QString& weights) {
  QDir(work).removeRecursively();
  QDir().mkpath(work);
  QDir().mkpath(shots);
  const auto truth = write_video(work + "/yard.avi", 40);
  install_dialog_hooks();
  OrvaneStudio window;
  auto* tabs = show_studio(window);

  // Open Video…: the chooser gets the video, the frames dialog keeps its defaults.
  show_tab(tabs, 3);
  orvane::ui::dialog_hooks().open_file_name = [&](const QString&, const QString&) { return work + "/yard.avi"; };
  orvane::ui::dialog_hooks().exec_dialog = [](QDialog&) { return int(QDialog::Accepted); };
  QTest::mouseClick(find<QPushButton>(&window, "btn_open_video"), Qt::LeftButton);
  auto* images = find<QListWidget>(&window, "list_images");
  wait_until([&] { return images->count() == 40; }, 60000, "the frames of the video");
  QTest::qWait(300);

  // Frame 1: the three objects boxed by hand.
  find<QComboBox>(&window, "combo_mode")->setCurrentText("Rectangle");
  QTest::qWait(100);
  drag_box(window, truth[0][0], "crate");
  drag_box(window, truth[0][1], "crate");
  drag_box(window, truth[0][2], "ball");
  save_shot(&window, shots + "/video_1_labelled.png");

  // Propagate ten frames.
  find<QSpinBox>(&window, "spin_propagate_frames")->setValue(10);
  QTest::mouseClick(find<QPushButton>(&window, "btn_propagate"), Qt::LeftButton);
  if (images->currentRow() != 10) fail("propagation ended on row " + QString::number(images->currentRow()));
  save_shot(&window, shots + "/video.png");

  // Fix one: the ball's box on frame 11 dragged 6 px right (it becomes an ordinary shape).
  find<QComboBox>(&window, "combo_mode")->setCurrentText("Select/Move");
  auto* view = find<ZoomableView>(&window, "canvas_view");
  const cv::Rect ball = truth[10][2];
  const QPoint grip = view->mapFromScene(QPointF(ball.x + ball.width / 2.0, ball.y + ball.height / 2.0));
  const QPoint moved = view->mapFromScene(QPointF(ball.x + ball.width / 2.0 + 6, ball.y + ball.height / 2.0));
  QTest::mousePress(view->viewport(), Qt::LeftButton, {}, grip);
  QTest::mouseMove(view->viewport(), moved);
  QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, moved);
  QTest::qWait(200);
  save_shot(&window, shots + "/video_2_fixed.png");

  // Keyframe at frame 21, then interpolate frames 12-20 from frames 11 and 21.
  images->setCurrentRow(20);
  QTest::qWait(200);
  find<QComboBox>(&window, "combo_mode")->setCurrentText("Rectangle");
  drag_box(window, truth[20][0], "crate");
  drag_box(window, truth[20][1], "crate");
  drag_box(window, truth[20][2], "ball");
  QTest::mouseClick(find<QPushButton>(&window, "btn_interpolate"), Qt::LeftButton);
  images->setCurrentRow(15);
  QTest::qWait(200);
  save_shot(&window, shots + "/video_3_interpolated.png");

  // Export & Split with the dialog's defaults.
  orvane::ui::dialog_hooks().exec_dialog = [](QDialog&) { return int(QDialog::Accepted); };
  directories.push_back(work + "/set");
  QTest::mouseClick(find<QPushButton>(&window, "Export and split dataset"), Qt::LeftButton);
  if (!QFileInfo::exists(work + "/set/data.yaml")) fail("the export wrote no data.yaml");

  // Inference tab: the shapes checkpoint on the video, with tracks, a few frames on.
  show_tab(tabs, 6);
  set_text(find<QLineEdit>(&window, "entry_inf_weights"), weights);
  orvane::ui::dialog_hooks().open_file_name = [&](const QString&, const QString&) { return work + "/yard.avi"; };
  QTest::mouseClick(find<QPushButton>(&window, "btn_inf_browse_video"), Qt::LeftButton);
  find<QSpinBox>(&window, "spin_inf_imgsz")->setValue(320);
  QTest::mouseClick(find<QPushButton>(&window, "Load model and infer queue"), Qt::LeftButton);
  auto* counter = find<QLabel>(&window, "lbl_inf_counter");
  wait_until([&] { return counter->text().startsWith("Frame 1 /"); }, 60000, "the first frame");
  find<QCheckBox>(&window, "chk_inf_track")->setChecked(true);
  QTest::mouseClick(find<QPushButton>(&window, "btn_inf_play"), Qt::LeftButton);
  wait_until([&] { return counter->text().startsWith("Frame 25 /"); }, 120000, "playing to frame 25");
  QTest::mouseClick(find<QPushButton>(&window, "btn_inf_play"), Qt::LeftButton);
  QTest::qWait(200);
  save_shot(&window, shots + "/video_4_inference.png");
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool walk = argc == 5 && QByteArray(argv[1]) == "walkthrough";
  const bool video = argc == 5 && QByteArray(argv[1]) == "video";
  if (argc != 4 && !walk && !video) {
    std::fprintf(stderr,
                 "usage: studio-tour WORK_DIR OUTPUT_DIR WEIGHTS.pt\n"
                 "       studio-tour walkthrough PHOTOS_DIR SET_DIR SHOTS_DIR\n"
                 "       studio-tour video WORK_DIR SHOTS_DIR WEIGHTS.pt\n");
    return 2;
  }
  QApplication app(argc, argv);
  orvane::engine::use_one_compute_thread();
  // The same font choices as the studio's own start, so the pictures show its layout.
  QFont::insertSubstitutions("Segoe UI", {"Arial", "Liberation Sans"});
  QFont::insertSubstitution("Arial", "Liberation Sans");
  QFont::insertSubstitutions("Consolas", {"Liberation Mono", "DejaVu Sans Mono"});
  auto arg = [&](int i) { return QDir(QString::fromLocal8Bit(argv[i])).absolutePath(); };
  if (walk) return walkthrough(arg(2), arg(3), arg(4));
  if (video) return video_tour(arg(2), arg(3), QFileInfo(QString::fromLocal8Bit(argv[4])).absoluteFilePath());
  return tour(arg(1), arg(2), QFileInfo(QString::fromLocal8Bit(argv[3])).absoluteFilePath());
}
