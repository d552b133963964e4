#include "engine/pt_pickle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <unordered_map>

#include "engine/error.h"

namespace orvane::engine::pt {

namespace {

uint64_t le(std::string_view b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | uint8_t(b[at + size_t(i)]);
  return v;
}

[[noreturn]] void fail(const std::string& message) { throw EngineError(message); }

constexpr uint32_t kEocd = 0x06054b50, kEocd64 = 0x06064b50, kLocator64 = 0x07064b50,
                   kCentral = 0x02014b50, kLocal = 0x04034b50;

// Bytes [at, at + n) must lie inside `b`.
void need(std::string_view b, uint64_t at, uint64_t n, const char* what) {
  if (at > b.size() || n > b.size() - at)
    fail(std::string("truncated: the zip archive ends inside its ") + what);
}

}  // namespace

ZipArchive::ZipArchive(std::string_view b) {
  if (b.size() < 22 || le(b, 0, 4) != kLocal) fail("not a zip archive");
  // The end-of-directory record sits in the last 64 KB + 22 bytes (its comment is at most 64 KB).
  size_t eocd = std::string_view::npos;
  const size_t lowest = b.size() > 22 + 65535 ? b.size() - 22 - 65535 : 0;
  for (size_t at = b.size() - 22 + 1; at-- > lowest;)
    if (le(b, at, 4) == kEocd) {
      eocd = at;
      break;
    }
  if (eocd == std::string_view::npos)
    fail("truncated: the zip archive has no directory at its end");
  uint64_t count = le(b, eocd + 10, 2);
  uint64_t dir_size = le(b, eocd + 12, 4);
  uint64_t dir_at = le(b, eocd + 16, 4);
  // PyTorch writes the zip64 records as well; when present they hold the real figures.
  if (eocd >= 20 && le(b, eocd - 20, 4) == kLocator64) {
    const uint64_t at = le(b, eocd - 20 + 8, 8);
    need(b, at, 56, "zip64 directory record");
    if (le(b, size_t(at), 4) != kEocd64) fail("damaged zip archive: bad zip64 directory record");
    count = le(b, size_t(at) + 32, 8);
    dir_size = le(b, size_t(at) + 40, 8);
    dir_at = le(b, size_t(at) + 48, 8);
  }
  if (count > kMaxEntries)
    fail("damaged zip archive: it claims " + std::to_string(count) + " entries");
  need(b, dir_at, dir_size, "directory");
  size_t at = size_t(dir_at);
  const size_t end = size_t(dir_at + dir_size);
  for (uint64_t i = 0; i < count; ++i) {
    if (at + 46 > end || le(b, at, 4) != kCentral) fail("damaged zip archive: bad directory entry");
    const auto method = le(b, at + 10, 2);
    uint64_t csize = le(b, at + 20, 4), usize = le(b, at + 24, 4);
    const auto name_len = le(b, at + 28, 2), extra_len = le(b, at + 30, 2),
               comment_len = le(b, at + 32, 2);
    uint64_t local = le(b, at + 42, 4);
    if (at + 46 + name_len + extra_len + comment_len > end)
      fail("damaged zip archive: bad directory entry");
    std::string name(b.substr(at + 46, name_len));
    // Zip64 extra field: the 8-byte figures for the ones the entry marks 0xFFFFFFFF, in order.
    for (size_t x = at + 46 + name_len, xe = x + extra_len; x + 4 <= xe;) {
      const auto id = le(b, x, 2), len = le(b, x + 2, 2);
      if (x + 4 + len > xe) break;
      if (id == 1) {
        size_t f = x + 4;
        auto next = [&](uint64_t& v) {
          if (v != 0xFFFFFFFFu) return;
          if (f + 8 > x + 4 + len) fail("damaged zip archive: short zip64 field");
          v = le(b, f, 8);
          f += 8;
        };
        next(usize);
        next(csize);
        next(local);
      }
      x += 4 + len;
    }
    at += 46 + name_len + extra_len + comment_len;
    // Compressed entries (LibTorch compresses the code of its module archives) are listed, so that
    // such an archive is recognised, but cannot be read.
    if (method != 0) {
      compressed_[name] = int(method);
      entries_[name] = {};
      continue;
    }
    if (csize != usize) fail("damaged zip archive: entry " + name + " has two sizes");
    need(b, local, 30, "entry headers");
    if (le(b, size_t(local), 4) != kLocal)
      fail("damaged zip archive: bad entry header for " + name);
    const uint64_t data = local + 30 + le(b, size_t(local) + 26, 2) + le(b, size_t(local) + 28, 2);
    need(b, data, usize, "entry data");
    entries_[name] = b.substr(size_t(data), size_t(usize));
  }
}

std::string_view ZipArchive::read(const std::string& name) const {
  auto it = entries_.find(name);
  if (it == entries_.end()) fail("the archive has no entry " + name);
  if (auto c = compressed_.find(name); c != compressed_.end())
    fail("zip entry " + name + " is compressed (method " + std::to_string(c->second) +
         "); PyTorch stores the entries it reads uncompressed");
  return it->second;
}

std::vector<std::string> ZipArchive::names() const {
  std::vector<std::string> out;
  for (const auto& [k, v] : entries_) out.push_back(k);
  return out;
}

int dtype_size(DType d) {
  switch (d) {
    case DType::float64:
    case DType::int64:
      return 8;
    case DType::float32:
    case DType::int32:
      return 4;
    case DType::float16:
    case DType::bfloat16:
    case DType::int16:
      return 2;
    default:
      return 1;
  }
}

const char* dtype_name(DType d) {
  static const char* names[] = {"float16", "bfloat16", "float32", "float64", "int64",
                                "int32",   "int16",    "int8",    "uint8",   "bool"};
  return names[int(d)];
}

int64_t TensorRef::numel() const {
  int64_t n = 1;
  for (auto s : sizes) n *= s;
  return n;
}

const Value* Value::get(std::string_view key) const {
  const Value* dict = this;
  if (type == Type::object) dict = state;
  if (!dict || dict->type != Type::dict) return nullptr;
  for (const auto& [k, v] : dict->entries)
    if (k->type == Type::string && k->text == key) return v;
  return nullptr;
}

std::string Value::describe() const {
  switch (type) {
    case Type::none:
      return "None";
    case Type::boolean:
      return boolean ? "True" : "False";
    case Type::integer:
      return std::to_string(integer);
    case Type::real:
      return std::to_string(real);
    case Type::string:
      return "'" + text.substr(0, 60) + "'";
    case Type::object:
    case Type::global:
      return "<" + text + ">";
    case Type::tensor:
      return "a tensor";
    case Type::dict:
      return "a dict";
    default:
      return "a " + std::string(type == Type::list    ? "list"
                                : type == Type::tuple ? "tuple"
                                                      : "value");
  }
}

namespace {

const std::map<std::string, DType>& storage_types() {
  static const std::map<std::string, DType> types{
      {"HalfStorage", DType::float16},  {"BFloat16Storage", DType::bfloat16},
      {"FloatStorage", DType::float32}, {"DoubleStorage", DType::float64},
      {"LongStorage", DType::int64},    {"IntStorage", DType::int32},
      {"ShortStorage", DType::int16},   {"CharStorage", DType::int8},
      {"ByteStorage", DType::uint8},    {"BoolStorage", DType::boolean}};
  return types;
}

// Classes read as records: their constructor never runs, their state is kept as data.
const std::set<std::string>& record_classes() {
  static const std::set<std::string> classes = [] {
    std::set<std::string> s;
    auto add = [&](const std::string& module, std::initializer_list<const char*> names) {
      for (const char* n : names) s.insert(module + "." + n);
    };
    add("torch.nn.modules.conv", {"Conv2d", "ConvTranspose2d", "Conv1d"});
    add("torch.nn.modules.batchnorm", {"BatchNorm2d", "BatchNorm1d"});
    add("torch.nn.modules.activation",
        {"SiLU", "ReLU", "LeakyReLU", "Sigmoid", "Hardswish", "GELU", "MultiheadAttention"});
    add("torch.nn.modules.pooling", {"MaxPool2d", "AdaptiveAvgPool2d", "AvgPool2d"});
    add("torch.nn.modules.upsampling", {"Upsample"});
    add("torch.nn.modules.container", {"Sequential", "ModuleList", "ModuleDict"});
    add("torch.nn.modules.linear", {"Linear", "Identity"});
    add("torch.nn.modules.dropout", {"Dropout"});
    add("torch.nn.modules.normalization", {"LayerNorm", "GroupNorm"});
    add("torch.nn.modules.flatten", {"Flatten"});
    // The ecosystem's network modules: the ones its detection, segmentation, pose,
    // classification and oriented-box models of the v8 and 11 families are made of, so that
    // such a file is read and then refused for what it is rather than for a class name.
    add("ultralytics.nn.modules.conv",
        {"Conv", "Conv2", "Concat", "DWConv", "DWConvTranspose2d", "ConvTranspose", "Focus",
         "GhostConv", "LightConv", "RepConv", "ChannelAttention", "SpatialAttention", "CBAM",
         "Index"});
    add("ultralytics.nn.modules.block", {"C1",
                                         "C2",
                                         "C2f",
                                         "C3",
                                         "C3x",
                                         "C3k",
                                         "C3k2",
                                         "C2PSA",
                                         "C2fPSA",
                                         "PSABlock",
                                         "Attention",
                                         "Bottleneck",
                                         "BottleneckCSP",
                                         "SPP",
                                         "SPPF",
                                         "DFL",
                                         "Proto",
                                         "RepC3",
                                         "GhostBottleneck",
                                         "RepNCSPELAN4",
                                         "ADown",
                                         "SPPELAN",
                                         "ELAN1",
                                         "AConv",
                                         "CBLinear",
                                         "CBFuse",
                                         "SCDown",
                                         "PSA",
                                         "C2fAttn",
                                         "RepVGGDW",
                                         "CIB",
                                         "C2fCIB"});
    add("ultralytics.nn.modules.head",
        {"Detect", "Segment", "Pose", "Classify", "OBB", "WorldDetect", "v10Detect"});
    add("ultralytics.nn.tasks", {"DetectionModel", "SegmentationModel", "PoseModel",
                                 "ClassificationModel", "OBBModel", "WorldModel"});
    add("ultralytics.utils", {"IterableSimpleNamespace"});
    return s;
  }();
  return classes;
}

const std::set<std::string>& data_callables() {
  static const std::set<std::string> calls{"collections.OrderedDict",
                                           "__builtin__.set",
                                           "builtins.set",
                                           "__builtin__.frozenset",
                                           "builtins.frozenset",
                                           "torch.Size",
                                           "torch._utils._rebuild_tensor_v2",
                                           "torch._utils._rebuild_parameter",
                                           "numpy.dtype",
                                           "numpy.core.multiarray.scalar",
                                           "numpy._core.multiarray.scalar"};
  return calls;
}

}  // namespace

bool is_allowed_global(const std::string& module, const std::string& name) {
  const std::string full = module + "." + name;
  if (module == "torch" && storage_types().count(name)) return true;
  return data_callables().count(full) || record_classes().count(full);
}

// The pickle machine, restricted to building values.
class Reader {
 public:
  Reader(Unpickled& out, const ZipArchive& zip) : out_(out), zip_(zip) {}

  const Value* run(std::string_view code) {
    code_ = code;
    pos_ = 0;
    for (;;) {
      const uint8_t op = byte();
      switch (op) {
        case 0x80:  // PROTO
          if (byte() > 5) fail("unsupported pickle protocol");
          break;
        case 0x95:  // FRAME: only a hint for buffering
          take(8);
          break;
        case '.': {  // STOP
          if (stack_.empty() || !marks_.empty()) fail("damaged pickle: it ends with an open mark");
          return stack_.back();
        }
        case 'c': {  // GLOBAL
          std::string module = line(), name = line();
          push(global(module, name));
          break;
        }
        case 0x93: {  // STACK_GLOBAL
          const Value* name = pop();
          const Value* module = pop();
          if (!module->is(Value::Type::string) || !name->is(Value::Type::string))
            fail("damaged pickle: a global named by a non-string");
          push(global(module->text, name->text));
          break;
        }
        case 'q':
          memo_put(byte());
          break;
        case 'r':
          memo_put(uint32_t(le(take(4), 0, 4)));
          break;
        case 0x94:
          memo_put(uint32_t(memo_.size()));
          break;
        case 'h':
          push(memo_get(byte()));
          break;
        case 'j':
          push(memo_get(uint32_t(le(take(4), 0, 4))));
          break;
        case '(':
          if (marks_.size() >= kMaxStack) fail("damaged pickle: too many marks");
          marks_.push_back(stack_.size());
          break;
        case '0':
          pop();
          break;
        case '1':
          pop_mark();
          break;
        case '2':
          push(top());
          break;
        case '}':
          push(make(Value::Type::dict));
          break;
        case ']':
          push(make(Value::Type::list));
          break;
        case ')':
          push(make(Value::Type::tuple));
          break;
        case 0x8f:
          push(make(Value::Type::set));
          break;
        case 0x85:
        case 0x86:
        case 0x87: {
          const size_t n = op - 0x84u;
          if (stack_.size() < n) fail("damaged pickle: stack underflow");
          std::vector<const Value*> items(stack_.end() - long(n), stack_.end());
          stack_.resize(stack_.size() - n);
          push(tuple(std::move(items)));
          break;
        }
        case 't':
          push(tuple(pop_mark()));
          break;
        case 's': {
          const Value* v = pop();
          const Value* k = pop();
          set_items(mutable_top(), {k, v});
          break;
        }
        case 'u': {
          auto items = pop_mark();
          set_items(mutable_top(), items);
          break;
        }
        case 'a': {
          const Value* v = pop();
          append(mutable_top(), {v});
          break;
        }
        case 'e':
        case 0x90: {  // APPENDS, ADDITEMS
          auto items = pop_mark();
          append(mutable_top(), items);
          break;
        }
        case 'J':
          push(integer(int32_t(uint32_t(le(take(4), 0, 4)))));
          break;
        case 'K':
          push(integer(byte()));
          break;
        case 'M':
          push(integer(int64_t(le(take(2), 0, 2))));
          break;
        case 0x8a: {  // LONG1: little-endian two's complement of n bytes
          const int n = byte();
          if (n > 8) fail("damaged pickle: an integer wider than 64 bits");
          auto b = take(size_t(n));
          uint64_t v = n ? le(b, 0, n) : 0;
          if (n > 0 && n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t(0) << (8 * n);
          push(integer(int64_t(v)));
          break;
        }
        case 'G': {  // BINFLOAT: big-endian IEEE double
          auto b = take(8);
          uint64_t bits = 0;
          for (int i = 0; i < 8; ++i) bits = (bits << 8) | uint8_t(b[size_t(i)]);
          double d;
          std::memcpy(&d, &bits, 8);
          Value* v = make(Value::Type::real);
          v->real = d;
          push(v);
          break;
        }
        case 'X':
          push(text(Value::Type::string, take(le(take(4), 0, 4))));
          break;
        case 0x8c:
        case 'U':
          push(text(Value::Type::string, take(byte())));
          break;
        case 'T':
          push(text(Value::Type::string, take(le(take(4), 0, 4))));
          break;
        case 'B':
          push(text(Value::Type::bytes, take(le(take(4), 0, 4))));
          break;
        case 'C':
          push(text(Value::Type::bytes, take(byte())));
          break;
        case 'N':
          push(make(Value::Type::none));
          break;
        case 0x88:
        case 0x89: {
          Value* v = make(Value::Type::boolean);
          v->boolean = op == 0x88;
          push(v);
          break;
        }
        case 0x81: {  // NEWOBJ: cls.__new__(cls, *args)
          const Value* args = pop();
          const Value* cls = pop();
          push(call(cls, args, /*newobj=*/true));
          break;
        }
        case 'R': {
          const Value* args = pop();
          const Value* fn = pop();
          push(call(fn, args, /*newobj=*/false));
          break;
        }
        case 'b': {
          const Value* state = pop();
          build(mutable_top(), state);
          break;
        }
        case 'Q':
          push(persistent(pop()));
          break;
        default: {
          char hex[8];
          std::snprintf(hex, sizeof hex, "0x%02x", op);
          fail(std::string("unsupported pickle opcode ") + hex + " at byte " +
               std::to_string(pos_ - 1) + " (a checkpoint needs only data opcodes)");
        }
      }
    }
  }

 private:
  Unpickled& out_;
  const ZipArchive& zip_;
  std::string_view code_;
  size_t pos_ = 0;
  std::vector<const Value*> stack_;
  std::vector<size_t> marks_;
  std::unordered_map<uint32_t, const Value*> memo_;
  std::map<std::string, Storage*> storages_;

  uint8_t byte() { return uint8_t(take(1)[0]); }
  std::string_view take(uint64_t n) {
    if (n > code_.size() - pos_) fail("truncated: the pickle ends in the middle of a value");
    auto v = code_.substr(pos_, size_t(n));
    pos_ += size_t(n);
    return v;
  }
  std::string line() {
    const size_t end = code_.find('\n', pos_);
    if (end == std::string_view::npos || end - pos_ > 256)
      fail("truncated: the pickle ends inside a global's name");
    std::string s(code_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return s;
  }

  Value* make(Value::Type t) {
    if (out_.values_.size() >= kMaxValues) fail("refused: the pickle holds too many values");
    out_.values_.push_back(std::make_unique<Value>());
    out_.values_.back()->type = t;
    return out_.values_.back().get();
  }
  Value* integer(int64_t i) {
    Value* v = make(Value::Type::integer);
    v->integer = i;
    return v;
  }
  Value* text(Value::Type t, std::string_view s) {
    Value* v = make(t);
    v->text = std::string(s);
    return v;
  }
  Value* tuple(std::vector<const Value*> items) {
    Value* v = make(Value::Type::tuple);
    for (const Value* i : items) deepen(v, i);
    v->items = std::move(items);
    return v;
  }
  // A container holding `child` is one level deeper than it.
  static void deepen(Value* parent, const Value* child) {
    parent->depth = std::max(parent->depth, child->depth + 1);
    if (parent->depth > kMaxDepth)
      fail("refused: the pickle nests deeper than " + std::to_string(kMaxDepth) + " levels");
  }

  void push(const Value* v) {
    if (stack_.size() >= kMaxStack) fail("refused: the pickle's stack grows without bound");
    stack_.push_back(v);
  }
  const Value* pop() {
    if (stack_.empty() || (!marks_.empty() && stack_.size() <= marks_.back()))
      fail("damaged pickle: stack underflow");
    const Value* v = stack_.back();
    stack_.pop_back();
    return v;
  }
  const Value* top() {
    if (stack_.empty()) fail("damaged pickle: stack underflow");
    return stack_.back();
  }
  // Values are built by this reader only, so the one it is changing may be written.
  Value* mutable_top() { return const_cast<Value*>(top()); }
  std::vector<const Value*> pop_mark() {
    if (marks_.empty()) fail("damaged pickle: no mark");
    const size_t at = marks_.back();
    marks_.pop_back();
    std::vector<const Value*> items(stack_.begin() + long(at), stack_.end());
    stack_.resize(at);
    return items;
  }
  void memo_put(uint32_t i) {
    if (memo_.size() >= kMaxMemo && !memo_.count(i))
      fail("refused: the pickle's memo is too large");
    memo_[i] = top();
  }
  const Value* memo_get(uint32_t i) {
    auto it = memo_.find(i);
    if (it == memo_.end())
      fail("damaged pickle: it refers to memo slot " + std::to_string(i) + " that was never set");
    return it->second;
  }

  void set_items(Value* dict, const std::vector<const Value*>& kv) {
    if (!dict->is(Value::Type::dict)) fail("damaged pickle: items set on " + dict->describe());
    if (kv.size() % 2) fail("damaged pickle: a key without a value");
    for (size_t i = 0; i < kv.size(); i += 2) {
      deepen(dict, kv[i]);
      deepen(dict, kv[i + 1]);
      // A later value for the same string or integer key replaces the earlier one, as in Python.
      auto same = std::find_if(dict->entries.begin(), dict->entries.end(), [&](const auto& e) {
        return e.first->type == kv[i]->type &&
               ((kv[i]->is(Value::Type::string) && e.first->text == kv[i]->text) ||
                (kv[i]->is(Value::Type::integer) && e.first->integer == kv[i]->integer));
      });
      if (same != dict->entries.end())
        same->second = kv[i + 1];
      else
        dict->entries.emplace_back(kv[i], kv[i + 1]);
    }
  }
  void append(Value* list, const std::vector<const Value*>& items) {
    if (!list->is(Value::Type::list) && !list->is(Value::Type::set))
      fail("damaged pickle: items appended to " + list->describe());
    for (const Value* i : items) {
      deepen(list, i);
      list->items.push_back(i);
    }
  }

  Value* global(std::string module, const std::string& name) {
    if (!is_allowed_global(module, name)) {
      if (module == "__builtin__") module = "builtins";
      fail("refused: the file asks to call " + module + "." + name +
           "; a checkpoint holds data only");
    }
    return text(Value::Type::global, module + "." + name);
  }

  // A call the pickle asks for, interpreted as data: nothing is ever executed.
  const Value* call(const Value* fn, const Value* args, bool newobj) {
    if (!fn->is(Value::Type::global)) fail("damaged pickle: it calls " + fn->describe());
    if (!args->is(Value::Type::tuple)) fail("damaged pickle: call arguments are not a tuple");
    const std::string& f = fn->text;
    const auto& a = args->items;
    if (record_classes().count(f)) {
      Value* obj = make(Value::Type::object);
      obj->text = f;
      for (const Value* i : a) deepen(obj, i);
      obj->items = a;
      return obj;
    }
    if (f == "collections.OrderedDict") {
      Value* d = make(Value::Type::dict);
      if (!a.empty() && a[0]->is(Value::Type::list))
        for (const Value* pair : a[0]->items) {
          if (!(pair->is(Value::Type::tuple) || pair->is(Value::Type::list)) ||
              pair->items.size() != 2)
            fail("damaged pickle: an OrderedDict item is not a pair");
          set_items(d, pair->items);
        }
      return d;
    }
    if (f == "__builtin__.set" || f == "builtins.set" || f == "__builtin__.frozenset" ||
        f == "builtins.frozenset") {
      Value* s = make(Value::Type::set);
      if (!a.empty()) {
        if (!a[0]->is(Value::Type::list) && !a[0]->is(Value::Type::tuple))
          fail("damaged pickle: a set built from " + a[0]->describe());
        append(s, a[0]->items);
      }
      return s;
    }
    if (newobj) fail("damaged pickle: " + f + " cannot be created as an object");
    if (f == "torch.Size") {
      if (a.size() != 1 || !a[0]->is(Value::Type::tuple)) fail("damaged pickle: bad torch.Size");
      return a[0];
    }
    if (f == "torch._utils._rebuild_tensor_v2") return rebuild_tensor(a);
    if (f == "torch._utils._rebuild_parameter") {
      if (a.empty() || !a[0]->is(Value::Type::tensor))
        fail("damaged pickle: a parameter without a tensor");
      return a[0];
    }
    if (f == "numpy.dtype") {
      if (a.empty() || !a[0]->is(Value::Type::string)) fail("damaged pickle: bad numpy dtype");
      Value* d = make(Value::Type::dtype);
      d->text = a[0]->text;
      return d;
    }
    if (f == "numpy.core.multiarray.scalar" || f == "numpy._core.multiarray.scalar")
      return numpy_scalar(a);
    fail("damaged pickle: " + f + " is not something to call");
  }

  const Value* numpy_scalar(const std::vector<const Value*>& a) {
    if (a.size() != 2 || !a[0]->is(Value::Type::dtype) || !a[1]->is(Value::Type::bytes))
      fail("damaged pickle: bad numpy scalar");
    const std::string& code = a[0]->text;
    const std::string& b = a[1]->text;
    if ((code == "f8" || code == "i8") && b.size() == 8) {
      const uint64_t bits = le(b, 0, 8);
      if (code == "i8") return integer(int64_t(bits));
      Value* v = make(Value::Type::real);
      std::memcpy(&v->real, &bits, 8);
      return v;
    }
    if ((code == "f4" || code == "i4") && b.size() == 4) {
      const uint32_t bits = uint32_t(le(b, 0, 4));
      if (code == "i4") return integer(int32_t(bits));
      float f;
      std::memcpy(&f, &bits, 4);
      Value* v = make(Value::Type::real);
      v->real = f;
      return v;
    }
    if (code == "b1" && b.size() == 1) {
      Value* v = make(Value::Type::boolean);
      v->boolean = b[0] != 0;
      return v;
    }
    fail("unsupported numpy scalar of type " + code.substr(0, 8));
  }

  static int64_t whole(const Value* v, const char* what) {
    if (!v->is(Value::Type::integer))
      fail(std::string("damaged pickle: a tensor's ") + what + " is not an integer");
    return v->integer;
  }

  const Value* rebuild_tensor(const std::vector<const Value*>& a) {
    if (a.size() < 4 || !a[0]->is(Value::Type::storage) || !a[2]->is(Value::Type::tuple) ||
        !a[3]->is(Value::Type::tuple))
      fail("damaged pickle: bad tensor rebuild");
    Value* t = make(Value::Type::tensor);
    TensorRef& r = t->tensor;
    r.storage = a[0]->storage;
    r.offset = whole(a[1], "offset");
    if (a[2]->items.size() != a[3]->items.size() || a[2]->items.size() > size_t(kMaxTensorDims))
      fail("damaged pickle: a tensor's sizes and strides disagree");
    // Every element the view can reach lies inside its storage.
    constexpr int64_t kHuge = int64_t(1) << 40;
    if (r.offset < 0 || r.offset > kHuge) fail("damaged pickle: a tensor's offset is out of range");
    int64_t last = r.offset, count = 1;
    for (size_t i = 0; i < a[2]->items.size(); ++i) {
      const int64_t size = whole(a[2]->items[i], "size"), stride = whole(a[3]->items[i], "stride");
      if (size < 0 || size > kHuge || stride < 0 || stride > kHuge)
        fail("damaged pickle: a tensor's size or stride is out of range");
      r.sizes.push_back(size);
      r.strides.push_back(stride);
      count = size == 0 ? 0 : std::min(count * size, kHuge + 1);
      if (size > 0) last += (size - 1) * stride;
      if (last > kHuge) fail("damaged pickle: a tensor reaches beyond any storage");
    }
    if (count > 0 && last >= r.storage->numel)
      fail("damaged: a tensor of " + std::to_string(count) + " elements reaches element " +
           std::to_string(last) + " of storage " + r.storage->key + ", which holds " +
           std::to_string(r.storage->numel));
    return t;
  }

  // ('storage', <torch.XStorage>, key, location, numel): the bytes of archive entry data/<key>.
  const Value* persistent(const Value* pid) {
    if (!pid->is(Value::Type::tuple) || pid->items.size() != 5 ||
        !pid->items[0]->is(Value::Type::string) || pid->items[0]->text != "storage" ||
        !pid->items[1]->is(Value::Type::global) || !pid->items[2]->is(Value::Type::string) ||
        !pid->items[4]->is(Value::Type::integer))
      fail("damaged pickle: a persistent reference that is not a storage");
    const std::string& type = pid->items[1]->text;
    const auto dot = type.rfind('.');
    auto dt = storage_types().find(type.substr(dot + 1));
    if (type.rfind("torch.", 0) != 0 || dt == storage_types().end())
      fail("damaged pickle: storage of type " + type);
    const std::string& key = pid->items[2]->text;
    const int64_t numel = pid->items[4]->integer;
    Storage*& s = storages_[key];
    if (!s) {
      if (storages_.size() > kMaxEntries) fail("refused: too many storages");
      const std::string entry = out_.prefix_ + "/data/" + key;
      if (!zip_.has(entry)) fail("damaged: storage " + key + " has no entry in the archive");
      const auto bytes = zip_.read(entry);
      if (numel < 0 || uint64_t(numel) * uint64_t(dtype_size(dt->second)) != bytes.size())
        fail("damaged: storage " + key + " claims " + std::to_string(numel) + " " +
             dtype_name(dt->second) + " values, its entry holds " + std::to_string(bytes.size()) +
             " bytes");
      out_.storages_.push_back(std::make_unique<Storage>(Storage{key, dt->second, numel, bytes}));
      s = out_.storages_.back().get();
    } else if (s->dtype != dt->second || s->numel != numel) {
      fail("damaged: storage " + key + " is referred to with two types or sizes");
    }
    Value* v = make(Value::Type::storage);
    v->storage = s;
    return v;
  }

  void build(Value* obj, const Value* state) {
    if (obj->is(Value::Type::object)) {
      deepen(obj, state);
      obj->state = state;
      return;
    }
    // A numpy dtype's state (byte order, field names ...) changes nothing we read.
    if (obj->is(Value::Type::dtype)) return;
    // A tensor's BUILD carries Python attributes set on it; its data is already complete.
    if (obj->is(Value::Type::tensor)) return;
    if (obj->is(Value::Type::dict) && state->is(Value::Type::dict)) {
      for (const auto& [k, v] : state->entries) set_items(obj, {k, v});
      return;
    }
    fail("damaged pickle: state given to " + obj->describe());
  }
};

std::string torch_save_prefix(std::string_view bytes) {
  try {
    ZipArchive zip(bytes);
    std::string prefix;
    for (const auto& name : zip.names()) {
      const auto slash = name.find('/');
      if (slash != std::string::npos && name.substr(slash) == "/data.pkl" && prefix.empty())
        prefix = name.substr(0, slash);
    }
    // LibTorch's module archives (our own checkpoints among them) hold code and constants.
    if (prefix.empty() || zip.has(prefix + "/constants.pkl")) return "";
    return prefix;
  } catch (const EngineError&) {
    return "";
  }
}

Unpickled read_pt_bytes(std::string bytes) {
  Unpickled out;
  out.bytes_ = std::move(bytes);
  ZipArchive zip(out.bytes_);
  for (const auto& name : zip.names()) {
    const auto slash = name.find('/');
    if (slash != std::string::npos && name.substr(slash) == "/data.pkl") {
      out.prefix_ = name.substr(0, slash);
      break;
    }
  }
  if (out.prefix_.empty()) fail("not a PyTorch checkpoint (the zip archive holds no data.pkl)");
  if (zip.has(out.prefix_ + "/byteorder") && zip.read(out.prefix_ + "/byteorder") != "little")
    fail("its tensors are stored big-endian, which this reader does not convert");
  Reader reader(out, zip);
  out.root_ = reader.run(zip.read(out.prefix_ + "/data.pkl"));
  return out;
}

Unpickled read_pt_file(const std::filesystem::path& path, std::uint64_t max_bytes) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) throw EngineError("weights file not found: " + path.string());
  if (size > max_bytes)
    throw EngineError(path.string() + ": refused: " + std::to_string(size >> 20) +
                      " MB is larger than any checkpoint this program reads");
  std::string bytes(size, '\0');
  std::ifstream in(path, std::ios::binary);
  if (!in.read(bytes.data(), std::streamsize(size)))
    throw EngineError(path.string() + ": cannot be read");
  try {
    return read_pt_bytes(std::move(bytes));
  } catch (const EngineError& e) {
    throw EngineError(path.string() + ": " + e.what());
  }
}

}  // namespace orvane::engine::pt
