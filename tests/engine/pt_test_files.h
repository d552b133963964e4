#pragma once
// Hand-made PyTorch archives for the reader's tests: a stored zip writer and a pickle assembler,
// so that a test can build exactly the file it needs (a pickle that calls os.system, a pose
// model) without Python.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/pt_pickle.h"

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
  PickleWriter& integer64(int64_t v) {  // LONG1 of 8 bytes
    code_ += "\x8a\x08";
    put_le(code_, uint64_t(v), 8);
    return *this;
  }
  PickleWriter& real(double v) {  // BINFLOAT, big-endian
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    code_ += "G";
    for (int i = 7; i >= 0; --i) code_.push_back(char((bits >> (8 * i)) & 0xFF));
    return *this;
  }
  PickleWriter& none() { return op("N"); }
  PickleWriter& boolean(bool v) { return op(v ? "\x88" : "\x89"); }
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

// Writes a value tree as the reader gives it (or as a test builds it) back as a torch.save
// archive, as PyTorch writes one: records through NEWOBJ and BUILD, tensors through
// _rebuild_tensor_v2 with their storages as entries of the archive. So a test can take one of
// the ecosystem's real files, change what it needs (the optimizer state of a last.pt) and save.
class PtWriter {
 public:
  std::string archive(const pt::Value& root, const std::string& folder = "archive") {
    PickleWriter p;
    value(p, root, 0);
    std::vector<std::pair<std::string, std::string>> entries{{folder + "/data.pkl", p.stop()}};
    for (const auto& [key, storage] : storages_)
      entries.emplace_back(folder + "/data/" + key, std::string(storage->bytes));
    entries.emplace_back(folder + "/version", "3\n");
    return make_zip(entries);
  }

 private:
  static const char* storage_type(pt::DType dtype) {
    switch (dtype) {
      case pt::DType::float16: return "HalfStorage";
      case pt::DType::bfloat16: return "BFloat16Storage";
      case pt::DType::float32: return "FloatStorage";
      case pt::DType::float64: return "DoubleStorage";
      case pt::DType::int64: return "LongStorage";
      case pt::DType::int32: return "IntStorage";
      case pt::DType::int16: return "ShortStorage";
      case pt::DType::int8: return "CharStorage";
      case pt::DType::uint8: return "ByteStorage";
      case pt::DType::boolean: return "BoolStorage";
    }
    return "";
  }
  static std::pair<std::string, std::string> split(const std::string& dotted) {
    const auto dot = dotted.rfind('.');
    return {dotted.substr(0, dot), dotted.substr(dot + 1)};
  }

  void items(PickleWriter& p, const std::vector<const pt::Value*>& values, int depth) {
    for (const auto* v : values) value(p, *v, depth + 1);
  }

  void value(PickleWriter& p, const pt::Value& v, int depth) {
    using T = pt::Value::Type;
    if (depth > 100) throw std::runtime_error("PtWriter: nested too deeply (a cycle?)");
    switch (v.type) {
      case T::none: p.none(); break;
      case T::boolean: p.boolean(v.boolean); break;
      case T::integer: p.integer64(v.integer); break;
      case T::real: p.real(v.real); break;
      case T::string: p.str(v.text); break;
      case T::bytes:
        p.op("B");
        {
          std::string len;
          put_le(len, v.text.size(), 4);
          p.op(len + v.text);
        }
        break;
      case T::tuple: p.mark(); items(p, v.items, depth); p.tuple(); break;
      case T::list: p.empty_list().mark(); items(p, v.items, depth); p.appends(); break;
      case T::set:
        p.global("builtins", "set").mark().empty_list().mark();
        items(p, v.items, depth);
        p.appends().tuple().reduce();
        break;
      case T::dict:
        p.empty_dict().mark();
        for (const auto& [k, val] : v.entries) {
          value(p, *k, depth + 1);
          value(p, *val, depth + 1);
        }
        p.setitems();
        break;
      case T::object: {
        const auto [module, name] = split(v.text);
        p.global(module, name).mark();
        items(p, v.items, depth);
        p.tuple().newobj();
        if (v.state) {
          value(p, *v.state, depth + 1);
          p.build();
        }
        break;
      }
      case T::global: {
        const auto [module, name] = split(v.text);
        p.global(module, name);
        break;
      }
      case T::tensor: {
        const pt::TensorRef& t = v.tensor;
        storages_[t.storage->key] = t.storage;
        p.global("torch._utils", "_rebuild_tensor_v2").mark();
        p.mark().str("storage").global("torch", storage_type(t.storage->dtype)).str(t.storage->key);
        p.str("cpu").integer64(t.storage->numel).tuple().op("Q");
        p.integer64(t.offset).mark();
        for (auto s : t.sizes) p.integer64(s);
        p.tuple().mark();
        for (auto s : t.strides) p.integer64(s);
        p.tuple().boolean(false);
        p.global("collections", "OrderedDict").empty_tuple().reduce();
        p.tuple().reduce();
        break;
      }
      default:
        throw std::runtime_error("PtWriter: cannot write " + v.describe());
    }
  }

  std::map<std::string, const pt::Storage*> storages_;
};

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
