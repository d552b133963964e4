#pragma once
// The widget tests' one way into a tab's private controls and state. Each tab names
// orvane::test::Access a friend; nothing else outside the tab reaches them.

namespace orvane::test {

struct Access {
  template <typename Tab>
  static auto& controls(Tab& tab) {
    return tab.ui_;
  }
  template <typename Tab>
  static auto& state(Tab& tab) {
    return tab.state_;
  }
};

// controls(tab).btn_save, state(tab).current_idx ...
template <typename Tab>
auto& controls(Tab& tab) {
  return Access::controls(tab);
}
template <typename Tab>
auto& state(Tab& tab) {
  return Access::state(tab);
}

}  // namespace orvane::test
