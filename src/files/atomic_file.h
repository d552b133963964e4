#pragma once
// The one way this program replaces a file on disk. Readers (and a crash at any moment) see either
// the old file whole or the new one whole: the bytes go to a temporary beside the target, are
// flushed and synced, and only then renamed over it. The target is never deleted first, and the
// temporary is removed on every failure, so a failed write leaves the old file exactly as it was.
//
// Plain C++ (no Qt), so the engine and every tool core share it.

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string_view>

namespace orvane::files {

// A write that did not happen: one line naming the file and the cause, "Could not write /d/a.txt:
// No space left on device". The engine lets it travel as its other failures; Qt-side callers take
// it as a `Result` through files_qt's write_file_atomic.
struct WriteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// How far a write goes to survive a power cut. Both are atomic for every reader and both leave the
// old file whole on failure; `kSynced` also waits until the bytes and the rename are on the disk.
// `kRenameOnly` is for bulk copies (a dataset export writes thousands of files and marks itself
// complete with one synced file last), where a sync per file would cost more than the copy.
enum class Durability { kSynced, kRenameOnly };

// Replaces (or creates) `path` with `data`; throws WriteError when it cannot.
// An existing target keeps its permission bits; a new file gets 0666 less the umask, as any
// ordinary write would. The containing folder must exist (it is not created).
void write_atomically(const std::filesystem::path& path, std::string_view data,
                      Durability durability = Durability::kSynced);

// For writers that produce the file themselves (an encoder, a serializer that wants a path):
// `produce` is called with the path of an empty temporary in the target's folder (its name ends in
// ".tmp") and writes the whole content there. The result is then synced and renamed over `path`
// exactly as above. A WriteError from `produce` carries its reason into the writer's own ("Could
// not write PATH: reason"); other exceptions propagate unchanged. Either way the temporary is
// removed first. The temporary stays writable while `produce` runs, even when the target is
// read-only; afterwards it gets the target's permission bits, unless `produce` set its own.
void write_atomically_with(const std::filesystem::path& path,
                           const std::function<void(const std::filesystem::path& temporary)>& produce,
                           Durability durability = Durability::kSynced);

// write_atomically for callers with an exception type of their own (the engine's EngineError):
// throws `Error(reason)` instead of WriteError.
template <class Error>
void write_atomically_or_throw(const std::filesystem::path& path, std::string_view data,
                               Durability durability = Durability::kSynced) {
  try {
    write_atomically(path, data, durability);
  } catch (const WriteError& e) {
    throw Error(e.what());
  }
}

}  // namespace orvane::files
