#pragma once
// CLEAR-MOT figures of a tracker's output against true tracks (Bernardin and Stiefelhagen,
// 2008): per frame, true boxes and hypotheses are matched one to one at IoU >= 0.5, keeping a
// correspondence from the previous frame while it still holds; a true object matched to another
// id than last time is an identity switch. MOTA = 1 - (misses + false positives + switches) /
// true boxes.

#include <map>
#include <vector>

#include "video/byte_tracker.h"

namespace orvane::bench {

struct FrameBoxes {
  std::vector<std::pair<int, cv::Rect2f>> truth;       // (true id, box)
  std::vector<std::pair<int, cv::Rect2f>> hypotheses;  // (track id, box)
};

struct MotScore {
  int truths = 0, misses = 0, false_positives = 0, id_switches = 0, matches = 0;
  double mota() const { return truths ? 1.0 - double(misses + false_positives + id_switches) / truths : 0; }
};

inline MotScore score_tracks(const std::vector<FrameBoxes>& frames) {
  MotScore s;
  std::map<int, int> current;  // true id -> hypothesis id matched in the last frame it was matched
  std::map<int, int> last_match;
  for (const auto& f : frames) {
    s.truths += int(f.truth.size());
    std::vector<char> truth_used(f.truth.size(), 0), hyp_used(f.hypotheses.size(), 0);
    int matched = 0;
    // Keep last frame's correspondences that still overlap.
    for (size_t i = 0; i < f.truth.size(); ++i) {
      const auto it = current.find(f.truth[i].first);
      if (it == current.end()) continue;
      for (size_t j = 0; j < f.hypotheses.size(); ++j)
        if (!hyp_used[j] && f.hypotheses[j].first == it->second &&
            video::box_iou(f.truth[i].second, f.hypotheses[j].second) >= 0.5f) {
          truth_used[i] = hyp_used[j] = 1;
          ++matched;
        }
    }
    // The rest by optimal assignment on 1 - IoU.
    std::vector<int> ti, hj;
    for (size_t i = 0; i < f.truth.size(); ++i)
      if (!truth_used[i]) ti.push_back(int(i));
    for (size_t j = 0; j < f.hypotheses.size(); ++j)
      if (!hyp_used[j]) hj.push_back(int(j));
    std::vector<std::vector<float>> cost(ti.size(), std::vector<float>(hj.size()));
    for (size_t a = 0; a < ti.size(); ++a)
      for (size_t b = 0; b < hj.size(); ++b)
        cost[a][b] = 1.f - video::box_iou(f.truth[size_t(ti[a])].second, f.hypotheses[size_t(hj[b])].second);
    for (const auto& [a, b] : video::linear_assignment(cost, 0.5f)) {
      const int tid = f.truth[size_t(ti[size_t(a)])].first, hid = f.hypotheses[size_t(hj[size_t(b)])].first;
      const auto last = last_match.find(tid);
      if (last != last_match.end() && last->second != hid) ++s.id_switches;
      current[tid] = hid;
      hyp_used[size_t(hj[size_t(b)])] = 1;
      ++matched;
    }
    for (size_t i = 0; i < f.truth.size(); ++i) {
      const auto it = current.find(f.truth[i].first);
      if (it != current.end()) last_match[f.truth[i].first] = it->second;
    }
    // Correspondences of objects not matched this frame end (they may resume, as a switch if
    // under another id).
    for (auto it = current.begin(); it != current.end();) {
      bool seen = false;
      for (size_t i = 0; i < f.truth.size(); ++i)
        if (f.truth[i].first == it->first) {
          for (size_t j = 0; j < f.hypotheses.size(); ++j)
            seen |= hyp_used[j] && f.hypotheses[j].first == it->second &&
                    video::box_iou(f.truth[i].second, f.hypotheses[j].second) >= 0.5f;
        }
      it = seen ? std::next(it) : current.erase(it);
    }
    s.matches += matched;
    s.misses += int(f.truth.size()) - matched;
    s.false_positives += int(f.hypotheses.size()) - matched;
  }
  return s;
}

// The peer: a plain IoU tracker. Each detection above `min_score` joins the live track whose last
// box it overlaps most (IoU >= 0.3, greedy by IoU); the rest start tracks; a track unmatched for
// `max_missed` frames ends. No motion model, no second round.
class IouTracker {
 public:
  explicit IouTracker(float min_score = 0.5f, int max_missed = 30) : min_score_(min_score), max_missed_(max_missed) {}
  std::vector<video::Track> update(const std::vector<video::Detection>& dets) {
    struct Pair { float iou; size_t t, d; };
    std::vector<Pair> pairs;
    std::vector<video::Detection> good;
    for (const auto& d : dets)
      if (d.score >= min_score_) good.push_back(d);
    for (size_t t = 0; t < live_.size(); ++t)
      for (size_t d = 0; d < good.size(); ++d) {
        const float iou = video::box_iou(live_[t].box, good[d].box);
        if (iou >= 0.3f) pairs.push_back({iou, t, d});
      }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.iou > b.iou; });
    std::vector<char> t_used(live_.size(), 0), d_used(good.size(), 0);
    std::vector<video::Track> out;
    for (const auto& p : pairs) {
      if (t_used[p.t] || d_used[p.d]) continue;
      t_used[p.t] = d_used[p.d] = 1;
      live_[p.t].box = good[p.d].box;
      live_[p.t].missed = 0;
      out.push_back({live_[p.t].id, good[p.d].box, good[p.d].score, good[p.d].cls});
    }
    for (size_t t = 0; t < live_.size(); ++t)
      if (!t_used[t]) ++live_[t].missed;
    live_.erase(std::remove_if(live_.begin(), live_.end(), [&](const Live& l) { return l.missed > max_missed_; }),
                live_.end());
    for (size_t d = 0; d < good.size(); ++d)
      if (!d_used[d]) {
        live_.push_back({next_id_, good[d].box, 0});
        out.push_back({next_id_++, good[d].box, good[d].score, good[d].cls});
      }
    return out;
  }

 private:
  struct Live { int id; cv::Rect2f box; int missed; };
  float min_score_;
  int max_missed_;
  int next_id_ = 1;
  std::vector<Live> live_;
};

}  // namespace orvane::bench
