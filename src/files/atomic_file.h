#pragma once
// The one way this program replaces a file on disk. Readers (and a crash at any moment) see either
// the old file whole or the new one whole: the bytes go to a temporary beside the target, are
// flushed and synced, and only then renamed over it. The target is never deleted first, and the
// temporary is removed on every failure, so a failed write leaves the old file exactly as it was.
//
// Plain C++ (no Qt), so the engine and every tool core share it.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace orvane::files {

// How far a write goes to survive a power cut. Both are atomic for every reader and both leave the
// old file whole on failure; `kSynced` also waits until the bytes and the rename are on the disk.
// `kRenameOnly` is for bulk copies (a dataset export writes thousands of files and marks itself
// complete with one synced file last), where a sync per file would cost more than the copy.
enum class Durability { kSynced, kRenameOnly };

// Replaces (or creates) `path` with `data`. Returns an empty string on success, otherwise the reason
// in one line, naming the file: "Could not write /d/a.txt: No space left on device".
// An existing target keeps its permission bits; a new file gets 0666 less the umask, as any
// ordinary write would. The containing folder must exist (it is not created).
std::string write_atomically(const std::filesystem::path& path, std::string_view data,
                              Durability durability = Durability::kSynced);

// For writers that produce the file themselves (an encoder, a serializer that wants a path):
// `produce` is called with the path of an empty temporary in the target's folder (its name ends in
// ".tmp") and writes the whole content there, returning an empty string or its reason. The result is
// then synced and renamed over `path` exactly as above. Exceptions from `produce` propagate after the
// temporary is removed. The temporary stays writable while `produce` runs, even when the target is
// read-only; afterwards it gets the target's permission bits, unless `produce` set its own.
std::string write_atomically_with(
    const std::filesystem::path& path,
    const std::function<std::string(const std::filesystem::path& temporary)>& produce,
    Durability durability = Durability::kSynced);

// write_atomically for callers whose failures are exceptions: throws `Error(reason)` (any type
// constructible from a std::string, e.g. the engine's EngineError) instead of returning it.
template <class Error>
void write_atomically_or_throw(const std::filesystem::path& path, std::string_view data,
                               Durability durability = Durability::kSynced) {
  std::string error = write_atomically(path, data, durability);
  if (!error.empty()) throw Error(std::move(error));
}

}  // namespace orvane::files
