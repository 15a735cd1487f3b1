#include "text.h"

#include <gtest/gtest.h>

namespace lmr::text {
namespace {

TEST(ParseUnsigned, Table) {
  const std::string bad = "invalid digit found in string",
                    large = "number too large to fit in target type";
  const std::tuple<const char*, uint64_t, Result<uint64_t>> rows[] = {
      {"0", UINT64_MAX, 0},
      {"+3", UINT64_MAX, 3},
      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
      {"4294967295", UINT32_MAX, UINT32_MAX},
      {"", UINT64_MAX, fail("cannot parse integer from empty string")},
      {"+", UINT64_MAX, fail(bad)},
      {"-3", UINT64_MAX, fail(bad)},
      {" 1", UINT64_MAX, fail(bad)},
      {"1 ", UINT64_MAX, fail(bad)},
      {"++1", UINT64_MAX, fail(bad)},
      {"0x10", UINT64_MAX, fail(bad)},
      {"18446744073709551616", UINT64_MAX, fail(large)},
      {"4294967296", UINT32_MAX, fail(large)},
      {"4294967299", UINT32_MAX, fail(large)},
      // A bad digit anywhere wins over an overflow before it.
      {"99999999999999999999x", UINT64_MAX, fail(bad)},
  };
  for (const auto& [text, max, expected] : rows) {
    const Result<uint64_t> got = parse_unsigned(text, max);
    EXPECT_EQ(got ? std::to_string(*got) : got.error().message(),
              expected ? std::to_string(*expected) : expected.error().message())
        << '"' << text << '"';
  }
}

// Each boundary of the encoding from both sides: a truncated sequence, the
// shortest forms of two, three and four bytes, the surrogate gap, U+10FFFF.
TEST(Utf8, ValidityAndLossyReplacement) {
  const std::pair<const char*, bool> rows[] = {
      {"caf\xC3\xA9 \xE2\x95\xB1", true},
      {"\xFF", false},
      {"\xE2\x95", false},
      {"\xC0\xAF", false},
      {"\xC1\xBF", false},
      {"\xC2\x80", true},
      {"\xE0\x9F\xBF", false},
      {"\xE0\xA0\x80", true},
      {"\xF0\x8F\xBF\xBF", false},
      {"\xF0\x90\x80\x80", true},
      {"\xED\x9F\xBF", true},
      {"\xED\xA0\x80", false},
      {"\xED\xBF\xBF", false},
      {"\xEE\x80\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\xF4\x90\x80\x80", false},
  };
  for (const auto& [text, valid] : rows)
    EXPECT_EQ(is_valid_utf8(text), valid) << testing::PrintToString(text);
  EXPECT_EQ(lossy_utf8("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(Trim, EveryAsciiSpaceAtBothEnds) {
  EXPECT_EQ(trim(" \t\f\va b\r\n"), "a b");
  EXPECT_EQ(trim(" \n "), "");
}

}  // namespace
}  // namespace lmr::text
