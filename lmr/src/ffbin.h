// Locating ffmpeg and ffprobe next to the executable, and running them as
// child processes (argument vector, no shell).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "fd.h"

namespace lmr::ffbin {

enum class Stdio { kInherit, kNull, kPipe };

using lmr::Fd;

// Writes all of `data`, continuing after partial writes and EINTR. A write
// that accepts nothing fails with "failed to write whole buffer".
Status write_all(int fd, std::span<const uint8_t> data);
// Reads until `buf` is full or end of file, repeating after EINTR; returns
// the number of bytes read (less than buf.size() only at end of file).
Result<size_t> read_full(int fd, std::span<uint8_t> buf);

// Reads one pipe to its end on a thread of its own, so that a child can never
// stall on a full diagnostics pipe. Keeps at most kKeep bytes of the text.
// Dropping it stops the thread promptly even if the pipe is still open.
class PipeDrain {
 public:
  static constexpr size_t kKeep = 1 << 20;
  static Result<PipeDrain> start(Fd fd);
  // Waits for end of file and returns everything read (the same text on
  // every call).
  const std::string& text();

  PipeDrain(PipeDrain&&) noexcept;
  PipeDrain& operator=(PipeDrain&&) noexcept;
  ~PipeDrain();

 private:
  struct State;
  explicit PipeDrain(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

class Command;

// One started child with the pipe ends its Command asked for. Destroying it
// kills the child (SIGKILL) unless its exit status was already collected,
// then waits for it, so it is reaped exactly once on every path.
class Child {
 public:
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  // The parent's ends of the pipes; invalid where the stream was not a pipe.
  Fd& stdin_pipe() { return stdin_; }
  Fd& stdout_pipe() { return stdout_; }
  Fd& stderr_pipe() { return stderr_; }

  // Waits for the child (once; later calls return the collected status),
  // repeating after EINTR. Returns the wait status.
  Result<int> wait();
  // Like wait(), but gives up after `timeout`: nothing while still running.
  Result<std::optional<int>> wait_for(std::chrono::milliseconds timeout);
  // The collected wait status, if any.
  std::optional<int> status() const { return status_; }
  // SIGKILL unless already collected, then wait; errors are ignored.
  void kill_and_reap();

 private:
  friend class Command;
  Child(pid_t pid, Fd in, Fd out, Fd err)
      : pid_(pid), stdin_(std::move(in)), stdout_(std::move(out)), stderr_(std::move(err)) {}
  pid_t pid_ = -1;
  Fd stdin_, stdout_, stderr_;
  std::optional<int> status_;
};

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

  // Starts the program directly (no shell) with default signal dispositions
  // and an empty signal mask. Fails with the operating system's error.
  Result<Child> spawn() const;

  // Runs to completion with stdin null and stdout and stderr captured, both
  // drained concurrently. Fails only when the child cannot be started (or
  // waiting for it fails).
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
