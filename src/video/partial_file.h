#pragma once
// Files the video code writes as a stream (a video, a MOT file) grow under a hidden partial name
// beside their target and are renamed into place only when whole.

#include <filesystem>
#include <string>

namespace orvane::video {

// Renames a finished `partial` over `target` through the one atomic writer (synced, the old
// target whole on failure) and removes the partial whatever happens. Returns "" or the reason.
std::string replace_with_partial(const std::filesystem::path& partial, const std::filesystem::path& target);

}  // namespace orvane::video
