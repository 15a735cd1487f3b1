// Locating ffmpeg and ffprobe next to the executable, and running them as
// child processes (argument vector, no shell).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace lmr::ffbin {

enum class Stdio { kInherit, kNull, kPipe };

// Collected result of a child run to completion.
struct Output {
  int wait_status = 0;  // as returned by waitpid
  std::string stdout_text;
  std::string stderr_text;
  bool success() const;
};

// Child-process builder: program, arguments, and the three standard streams.
// The environment, working directory and process group are inherited.
class Command {
 public:
  explicit Command(std::filesystem::path program) : program_(std::move(program)) {}

  Command& arg(std::string a) {
    args_.push_back(std::move(a));
    return *this;
  }
  Command& args(const std::vector<std::string>& list) {
    args_.insert(args_.end(), list.begin(), list.end());
    return *this;
  }
  Command& set_stdin(Stdio s) {
    stdin_ = s;
    return *this;
  }
  Command& set_stdout(Stdio s) {
    stdout_ = s;
    return *this;
  }
  Command& set_stderr(Stdio s) {
    stderr_ = s;
    return *this;
  }

  const std::filesystem::path& program() const { return program_; }
  const std::vector<std::string>& arguments() const { return args_; }
  Stdio stdin_mode() const { return stdin_; }
  Stdio stdout_mode() const { return stdout_; }
  Stdio stderr_mode() const { return stderr_; }

  // Runs to completion with stdin null and stdout and stderr captured, both
  // drained concurrently. Fails only when the child cannot be started.
  Result<Output> output() const;

 private:
  std::filesystem::path program_;
  std::vector<std::string> args_;
  Stdio stdin_ = Stdio::kInherit;
  Stdio stdout_ = Stdio::kInherit;
  Stdio stderr_ = Stdio::kInherit;
};

// Where `tool` is looked for: override dir, then the executable's dir, then
// dev_dir/runtime/<tool>-aarch64-apple-darwin; absent inputs add nothing.
std::vector<std::filesystem::path> candidates(
    std::string_view tool,
    const std::optional<std::filesystem::path>& exe_dir,
    const std::optional<std::filesystem::path>& override_dir = std::nullopt,
    const std::optional<std::filesystem::path>& dev_dir = std::nullopt);

// First candidate that is an existing regular file (links followed), or the
// "is missing from the app" error naming every candidate.
Result<std::filesystem::path> resolve(std::string_view tool,
                                      const std::vector<std::filesystem::path>& candidates);

// Builder for `tool` ("ffmpeg" or "ffprobe"), looked up afresh on each call
// (LMR_FFMPEG_DIR first, then the executable's folder).
Result<Command> command(std::string_view tool);

// "exit status: N", or "signal: N (NAME)" plus " (core dumped)".
std::string exit_status_text(int wait_status);

}  // namespace lmr::ffbin
