#include "resizer/resize_settings.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace orvane::resizer;

namespace {

struct PxCase {
  const char* text;
  const char* unit;
  double dpi;
  std::optional<qint64> pixels;
};

TEST(ToPx, PhysicalUnitsAndRoundingHalvesToEven) {
  const PxCase cases[] = {
      {"10", "cm", 300, 1181},
      {"210", "mm", 300, 2480},
      {"12", "pt", 300, 50},
      {"8.5", "in", 300, 2550},
      {"2.5", "px", 300, 2},
      {"3.5", "px", 300, 4},
      {"-2.5", "px", 300, -2},
      {"1", "in", 72.5, 72},
      {"1", "in", 73.5, 74},
      {" 640 ", "px", 300, 640},
      {"1e3", "px", 300, 1000},
      {"0", "px", 300, std::nullopt},
      {"0.4", "px", 300, std::nullopt},  // rounds to 0: left to the other rules
      {"", "cm", 300, std::nullopt},
      {"   ", "px", 300, std::nullopt},
  };
  for (const PxCase& c : cases) {
    const auto result = to_px(c.text, c.unit, c.dpi);
    ASSERT_TRUE(result.ok()) << c.text << " " << c.unit << ": " << result.error().toStdString();
    EXPECT_EQ(*result, c.pixels) << c.text << " " << c.unit << " @" << c.dpi;
  }
}

TEST(ToPx, TextsThatAreNotNumbersOrCannotBeRoundedFail) {
  for (const char* text : {"abc", "12px", "1,5", "1e400", "nan"}) {
    const auto result = to_px(text, "px", 300);
    EXPECT_FALSE(result.ok()) << text;
    EXPECT_FALSE(result.error().isEmpty());
  }
  EXPECT_FALSE(to_px("1", "furlong", 300).ok());
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(*round_half_even(0.5), 0);
  EXPECT_EQ(*round_half_even(1.5), 2);
  EXPECT_EQ(*round_half_even(562.5), 562);
  EXPECT_EQ(*round_half_even(-0.5), 0);
  EXPECT_EQ(*round_half_even(-1.5), -2);
  EXPECT_EQ(*round_half_even(2.5000001), 3);
  EXPECT_FALSE(round_half_even(INFINITY).ok());
  EXPECT_FALSE(round_half_even(1e19).ok());
}

TEST(ParseDpi, EmptyMeansThreeHundredAndSpacesAloneAreNotANumber) {
  EXPECT_EQ(*parse_dpi(""), 300.0);
  EXPECT_EQ(*parse_dpi(" 150 "), 150.0);
  EXPECT_EQ(*parse_dpi("72.5"), 72.5);
  EXPECT_FALSE(parse_dpi("   ").ok());
  EXPECT_FALSE(parse_dpi("300dpi").ok());
}

SizeSettings sized(const char* w, const char* h, bool lock = true, const char* unit = "px") {
  SizeSettings s;
  s.width_text = w;
  s.height_text = h;
  s.lock_aspect = lock;
  s.unit = unit;
  return s;
}

TEST(TargetSize, AspectLockFillsTheMissingSide) {
  EXPECT_EQ(*target_size({1920, 1080}, sized("1000", ""), 300, true), (PixelSize{1000, 562}));
  EXPECT_EQ(*target_size({4000, 3000}, sized("", "300"), 300, true), (PixelSize{400, 300}));
  // Both given: stretched to exactly that, lock or not.
  EXPECT_EQ(*target_size({4000, 3000}, sized("1000", "500"), 300, true), (PixelSize{1000, 500}));
  // Unlocked: each given side replaces its own only.
  EXPECT_EQ(*target_size({1920, 1080}, sized("1000", "", false), 300, true),
            (PixelSize{1000, 1080}));
  // "0" leaves the side to the other rules; nothing given changes nothing.
  EXPECT_EQ(*target_size({1920, 1080}, sized("0", "540"), 300, true), (PixelSize{960, 540}));
  EXPECT_EQ(*target_size({1920, 1080}, sized("", ""), 300, true), (PixelSize{1920, 1080}));
  // Physical: 10 cm wide at 300 DPI from a 4:3 photo.
  EXPECT_EQ(*target_size({4000, 3000}, sized("10", "", true, "cm"), 300, true),
            (PixelSize{1181, 886}));
  // Negative sizes are reported as they are (the batch refuses them).
  EXPECT_EQ(*target_size({100, 100}, sized("-50", ""), 300, true), (PixelSize{-50, -50}));
  EXPECT_FALSE(target_size({100, 100}, sized("wide", ""), 300, true).ok());
}

TEST(TargetSize, RotationSwapsThePredictionOnly) {
  SizeSettings off;
  off.resize_on = false;
  off.width_text = "1000";  // ignored while resizing is off
  off.rotation = 90;
  EXPECT_EQ(*target_size({4000, 3000}, off, 300, true), (PixelSize{3000, 4000}));
  EXPECT_EQ(*target_size({4000, 3000}, off, 300, false), (PixelSize{4000, 3000}));
  off.rotation = 180;
  EXPECT_EQ(*target_size({4000, 3000}, off, 300, true), (PixelSize{4000, 3000}));
  SizeSettings on = sized("1000", "");
  on.rotation = 270;
  EXPECT_EQ(*target_size({1920, 1080}, on, 300, true), (PixelSize{562, 1000}));
}

TEST(ParseRotation, DegreeSignIsIgnored) {
  EXPECT_EQ(*parse_rotation("0°"), 0);
  EXPECT_EQ(*parse_rotation("90°"), 90);
  EXPECT_EQ(*parse_rotation("270"), 270);
  EXPECT_FALSE(parse_rotation("45°").ok());
}

TEST(OutputName, SuffixKeptUnderMatchOriginalElseFormatName) {
  using F = FormatChoice;
  EXPECT_EQ(output_file_name("/a/photo.PNG", F::MatchOriginal), "photo_scaled.PNG");
  EXPECT_EQ(output_file_name("/a/photo.PNG", F::Jpeg), "photo_scaled.jpeg");
  EXPECT_EQ(output_file_name("/a/photo.PNG", F::Png), "photo_scaled.png");
  EXPECT_EQ(output_file_name("/a/photo.PNG", F::Webp), "photo_scaled.webp");
  EXPECT_EQ(output_file_name("/a/car.left.jpg", F::MatchOriginal), "car.left_scaled.jpg");
  EXPECT_EQ(output_file_name("/a/.hidden", F::MatchOriginal), ".hidden_scaled");
  EXPECT_EQ(output_file_name("/a/..png", F::Png), "..png_scaled.png");
  EXPECT_EQ(output_file_name("/a/.x.webp", F::MatchOriginal), ".x_scaled.webp");
  EXPECT_EQ(output_file_name("/a/noext", F::Jpeg), "noext_scaled.jpeg");
}

TEST(FormatChoice, BoxTextsAndCommandLineWords) {
  EXPECT_EQ(parse_format_choice("Match Original"), FormatChoice::MatchOriginal);
  EXPECT_EQ(parse_format_choice("match"), FormatChoice::MatchOriginal);
  EXPECT_EQ(parse_format_choice("JPEG"), FormatChoice::Jpeg);
  EXPECT_EQ(parse_format_choice("webp"), FormatChoice::Webp);
  EXPECT_EQ(parse_format_choice("gif"), std::nullopt);
}

TEST(PreviewText, FiguresAsTheOperatorReadsThem) {
  EXPECT_EQ(format_kb(1023), "1.0");
  EXPECT_EQ(format_kb(123456), "120.6");
  EXPECT_EQ(format_kb(0), "0.0");
  EXPECT_EQ(format_kb(256), "0.2");  // 0.25 exactly: half to even
  EXPECT_EQ(format_kb(1048576), "1024.0");
  EXPECT_EQ(format_kb(251187), "245.3");
  EXPECT_EQ(preview_details({1181, 886}, 300, 251187),
            "Predicted Output: 1181x886 px | 300 DPI | Orig: 245.3 KB");
  EXPECT_EQ(preview_details({10, 20}, 72.5, 1023),
            "Predicted Output: 10x20 px | 72 DPI | Orig: 1.0 KB");
  EXPECT_EQ(preview_details({-5, 7}, 299.6, 0),
            "Predicted Output: -5x7 px | 300 DPI | Orig: 0.0 KB");
}

}  // namespace
