#pragma once
// Validation with sliced prediction: each image of the split is predicted whole, tile by tile
// (sliced_predictor.h), and its boxes (and masks) are scored on the source pixels against its
// labels, with the same matching, figures, table and chart data as the plain validation. So
// sliced and plain figures of one validation set compare directly.

#include <string>

#include "engine/data/data_config.h"
#include "engine/predictor.h"
#include "engine/validator.h"

namespace orvane::engine {

// Requires predict.slice.enabled(). The confidence, IoU and max_det of the NMS are those of
// `options` (validation's low confidence), the slicing and the whole-image size (imgsz) those of
// `predict`. One image is in memory at a time; masks are compared where their boxes meet.
ValResult validate_sliced(const Network& network, const DataConfig& config,
                          const std::string& split, const PredictOptions& predict,
                          ValOptions options);

}  // namespace orvane::engine
