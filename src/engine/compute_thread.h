#pragma once
// Which threads may run LibTorch's parallel regions.
//
// LibTorch fans its operations out over OpenMP (libgomp here). libgomp gives every thread that
// enters a parallel region a thread team of its own, and once it manages more threads than there
// are CPUs it stops spinning between regions: the pool sleeps, and each of the hundreds of small
// operations of a training step pays a futex wake-up. One stray team (a loader worker zeroing a
// mask tensor, say) made every later segmentation step twice as slow. So, per process:
//
//   * exactly one thread computes with every core: the thread that trains, or the engine's
//     compute thread behind `YOLO` (run_on_compute_thread);
//   * every other thread that may touch a tensor first calls use_one_compute_thread(), after
//     which its operations run inline and never create a team.

#include <exception>
#include <functional>
#include <future>
#include <type_traits>
#include <utility>

namespace orvane::engine {

// The calling thread's LibTorch operations run on the calling thread alone from now on (the
// OpenMP thread count is a per-thread setting: other threads keep theirs). For loader workers,
// writers, GUI threads.
void use_one_compute_thread();

// True on the process's compute thread (see run_on_compute_thread).
bool on_compute_thread();

// Runs `job` on the process's one compute thread (started on first use, one job at a time in
// the order asked) and returns its result; an exception thrown by the job is rethrown here. On
// the compute thread itself the job runs at once, so jobs may call engine entry points freely.
// A job must not wait for another job: they run one after another.
void run_on_compute_thread_impl(std::function<void()> job);

template <class F>
auto run_on_compute_thread(F&& job) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  if (on_compute_thread()) return job();
  std::packaged_task<R()> task(std::ref(job));
  auto result = task.get_future();
  run_on_compute_thread_impl([&task] { task(); });
  return result.get();
}

}  // namespace orvane::engine
