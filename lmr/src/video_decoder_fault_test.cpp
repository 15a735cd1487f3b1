// Whole upscale jobs whose frame decoder fails, run through the built lmr
// with a stand-in ffmpeg, and a job stopped early from a real terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "testing.h"

namespace lmr::video {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

constexpr int kW = 64, kH = 48;

// A folder with ffprobe and an ffmpeg that forwards to the real one, except
// that in the decoder's role (output "-" last) it runs `decoder_body` when
// that is not empty. Every process it starts records its pid.
fs::path make_tools(const TempDir& dir, const std::string& decoder_body) {
  fs::path tools = dir / "tools";
  fs::create_directories(tools);
  std::string script = "#!/bin/sh\necho $$ >> \"" + (tools / "pids").string() + "\"\n";
  if (!decoder_body.empty()) {
    script += "eval \"last=\\${$#}\"\nif [ \"$last\" = - ]; then\n" + decoder_body + "\nfi\n";
  }
  script += "exec \"" + (lmr::testing::bin_dir() / "ffmpeg").string() + "\" \"$@\"\n";
  lmr::testing::write_file(tools / "ffmpeg", script);
  fs::permissions(tools / "ffmpeg", fs::perms::owner_all);
  fs::create_symlink(lmr::testing::bin_dir() / "ffprobe", tools / "ffprobe");
  return tools;
}

// Every process the stand-in started has ended.
void expect_all_ended(const fs::path& tools) {
  std::ifstream pids(tools / "pids");
  int pid = 0, seen = 0;
  while (pids >> pid) {
    ++seen;
    EXPECT_EQ(::kill(pid, 0), -1) << "process " << pid << " is still there";
  }
  // The decoder records itself before its first frame; the encoder may be
  // stopped before its shell gets that far, so only the decoder is certain.
  EXPECT_GE(seen, 1) << "the stand-in decoder should have started";
}

lmr::testing::ProcResult upscale(const TempDir& dir,
                                 const fs::path& tools,
                                 const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args{"upscale",
                                "-i",
                                (dir / "in.mp4").string(),
                                "-o",
                                (dir / "out.mp4").string(),
                                "--model",
                                lmr::testing::model("nn2x.onnx").string(),
                                "--ep",
                                "cpu"};
  args.insert(args.end(), extra.begin(), extra.end());
  return lmr::testing::run_lmr(args, {{"LMR_FFMPEG_DIR", tools.string()}}, 120);
}

std::string five_frames() {
  return "  head -c " + std::to_string(kW * kH * 3 * 5) + " /dev/zero";
}

TEST(DecoderFaultJob, DecoderExitingWithAnErrorFailsTheJob) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", kW, kH, 12);
  fs::path tools =
      make_tools(dir, five_frames() + "\n  echo 'corrupt input at frame 6' >&2\n  exit 1");
  auto r = upscale(dir, tools);
  EXPECT_EQ(r.exit_code(), 1) << r.err;
  EXPECT_NE(r.err.find("Error: decoder failed: exit status: 1: corrupt input at frame 6\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("done:"), std::string::npos) << r.err;
  expect_all_ended(tools);
}

TEST(DecoderFaultJob, DecoderKilledBySignalFailsTheJob) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", kW, kH, 12);
  fs::path tools = make_tools(dir, five_frames() + "\n  kill -9 $$");
  auto r = upscale(dir, tools);
  EXPECT_EQ(r.exit_code(), 1) << r.err;
  EXPECT_NE(r.err.find("Error: decoder failed: signal: 9 (SIGKILL)\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("done:"), std::string::npos) << r.err;
  expect_all_ended(tools);
}

TEST(DecoderFaultJob, CleanInputAndEarlyStopStaySuccessful) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", kW, kH, 12);
  fs::path tools = make_tools(dir, "");
  auto all = upscale(dir, tools);
  EXPECT_EQ(all.exit_code(), 0) << all.err;
  EXPECT_NE(all.err.find("done: 12 frames"), std::string::npos) << all.err;
  EXPECT_EQ(all.err.find("Error"), std::string::npos) << all.err;

  auto some = upscale(dir, tools, {"--max-frames", "3"});
  EXPECT_EQ(some.exit_code(), 0) << some.err;
  EXPECT_NE(some.err.find("done: 3 frames"), std::string::npos) << some.err;
  EXPECT_EQ(some.err.find("Error"), std::string::npos) << some.err;
  EXPECT_EQ(some.err.find("decoder"), std::string::npos) << some.err;
  expect_all_ended(tools);
}

// Owns a pseudo-terminal pair; the secondary side plays the user's terminal.
struct Pty {
  int primary = -1;
  int secondary = -1;
  std::string name;
  Pty() {
    primary = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (primary < 0 || ::grantpt(primary) != 0 || ::unlockpt(primary) != 0)
      return;
    name = ::ptsname(primary);
    secondary = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~Pty() {
    if (secondary >= 0)
      ::close(secondary);
    if (primary >= 0)
      ::close(primary);
  }
};

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST(DecoderFaultJob, EarlyStopFromATerminalLeavesItsSettingsAlone) {
  TempDir dir;
  // Long enough that the decoder is still running, blocked on a full pipe,
  // when the job stops after two frames and kills it.
  lmr::testing::make_clip(dir / "in.mp4", 320, 240, 100, "25", false);
  Pty pty;
  ASSERT_GE(pty.secondary, 0) << "no pseudo-terminal";
  termios before{};
  ASSERT_EQ(::tcgetattr(pty.secondary, &before), 0);

  std::string lmr = (lmr::testing::bin_dir() / "lmr").string();
  std::string log = (dir / "log").string();
  std::vector<std::string> argv{lmr,
                                "upscale",
                                "-i",
                                (dir / "in.mp4").string(),
                                "-o",
                                (dir / "out.mp4").string(),
                                "--model",
                                lmr::testing::model("nn2x.onnx").string(),
                                "--ep",
                                "cpu",
                                "--max-frames",
                                "2"};
  std::vector<char*> cargv;
  for (auto& a : argv)
    cargv.push_back(a.data());
  cargv.push_back(nullptr);

  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A session of its own with the terminal as its controlling terminal, as
    // a shell would start it.
    ::setsid();
    int tty = ::open(pty.name.c_str(), O_RDWR);
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (tty < 0 || out < 0)
      ::_exit(126);
    ::dup2(tty, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::unsetenv("LMR_FFMPEG_DIR");
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "lmr did not finish";
  }
  std::string output = lmr::testing::read_file(log);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_NE(output.find("done: 2 frames"), std::string::npos) << output;

  termios after{};
  ASSERT_EQ(::tcgetattr(pty.secondary, &after), 0);
  EXPECT_TRUE(same_settings(before, after))
      << "terminal changed: lflag " << std::hex << before.c_lflag << " -> " << after.c_lflag;
}

}  // namespace
}  // namespace lmr::video
