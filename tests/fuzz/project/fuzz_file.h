#pragma once
// The readers under test take a path: each input becomes one file in a private folder.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace orvane::fuzz {

inline const std::filesystem::path& scratch_folder() {
  static const std::filesystem::path folder = [] {
    // Memory-backed where there is such a folder: the writers under test sync every file.
    std::error_code ec;
    const auto base = std::filesystem::is_directory("/dev/shm", ec)
                          ? std::filesystem::path("/dev/shm")
                          : std::filesystem::temp_directory_path();
    std::string pattern = (base / "orvane_fuzz.XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    if (!made) std::abort();
    std::atexit([] { std::filesystem::remove_all(scratch_folder()); });
    return std::filesystem::path(made);
  }();
  return folder;
}

inline std::filesystem::path input_file(const std::string& name, const uint8_t* data, size_t size) {
  const auto path = scratch_folder() / name;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace orvane::fuzz
