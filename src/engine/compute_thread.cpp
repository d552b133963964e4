#include "engine/compute_thread.h"

#include <omp.h>
#include <ATen/Parallel.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace orvane::engine {

void use_one_compute_thread() {
  // LibTorch sets a thread's OpenMP thread count lazily, on its first operation there, to the
  // process-wide count: let that happen now so it cannot undo the setting below later.
  (void)at::get_num_threads();
  omp_set_num_threads(1);
}

namespace {

class ComputeThread {
 public:
  ComputeThread() : thread_([this] { loop(); }) {}

  bool is_current() const { return std::this_thread::get_id() == thread_.get_id(); }

  void run(std::function<void()> job) {
    std::promise<void> done;
    auto finished = done.get_future();
    {
      std::lock_guard lock(mutex_);
      queue_.emplace_back([&job, &done] {
        job();  // packaged_task: exceptions stay in its own future
        done.set_value();
      });
    }
    wake_.notify_one();
    finished.wait();
  }

 private:
  void loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty(); });
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::thread thread_;  // last: starts once the queue exists
};

// Never destroyed: the thread lives as long as the process, like LibTorch's own pool, and no
// static destructor has to join a thread that may be mid-job at exit.
ComputeThread& compute_thread() {
  static ComputeThread* instance = new ComputeThread;
  return *instance;
}

}  // namespace

bool on_compute_thread() { return compute_thread().is_current(); }

void run_on_compute_thread_impl(std::function<void()> job) { compute_thread().run(std::move(job)); }

}  // namespace orvane::engine
