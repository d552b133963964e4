// Sliced prediction: where the tiles go, how the pieces of a cut object become one, and that
// boxes and masks land on the right source pixels. The geometry is checked with an exact
// detector (every bright region of its input is an object, its mask those very pixels) so a
// pixel off anywhere in tiling, letterboxing, mapping or merging shows; a fresh YOLO model
// checks the batched path through the real network.

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "engine/error.h"
#include "engine/model.h"
#include "engine/sliced_predictor.h"

using namespace orvane::engine;

namespace {

// ---- the tile grid ----

std::vector<int> xs(const std::vector<cv::Rect>& tiles) {
  std::vector<int> out;
  for (const auto& t : tiles)
    if (t.y == tiles[0].y) out.push_back(t.x);
  return out;
}
std::vector<int> ys(const std::vector<cv::Rect>& tiles) {
  std::vector<int> out;
  for (const auto& t : tiles)
    if (t.x == tiles[0].x) out.push_back(t.y);
  return out;
}

TEST(SliceGrid, LastRowAndColumnEndAtTheImageEdge) {
  struct Case {
    cv::Size image, tile;
    float overlap;
    std::vector<int> x, y;
  };
  const std::vector<Case> cases{
      {{250, 180}, {96, 96}, 0.2f, {0, 77, 154}, {0, 77, 84}},  // not a multiple of the step
      {{173, 96}, {96, 96}, 0.2f, {0, 77}, {0}},                // exactly one step more
      {{200, 100}, {100, 50}, 0.0f, {0, 100}, {0, 50}},         // no overlap, exact fit
      {{300, 120}, {128, 64}, 0.5f, {0, 64, 128, 172}, {0, 32, 56}},
      {{60, 50}, {96, 96}, 0.2f, {0}, {0}},     // smaller than one tile
      {{500, 40}, {96, 96}, 0.2f, {0, 77, 154, 231, 308, 385, 404}, {0}},  // one side smaller
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.image.width) + "x" + std::to_string(c.image.height));
    const auto tiles = slice_grid(c.image, c.tile, c.overlap);
    EXPECT_EQ(xs(tiles), c.x);
    EXPECT_EQ(ys(tiles), c.y);
    ASSERT_EQ(tiles.size(), c.x.size() * c.y.size());
    cv::Mat covered = cv::Mat::zeros(c.image, CV_8U);
    for (const auto& t : tiles) {
      // Inside the image, all of one size (the tile clipped to the image), no padding past it.
      EXPECT_EQ(t & cv::Rect({0, 0}, c.image), t);
      EXPECT_EQ(t.size(), cv::Size(std::min(c.tile.width, c.image.width),
                                   std::min(c.tile.height, c.image.height)));
      covered(t).setTo(1);
    }
    EXPECT_EQ(cv::countNonZero(covered), c.image.area());
  }
}

TEST(SliceGrid, RefusesWhatCannotTile) {
  EXPECT_THROW(slice_grid({100, 100}, {0, 96}, 0.2f), EngineError);
  EXPECT_THROW(slice_grid({100, 100}, {96, 96}, 1.0f), EngineError);
  EXPECT_THROW(slice_grid({100, 100}, {96, 96}, -0.1f), EngineError);
  EXPECT_EQ(parse_slice_size("96"), cv::Size(96, 96));
  EXPECT_EQ(parse_slice_size("128x96"), cv::Size(128, 96));
  for (const char* bad : {"", "abc", "16", "96x", "x96", "-96", "96x96x96", "9999999"})
    EXPECT_THROW(parse_slice_size(bad), EngineError) << bad;
}

// ---- the merge ----

// A box cut by a tile border, unless `cut` says otherwise.
SlicedObject piece(float x1, float y1, float x2, float y2, float conf, int cls = 0,
                   bool cut = true) {
  SlicedObject o;
  o.box = {x1, y1, x2 - x1, y2 - y1};
  o.conf = conf;
  o.cls = cls;
  o.cut = cut;
  return o;
}

TEST(SliceMerge, PiecesOfACutObjectBecomeTheWholeObject) {
  // The object is (100,100)-(130,130); tiles overlap on 105..120 in x and y.
  const cv::Rect2f whole(100, 100, 30, 30);
  // Cut by one border: the left tile sees the left part, the right tile the right part.
  auto one = merge_sliced_objects(
      {piece(100, 100, 120, 130, 0.8f), piece(105, 100, 130, 130, 0.7f)},
      SliceMerge::kGreedyUnion, 0.5f);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].box, whole);
  EXPECT_FLOAT_EQ(one[0].conf, 0.8f);
  // Cut by two borders (a tile corner): four pieces.
  auto two = merge_sliced_objects({piece(100, 100, 120, 120, 0.6f), piece(105, 100, 130, 120, 0.9f),
                                   piece(100, 105, 120, 130, 0.5f), piece(105, 105, 130, 130, 0.7f)},
                                  SliceMerge::kGreedyUnion, 0.5f);
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two[0].box, whole);
  // NMS keeps the most confident piece as it is: the cut box stays cut.
  auto nms = merge_sliced_objects(
      {piece(100, 100, 120, 130, 0.8f), piece(105, 100, 130, 130, 0.7f)}, SliceMerge::kNms, 0.4f);
  ASSERT_EQ(nms.size(), 1u);
  EXPECT_EQ(nms[0].box, cv::Rect2f(100, 100, 20, 30));
}

TEST(SliceMerge, NeighboursAndOtherClassesStaySeparate) {
  // Two objects side by side, overlapping by a pixel, and one of another class on top.
  auto out = merge_sliced_objects({piece(0, 0, 30, 30, 0.9f), piece(29, 0, 59, 30, 0.8f),
                                   piece(0, 0, 30, 30, 0.7f, 1)},
                                  SliceMerge::kGreedyUnion, 0.5f);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].box, cv::Rect2f(0, 0, 30, 30));
  EXPECT_EQ(out[1].box, cv::Rect2f(29, 0, 30, 30));
  EXPECT_EQ(out[2].cls, 1);
}

TEST(SliceMerge, FaintOrWholeBoxesAreAbsorbedWithoutStretchingTheGroup) {
  // A faint box around two objects (as validation's low confidence keeps) and a whole
  // duplicate from a neighbouring tile: the objects keep their own boxes.
  auto out = merge_sliced_objects({piece(10, 10, 40, 40, 0.9f, 0, false),
                                   piece(60, 10, 90, 40, 0.85f),
                                   piece(5, 5, 95, 45, 0.02f, 0, false),
                                   piece(11, 10, 41, 40, 0.8f, 0, false)},
                                  SliceMerge::kGreedyUnion, 0.5f);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].box, cv::Rect2f(10, 10, 30, 30));
  EXPECT_EQ(out[1].box, cv::Rect2f(60, 10, 30, 30));
}

TEST(SliceMerge, MasksAreUnitedPixelForPixel) {
  SlicedObject a = piece(10, 10, 30, 20, 0.9f), b = piece(20, 10, 40, 20, 0.8f);
  a.mask_rect = {10, 10, 20, 10};
  a.mask = cv::Mat::ones(10, 20, CV_8U);
  b.mask_rect = {20, 12, 20, 8};  // a smaller mask, lower down
  b.mask = cv::Mat::ones(8, 20, CV_8U);
  auto out = merge_sliced_objects({a, b}, SliceMerge::kGreedyUnion, 0.5f);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].mask_rect, cv::Rect(10, 10, 30, 10));
  // a's 200 pixels, plus b's 8 x 10 beyond x = 30.
  EXPECT_EQ(cv::countNonZero(out[0].mask), 200 + 80);
  EXPECT_EQ(out[0].mask.at<uchar>(0, 15), 1);   // a
  EXPECT_EQ(out[0].mask.at<uchar>(2, 29), 1);   // b only
  EXPECT_EQ(out[0].mask.at<uchar>(1, 29), 0);   // above b, right of a
}

// ---- prediction through an exact detector ----

// Every 8-connected region of red pixels in its input is one object of class 0 whose mask is
// exactly those pixels: prototypes at full input resolution, one prototype carrying the
// redness, one coefficient reading it. Counts its calls and their batch sizes.
struct ExactDetector {
  std::vector<int64_t> batches;
  Network network() {
    Network n;
    n.names = {"thing"};
    n.segment = true;
    n.max_batch = 1024;
    n.forward = [this](const torch::Tensor& x) {
      const int64_t b = x.size(0), h = x.size(2), w = x.size(3), slots = 16;
      batches.push_back(b);
      auto pred = torch::zeros({b, 4 + 1 + 32, slots});
      auto proto = torch::full({b, 32, h, w}, -10.0f);
      for (int64_t i = 0; i < b; ++i) {
        // Red: R high, G and B low (the letterbox grey is neither).
        auto red = (x[i][0].gt(0.5) & x[i][1].lt(0.3)).to(torch::kUInt8).contiguous();
        cv::Mat m(static_cast<int>(h), static_cast<int>(w), CV_8U, red.data_ptr<uint8_t>());
        proto[i][0].masked_fill_(red.to(torch::kBool), 10.0f);
        cv::Mat labels, stats, centroids;
        const int n = cv::connectedComponentsWithStats(m, labels, stats, centroids, 8);
        for (int k = 1; k < n && k <= slots; ++k) {
          const float bx = static_cast<float>(stats.at<int>(k, cv::CC_STAT_LEFT));
          const float by = static_cast<float>(stats.at<int>(k, cv::CC_STAT_TOP));
          const float bw = static_cast<float>(stats.at<int>(k, cv::CC_STAT_WIDTH));
          const float bh = static_cast<float>(stats.at<int>(k, cv::CC_STAT_HEIGHT));
          auto slot = pred[i].select(1, k - 1);
          slot[0] = bx + bw / 2, slot[1] = by + bh / 2, slot[2] = bw, slot[3] = bh;
          slot[4] = 0.9f;
          slot[5] = 1.0f;  // the first coefficient reads the redness prototype
        }
      }
      return NetworkOutput{pred, proto};
    };
    return n;
  }
};

cv::Mat canvas(int w, int h) { return cv::Mat(h, w, CV_8UC3, cv::Scalar(40, 40, 40)); }
const cv::Scalar kRed(0, 0, 255);

PredictOptions sliced(int tile, bool full = false) {
  PredictOptions o;
  o.verbose = false;
  o.slice.width = o.slice.height = tile;
  o.slice.overlap = 0.2f;
  o.slice.full = full;
  return o;
}

cv::Rect2f box_of(const Results& r, int64_t i) {
  auto b = r.boxes.xyxy[i];
  return {b[0].item<float>(), b[1].item<float>(), b[2].item<float>() - b[0].item<float>(),
          b[3].item<float>() - b[1].item<float>()};
}

// The result's masks painted on an image-sized canvas (1 where any mask is set).
cv::Mat painted(const Results& r) {
  cv::Mat out = cv::Mat::zeros(r.orig_img.size(), CV_8U);
  for (std::size_t i = 0; i < r.masks->data.size(); ++i) {
    cv::Mat region = out(r.masks->roi[i]);
    cv::bitwise_or(region, r.masks->data[i], region);
  }
  return out;
}

// Red pixels of the image, as the detector sees them.
cv::Mat truth(const cv::Mat& image) {
  cv::Mat m;
  cv::inRange(image, cv::Scalar(0, 0, 128), cv::Scalar(76, 76, 255), m);
  return m / 255;
}

int differing(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat d;
  cv::bitwise_xor(a, b, d);
  return cv::countNonZero(d);
}

TEST(SlicedPredict, ObjectsCutByOneAndTwoBordersAreReportedOnceWhole) {
  ExactDetector detector;
  const Network net = detector.network();
  // 250 x 180 at tile 96: columns at 0, 77, 154; rows at 0, 77, 84.
  cv::Mat image = canvas(250, 180);
  cv::rectangle(image, cv::Rect(60, 20, 40, 30), kRed, cv::FILLED);   // one border (x 77..95)
  cv::rectangle(image, cv::Rect(60, 60, 40, 40), kRed, cv::FILLED);   // a tile corner
  cv::rectangle(image, cv::Rect(226, 150, 24, 30), kRed, cv::FILLED);  // at the far corner
  const Results r = predict_image(net, image, "cut.png", sliced(96));
  ASSERT_EQ(r.boxes.size(), 3u);
  std::vector<cv::Rect2f> boxes;
  for (int64_t i = 0; i < 3; ++i) boxes.push_back(box_of(r, i));
  std::sort(boxes.begin(), boxes.end(),
            [](const auto& a, const auto& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
  EXPECT_EQ(boxes[0], cv::Rect2f(60, 20, 40, 30));
  EXPECT_EQ(boxes[1], cv::Rect2f(60, 60, 40, 40));
  EXPECT_EQ(boxes[2], cv::Rect2f(226, 150, 24, 30));
  ASSERT_TRUE(r.masks && r.masks->source_pixels);
  EXPECT_EQ(differing(painted(r), truth(image)), 0);
  // Nine tiles in one forward.
  EXPECT_EQ(detector.batches, std::vector<int64_t>{9});
}

TEST(SlicedPredict, MasksLandOnTheirSourcePixelsThroughLetterboxedTiles) {
  ExactDetector detector;
  const Network net = detector.network();
  // Tile 70 runs at 96 px with 13 px of grey on each side: the padding must come off exactly.
  cv::Mat image = canvas(203, 157);
  cv::circle(image, {61, 58}, 17, kRed, cv::FILLED);           // cut by the tile borders
  std::vector<cv::Point> tri{{120, 100}, {190, 120}, {140, 150}};
  cv::fillConvexPoly(image, tri, kRed);                         // at the bottom-right tiles
  PredictOptions o = sliced(70);
  o.slice.batch = 4;
  SliceTiming timing;
  const Results r = predict_sliced(net, image, "shapes.png", o, &timing);
  EXPECT_EQ(r.boxes.size(), 2u);
  EXPECT_EQ(differing(painted(r), truth(image)), 0);
  for (const auto& outline : r.masks->xy) EXPECT_GE(outline.size(), 3u);
  // Batches of at most four tiles: memory follows the batch, not the image.
  EXPECT_EQ(timing.batches, static_cast<int>(detector.batches.size()));
  EXPECT_EQ(timing.tiles, 12);
  for (int64_t b : detector.batches) EXPECT_LE(b, 4);
}

TEST(SlicedPredict, ImageSmallerThanATileIsOneTileAtItsOwnSize) {
  ExactDetector detector;
  const Network net = detector.network();
  cv::Mat image = canvas(60, 45);
  cv::rectangle(image, cv::Rect(50, 5, 10, 12), kRed, cv::FILLED);  // against the right edge
  const Results r = predict_image(net, image, "small.png", sliced(96));
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(box_of(r, 0), cv::Rect2f(50, 5, 10, 12));
  EXPECT_EQ(differing(painted(r), truth(image)), 0);
  EXPECT_EQ(detector.batches, std::vector<int64_t>{1});
}

TEST(SlicedPredict, WholeImagePassIsMergedWithTheTiles) {
  ExactDetector detector;
  const Network net = detector.network();
  cv::Mat image = canvas(256, 192);
  cv::rectangle(image, cv::Rect(40, 30, 150, 120), kRed, cv::FILLED);  // larger than a tile
  cv::rectangle(image, cv::Rect(220, 10, 20, 20), kRed, cv::FILLED);    // small
  PredictOptions o = sliced(64, /*full=*/true);
  o.imgsz = 128;  // the whole image at half size
  SliceTiming timing;
  const Results r = predict_sliced(net, image, "big.png", o, &timing);
  ASSERT_EQ(r.boxes.size(), 2u);
  EXPECT_GT(timing.full_ms, 0);
  std::vector<cv::Rect2f> boxes{box_of(r, 0), box_of(r, 1)};
  std::sort(boxes.begin(), boxes.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
  // The half-size pass rounds to its own pixels: its box and mask edge may be off by one.
  const auto near = [](const cv::Rect2f& a, const cv::Rect2f& b) {
    return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1 &&
           std::abs(a.br().x - b.br().x) <= 1 && std::abs(a.br().y - b.br().y) <= 1;
  };
  EXPECT_TRUE(near(boxes[0], cv::Rect2f(40, 30, 150, 120)));
  EXPECT_TRUE(near(boxes[1], cv::Rect2f(220, 10, 20, 20)));
  EXPECT_LE(differing(painted(r), truth(image)), 2 * (150 + 120 + 20 + 20));
}

TEST(SlicedPredict, RealModelRunsTilesInBatches) {
  // A fresh model: what it finds is noise, but the batched path must hold together: boxes
  // inside the image, confidence ordered, at most max_det.
  YoloModel model(ModelSpec{'n', Task::detect, 2}, std::vector<std::string>{"a", "b"});
  cv::Mat image(150, 210, CV_8UC3);
  cv::randu(image, 0, 255);
  PredictOptions o = sliced(64);
  o.conf = 0.0f;  // keep the fresh model's weak guesses
  o.max_det = 50;
  const Results r = predict_image(model, image, "noise.png", o);
  ASSERT_GT(r.boxes.size(), 0u);
  EXPECT_LE(r.boxes.size(), 50u);
  EXPECT_FALSE(r.masks);
  auto b = r.boxes.xyxy;
  EXPECT_GE(b.min().item<float>(), 0.f);
  EXPECT_LE(b.select(1, 2).max().item<float>(), 210.f);
  EXPECT_LE(b.select(1, 3).max().item<float>(), 150.f);
  auto conf = r.boxes.conf;
  EXPECT_TRUE(conf.slice(0, 1).le(conf.slice(0, 0, -1)).all().item<bool>());
  const cv::Mat plotted = r.plot();
  EXPECT_EQ(plotted.size(), image.size());
}

}  // namespace

// An exported network takes one input size, which need not be square: the picture is letterboxed
// to exactly its height and width, in that order.
TEST(PlainPredict, AFixedSizeNetworkGetsItsOwnHeightAndWidth) {
  Network net;
  net.names = {"thing"};
  net.fixed_height = 64;
  net.fixed_width = 96;
  std::vector<int64_t> seen;
  net.forward = [&seen](const torch::Tensor& x) {
    seen = x.sizes().vec();
    return NetworkOutput{torch::zeros({x.size(0), 4 + 1, 8}), {}};
  };
  const Results r = predict_image(net, canvas(200, 120), "wide.png", PredictOptions{});
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 3, 64, 96}));
  EXPECT_EQ(r.boxes.size(), 0u);
}
