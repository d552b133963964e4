#pragma once
// Pictures of batches and label statistics drawn with OpenCV (the engine links no Qt).

#include <torch/torch.h>

#include <filesystem>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "engine/data/batch.h"
#include "engine/data/dataset.h"

namespace orvane::engine {

// Fixed per-class colour (BGR), cycling through a 20-colour palette.
cv::Scalar class_color(int cls);

// Box with a filled caption tab above it (inside the image when there is no room).
void draw_box_label(cv::Mat& image, const cv::Rect2f& box, const cv::Scalar& color,
                    const std::string& text, int thickness = 2);

// Mosaic of up to 16 batch images with their labels (or, given `predictions` per image as
// [K, >=6] xyxy-conf-cls in input pixels, with predictions above conf 0.25) and masks when the
// batch has them. Written atomically as JPEG. Returns false when writing failed.
bool plot_batch(const Batch& batch, const std::vector<std::string>& names,
                const std::filesystem::path& path,
                const std::vector<torch::Tensor>* predictions = nullptr,
                const std::vector<torch::Tensor>* prediction_masks = nullptr);

// labels.jpg: instances per class (bars), all boxes drawn centred, box centres (x, y) and
// sizes (w, h) as 2-D histograms.
bool plot_labels(const YoloDataset& dataset, const std::filesystem::path& path);

// JPEG/PNG by extension through a temporary and a rename.
bool write_image_file(const std::filesystem::path& path, const cv::Mat& image);

}  // namespace orvane::engine
