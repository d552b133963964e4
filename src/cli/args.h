#pragma once
// key=value arguments of the orvane tool.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orvane::cli {

// A bad value or an unknown key; main prints its message on one line and exits non-zero.
struct ArgError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One documented key of a verb, for `orvane VERB help` and for rejecting unknown keys.
struct KeyHelp {
  std::string key;
  std::string default_value;  // "" means no default
  std::string help;
};

class Args {
 public:
  // Parses "key=value" words; a word without "=" is an ArgError. Keys not in `keys` are an
  // ArgError too, so a typo never silently falls back to a default.
  Args(const std::vector<std::string>& words, const std::vector<KeyHelp>& keys);

  bool has(const std::string& key) const;  // given on the command line (even if empty)
  // The given value, else the key's default from the keys.
  std::string str(const std::string& key) const;
  int integer(const std::string& key) const;
  double real(const std::string& key) const;
  bool boolean(const std::string& key) const;                     // true/false
  std::pair<double, double> range(const std::string& key) const;  // "min,max"
  std::vector<std::string> list(const std::string& key) const;    // "a,b,c"

 private:
  std::map<std::string, std::string> values_;
  std::vector<KeyHelp> key_helps_;
};

// A default value as a key=value word carries it: whole numbers plainly, real numbers as their
// shortest exact text (0.01 as "0.01").
std::string default_text(int value);
std::string default_text(double value);

// Prints "orvane VERB key=default ..." with one line of help per key.
std::string format_help(const std::string& verb, const std::string& summary,
                        const std::vector<KeyHelp>& keys);

}  // namespace orvane::cli
