#pragma once
// A QString path as the standard library takes it, in the file system's encoding (what
// QFile::encodeName gives), so a name with any character opens the same file either way.

#include <QString>
#include <filesystem>

namespace orvane {

std::filesystem::path fs_path(const QString& path);

}  // namespace orvane
