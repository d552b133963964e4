#pragma once
// Hand-made PyTorch archives for the reader's tests: a stored zip writer and a pickle assembler,
// so that a test can build exactly the file it needs (a pickle that calls os.system, a pose
// model) without Python.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace orvane::engine::testing {

inline void put_le(std::string& out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

// A zip of stored entries (no compression, no zip64), as far as the reader needs one.
inline std::string make_zip(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string out, dir;
  for (const auto& [name, data] : entries) {
    const auto offset = out.size();
    put_le(out, 0x04034b50, 4);
    put_le(out, 20, 2);
    put_le(out, 0, 2);
    put_le(out, 0, 2);  // stored
    put_le(out, 0, 4);  // time, date
    put_le(out, 0, 4);  // crc (not checked by the reader)
    put_le(out, data.size(), 4);
    put_le(out, data.size(), 4);
    put_le(out, name.size(), 2);
    put_le(out, 0, 2);
    out += name + data;
    put_le(dir, 0x02014b50, 4);
    put_le(dir, 20, 2);
    put_le(dir, 20, 2);
    put_le(dir, 0, 2);
    put_le(dir, 0, 2);
    put_le(dir, 0, 4);
    put_le(dir, 0, 4);
    put_le(dir, data.size(), 4);
    put_le(dir, data.size(), 4);
    put_le(dir, name.size(), 2);
    put_le(dir, 0, 2);
    put_le(dir, 0, 2);
    put_le(dir, 0, 2);
    put_le(dir, 0, 2);
    put_le(dir, 0, 4);
    put_le(dir, offset, 4);
    dir += name;
  }
  const auto dir_at = out.size();
  out += dir;
  put_le(out, 0x06054b50, 4);
  put_le(out, 0, 4);
  put_le(out, entries.size(), 2);
  put_le(out, entries.size(), 2);
  put_le(out, dir.size(), 4);
  put_le(out, dir_at, 4);
  put_le(out, 0, 2);
  return out;
}

// Pickle opcodes, protocol 2, written in the order a test calls them.
class PickleWriter {
 public:
  PickleWriter() { code_ = "\x80\x02"; }
  PickleWriter& global(const std::string& module, const std::string& name) {
    code_ += "c" + module + "\n" + name + "\n";
    return *this;
  }
  PickleWriter& str(const std::string& s) {
    code_ += "X";
    put_le(code_, s.size(), 4);
    code_ += s;
    return *this;
  }
  PickleWriter& integer(int32_t v) {
    code_ += "J";
    put_le(code_, uint32_t(v), 4);
    return *this;
  }
  PickleWriter& op(const std::string& ops) {
    code_ += ops;
    return *this;
  }
  PickleWriter& mark() { return op("("); }
  PickleWriter& empty_dict() { return op("}"); }
  PickleWriter& empty_list() { return op("]"); }
  PickleWriter& empty_tuple() { return op(")"); }
  PickleWriter& tuple() { return op("t"); }
  PickleWriter& setitems() { return op("u"); }
  PickleWriter& appends() { return op("e"); }
  PickleWriter& reduce() { return op("R"); }
  PickleWriter& newobj() { return op("\x81"); }
  PickleWriter& build() { return op("b"); }
  std::string stop() const { return code_ + "."; }

 private:
  std::string code_;
};

// A torch.save archive holding `pickle` and no storages.
inline std::string pt_archive(const std::string& pickle, const std::string& folder = "archive") {
  return make_zip({{folder + "/data.pkl", pickle}, {folder + "/version", "3\n"}});
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Real checkpoints the ecosystem's library wrote: yolov8n-shapes.pt, yolo11n-shapes.pt.
inline std::filesystem::path real_weights(const std::string& name = "yolov8n-shapes.pt") {
  const char* src = std::getenv("ORVANE_SOURCE_DIR");
  return std::filesystem::path(src ? src : ".") / "tests" / "data" / "weights" / name;
}

}  // namespace orvane::engine::testing
