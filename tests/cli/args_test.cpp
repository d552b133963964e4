#include "cli/args.h"

#include <gtest/gtest.h>

using namespace orvane::cli;

namespace {
const std::vector<KeyHelp> kSpecs{
    {"source", "", ""}, {"parts", "4", ""}, {"subfolders", "true", ""}, {"range", "-30,30", ""}};
}

TEST(Args, DefaultsGivenValuesAndTypes) {
  const Args args({"source=/a b/c=d", "parts=6"}, kSpecs);
  EXPECT_EQ(args.str("source"), "/a b/c=d");  // only the first '=' splits
  EXPECT_EQ(args.integer("parts"), 6);
  EXPECT_TRUE(args.boolean("subfolders"));
  EXPECT_EQ(args.range("range"), std::make_pair(-30.0, 30.0));
  EXPECT_FALSE(args.has("range"));
}

TEST(Args, RejectsTyposAndBadValues) {
  EXPECT_THROW(Args({"prats=3"}, kSpecs), ArgError);
  EXPECT_THROW(Args({"parts"}, kSpecs), ArgError);
  EXPECT_THROW(Args({"parts=3x"}, kSpecs).integer("parts"), ArgError);
  EXPECT_THROW(Args({"subfolders=yes"}, kSpecs).boolean("subfolders"), ArgError);
  EXPECT_THROW(Args({"range=5"}, kSpecs).range("range"), ArgError);
}

// Defaults print as the words that would set them: a real number never grows digits.
TEST(Args, DefaultTextIsTheShortestExactWord) {
  EXPECT_EQ(default_text(0.01), "0.01");
  EXPECT_EQ(default_text(0.0123), "0.0123");
  EXPECT_EQ(default_text(640), "640");
  EXPECT_EQ(default_text(-1), "-1");
  EXPECT_EQ(Args({}, {{"lr0", default_text(0.01), ""}}).real("lr0"), 0.01);
}
