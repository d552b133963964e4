#include "engine/ecosystem_weights.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "engine/error.h"
#include "engine/limits.h"
#include "engine/logger.h"

namespace orvane::engine {

namespace fs = std::filesystem;
using pt::Value;
using Type = pt::Value::Type;

namespace {

// The layers of a family's yaml, `from` and module per layer, backbone then head: enough to tell
// the families apart and to refuse a yaml someone edited into something we do not build.
struct Layer {
  std::vector<int> from;
  int repeats;
  std::string module;
};

const std::vector<Layer>& yolov8_layers() {
  static const std::vector<Layer> layers{
      {{-1}, 1, "Conv"}, {{-1}, 1, "Conv"},        {{-1}, 3, "C2f"},
      {{-1}, 1, "Conv"}, {{-1}, 6, "C2f"},         {{-1}, 1, "Conv"},
      {{-1}, 6, "C2f"},  {{-1}, 1, "Conv"},        {{-1}, 3, "C2f"},
      {{-1}, 1, "SPPF"}, {{-1}, 1, "nn.Upsample"}, {{-1, 6}, 1, "Concat"},
      {{-1}, 3, "C2f"},  {{-1}, 1, "nn.Upsample"}, {{-1, 4}, 1, "Concat"},
      {{-1}, 3, "C2f"},  {{-1}, 1, "Conv"},        {{-1, 12}, 1, "Concat"},
      {{-1}, 3, "C2f"},  {{-1}, 1, "Conv"},        {{-1, 9}, 1, "Concat"},
      {{-1}, 3, "C2f"},  {{15, 18, 21}, 1, ""}};  // the head: Detect or Segment
  return layers;
}

const std::vector<Layer>& yolo11_layers() {
  static const std::vector<Layer> layers{
      {{-1}, 1, "Conv"},       {{-1}, 1, "Conv"},  {{-1}, 2, "C3k2"},
      {{-1}, 1, "Conv"},       {{-1}, 2, "C3k2"},  {{-1}, 1, "Conv"},
      {{-1}, 2, "C3k2"},       {{-1}, 1, "Conv"},  {{-1}, 2, "C3k2"},
      {{-1}, 1, "SPPF"},       {{-1}, 2, "C2PSA"}, {{-1}, 1, "nn.Upsample"},
      {{-1, 6}, 1, "Concat"},  {{-1}, 2, "C3k2"},  {{-1}, 1, "nn.Upsample"},
      {{-1, 4}, 1, "Concat"},  {{-1}, 2, "C3k2"},  {{-1}, 1, "Conv"},
      {{-1, 13}, 1, "Concat"}, {{-1}, 2, "C3k2"},  {{-1}, 1, "Conv"},
      {{-1, 10}, 1, "Concat"}, {{-1}, 2, "C3k2"},  {{16, 19, 22}, 1, ""}};
  return layers;
}

bool same_layers(const std::vector<Layer>& layers, const std::vector<Layer>& family) {
  if (layers.size() != family.size()) return false;
  for (size_t i = 0; i + 1 < layers.size(); ++i)
    if (layers[i].from != family[i].from || layers[i].repeats != family[i].repeats ||
        layers[i].module != family[i].module)
      return false;
  return layers.back().from == family.back().from;
}

// The published scales of YOLOv8 and YOLO11: depth, width, max channels.
struct Scale {
  char letter;
  double depth, width;
  int max_channels;
};
constexpr Scale kV8Scales[] = {{'n', 0.33, 0.25, 1024},
                               {'s', 0.33, 0.50, 1024},
                               {'m', 0.67, 0.75, 768},
                               {'l', 1.00, 1.00, 512},
                               {'x', 1.00, 1.25, 512}};
constexpr Scale kYolo11Scales[] = {{'n', 0.50, 0.25, 1024},
                                   {'s', 0.50, 0.50, 1024},
                                   {'m', 0.50, 1.00, 512},
                                   {'l', 1.00, 1.00, 512},
                                   {'x', 1.00, 1.50, 512}};

std::optional<double> number(const Value* v) {
  if (!v) return std::nullopt;
  if (v->is(Type::integer)) return double(v->integer);
  if (v->is(Type::real)) return v->real;
  return std::nullopt;
}

std::string string_of(const Value* v) { return v && v->is(Type::string) ? v->text : ""; }

// Every module name the yaml uses, in order.
std::vector<Layer> yaml_layers(const Value& yaml) {
  std::vector<Layer> out;
  for (const char* part : {"backbone", "head"}) {
    const Value* list = yaml.get(part);
    if (!list || !list->is(Type::list)) throw EngineError(std::string("its yaml has no ") + part);
    for (const Value* row : list->items) {
      if (!row->is(Type::list) || row->items.size() < 3)
        throw EngineError(std::string("its yaml's ") + part + " has a malformed layer");
      Layer l;
      const Value* from = row->items[0];
      if (from->is(Type::integer)) {
        l.from.push_back(int(from->integer));
      } else if (from->is(Type::list)) {
        for (const Value* f : from->items)
          l.from.push_back(f->is(Type::integer) ? int(f->integer) : 0);
      }
      l.repeats = row->items[1]->is(Type::integer) ? int(row->items[1]->integer) : 0;
      l.module = string_of(row->items[2]);
      out.push_back(std::move(l));
    }
  }
  return out;
}

std::string task_of_head(const std::string& head) {
  if (head == "Pose") return "pose";
  if (head == "Classify") return "classification";
  if (head == "OBB") return "oriented-box";
  if (head == "WorldDetect") return "open-vocabulary (YOLO-World)";
  return "";
}

template <size_t N>
char scale_from(const Value& yaml, const Scale (&table)[N], const std::string& family) {
  const Value* scales = yaml.get("scales");
  std::string scale = string_of(yaml.get("scale"));
  if (scale.empty()) {
    // Without `scale` the ecosystem takes the letter of the yaml's file name.
    const std::string file = string_of(yaml.get("yaml_file"));
    static const std::string letters = "nsmlx";
    const auto at = file.find_first_of("0123456789");
    if (at != std::string::npos) {
      const auto end = file.find_first_not_of("0123456789", at);
      if (end != std::string::npos && letters.find(file[end]) != std::string::npos)
        scale = std::string(1, file[end]);
    }
  }
  if (!scale.empty()) {
    if (scale.size() != 1) throw EngineError("its yaml names the unknown scale '" + scale + "'");
    for (const auto& s : table) {
      if (s.letter != scale[0]) continue;
      // The file's own table must agree with the published one we build.
      if (scales && scales->is(Type::dict)) {
        const Value* row = scales->get(scale);
        if (row && row->is(Type::list) && row->items.size() == 3) {
          const auto d = number(row->items[0]), w = number(row->items[1]),
                     c = number(row->items[2]);
          if (!d || !w || !c || std::abs(*d - s.depth) > 1e-6 || std::abs(*w - s.width) > 1e-6 ||
              int(*c) != s.max_channels)
            throw EngineError("its yaml gives scale " + scale +
                              " other multiples than the published " + family + " " + scale);
        }
      }
      return s.letter;
    }
    throw EngineError("its yaml names the unknown scale '" + scale + "'");
  }
  // Older files give the multiples themselves.
  const auto d = number(yaml.get("depth_multiple")), w = number(yaml.get("width_multiple"));
  if (d && w)
    for (const auto& s : table)
      if (std::abs(*d - s.depth) < 1e-6 && std::abs(*w - s.width) < 1e-6) return s.letter;
  throw EngineError("its yaml gives no scale this program builds");
}

}  // namespace

ModelSpec map_ecosystem_architecture(const Value& model, const std::string& what) {
  const std::string cls = model.text.substr(model.text.rfind('.') + 1);
  const Value* yaml = model.get("yaml");
  if (!yaml || !yaml->is(Type::dict)) throw EngineError("its network has no yaml architecture");
  const auto layers = yaml_layers(*yaml);
  const std::string head = layers.empty() ? "" : layers.back().module;
  std::string task = task_of_head(head);
  if (task.empty() && cls == "PoseModel") task = "pose";
  if (task.empty() && cls == "ClassificationModel") task = "classification";
  if (task.empty() && cls == "OBBModel") task = "oriented-box";
  if (!task.empty())
    throw EngineError(what + " is a YOLO " + task +
                      " model; Orvane Studio trains and runs detection and segmentation models");
  if (head != "Detect" && head != "Segment")
    throw EngineError("unknown architecture: its last layer is '" + head +
                      "', not a detection or segmentation head");

  ModelSpec arch;
  const bool is_v8 = same_layers(layers, yolov8_layers());
  const bool is_11 = same_layers(layers, yolo11_layers());
  if (!is_v8 && !is_11)
    throw EngineError("unknown architecture: its layers are not those of YOLOv8 or YOLO11 (" +
                      std::to_string(layers.size()) + " layers, yaml '" +
                      string_of(yaml->get("yaml_file")) + "')");
  arch.family = is_v8 ? Family::yolov8 : Family::yolo11;
  arch.scale =
      is_v8 ? scale_from(*yaml, kV8Scales, "YOLOv8") : scale_from(*yaml, kYolo11Scales, "YOLO11");
  arch.task = head == "Segment" ? Task::segment : Task::detect;
  if (head == "Segment") {
    // Segment(nc, masks, prototype channels): ours has 32 masks and the published widths.
    const Value* args = yaml->get("head")->items.back()->items.size() > 3
                            ? yaml->get("head")->items.back()->items[3]
                            : nullptr;
    if (args && args->is(Type::list) && args->items.size() >= 2 &&
        args->items[1]->is(Type::integer) && args->items[1]->integer != kNumMasks)
      throw EngineError("unknown architecture: a segmentation head with " +
                        std::to_string(args->items[1]->integer) + " masks (ours has " +
                        std::to_string(kNumMasks) + ")");
  }
  const Value* nc = yaml->get("nc");
  if (!nc || !nc->is(Type::integer) || nc->integer < 1 || nc->integer > kMaxClasses)
    throw EngineError("its yaml gives no valid class count (nc)");
  arch.nc = int(nc->integer);
  return arch;
}

namespace {

// Parameters and persistent buffers of a module record and its submodules, by dotted path.
void collect_tensors(const Value& module, const std::string& prefix, int depth,
                     std::map<std::string, const pt::TensorRef*>& out) {
  if (depth > 32) throw EngineError("its modules nest too deeply");
  if (!module.is(Type::object)) return;
  std::vector<std::string> transient;
  if (const Value* np = module.get("_non_persistent_buffers_set"); np && np->is(Type::set))
    for (const Value* n : np->items) transient.push_back(string_of(n));
  for (const char* kind : {"_parameters", "_buffers"}) {
    const Value* d = module.get(kind);
    if (!d || !d->is(Type::dict)) continue;
    for (const auto& [k, v] : d->entries) {
      if (!k->is(Type::string) || v->is(Type::none)) continue;
      if (std::find(transient.begin(), transient.end(), k->text) != transient.end()) continue;
      if (!v->is(Type::tensor))
        throw EngineError("its " + prefix + k->text + " is " + v->describe() + ", not a tensor");
      out[prefix + k->text] = &v->tensor;
    }
  }
  if (const Value* m = module.get("_modules"); m && m->is(Type::dict))
    for (const auto& [k, v] : m->entries)
      if (k->is(Type::string) && !v->is(Type::none))
        collect_tensors(*v, prefix + k->text + ".", depth + 1, out);
}

}  // namespace

std::string ecosystem_parameter_name(const std::string& name, Family family) {
  // The ecosystem's DFL keeps its fixed projection in a convolution; our YOLOv8's is a bare
  // parameter (our YOLO11 head keeps the ecosystem's path).
  const std::string dfl = ".dfl.conv.weight";
  if (family == Family::yolov8 && name.size() > dfl.size() &&
      name.compare(name.size() - dfl.size(), dfl.size(), dfl) == 0)
    return name.substr(0, name.size() - dfl.size()) + ".dfl.weight";
  return name;
}

std::string shape_text(c10::IntArrayRef sizes) {
  std::string s = "[";
  for (size_t i = 0; i < sizes.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(sizes[i]);
  }
  s += ']';
  return s;
}

torch::Tensor ecosystem_tensor(const pt::TensorRef& r) {
  static const std::map<pt::DType, torch::ScalarType> types{
      {pt::DType::float16, torch::kHalf},  {pt::DType::bfloat16, torch::kBFloat16},
      {pt::DType::float32, torch::kFloat}, {pt::DType::float64, torch::kDouble},
      {pt::DType::int64, torch::kLong},    {pt::DType::int32, torch::kInt},
      {pt::DType::int16, torch::kShort},   {pt::DType::int8, torch::kChar},
      {pt::DType::uint8, torch::kByte},    {pt::DType::boolean, torch::kBool}};
  // Copied into an aligned tensor first: archive entries need not be aligned for the type.
  auto storage = torch::empty({r.storage->numel}, types.at(r.storage->dtype));
  std::memcpy(storage.data_ptr(), r.storage->bytes.data(), r.storage->bytes.size());
  return storage.as_strided(r.sizes, r.strides, r.offset).clone();
}

namespace {

std::vector<std::string> names_of(const Value* names, int nc) {
  std::vector<std::string> out(static_cast<size_t>(nc));
  if (names && names->is(Type::dict)) {
    for (const auto& [k, v] : names->entries)
      if (k->is(Type::integer) && k->integer >= 0 && k->integer < nc && v->is(Type::string))
        out[size_t(k->integer)] = v->text;
  } else if (names && names->is(Type::list)) {
    for (size_t i = 0; i < names->items.size() && i < out.size(); ++i)
      out[i] = string_of(names->items[i]);
  }
  for (int i = 0; i < nc; ++i)
    if (out[size_t(i)].empty()) out[size_t(i)] = "class" + std::to_string(i);
  return out;
}

std::string scalar_text(const Value* v) {
  switch (v->type) {
    case Type::string:
      return v->text;
    case Type::integer:
      return std::to_string(v->integer);
    case Type::real: {
      std::ostringstream s;
      s << v->real;
      return s.str();
    }
    case Type::boolean:
      return v->boolean ? "true" : "false";
    default:
      return "";
  }
}

}  // namespace

LoadedCheckpoint ecosystem_checkpoint(const pt::Unpickled& file, const fs::path& path) {
  const std::string what = path.filename().string();
  const Value& root = file.root();
  try {
    const Value* model = &root;
    if (root.is(Type::dict)) {
      model = root.get("model");
      if (!model || model->is(Type::none)) model = root.get("ema");
    }
    if (!model || !model->is(Type::object))
      throw EngineError("not a YOLO checkpoint: it holds no network under 'model' or 'ema'");
    const auto arch = map_ecosystem_architecture(*model, what);
    const int nc = arch.nc;

    LoadedCheckpoint loaded;
    loaded.foreign = true;
    if (root.is(Type::dict))
      if (const Value* optimizer = root.get("optimizer"); optimizer && !optimizer->is(Type::none))
        loaded.has_optimizer = true;
    CheckpointMeta& meta = loaded.meta;
    meta.arch = arch;
    meta.names = names_of(model->get("names"), nc);

    // The strides our head decodes with; a file with others would decode every box wrongly.
    if (const Value* stride = model->get("stride"); stride && stride->is(Type::tensor)) {
      const auto s = ecosystem_tensor(stride->tensor).to(torch::kFloat).flatten();
      if (s.numel() != 3 || s[0].item<float>() != 8 || s[1].item<float>() != 16 ||
          s[2].item<float>() != 32)
        throw EngineError("its strides are " + shape_text(s.to(torch::kLong).sizes()) +
                          ", not 8, 16, 32");
    }

    std::map<std::string, const pt::TensorRef*> tensors;
    collect_tensors(*model, "", 0, tensors);
    std::map<std::string, const pt::TensorRef*> renamed;
    for (const auto& [k, v] : tensors) renamed[ecosystem_parameter_name(k, arch.family)] = v;

    loaded.model = YoloModel(arch, meta.names);
    torch::NoGradGuard no_grad;
    size_t filled = 0;
    auto fill = [&](const std::string& name, torch::Tensor& place) {
      auto it = renamed.find(name);
      if (it == renamed.end())
        throw EngineError("its tensors do not match its own yaml: " + arch.name() +
                          " needs " + name + ", which the file lacks");
      if (c10::IntArrayRef(it->second->sizes) != place.sizes())
        throw EngineError("its tensors do not match its own yaml: " + name + " is " +
                          shape_text(it->second->sizes) + ", " + arch.name() + " needs " +
                          shape_text(place.sizes()));
      auto value = ecosystem_tensor(*it->second).to(place.scalar_type());
      if (value.is_floating_point() && !torch::isfinite(value).all().item<bool>())
        throw EngineError(name + " holds values that are not finite numbers");
      // The ecosystem's EMA copy counts 1 batch; our BatchNorm warm-up would then average its
      // trained statistics away over the first batches of fine-tuning. They are trained ones.
      if (name.size() > 19 && name.compare(name.size() - 19, 19, "num_batches_tracked") == 0)
        value = torch::clamp_min(value, int64_t(std::ceil(1.0 / kBnMomentum)) + 1);
      place.copy_(value);
      ++filled;
    };
    for (auto& p : loaded.model->named_parameters(true)) fill(p.key(), p.value());
    for (auto& b : loaded.model->named_buffers(true)) fill(b.key(), b.value());
    if (filled != renamed.size()) {
      for (const auto& [k, v] : renamed) {
        if (!loaded.model->named_parameters(true).contains(k) &&
            !loaded.model->named_buffers(true).contains(k))
          throw EngineError("its tensors do not match its own yaml: it holds " + k + ", which " +
                            arch.name() + " has no place for");
      }
    }
    loaded.model->eval();

    // The training image size: from the run's arguments, else the network's own.
    meta.imgsz = 640;
    for (const Value* args : {root.get("train_args"), model->get("args")}) {
      if (!args) continue;
      if (const Value* imgsz = args->get("imgsz");
          imgsz && imgsz->is(Type::integer) && imgsz->integer >= 32 && imgsz->integer <= 8192) {
        meta.imgsz = int(imgsz->integer);
        break;
      }
    }
    if (const Value* args = root.get("train_args"); args && args->is(Type::dict))
      for (const auto& [k, v] : args->entries)
        if (k->is(Type::string) && !v->is(Type::none)) meta.train_args[k->text] = scalar_text(v);
    if (const Value* epoch = root.get("epoch"); epoch && epoch->is(Type::integer))
      meta.epoch = int(std::clamp<int64_t>(epoch->integer, -1, 1 << 30));
    if (auto fit = number(root.get("best_fitness"))) meta.best_fitness = *fit;
    // A resume needs the planned epochs and the EMA's update count (its decay ramp).
    if (const Value* args = root.get("train_args"); args && args->is(Type::dict))
      if (const Value* epochs = args->get("epochs");
          epochs && epochs->is(Type::integer) && epochs->integer > 0 && epochs->integer < (1 << 30))
        meta.epochs = int(epochs->integer);
    if (const Value* updates = root.get("updates"); updates && updates->is(Type::integer))
      meta.ema_updates = std::max<int64_t>(updates->integer, 0);
    meta.date = string_of(root.get("date"));
    return loaded;
  } catch (const EngineError& e) {
    const std::string message = e.what();
    // Refusals that start with the file's own name read as they are.
    if (message.rfind(what + " is a", 0) == 0) throw;
    throw EngineError(path.string() + ": " + message);
  } catch (const c10::Error& e) {
    const std::string message = e.what();
    throw EngineError(path.string() + ": damaged (" + message.substr(0, message.find('\n')) + ")");
  }
}

LoadedCheckpoint load_weights(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) throw EngineError("weights file not found: " + path.string());
  std::string head(4, '\0');
  {
    std::ifstream in(path, std::ios::binary);
    in.read(head.data(), 4);
  }
  if (head.compare(0, 2, "PK") != 0) return load_checkpoint(path);  // its message names the fault
  const auto size = fs::file_size(path, ec);
  if (ec || size > (std::uint64_t(4) << 30)) return load_checkpoint(path);
  std::string bytes(size, '\0');
  {
    std::ifstream in(path, std::ios::binary);
    if (!in.read(bytes.data(), std::streamsize(size)))
      throw EngineError(path.string() + ": cannot be read");
  }
  // A cut or damaged archive of either kind is named here, before either reader looks inside.
  try {
    pt::ZipArchive zip(bytes);
  } catch (const EngineError& e) {
    throw EngineError(path.string() + ": " + e.what());
  }
  if (pt::torch_save_prefix(bytes).empty()) return load_checkpoint(path);
  pt::Unpickled file = [&] {
    try {
      return pt::read_pt_bytes(std::move(bytes));
    } catch (const EngineError& e) {
      throw EngineError(path.string() + ": " + e.what());
    }
  }();
  auto loaded = ecosystem_checkpoint(file, path);
  LOGGER.info("Loaded " + path.filename().string() + ": the YOLO ecosystem's " +
              loaded.meta.arch.name() + ", " + std::to_string(loaded.meta.arch.nc) +
              (loaded.meta.arch.nc == 1 ? " class" : " classes") + ", trained at imgsz " +
              std::to_string(loaded.meta.imgsz));
  return loaded;
}

}  // namespace orvane::engine
