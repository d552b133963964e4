#pragma once
// Bounds on what a data file may declare, checked where the file is read.

namespace orvane::engine {

// The most classes a data.yaml or a checkpoint may declare: far above any real label set
// (ImageNet-21k has 21,841), low enough that a damaged or hostile file claiming billions is
// refused instead of making the program allocate without bound.
inline constexpr int kMaxClasses = 100000;

}  // namespace orvane::engine
