#include "text.h"

#include <gtest/gtest.h>

namespace lmr::text {
namespace {

TEST(ParseUnsigned, Table) {
  auto parsed = [](const char* s, uint64_t max) {
    const Result<uint64_t> r = parse_unsigned(s, max);
    return r ? std::to_string(*r) : r.error().message();
  };
  const std::string bad = "invalid digit found in string",
                    large = "number too large to fit in target type";
  const std::tuple<const char*, uint64_t, std::string> rows[] = {
      {"0", UINT64_MAX, "0"},
      {"+3", UINT64_MAX, "3"},
      {"18446744073709551615", UINT64_MAX, "18446744073709551615"},
      {"4294967295", UINT32_MAX, "4294967295"},
      {"", UINT64_MAX, "cannot parse integer from empty string"},
      {"18446744073709551616", UINT64_MAX, large},
      {"4294967296", UINT32_MAX, large},
      // A bad digit anywhere wins over an overflow before it.
      {"99999999999999999999x", UINT64_MAX, bad},
  };
  for (const auto& [text, max, expected] : rows)
    EXPECT_EQ(parsed(text, max), expected) << '"' << text << '"';
  for (const char* text : {"+", "-3", " 1", "1 ", "++1", "0x10"})
    EXPECT_EQ(parsed(text, UINT64_MAX), bad) << '"' << text << '"';
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
