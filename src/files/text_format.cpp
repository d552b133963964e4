#include "files/text_format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace orvane::files {

namespace {

// Optimal string alignment distance, letter case ignored: a swapped pair of neighbours is one
// edit, the commonest typing slip.
int edit_distance(const std::string& a, const std::string& b) {
  auto same = [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) ==
                                          std::tolower(static_cast<unsigned char>(y)); };
  const size_t n = a.size(), m = b.size();
  std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
  for (size_t i = 0; i <= n; ++i) d[i][0] = int(i);
  for (size_t j = 0; j <= m; ++j) d[0][j] = int(j);
  for (size_t i = 1; i <= n; ++i)
    for (size_t j = 1; j <= m; ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[n][m];
}

}  // namespace

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string_view native_line_end() {
#ifdef _WIN32
  return "\r\n";
#else
  return "\n";
#endif
}

std::string json_quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string utc_timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string nearest_name(const std::string& word, const std::vector<std::string>& known,
                         int max_distance) {
  std::string best;
  int best_distance = max_distance + 1;
  bool tied = false;
  for (const std::string& name : known) {
    const int d = edit_distance(word, name);
    if (d < best_distance) {
      best = name;
      best_distance = d;
      tied = false;
    } else if (d == best_distance) {
      tied = true;
    }
  }
  // Two names equally near: naming one would be a guess.
  return tied || best_distance > max_distance ? std::string() : best;
}

}  // namespace orvane::files
