// Only one thread per process may enter LibTorch's parallel regions: a second OpenMP team makes
// libgomp put every pool to sleep between operations, and training steps run twice as slow. This
// test counts the regions each thread enters through the OpenMP runtime's own entry point, so it
// fails on any stray thread however fast the machine is.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <map>
#include <mutex>
#include <thread>

#include "engine/compute_thread.h"
#include "engine/shapes_data.h"
#include "engine/yolo.h"

namespace {

std::mutex entered_mutex;
std::map<std::thread::id, long> entered;  // thread -> parallel regions it started

std::map<std::thread::id, long> entered_so_far() {
  std::lock_guard lock(entered_mutex);
  return entered;
}

}  // namespace

// This executable's definition takes precedence over libgomp's for LibTorch and oneDNN (the
// target exports it), and forwards to the real one.
extern "C" void GOMP_parallel(void (*fn)(void*), void* data, unsigned num_threads,
                              unsigned flags) {
  using Real = void (*)(void (*)(void*), void*, unsigned, unsigned);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "GOMP_parallel"));
  {
    std::lock_guard lock(entered_mutex);
    ++entered[std::this_thread::get_id()];
  }
  real(fn, data, num_threads, flags);
}

namespace orvane::engine {

TEST(ComputeThread, TrainingValidationAndPredictionFanOutOnOneThreadOnly) {
  // As the studio's window thread does: whatever tensors it touches stay on it.
  use_one_compute_thread();
  const fs::path root = fs::temp_directory_path() / "orvane_compute_thread_test";
  // Segmentation at 160 px with mosaic gives batches of many masks: large tensors, the kind a
  // loader worker once zero-filled with a team of its own.
  const fs::path data = make_dataset(root / "data", /*polygons=*/true, 16, 160);

  YOLO model("yolov8n-seg.yaml");
  TrainOptions o;
  o.data = data.string();
  o.epochs = 2;
  o.imgsz = 160;
  o.batch = 8;
  o.workers = 2;
  o.threads = 2;
  o.close_mosaic = 0;
  o.warmup_epochs = 0;
  o.project = (root / "runs").string();
  o.name = "train";
  o.exist_ok = true;
  o.plots = false;
  o.seed = 1;
  model.train(o);  // validates after each epoch: the validation loader's workers run too
  ValArgs v;
  v.data = data.string();
  v.imgsz = 160;
  v.workers = 2;
  v.threads = 2;
  v.plots = false;
  model.val(v);
  const std::string image = (root / "data" / "images" / "train" / "img0.png").string();
  model.predict(image, {.imgsz = 160, .slice = {}});
  std::thread other([&] { model.predict(image, {.imgsz = 160, .slice = {}}); });  // as a worker thread would
  other.join();

  const std::thread::id compute = run_on_compute_thread([] { return std::this_thread::get_id(); });
  const auto seen = entered_so_far();
  ASSERT_TRUE(seen.count(compute)) << "the compute thread never fanned out: is the hook live?";
  EXPECT_GT(seen.at(compute), 100);
  EXPECT_EQ(seen.size(), 1u) << "a thread other than the compute thread started parallel "
                                "regions";

  // The hook sees a stray thread: a fresh thread with LibTorch's default thread count fans out.
  std::thread stray([] {
    torch::set_num_threads(2);
    torch::Tensor t = torch::ones({1 << 22});
    t.mul_(3);
  });
  stray.join();
  EXPECT_EQ(entered_so_far().size(), 2u);
  fs::remove_all(root);
}

}  // namespace orvane::engine
