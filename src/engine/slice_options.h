#pragma once
// How sliced prediction cuts an image into tiles and puts the tiles' objects back together
// (sliced_predictor.h). Kept apart so PredictOptions can carry it without pulling the slicer in.

namespace orvane::engine {

// How the objects of overlapping tiles (and of the whole-image pass) become one list.
enum class SliceMerge {
  // Greedy merging, most confident first: every box of the same class whose intersection with
  // the growing group covers `match_threshold` of the smaller box joins it; the group's box is
  // the union, its mask the union of masks, its confidence the highest. Pieces of an object
  // cut by a tile border add up to the whole object.
  kGreedyUnion,
  // Plain class-wise NMS at IoU `match_threshold`: the most confident piece survives as it is.
  kNms,
};

struct SliceOptions {
  int width = 0, height = 0;  // tile size in pixels; 0: no slicing
  float overlap = 0.2f;       // share of a tile shared with its neighbour, 0 <= overlap < 1
  bool full = false;          // also predict the whole image (at PredictOptions::imgsz)
  // Tiles per forward pass; 0 chooses so that a batch holds about 1.6 megapixels (at most 64
  // tiles). Memory is bounded by this batch, whatever the image's size.
  int batch = 0;
  SliceMerge merge = SliceMerge::kGreedyUnion;
  float match_threshold = 0.5f;  // intersection over the smaller box (or IoU for kNms)
  bool enabled() const { return width > 0 && height > 0; }
};

}  // namespace orvane::engine
