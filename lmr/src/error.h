// Error values: a message plus the chain of lower-layer errors behind it.
// Fallible operations return Result<T> (or Status); only main prints errors.
#pragma once

#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace lmr {

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  // Wraps `cause`: its message and its own causes become this error's causes.
  Error(std::string message, const Error& cause);

  const std::string& message() const { return message_; }
  // Causes from the nearest to the deepest.
  const std::vector<std::string>& causes() const { return causes_; }

 private:
  std::string message_;
  std::vector<std::string> causes_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected(Error(std::move(message)));
}

// The operating system's text for errno value `err`, as "<text> (os error N)".
std::string os_error_text(int err);
inline std::unexpected<Error> fail_os(int err) {
  return fail(os_error_text(err));
}

// What main prints for an error: "Error: " + message, then, when there are
// causes, a blank line, "Caused by:" and the causes (numbered from 0 when
// there are several; continuation lines indented under the text).
std::string report(const Error& error);

}  // namespace lmr
