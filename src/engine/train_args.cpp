#include "engine/train_args.h"

#include <charconv>
#include <functional>
#include <map>
#include <sstream>

#include "engine/error.h"

namespace orvane::engine {

namespace {

std::string text(double v) {
  std::ostringstream out;
  out.precision(10);
  out << v;
  return out.str();
}
std::string text(int v) { return std::to_string(v); }
std::string text(bool v) { return v ? "true" : "false"; }
std::string text(const std::string& v) { return v; }
// The shortest text that reads back as the same float: "0.015", not the "0.01499999966" its
// double widening shows (the text goes into help, args.yaml and checkpoints).
std::string text(float v) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
  return std::string(buffer, end);
}
std::string text(std::uint64_t v) { return std::to_string(v); }

void parse(const std::string& key, const std::string& s, double& out) {
  size_t used = 0;
  try {
    out = std::stod(s, &used);
  } catch (const std::exception&) {  // no number, or out of range
    used = std::string::npos;
  }
  if (used != s.size()) throw EngineError("'" + key + "' must be a number, not '" + s + "'");
}
void parse(const std::string& key, const std::string& s, float& out) {
  double d;
  parse(key, s, d);
  out = float(d);
}
void parse(const std::string& key, const std::string& s, int& out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc() || p != s.data() + s.size())
    throw EngineError("'" + key + "' must be a whole number, not '" + s + "'");
}
void parse(const std::string& key, const std::string& s, std::uint64_t& out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc() || p != s.data() + s.size())
    throw EngineError("'" + key + "' must be a non-negative whole number, not '" + s + "'");
}
void parse(const std::string& key, const std::string& s, bool& out) {
  if (s == "true" || s == "True" || s == "1") out = true;
  else if (s == "false" || s == "False" || s == "0") out = false;
  else throw EngineError("'" + key + "' must be true or false, not '" + s + "'");
}
void parse(const std::string&, const std::string& s, std::string& out) { out = s; }

// One table drives both directions so they never drift apart.
template <typename F>
void for_each_option(TrainOptions& o, F&& f) {
  f("data", o.data);
  f("epochs", o.epochs);
  f("imgsz", o.imgsz);
  f("batch", o.batch);
  f("workers", o.workers);
  f("optimizer", o.optimizer);
  f("lr0", o.lr0);
  f("lrf", o.lrf);
  f("momentum", o.momentum);
  f("weight_decay", o.weight_decay);
  f("warmup_epochs", o.warmup_epochs);
  f("warmup_momentum", o.warmup_momentum);
  f("warmup_bias_lr", o.warmup_bias_lr);
  f("nbs", o.nbs);
  f("box", o.gains.box);
  f("cls", o.gains.cls);
  f("dfl", o.gains.dfl);
  f("hsv_h", o.hyp.hsv_h);
  f("hsv_s", o.hyp.hsv_s);
  f("hsv_v", o.hyp.hsv_v);
  f("degrees", o.hyp.degrees);
  f("translate", o.hyp.translate);
  f("scale", o.hyp.scale);
  f("shear", o.hyp.shear);
  f("perspective", o.hyp.perspective);
  f("flipud", o.hyp.flipud);
  f("fliplr", o.hyp.fliplr);
  f("mosaic", o.hyp.mosaic);
  f("close_mosaic", o.close_mosaic);
  f("device", o.device);
  f("project", o.project);
  f("name", o.name);
  f("exist_ok", o.exist_ok);
  f("verbose", o.verbose);
  f("seed", o.seed);
  f("patience", o.patience);
  f("val", o.val);
  f("plots", o.plots);
  f("resume", o.resume);
  f("save_period", o.save_period);
  f("threads", o.threads);
  f("profile", o.profile);
  f("amp", o.amp);
  f("nproc", o.nproc);
  f("dist_timeout", o.dist_timeout);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> train_args_list(const TrainOptions& options) {
  std::vector<std::pair<std::string, std::string>> out;
  auto& o = const_cast<TrainOptions&>(options);  // the visitor only reads here
  for_each_option(o, [&](const char* key, auto& value) { out.emplace_back(key, text(value)); });
  return out;
}

void set_train_arg(TrainOptions& options, const std::string& key, const std::string& value) {
  bool found = false;
  for_each_option(options, [&](const char* k, auto& field) {
    if (key == k) {
      parse(key, value, field);
      found = true;
    }
  });
  if (!found) throw EngineError("unknown training option '" + key + "'");
}

}  // namespace orvane::engine
