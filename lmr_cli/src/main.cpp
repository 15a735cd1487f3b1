#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "cancel.h"
#include "cli.h"
#include "inference.h"
#include "text.h"

int main(int argc, char** argv) {
  lmr::inference::init_ort_dylib();
  // A write to a dead ffmpeg must fail with EPIPE, not end the engine.
  std::signal(SIGPIPE, SIG_IGN);
  // Before any thread starts. A stop (Ctrl-C, the desktop application's
  // SIGTERM, a closed terminal or stderr) unwinds the command through its
  // error path: children reaped, the output path left as it was.
  std::optional<lmr::cancel::Watch> watch;
  if (auto w = lmr::cancel::Watch::start(); w) {
    watch = std::move(*w);
  } else {
    lmr::cli::print(lmr::report(w.error()));
    return 1;
  }

  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    args.emplace_back(argv[i]);
    if (i > 0 && !lmr::text::is_valid_utf8(args.back())) {
      lmr::cli::print(
          lmr::report(lmr::Error("argument " + std::to_string(i) +
                                 " is not valid UTF-8: " + lmr::text::lossy_utf8(args.back()))));
      return 1;
    }
  }
  lmr::cli::CommandResult result = lmr::cli::dispatch(args);
  if (auto signal = lmr::cancel::requested()) {
    lmr::cli::print(lmr::report(lmr::Error(lmr::cancel::message(*signal))));
    watch.reset();
    lmr::cancel::die_by(*signal);
  }
  if (!result) {
    lmr::cli::print(lmr::report(result.error()));
    return 1;
  }
  return *result;
}
