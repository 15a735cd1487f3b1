#include "text.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "cancel.h"

namespace lmr::text {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is invalid.
size_t utf8_sequence(std::string_view s, size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size())
    return 0;
  uint32_t cp = len == 1 ? c : (c & (0x7Fu >> len));
  for (size_t k = 1; k < len; ++k) {
    auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80)
      return 0;
    cp = (cp << 6) | (cc & 0x3Fu);
  }
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
      cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8_sequence(s, i);
    if (len == 0)
      return false;
    i += len;
  }
  return true;
}

std::string lossy_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8_sequence(s, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string_view trim(std::string_view s) {
  const char* ws = " \t\n\r\f\v";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos)
    return {};
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

Result<uint64_t> parse_unsigned(std::string_view s, uint64_t max) {
  if (s.empty())
    return fail("cannot parse integer from empty string");
  std::string_view digits = s;
  if (digits.front() == '+')
    digits.remove_prefix(1);
  if (digits.empty())
    return fail("invalid digit found in string");
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return fail("invalid digit found in string");
  }
  for (char c : digits) {
    auto d = static_cast<uint64_t>(c - '0');
    if (v > (max - d) / 10)
      return fail("number too large to fit in target type");
    v = v * 10 + d;
  }
  return v;
}

void write_stderr(std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    // Nobody reads the job's lines any more: stop it rather than run on
    // for hours unheard.
    if (n < 0 && errno == EPIPE)
      cancel::request(SIGPIPE);
    if (n <= 0)
      return;
    done += static_cast<size_t>(n);
  }
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0)
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap2);
  va_end(ap2);
  return out;
}

}  // namespace lmr::text
