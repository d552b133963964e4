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
  files::LabelLine label;      // the same line as label_format reads it (views into the text)
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
  out.label = files::parse_label_line(text, /*commas_separate=*/true);
  const files::LabelLine& line = out.label;
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

// The class id of a line: a whole number from 0, below nc when nc >= 0.
std::optional<SampleFault> class_fault(double c, int nc) {
  if (!std::isfinite(c) || c != std::floor(c))
    return SampleFault{"class id not a whole number",
                       "class label " + number_text(c) + " is not a whole number"};
  if (c < 0) return SampleFault{"negative class id", "negative class label " + number_text(c)};
  if (nc >= 0 && c >= nc)
    return SampleFault{
        "class beyond the names",
        "Label class " + number_text(c) + " exceeds dataset class count " + std::to_string(nc)};
  if (c > 1e6) return SampleFault{"class beyond the names", "class label " + number_text(c)};
  return std::nullopt;
}

SampleFault out_of_bounds(double v) {
  return SampleFault{"coordinates out of bounds",
                     "non-normalized or out of bounds coordinate " + number_text(v)};
}

// The first value of `values` outside 0..1 beyond the tolerance; `clipped` when one is a little
// outside.
std::optional<SampleFault> bounds_fault(const std::vector<double>& values, bool& clipped) {
  for (const double v : values) {
    if (!in_bounds(v)) return out_of_bounds(v);
    if (v < 0 || v > 1) clipped = true;
  }
  return std::nullopt;
}

// A box or polygon line (detection, segmentation).
std::optional<SampleFault> to_shape(const std::vector<double>& values, Instance& out, bool& clipped,
                                    bool& no_area) {
  const std::size_t coords = values.size() - 1;
  if (coords == 0) return SampleFault{"no coordinates", "a class without coordinates"};
  if (coords != 4 && coords % 2 != 0)
    return SampleFault{"odd count of polygon values",
                       std::to_string(coords) + " polygon values, an odd count"};
  if (coords != 4 && coords < 6)
    return SampleFault{"fewer than 3 points", "polygon of " + std::to_string(coords / 2) +
                                                  " point" + (coords == 2 ? "" : "s") +
                                                  ", at least 3 needed"};
  if (auto fault = bounds_fault({values.begin() + 1, values.end()}, clipped)) return fault;
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

// An oriented-box line: four corners, kept in order; `box` bounds them. Corners on one line
// enclose nothing and are dropped like a box without area.
std::optional<SampleFault> to_oriented_box(const files::LabelLine& line, Instance& out,
                                           bool& clipped, bool& no_area) {
  if (line.coords.size() != 8)
    return SampleFault{"not an oriented box",
                       "an oriented box takes 8 values (4 corners), the line has " +
                           std::to_string(line.coords.size())};
  if (auto fault = bounds_fault(line.coords, clipped)) return fault;
  const auto corners = files::parse_obb(line);
  if (!corners) return SampleFault{"not an oriented box", "not an oriented box"};
  out.corners.clear();
  float x1 = 1, y1 = 1, x2 = 0, y2 = 0;
  double twice_area = 0;  // the shoelace formula, in double: collinear corners give ~0
  for (std::size_t i = 0; i < 8; i += 2) {
    const float x = clip01((*corners)[i]), y = clip01((*corners)[i + 1]);
    out.corners.emplace_back(x, y);
    x1 = std::min(x1, x), y1 = std::min(y1, y), x2 = std::max(x2, x), y2 = std::max(y2, y);
    const auto& c = *corners;
    twice_area += std::clamp(c[i], 0.0, 1.0) * std::clamp(c[(i + 3) % 8], 0.0, 1.0) -
                  std::clamp(c[(i + 2) % 8], 0.0, 1.0) * std::clamp(c[i + 1], 0.0, 1.0);
  }
  if (x2 <= x1 || y2 <= y1 || std::abs(twice_area) < 1e-12) {
    no_area = true;
    return std::nullopt;
  }
  out.box = cv::Rect2f(x1, y1, x2 - x1, y2 - y1);
  return std::nullopt;
}

// A pose line: the box, then the keypoints. A keypoint that is not labelled may hold anything
// (writers put 0 0); a labelled one must lie in the picture, as the box must.
std::optional<SampleFault> to_pose(const files::LabelLine& line, const files::KeypointShape& kpt,
                                   Instance& out, bool& clipped, bool& no_area) {
  const std::size_t need = 4 + std::size_t(kpt.count) * std::size_t(kpt.dims);
  if (line.coords.size() != need)
    return SampleFault{"not a pose line", "a pose line takes 4 + " + std::to_string(kpt.count) +
                                              " x " + std::to_string(kpt.dims) + " = " +
                                              std::to_string(need) +
                                              " values (kpt_shape), the line has " +
                                              std::to_string(line.coords.size())};
  for (const double v : line.coords)
    if (!std::isfinite(v)) return out_of_bounds(v);
  const auto pose = files::parse_pose(line, kpt);
  if (!pose)
    return SampleFault{"keypoint visibility not 0, 1 or 2",
                       "a keypoint visibility other than 0, 1 or 2"};
  if (auto fault = bounds_fault({pose->cx, pose->cy, pose->w, pose->h}, clipped)) return fault;
  out.keypoints = pose->keypoints;
  for (auto& p : out.keypoints) {
    if (p.visibility == 0) {
      p.x = p.y = 0.0;
      continue;
    }
    if (auto fault = bounds_fault({p.x, p.y}, clipped)) return fault;
    p.x = std::clamp(p.x, 0.0, 1.0), p.y = std::clamp(p.y, 0.0, 1.0);
  }
  const float x1 = clip01(pose->cx - pose->w / 2), y1 = clip01(pose->cy - pose->h / 2);
  const float x2 = clip01(pose->cx + pose->w / 2), y2 = clip01(pose->cy + pose->h / 2);
  if (x2 <= x1 || y2 <= y1) {
    no_area = true;
    return std::nullopt;
  }
  out.box = cv::Rect2f(x1, y1, x2 - x1, y2 - y1);
  return std::nullopt;
}

// Checks the numbers of one line and turns them into an instance of the schema. Returns the
// fault, if any; `clipped` and `no_area` report the mended slips.
std::optional<SampleFault> to_instance(const Line& line, int nc, const LabelSchema& schema,
                                       Instance& out, bool& clipped, bool& no_area) {
  if (auto fault = class_fault(line.values[0], nc)) return fault;
  out.cls = static_cast<int>(line.values[0]);
  switch (schema.kind) {
    case LabelSchema::Kind::obb:
      return to_oriented_box(line.label, out, clipped, no_area);
    case LabelSchema::Kind::pose:
      return to_pose(line.label, schema.kpt, out, clipped, no_area);
    case LabelSchema::Kind::shapes:
      break;
  }
  return to_shape(line.values, out, clipped, no_area);
}

}  // namespace

LabelFile parse_training_labels(const std::string& text, int nc, const LabelSchema& schema) {
  LabelFile file;
  if (schema.kind == LabelSchema::Kind::pose && !schema.kpt.problem().empty()) {
    file.fault = SampleFault{"bad kpt_shape", schema.kpt.problem()};
    return file;
  }
  std::set<std::vector<double>> seen;
  int number = 0;
  // The policy here: one bad line makes the whole file unusable (see labels.h).
  for (const std::string_view line : files::split_label_text(text)) {
    ++number;
    if (files::split_label_tokens(line, true).empty()) continue;
    Line parsed = split_numbers(line);
    Instance inst;
    bool clipped = false, no_area = false;
    if (!parsed.fault) parsed.fault = to_instance(parsed, nc, schema, inst, clipped, no_area);
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

LabelFile read_training_labels(const std::string& label_path, int nc, const LabelSchema& schema) {
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
  return parse_training_labels(buffer.str(), nc, schema);
}

}  // namespace orvane::engine
