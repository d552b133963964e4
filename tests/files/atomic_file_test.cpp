#include "files/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;
using orvane::files::WriteError;

// The reason a write failed, or "" when it succeeded.
template <class Write>
std::string failure_of(Write write) {
  try {
    write();
  } catch (const WriteError& e) {
    return e.what();
  }
  return {};
}
std::string write_atomically(const fs::path& path, std::string_view data) {
  return failure_of([&] { orvane::files::write_atomically(path, data); });
}
std::string write_atomically_with(const fs::path& path,
                                  const std::function<void(const fs::path&)>& produce) {
  return failure_of([&] { orvane::files::write_atomically_with(path, produce); });
}

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/atomic_file_test.XXXXXX";
    dir = ::mkdtemp(pattern);
    target = dir / "labels.txt";
    std::ofstream(target) << "old contents\n";
  }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
  }
  // Nothing but the target (and what a test put there itself) may be left in the folder.
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
  }
  fs::path dir, target;
};

TEST_F(AtomicFileTest, ReplacesAndCreatesWithoutLeavingTemporaries) {
  EXPECT_EQ(write_atomically(target, "new"), "");
  EXPECT_EQ(slurp(target), "new");
  EXPECT_EQ(write_atomically(dir / "fresh.txt", std::string(1 << 20, 'x')), "");
  EXPECT_EQ(fs::file_size(dir / "fresh.txt"), 1u << 20);
  EXPECT_EQ(entries(), 2u);
}

TEST_F(AtomicFileTest, KeepsTheTargetsPermissions) {
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_EQ(write_atomically(target, "x"), "");
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// Runs `body` in a child process that is not root (root writes anywhere, so a folder without
// write permission proves nothing to it) and returns the child's exit code.
int as_unprivileged_child(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(77);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST_F(AtomicFileTest, TheOldFileSurvivesEveryFailure) {
  // A folder the writer may not create files in; the target itself stays writable.
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(target, fs::perms::all);
  const int code = as_unprivileged_child([&] {
    const std::string error = write_atomically(target, "new");
    return error.find("Could not write " + target.string() + ": Permission denied") == 0 ? 0 : 1;
  });
  if (code != 77) {
    EXPECT_EQ(code, 0) << "the write into a read-only folder did not fail cleanly";
  }
  EXPECT_EQ(slurp(target), "old contents\n");

  // A folder that does not exist.
  EXPECT_NE(write_atomically(dir / "missing" / "a.txt", "x"), "");

  // A directory where the file should go: the rename fails, the directory and its file stay.
  fs::create_directory(dir / "taken");
  std::ofstream(dir / "taken" / "inner.txt") << "inner";
  EXPECT_NE(write_atomically(dir / "taken", "x"), "");
  EXPECT_EQ(slurp(dir / "taken" / "inner.txt"), "inner");

  // A producer that fails, and one that throws.
  EXPECT_EQ(write_atomically_with(target, [](const fs::path&) { throw WriteError("encoder"); }),
            "Could not write " + target.string() + ": encoder");
  EXPECT_THROW(write_atomically_with(target,
                                     [](const fs::path& tmp) {
                                       std::ofstream(tmp) << "partial";
                                       throw std::runtime_error("serializer");
                                     }),
               std::runtime_error);
  EXPECT_EQ(slurp(target), "old contents\n");
  EXPECT_EQ(entries(), 2u);  // target and "taken": no temporary left behind
}

TEST_F(AtomicFileTest, AFullDiskLeavesTheOldFile) {
  // RLIMIT_FSIZE makes write() fail with EFBIG past the limit, as a full disk fails with ENOSPC.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const std::string error = write_atomically(target, std::string(1 << 16, 'y'));
    ::_exit(error.find("File too large") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(slurp(target), "old contents\n");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(AtomicFileTest, AReadOnlyTargetIsReplacedThroughAProducerAndStaysReadOnly) {
  // The child (not root: root may write a read-only file anyway) owns its folder and file.
  fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
  const fs::path own = dir / "own";
  fs::create_directory(own);
  const fs::path file = own / "best.pt";
  std::ofstream(file) << "old";
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(own.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  }
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read);
  const int result = as_unprivileged_child([&] {
    const std::string error = write_atomically_with(file, [](const fs::path& tmp) {
      std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
      out << "new";
      if (!out.flush()) throw WriteError("cannot open the temporary");
    });
    return error.empty() ? 0 : 1;
  });
  EXPECT_TRUE(result == 0 || result == 77);
  if (result == 0) {
    EXPECT_EQ(slurp(file), "new");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read);
  }
}

TEST_F(AtomicFileTest, AProducerWritesThroughTheTemporary) {
  const std::string error = write_atomically_with(target, [&](const fs::path& tmp) {
    EXPECT_EQ(tmp.parent_path(), dir);
    EXPECT_EQ(tmp.extension(), ".tmp");
    std::ofstream(tmp, std::ios::binary | std::ios::trunc) << "encoded";
  });
  EXPECT_EQ(error, "");
  EXPECT_EQ(slurp(target), "encoded");
  EXPECT_EQ(entries(), 1u);
}

}  // namespace
