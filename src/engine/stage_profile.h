#pragma once
// Wall time per stage of training (`profile=true`): waiting for data, forward, assigner, each
// loss term, backward, optimizer, validation steps, charts.
//
// Stages nest, and each is charged its own time only: while an inner stage runs, the outer one
// is paused. So the stages of an epoch never count a moment twice and add up to the time the
// outermost stage covered. The profile a thread records into is a thread-local pointer; when it
// is null (profiling off, the default) a StageTimer reads no clock and costs one branch.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace orvane::engine {

class StageProfile {
 public:
  using Clock = std::chrono::steady_clock;

  // Seconds of each stage in the order stages first ran.
  const std::vector<std::pair<std::string, double>>& stages() const { return stages_; }
  double total() const {
    double sum = 0;
    for (const auto& s : stages_) sum += s.second;
    return sum;
  }
  double seconds(const std::string& name) const {
    for (const auto& s : stages_)
      if (s.first == name) return s.second;
    return 0.0;
  }
  void clear() {
    stages_.clear();
    stack_.clear();
  }

  // ---- used by StageTimer ----
  void enter(const char* name, bool leaf) {
    const auto now = Clock::now();
    if (!stack_.empty()) charge(stack_.back(), now);
    stack_.push_back({slot(name), now, leaf});
  }
  void leave() {
    const auto now = Clock::now();
    charge(stack_.back(), now);
    stack_.pop_back();
    if (!stack_.empty()) stack_.back().since = now;
  }
  // Inside a leaf stage, inner timers are ignored (validation's loss is one stage, even though
  // the loss function times its own parts during training).
  bool in_leaf() const { return !stack_.empty() && stack_.back().leaf; }

 private:
  struct Open {
    std::size_t slot;
    Clock::time_point since;
    bool leaf;
  };
  std::size_t slot(const char* name) {
    for (std::size_t i = 0; i < stages_.size(); ++i)
      if (stages_[i].first == name) return i;
    stages_.emplace_back(name, 0.0);
    return stages_.size() - 1;
  }
  void charge(const Open& open, Clock::time_point now) {
    stages_[open.slot].second += std::chrono::duration<double>(now - open.since).count();
  }

  std::vector<std::pair<std::string, double>> stages_;
  std::vector<Open> stack_;
};

// The profile this thread records into; null when profiling is off.
inline thread_local StageProfile* t_stage_profile = nullptr;

// Times one stage from construction to destruction (or stop()).
class StageTimer {
 public:
  explicit StageTimer(const char* name, bool leaf = false) {
    StageProfile* p = t_stage_profile;
    if (p && !p->in_leaf()) {
      profile_ = p;
      profile_->enter(name, leaf);
    }
  }
  ~StageTimer() { stop(); }
  void stop() {
    if (profile_) profile_->leave();
    profile_ = nullptr;
  }
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

 private:
  StageProfile* profile_ = nullptr;
};

// Makes `profile` this thread's profile for its lifetime (null: none), then restores the old one.
class StageProfileScope {
 public:
  explicit StageProfileScope(StageProfile* profile) : previous_(t_stage_profile) {
    t_stage_profile = profile;
  }
  ~StageProfileScope() { t_stage_profile = previous_; }
  StageProfileScope(const StageProfileScope&) = delete;
  StageProfileScope& operator=(const StageProfileScope&) = delete;

 private:
  StageProfile* previous_;
};

}  // namespace orvane::engine
