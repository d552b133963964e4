#include "label_geometry/label_geometry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "splitter/splitter_core.h"

using namespace orvane::label_geometry;
using orvane::Result;
using Poly = std::vector<cv::Point2d>;

namespace {

Shape box(double x0, double y0, double x1, double y1, long long id = 0) {
  return {id, true, {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}};
}

// A "U": two 10 x 40 legs joined by a 20 x 10 bar at the bottom, 40 x 40 overall, area 1000.
Poly u_shape(double x, double y) {
  return {{x, y},      {x + 10, y}, {x + 10, y + 30}, {x + 30, y + 30},
          {x + 30, y}, {x + 40, y}, {x + 40, y + 40}, {x, y + 40}};
}

TEST(Clipping, ConvexSquareLosesExactlyThePartBeyondEachEdge) {
  const cv::Rect2d tile(100, 50, 100, 80);
  struct Case {
    const char* edge;
    double x, y;  // top-left of a 20 x 20 square
    double inside;
  };
  for (const Case& c :
       {Case{"left", 95, 60, 300}, Case{"right", 190, 60, 200}, Case{"top", 120, 45, 300},
        Case{"bottom", 120, 125, 100}, Case{"corner", 190, 125, 50}, Case{"inside", 120, 60, 400},
        Case{"outside", 10, 10, 0}}) {
    const Poly square{{c.x, c.y}, {c.x + 20, c.y}, {c.x + 20, c.y + 20}, {c.x, c.y + 20}};
    const Poly clipped = clip_to_rect(square, tile);
    EXPECT_NEAR(std::abs(polygon_area(clipped)), c.inside, 1e-9) << c.edge;
    for (const cv::Point2d& p : clipped) {
      EXPECT_GE(p.x, tile.x) << c.edge;
      EXPECT_LE(p.x, tile.x + tile.width) << c.edge;
      EXPECT_GE(p.y, tile.y) << c.edge;
      EXPECT_LE(p.y, tile.y + tile.height) << c.edge;
    }
  }
}

TEST(Clipping, ConcavePolygonCutIntoTwoPiecesKeepsTheirExactArea) {
  const Poly u = u_shape(0, 0);
  ASSERT_DOUBLE_EQ(std::abs(polygon_area(u)), 1000);
  // Only the two legs' tops (y < 20) remain: two 10 x 20 pieces, joined along the clip line.
  EXPECT_NEAR(std::abs(polygon_area(clip_to_rect(u, {-5, -5, 60, 25}))), 400, 1e-9);
  // The right leg and half the bar.
  EXPECT_NEAR(std::abs(polygon_area(clip_to_rect(u, {20, 0, 40, 50}))), 400 + 100, 1e-9);
  // Half-plane x <= 20 through the notch: the left leg and the left half of the bar.
  EXPECT_NEAR(std::abs(polygon_area(clip_half_plane(u, -1, 0, 20))), 400 + 100, 1e-9);
  // Half-plane y >= 35 (the bar's lower half only): 40 x 5.
  EXPECT_NEAR(std::abs(polygon_area(clip_half_plane(u, 0, 1, -35))), 200, 1e-9);
}

TEST(TileShapes, BoxAtEachTileEdgeStaysABoxExactlyOnTheEdge) {
  const cv::Rect tile(100, 100, 50, 40);
  struct Case {
    Shape in;
    Shape expected;  // in tile pixels
  };
  const Case cases[] = {
      {box(90, 110, 110, 120), box(0, 10, 10, 20)},    // left edge
      {box(140, 110, 170, 120), box(40, 10, 50, 20)},  // right edge
      {box(120, 95, 130, 105), box(20, 0, 30, 5)},     // top edge
      {box(120, 135, 130, 145), box(20, 35, 30, 40)},  // bottom edge
  };
  for (const Case& c : cases) {
    const auto out = shapes_in_tile({c.in}, tile, 0.25);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].box);
    EXPECT_EQ(out[0].points, c.expected.points);
  }
  // Written back as a box line, not as a four-vertex polygon.
  EXPECT_EQ(format_labels(shapes_in_tile({box(90, 110, 110, 120, 3)}, tile), tile.size()),
            "3 0.100000 0.375000 0.200000 0.250000\n");
}

TEST(TileShapes, VisibilityRuleIsByArea) {
  const cv::Rect tile(0, 0, 100, 100);
  // 25 % of a 40 x 40 box inside (a 10-wide strip); a 4-pixel wide sliver of a tall one.
  const Shape quarter = box(90, 10, 130, 50);
  EXPECT_EQ(shapes_in_tile({quarter}, tile, 0.25).size(), 1u);
  EXPECT_EQ(shapes_in_tile({quarter}, tile, 0.26).size(), 0u);
  // The U's inside part is 400 of 1000: its outline crosses the edge more than its area does.
  const Shape u{1, false, u_shape(0, 80)};
  EXPECT_EQ(shapes_in_tile({u}, tile, 0.4).size(), 1u);
  EXPECT_EQ(shapes_in_tile({u}, tile, 0.41).size(), 0u);
  // min_visible 0: any area inside counts, but touching the edge is not being inside.
  EXPECT_EQ(shapes_in_tile({box(99.5, 0, 140, 10)}, tile, 0).size(), 1u);
  EXPECT_EQ(shapes_in_tile({box(100, 0, 140, 10)}, tile, 0).size(), 0u);
  // Zero-area shapes (a point) are kept by where they are.
  EXPECT_EQ(shapes_in_tile({Shape{2, false, {{50, 50}}}}, tile).size(), 1u);
  EXPECT_EQ(shapes_in_tile({Shape{2, false, {{150, 50}}}}, tile).size(), 0u);
  EXPECT_EQ(shapes_in_tile({Shape{2, false, {}}}, tile).size(), 0u);
}

TEST(TileShapes, RenormalisedLabelsPutEveryVertexWhereItWasInTheImage) {
  const cv::Size image(1001, 703);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-0.1, 1.1);
  std::vector<Shape> shapes;
  for (int i = 0; i < 40; ++i) {
    Shape s{i % 5, i % 3 == 0, {}};
    const int n = s.box ? 0 : 3 + i % 6;
    for (int k = 0; k < n; ++k) s.points.emplace_back(u(rng) * image.width, u(rng) * image.height);
    if (s.box) {
      const double x = u(rng) * image.width, y = u(rng) * image.height;
      s = box(x, y, x + 150, y + 90, s.class_id);
    }
    shapes.push_back(s);
  }
  // Through the label text, as a tile's label file holds it.
  const Result<LabelFile> parsed = parse_label_shapes(format_labels(shapes, image), image);
  ASSERT_TRUE(parsed) << parsed.error().toStdString();
  const LabelFile& read = *parsed;
  const double tolerance = 1e-6 * image.width;
  for (const cv::Rect& tile :
       orvane::splitter::tile_rects(image.width, image.height, {3, 3}, 20.0)) {
    const auto expected = shapes_in_tile(read.shapes, tile, 0.25);
    const Result<LabelFile> reparsed = parse_label_shapes(format_labels(expected, tile.size()), tile.size());
    ASSERT_TRUE(reparsed);
    const LabelFile& back = *reparsed;
    ASSERT_EQ(back.shapes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(back.shapes[i].points.size(), expected[i].points.size());
      for (size_t k = 0; k < expected[i].points.size(); ++k) {
        // The tile's offset, back in image pixels.
        EXPECT_NEAR(back.shapes[i].points[k].x, expected[i].points[k].x, tolerance);
        EXPECT_NEAR(back.shapes[i].points[k].y, expected[i].points[k].y, tolerance);
      }
    }
    // A shape wholly inside keeps every vertex: tile pixel + tile offset = image pixel.
    for (const Shape& s : read.shapes) {
      const cv::Rect2d r(tile.x, tile.y, tile.width, tile.height);
      if (!std::all_of(s.points.begin(), s.points.end(),
                       [&](const cv::Point2d& p) { return r.contains(p); }))
        continue;
      const auto in = shapes_in_tile({s}, tile, 0.25);
      ASSERT_EQ(in.size(), 1u);
      const Result<LabelFile> one = parse_label_shapes(format_labels(in, tile.size()), tile.size());
      ASSERT_TRUE(one);
      ASSERT_EQ(one->shapes[0].points.size(), s.points.size());
      for (size_t k = 0; k < s.points.size(); ++k) {
        EXPECT_NEAR(one->shapes[0].points[k].x + tile.x, s.points[k].x, tolerance);
        EXPECT_NEAR(one->shapes[0].points[k].y + tile.y, s.points[k].y, tolerance);
      }
    }
  }
}

TEST(TileShapes, EmptyTileGivesAnEmptyLabelText) {
  const auto none = shapes_in_tile({box(0, 0, 10, 10)}, cv::Rect(50, 50, 50, 50));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(format_labels(none, {50, 50}), "");
}

TEST(OverlapGeometry, EqualTilesFromEdgeToEdgeSharingTheMargin) {
  using orvane::splitter::Grid;
  using orvane::splitter::tile_rects;
  struct Case {
    int w, h;
    Grid grid;
    double overlap;
  };
  for (const Case& c :
       {Case{640, 640, {3, 3}, 20}, Case{1001, 703, {2, 4}, 10}, Case{100, 37, {1, 5}, 50},
        Case{64, 64, {4, 4}, 90}, Case{5, 3, {3, 3}, 20}}) {
    const auto rects = tile_rects(c.w, c.h, c.grid, c.overlap);
    ASSERT_EQ(rects.size(), size_t(c.grid.rows * c.grid.cols));
    const cv::Size size = rects[0].size();
    cv::Mat covered = cv::Mat::zeros(c.h, c.w, CV_8U);
    for (size_t i = 0; i < rects.size(); ++i) {
      const cv::Rect& r = rects[i];
      EXPECT_EQ(r.size(), size);
      EXPECT_EQ(r & cv::Rect(0, 0, c.w, c.h), r) << "inside the image";
      covered(r).setTo(1);
      const int col = int(i) % c.grid.cols, row = int(i) / c.grid.cols;
      if (col == 0) {
        EXPECT_EQ(r.x, 0);
      }
      if (col == c.grid.cols - 1) {
        EXPECT_EQ(r.x + r.width, c.w);
      }
      if (row == 0) {
        EXPECT_EQ(r.y, 0);
      }
      if (row == c.grid.rows - 1) {
        EXPECT_EQ(r.y + r.height, c.h);
      }
      if (col > 0 && c.w >= c.grid.cols) {
        const int shared = rects[i - 1].x + size.width - r.x;
        EXPECT_GE(shared, std::floor(c.overlap / 100 * size.width)) << c.w << " col " << col;
      }
    }
    EXPECT_EQ(cv::countNonZero(covered), c.w * c.h);
  }
  // No overlap is the plain grid, remainders in the last row and column.
  EXPECT_EQ(tile_rects(1001, 7, {2, 2}, 0.0), tile_rects(1001, 7, {2, 2}));
}

TEST(LabelText, BadLinesAreRefusedByLineNumber) {
  const cv::Size size(100, 50);
  const Result<LabelFile> parsed = parse_label_shapes(
      "\xEF\xBB\xBF"
      "0 0.5 0.5 0.2 0.4\r\n\n2 0.1 0.1 0.3 0.1 0.2 0.3\n5 \n",
      size);
  ASSERT_TRUE(parsed) << parsed.error().toStdString();
  const LabelFile& ok = *parsed;
  ASSERT_EQ(ok.shapes.size(), 3u);
  EXPECT_TRUE(ok.shapes[0].box);
  EXPECT_EQ(ok.shapes[0].points[0], cv::Point2d(40, 15));
  EXPECT_EQ(ok.shapes[0].points[2], cv::Point2d(60, 35));
  EXPECT_FALSE(ok.shapes[1].box);
  EXPECT_EQ(ok.shapes[1].points[2], cv::Point2d(20, 15));
  EXPECT_TRUE(ok.shapes[2].points.empty());
  struct Case {
    const char* text;
    const char* error;
  };
  for (const Case& c : {Case{"0 0.5 0.5 0.2 0.2\nx 0.1 0.1 0.2 0.2", "line 2: class id 'x'"},
                        Case{"-1 0.1 0.1 0.2 0.2", "line 1: class id -1 is negative"},
                        Case{"0 0.1 abc 0.2 0.2", "line 1: coordinate 'abc'"},
                        Case{"0 0.1 0.2 0.3", "line 1: an x coordinate has no y"},
                        Case{"0 0.1 nan 0.3 0.4", "line 1: a coordinate is not a finite"}}) {
    const Result<LabelFile> bad = parse_label_shapes(c.text, size);
    ASSERT_FALSE(bad);
    EXPECT_TRUE(bad.error().startsWith(c.error)) << bad.error().toStdString();
  }
}

// The class list travels with the labels: once per source and output folder in a batch, never over
// another list, and not at all from a folder without one.
TEST(ClassLists, EachPairIsCarriedOnceAndAForeignListIsKept) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("orvane_class_lists_" + std::to_string(::getpid()));
  fs::remove_all(root);
  const auto write = [](const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  };
  const auto read = [](const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  write(root / "a" / "classes.txt", "cat\ndog\n");
  write(root / "b" / "classes.txt", "car\n");
  fs::create_directories(root / "plain");
  fs::create_directories(root / "out1");
  fs::create_directories(root / "out2");

  ClassListCarrier carrier;
  EXPECT_TRUE(carrier.carry(root / "a", root / "out1"));
  EXPECT_EQ(read(root / "out1" / "classes.txt"), "cat\ndog\n");
  // Asked again for the same pair, the carrier does not look: an edit made since stays.
  write(root / "out1" / "classes.txt", "edited\n");
  EXPECT_TRUE(carrier.carry(root / "a", root / "out1"));
  EXPECT_EQ(read(root / "out1" / "classes.txt"), "edited\n");
  // Another output folder gets its own copy; another source's list is not written over it.
  EXPECT_TRUE(carrier.carry(root / "a", root / "out2"));
  const Result<> kept = carrier.carry(root / "b", root / "out2");
  ASSERT_FALSE(kept);
  EXPECT_TRUE(kept.error().startsWith("Kept")) << kept.error().toStdString();
  EXPECT_EQ(read(root / "out2" / "classes.txt"), "cat\ndog\n");
  // A source folder without a list gives none.
  EXPECT_TRUE(ClassListCarrier().carry(root / "plain", root / "out3"));
  EXPECT_FALSE(fs::exists(root / "out3" / "classes.txt"));

  // A picture's labels are in the file beside it, whatever its extension's case.
  write(root / "set" / "p.txt", "0 0.5 0.5 0.5 0.5\n");
  const Result<LabelFile> labels = read_image_labels(root / "set" / "p.PNG", {100, 100});
  ASSERT_TRUE(labels);
  EXPECT_TRUE(labels->found);
  ASSERT_EQ(labels->shapes.size(), 1u);
  EXPECT_EQ(labels->shapes[0].points[0], cv::Point2d(25, 25));
  fs::remove_all(root);
}

}  // namespace
