#include "files/text_format.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include "files/atomic_file.h"

namespace orvane::files {
namespace {

TEST(TextLines, EveryLineEndAndNoByteOrderMarkHandling) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_lines("a\nb\r\nc\rd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(split_lines("a\n\n\r\rb\n"), (V{"a", "", "", "", "b"}));
  EXPECT_EQ(split_lines("\r\n"), (V{""}));
  EXPECT_EQ(split_lines(""), V{});
  // Only label files drop a byte order mark; plain text keeps what it holds.
  EXPECT_EQ(split_lines("\xEF\xBB\xBFx"), (V{"\xEF\xBB\xBFx"}));
}

TEST(JsonQuote, EscapesWhatJsonRequiresAndKeepsUtf8) {
  EXPECT_EQ(json_quote(""), "\"\"");
  EXPECT_EQ(json_quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(json_quote("l1\nl2\r\t"), "\"l1\\nl2\\r\\t\"");
  EXPECT_EQ(json_quote(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
  EXPECT_EQ(json_quote(std::string("a\0b", 3)), "\"a\\u0000b\"");
  EXPECT_EQ(json_quote("Mutter \xC3\xA4 \x7F"), "\"Mutter \xC3\xA4 \x7F\"");
}

TEST(UtcTimestamp, IsoToTheSecond) {
  EXPECT_TRUE(std::regex_match(utc_timestamp(),
                               std::regex(R"(20\d\d-[01]\d-[0-3]\dT[0-2]\d:[0-5]\d:[0-6]\dZ)")))
      << utc_timestamp();
}

TEST(WriteOrThrow, ThrowsTheCallersTypeWithTheReason) {
  struct MyError : std::runtime_error {
    explicit MyError(const std::string& m) : std::runtime_error(m) {}
  };
  const auto missing = std::filesystem::temp_directory_path() / "no-such-folder-orvane" / "a.txt";
  try {
    write_atomically_or_throw<MyError>(missing, "x");
    FAIL() << "no exception";
  } catch (const MyError& e) {
    EXPECT_NE(std::string(e.what()).find("a.txt"), std::string::npos) << e.what();
  }
  const auto ok = std::filesystem::temp_directory_path() / "orvane-write-or-throw.txt";
  EXPECT_NO_THROW(write_atomically_or_throw<MyError>(ok, "x"));
  std::filesystem::remove(ok);
}

}  // namespace
}  // namespace orvane::files
