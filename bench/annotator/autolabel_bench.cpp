// Auto-labelling one 640-px frame, from the button to the shapes on the canvas:
//   - the prediction alone (the model kept loaded and fused, as the tab keeps it);
//   - the whole button: prediction, one command adding every shape, the canvas items and table
//     rows, and the label file written (then undone, so every iteration adds the same shapes).
// The model is ORVANE_BENCH_MODEL (a trained best.pt; a segmentation model shows the slower,
// polygon path), or a fresh yolov8n-seg when unset. The frame is ORVANE_BENCH_IMAGE, or a
// 640 x 480 picture drawn here.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUndoStack>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "annotator/annotator_tab.h"
#include "common/tab_access.h"
#include "annotator/auto_label.h"
#include "engine/yolo.h"
#include "ui/dialogs.h"

using namespace orvane;

namespace {

QString env_or(const char* name, const QString& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? QString::fromUtf8(value) : fallback;
}

struct Fixture {
  QTemporaryDir dir;
  QString image;
  std::shared_ptr<engine::YOLO> model;
  Fixture() {
    image = dir.filePath("frame.jpg");
    const QString source = env_or("ORVANE_BENCH_IMAGE", {});
    cv::Mat frame = source.isEmpty() ? cv::Mat() : cv::imread(source.toStdString());
    if (frame.empty()) {
      frame = cv::Mat(480, 640, CV_8UC3, cv::Scalar(60, 90, 120));
      cv::circle(frame, {200, 240}, 90, cv::Scalar(20, 200, 240), -1);
      cv::rectangle(frame, cv::Rect(380, 120, 160, 220), cv::Scalar(200, 60, 40), -1);
    } else if (frame.cols != 640) {
      cv::resize(frame, frame, cv::Size(640, frame.rows * 640 / frame.cols));
    }
    cv::imwrite(image.toStdString(), frame);
    const QString weights = env_or("ORVANE_BENCH_MODEL", {});
    model = weights.isEmpty() ? std::make_shared<engine::YOLO>("yolov8n-seg.yaml")
                              : load_autolabel_model(weights);
  }
};

Fixture& fixture() {
  static Fixture* f = new Fixture;
  return *f;
}

double conf() { return env_or("ORVANE_BENCH_CONF", "0.25").toDouble(); }

void BM_AutoLabelFramePredict(benchmark::State& state) {
  Fixture& f = fixture();
  auto_label_frame(*f.model, f.image, conf());  // fuses the model once, as the first click does
  int shapes = 0;
  for (auto _ : state) shapes = int(auto_label_frame(*f.model, f.image, conf()).shapes.size());
  state.counters["shapes"] = shapes;
}
BENCHMARK(BM_AutoLabelFramePredict)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_AutoLabelFrameButton(benchmark::State& state) {
  Fixture& f = fixture();
  ui::dialog_hooks().message = [](const ui::Message&) { return QMessageBox::Ok; };
  AnnotatorTab tab;
  tab.resize(1400, 900);
  tab.open_folder(f.dir.path());
  orvane::test::state(tab).ai_model = f.model;
  orvane::test::controls(tab).btn_run_ai->setEnabled(true);
  orvane::test::controls(tab).spin_ai_conf->setValue(conf());
  tab.run_ai_autolabel();
  int shapes = int(orvane::test::state(tab).annotations.size());
  tab.undo();
  for (auto _ : state) {
    tab.run_ai_autolabel();
    QApplication::processEvents();
    state.PauseTiming();
    shapes = int(orvane::test::state(tab).annotations.size());
    tab.undo();
    state.ResumeTiming();
  }
  state.counters["shapes"] = shapes;
}
BENCHMARK(BM_AutoLabelFrameButton)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
