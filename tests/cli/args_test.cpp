#include "cli/args.h"

#include <gtest/gtest.h>

using namespace orvane::cli;

namespace {
const std::vector<KeySpec> kSpecs{
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
