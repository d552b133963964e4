#pragma once
// Videos drawn with known motion, for the video tests and benches: filled rectangles and discs
// (like the pictures the shapes checkpoint learnt) moving along straight segments between
// waypoints over a fixed noisy background, so every frame's true boxes are known. An object
// exists from its first waypoint to its last; waypoints outside the picture make it leave or
// enter; two equal waypoints hold it still.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <utility>
#include <vector>

namespace orvane::test {

struct SceneObject {
  int id = 1;            // the true track id
  bool circle = false;   // class 1 (disc) or 0 (rectangle), as the shapes checkpoint names them
  int radius = 20;       // half the side / the radius, in pixels
  cv::Scalar colour{230, 200, 180};
  std::vector<std::pair<int, cv::Point2f>> path;  // (frame, centre), frames increasing
  // Darker marks inside the shape that move with it. A flat-coloured shape looks the same from
  // any smaller box inside it, which no visual tracker can size; real objects have texture.
  bool textured = false;
};

struct TruthBox {
  int id = 0;
  int cls = 0;
  cv::Rect2f box;  // the visible part, pixels
};

struct SyntheticVideo {
  cv::Size size{320, 240};
  double fps = 25;
  int frames = 60;
  std::vector<SceneObject> objects;
  unsigned seed = 1;

  // The centre of `object` at frame i, or false when it does not exist then.
  static bool centre_at(const SceneObject& object, int i, cv::Point2f& centre) {
    const auto& p = object.path;
    if (p.empty() || i < p.front().first || i > p.back().first) return false;
    for (size_t k = 1; k < p.size(); ++k) {
      if (i <= p[k].first) {
        const float span = float(p[k].first - p[k - 1].first);
        const float t = span > 0 ? float(i - p[k - 1].first) / span : 0.f;
        centre = p[k - 1].second + (p[k].second - p[k - 1].second) * t;
        return true;
      }
    }
    centre = p.front().second;
    return true;
  }

  cv::Mat background() const {
    cv::Mat image(size, CV_8UC3, cv::Scalar(40, 30, 25));
    cv::Mat noise(size, CV_8UC3);
    cv::RNG rng{std::uint64_t(seed)};
    rng.fill(noise, cv::RNG::NORMAL, 0, 6);
    return image + noise;
  }

  // Frame i drawn on `background` (pass background() once per video); its true boxes appended
  // to `truth` when given. Later objects are drawn over earlier ones.
  cv::Mat frame(int i, const cv::Mat& background, std::vector<TruthBox>* truth = nullptr) const {
    cv::Mat image = background.clone();
    const cv::Rect2f picture(0, 0, float(size.width), float(size.height));
    for (const auto& object : objects) {
      cv::Point2f c;
      if (!centre_at(object, i, c)) continue;
      const int r = object.radius;
      const cv::Point centre(int(std::lround(c.x)), int(std::lround(c.y)));
      if (object.circle)
        cv::circle(image, centre, r, object.colour, cv::FILLED, cv::LINE_AA);
      else
        cv::rectangle(image, centre - cv::Point(r, r), centre + cv::Point(r - 1, r - 1), object.colour,
                      cv::FILLED);
      if (object.textured) {
        // A cross and a ring, a third darker, fixed to the shape.
        const cv::Scalar mark = object.colour * (2.0 / 3.0);
        const int t = std::max(2, r / 8);
        cv::line(image, centre + cv::Point(-r * 2 / 3, -r * 2 / 3), centre + cv::Point(r * 2 / 3, r * 2 / 3), mark, t);
        cv::line(image, centre + cv::Point(-r * 2 / 3, r / 3), centre + cv::Point(r / 3, -r * 2 / 3), mark, t);
        cv::circle(image, centre + cv::Point(r / 3, r / 4), r / 3, mark, t);
      }
      const cv::Rect2f box = cv::Rect2f(float(centre.x - r), float(centre.y - r), float(2 * r), float(2 * r)) & picture;
      if (truth && box.area() > 0) truth->push_back({object.id, object.circle ? 1 : 0, box});
    }
    return image;
  }

  std::vector<TruthBox> truth_at(int i) const {
    std::vector<TruthBox> boxes;
    frame(i, cv::Mat(size, CV_8UC3), &boxes);
    return boxes;
  }

  // Writes the video (Motion JPEG in AVI by default, which Debian's OpenCV writes). False when
  // the writer does not open.
  bool write(const std::filesystem::path& path, int fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G')) const {
    cv::VideoWriter writer(path.string(), cv::CAP_FFMPEG, fourcc, fps, size);
    if (!writer.isOpened()) return false;
    const cv::Mat back = background();
    for (int i = 0; i < frames; ++i) writer.write(frame(i, back));
    return true;
  }
};

// Box IoU of two rectangles (0 when either is empty).
inline double box_iou(const cv::Rect2f& a, const cv::Rect2f& b) {
  const double inter = (a & b).area();
  const double uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0.0;
}

}  // namespace orvane::test
