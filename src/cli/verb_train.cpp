// orvane train: trains a YOLO model headless. Besides the console text it can write machine-
// readable progress as JSON lines (progress=FILE or progress=fd:N) and stops gracefully on
// SIGINT/SIGTERM: the current batch ends, last.pt is saved, the verb exits 0 as "stopped".
//
// Data-parallel: under torchrun's RANK/WORLD_SIZE/MASTER_ADDR/MASTER_PORT the process is one
// rank of a group (engine/distributed.h); with nproc=N it starts N local ranks of itself on a
// free port and waits for them, forwarding a stop and leaving no process behind.

#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "cli/args.h"
#include "cli/progress_channel.h"
#include "cli/verbs.h"
#include "engine/distributed.h"
#include "engine/error.h"
#include "engine/logger.h"
#include "engine/train_args.h"
#include "engine/yolo.h"
#include "plots/plots.h"
#include "training/training_defaults.h"

namespace orvane::cli {

namespace {

constexpr const char* kSummary = "train a YOLO model";

std::atomic<bool> g_stop_requested{false};
std::atomic<int> g_launcher_signals{0};

extern "C" void on_launcher_signal(int) { g_launcher_signals.fetch_add(1); }

// A TCP port nobody listens on now, for the rendezvous of local ranks. Another program could
// take it before rank 0 does; rank 0 then says the port is in use.
int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw engine::EngineError("nproc: no socket for a free port");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw engine::EngineError("nproc: no free local port for the rendezvous");
  }
  const int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

// orvane train ... nproc=N: N ranks of this same program on this host, each with its share of
// the cores. The ranks live in their own process group, so a terminal's Ctrl+C reaches them once,
// through us: the first signal asks them to stop after the batch, a second ends them at once.
// A rank that fails makes the others fail within dist_timeout; whoever is still there after
// that is killed. Returns the exit code of the run: 0, or the first rank's failure.
int launch_local_ranks(const std::vector<std::string>& words, const engine::TrainOptions& options) {
  const int n = options.nproc;
  const int threads =
      options.threads > 0 ? options.threads : std::max(1, engine::default_threads() / n);
  const int port = free_port();
  char self[4096];
  const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) throw engine::EngineError("nproc: cannot find this program to start its ranks");
  self[len] = '\0';

  std::vector<std::string> args{self, "train"};
  for (const auto& w : words)
    if (w.rfind("threads=", 0) != 0) args.push_back(w);
  args.push_back("threads=" + std::to_string(threads));
  std::cerr << "orvane train: starting " << n << " ranks on 127.0.0.1:" << port << ", " << threads
            << (threads == 1 ? " thread" : " threads") << " each\n";

  g_launcher_signals = 0;
  std::signal(SIGINT, on_launcher_signal);
  std::signal(SIGTERM, on_launcher_signal);
  const pid_t parent = ::getpid();
  std::vector<pid_t> pids;
  for (int r = 0; r < n; ++r) {
    // Everything the child needs is built before fork: after it only exec-safe calls.
    std::vector<std::string> env_text{
        "RANK=" + std::to_string(r),           "LOCAL_RANK=" + std::to_string(r),
        "WORLD_SIZE=" + std::to_string(n),     "MASTER_ADDR=127.0.0.1",
        "MASTER_PORT=" + std::to_string(port), "OMP_NUM_THREADS=" + std::to_string(threads)};
    for (char** e = environ; *e; ++e) {
      const std::string kv = *e;
      const std::string key = kv.substr(0, kv.find('='));
      if (key != "RANK" && key != "LOCAL_RANK" && key != "WORLD_SIZE" && key != "MASTER_ADDR" &&
          key != "MASTER_PORT" && key != "OMP_NUM_THREADS")
        env_text.push_back(kv);
    }
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      // Should the launcher die without a word, its ranks stop as if asked to.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(1);
      std::signal(SIGINT, SIG_DFL);
      std::signal(SIGTERM, SIG_DFL);
      ::execve(self, argv.data(), envp.data());
      ::_exit(127);
    }
    if (pid < 0) {
      for (pid_t p : pids) ::kill(p, SIGKILL);
      for (pid_t p : pids) ::waitpid(p, nullptr, 0);
      throw engine::EngineError("nproc: cannot start rank " + std::to_string(r) + ": " +
                                std::strerror(errno));
    }
    pids.push_back(pid);
  }

  using Clock = std::chrono::steady_clock;
  std::vector<bool> alive(n, true);
  int live = n, exit_code = 0, forwarded = 0;
  bool kill_pending = false;
  Clock::time_point kill_at{};
  const auto grace =
      std::chrono::milliseconds(int64_t(options.dist_timeout * 1000)) + std::chrono::seconds(15);
  while (live > 0) {
    const int signals = g_launcher_signals.load();
    if (signals > forwarded) {
      const int sig = signals == 1 ? SIGINT : SIGKILL;
      for (int r = 0; r < n; ++r)
        if (alive[r]) ::kill(pids[r], sig);
      forwarded = signals;
    }
    if (kill_pending && Clock::now() >= kill_at) {
      for (int r = 0; r < n; ++r)
        if (alive[r]) {
          std::cerr << "orvane train: rank " << r << " did not end after the failure; killed\n";
          ::kill(pids[r], SIGKILL);
        }
      kill_pending = false;
    }
    int status = 0;
    const pid_t done = ::waitpid(-1, &status, WNOHANG);
    if (done <= 0) {
      ::usleep(50 * 1000);
      continue;
    }
    for (int r = 0; r < n; ++r) {
      if (pids[r] != done || !alive[r]) continue;
      alive[r] = false;
      --live;
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (code != 0 && exit_code == 0) {
        exit_code = code;
        if (WIFSIGNALED(status))
          std::cerr << "orvane train: rank " << r << " ended by signal " << WTERMSIG(status)
                    << "\n";
        if (!kill_pending) kill_at = Clock::now() + grace, kill_pending = true;
      }
    }
  }
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return exit_code;
}

extern "C" void on_stop_signal(int sig) {
  // First signal: graceful stop after the current batch; a second one ends the process.
  if (g_stop_requested.exchange(true)) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

const std::vector<KeySpec>& train_keys() {
  static const std::vector<KeySpec> keys = [] {
    // The keys people use, with the training tab's defaults, then every other training option
    // with the engine's default.
    const training::TrainingDefaults d = training::kTrainingDefaults;
    std::vector<KeySpec> k{
        {"model", d.model,
         "weights file (ours or the YOLO ecosystem's .pt); a zoo name (yolov8n.pt ... "
         "yolov8x-seg.pt, "
         "yolo11n.pt ... yolo11x-seg.pt): pretrained, downloaded when missing; NAME.yaml: fresh "
         "weights"},
        {"data", d.data, "dataset manifest"},
        {"epochs", default_text(d.epochs), ""},
        {"imgsz", default_text(d.imgsz), "training image size (rounded up to a multiple of 32)"},
        {"batch", default_text(d.batch), "images per batch; -1 chooses 16 on the CPU"},
        {"workers", default_text(d.workers), "data loading threads"},
        {"optimizer", d.optimizer, "SGD | Adam | AdamW | auto"},
        {"lr0", default_text(d.lr0), "initial learning rate"},
        {"lrf", default_text(d.lrf), "final learning rate as a fraction of lr0"},
        {"close_mosaic", default_text(d.close_mosaic), "turn mosaic off for the last N epochs"},
        {"device", d.device, ""},
        {"project", d.project, "parent folder of the run folder"},
        {"name", d.name, "run folder name (name2, name3 ... if it exists)"},
        {"exist_ok", "false", "reuse project/name when it exists"},
        {"seed", "0", "random seed: the same seed repeats a run"},
        {"progress", "", "JSON-lines progress: a file path or fd:N (e.g. fd:3)"},
    };
    std::set<std::string> have;
    for (const auto& s : k) have.insert(s.key);
    for (const auto& [key, value] : engine::train_args_list(engine::TrainOptions{}))
      if (!have.count(key)) k.push_back({key, value, ""});
    return k;
  }();
  return keys;
}

}  // namespace

int run_train(const std::vector<std::string>& words) {
  if (words.size() == 1 && words[0] == "help") {
    std::cout << format_help("train", kSummary, train_keys())
              << "\nProgress lines (progress=): {\"event\": \"start\" | \"batch\" | \"epoch\" | "
                 "\"finished\" | \"stopped\" | \"error\", ...}; see src/engine/README.md.\n"
                 "SIGINT/SIGTERM stop after the current batch (a second signal ends at once).\n";
    return 0;
  }
  const Args args(words, train_keys());
  engine::TrainOptions options;
  for (const auto& key_info : train_keys()) {
    if (key_info.key == "model" || key_info.key == "progress") continue;
    try {
      engine::set_train_arg(options, key_info.key, args.str(key_info.key));
    } catch (const engine::EngineError& e) {
      throw ArgError(e.what());
    }
  }

  std::optional<engine::DistributedEnv> dist_env;
  try {
    dist_env = engine::distributed_env_from_environment();
  } catch (const engine::EngineError& e) {
    throw ArgError(e.what());
  }
  if (options.nproc < 0) throw ArgError("nproc must be 0 or more");
  if (options.dist_timeout <= 0) throw ArgError("dist_timeout must be more than 0 seconds");
  // The ranks a launcher starts carry RANK/WORLD_SIZE and launch nothing themselves.
  if (options.nproc > 1 && !dist_env) return launch_local_ranks(words, options);
  const bool main_rank = !dist_env || dist_env->rank == 0;
  const int rank = dist_env ? dist_env->rank : 0;
  if (!main_rank) {
    // One console for the run: rank 0's. The others say only what goes wrong, marked.
    engine::LOGGER.set_console(false);
    engine::LOGGER.add_handler([rank](const engine::LogRecord& r) {
      if (r.level == engine::LogLevel::warning || r.level == engine::LogLevel::error)
        std::cerr << "[rank " << rank << "] " << r.message << "\n";
    });
  }

  std::unique_ptr<ProgressChannel> channel;
  if (!args.str("progress").empty() && main_rank)
    channel = std::make_unique<ProgressChannel>(args.str("progress"));

  g_stop_requested = false;
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);

  options.render_plots = [](const std::filesystem::path& dir) { plots::render_run_folder(dir); };
  std::shared_ptr<engine::DistributedGroup> group;
  try {
    if (dist_env && dist_env->world_size > 1) {
      group = std::make_shared<engine::DistributedGroup>(
          *dist_env, std::chrono::milliseconds(int64_t(options.dist_timeout * 1000)));
      options.group = group;
    }
    // A zoo file being downloaded shows in the console line and, for the studio's progress bar,
    // on the channel: one update per percent.
    engine::ZooOptions zoo;
    int shown_percent = -1;
    const std::string model_name = args.str("model");
    zoo.progress = [&](const engine::DownloadProgress& p) {
      const int percent = p.total > 0 ? int(100 * p.received / p.total) : int(p.received >> 20);
      if (percent == shown_percent) return !g_stop_requested.load();
      shown_percent = percent;
      engine::LOGGER.progress(model_name + ": " + engine::progress_text(p));
      if (channel)
        channel->write(JsonObject()
                           .add("event", "download")
                           .add("file", model_name)
                           .add("received", double(p.received))
                           .add("total", double(p.total))
                           .add("seconds", p.seconds));
      return !g_stop_requested.load();
    };
    engine::YOLO model(model_name, zoo);
    model.add_callback("on_train_start", [&](engine::Trainer& t) {
      if (channel)
        channel->write(JsonObject()
                           .add("event", "start")
                           .add("save_dir", t.save_dir.string())
                           .add("epochs", t.epochs)
                           .add("batches", t.batches));
    });
    model.add_callback("on_train_batch_end", [&](engine::Trainer& t) {
      if (g_stop_requested) t.stop = true;
      if (channel) {
        JsonObject losses;
        for (size_t i = 0; i < t.tloss.size(); ++i) losses.add(t.loss_names[i], t.tloss[i]);
        channel->write(JsonObject()
                           .add("event", "batch")
                           .add("epoch", t.epoch + 1)
                           .add("epochs", t.epochs)
                           .add("batch", t.batch_index + 1)
                           .add("batches", t.batches)
                           .add_raw("losses", losses.str()));
      }
    });
    model.add_callback("on_fit_epoch_end", [&](engine::Trainer& t) {
      if (g_stop_requested) t.stop = true;
      if (channel) {
        JsonObject metrics;
        for (size_t i = 0; i < t.tloss.size(); ++i)
          metrics.add("train/" + t.loss_names[i], t.tloss[i]);
        for (const auto& [k, v] : t.metrics) metrics.add(k, v);
        for (const auto& [k, v] : t.lr) metrics.add(k, v);
        channel->write(JsonObject()
                           .add("event", "epoch")
                           .add("epoch", t.epoch + 1)
                           .add("epochs", t.epochs)
                           .add("time", t.epoch_time)
                           .add("fitness", t.fitness)
                           .add_raw("metrics", metrics.str()));
      }
    });
    auto result = model.train(options);
    if (result.stopped) {
      std::cerr << "orvane train: stopped; weights saved in "
                << (result.save_dir / "weights").string() << "\n";
      if (channel)
        channel->write(JsonObject()
                           .add("event", "stopped")
                           .add("save_dir", result.save_dir.string())
                           .add("epochs_completed", result.epochs_completed));
    } else if (channel) {
      JsonObject metrics;
      if (result.metrics)
        for (const auto& [k, v] : result.metrics->metrics()) metrics.add(k, v);
      channel->write(JsonObject()
                         .add("event", "finished")
                         .add("save_dir", result.save_dir.string())
                         .add_raw("metrics", metrics.str()));
    }
  } catch (const std::exception& e) {
    std::string message = e.what();
    message = message.substr(0, message.find('\n'));
    if (group) group->report_failure(message);
    const std::string who = "rank " + std::to_string(rank);
    if (dist_env && !main_rank && message.rfind(who, 0) != 0) message = who + ": " + message;
    if (channel) channel->write(JsonObject().add("event", "error").add("message", message));
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    // LibTorch errors carry a backtrace after the first line; the user gets the first line.
    throw std::runtime_error(message);
  }
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return 0;
}

}  // namespace orvane::cli
