#pragma once
// The one bridge between Qt images and OpenCV buffers, and the image decoder every tool uses.

#include <QImage>
#include <QString>
#include <vector>
#include <opencv2/core.hpp>

#include "files/result.h"

namespace orvane {

// Decodes an image file into an 8-bit, 3-channel BGR buffer (EXIF orientation applied).
// Returns an empty Mat when the file is missing or does not decode. Paths are taken as UTF-8
// bytes, so names outside ASCII work on this platform.
cv::Mat read_image_bgr(const QString& path);

// Writes `image` with OpenCV's encoder chosen by the extension of `path`, through the one atomic
// writer, so a failed write leaves any existing file whole. Fails naming the file and the cause.
Result<> write_image_atomic(const QString& path, const cv::Mat& image,
                            const std::vector<int>& params = {});

// BGR (or grey / BGRA) cv::Mat -> QImage in RGB order. The QImage owns a deep copy.
QImage mat_to_qimage(const cv::Mat& mat);

// The picture as QImages (RGB) and copies each half the size of the one before (area average),
// until the longer side is at most `smallest_side`: the levels LargeImageItem paints from.
std::vector<QImage> image_pyramid(const cv::Mat& bgr, int smallest_side);

// Any QImage -> 8-bit BGR cv::Mat (alpha dropped). The Mat owns a deep copy.
cv::Mat qimage_to_mat(const QImage& image);

}  // namespace orvane
