#include "engine/data/labels.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include "files/label_format.h"

namespace orvane::engine {

std::string label_path_for_image(const std::string& image_path) {
  std::string p = image_path;
  const std::string images = "/images/", labels = "/labels/";
  const auto pos = p.rfind(images);
  if (pos != std::string::npos) p.replace(pos, images.size(), labels);
  return files::label_path_for(p);
}

namespace {

// Numbers within 1 % outside 0..1 are sloppy exports; clip them. Further out the file is bad.
constexpr double kTolerance = 0.01;

bool in_bounds(double v) { return std::isfinite(v) && v >= -kTolerance && v <= 1.0 + kTolerance; }
float clip01(double v) { return static_cast<float>(std::clamp(v, 0.0, 1.0)); }

std::string number_text(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

// One parsed line, or why it is unusable (the caller adds the line number).
struct Line {
  std::vector<double> values;  // class id, then the coordinates
  std::optional<SampleFault> fault;
};

SampleFault non_numeric(std::string_view token) {
  std::string text(token);
  if (text.size() > 20) text = text.substr(0, 20) + "...";
  return SampleFault{"non-numeric value", "non-numeric value '" + text + "'"};
}

// Commas separate like spaces here: some exporters write "0,0.5,0.5,0.2,0.2". The class may be
// written as a number ("1.0"); whether it is a whole one is checked with the rest.
Line split_numbers(std::string_view text) {
  Line out;
  const files::LabelLine line = files::parse_label_line(text, /*commas_separate=*/true);
  const std::optional<double> cls = line.class_id ? std::optional<double>(double(*line.class_id))
                                                  : files::parse_label_number(line.class_token);
  if (!cls) {
    out.fault = non_numeric(line.class_token);
    return out;
  }
  if (!line.numbers_ok()) {
    out.fault = non_numeric(line.bad_token);
    return out;
  }
  out.values.reserve(line.coords.size() + 1);
  out.values.push_back(*cls);
  out.values.insert(out.values.end(), line.coords.begin(), line.coords.end());
  return out;
}

// Checks the numbers of one line and turns them into an instance. Returns the fault, if any;
// `clipped` and `no_area` report the mended slips.
std::optional<SampleFault> to_instance(const std::vector<double>& values, int nc, Instance& out,
                                       bool& clipped, bool& no_area) {
  const double c = values[0];
  if (!std::isfinite(c) || c != std::floor(c))
    return SampleFault{"class id not a whole number",
                       "class label " + number_text(c) + " is not a whole number"};
  if (c < 0) return SampleFault{"negative class id", "negative class label " + number_text(c)};
  if (nc >= 0 && c >= nc)
    return SampleFault{
        "class beyond the names",
        "Label class " + number_text(c) + " exceeds dataset class count " + std::to_string(nc)};
  if (c > 1e6) return SampleFault{"class beyond the names", "class label " + number_text(c)};
  const std::size_t coords = values.size() - 1;
  if (coords == 0) return SampleFault{"no coordinates", "a class without coordinates"};
  if (coords != 4 && coords % 2 != 0)
    return SampleFault{"odd count of polygon values",
                       std::to_string(coords) + " polygon values, an odd count"};
  if (coords != 4 && coords < 6)
    return SampleFault{"fewer than 3 points", "polygon of " + std::to_string(coords / 2) +
                                                  " point" + (coords == 2 ? "" : "s") +
                                                  ", at least 3 needed"};
  for (std::size_t i = 1; i < values.size(); ++i) {
    if (!in_bounds(values[i]))
      return SampleFault{"coordinates out of bounds",
                         "non-normalized or out of bounds coordinate " + number_text(values[i])};
    if (values[i] < 0 || values[i] > 1) clipped = true;
  }
  out.cls = static_cast<int>(c);
  out.polygon.clear();
  float x1 = 1, y1 = 1, x2 = 0, y2 = 0;
  if (coords == 4) {
    const double cx = values[1], cy = values[2], w = values[3], h = values[4];
    x1 = clip01(cx - w / 2), y1 = clip01(cy - h / 2);
    x2 = clip01(cx + w / 2), y2 = clip01(cy + h / 2);
  } else {
    for (std::size_t i = 1; i + 1 < values.size(); i += 2) {
      const float x = clip01(values[i]), y = clip01(values[i + 1]);
      out.polygon.emplace_back(x, y);
      x1 = std::min(x1, x), y1 = std::min(y1, y), x2 = std::max(x2, x), y2 = std::max(y2, y);
    }
  }
  // A box of no width or height (a stray click, all points on one line) marks nothing.
  if (x2 <= x1 || y2 <= y1) {
    no_area = true;
    return std::nullopt;
  }
  out.box = cv::Rect2f(x1, y1, x2 - x1, y2 - y1);
  return std::nullopt;
}

}  // namespace

LabelFile parse_training_labels(const std::string& text, int nc) {
  LabelFile file;
  std::set<std::vector<double>> seen;
  int number = 0;
  // The policy here: one bad line makes the whole file unusable (see labels.h).
  for (const std::string_view line : files::split_label_text(text)) {
    ++number;
    if (files::split_label_tokens(line, true).empty()) continue;
    Line parsed = split_numbers(line);
    Instance inst;
    bool clipped = false, no_area = false;
    if (!parsed.fault) parsed.fault = to_instance(parsed.values, nc, inst, clipped, no_area);
    if (parsed.fault) {
      parsed.fault->message += " (line " + std::to_string(number) + ")";
      LabelFile bad;
      bad.fault = std::move(parsed.fault);
      return bad;
    }
    if (!seen.insert(parsed.values).second) {
      ++file.duplicates;
      continue;
    }
    if (no_area) {
      ++file.no_area;
      continue;
    }
    if (clipped) ++file.clipped;
    file.instances.push_back(std::move(inst));
  }
  return file;
}

LabelFile read_training_labels(const std::string& label_path, int nc) {
  std::error_code ec;
  const auto status = std::filesystem::status(label_path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return {};
  LabelFile bad;
  if (ec) {
    bad.fault = SampleFault{"unreadable label file", "cannot read label file: " + ec.message()};
    return bad;
  }
  if (std::filesystem::is_directory(status)) {
    bad.fault = SampleFault{"unreadable label file", "the label file is a folder"};
    return bad;
  }
  errno = 0;
  std::ifstream in(label_path, std::ios::binary);
  if (!in) {
    bad.fault =
        SampleFault{"unreadable label file", std::string("cannot read label file: ") +
                                                 (errno ? std::strerror(errno) : "open failed")};
    return bad;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    bad.fault = SampleFault{"unreadable label file", "cannot read label file: read error"};
    return bad;
  }
  return parse_training_labels(buffer.str(), nc);
}

}  // namespace orvane::engine
