#include "files/label_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace orvane::files {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::size_t name_start(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? 0 : slash + 1;
}

// Position of the extension's dot in `path`, or npos. Leading dots of the name are skipped, as
// Python's os.path.splitext does: "..png" is all stem.
std::size_t extension_dot(std::string_view path) {
  const std::size_t start = name_start(path);
  std::size_t first = start;
  while (first < path.size() && path[first] == '.') ++first;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot < first) return std::string_view::npos;
  return dot;
}

void append_six_decimals(std::string& out, double value) {
  char buffer[400];  // room for any finite double in fixed notation
  // to_chars is exact: the correctly rounded six-decimal text, exact ties to even.
  const auto end =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  out.append(buffer, end.ptr);
}

void append_coordinate(std::string& out, double value) {
  // "+ 0.0" turns -0.0 into 0.0, so "-0.000000" never appears.
  append_six_decimals(out, std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0) + 0.0);
}

}  // namespace

const std::vector<std::string>& image_extensions() {
  static const std::vector<std::string> exts{".jpg", ".jpeg", ".png", ".bmp", ".webp"};
  return exts;
}

std::string_view file_extension(std::string_view path) {
  const std::size_t dot = extension_dot(path);
  return dot == std::string_view::npos ? std::string_view() : path.substr(dot);
}

bool has_extension_in(std::string_view path, const std::vector<std::string>& extensions) {
  const std::string_view ext = file_extension(path);
  if (ext.empty()) return false;
  std::string lowered(ext);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), lower);
  return std::find(extensions.begin(), extensions.end(), lowered) != extensions.end();
}

bool is_image_path(std::string_view path) { return has_extension_in(path, image_extensions()); }

std::string label_path_for(std::string_view image_path) {
  const std::size_t dot = extension_dot(image_path);
  std::string out(dot == std::string_view::npos ? image_path : image_path.substr(0, dot));
  out += ".txt";
  return out;
}

std::vector<std::string_view> split_label_text(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return split_lines(text);
}

std::vector<std::string> parse_class_names(std::string_view text) {
  std::vector<std::string> names;
  for (std::string_view line : split_label_text(text)) {
    while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
    if (!line.empty()) names.emplace_back(line);
  }
  return names;
}

std::vector<std::string_view> split_label_tokens(std::string_view line, bool commas_separate) {
  std::vector<std::string_view> tokens;
  const auto separator = [commas_separate](char c) {
    return is_space(c) || (commas_separate && c == ',');
  };
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && separator(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !separator(line[i])) ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

std::optional<double> parse_label_number(std::string_view token) {
  // from_chars takes no '+', but other tools write one ("+0.5").
  if (!token.empty() && token.front() == '+') {
    token.remove_prefix(1);
    if (!token.empty() && token.front() == '-') return std::nullopt;
  }
  if (token.empty()) return std::nullopt;
  double value = 0;
  const auto [end, ec] =
      std::from_chars(token.data(), token.data() + token.size(), value, std::chars_format::general);
  if (end != token.data() + token.size()) return std::nullopt;
  // Out of range ("1e999"): from_chars reports it but leaves the value; the number itself is
  // well-formed, so it reads as the infinity (or zero) it rounds to.
  if (ec == std::errc::result_out_of_range) {
    const bool negative = token.front() == '-';
    const std::string_view digits = negative ? token.substr(1) : token;
    const std::size_t e = digits.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && e + 1 < digits.size() && digits[e + 1] == '-';
    value = tiny ? 0.0 : HUGE_VAL;
    return negative ? -value : value;
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

LabelLine parse_label_line(std::string_view line, bool commas_separate) {
  LabelLine parsed;
  const std::vector<std::string_view> tokens = split_label_tokens(line, commas_separate);
  parsed.token_count = tokens.size();
  if (tokens.empty()) return parsed;
  parsed.class_token = tokens[0];

  std::string_view digits = tokens[0];
  const bool negative = !digits.empty() && digits.front() == '-';
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  const bool integer = !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                                      [](char c) { return c >= '0' && c <= '9'; });
  if (integer) {
    unsigned long long magnitude = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    if (ec == std::errc() && end == digits.data() + digits.size() && magnitude <= limit) {
      parsed.class_id =
          negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
    } else {
      parsed.class_overflow = true;
    }
  }

  parsed.coords.reserve(tokens.size() - 1);
  for (std::size_t i = 1; i < tokens.size(); ++i) {
    const std::optional<double> value = parse_label_number(tokens[i]);
    if (!value) {
      parsed.bad_token = tokens[i];
      break;
    }
    parsed.coords.push_back(*value);
  }
  return parsed;
}

std::string format_six_decimals(double value) {
  std::string out;
  append_six_decimals(out, value);
  return out;
}

std::string format_label_coordinate(double value) {
  std::string out;
  append_coordinate(out, value);
  return out;
}

std::string format_polygon_line(long long class_id, const std::vector<double>& xy) {
  std::string line = std::to_string(class_id);
  const std::size_t vertices = xy.size() / 2;
  if (vertices == 0) return line + ' ';
  line.reserve(line.size() + vertices * 18);
  for (std::size_t i = 0; i < vertices; ++i) {
    line += ' ';
    append_coordinate(line, xy[2 * i]);
    line += ' ';
    append_coordinate(line, xy[2 * i + 1]);
  }
  return line;
}

std::string format_box_line(long long class_id, double cx, double cy, double w, double h) {
  std::string line = std::to_string(class_id);
  for (const double v : {cx, cy, w, h}) {
    line += ' ';
    append_coordinate(line, v);
  }
  return line;
}

ClassRemap remap_label_classes(std::string_view text, const std::vector<long long>& new_ids) {
  ClassRemap out;
  out.text.reserve(text.size());
  std::size_t pos = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    out.text.append(text.substr(0, 3));
    pos = 3;
  }
  while (pos < text.size()) {
    // One line and its end (LF, CR LF or a lone CR), kept apart so the end is carried as it is.
    std::size_t end = pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    std::size_t next = end;
    if (next < text.size()) next += (text[next] == '\r' && next + 1 < text.size() &&
                                      text[next + 1] == '\n') ? 2 : 1;
    const std::string_view line = text.substr(pos, end - pos);
    const std::string_view whole = text.substr(pos, next - pos);
    pos = next;
    const LabelLine parsed = parse_label_line(line);
    if (parsed.blank()) {
      out.text.append(whole);
      continue;
    }
    if (!parsed.class_id || *parsed.class_id < 0 ||
        *parsed.class_id >= static_cast<long long>(new_ids.size())) {
      ++out.carried;
      out.text.append(whole);
      continue;
    }
    const long long id = new_ids[static_cast<std::size_t>(*parsed.class_id)];
    if (id < 0) {
      ++out.removed;
      continue;
    }
    if (id == *parsed.class_id) {
      out.text.append(whole);
      continue;
    }
    // class_token points into `line`: replace exactly those bytes.
    const std::size_t at = static_cast<std::size_t>(parsed.class_token.data() - line.data());
    out.text.append(whole.substr(0, at));
    out.text.append(std::to_string(id));
    out.text.append(whole.substr(at + parsed.class_token.size()));
    ++out.renumbered;
  }
  return out;
}

std::string KeypointShape::problem() const {
  if (count < 1 || count > 1000)
    return "kpt_shape needs 1 to 1000 keypoints, not " + std::to_string(count);
  if (dims != 2 && dims != 3)
    return "kpt_shape needs 2 (x y) or 3 (x y visibility) numbers per keypoint, not " +
           std::to_string(dims);
  return "";
}

std::string flip_idx_problem(const std::vector<int>& flip_idx, int count) {
  if (static_cast<int>(flip_idx.size()) != count)
    return "flip_idx lists " + std::to_string(flip_idx.size()) + " keypoints, kpt_shape " +
           std::to_string(count);
  std::vector<bool> seen(flip_idx.size(), false);
  for (const int i : flip_idx) {
    if (i < 0 || i >= count)
      return "flip_idx names keypoint " + std::to_string(i) + " of " + std::to_string(count);
    if (seen[static_cast<std::size_t>(i)])
      return "flip_idx names keypoint " + std::to_string(i) + " twice";
    seen[static_cast<std::size_t>(i)] = true;
  }
  return "";
}

namespace {

bool all_finite(const std::vector<double>& values) {
  for (const double v : values)
    if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

std::optional<std::vector<double>> parse_obb(const LabelLine& line) {
  if (!line.numbers_ok() || line.coords.size() != 8 || !all_finite(line.coords))
    return std::nullopt;
  return line.coords;
}

std::optional<PoseLabel> parse_pose(const LabelLine& line, const KeypointShape& shape) {
  if (!shape.problem().empty() || !line.numbers_ok() || !all_finite(line.coords))
    return std::nullopt;
  const auto& c = line.coords;
  const std::size_t k = static_cast<std::size_t>(shape.count);
  const std::size_t d = static_cast<std::size_t>(shape.dims);
  if (c.size() != 4 + k * d) return std::nullopt;
  PoseLabel pose{c[0], c[1], c[2], c[3], {}};
  pose.keypoints.resize(k);
  for (std::size_t i = 0; i < k; ++i) {
    Keypoint& p = pose.keypoints[i];
    p.x = c[4 + i * d];
    p.y = c[5 + i * d];
    if (d == 3) {
      const double v = c[6 + i * d];
      if (v != 0.0 && v != 1.0 && v != 2.0) return std::nullopt;
      p.visibility = static_cast<int>(v);
    }
  }
  return pose;
}

std::string format_obb_line(long long class_id, const std::vector<double>& corners) {
  std::vector<double> xy(corners.begin(),
                         corners.begin() + std::min<std::size_t>(8, corners.size()));
  xy.resize(8, 0.0);
  return format_polygon_line(class_id, xy);
}

std::string format_pose_line(long long class_id, const PoseLabel& pose,
                             const KeypointShape& shape) {
  std::string line = format_box_line(class_id, pose.cx, pose.cy, pose.w, pose.h);
  for (int i = 0; i < shape.count; ++i) {
    Keypoint p;
    p.visibility = 0;
    if (i < static_cast<int>(pose.keypoints.size()))
      p = pose.keypoints[static_cast<std::size_t>(i)];
    const int v = std::clamp(p.visibility, 0, 2);
    line += ' ';
    append_coordinate(line, v == 0 ? 0.0 : p.x);
    line += ' ';
    append_coordinate(line, v == 0 ? 0.0 : p.y);
    if (shape.dims == 3) {
      line += ' ';
      line += static_cast<char>('0' + v);
    }
  }
  return line;
}

}  // namespace orvane::files
