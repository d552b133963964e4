#pragma once
// Reads PyTorch's zip serialization (what torch.save writes, and so the YOLO ecosystem's .pt
// checkpoints) without running anything in it.
//
//   NAME/data.pkl        a pickle (protocol 2) of the saved object
//   NAME/data/<key>      the raw bytes of each tensor storage, little-endian
//   NAME/version         format version; NAME/byteorder (optional) "little"
//
// A pickle is a small program: its GLOBAL opcodes name Python callables and REDUCE/NEWOBJ call
// them. This reader never calls anything. It interprets the few callables whose meaning is data
// (OrderedDict, set, torch.Size, the tensor rebuilds, the storage types, numpy scalars) and turns
// every class on an allow-list (torch.nn modules, the ecosystem's network modules) into a plain
// record of its arguments and state. Any other global refuses the whole file with its name.
//
// Everything here is free of LibTorch: tensors are references into the archive's bytes, turned
// into torch tensors by the caller (ecosystem_weights.h). Every size, index and count read from
// the file is checked before use; a damaged or hostile file is one EngineError line.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::engine::pt {

// Bounds on what a file may make the reader hold. Real checkpoints use a few thousand memo slots,
// a nesting depth under 20 and at most a few hundred storages.
inline constexpr std::size_t kMaxMemo = 1u << 20;
inline constexpr std::size_t kMaxStack = 1u << 20;
inline constexpr std::size_t kMaxValues = 1u << 23;
inline constexpr int kMaxDepth = 200;
inline constexpr std::size_t kMaxEntries = 1u << 16;  // zip entries
inline constexpr int kMaxTensorDims = 8;

// The entries of a zip archive, as views into its bytes. Only uncompressed ("stored") entries
// can be read, which is how torch.save writes every entry.
class ZipArchive {
 public:
  // Throws EngineError (message without a file name) when the bytes are not a readable zip.
  explicit ZipArchive(std::string_view bytes);

  bool has(const std::string& name) const { return entries_.count(name) != 0; }
  // Throws EngineError when absent.
  std::string_view read(const std::string& name) const;
  std::vector<std::string> names() const;

 private:
  std::map<std::string, std::string_view> entries_;
  std::map<std::string, int> compressed_;  // name -> compression method
};

enum class DType { float16, bfloat16, float32, float64, int64, int32, int16, int8, uint8, boolean };
int dtype_size(DType dtype);
const char* dtype_name(DType dtype);

struct Storage {
  std::string key;
  DType dtype = DType::float32;
  int64_t numel = 0;
  std::string_view bytes;  // exactly numel * dtype_size bytes of the archive
};

// A strided view of a storage, checked to lie inside it.
struct TensorRef {
  const Storage* storage = nullptr;
  int64_t offset = 0;  // in elements
  std::vector<int64_t> sizes;
  std::vector<int64_t> strides;  // in elements
  int64_t numel() const;
};

struct Value;
using Entries = std::vector<std::pair<const Value*, const Value*>>;

// One unpickled value. Containers point at other values of the same Unpickled (never owning
// them), so a pickle that builds a cycle costs nothing; walkers bound their depth.
struct Value {
  enum class Type {
    none,
    boolean,
    integer,
    real,
    string,
    bytes,
    tuple,
    list,
    set,
    dict,
    object,  // an allow-listed class: `name`, constructor `items`, `state` from BUILD
    global,  // an allow-listed global not yet called: `name`
    storage,
    tensor,
    dtype,  // a numpy dtype: `name` holds its code ("f8")
  };
  Type type = Type::none;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0.0;
  std::string text;  // string, bytes; class or global name "module.Name" for object / global
  std::vector<const Value*> items;  // tuple, list, set; object: constructor arguments
  Entries entries;                  // dict
  const Value* state = nullptr;     // object: what BUILD gave it
  const Storage* storage = nullptr;
  TensorRef tensor;
  int depth = 1;  // nesting depth when it was last changed, bounded by kMaxDepth

  bool is(Type t) const { return type == t; }
  // Dict lookup by string key; for an object, lookup in its state dict. Null when absent.
  const Value* get(std::string_view key) const;
  // "None", "3", "'rect'", "<ultralytics.nn.tasks.DetectionModel>": for messages.
  std::string describe() const;
};

// The result of reading one archive: owns the bytes, the values and the storages.
class Unpickled {
 public:
  const Value& root() const { return *root_; }
  const std::string& archive_name() const { return prefix_; }
  const std::vector<std::unique_ptr<Storage>>& storages() const { return storages_; }

 private:
  friend class Reader;
  friend Unpickled read_pt_bytes(std::string bytes);
  std::string bytes_;
  std::string prefix_;
  std::vector<std::unique_ptr<Value>> values_;
  std::vector<std::unique_ptr<Storage>> storages_;
  const Value* root_ = nullptr;
};

// Whether a global may appear in a checkpoint: data callables and record classes.
bool is_allowed_global(const std::string& module, const std::string& name);

// Reads the archive in `bytes`. Throws EngineError with a message that does not name the file
// ("refused: the file asks to call builtins.eval; a checkpoint holds data only",
// "truncated: ...").
Unpickled read_pt_bytes(std::string bytes);

// Reads the file; errors are "PATH: message". Files above `max_bytes` are refused.
Unpickled read_pt_file(const std::filesystem::path& path, std::uint64_t max_bytes = std::uint64_t(4)
                                                                                    << 30);

// The archive's folder name ("best", "archive") if `bytes` is a PyTorch zip holding a pickle
// written by torch.save rather than a LibTorch module archive; empty otherwise. Cheap: reads the
// directory only.
std::string torch_save_prefix(std::string_view bytes);

}  // namespace orvane::engine::pt
