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

TEST(Utf8, ValidityAndLossyReplacement) {
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xE2\x95\xB1"));
  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(is_valid_utf8("\xE2\x95"));      // truncated
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
