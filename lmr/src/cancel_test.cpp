// Stop requests are final for the process, so each case runs in a child of
// its own (gtest's death tests fork).
#include "cancel.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace lmr::cancel {
namespace {

// Waits (bounded) for a stop request to arrive from the watch's thread.
std::optional<int> await_request() {
  for (int i = 0; i < 1000 && !requested(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return requested();
}

TEST(Messages, NameTheSignal) {
  EXPECT_EQ(message(SIGINT), "interrupted by SIGINT");
  EXPECT_EQ(message(SIGTERM), "interrupted by SIGTERM");
  EXPECT_EQ(message(SIGHUP), "interrupted by SIGHUP");
  EXPECT_EQ(message(SIGPIPE), "interrupted by SIGPIPE");
  EXPECT_EQ(message(SIGUSR1), "interrupted by signal " + std::to_string(SIGUSR1));
}

// Exits 0 when the first request wins and every live hook ran once.
void first_request_wins() {
  int before = 0, after = 0, dropped = 0;
  Hook a([&] { ++before; });
  {
    Hook gone([&] { ++dropped; });
  }
  bool ok = requested() == std::nullopt && check().has_value();
  request(SIGTERM);
  request(SIGINT);
  Hook b([&] { ++after; });
  ok = ok && before == 1 && after == 1 && dropped == 0 && requested() == SIGTERM && !check() &&
       check().error().message() == "interrupted by SIGTERM";
  std::_Exit(ok ? 0 : 1);
}

TEST(Request, TheFirstWinsAndEveryLiveHookRunsOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(first_request_wins(), ::testing::ExitedWithCode(0), "");
}

// Dies by `sig` when the watch turned it (or, for SIGPIPE, stderr's reader
// going away) into a request.
void stopped_by(int sig) {
  int p[2];
  if (sig == SIGPIPE && (::pipe(p) != 0 || ::dup2(p[1], STDERR_FILENO) < 0))
    std::_Exit(3);
  auto watch = Watch::start();
  if (!watch)
    std::_Exit(2);
  if (sig == SIGPIPE) {
    ::close(p[0]);
    ::close(p[1]);
  } else {
    ::kill(::getpid(), sig);
  }
  if (await_request() != sig)
    std::_Exit(4);
  die_by(sig);
}

class Signals : public ::testing::TestWithParam<int> {};

TEST_P(Signals, BecomeARequestAndEndTheProcessAsTheSignalWould) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(stopped_by(GetParam()), ::testing::KilledBySignal(GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(All, Signals, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGPIPE));

}  // namespace
}  // namespace lmr::cancel
