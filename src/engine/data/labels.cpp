#include "engine/data/labels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace orvane::engine {

std::string label_path_for_image(const std::string& image_path) {
  std::string p = image_path;
  const std::string images = "/images/", labels = "/labels/";
  const auto pos = p.rfind(images);
  if (pos != std::string::npos) p.replace(pos, images.size(), labels);
  const auto slash = p.find_last_of('/');
  const auto dot = p.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) p.erase(dot);
  return p + ".txt";
}

namespace {

// Numbers within 1 % outside 0..1 are sloppy exports; clip them. Further out is a bad line.
constexpr float kTolerance = 0.01f;

bool normalised(float v) { return std::isfinite(v) && v >= -kTolerance && v <= 1.0f + kTolerance; }
float clip01(float v) { return std::clamp(v, 0.0f, 1.0f); }

bool parse_line(const std::string& line, Instance& out) {
  std::vector<double> values;
  const char* s = line.c_str();
  while (true) {
    while (*s == ' ' || *s == '\t' || *s == ',') ++s;
    if (*s == '\0') break;
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s) return false;  // not a number
    values.push_back(v);
    s = end;
  }
  if (values.size() < 5) return false;
  const double c = values[0];
  if (!std::isfinite(c) || c < 0 || c != std::floor(c) || c > 1e6) return false;
  out.cls = static_cast<int>(c);
  const std::size_t coords = values.size() - 1;
  for (std::size_t i = 1; i < values.size(); ++i)
    if (!normalised(static_cast<float>(values[i]))) return false;
  if (coords == 4) {
    const float cx = values[1], cy = values[2], w = values[3], h = values[4];
    const float x1 = clip01(cx - w / 2), y1 = clip01(cy - h / 2);
    const float x2 = clip01(cx + w / 2), y2 = clip01(cy + h / 2);
    if (x2 <= x1 || y2 <= y1) return false;
    out.box = cv::Rect2f(x1, y1, x2 - x1, y2 - y1);
    out.polygon.clear();
    return true;
  }
  if (coords < 6 || coords % 2 != 0) return false;
  out.polygon.clear();
  float x1 = 1, y1 = 1, x2 = 0, y2 = 0;
  for (std::size_t i = 1; i + 1 < values.size(); i += 2) {
    const float x = clip01(values[i]), y = clip01(values[i + 1]);
    out.polygon.emplace_back(x, y);
    x1 = std::min(x1, x), y1 = std::min(y1, y), x2 = std::max(x2, x), y2 = std::max(y2, y);
  }
  if (x2 <= x1 || y2 <= y1) return false;  // all points on one line: no area
  out.box = cv::Rect2f(x1, y1, x2 - x1, y2 - y1);
  return true;
}

}  // namespace

LabelFile parse_labels(const std::string& text) {
  LabelFile file;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Instance inst;
    if (parse_line(line, inst))
      file.instances.push_back(std::move(inst));
    else
      ++file.bad_lines;
  }
  return file;
}

LabelFile read_label_file(const std::string& label_path) {
  std::ifstream in(label_path, std::ios::binary);
  if (!in) return {};
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return parse_labels(buffer.str());
}

}  // namespace orvane::engine
