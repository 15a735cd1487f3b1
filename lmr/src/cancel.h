// Stopping a job from outside: SIGINT, SIGTERM, SIGHUP, or the reader of
// stderr going away. A stop request is process-wide and final; the modules
// that can block for long (child processes, inference runs) register a hook
// that makes them return promptly, and the job unwinds through its ordinary
// error path, so every child is reaped and every temporary file removed by
// its owner.
//
// Thread safety: everything here may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "error.h"

namespace lmr::cancel {

// Asks the job to stop as if `signal` had arrived. The first request wins;
// the hooks run once, on the calling thread.
void request(int signal);
// The signal of the first request, if any.
std::optional<int> requested();
// "interrupted by SIGINT" (and the like) once a stop was requested; the
// checkpoint between steps that cannot be interrupted.
Status check();
// The message for a stop by `signal`.
std::string message(int signal);

// A hook run when a stop is requested (at once when one already was), until
// the Hook is destroyed. Hooks must not block and must not register hooks.
class Hook {
 public:
  explicit Hook(std::function<void()> on_stop);
  ~Hook();
  Hook(const Hook&) = delete;
  Hook& operator=(const Hook&) = delete;

 private:
  std::shared_ptr<std::function<void()>> fn_;
};

// Turns SIGINT, SIGTERM and SIGHUP into stop requests, and so does stderr
// once its reader has gone (a pipe or socket whose other end closed). Owned
// by main, created before any thread starts; destroying it restores the
// signals' previous handling.
class Watch {
 public:
  static Result<Watch> start();
  Watch(Watch&&) noexcept;
  Watch& operator=(Watch&&) noexcept;
  ~Watch();

 private:
  struct State;
  explicit Watch(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Ends the process the way `signal` ends it by default (the shell shows
// 128 + signal), for main after a stop.
[[noreturn]] void die_by(int signal);

}  // namespace lmr::cancel
