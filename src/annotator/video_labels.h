#pragma once
// The annotator's label shapes carried between the frames of a video: to and from the video
// core's propagator (pixels) and keyframe interpolation (normalised coordinates, which frames
// of one video share). Widget-free, so the tab and the tests call the same functions.

#include <QSize>
#include <QString>
#include <vector>

#include "annotator/label_file.h"
#include "video/propagation.h"

namespace orvane {

// The shapes of a frame of `size` pixels as the propagator follows them; key = index.
std::vector<video::CarriedShape> carried_from(const std::vector<LabelShape>& shapes, QSize size);

// The shapes a propagation step moved, as label shapes of the next frame: each keeps the class
// and the form (box or outline) of the start shape its key names.
std::vector<LabelShape> labels_from(const video::CarryStep& step, const std::vector<LabelShape>& start,
                                    QSize size);

struct Interpolation {
  std::vector<std::vector<LabelShape>> frames;  // one list per requested t
  int paired = 0;    // shapes interpolated
  int by_box = 0;    // of those, outlines with different vertex counts, interpolated by their boxes
  int unpaired = 0;  // shapes of either keyframe without a partner of their class (left out)
};

// Shapes at each of `ts` (0 = keyframe a, 1 = keyframe b) between two keyframes' shapes.
Interpolation interpolate_keyframes(const std::vector<LabelShape>& a, const std::vector<LabelShape>& b,
                                    const std::vector<double>& ts);

// The same shape within a rounding error of the label format (class, form and every point).
bool same_label_shape(const LabelShape& a, const LabelShape& b);

}  // namespace orvane
