#include "text.h"

#include <gtest/gtest.h>

namespace lmr::text {
namespace {

TEST(ParseUnsigned, AcceptsDigitsWithOptionalPlus) {
  EXPECT_EQ(parse_unsigned("0").value(), 0u);
  EXPECT_EQ(parse_unsigned("+3").value(), 3u);
  EXPECT_EQ(parse_unsigned("18446744073709551615").value(), UINT64_MAX);
  EXPECT_EQ(parse_unsigned("4294967295", UINT32_MAX).value(), UINT32_MAX);
}

TEST(ParseUnsigned, ErrorMessages) {
  EXPECT_EQ(parse_unsigned("").error().message(), "cannot parse integer from empty string");
  for (const char* bad : {"-3", "+", "-", "1 ", " 1", "0x10", "++1", "1.0"}) {
    EXPECT_EQ(parse_unsigned(bad).error().message(), "invalid digit found in string") << bad;
  }
  EXPECT_EQ(parse_unsigned("18446744073709551616").error().message(),
            "number too large to fit in target type");
  EXPECT_EQ(parse_unsigned("99999999999999999999").error().message(),
            "number too large to fit in target type");
  EXPECT_EQ(parse_unsigned("4294967296", UINT32_MAX).error().message(),
            "number too large to fit in target type");
  // A bad digit anywhere wins over an overflow before it.
  EXPECT_EQ(parse_unsigned("99999999999999999999x").error().message(),
            "invalid digit found in string");
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

TEST(Trim, BothEnds) {
  EXPECT_EQ(trim("  a b \r\n"), "a b");
  EXPECT_EQ(trim(" \n "), "");
}

TEST(Format, Printf) {
  EXPECT_EQ(format("%.2f|%s|%llu", 1.005, "x", 7ULL), "1.00|x|7");
}

}  // namespace
}  // namespace lmr::text
