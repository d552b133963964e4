// Engine timings beside the machine's measured matrix-multiply peak:
//   engine_bench gemm               GFLOP/s of a large float GEMM (the physical reference)
//   engine_bench step  [batch imgsz detect|segment]  one yolov8n(-seg) and one yolo11n(-seg)
//                                    training step (forward, loss, backward) and the share of
//                                    yolo11n's attention block; ORVANE_FAMILY=yolov8|yolo11 runs
//                                    one; ORVANE_CHANNELS_LAST=1 runs it channels-last,
//                                    ORVANE_TRACE=FILE writes an operator trace of 5 steps,
//                                    ORVANE_AMP=1 runs the forward pass in bfloat16 autocast
//                                    (FILE, FILE.yolo11). YOLO11 figures are yolo11n_*
//   engine_bench infer [imgsz]        one yolov8n inference (fused, no NMS), batch 1
//   engine_bench epoch DATA_YAML [epochs imgsz batch]  seconds per epoch (train + val)
//   engine_bench save [n|s|m]         one checkpoint save (weights + AdamW state) and its parts
// Each timing is the best of several runs after a warm-up (the machine is shared). Threads: all
// cores, or ORVANE_THREADS. run.sh runs the same work in PyTorch and prints the ratios.

#include <torch/csrc/autograd/profiler_legacy.h>
#include <torch/torch.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/checkpoint.h"
#include "engine/data/batch.h"
#include "engine/logger.h"
#include "engine/loss.h"
#include "engine/model.h"
#include "engine/precision.h"
#include "engine/trainer.h"
#include "engine/yolo.h"
#include "engine/yolo11.h"

using namespace orvane::engine;

namespace {

// The machine is shared: the best of several runs is the figure least disturbed by others.
double best_seconds(int warmup, int runs, const std::function<void()>& fn) {
  for (int i = 0; i < warmup; ++i) fn();
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

// GEMM through the BLAS LibTorch links (Debian: the reference BLAS) and through oneDNN as a 1x1
// convolution (M = 64x64 pixels, N = K = 512): the second is the machine's practical peak.
void gemm_peak() {
  const int64_t n = 1024;
  auto a = torch::rand({n, n}), b = torch::rand({n, n});
  const double s = best_seconds(1, 5, [&] { auto c = torch::mm(a, b); });
  std::printf("gemm_blas_gflops %.1f\n", 2.0 * n * n * n / s / 1e9);
  torch::NoGradGuard no_grad;
  auto x = torch::rand({1, 512, 64, 64}), w = torch::rand({512, 512, 1, 1});
  const double c = best_seconds(2, 9, [&] { auto y = torch::conv2d(x, w); });
  std::printf("gemm_onednn_gflops %.1f\n", 2.0 * 64 * 64 * 512 * 512 / c / 1e9);
}

// A batch of random images with three boxes (and masks) per image.
Batch make_batch(int batch, int imgsz, bool masks) {
  Batch b;
  b.images = torch::rand({batch, 3, imgsz, imgsz});
  std::vector<int64_t> idx;
  for (int i = 0; i < batch; ++i)
    for (int k = 0; k < 3; ++k) idx.push_back(i);
  const auto n = int64_t(idx.size());
  b.batch_idx = torch::tensor(idx, torch::kLong);
  b.cls = torch::randint(0, 2, {n}, torch::kLong);
  b.bboxes = torch::cat({torch::rand({n, 2}) * 0.6 + 0.2, torch::rand({n, 2}) * 0.2 + 0.1}, 1);
  if (masks) b.masks = (torch::rand({n, imgsz / 4, imgsz / 4}) > 0.5).to(torch::kFloat);
  return b;
}

// One training step of `arch` (forward, loss, backward): prints its time, parts and throughput
// and returns the best time.
double train_step(const ModelSpec& arch, int batch, int imgsz) {
  const bool seg = arch.task == Task::segment;
  torch::manual_seed(0);
  YoloModel model(arch);
  model->train();
  auto b = make_batch(batch, imgsz, seg);
  if (std::getenv("ORVANE_CHANNELS_LAST")) {
    torch::NoGradGuard no_grad;
    for (auto& p : model->parameters())
      if (p.dim() == 4) p.set_data(p.contiguous(torch::MemoryFormat::ChannelsLast));
    b.images = b.images.contiguous(torch::MemoryFormat::ChannelsLast);
  }
  const bool amp = std::getenv("ORVANE_AMP") && std::string(std::getenv("ORVANE_AMP")) == "1";
  const auto forward = [&] {
    AutocastGuard autocast(amp);
    return to_float32(model->forward(b.images));
  };
  double fwd = 0, loss_t = 0, bwd = 0;
  std::chrono::steady_clock::duration best_total{};
  const double s = best_seconds(2, 9, [&] {
    model->zero_grad();
    auto t0 = std::chrono::steady_clock::now();
    auto out = forward();
    auto t1 = std::chrono::steady_clock::now();
    auto loss = compute_loss(model, out, b);
    auto t2 = std::chrono::steady_clock::now();
    loss.total.backward();
    auto t3 = std::chrono::steady_clock::now();
    // Parts of the fastest step.
    if (fwd == 0 || (t3 - t0) < best_total) {
      best_total = t3 - t0;
      fwd = std::chrono::duration<double>(t1 - t0).count();
      loss_t = std::chrono::duration<double>(t2 - t1).count();
      bwd = std::chrono::duration<double>(t3 - t2).count();
    }
  });
  if (const char* trace = std::getenv("ORVANE_TRACE")) {
    // Operator-level times of a few steps as a Chrome trace (bench/engine/ops.py sums them).
    const std::string file = std::string(trace) + (arch.family == Family::yolo11 ? ".yolo11" : "");
    torch::autograd::profiler::RecordProfile guard(file);
    for (int k = 0; k < 5; ++k) {
      model->zero_grad();
      compute_loss(model, forward(), b).total.backward();
    }
  }
  // YOLOv8's keys are the ones run.sh compares with the PyTorch peer.
  const std::string key = arch.family == Family::yolo11 ? "yolo11n_" : "";
  std::printf("%strain_step_s %.4f (forward %.3f, loss %.3f, backward %.3f; batch %d, %d px%s%s)\n",
              key.c_str(), s, fwd, loss_t, bwd, batch, imgsz, seg ? ", segment" : "",
              amp ? ", bfloat16" : "");
  // Forward+backward is about 3x the forward multiply-adds.
  const double gflop = 3.0 * model->info().gflops * batch * (imgsz / 640.0) * (imgsz / 640.0);
  std::printf("%strain_step_gflops_per_s %.1f\n", key.c_str(), gflop / s);
  return s;
}

// YOLO11n's attention block (C2PSA at stride 32) alone, forward and backward on the map a step
// gives it, against the whole step: the attention must stay a small part of it.
void attention_share(int batch, int imgsz, double step_seconds) {
  torch::manual_seed(0);
  const auto f = yolo11::scaling('n');
  const int64_t c = f.channels(1024);
  yolo11::C2PSA block(c, c, f.repeats(2));
  block->train();
  auto x = torch::rand({batch, c, imgsz / 32, imgsz / 32}).set_requires_grad(true);
  const double s = best_seconds(2, 9, [&] {
    block->zero_grad();
    block->forward(x).sum().backward();
  });
  std::printf("yolo11n_attention_s %.4f (C2PSA forward+backward, %.1f %% of the step)\n", s,
              100.0 * s / step_seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "all";
  const char* env = std::getenv("ORVANE_THREADS");
  torch::set_num_threads(env ? std::atoi(env) : default_threads());
  torch::manual_seed(0);
  LOGGER.set_console(mode == "epoch");
  std::printf("threads %d\n", torch::get_num_threads());
  if (mode == "gemm" || mode == "all") gemm_peak();
  if (mode == "step" || mode == "all") {
    const int batch = argc > 2 ? std::atoi(argv[2]) : 8;
    const int imgsz = argc > 3 ? std::atoi(argv[3]) : 320;
    const bool seg = argc > 4 && std::string(argv[4]) == "segment";
    // The two families side by side; ORVANE_FAMILY=yolov8|yolo11 runs one alone.
    const char* only = std::getenv("ORVANE_FAMILY");
    for (Family family : {Family::yolov8, Family::yolo11}) {
      ModelSpec arch{'n', seg ? Task::segment : Task::detect, 80, family};
      if (only && arch.name().rfind(only, 0) != 0) continue;
      const double s = train_step(arch, batch, imgsz);
      if (family == Family::yolo11) attention_share(batch, imgsz, s);
    }
  }
  if (mode == "infer" || mode == "all") {
    const int imgsz = argc > 2 && mode == "infer" ? std::atoi(argv[2]) : 640;
    YoloModel model(ModelSpec{'n', Task::detect, 80});
    model->eval();
    auto fused = clone_model(model);
    fused->fuse();
    auto x = torch::rand({1, 3, imgsz, imgsz});
    torch::InferenceMode guard;
    const bool amp = std::getenv("ORVANE_AMP") && std::string(std::getenv("ORVANE_AMP")) == "1";
    const double s = best_seconds(3, 15, [&] {
      AutocastGuard autocast(amp);
      fused->decode(to_float32(fused->forward(x)));
    });
    std::printf("inference_ms %.2f (%d px, fused)\n", s * 1000, imgsz);
    std::printf("inference_gflops_per_s %.1f\n",
                model->info().gflops * (imgsz / 640.0) * (imgsz / 640.0) / s);
  }
  if (mode == "save") {
    // What writing last.pt costs per epoch: building the archive, serialising it, the file.
    const char scale = argc > 2 ? argv[2][0] : 'n';
    YoloModel model(ModelSpec{scale, Task::detect, 80});
    torch::optim::AdamW opt(model->parameters(), torch::optim::AdamWOptions(1e-3));
    {
      auto b = make_batch(2, 64, false);
      compute_loss(model, model->forward(b.images), b).total.backward();
      opt.step();
    }
    const auto path = std::filesystem::temp_directory_path() / "orvane_bench_last.pt";
    CheckpointMeta meta;
    const double serialise = best_seconds(1, 5, [&] { checkpoint_bytes(model, meta, &opt); });
    const double whole = best_seconds(1, 5, [&] { save_checkpoint(path, model, meta, &opt); });
    const double mb = std::filesystem::file_size(path) / 1e6;
    const double weights_only = best_seconds(1, 5, [&] { save_checkpoint(path, model, meta); });
    // What training waits for now that the file is written on the writer's thread.
    CheckpointWriter writer;
    const double queued =
        best_seconds(1, 5, [&] { writer.write(path, checkpoint_bytes(model, meta, &opt)); });
    writer.wait();
    std::printf(
        "save_s %.3f (serialise %.3f, file %.3f; %.1f MB), weights only %.3f; "
        "training waits %.3f\n",
        whole, serialise, whole - serialise, mb, weights_only, queued);
    std::filesystem::remove(path);
  }
  if (mode == "epoch") {
    if (argc < 3) {
      std::fprintf(stderr, "usage: engine_bench epoch DATA_YAML [epochs imgsz batch]\n");
      return 2;
    }
    TrainOptions o;
    o.data = argv[2];
    o.epochs = argc > 3 ? std::atoi(argv[3]) : 60;
    o.imgsz = argc > 4 ? std::atoi(argv[4]) : 128;
    o.batch = argc > 5 ? std::atoi(argv[5]) : 8;
    o.workers = 2;
    o.project = "/tmp/orvane_engine_bench";
    o.name = "run";
    o.exist_ok = true;
    o.plots = false;
    o.verbose = false;
    YOLO yolo(std::getenv("ORVANE_MODEL") ? std::getenv("ORVANE_MODEL") : "yolov8n.yaml");
    const auto t0 = std::chrono::steady_clock::now();
    auto r = yolo.train(o);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("epoch_s %.3f (%d epochs, total %.1f s)\n", s / o.epochs, o.epochs, s);
    if (r.metrics)
      std::printf("final mAP50 %.3f mAP50-95 %.3f\n", r.metrics->box.map50(), r.metrics->box.map());
  }
  return 0;
}
