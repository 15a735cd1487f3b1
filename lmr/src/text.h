// Text helpers shared by every module: UTF-8 checks, trimming, the strict
// unsigned-integer syntax of the command line and of ffprobe reports,
// printf-style formatting, and unbuffered writes to stderr.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace lmr::text {

bool is_valid_utf8(std::string_view s);
// `s` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view s);
// `s` without leading and trailing white space.
std::string_view trim(std::string_view s);
// ASCII letters in lower case, the rest as it is (no locale).
std::string ascii_lower(std::string_view s);

// Plain decimal digits, optionally after one "+", no larger than `max`.
// Errors: "cannot parse integer from empty string", "invalid digit found in
// string", "number too large to fit in target type".
Result<uint64_t> parse_unsigned(std::string_view s, uint64_t max = UINT64_MAX);

// Writes all of `text` to stderr, unbuffered, repeating after EINTR; gives
// up silently when stderr is gone (there is nowhere left to report to).
void write_stderr(std::string_view text);

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace lmr::text
