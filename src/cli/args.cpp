#include "cli/args.h"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "files/text_format.h"

namespace orvane::cli {

Args::Args(const std::vector<std::string>& words, const std::vector<KeyHelp>& keys)
    : key_helps_(keys) {
  for (const std::string& word : words) {
    const auto eq = word.find('=');
    if (eq == std::string::npos || eq == 0)
      throw ArgError("expected key=value, got '" + word + "'");
    const std::string key = word.substr(0, eq);
    const bool known =
        std::any_of(key_helps_.begin(), key_helps_.end(), [&](const KeyHelp& s) { return s.key == key; });
    if (!known) {
      std::vector<std::string> names;
      for (const KeyHelp& s : key_helps_) names.push_back(s.key);
      const std::string near = files::nearest_name(key, names);
      throw ArgError("unknown key '" + key + "'" +
                     (near.empty() ? std::string() : "; did you mean " + near + "?") +
                     " (see help)");
    }
    values_[key] = word.substr(eq + 1);
  }
}

bool Args::has(const std::string& key) const { return values_.count(key) > 0; }

std::string Args::str(const std::string& key) const {
  if (auto it = values_.find(key); it != values_.end()) return it->second;
  for (const KeyHelp& s : key_helps_)
    if (s.key == key) return s.default_value;
  return {};
}

int Args::integer(const std::string& key) const {
  const std::string v = str(key);
  int out = 0;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (ec != std::errc() || ptr != v.data() + v.size())
    throw ArgError(key + "=" + v + " is not a whole number");
  return out;
}

double Args::real(const std::string& key) const {
  const std::string v = str(key);
  try {
    size_t used = 0;
    const double out = std::stod(v, &used);
    if (used == v.size()) return out;
  } catch (const std::exception&) {
  }
  throw ArgError(key + "=" + v + " is not a number");
}

bool Args::boolean(const std::string& key) const {
  const std::string v = str(key);
  if (v == "true") return true;
  if (v == "false") return false;
  throw ArgError(key + "=" + v + " must be true or false");
}

std::vector<std::string> Args::list(const std::string& key) const {
  std::vector<std::string> out;
  std::stringstream ss(str(key));
  std::string item;
  while (std::getline(ss, item, ','))
    if (!item.empty()) out.push_back(item);
  return out;
}

std::pair<double, double> Args::range(const std::string& key) const {
  const std::string v = str(key);
  const auto comma = v.find(',');
  if (comma == std::string::npos) throw ArgError(key + "=" + v + " must be min,max");
  try {
    size_t a = 0, b = 0;
    const std::string lo = v.substr(0, comma), hi = v.substr(comma + 1);
    const double min = std::stod(lo, &a), max = std::stod(hi, &b);
    if (a == lo.size() && b == hi.size()) return {min, max};
  } catch (const std::exception&) {
  }
  throw ArgError(key + "=" + v + " must be min,max");
}

std::string format_help(const std::string& verb, const std::string& summary,
                        const std::vector<KeyHelp>& keys) {
  std::ostringstream out;
  out << "orvane " << verb << " - " << summary << "\n";
  for (const KeyHelp& s : keys) {
    out << "  " << s.key << "=" << s.default_value;
    if (!s.help.empty()) out << "    " << s.help;
    out << "\n";
  }
  return out.str();
}

std::string default_text(int value) { return std::to_string(value); }

std::string default_text(double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

}  // namespace orvane::cli
