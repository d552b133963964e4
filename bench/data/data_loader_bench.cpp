// data_loader_bench DATA.yaml [imgsz=320] [batch=8] [workers=2] [segment=0] [epochs=2]
//
// Times the augmented training loader (mosaic, affine, HSV, flip; masks when segmenting) on the
// caller's thread and on `workers` threads, then one yolov8n training step (forward, loss,
// backward) on the same batches, and prints batches per second beside steps per second. The
// loader keeps up when its batches/s with the workers exceeds the steps/s, since it prepares
// batches while the step runs.

#include <torch/torch.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/data/loader.h"
#include "engine/loss.h"
#include "engine/model.h"

using namespace orvane::engine;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

int arg(int argc, char** argv, int i, int fallback) {
  return argc > i ? std::atoi(argv[i]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(
        stderr,
        "usage: data_loader_bench DATA.yaml [imgsz] [batch] [workers] [segment] [epochs]\n");
    return 2;
  }
  const int imgsz = arg(argc, argv, 2, 320), batch = arg(argc, argv, 3, 8);
  const int workers = arg(argc, argv, 4, 2), segment = arg(argc, argv, 5, 0);
  const int epochs = arg(argc, argv, 6, 2);
  torch::set_num_threads(static_cast<int>(std::thread::hardware_concurrency()));
  const DataConfig cfg = load_data_config(argv[1]);
  LoaderOptions opt;
  opt.imgsz = imgsz;
  opt.batch = batch;
  opt.augment = true;
  opt.shuffle = true;
  opt.segment = segment != 0;

  double rate[2] = {0, 0};
  for (int pass = 0; pass < 2; ++pass) {
    opt.workers = pass == 0 ? 0 : workers;
    auto loader = build_loader(cfg, "train", opt);
    int batches = 0;
    const auto t0 = Clock::now();
    for (int e = 0; e < epochs; ++e) {
      loader->begin_epoch(e);
      while (loader->next()) ++batches;
    }
    rate[pass] = batches / seconds_since(t0);
    std::printf("loader, %d worker(s): %.1f batches/s (%d batches of %d at %d px)\n", opt.workers,
                rate[pass], batches, batch, imgsz);
  }

  // The model's side: a few training steps on real batches.
  opt.workers = workers;
  auto loader = build_loader(cfg, "train", opt);
  YoloModel model(ModelSpec{'n', segment ? Task::segment : Task::detect, cfg.nc()}, cfg.names);
  model->train();
  loader->begin_epoch(0);
  std::vector<Batch> batches;
  while (batches.size() < 4) {
    auto b = loader->next();
    if (!b) break;
    batches.push_back(*b);
  }
  double step_time = 0;
  int steps = 0;
  for (int k = 0; k < 5; ++k) {
    const Batch& b = batches[k % batches.size()];
    const auto t0 = Clock::now();
    ModelOutput out = model->forward(b.images);
    LossResult loss = compute_loss(model, out, b);
    loss.total.backward();
    model->zero_grad();
    if (k > 0) step_time += seconds_since(t0), ++steps;  // the first step warms up
  }
  const double step_rate = steps / step_time;
  std::printf("training step (yolov8n%s): %.1f steps/s (%.0f ms)\n", segment ? "-seg" : "",
              step_rate, 1000 / step_rate);
  std::printf("loader headroom with %d workers: %.1fx the step rate\n", workers,
              rate[1] / step_rate);
  return 0;
}
