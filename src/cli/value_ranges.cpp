#include "cli/value_ranges.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "files/text_format.h"

namespace orvane::cli {

using training::ValueRange;

std::string range_text(const ValueRange& r) {
  const std::string lo = default_text(r.min), hi = default_text(r.max);
  std::string text;
  if (r.max >= training::kUnbounded) {
    text.append(r.min_open ? "more than " : "at least ").append(lo);
  } else if (!r.min_open && !r.max_open) {
    text.append("from ").append(lo).append(" to ").append(hi);
  } else {
    text.append(r.min_open ? "more than " : "at least ").append(lo).append(" and ");
    text.append(r.max_open ? "less than " : "at most ").append(hi);
  }
  if (r.has_special) {
    text.append(", or ").append(default_text(r.special));
    if (!r.special_meaning.empty()) text.append(" ").append(r.special_meaning);
  }
  return text;
}

std::string range_refusal(const std::string& key, const std::string& value,
                          const ValueRange& r) {
  const std::string what = r.meaning.empty() ? key : std::string(r.meaning);
  return key + "=" + value + ": " + what + " must be " + range_text(r);
}

namespace {

// The value as a number of the row's kind; ArgError when it is none.
double number(const std::string& key, const std::string& value, const ValueRange& r) {
  if (r.whole) {
    long long whole = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), whole);
    if (ec != std::errc() || end != value.data() + value.size())
      throw ArgError(key + "=" + value + " is not a whole number");
    return double(whole);
  }
  try {
    size_t used = 0;
    const double v = std::stod(value, &used);
    if (used == value.size() && std::isfinite(v)) return v;
  } catch (const std::exception&) {
  }
  throw ArgError(key + "=" + value + " is not a number");
}

}  // namespace

void check_ranges(const Args& args, const std::vector<KeyHelp>& keys) {
  for (const KeyHelp& k : keys) {
    const ValueRange* r = training::training_range(k.key);
    if (!r || k.key == "imgsz") continue;
    const std::string value = args.str(k.key);
    if (value.empty()) continue;  // an optional key left out
    if (!r->contains(number(k.key, value, *r))) throw ArgError(range_refusal(k.key, value, *r));
  }
}

void check_optimizer(const std::string& optimizer) {
  std::vector<std::string> names;
  for (const char* name : training::kOptimizers) {
    if (optimizer == name) return;
    names.push_back(name);
  }
  const std::string near = files::nearest_name(optimizer, names);
  throw ArgError("optimizer=" + optimizer + " is not an optimizer" +
                 (near.empty() ? std::string() : "; did you mean " + near + "?") +
                 " (use SGD, Adam, AdamW or auto)");
}

}  // namespace orvane::cli
