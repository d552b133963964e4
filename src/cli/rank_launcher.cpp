#include "cli/rank_launcher.h"

#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>

#include "cli/stop_signals.h"
#include "engine/error.h"

namespace orvane::cli {

namespace {

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

std::string this_program() {
  char self[4096];
  const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) throw engine::EngineError("nproc: cannot find this program to start its ranks");
  return std::string(self, std::size_t(len));
}

// This process's environment with the rank's own variables in place of any inherited ones.
std::vector<std::string> rank_environment(int rank, const LocalRanks& ranks, int port) {
  std::vector<std::string> env{"RANK=" + std::to_string(rank),
                               "LOCAL_RANK=" + std::to_string(rank),
                               "WORLD_SIZE=" + std::to_string(ranks.count),
                               "MASTER_ADDR=127.0.0.1",
                               "MASTER_PORT=" + std::to_string(port),
                               "OMP_NUM_THREADS=" + std::to_string(ranks.threads)};
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const std::string key = kv.substr(0, kv.find('='));
    if (key != "RANK" && key != "LOCAL_RANK" && key != "WORLD_SIZE" && key != "MASTER_ADDR" &&
        key != "MASTER_PORT" && key != "OMP_NUM_THREADS")
      env.push_back(kv);
  }
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// Forks and execs one rank; returns its pid, or -1 with errno set.
pid_t start_rank(const std::string& program, std::vector<std::string> args,
                 std::vector<std::string> env) {
  // Everything the child needs is built before fork: after it only exec-safe calls.
  const std::vector<char*> argv = c_strings(args);
  const std::vector<char*> envp = c_strings(env);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    // Should the launcher die without a word, its ranks stop as if asked to.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for the started ranks, forwarding the launcher's signals and killing stragglers after a
// failure.
class Supervisor {
 public:
  Supervisor(std::vector<pid_t> pids, const LocalRanks& ranks)
      : pids_(std::move(pids)),
        alive_(pids_.size(), true),
        live_(int(pids_.size())),
        grace_(std::chrono::milliseconds(int64_t(ranks.timeout_seconds * 1000)) +
               std::chrono::seconds(15)) {}

  int run() {
    while (live_ > 0) {
      forward_signals();
      kill_stragglers();
      int status = 0;
      const pid_t done = ::waitpid(-1, &status, WNOHANG);
      if (done <= 0) {
        ::usleep(50 * 1000);
        continue;
      }
      reap(done, status);
    }
    return exit_code_;
  }

 private:
  using Clock = std::chrono::steady_clock;

  void signal_live(int sig) {
    for (std::size_t r = 0; r < pids_.size(); ++r)
      if (alive_[r]) ::kill(pids_[r], sig);
  }

  void forward_signals() {
    const int signals = g_launcher_signals.load();
    if (signals <= forwarded_) return;
    signal_live(signals == 1 ? SIGINT : SIGKILL);
    forwarded_ = signals;
  }

  void kill_stragglers() {
    if (!kill_pending_ || Clock::now() < kill_at_) return;
    for (std::size_t r = 0; r < pids_.size(); ++r)
      if (alive_[r]) {
        std::cerr << "orvane train: rank " << r << " did not end after the failure; killed\n";
        ::kill(pids_[r], SIGKILL);
      }
    kill_pending_ = false;
  }

  void reap(pid_t done, int status) {
    for (std::size_t r = 0; r < pids_.size(); ++r) {
      if (pids_[r] != done || !alive_[r]) continue;
      alive_[r] = false;
      --live_;
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (code == 0 || exit_code_ != 0) continue;
      exit_code_ = code;
      if (WIFSIGNALED(status))
        std::cerr << "orvane train: rank " << r << " ended by signal " << WTERMSIG(status) << "\n";
      if (!kill_pending_) {
        kill_at_ = Clock::now() + grace_;
        kill_pending_ = true;
      }
    }
  }

  std::vector<pid_t> pids_;
  std::vector<bool> alive_;
  int live_;
  const Clock::duration grace_;
  int exit_code_ = 0;
  int forwarded_ = 0;
  bool kill_pending_ = false;
  Clock::time_point kill_at_{};
};

}  // namespace

int launch_local_ranks(const std::vector<std::string>& train_words, const LocalRanks& ranks) {
  const int port = free_port();
  const std::string program = this_program();
  std::vector<std::string> args{program, "train"};
  for (const auto& w : train_words)
    if (w.rfind("threads=", 0) != 0) args.push_back(w);
  args.push_back("threads=" + std::to_string(ranks.threads));
  std::cerr << "orvane train: starting " << ranks.count << " ranks on 127.0.0.1:" << port << ", "
            << ranks.threads << (ranks.threads == 1 ? " thread" : " threads") << " each\n";

  g_launcher_signals = 0;
  const SignalGuard guard(on_launcher_signal);
  std::vector<pid_t> pids;
  for (int r = 0; r < ranks.count; ++r) {
    const pid_t pid = start_rank(program, args, rank_environment(r, ranks, port));
    if (pid < 0) {
      const std::string reason = std::strerror(errno);
      for (pid_t p : pids) ::kill(p, SIGKILL);
      for (pid_t p : pids) ::waitpid(p, nullptr, 0);
      throw engine::EngineError("nproc: cannot start rank " + std::to_string(r) + ": " + reason);
    }
    pids.push_back(pid);
  }
  return Supervisor(std::move(pids), ranks).run();
}

}  // namespace orvane::cli
