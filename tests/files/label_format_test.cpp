#include "files/label_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace orvane::files;

TEST(ImageNames, ExtensionFromTheLastDotLeadingDotsNeverStartOne) {
  const struct {
    const char* path;
    const char* ext;
    const char* label;
  } cases[] = {
      {"d/car.left.JPG", ".JPG", "d/car.left.txt"},
      {"d/.png", "", "d/.png.txt"},
      {"d/..png", "", "d/..png.txt"},
      {"d/...a.png", ".png", "d/...a.txt"},
      {"d/README", "", "d/README.txt"},
      {"d.x/README", "", "d.x/README.txt"},  // a dot in a folder name is no extension
      {"C:\\data\\img.webp", ".webp", "C:\\data\\img.txt"},
      {"plain.", ".", "plain.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(file_extension(c.path), c.ext) << c.path;
    EXPECT_EQ(label_path_for(c.path), c.label) << c.path;
  }
}

TEST(ImageNames, TheFiveExtensionsInAnyCase) {
  for (const char* name : {"a.jpg", "Photo.JPG", "b.jpeg", "c.Png", "d.bmp", "scan.WebP"})
    EXPECT_TRUE(is_image_path(name)) << name;
  for (const char* name :
       {"notes.txt", "archive.tif", ".png", "..png", "png", "a.png.bak", "a.jpgx", "dir.png/file"})
    EXPECT_FALSE(is_image_path(name)) << name;
}

TEST(LabelText, LineEndsByteOrderMarkAndFinalLine) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_label_text("a\nb\r\nc\rd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(split_label_text("a\n"), (V{"a"}));
  EXPECT_EQ(split_label_text("a\n\nb\n"), (V{"a", "", "b"}));
  EXPECT_EQ(split_label_text("\r\n"), (V{""}));
  EXPECT_EQ(split_label_text(""), V{});
  EXPECT_EQ(split_label_text("\xEF\xBB\xBF"
                             "0 1 2\n"),
            (V{"0 1 2"}));
}

TEST(LabelLine, TokensSplitOnAnyWhiteSpaceAndOptionallyCommas) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_label_tokens("  0\t0.5  0.5 \v0.2\f0.1\r"), (V{"0", "0.5", "0.5", "0.2", "0.1"}));
  EXPECT_EQ(split_label_tokens("0,0.5,0.5"), (V{"0,0.5,0.5"}));
  EXPECT_EQ(split_label_tokens("0,0.5, 0.5", true), (V{"0", "0.5", "0.5"}));
}

TEST(LabelLine, BoxAndPolygonForms) {
  const LabelLine box = parse_label_line("3 0.5 0.5 0.2 0.1");
  ASSERT_TRUE(box.class_id);
  EXPECT_EQ(*box.class_id, 3);
  EXPECT_TRUE(box.is_box());
  EXPECT_EQ(box.coords, (std::vector<double>{0.5, 0.5, 0.2, 0.1}));

  const LabelLine poly = parse_label_line("0 0.1 0.2 0.3 0.4 0.5 0.6\r\n");
  EXPECT_FALSE(poly.is_box());
  EXPECT_EQ(poly.coords.size(), 6u);
  EXPECT_EQ(poly.token_count, 7u);

  // Two points are no box, and an odd count is the caller's to judge.
  EXPECT_FALSE(parse_label_line("0 0.1 0.2").is_box());
  EXPECT_EQ(parse_label_line("0 0.1 0.2 0.3").coords.size(), 3u);
  EXPECT_TRUE(parse_label_line("   ").blank());
  EXPECT_TRUE(parse_label_line("").blank());
}

TEST(LabelLine, ClassIdForms) {
  EXPECT_EQ(parse_label_line("-2 0.5 0.5").class_id, -2);
  EXPECT_EQ(parse_label_line("+4 0.5 0.5").class_id, 4);
  EXPECT_EQ(parse_label_line("007 0.5 0.5").class_id, 7);
  const LabelLine whole = parse_label_line("1.0 0.5 0.5");
  EXPECT_FALSE(whole.class_id);
  EXPECT_FALSE(whole.class_overflow);
  EXPECT_EQ(whole.class_token, "1.0");
  const LabelLine huge = parse_label_line("99999999999999999999 0.5 0.5");
  EXPECT_FALSE(huge.class_id);
  EXPECT_TRUE(huge.class_overflow);
  EXPECT_EQ(parse_label_line("-9223372036854775808 1 1").class_id,
            std::numeric_limits<long long>::min());
  EXPECT_FALSE(parse_label_line("cat 0.5 0.5").class_id);
  EXPECT_FALSE(parse_label_line("- 0.5 0.5").class_id);
}

TEST(LabelLine, TheFirstTokenThatIsNoNumberIsNamed) {
  const LabelLine bad = parse_label_line("0 0.5 abc 0.2 x");
  EXPECT_EQ(bad.bad_token, "abc");
  EXPECT_EQ(bad.coords, (std::vector<double>{0.5}));
  EXPECT_FALSE(bad.is_box());
  EXPECT_EQ(parse_label_line("0 0.5 0.5 0.2 0.2a").bad_token, "0.2a");
  EXPECT_EQ(parse_label_line("0 0x10 0.5").bad_token, "0x10");
  EXPECT_EQ(parse_label_line("0 +-1 0.5").bad_token, "+-1");
  EXPECT_EQ(parse_label_line("0 0,5 0.5").bad_token, "0,5");  // no locale decimal comma
}

TEST(LabelNumber, AcceptedForms) {
  EXPECT_EQ(parse_label_number("+0.5"), 0.5);
  EXPECT_EQ(parse_label_number(".5"), 0.5);
  EXPECT_EQ(parse_label_number("5."), 5.0);
  EXPECT_EQ(parse_label_number("1e-3"), 0.001);
  EXPECT_EQ(parse_label_number("-0.25"), -0.25);
  EXPECT_TRUE(std::isnan(*parse_label_number("nan")));
  EXPECT_TRUE(std::isinf(*parse_label_number("-INF")));
  EXPECT_TRUE(std::isinf(*parse_label_number("1e999")));
  EXPECT_EQ(parse_label_number("1e-999"), 0.0);
  for (const char* bad : {"", "+", "e5", "1..2", "0.5.", " 1", "1 "})
    EXPECT_FALSE(parse_label_number(bad)) << bad;
}

TEST(LabelWrite, SixDecimalsClampedTiesToEven) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.5, "0.500000"},       {1.0 / 3, "0.333333"}, {2.0 / 3, "0.666667"},
      {0.0078125, "0.007812"},  // exact tie, 2 is even: down
      {0.0234375, "0.023438"},  // exact tie, 7 is odd: up
      {-0.0, "0.000000"},      {-1e-9, "0.000000"},   {1.0000001, "1.000000"},
      {7.5, "1.000000"},       {NAN, "0.000000"},     {INFINITY, "1.000000"},
      {0.9999996, "1.000000"}, {1e-7, "0.000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_label_coordinate(c.value), c.text) << c.value;
}

TEST(LabelWrite, LinesOfBothForms) {
  // The triangle (10,20) (50,20) (30,60) on a 100 x 80 image.
  EXPECT_EQ(format_polygon_line(0, {0.1, 0.25, 0.5, 0.25, 0.3, 0.75}),
            "0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000");
  EXPECT_EQ(format_polygon_line(3, {}), "3 ");
  EXPECT_EQ(format_polygon_line(1, {0.5}), "1 ");  // a lone x is no vertex
  EXPECT_EQ(format_box_line(2, 0.5, 0.25, 1.5, -0.1), "2 0.500000 0.250000 1.000000 0.000000");
}

// What is written reads back to the same numbers, and writing those again gives the same bytes.
TEST(LabelWrite, RoundTripsAreByteExact) {
  for (const std::string line : {"0 0.100000 0.250000 0.500000 0.250000 0.300000 0.750000",
                                 "12 0.000000 1.000000", "4 0.333333 0.666667 0.123457 0.987654"}) {
    const LabelLine parsed = parse_label_line(line);
    ASSERT_TRUE(parsed.class_id);
    const std::string again =
        parsed.is_box() ? format_box_line(*parsed.class_id, parsed.coords[0], parsed.coords[1],
                                          parsed.coords[2], parsed.coords[3])
                        : format_polygon_line(*parsed.class_id, parsed.coords);
    EXPECT_EQ(again, line);
  }
}

TEST(LabelRemap, RenumbersAndDropsWhileCarryingEveryOtherByte) {
  // Ids 0 -> deleted, 1 -> 0, 2 -> 1; a box, a polygon, odd spacing, every line end, a byte order
  // mark, an id outside the table, a negative id, a non-integer token and a blank line.
  const std::string text =
      "\xEF\xBB\xBF"
      "1 0.500000 0.5 0.2 0.2\r\n"
      "0 0.1 0.1 0.2 0.1 0.2 0.2\n"
      "  2\t0.1  0.2 0.3 0.4 0.5 0.6\r"
      "7 0.5 0.5 0.1 0.1\n"
      "-1 0.5 0.5 0.1 0.1\n"
      "car 0.5 0.5 0.1 0.1\n"
      "\n"
      "02 0.3 0.3 0.3 0.3";
  const orvane::files::ClassRemap out = orvane::files::remap_label_classes(text, {-1, 0, 1});
  EXPECT_EQ(out.text,
            "\xEF\xBB\xBF"
            "0 0.500000 0.5 0.2 0.2\r\n"
            "  1\t0.1  0.2 0.3 0.4 0.5 0.6\r"
            "7 0.5 0.5 0.1 0.1\n"
            "-1 0.5 0.5 0.1 0.1\n"
            "car 0.5 0.5 0.1 0.1\n"
            "\n"
            "1 0.3 0.3 0.3 0.3");
  EXPECT_EQ(out.renumbered, 3u);
  EXPECT_EQ(out.removed, 1u);
  EXPECT_EQ(out.carried, 3u);
}

TEST(LabelRemap, UnchangedIdsKeepTheirTokenAsWritten) {
  // "00" stays "00" when its id does not move: nothing that needs no change is rewritten.
  const std::string text = "00 0.1 0.1 0.1 0.1\n1 0.2 0.2 0.2 0.2\n";
  EXPECT_EQ(orvane::files::remap_label_classes(text, {0, 1}).text, text);
  EXPECT_EQ(orvane::files::remap_label_classes(text, {1, 0}).text,
            "1 0.1 0.1 0.1 0.1\n0 0.2 0.2 0.2 0.2\n");
}
