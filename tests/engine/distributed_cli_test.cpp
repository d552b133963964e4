// `orvane train` as ranks of a data-parallel run, in real processes: a rank killed mid-run, and
// the nproc launcher stopped by a signal.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/free_port.h"
#include "engine/checkpoint.h"
#include "engine/shapes_data.h"

namespace orvane::engine {
namespace {

using test::free_port;

using Clock = std::chrono::steady_clock;

fs::path orvane_binary() {
  const char* dir = std::getenv("ORVANE_BIN_DIR");
  return fs::path(dir ? dir : ".") / "orvane";
}

fs::path temp_dir() {
  std::string tmpl = (fs::temp_directory_path() / "orvane_dist_cli_XXXXXX").string();
  return fs::path(::mkdtemp(tmpl.data()));
}

// Starts `orvane train args...` with `env` added, its output in `out`/`err`.
pid_t start(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const fs::path& out, const fs::path& err) {
  std::vector<std::string> argv_text{orvane_binary().string(), "train"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text(env);
  for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string out_s = out.string(), err_s = err.string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen(out_s.c_str(), "w", stdout);
    std::freopen(err_s.c_str(), "w", stderr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for `pid` up to `limit`; its exit code, or -1 if it is still running (then killed).
int wait_for(pid_t pid, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

std::string read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits until `file` contains `text` (a progress event), up to `limit`.
bool wait_for_text(const fs::path& file, const std::string& text, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (read(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::vector<std::string> train_args(const fs::path& dir, int epochs) {
  return {"model=yolov8n.yaml",
          "data=" + (dir / "data" / "data.yaml").string(),
          "epochs=" + std::to_string(epochs),
          "imgsz=64",
          "batch=4",
          "nbs=4",
          "workers=0",
          "optimizer=AdamW",
          "warmup_epochs=0",
          "mosaic=0",
          "close_mosaic=0",
          "plots=false",
          "threads=1",
          "project=" + (dir / "runs").string(),
          "name=train"};
}

TEST(DistributedCliTest, KillingRankOneEndsRankZeroWithinTheTimeoutAndKeepsLastPt) {
  const auto dir = temp_dir();
  make_dataset(dir / "data", false, 16, 64);
  const int port = free_port();
  auto args = train_args(dir, 50);
  args.push_back("dist_timeout=5");
  auto rank0_args = args;
  rank0_args.push_back("progress=" + (dir / "progress.jsonl").string());
  const std::vector<std::string> common{"WORLD_SIZE=2", "MASTER_ADDR=127.0.0.1",
                                        "MASTER_PORT=" + std::to_string(port)};
  auto env0 = common, env1 = common;
  env0.push_back("RANK=0");
  env1.push_back("RANK=1");
  const pid_t rank0 = start(rank0_args, env0, dir / "out0.txt", dir / "err0.txt");
  const pid_t rank1 = start(args, env1, dir / "out1.txt", dir / "err1.txt");
  // After the first finished epoch (last.pt written), rank 1 dies without a word.
  const bool epoch_done =
      wait_for_text(dir / "progress.jsonl", "\"event\": \"epoch\"", std::chrono::seconds(90));
  ::kill(rank1, SIGKILL);
  ::waitpid(rank1, nullptr, 0);
  ASSERT_TRUE(epoch_done) << read(dir / "err0.txt");
  const auto t0 = Clock::now();
  const int code = wait_for(rank0, std::chrono::seconds(30));
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_EQ(code, 1) << read(dir / "err0.txt");
  EXPECT_LT(seconds, 5.0 + 3.0) << "rank 0 ended " << seconds << " s after rank 1 died";
  const std::string err = read(dir / "err0.txt");
  EXPECT_NE(err.find("rank 1"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
  EXPECT_NE(read(dir / "progress.jsonl").find("\"event\": \"error\""), std::string::npos);
  // last.pt of the last finished epoch is whole.
  const auto loaded = load_checkpoint(dir / "runs" / "train" / "weights" / "last.pt");
  EXPECT_GE(loaded.meta.epoch, 0);
  fs::remove_all(dir);
}

TEST(DistributedCliTest, NprocStartsTheRanksAndASignalStopsThemAll) {
  const auto dir = temp_dir();
  make_dataset(dir / "data", false, 16, 64);
  auto args = train_args(dir, 50);
  args.push_back("nproc=2");
  args.push_back("progress=" + (dir / "progress.jsonl").string());
  const pid_t launcher = start(args, {}, dir / "out.txt", dir / "err.txt");
  ASSERT_TRUE(
      wait_for_text(dir / "progress.jsonl", "\"event\": \"batch\"", std::chrono::seconds(90)))
      << read(dir / "err.txt");
  ::kill(launcher, SIGINT);  // as Ctrl+C in a terminal
  const int code = wait_for(launcher, std::chrono::seconds(30));
  EXPECT_EQ(code, 0) << read(dir / "err.txt");
  const std::string progress = read(dir / "progress.jsonl");
  EXPECT_NE(progress.find("\"event\": \"stopped\""), std::string::npos) << progress;
  EXPECT_NE(read(dir / "err.txt").find("starting 2 ranks"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "runs" / "train" / "weights" / "last.pt"));
  // The launcher waited for its ranks: none is left (they would be our grandchildren, now
  // re-parented; look for any process still running with our temporary folder in its command).
  bool orphan = false;
  for (auto& e : fs::directory_iterator("/proc")) {
    const auto cmd = read(e.path() / "cmdline");
    if (cmd.find(dir.string()) != std::string::npos) orphan = true;
  }
  EXPECT_FALSE(orphan);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace orvane::engine
