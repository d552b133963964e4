#pragma once
// One collated batch as the loaders hand it to the model, the loss and the validator.

#include <torch/torch.h>

#include <array>
#include <string>
#include <vector>

namespace orvane::engine {

// How a source image was placed into the network input, so boxes can be mapped back:
//   x_input = x_source * gain + pad_x,   y_input = y_source * gain + pad_y
// `gain` includes both the load-time resize and the letterbox resize.
struct LetterboxInfo {
  float gain = 1.0f;
  float pad_x = 0.0f;
  float pad_y = 0.0f;
};

// Tensor layouts (B images in the batch, N instances over the whole batch):
//
//   images     [B, 3, H, W]  float32 0..1, RGB, letterboxed with grey 114/255; H, W % 32 == 0
//   batch_idx  [N]           int64, image index within the batch of each instance
//   cls        [N]           int64, class id
//   bboxes     [N, 4]        float32, normalised (cx, cy, w, h) relative to (W, H)
//   masks      [N, H/4, W/4] float32 0/1, segmentation loaders only (undefined otherwise);
//                            row n is the mask of instance n
//
// Instances are ordered by image (batch_idx is non-decreasing). All tensors live on the CPU.
struct Batch {
  torch::Tensor images;
  torch::Tensor batch_idx;
  torch::Tensor cls;
  torch::Tensor bboxes;
  torch::Tensor masks;
  std::vector<std::string> paths;              // source image path of each image
  std::vector<std::array<int, 2>> ori_shapes;  // (h, w) of each source image
  std::vector<LetterboxInfo> letterbox;        // per image; exact for non-augmented batches
};

}  // namespace orvane::engine
