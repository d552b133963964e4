#pragma once
// The enricher's image work on plain cv::Mat: the manual transforms (crop, perspective
// straightening, rotation with a grown canvas), the random variant pipeline and the batch that
// writes numbered JPEG variants. The tab, `orvane enrich` and the tests all call these.
//
// Images are 8-bit, 3-channel BGR buffers. Nothing here keeps state: every random draw comes from
// the generator the caller passes in, so a fixed seed reproduces a batch.

#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <atomic>
#include <functional>
#include <opencv2/core.hpp>
#include <optional>
#include <random>
#include <vector>

#include "label_geometry/label_geometry.h"

namespace orvane::enricher {

// The generator every random draw uses; callers seed it (the tab from the clock, the CLI from
// `seed=` or the clock, tests with a constant).
using Rng = std::mt19937_64;

// A closed range given by two spin values; `a` may exceed `b` (the draw then runs from b to a).
struct Range {
  double a = 0.0;
  double b = 0.0;
};

// The five ranges of the tab's "Augmentation Ranges" form; defaults are the form's defaults.
struct AugRanges {
  Range brightness{-30.0, 30.0};  // offset added to every channel value
  Range contrast{0.8, 1.2};       // factor applied before the offset
  Range rotation{-15.0, 15.0};    // degrees, positive counter-clockwise
  Range gamma{0.8, 1.2};          // the pixel curve uses 1 / gamma as exponent
  Range warp{0.0, 5.0};           // perspective skew of each corner, in percent of the size
};

// Uniform draw over the closed range between a and b, in either order; a == b returns a exactly.
double uniform(Rng& rng, double a, double b);

// A picture after a geometric step, with the matrix the pixels went through: 3 x 3, source to
// destination, in OpenCV's pixel-centre convention (the very matrix given to warpAffine or
// warpPerspective). Labels follow the picture by label_geometry::transform_shapes with it.
struct Transformed {
  cv::Mat image;
  cv::Mat matrix;  // CV_64F, 3 x 3
};

// get_aug_image with the geometry it applied (perspective skew, then rotation, as one matrix).
Transformed augment(const cv::Mat& base, const AugRanges& ranges, Rng& rng);

// One random variant of `base`, the same size as `base`: contrast and brightness, then the gamma
// curve, then (only when warp.b > 0) a random perspective skew, then a random rotation about the
// centre. Exposed areas repeat the edge pixels. With every range collapsed to the identity
// (brightness 0, contrast 1, gamma 1, rotation 0, warp 0..0) the result equals `base`.
cv::Mat get_aug_image(const cv::Mat& base, const AugRanges& ranges, Rng& rng);

// The 256-entry 8-bit gamma curve: entry i = trunc((i / 255)^(1 / gamma) * 255).
cv::Mat gamma_table(double gamma);

// --- Manual transforms -------------------------------------------------------------------------

// The rectangle spanned by two clicked points (either order). Points outside the image are first
// clipped to it. nullopt when the rectangle is empty (zero width or height): nothing to crop.
std::optional<cv::Rect> crop_rect(const cv::Size& image_size, cv::Point2d p1, cv::Point2d p2);

// `image` cropped to the rectangle of `crop_rect` (a deep copy), or nullopt when it is empty.
std::optional<cv::Mat> crop_image(const cv::Mat& image, cv::Point2d p1, cv::Point2d p2);

// Straightens the quadrilateral of four clicked points, in the order top-left, top-right,
// bottom-right, bottom-left (no reordering: another order mirrors or twists the result), into an
// upright rectangle whose sides are the longer of each pair of opposite edges. Points outside the
// image are first clipped to its outermost pixel centres, so no black border is sampled. nullopt
// when the quadrilateral is degenerate (a side shorter than two pixels, or three corners on a
// line), which would only give a black or empty picture.
std::optional<cv::Mat> warp_quad(const cv::Mat& image, const std::array<cv::Point2d, 4>& points);

// Rotates by `angle` degrees (positive counter-clockwise) about the centre and grows the canvas
// so no corner is cut off: 45 degrees of 100 x 100 gives 141 x 141. Bicubic, edges replicated.
// Returns `image` unchanged (a copy) for a non-finite angle.
cv::Mat rotate_grow(const cv::Mat& image, double angle);

// The three manual transforms with their matrices (the same pixels as above).
std::optional<Transformed> crop_transform(const cv::Mat& image, cv::Point2d p1, cv::Point2d p2);
std::optional<Transformed> warp_quad_transform(const cv::Mat& image,
                                               const std::array<cv::Point2d, 4>& points);
Transformed rotate_grow_transform(const cv::Mat& image, double angle);

// The label file name of a variant: "image_enriched_<second>_var_<k>.txt".
QString variant_label_name(std::int64_t second, int k);

// --- Batch of variants -------------------------------------------------------------------------

// "image_enriched_<second>_var_<k>.jpg"
QString variant_file_name(std::int64_t second, int k);

// The first second from `now` on for which none of the batch's names (k = 1 .. count; images and
// label files) exists in `out_dir`, so a batch never overwrites the variants of an earlier one
// started in the same second.
std::int64_t free_batch_second(const QString& out_dir, std::int64_t now, int count);

struct BatchResult {
  int created = 0;          // variants actually written
  int failed = 0;           // variants whose write failed
  std::int64_t second = 0;  // the second in this batch's file names
  QString first_failure;    // path of the first variant that could not be written
  int labels_written = 0;   // label files written beside the variants
  int attempted = 0;        // variants the batch got to (`count` unless cancelled)
  bool cancelled = false;   // the stop flag ended the batch early
};

// Labels that go with the base image of a batch: its shapes in its pixels.
struct BatchLabels {
  const std::vector<label_geometry::Shape>* shapes = nullptr;  // not owned; null: no labels
  double min_visible = label_geometry::kDefaultMinVisible;
};

// Writes `count` random variants of `base` into `out_dir` (which must exist) as
// variant_file_name(free_batch_second(out_dir, now, count), k), k = 1 .. count. Each write is
// atomic; a failed write is counted in `failed`, never in `created`. `on_variant(k)` (optional)
// is called after each variant for progress. With `labels.shapes`, each written variant gets
// variant_label_name beside it holding the shapes through that variant's geometry (an empty file
// when none stays visible); a variant whose label file cannot be written counts as failed.
// When `stop` becomes true the batch ends before its next variant (each written one is whole).
BatchResult enrich_batch(const cv::Mat& base, const AugRanges& ranges, int count,
                         const QString& out_dir, std::int64_t now, Rng& rng,
                         const std::function<void(int)>& on_variant = {},
                         const BatchLabels& labels = {}, const std::atomic_bool* stop = nullptr);

// "Enrichment complete! Saved <created> variant(s) of the manipualted image." (the studio's
// established wording, kept letter for letter).
QString closing_message(int created);
// The closing message of a batch, cancelled ones included: "Enrichment cancelled after K of N
// variants. " before it.
QString closing_message(const BatchResult& result, int count);

// --- Sources on disk ---------------------------------------------------------------------------

using Shapes = std::vector<label_geometry::Shape>;

// A source image as a batch reads it: the picture and, when labels are asked for, the shapes of
// its label file in its pixels.
struct Source {
  cv::Mat image;                 // empty: the file does not decode
  std::optional<Shapes> shapes;  // unset: no label file (or labels not asked for)
  QString label_error;           // the label file does not parse: no variants may be made
};

// Reads the picture at `path` and, with `with_labels`, its label file (its YOLO label path).
Source read_source(const QString& path, bool with_labels);

// A batch over source files (`orvane enrich`): every source gives `count` variants in `out_dir`
// (which must exist), each source its own batch with its own second in the file names.
struct SourcesOptions {
  AugRanges ranges;
  int count = 10;
  QString out_dir;
  bool carry_labels = false;  // labels go along, and the class list beside the sources
  double min_visible = label_geometry::kDefaultMinVisible;
};

struct SourcesReport {
  int created = 0;        // variants written
  int failed = 0;         // variants whose write failed
  QString first_failure;  // path of the first variant that could not be written
  int unreadable = 0;     // sources that do not decode (skipped)
  int bad_labels = 0;     // sources whose label file does not parse (no variants made)
};

// Enriches `sources` in order. `note(source, text)` tells what happened to each source as it
// happens: `source` is "[i/n] name", or empty for a line about the batch (a class list that
// could not be carried). Labels are read before any variant of their source is written: bad
// labels leave the source without variants rather than with variants whose labels are wrong.
SourcesReport enrich_sources(
    const QStringList& sources, const SourcesOptions& options, Rng& rng,
    const std::function<void(const QString& source, const QString& text)>& note);

// Source images of a folder: its direct entries with a supported image extension, as cleaned full
// paths, without duplicates, sorted by plain code point.
QStringList list_sources(const QString& folder);

}  // namespace orvane::enricher
