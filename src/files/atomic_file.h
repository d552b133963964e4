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

namespace orvane::files {

// Replaces (or creates) `path` with `data`. Returns an empty string on success, otherwise the reason
// in one line, naming the file: "Could not write /d/a.txt: No space left on device".
// An existing target keeps its permission bits; a new file gets 0666 less the umask, as any
// ordinary write would. The containing folder must exist (it is not created).
std::string write_atomically(const std::filesystem::path& path, std::string_view data);

// For writers that produce the file themselves (an encoder, a serializer that wants a path):
// `produce` is called with the path of an empty temporary in the target's folder (its name ends in
// ".tmp") and writes the whole content there, returning an empty string or its reason. The result is
// then synced and renamed over `path` exactly as above. Exceptions from `produce` propagate after the
// temporary is removed.
std::string write_atomically_with(
    const std::filesystem::path& path,
    const std::function<std::string(const std::filesystem::path& temporary)>& produce);

}  // namespace orvane::files
