#include "files/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace orvane::files {

namespace {

namespace fs = std::filesystem;

std::string failure(const fs::path& path, const std::string& cause) {
  return "Could not write " + path.string() + ": " + cause;
}

std::string errno_text(int error) { return std::strerror(error); }

// Removes the temporary when the write does not reach the rename, whatever the way out.
struct TemporaryGuard {
  fs::path path;
  bool armed = true;
  ~TemporaryGuard() {
    if (armed) ::unlink(path.c_str());
  }
};

// Creates a fresh temporary beside `target` with O_EXCL, so two writers (two threads, two
// processes) never share one. The name starts with a dot and ends in ".tmp" so that a temporary
// left by a power cut is neither listed as an image nor read as a label file.
int create_temporary(const fs::path& target, fs::path& temporary, std::string& error) {
  static std::atomic<unsigned> counter{0};
  thread_local std::mt19937 random{std::random_device{}()};
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned tag = random() ^ (counter++ * 2654435761u);
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", tag);
    std::string name = ".";
    name += target.filename().string();
    name += suffix;
    temporary = folder / name;
    // 0666 and the umask give the permissions any new file would get.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) {
      error = errno_text(errno);
      return -1;
    }
  }
  error = "no free temporary name";
  return -1;
}

// An existing target keeps its permission bits (a label file made read-only for the group stays so).
void keep_permissions(int fd, const fs::path& target) {
  struct stat existing{};
  if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    ::fchmod(fd, existing.st_mode & 07777);
  }
}

mode_t mode_of(int fd) {
  struct stat info{};
  return ::fstat(fd, &info) == 0 ? info.st_mode & 07777 : 0;
}

std::string write_all(int fd, std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno_text(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

// Syncs the folder so the rename itself survives a power cut. Best effort: some file systems
// refuse fsync on a directory, and the data is already safe in either name.
void sync_folder(const fs::path& target) {
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

void finish(const fs::path& path, TemporaryGuard& guard, Durability durability) {
  if (::rename(guard.path.c_str(), path.c_str()) != 0)
    throw WriteError(failure(path, errno_text(errno)));
  guard.armed = false;
  if (durability == Durability::kSynced) sync_folder(path);
}

}  // namespace

void write_atomically(const fs::path& path, std::string_view data, Durability durability) {
  fs::path temporary;
  std::string error;
  const int fd = create_temporary(path, temporary, error);
  if (fd < 0) throw WriteError(failure(path, error));
  TemporaryGuard guard{temporary};
  keep_permissions(fd, path);
  error = write_all(fd, data);
  if (error.empty() && durability == Durability::kSynced && ::fsync(fd) != 0)
    error = errno_text(errno);
  // close() can report a deferred write error (NFS, full quota): it counts as a failure too.
  if (::close(fd) != 0 && error.empty()) error = errno_text(errno);
  if (!error.empty()) throw WriteError(failure(path, error));
  finish(path, guard, durability);
}

void write_atomically_with(const fs::path& path,
                           const std::function<void(const fs::path& temporary)>& produce,
                           Durability durability) {
  fs::path temporary;
  std::string error;
  int fd = create_temporary(path, temporary, error);
  if (fd < 0) throw WriteError(failure(path, error));
  TemporaryGuard guard{temporary};
  // The target's mode is applied only after `produce`: a read-only target would otherwise make
  // the temporary read-only before the producer opens it by name.
  const mode_t created_mode = mode_of(fd);
  ::close(fd);
  try {
    produce(temporary);
  } catch (const WriteError& e) {
    throw WriteError(failure(path, e.what()));
  }
  // The producer may have replaced the file rather than written into it: sync what is there now.
  fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw WriteError(failure(path, errno_text(errno)));
  struct stat produced{};
  if (::fstat(fd, &produced) != 0 || !S_ISREG(produced.st_mode)) {
    ::close(fd);
    throw WriteError(failure(path, "the writer left no file"));
  }
  // A producer that chose a mode (a copy keeping its source's) keeps it.
  if ((produced.st_mode & 07777) == created_mode) keep_permissions(fd, path);
  if (durability == Durability::kSynced && ::fsync(fd) != 0) error = errno_text(errno);
  ::close(fd);
  if (!error.empty()) throw WriteError(failure(path, error));
  finish(path, guard, durability);
}

}  // namespace orvane::files
