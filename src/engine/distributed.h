#pragma once
// Data-parallel training over processes and hosts, on LibTorch's own distributed backend: a
// c10d TCPStore for the rendezvous and a ProcessGroupGloo for the collectives. The launch
// conventions are torchrun's, so an operator who knows it knows how to run us:
//
//   RANK         this process's rank, 0 .. WORLD_SIZE-1 (rank 0 hosts the rendezvous)
//   WORLD_SIZE   number of processes in the run
//   LOCAL_RANK   rank among the processes of this host (informational on a CPU)
//   MASTER_ADDR  host of rank 0 (default 127.0.0.1)
//   MASTER_PORT  TCP port of the rendezvous on MASTER_ADDR (default 29500)
//   GLOO_SOCKET_IFNAME  optional: the network interface the collectives use
//
// Every rank builds the same model, trains on its own shard of each epoch and averages the
// gradients of the group before each optimizer step, so every rank holds the same weights.
//
// Faults: every wait on the group is bounded. A rank that dies, hangs or never reaches the
// rendezvous makes each other rank throw one EngineError line naming it, within the timeout
// (the collectives' timeout, or sooner when the peer's connection closes).

#include <torch/torch.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane::engine {

// The environment of one rank, as torchrun sets it.
struct DistributedEnv {
  int rank = 0;
  int world_size = 1;
  int local_rank = 0;
  std::string master_addr = "127.0.0.1";
  int master_port = 29500;
};

// Reads RANK, WORLD_SIZE, LOCAL_RANK, MASTER_ADDR, MASTER_PORT through `lookup` (getenv by
// default). nullopt when neither RANK nor WORLD_SIZE is set: a single-process run. Throws
// EngineError for a value that does not parse, a rank outside 0..WORLD_SIZE-1, or one of RANK /
// WORLD_SIZE without the other.
std::optional<DistributedEnv> distributed_env_from_environment(
    const std::function<const char*(const char*)>& lookup = {});

// One rank's membership of the group. Construction is the rendezvous: it returns once every
// rank has joined, or throws EngineError naming the ranks that did not join within `timeout`
// (or, on a rank other than 0, that rank 0's rendezvous could not be reached).
// Not copyable; one per rank; the calls below are collective unless said otherwise, and every
// rank must make the same collective calls in the same order.
class DistributedGroup {
 public:
  DistributedGroup(const DistributedEnv& env, std::chrono::milliseconds timeout);
  ~DistributedGroup();
  DistributedGroup(const DistributedGroup&) = delete;
  DistributedGroup& operator=(const DistributedGroup&) = delete;

  int rank() const;
  int world_size() const;
  bool is_main() const { return rank() == 0; }
  std::chrono::milliseconds timeout() const;

  // Copies `root`'s tensors into every rank's (same shapes and dtypes on every rank). The
  // tensors are flattened into one buffer per dtype, so a model's weights cost one collective.
  void broadcast(const std::vector<torch::Tensor>& tensors, int root = 0);
  // True on every rank when `flag` is true on any rank.
  bool any(bool flag);
  // Every rank waits until all have arrived.
  void barrier();

  // Not collective: `publish` stores a value under a key of the rendezvous; `await` waits for
  // a key that `from_rank` publishes, for as long as that rank is alive (its heartbeat moves),
  // so a long validation on rank 0 is no timeout while a dead rank 0 is one.
  void publish(const std::string& key, const std::string& value);
  std::string await(const std::string& key, int from_rank = 0);

  // The one-line error for a failure of the group during `what`: names the rank that stopped
  // answering (or that reported its own failure) when it can be told. Used by GradientSync.
  [[noreturn]] void fail(const std::string& what, const std::exception& cause);
  // Tells the other ranks (best effort) why this rank is leaving, so their error names it.
  void report_failure(const std::string& message);

  // Collectives started by count (heartbeats carry it, so a hung rank shows as the one behind).
  std::int64_t collectives() const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

struct GradientSyncOptions {
  // true: buckets of gradients are all-reduced while the backward pass still computes the
  // earlier layers (hooks on the parameters' gradient accumulators); false: one flat
  // all-reduce after the backward pass.
  bool overlap = true;
  std::size_t bucket_bytes = std::size_t{4} << 20;  // bucket size cap
};

// Averages the gradients of `params` over the group, as DistributedDataParallel does.
// Usage for each optimizer step (micro-batches before it accumulate locally, no traffic):
//   sync.arm();  loss.backward();  if (sync.finish(local_skip)) skip the step;
// Requires: `params` are the same leaf tensors, in the same order, on every rank.
// Guarantees: after finish() every rank's param.grad() is the mean over the ranks (a rank whose
// gradient is undefined contributes zeros); the buckets are launched in the same order on every
// rank whatever order the backward pass fills them in.
class GradientSync {
 public:
  GradientSync(DistributedGroup& group, std::vector<torch::Tensor> params,
               GradientSyncOptions options = {});
  ~GradientSync();
  GradientSync(const GradientSync&) = delete;
  GradientSync& operator=(const GradientSync&) = delete;

  // The next backward pass is the last before an optimizer step: its hooks start the buckets.
  void arm();
  // Starts what the backward pass did not, waits for all of it and averages. `skip` (this rank's
  // loss was not finite: it ran no backward) is or-ed over the group; true means every rank
  // should drop this step. Throws EngineError (via DistributedGroup::fail) when the group fails.
  bool finish(bool skip = false);

  std::size_t buckets() const;
  std::int64_t bytes_per_step() const;  // gradient bytes all-reduced per optimizer step
  // Seconds spent in finish() (waiting for the all-reduce after the backward pass), summed.
  double wait_seconds() const;

  struct State;

 private:
  std::shared_ptr<State> s_;
};

}  // namespace orvane::engine
