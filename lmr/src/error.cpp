#include "error.h"

#include <cstdio>
#include <cstring>

namespace lmr {

Error::Error(std::string message, const Error& cause) : message_(std::move(message)) {
  causes_.reserve(cause.causes_.size() + 1);
  causes_.push_back(cause.message_);
  causes_.insert(causes_.end(), cause.causes_.begin(), cause.causes_.end());
}

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

namespace {

// Appends `text` with every line after the first indented by `indent` spaces.
void append_indented(std::string& out, const std::string& text, size_t indent) {
  for (char c : text) {
    out += c;
    if (c == '\n')
      out.append(indent, ' ');
  }
}

}  // namespace

std::string report(const Error& error) {
  std::string out = "Error: " + error.message() + "\n";
  const auto& causes = error.causes();
  if (causes.empty())
    return out;
  out += "\nCaused by:\n";
  if (causes.size() == 1) {
    out += "    ";
    append_indented(out, causes[0], 4);
    out += "\n";
    return out;
  }
  for (size_t i = 0; i < causes.size(); ++i) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%5zu: ", i);
    out += prefix;
    append_indented(out, causes[i], 7);
    out += "\n";
  }
  return out;
}

}  // namespace lmr
