// A job stopped from outside, as users and the desktop application stop
// one: Ctrl-C to the terminal's process group, SIGTERM or SIGHUP to lmr,
// kill -9, the reader of its stderr going away. Whatever happens, the output
// path keeps what it held, no ffmpeg outlives lmr (after kill -9: not for
// long), and nothing is left beside the output but, after kill -9, the
// temporary file, which the next run of the same command removes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

enum class Stop { group_sigint, sigterm, sighup, sigkill, stderr_closed };

struct Row {
  const char* name;
  Stop stop;
  int signal;  // what the exit status must show
  const char* name_of_signal;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

bool gone(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    if (::kill(pid, 0) != 0 && errno == ESRCH)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

class Stopped : public ::testing::TestWithParam<Row> {};

TEST_P(Stopped, LeavesTheOutputPathAsItWas) {
  const Row& row = GetParam();
  TempDir dir;
  const fs::path in = dir / "in.mp4", out = dir / "out.mp4";
  lmr::testing::make_clip(in, 160, 120, 150);
  lmr::testing::write_file(out, "the user's earlier output\n");
  lmr::testing::StandIns tools;  // real ffmpeg, with every child's pid recorded
  const std::vector<std::string> args{(lmr::testing::bin_dir() / "lmr").string(),
                                      "upscale",
                                      "--model",
                                      lmr::testing::model("heavy2x.onnx").string(),
                                      "--ep",
                                      "cpu",
                                      "-i",
                                      in.string(),
                                      "-o",
                                      out.string()};
  int status = 0;
  {
    lmr::testing::Hygiene hygiene(row.stop == Stop::sigkill ? nullptr : &tools, {in});
    int err[2];
    ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Its own process group, as a shell's job is.
      ::setpgid(0, 0);
      ::dup2(err[1], STDERR_FILENO);
      ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
      std::vector<char*> argv;
      for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(err[1]);
    // Stopped in the middle: decoder and encoder running, a frame done.
    std::string said;
    char buf[4096];
    while (said.find("\nframe 1/") == std::string::npos) {
      ssize_t n = ::read(err[0], buf, sizeof buf);
      ASSERT_GT(n, 0) << said;
      said.append(buf, static_cast<size_t>(n));
    }
    switch (row.stop) {
      case Stop::group_sigint:
        ::kill(-pid, SIGINT);
        break;
      case Stop::sigterm:
        ::kill(pid, SIGTERM);
        break;
      case Stop::sighup:
        ::kill(pid, SIGHUP);
        break;
      case Stop::sigkill:
        ::kill(pid, SIGKILL);
        break;
      case Stop::stderr_closed:
        break;
    }
    // A stopped job ends at once, not at the end of the clip.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    pollfd p{err[0], POLLIN, 0};
    while (row.stop != Stop::stderr_closed && ::poll(&p, 1, 20'000) == 1) {
      ssize_t n = ::read(err[0], buf, sizeof buf);
      if (n <= 0)
        break;
      said.append(buf, static_cast<size_t>(n));
    }
    ::close(err[0]);
    if (row.signal != SIGKILL && row.signal != SIGPIPE) {
      EXPECT_TRUE(
          said.ends_with("\nError: interrupted by " + std::string(row.name_of_signal) + "\n"))
          << said;
    }
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "lmr did not stop";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == row.signal) << status;
  // After kill -9 the orphans go by themselves once their pipes close.
  for (auto [child, parent] : tools.started())
    EXPECT_TRUE(gone(child)) << "ffmpeg " << child << " outlived lmr";
  EXPECT_EQ(lmr::testing::read_file(out), "the user's earlier output\n");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    if (e.path() != in && e.path() != out)
      left.push_back(e.path().filename().string());
  }
  if (row.stop != Stop::sigkill) {
    EXPECT_EQ(left, std::vector<std::string>{});
    return;
  }
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].starts_with(".out.lmr-") && left[0].ends_with(".mp4")) << left[0];
  // The next run of the same command clears what the killed one left once
  // it is clearly abandoned.
  fs::last_write_time(dir / left[0], fs::file_time_type::clock::now() - std::chrono::minutes(1));
  std::vector<std::string> again(args.begin() + 1, args.end());
  again.insert(again.end(), {"--max-frames", "2"});
  auto r = lmr::testing::run_lmr(again);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_FALSE(fs::exists(dir / left[0]));
  EXPECT_NE(lmr::testing::read_file(out), "the user's earlier output\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows,
    Stopped,
    ::testing::Values(Row{"ctrl_c_to_the_group", Stop::group_sigint, SIGINT, "SIGINT"},
                      Row{"sigterm_to_lmr", Stop::sigterm, SIGTERM, "SIGTERM"},
                      Row{"sighup_to_lmr", Stop::sighup, SIGHUP, "SIGHUP"},
                      Row{"kill_9", Stop::sigkill, SIGKILL, "SIGKILL"},
                      Row{"stderr_reader_gone", Stop::stderr_closed, SIGPIPE, "SIGPIPE"}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace lmr::cli
