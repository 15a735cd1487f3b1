#include "ffbin.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "platform.h"
#include "testing.h"

namespace lmr::ffbin {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

const std::string kTail = "); reinstall Lumerant (developers: run tools/ffmpeg/build.sh)";

// Sets or unsets LMR_FFMPEG_DIR for one test and restores it afterwards.
class ScopedFfmpegDir {
 public:
  explicit ScopedFfmpegDir(const std::optional<std::string>& value) {
    if (const char* old = std::getenv("LMR_FFMPEG_DIR"))
      old_ = old;
    if (value)
      setenv("LMR_FFMPEG_DIR", value->c_str(), 1);
    else
      unsetenv("LMR_FFMPEG_DIR");
  }
  ~ScopedFfmpegDir() {
    if (old_)
      setenv("LMR_FFMPEG_DIR", old_->c_str(), 1);
    else
      unsetenv("LMR_FFMPEG_DIR");
  }

 private:
  std::optional<std::string> old_;
};

void make_executable(const fs::path& path, const std::string& script) {
  lmr::testing::write_file(path, script);
  fs::permissions(path, fs::perms::owner_all);
}

TEST(Candidates, OrderIsOverrideThenExecutableDirThenDevelopmentDir) {
  auto list = candidates("ffmpeg", fs::path("/app/bin"), fs::path("/over"), fs::path("/dev"));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], fs::path("/over/ffmpeg"));
  EXPECT_EQ(list[1], fs::path("/app/bin/ffmpeg"));
  EXPECT_EQ(list[2], fs::path("/dev/runtime/ffmpeg-aarch64-apple-darwin"));

  auto only_exe = candidates("ffprobe", fs::path("/app/bin"));
  ASSERT_EQ(only_exe.size(), 1u);
  EXPECT_EQ(only_exe[0], fs::path("/app/bin/ffprobe"));

  EXPECT_TRUE(candidates("ffmpeg", std::nullopt).empty());
}

TEST(Resolve, MissingToolNamesEveryCandidate) {
  TempDir dir;
  auto list = candidates("ffmpeg", dir.path(), dir / "over");
  auto r = resolve("ffmpeg", list);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "ffmpeg is missing from the app (looked for " +
                                     (dir / "over" / "ffmpeg").string() + ", " +
                                     (dir / "ffmpeg").string() + kTail);
}

TEST(Resolve, UnknownExecutableDirGivesAnEmptyList) {
  auto r = resolve("ffprobe", candidates("ffprobe", std::nullopt));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "ffprobe is missing from the app (looked for " + kTail);
}

TEST(Resolve, OnPathButNotNextToTheExecutableIsMissing) {
  ASSERT_EQ(lmr::testing::run({"/bin/sh", "-c", "command -v ffmpeg"}).exit_code(), 0);
  TempDir dir;
  auto r = resolve("ffmpeg", candidates("ffmpeg", dir.path()));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "ffmpeg is missing from the app (looked for " + (dir / "ffmpeg").string() + kTail);
}

TEST(Resolve, DirectoryDoesNotCountAndSymlinkToFileDoes) {
  TempDir dir;
  fs::create_directories(dir / "a" / "ffmpeg");
  fs::create_directories(dir / "b");
  make_executable(dir / "real", "#!/bin/sh\n");
  fs::create_symlink(dir / "real", dir / "b" / "ffmpeg");
  auto r = resolve("ffmpeg", candidates("ffmpeg", dir / "b", dir / "a"));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, dir / "b" / "ffmpeg");

  auto only_dir = resolve("ffmpeg", candidates("ffmpeg", dir / "a"));
  ASSERT_FALSE(only_dir);
  EXPECT_NE(only_dir.error().message().find("is missing from the app"), std::string::npos);

  fs::create_symlink(dir / "nowhere", dir / "a" / "ffprobe");
  EXPECT_FALSE(resolve("ffprobe", candidates("ffprobe", dir / "a")));
}

TEST(Resolve, InvalidUtf8PathIsShownWithReplacementCharacter) {
  auto r = resolve("ffmpeg", {fs::path("/no\xff/ffmpeg")});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "ffmpeg is missing from the app (looked for /no\xEF\xBF\xBD/ffmpeg" + kTail);
}

TEST(Resolve, NonExecutableFilePassesLookupAndFailsToStart) {
  TempDir dir;
  lmr::testing::write_file(dir / "ffmpeg", "#!/bin/sh\n");
  fs::permissions(dir / "ffmpeg", fs::perms::owner_read | fs::perms::owner_write);
  auto path = resolve("ffmpeg", candidates("ffmpeg", dir.path()));
  ASSERT_TRUE(path);
  if (geteuid() == 0 && ::access(path->c_str(), X_OK) == 0)
    GTEST_SKIP() << "root may execute any file here";
  auto child = Command(*path).spawn();
  ASSERT_FALSE(child);
  EXPECT_EQ(child.error().message(), "Permission denied (os error 13)");
}

TEST(CommandLookup, OverrideDirComesFirstAndExecutableDirIsTheFallback) {
  TempDir dir;
  make_executable(dir / "ffmpeg", "#!/bin/sh\necho override\n");
  {
    ScopedFfmpegDir env(dir.path().string());
    auto cmd = command("ffmpeg");
    ASSERT_TRUE(cmd) << cmd.error().message();
    EXPECT_EQ(cmd->program(), dir / "ffmpeg");
    EXPECT_TRUE(cmd->arguments().empty());
    EXPECT_EQ(cmd->stdin_mode(), Stdio::kInherit);
    EXPECT_EQ(cmd->stdout_mode(), Stdio::kInherit);
    EXPECT_EQ(cmd->stderr_mode(), Stdio::kInherit);
    auto out = cmd->output();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->stdout_text, "override\n");

    // Nothing cached: the next call sees the file gone.
    fs::remove(dir / "ffmpeg");
    auto again = command("ffmpeg");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->program(), *platform::executable_dir() / "ffmpeg");
  }
  {
    ScopedFfmpegDir env(std::nullopt);
    auto cmd = command("ffprobe");
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->program(), *platform::executable_dir() / "ffprobe");
  }
  {
    ScopedFfmpegDir env(dir.path().string());
    auto cmd = command("ffnothing");
    ASSERT_FALSE(cmd);
    EXPECT_EQ(cmd.error().message(),
              "ffnothing is missing from the app (looked for " + (dir / "ffnothing").string() +
                  ", " + (*platform::executable_dir() / "ffnothing").string() + kTail);
  }
}

TEST(ExitStatusText, Wording) {
  EXPECT_EQ(exit_status_text(0), "exit status: 0");
  EXPECT_EQ(exit_status_text(1 << 8), "exit status: 1");
  EXPECT_EQ(exit_status_text(255 << 8), "exit status: 255");
  EXPECT_EQ(exit_status_text(SIGKILL), "signal: 9 (SIGKILL)");
  EXPECT_EQ(exit_status_text(SIGTERM), "signal: 15 (SIGTERM)");
  EXPECT_EQ(exit_status_text(SIGSEGV | 0x80), "signal: 11 (SIGSEGV) (core dumped)");

  auto out = Command("/bin/sh").args({"-c", "kill -9 $$"}).output();
  ASSERT_TRUE(out);
  EXPECT_FALSE(out->success());
  EXPECT_EQ(exit_status_text(out->wait_status), "signal: 9 (SIGKILL)");
  auto three = Command("/bin/sh").args({"-c", "exit 3"}).output();
  ASSERT_TRUE(three);
  EXPECT_EQ(exit_status_text(three->wait_status), "exit status: 3");
}

TEST(Output, DrainsLargeStdoutAndStderrConcurrently) {
  int fds_before = lmr::testing::open_fds();
  // 4 MiB on each stream, alternating: a reader that drains one stream at a
  // time would deadlock on the other's full pipe.
  auto out = Command("/bin/sh")
                 .args({"-c",
                        "i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero; "
                        "head -c 65536 /dev/zero >&2; i=$((i+1)); done; echo -n end >&2"})
                 .output();
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_TRUE(out->success());
  EXPECT_EQ(out->stdout_text.size(), 64u * 65536u);
  EXPECT_EQ(out->stderr_text.size(), 64u * 65536u + 3u);
  EXPECT_TRUE(out->stderr_text.ends_with("end"));
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

TEST(Output, StdinIsNullAndArgumentsPassUnchanged) {
  auto out = Command("/bin/cat").output();
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->success());
  EXPECT_EQ(out->stdout_text, "");

  auto args =
      Command("/usr/bin/printf").arg("[%s]").args({"a b", "$HOME", "*", "", "\"q\""}).output();
  ASSERT_TRUE(args);
  EXPECT_EQ(args->stdout_text, "[a b][$HOME][*][][\"q\"]");
}

TEST(Output, StartFailureIsTheOperatingSystemError) {
  auto out = Command("/nonexistent/ffmpeg").output();
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(), "No such file or directory (os error 2)");
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
}

// Reads one "Name:\thex" line of /proc/<child>/status as printed by cat.
uint64_t status_mask(const std::string& status, const std::string& name) {
  std::istringstream in(status);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(name + ":"))
      return std::stoull(line.substr(name.size() + 1), nullptr, 16);
  }
  ADD_FAILURE() << name << " missing";
  return ~0ull;
}

TEST(Spawn, ChildStartsWithDefaultSignalDispositionsAndNoMask) {
  struct sigaction ign {
  }, old_pipe{}, old_hup{};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old_pipe);
  sigaction(SIGHUP, &ign, &old_hup);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);

  auto out = Command("/bin/cat").arg("/proc/self/status").output();

  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);
  ASSERT_TRUE(out);
  // glibc's spawn leaves its two internal signals (32, 33) ignored; a new
  // program's C library owns them. Every other signal must be at default.
  const uint64_t glibc_internal = 3ull << 31;
  EXPECT_EQ(status_mask(out->stdout_text, "SigIgn") & ~glibc_internal, 0u);
  EXPECT_EQ(status_mask(out->stdout_text, "SigBlk"), 0u);
}

TEST(Spawn, PipesAreNotInheritedByOtherChildren) {
  auto holder = Command("/bin/sleep")
                    .arg("30")
                    .set_stdin(Stdio::kPipe)
                    .set_stdout(Stdio::kPipe)
                    .set_stderr(Stdio::kPipe)
                    .spawn();
  ASSERT_TRUE(holder);
  std::set<std::string> ours;
  for (int fd :
       {holder->stdin_pipe().get(), holder->stdout_pipe().get(), holder->stderr_pipe().get()}) {
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    ours.insert("pipe:[" + std::to_string(st.st_ino) + "]");
  }
  auto out =
      Command("/bin/sh").args({"-c", "for f in /proc/$$/fd/*; do readlink $f; done"}).output();
  ASSERT_TRUE(out);
  std::istringstream targets(out->stdout_text);
  std::string target;
  int seen = 0;
  while (targets >> target) {
    ++seen;
    EXPECT_EQ(ours.count(target), 0u) << target << " leaked into another child";
  }
  EXPECT_GE(seen, 3);
}

TEST(Spawn, ChildInheritsOnlyTheThreeStreams) {
  // As a library does: a descriptor opened without close-on-exec.
  lmr::testing::TempDir dir;
  const int stray = ::open((dir / "log").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(stray, 3);
  auto out = Command("/bin/sh")
                 .args({"-c", "for f in /proc/$$/fd/*; do echo ${f##*/} $(readlink $f); done"})
                 .output();
  ::close(stray);
  ASSERT_TRUE(out);
  std::istringstream lines(out->stdout_text);
  std::string fd, target;
  while (lines >> fd >> target) {
    EXPECT_NE(target, (dir / "log").string()) << "descriptor " << fd << " leaked into the child";
  }
}

TEST(Spawn, DroppingARunningChildKillsAndReapsIt) {
  int fds_before = lmr::testing::open_fds();
  pid_t pid = -1;
  auto start = std::chrono::steady_clock::now();
  {
    auto child = Command("/bin/sleep")
                     .arg("30")
                     .set_stdin(Stdio::kPipe)
                     .set_stdout(Stdio::kPipe)
                     .set_stderr(Stdio::kPipe)
                     .spawn();
    ASSERT_TRUE(child);
    pid = child->pid();
    ASSERT_EQ(::kill(pid, 0), 0);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

TEST(Spawn, WaitCollectsOnceAndMovedFromChildOwnsNothing) {
  auto child = Command("/bin/sh").args({"-c", "exit 7"}).spawn();
  ASSERT_TRUE(child);
  Child moved = std::move(*child);
  auto st = moved.wait();
  ASSERT_TRUE(st);
  EXPECT_EQ(exit_status_text(*st), "exit status: 7");
  auto again = moved.wait();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *st);
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
}

void on_alarm(int) {}

TEST(Spawn, InterruptedCallsAreRepeated) {
  // A handler without SA_RESTART makes every blocking call return EINTR.
  struct sigaction sa {
  }, old{};
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, &old);
  itimerval every_ms{{0, 1000}, {0, 1000}}, off{};
  setitimer(ITIMER_REAL, &every_ms, nullptr);

  auto out = Command("/bin/sh")
                 .args({"-c", "sleep 0.2; echo out; sleep 0.2; echo err >&2; exit 4"})
                 .output();

  auto child = Command("/bin/sh")
                   .args({"-c", "sleep 0.2; head -c 100000 /dev/zero"})
                   .set_stdout(Stdio::kPipe)
                   .spawn();
  std::vector<uint8_t> buf(100000);
  auto got = child ? read_full(child->stdout_pipe().get(), buf) : Result<size_t>(0);
  auto st = child ? child->wait() : Result<int>(0);

  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);

  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(out->stdout_text, "out\n");
  EXPECT_EQ(out->stderr_text, "err\n");
  EXPECT_EQ(exit_status_text(out->wait_status), "exit status: 4");
  ASSERT_TRUE(child);
  ASSERT_TRUE(got) << got.error().message();
  EXPECT_EQ(*got, 100000u);
  ASSERT_TRUE(st);
  EXPECT_EQ(*st, 0);
}

TEST(PipeIo, WriteToADeadReaderFailsWithBrokenPipe) {
  struct sigaction ign {
  }, old{};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old);
  auto child = Command("/bin/true").set_stdin(Stdio::kPipe).spawn();
  ASSERT_TRUE(child);
  ASSERT_TRUE(child->wait());
  std::vector<uint8_t> data(1 << 20, 7);
  auto st = write_all(child->stdin_pipe().get(), data);
  sigaction(SIGPIPE, &old, nullptr);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), "Broken pipe (os error 32)");
}

TEST(PipeIo, ReadFullStopsAtEndOfFile) {
  auto child = Command("/usr/bin/printf").arg("abcde").set_stdout(Stdio::kPipe).spawn();
  ASSERT_TRUE(child);
  std::vector<uint8_t> buf(3);
  auto first = read_full(child->stdout_pipe().get(), buf);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, 3u);
  auto second = read_full(child->stdout_pipe().get(), buf);
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, 2u);
  EXPECT_EQ(buf[0], 'd');
  auto third = read_full(child->stdout_pipe().get(), buf);
  ASSERT_TRUE(third);
  EXPECT_EQ(*third, 0u);
}

TEST(PipeDrainTest, KeepsTheTextAndStopsPromptlyWhenDropped) {
  int fds_before = lmr::testing::open_fds();
  {
    auto child = Command("/bin/sh")
                     .args({"-c", "head -c 300000 /dev/zero | tr '\\0' x >&2; echo done >&2"})
                     .set_stderr(Stdio::kPipe)
                     .spawn();
    ASSERT_TRUE(child);
    auto drain = PipeDrain::start(std::move(child->stderr_pipe()));
    ASSERT_TRUE(drain);
    ASSERT_TRUE(child->wait());
    EXPECT_EQ(drain->text().size(), 300005u);
    EXPECT_TRUE(drain->text().ends_with("xdone\n"));
    EXPECT_EQ(&drain->text(), &drain->text());
  }
  auto start = std::chrono::steady_clock::now();
  {
    // The writer is still alive and holds the pipe open when the drain goes.
    auto child = Command("/bin/sleep").arg("30").set_stderr(Stdio::kPipe).spawn();
    ASSERT_TRUE(child);
    auto drain = PipeDrain::start(std::move(child->stderr_pipe()));
    ASSERT_TRUE(drain);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

TEST(PipeDrainTest, KeepsAtMostTheLimit) {
  auto child = Command("/bin/sh")
                   .args({"-c", "head -c 3000000 /dev/zero >&2"})
                   .set_stderr(Stdio::kPipe)
                   .spawn();
  ASSERT_TRUE(child);
  auto drain = PipeDrain::start(std::move(child->stderr_pipe()));
  ASSERT_TRUE(drain);
  auto st = child->wait();
  ASSERT_TRUE(st);
  // The child could finish only because the whole stream was read.
  EXPECT_EQ(*st, 0);
  EXPECT_EQ(drain->text().size(), PipeDrain::kKeep);
}

}  // namespace
}  // namespace lmr::ffbin
