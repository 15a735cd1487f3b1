#include <csignal>
#include <string>
#include <vector>

#include "cli.h"
#include "inference.h"
#include "text.h"

int main(int argc, char** argv) {
  lmr::inference::init_ort_dylib();
  // A write to a dead ffmpeg must fail with EPIPE, not end the engine.
  std::signal(SIGPIPE, SIG_IGN);

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
  if (!result) {
    lmr::cli::print(lmr::report(result.error()));
    return 1;
  }
  return *result;
}
