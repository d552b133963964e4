#include "video/byte_tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::video {

namespace {

constexpr float kStdWeightPosition = 1.f / 20;
constexpr float kStdWeightVelocity = 1.f / 160;

cv::Vec4f to_xyah(const cv::Rect2f& r) {
  return {r.x + r.width / 2, r.y + r.height / 2, r.height > 0 ? r.width / r.height : 0.f, r.height};
}

cv::Rect2f from_state(const KalmanBoxFilter::State& m) {
  const float w = m(2) * m(3), h = m(3);
  return {m(0) - w / 2, m(1) - h / 2, w, h};
}

cv::Matx<float, 8, 8> motion() {
  auto f = cv::Matx<float, 8, 8>::eye();
  for (int i = 0; i < 4; ++i) f(i, i + 4) = 1;
  return f;
}

cv::Matx<float, 4, 8> observation() {
  cv::Matx<float, 4, 8> h = cv::Matx<float, 4, 8>::zeros();
  for (int i = 0; i < 4; ++i) h(i, i) = 1;
  return h;
}

}  // namespace

void KalmanBoxFilter::initiate(const cv::Vec4f& xyah, State& mean, Covariance& covariance) {
  mean = State::zeros();
  for (int i = 0; i < 4; ++i) mean(i) = xyah[i];
  const float h = xyah[3];
  const float std[8] = {2 * kStdWeightPosition * h,  2 * kStdWeightPosition * h,  1e-2f,
                        2 * kStdWeightPosition * h,  10 * kStdWeightVelocity * h, 10 * kStdWeightVelocity * h,
                        1e-5f,                       10 * kStdWeightVelocity * h};
  covariance = Covariance::zeros();
  for (int i = 0; i < 8; ++i) covariance(i, i) = std[i] * std[i];
}

void KalmanBoxFilter::predict(State& mean, Covariance& covariance) {
  const float h = mean(3);
  const float std[8] = {kStdWeightPosition * h, kStdWeightPosition * h, 1e-2f, kStdWeightPosition * h,
                        kStdWeightVelocity * h, kStdWeightVelocity * h, 1e-5f, kStdWeightVelocity * h};
  static const auto f = motion();
  mean = f * mean;
  covariance = f * covariance * f.t();
  for (int i = 0; i < 8; ++i) covariance(i, i) += std[i] * std[i];
}

void KalmanBoxFilter::update(State& mean, Covariance& covariance, const cv::Vec4f& xyah) {
  static const auto hm = observation();
  const float h = mean(3);
  const float std[4] = {kStdWeightPosition * h, kStdWeightPosition * h, 1e-1f, kStdWeightPosition * h};
  cv::Matx<float, 4, 4> s = hm * covariance * hm.t();
  for (int i = 0; i < 4; ++i) s(i, i) += std[i] * std[i];
  const cv::Matx<float, 8, 4> gain = covariance * hm.t() * s.inv(cv::DECOMP_CHOLESKY);
  const cv::Matx<float, 4, 1> innovation = cv::Matx<float, 4, 1>(xyah[0], xyah[1], xyah[2], xyah[3]) - hm * mean;
  mean += gain * innovation;
  covariance -= gain * s * gain.t();
}

float box_iou(const cv::Rect2f& a, const cv::Rect2f& b) {
  const float inter = (a & b).area();
  const float uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0.f;
}

std::vector<std::pair<int, int>> linear_assignment(const std::vector<std::vector<float>>& cost, float threshold) {
  const int rows = int(cost.size());
  const int cols = rows ? int(cost[0].size()) : 0;
  if (rows == 0 || cols == 0) return {};
  // Square extension (as lapjv's cost_limit): every row may instead pair with its own dummy
  // column and every column with its own dummy row at threshold / 2 each, so a real pair is
  // only chosen when it costs less than leaving both unmatched.
  const int n = rows + cols;
  const double inf = 1e9;
  std::vector<std::vector<double>> a(n, std::vector<double>(n, inf));
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      if (cost[i][j] <= threshold) a[i][j] = cost[i][j];
  for (int i = 0; i < rows; ++i) a[i][cols + i] = threshold / 2;
  for (int j = 0; j < cols; ++j) a[rows + j][j] = threshold / 2;
  for (int i = rows; i < n; ++i)
    for (int j = cols; j < n; ++j) a[i][j] = 0;
  // Kuhn-Munkres with potentials, O(n^3); 1-based as the textbook form.
  std::vector<double> u(n + 1), v(n + 1);
  std::vector<int> p(n + 1), way(n + 1);
  for (int i = 1; i <= n; ++i) {
    p[0] = i;
    int j0 = 0;
    std::vector<double> minv(n + 1, std::numeric_limits<double>::infinity());
    std::vector<char> used(n + 1, 0);
    do {
      used[j0] = 1;
      const int i0 = p[j0];
      double delta = std::numeric_limits<double>::infinity();
      int j1 = 0;
      for (int j = 1; j <= n; ++j) {
        if (used[j]) continue;
        const double cur = a[i0 - 1][j - 1] - u[i0] - v[j];
        if (cur < minv[j]) minv[j] = cur, way[j] = j0;
        if (minv[j] < delta) delta = minv[j], j1 = j;
      }
      for (int j = 0; j <= n; ++j) {
        if (used[j]) u[p[j]] += delta, v[j] -= delta;
        else minv[j] -= delta;
      }
      j0 = j1;
    } while (p[j0] != 0);
    do {
      const int j1 = way[j0];
      p[j0] = p[j1];
      j0 = j1;
    } while (j0);
  }
  std::vector<std::pair<int, int>> pairs;
  for (int j = 1; j <= n; ++j) {
    const int i = p[j] - 1, c = j - 1;
    if (i < rows && c < cols && cost[i][c] <= threshold) pairs.emplace_back(i, c);
  }
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

enum class TrackState { kTracked, kLost, kRemoved };

struct ByteTracker::STrack {
  KalmanBoxFilter::State mean;
  KalmanBoxFilter::Covariance covariance;
  int id = 0;
  float score = 0;
  int cls = 0;
  TrackState state = TrackState::kTracked;
  bool activated = false;
  int tracklet_len = 0;
  int frame_id = 0;  // last frame matched
  int start_frame = 0;

  cv::Rect2f box() const { return from_state(mean); }
  void take(const Detection& d, int frame) {
    KalmanBoxFilter::update(mean, covariance, to_xyah(d.box));
    score = d.score;
    cls = d.cls;
    state = TrackState::kTracked;
    activated = true;
    frame_id = frame;
  }
};

namespace {

using TrackPtr = std::shared_ptr<ByteTracker::STrack>;

// 1 - IoU between the tracks' predicted boxes and the detections; optionally fused with the
// detection's confidence (1 - IoU * score), so a confident detection wins a close call.
std::vector<std::vector<float>> iou_distance(const std::vector<TrackPtr>& tracks,
                                             const std::vector<Detection>& dets, bool fuse) {
  std::vector<std::vector<float>> d(tracks.size(), std::vector<float>(dets.size(), 1.f));
  for (size_t i = 0; i < tracks.size(); ++i) {
    const auto box = tracks[i]->box();
    for (size_t j = 0; j < dets.size(); ++j) {
      const float iou = box_iou(box, dets[j].box);
      d[i][j] = 1.f - (fuse ? iou * dets[j].score : iou);
    }
  }
  return d;
}

template <class T>
std::vector<T> pick(const std::vector<T>& items, const std::vector<int>& indices) {
  std::vector<T> out;
  for (int i : indices) out.push_back(items[size_t(i)]);
  return out;
}

// Indices of [0, n) not in the matched pairs' `side` (0: rows, 1: columns).
std::vector<int> unmatched(int n, const std::vector<std::pair<int, int>>& pairs, bool columns) {
  std::vector<char> taken(size_t(n), 0);
  for (const auto& [r, c] : pairs) taken[size_t(columns ? c : r)] = 1;
  std::vector<int> out;
  for (int i = 0; i < n; ++i)
    if (!taken[size_t(i)]) out.push_back(i);
  return out;
}

void add_unique(std::vector<TrackPtr>& to, const std::vector<TrackPtr>& from) {
  for (const auto& t : from)
    if (std::none_of(to.begin(), to.end(), [&](const TrackPtr& o) { return o->id == t->id; })) to.push_back(t);
}

void remove_ids(std::vector<TrackPtr>& from, const std::vector<TrackPtr>& those) {
  from.erase(std::remove_if(from.begin(), from.end(),
                            [&](const TrackPtr& t) {
                              return std::any_of(those.begin(), those.end(),
                                                 [&](const TrackPtr& o) { return o->id == t->id; });
                            }),
             from.end());
}

// The confident detections (score at or above `high`) and the weak ones (above `low`).
std::pair<std::vector<Detection>, std::vector<Detection>> by_score(
    const std::vector<Detection>& detections, float high, float low) {
  std::pair<std::vector<Detection>, std::vector<Detection>> split;
  for (const auto& d : detections) {
    if (d.score >= high)
      split.first.push_back(d);
    else if (d.score > low)
      split.second.push_back(d);
  }
  return split;
}

// The lost tracks last seen before frame `oldest` are removed for good.
void expire(const std::vector<TrackPtr>& lost, int oldest, std::vector<TrackPtr>& removed) {
  for (const auto& t : lost)
    if (t->frame_id < oldest) {
      t->state = TrackState::kRemoved;
      removed.push_back(t);
    }
}

// What the caller sees of the tracked tracks: the confirmed ones.
std::vector<Track> confirmed_tracks(const std::vector<TrackPtr>& tracked) {
  std::vector<Track> out;
  for (const auto& t : tracked)
    if (t->activated) out.push_back({t->id, t->box(), t->score, t->cls});
  return out;
}

// A track born from `d` in frame `frame_id`.
TrackPtr new_track(const Detection& d, int id, int frame_id) {
  auto t = std::make_shared<ByteTracker::STrack>();
  KalmanBoxFilter::initiate(to_xyah(d.box), t->mean, t->covariance);
  t->id = id;
  t->score = d.score;
  t->cls = d.cls;
  t->state = TrackState::kTracked;
  t->activated = frame_id == 1;  // only the first frame's tracks are confirmed at birth
  t->frame_id = t->start_frame = frame_id;
  return t;
}

// A lost track overlapping a tracked one is the same object twice: keep the older.
void drop_doubles(std::vector<TrackPtr>& tracked, std::vector<TrackPtr>& lost) {
  std::vector<TrackPtr> drop_tracked, drop_lost;
  for (const auto& a : tracked)
    for (const auto& b : lost)
      if (box_iou(a->box(), b->box()) > 0.85f)
        (a->frame_id - a->start_frame > b->frame_id - b->start_frame ? drop_lost : drop_tracked)
            .push_back(a->frame_id - a->start_frame > b->frame_id - b->start_frame ? b : a);
  remove_ids(tracked, drop_tracked);
  remove_ids(lost, drop_lost);
}

}  // namespace

ByteTracker::ByteTracker(const ByteTrackOptions& options, double fps)
    : options_(options), max_time_lost_(int(fps / 30.0 * options.track_buffer)) {}

std::vector<Track> ByteTracker::update(const std::vector<Detection>& detections) {
  ++frame_id_;
  std::vector<TrackPtr> activated, refound, lost_now, removed;
  const auto [high, low] =
      by_score(detections, options_.track_high_thresh, options_.track_low_thresh);
  std::vector<TrackPtr> unconfirmed, confirmed;
  for (const auto& t : tracked_) (t->activated ? confirmed : unconfirmed).push_back(t);

  // Round one: every confirmed or lost track against the confident detections.
  std::vector<TrackPtr> pool = confirmed;
  add_unique(pool, lost_);
  for (auto& t : pool) {
    // A lost track's height velocity is zeroed so that its box does not grow or shrink away
    // while it waits.
    if (t->state != TrackState::kTracked) t->mean(7) = 0;
    KalmanBoxFilter::predict(t->mean, t->covariance);
  }
  // A matched track goes on (tracked) or comes back (lost) with its detection.
  const auto claim = [&](const TrackPtr& t, const Detection& d) {
    const bool was_tracked = t->state == TrackState::kTracked;
    t->take(d, frame_id_);
    t->tracklet_len = was_tracked ? t->tracklet_len + 1 : 0;
    (was_tracked ? activated : refound).push_back(t);
  };
  auto pairs = linear_assignment(iou_distance(pool, high, options_.fuse_score), options_.match_thresh);
  for (const auto& [ti, di] : pairs) claim(pool[size_t(ti)], high[size_t(di)]);
  const auto free_high = unmatched(int(high.size()), pairs, true);

  // Round two: the tracks still unmatched (but not already lost) against the weak detections.
  std::vector<TrackPtr> remaining;
  for (int i : unmatched(int(pool.size()), pairs, false))
    if (pool[size_t(i)]->state == TrackState::kTracked) remaining.push_back(pool[size_t(i)]);
  pairs = linear_assignment(iou_distance(remaining, low, false), 0.5f);
  for (const auto& [ti, di] : pairs) claim(remaining[size_t(ti)], low[size_t(di)]);
  for (int i : unmatched(int(remaining.size()), pairs, false)) {
    auto& t = remaining[size_t(i)];
    if (t->state != TrackState::kLost) {
      t->state = TrackState::kLost;
      lost_now.push_back(t);
    }
  }

  // Tracks born last frame get one chance at the confident detections left over.
  const auto left = pick(high, free_high);
  pairs = linear_assignment(iou_distance(unconfirmed, left, options_.fuse_score), 0.7f);
  for (const auto& [ti, di] : pairs) {
    auto& t = unconfirmed[size_t(ti)];
    t->take(left[size_t(di)], frame_id_);
    ++t->tracklet_len;
    activated.push_back(t);
  }
  for (int i : unmatched(int(unconfirmed.size()), pairs, false)) {
    unconfirmed[size_t(i)]->state = TrackState::kRemoved;
    removed.push_back(unconfirmed[size_t(i)]);
  }

  // New tracks from confident detections nobody claimed.
  for (int di : unmatched(int(left.size()), pairs, true)) {
    const auto& d = left[size_t(di)];
    if (d.score >= options_.new_track_thresh)
      activated.push_back(new_track(d, next_id_++, frame_id_));
  }

  expire(lost_, frame_id_ - max_time_lost_, removed);

  std::vector<TrackPtr> tracked;
  for (const auto& t : tracked_)
    if (t->state == TrackState::kTracked) tracked.push_back(t);
  add_unique(tracked, activated);
  add_unique(tracked, refound);
  remove_ids(lost_, tracked);
  add_unique(lost_, lost_now);
  remove_ids(lost_, removed);

  drop_doubles(tracked, lost_);
  tracked_ = std::move(tracked);

  return confirmed_tracks(tracked_);
}

}  // namespace orvane::video
