#pragma once
// Decoding, resampling and rotating one image while keeping what the file is: grey stays grey,
// 16-bit stays 16-bit, alpha and palettes survive wherever the output format can hold them.

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <opencv2/core.hpp>
#include <optional>

#include "files/result.h"

namespace orvane::resizer {

struct DecodedImage {
  QImage image;       // as it displays: EXIF orientation applied; pixel layout as stored
  QByteArray format;  // found from the content, not the name: "jpeg", "png", "webp", "bmp" ...
};

// Decodes a whole file. Fails with the decoder's reason when it is not an image.
Result<DecodedImage> decode_image(const QString& path);

// Width and height as the image displays (EXIF orientation applied), read from the header only.
Result<QSize> displayed_size(const QString& path);

// The EXIF orientation (1-8) recorded in a WEBP file; 1 when there is none or it is not WEBP.
int webp_exif_orientation(const QString& path);

// A small picture of the file as it displays, fitting `box` (aspect kept); null if unreadable.
QImage load_thumbnail(const QString& path, QSize box);

// How pixels are stored while we work on them.
enum class PixelKind { Gray8, Gray16, Rgb8, Rgba8, Rgb16, Rgba16, Indexed };

PixelKind pixel_kind(const QImage& image);

// The closest kind `format` ("jpeg", "png", "webp", "bmp" ...) can store: JPEG holds grey or
// colour without alpha; WEBP 8-bit colour with or without alpha; BMP 8-bit with palettes and
// alpha; PNG and the rest everything.
PixelKind storable_kind(PixelKind kind, const QByteArray& format, bool palette_has_alpha);

// Lanczos resampling to exactly `size`. When shrinking by 2x or more along an axis the image is
// first block-averaged by the whole part of the factor there: Lanczos taps alone would skip over
// fine detail and alias (moiré on fabric, jagged thin lines).
cv::Mat resample_lanczos(const cv::Mat& source, cv::Size size);

// Resizes to `size` (when given and different), rotates clockwise by `rotation` degrees (an exact
// transposition), and converts to what `format` can store. A palette image that is resampled is
// worked on in full colour and mapped back onto its own palette; alpha is resampled
// premultiplied so transparent pixels do not bleed their hidden colour into the edges.
Result<QImage> transform_image(const QImage& source, std::optional<QSize> size, int rotation,
                               const QByteArray& format);

}  // namespace orvane::resizer
