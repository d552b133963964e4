#include "engine/distributed.h"

// The Gloo process group is compiled into Debian's LibTorch; its header is guarded by this.
#define USE_C10D_GLOO 1
#include <torch/csrc/autograd/function_hook.h>
#include <torch/csrc/autograd/variable.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <torch/csrc/distributed/c10d/ProcessGroupGloo.hpp>
#include <torch/csrc/distributed/c10d/TCPStore.hpp>

#include "engine/error.h"

namespace orvane::engine {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Heartbeats let a rank tell a dead peer (its beat stops) from a slow one (it keeps beating).
constexpr milliseconds kHeartbeatInterval{200};
// How long a failing rank watches the heartbeats before it names the peer that stopped.
constexpr milliseconds kDiagnoseWindow{1000};
constexpr const char* kPrefix = "orvane/";

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

// LibTorch and Gloo messages carry a source location in brackets and a backtrace after the
// first line; the operator gets the sentence.
std::string first_line(std::string message) {
  message = message.substr(0, message.find('\n'));
  while (!message.empty() && message[0] == '[') {
    const auto close = message.find("] ");
    if (close == std::string::npos) break;
    message = message.substr(close + 2);
  }
  return message;
}

std::string seconds_text(milliseconds t) {
  const double s = double(t.count()) / 1000.0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", s);
  return buf;
}

int parse_int(const char* name, const char* value) {
  int out = 0;
  const std::string s(value);
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty())
    throw EngineError(std::string(name) + " must be a whole number, not '" + s + "'");
  return out;
}

bool is_loopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

std::optional<DistributedEnv> distributed_env_from_environment(
    const std::function<const char*(const char*)>& lookup) {
  auto get = [&](const char* name) -> const char* {
    const char* v = lookup ? lookup(name) : std::getenv(name);
    return v && *v ? v : nullptr;
  };
  const char* rank = get("RANK");
  const char* world = get("WORLD_SIZE");
  if (!rank && !world) return std::nullopt;
  if (!rank || !world)
    throw EngineError(std::string("distributed training needs both RANK and WORLD_SIZE; only ") +
                      (rank ? "RANK" : "WORLD_SIZE") + " is set");
  DistributedEnv env;
  env.rank = parse_int("RANK", rank);
  env.world_size = parse_int("WORLD_SIZE", world);
  if (env.world_size < 1) throw EngineError("WORLD_SIZE must be at least 1");
  if (env.rank < 0 || env.rank >= env.world_size)
    throw EngineError("RANK=" + std::to_string(env.rank) + " is outside 0.." +
                      std::to_string(env.world_size - 1) +
                      " (WORLD_SIZE=" + std::to_string(env.world_size) + ")");
  env.local_rank = get("LOCAL_RANK") ? parse_int("LOCAL_RANK", get("LOCAL_RANK")) : env.rank;
  if (const char* addr = get("MASTER_ADDR")) env.master_addr = addr;
  if (const char* port = get("MASTER_PORT")) {
    env.master_port = parse_int("MASTER_PORT", port);
    if (env.master_port < 1 || env.master_port > 65535)
      throw EngineError("MASTER_PORT must be 1..65535, not " + std::string(port));
  }
  return env;
}

// ---------------------------------------------------------------------------------------------

struct DistributedGroup::Impl {
  DistributedEnv env;
  milliseconds timeout{60000};
  c10::intrusive_ptr<c10d::TCPStore> store;
  c10::intrusive_ptr<c10d::ProcessGroupGloo> pg;
  std::atomic<std::int64_t> collectives{0};

  std::thread heartbeat;
  std::mutex mutex;
  std::condition_variable cv;
  bool quit = false;

  std::string where() const { return env.master_addr + ":" + std::to_string(env.master_port); }
  std::string key(const std::string& k) const { return kPrefix + k; }

  c10::intrusive_ptr<c10d::TCPStore> connect(bool server) const {
    c10d::TCPStoreOptions o;
    o.port = static_cast<std::uint16_t>(env.master_port);
    o.isServer = server;
    o.waitWorkers = false;  // we wait ourselves, to name the ranks that did not come
    o.timeout = timeout;
    return c10::make_intrusive<c10d::TCPStore>(env.master_addr, o);
  }

  void start_heartbeat() {
    auto client = connect(false);
    heartbeat = std::thread([this, client] {
      std::int64_t beat = 0;
      std::unique_lock lock(mutex);
      while (!quit) {
        lock.unlock();
        try {
          client->set(key("hb/" + std::to_string(env.rank)),
                      bytes(std::to_string(++beat) + ":" + std::to_string(collectives.load())));
        } catch (const std::exception&) {
          return;  // the rendezvous is gone; the main thread finds out on its next wait
        }
        lock.lock();
        cv.wait_for(lock, kHeartbeatInterval, [&] { return quit; });
      }
    });
  }

  void stop_heartbeat() {
    {
      std::lock_guard lock(mutex);
      quit = true;
    }
    cv.notify_all();
    if (heartbeat.joinable()) heartbeat.join();
  }

  // (beat, collectives) of `rank`; nullopt before its first beat. Throws when the store is gone.
  std::optional<std::pair<std::int64_t, std::int64_t>> beat_of(int rank) {
    const auto k = key("hb/" + std::to_string(rank));
    if (!store->check({k})) return std::nullopt;
    const auto v = text(store->get(k));
    const auto colon = v.find(':');
    return std::pair{std::strtoll(v.c_str(), nullptr, 10),
                     std::strtoll(v.c_str() + colon + 1, nullptr, 10)};
  }

  // Who is to blame for a failed wait: a rank that said why it left, a rank whose heartbeat
  // stopped, a rank that fell behind in the collectives, or the rendezvous host.
  std::string culprit() {
    try {
      for (int r = 0; r < env.world_size; ++r) {
        if (r == env.rank) continue;
        const auto k = key("failed/" + std::to_string(r));
        if (store->check({k}))
          return "rank " + std::to_string(r) + " failed: " + text(store->get(k));
      }
      std::map<int, std::optional<std::pair<std::int64_t, std::int64_t>>> before, after;
      for (int r = 0; r < env.world_size; ++r)
        if (r != env.rank) before[r] = beat_of(r);
      std::this_thread::sleep_for(kDiagnoseWindow);
      for (int r = 0; r < env.world_size; ++r)
        if (r != env.rank) after[r] = beat_of(r);
      std::vector<int> dead, behind;
      for (const auto& [r, b] : before) {
        if (!after[r] || (b && b->first == after[r]->first))
          dead.push_back(r);
        else if (after[r]->second < collectives.load())
          behind.push_back(r);
      }
      auto list = [](const std::vector<int>& ranks) {
        std::string s = ranks.size() > 1 ? "ranks " : "rank ";
        for (size_t i = 0; i < ranks.size(); ++i) s += (i ? ", " : "") + std::to_string(ranks[i]);
        return s;
      };
      if (!dead.empty()) return list(dead) + " stopped answering";
      if (!behind.empty()) return list(behind) + " fell behind (alive, but not in the collective)";
      return "another rank failed";
    } catch (const std::exception&) {
      if (env.rank == 0) return "the rendezvous failed";
      return "rank 0 (the rendezvous host " + where() + ") stopped answering";
    }
  }

  void wait(const c10::intrusive_ptr<c10d::Work>& work, const std::string& what,
            DistributedGroup& group) {
    try {
      work->wait();
    } catch (const std::exception& e) {
      group.fail(what, e);
    }
  }
};

DistributedGroup::DistributedGroup(const DistributedEnv& env, milliseconds timeout)
    : impl_(std::make_unique<Impl>()) {
  auto& d = *impl_;
  d.env = env;
  d.timeout = timeout;
  const std::string me = "rank " + std::to_string(env.rank);
  try {
    d.store = d.connect(env.rank == 0);
  } catch (const std::exception& e) {
    if (env.rank == 0)
      throw EngineError(me + " cannot open the rendezvous on port " +
                        std::to_string(env.master_port) + ": " + first_line(e.what()));
    throw EngineError(me + " could not reach the rendezvous at " + d.where() + " within " +
                      seconds_text(timeout) + " (is rank 0 running?): " + first_line(e.what()));
  }
  // Every rank announces itself, then waits for all the others until the timeout.
  try {
    d.store->set(d.key("joined/" + std::to_string(env.rank)), bytes("1"));
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      std::vector<int> missing;
      for (int r = 0; r < env.world_size; ++r)
        if (!d.store->check({d.key("joined/" + std::to_string(r))})) missing.push_back(r);
      if (missing.empty()) break;
      if (Clock::now() >= deadline) {
        std::string names;
        for (size_t i = 0; i < missing.size(); ++i)
          names += (i ? ", " : "") + std::to_string(missing[i]);
        throw EngineError("rendezvous at " + d.where() + ": rank" +
                          (missing.size() > 1 ? "s " : " ") + names + " did not join within " +
                          seconds_text(timeout) + " (WORLD_SIZE=" + std::to_string(env.world_size) +
                          ")");
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
  } catch (const EngineError&) {
    throw;
  } catch (const std::exception& e) {
    throw EngineError(
        me + ": the rendezvous at " + d.where() +
        " went away while the ranks joined (rank 0 stopped?): " + first_line(e.what()));
  }
  try {
    d.start_heartbeat();
    // A failed collective is followed by kDiagnoseWindow of watching heartbeats: the two
    // together stay within the timeout the operator gave.
    const auto collective_timeout =
        timeout > 3 * kDiagnoseWindow ? timeout - 2 * kDiagnoseWindow : timeout / 2;
    auto options = c10d::ProcessGroupGloo::Options::create(collective_timeout);
    if (const char* ifname = std::getenv("GLOO_SOCKET_IFNAME"); ifname && *ifname)
      options->devices.push_back(c10d::ProcessGroupGloo::createDeviceForInterface(ifname));
    else if (is_loopback(env.master_addr))
      options->devices.push_back(c10d::ProcessGroupGloo::createDeviceForHostname("127.0.0.1"));
    else
      options->devices.push_back(c10d::ProcessGroupGloo::createDefaultDevice());
    d.pg = c10::make_intrusive<c10d::ProcessGroupGloo>(d.store, env.rank, env.world_size, options);
  } catch (const EngineError&) {
    d.stop_heartbeat();
    throw;
  } catch (const std::exception& e) {
    d.stop_heartbeat();
    throw EngineError(me + " could not connect to the other ranks: " + first_line(e.what()));
  }
}

DistributedGroup::~DistributedGroup() {
  impl_->stop_heartbeat();
  impl_->pg.reset();
  impl_->store.reset();
}

int DistributedGroup::rank() const { return impl_->env.rank; }
int DistributedGroup::world_size() const { return impl_->env.world_size; }
milliseconds DistributedGroup::timeout() const { return impl_->timeout; }
std::int64_t DistributedGroup::collectives() const { return impl_->collectives.load(); }

void DistributedGroup::broadcast(const std::vector<torch::Tensor>& tensors, int root) {
  torch::NoGradGuard no_grad;
  std::map<int, std::vector<torch::Tensor>> by_type;
  for (const auto& t : tensors) by_type[int(t.scalar_type())].push_back(t);
  for (auto& [type, group] : by_type) {
    std::vector<torch::Tensor> flat_parts;
    for (const auto& t : group) flat_parts.push_back(t.detach().reshape(-1));
    std::vector<at::Tensor> flat{torch::cat(flat_parts)};
    c10d::BroadcastOptions o;
    o.rootRank = root;
    ++impl_->collectives;
    impl_->wait(impl_->pg->broadcast(flat, o), "the weight broadcast", *this);
    int64_t offset = 0;
    for (auto& t : group) {
      const int64_t n = t.numel();
      t.detach().copy_(flat[0].narrow(0, offset, n).view(t.sizes()));
      offset += n;
    }
  }
}

bool DistributedGroup::any(bool flag) {
  std::vector<at::Tensor> t{torch::full({1}, flag ? 1.0f : 0.0f)};
  c10d::AllreduceOptions o;
  o.reduceOp = c10d::ReduceOp::MAX;
  ++impl_->collectives;
  impl_->wait(impl_->pg->allreduce(t, o), "the stop check", *this);
  return t[0].item<float>() > 0.0f;
}

void DistributedGroup::barrier() {
  ++impl_->collectives;
  impl_->wait(impl_->pg->barrier(), "the barrier", *this);
}

void DistributedGroup::publish(const std::string& key, const std::string& value) {
  try {
    impl_->store->set(impl_->key("pub/" + key), bytes(value));
  } catch (const std::exception& e) {
    fail("publishing '" + key + "'", e);
  }
}

std::string DistributedGroup::await(const std::string& key, int from_rank) {
  auto& d = *impl_;
  const auto k = d.key("pub/" + key);
  std::int64_t last_beat = -1;
  auto last_change = Clock::now();
  try {
    for (;;) {
      if (d.store->check({k})) return text(d.store->get(k));
      const auto beat = d.beat_of(from_rank);
      if (beat && beat->first != last_beat) {
        last_beat = beat->first;
        last_change = Clock::now();
      } else if (Clock::now() - last_change > d.timeout) {
        throw EngineError("rank " + std::to_string(d.env.rank) + " waited " +
                          seconds_text(d.timeout) + " for rank " + std::to_string(from_rank) +
                          ", which stopped answering");
      }
      const auto failed = d.key("failed/" + std::to_string(from_rank));
      if (d.store->check({failed}))
        throw EngineError("rank " + std::to_string(from_rank) +
                          " failed: " + text(d.store->get(failed)));
      std::this_thread::sleep_for(milliseconds(20));
    }
  } catch (const EngineError&) {
    throw;
  } catch (const std::exception& e) {
    fail("waiting for rank " + std::to_string(from_rank), e);
  }
}

void DistributedGroup::report_failure(const std::string& message) {
  try {
    impl_->store->set(impl_->key("failed/" + std::to_string(rank())), bytes(first_line(message)));
  } catch (const std::exception&) {
    // The rendezvous is gone too: the others find out from their own waits.
  }
}

void DistributedGroup::fail(const std::string& what, const std::exception& cause) {
  const std::string who = impl_->culprit();
  throw EngineError("distributed training: " + who + " (rank " + std::to_string(rank()) + ", " +
                    what + ": " + first_line(cause.what()) + ")");
}

// ---------------------------------------------------------------------------------------------

struct GradientSync::State {
  DistributedGroup* group = nullptr;
  GradientSyncOptions options;
  std::vector<torch::Tensor> params;
  struct Bucket {
    std::vector<std::size_t> members;  // indices into params
    torch::Tensor buffer;              // flat float gradients of the members
    int pending = 0;                   // members whose gradient is not final yet
    bool launched = false;
    c10::intrusive_ptr<c10d::Work> work;
  };
  std::vector<Bucket> buckets;
  std::vector<std::size_t> bucket_of;
  std::size_t next_launch = 0;
  bool armed = false;
  std::vector<std::shared_ptr<torch::autograd::Node>> accumulators;
  std::vector<std::uintptr_t> hook_keys;
  double wait_seconds = 0.0;

  void launch(std::size_t b) {
    Bucket& bucket = buckets[b];
    int64_t offset = 0;
    {
      torch::NoGradGuard no_grad;
      for (std::size_t i : bucket.members) {
        const auto& p = params[i];
        const int64_t n = p.numel();
        auto dst = bucket.buffer.narrow(0, offset, n);
        const auto& g = p.grad();
        if (g.defined())
          dst.copy_(g.reshape(-1));
        else
          dst.zero_();
        offset += n;
      }
    }
    std::vector<at::Tensor> tensors{bucket.buffer};
    group->impl().collectives++;
    bucket.work = group->impl().pg->allreduce(tensors);
    bucket.launched = true;
  }

  // Buckets start strictly in index order on every rank: Gloo matches collectives by the order
  // they are started, and the backward pass may fill buckets in another order on another rank.
  void launch_ready() {
    while (next_launch < buckets.size() && buckets[next_launch].pending == 0) launch(next_launch++);
  }

  void mark_ready(std::size_t index) {
    if (!armed) return;
    Bucket& bucket = buckets[bucket_of[index]];
    if (bucket.pending > 0 && --bucket.pending == 0) launch_ready();
  }
};

namespace {

struct ReadyHook : torch::autograd::FunctionPostHook {
  ReadyHook(std::weak_ptr<GradientSync::State> state, std::size_t index)
      : state(std::move(state)), index(index) {}
  torch::autograd::variable_list operator()(const torch::autograd::variable_list& outputs,
                                            const torch::autograd::variable_list&) override {
    if (auto s = state.lock()) s->mark_ready(index);
    return outputs;
  }
  std::weak_ptr<GradientSync::State> state;
  std::size_t index;
};

}  // namespace

GradientSync::GradientSync(DistributedGroup& group, std::vector<torch::Tensor> params,
                           GradientSyncOptions options)
    : s_(std::make_shared<State>()) {
  s_->group = &group;
  s_->options = options;
  s_->params = std::move(params);
  const std::size_t n = s_->params.size();
  s_->bucket_of.assign(n, 0);
  // Backward produces the last layers' gradients first: buckets follow the parameters in
  // reverse, so the first bucket is complete early and its all-reduce overlaps the rest.
  std::size_t bytes = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = n - 1 - k;
    const auto& p = s_->params[i];
    if (!p.is_floating_point() || p.scalar_type() != torch::kFloat)
      throw EngineError("gradient synchronisation supports float32 parameters only");
    const std::size_t size = std::size_t(p.numel()) * sizeof(float);
    if (s_->buckets.empty() ||
        (options.overlap && bytes > 0 && bytes + size > options.bucket_bytes)) {
      s_->buckets.emplace_back();
      bytes = 0;
    }
    s_->buckets.back().members.push_back(i);
    s_->bucket_of[i] = s_->buckets.size() - 1;
    bytes += size;
  }
  for (auto& b : s_->buckets) {
    int64_t total = 0;
    for (std::size_t i : b.members) total += s_->params[i].numel();
    b.buffer = torch::zeros({total});
    b.pending = int(b.members.size());
  }
  if (options.overlap) {
    for (std::size_t i = 0; i < n; ++i) {
      auto acc = torch::autograd::impl::grad_accumulator(s_->params[i]);
      if (!acc) throw EngineError("gradient synchronisation needs leaf parameters");
      s_->hook_keys.push_back(acc->add_post_hook(std::make_unique<ReadyHook>(s_, i)));
      s_->accumulators.push_back(std::move(acc));
    }
  }
}

GradientSync::~GradientSync() {
  for (std::size_t i = 0; i < s_->accumulators.size(); ++i)
    s_->accumulators[i]->del_post_hook(s_->hook_keys[i]);
}

void GradientSync::arm() {
  s_->armed = s_->options.overlap;
  s_->next_launch = 0;
  for (auto& b : s_->buckets) {
    b.pending = int(b.members.size());
    b.launched = false;
    b.work.reset();
  }
}

bool GradientSync::finish(bool skip) {
  auto& s = *s_;
  const auto t0 = Clock::now();
  s.armed = false;
  // What the backward pass did not start (no overlap, an unused parameter, a skipped batch).
  while (s.next_launch < s.buckets.size()) s.launch(s.next_launch++);
  std::vector<at::Tensor> flag{torch::full({1}, skip ? 1.0f : 0.0f)};
  s.group->impl().collectives++;
  auto flag_work = s.group->impl().pg->allreduce(flag);
  for (auto& b : s.buckets) s.group->impl().wait(b.work, "the gradient all-reduce", *s.group);
  s.group->impl().wait(flag_work, "the gradient all-reduce", *s.group);
  const float world = float(s.group->world_size());
  {
    torch::NoGradGuard no_grad;
    for (auto& b : s.buckets) {
      b.buffer.div_(world);
      int64_t offset = 0;
      for (std::size_t i : b.members) {
        auto& p = s.params[i];
        const int64_t n = p.numel();
        auto src = b.buffer.narrow(0, offset, n).view(p.sizes());
        if (p.grad().defined())
          p.mutable_grad().copy_(src);
        else
          p.mutable_grad() = src.clone();
        offset += n;
      }
      b.work.reset();
      b.launched = false;
      b.pending = int(b.members.size());
    }
  }
  s.next_launch = 0;
  s.wait_seconds += std::chrono::duration<double>(Clock::now() - t0).count();
  return flag[0].item<float>() > 0.0f;
}

std::size_t GradientSync::buckets() const { return s_->buckets.size(); }

std::int64_t GradientSync::bytes_per_step() const {
  std::int64_t n = 0;
  for (const auto& b : s_->buckets) n += b.buffer.numel() * int64_t(sizeof(float));
  return n;
}

double GradientSync::wait_seconds() const { return s_->wait_seconds; }

}  // namespace orvane::engine
