// Starting, feeding, draining and ending real child processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "ffbin.h"
#include "testing.h"

namespace lmr::ffbin {
namespace {

namespace fs = std::filesystem;
using lmr::testing::Hygiene;

// Drops `owner` on a thread of its own. Under a fault dropping may wait for
// child `pid` for ever: after 30 s it is killed so the test ends, failed.
template <class T>
void drop_promptly(std::optional<T>& owner, pid_t pid) {
  std::promise<void> done;
  std::future<void> ended = done.get_future();
  std::thread dropper([&] {
    owner.reset();
    done.set_value();
  });
  if (ended.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "dropping it waited for child " << pid;
    ::kill(pid, SIGKILL);
  }
  dropper.join();
}

uint64_t status_mask(const std::string& status, const std::string& name) {
  const size_t at = status.find("\n" + name + ":\t");
  return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + name.size() + 3), 0, 16);
}

// The engine ignores SIGPIPE, may block signals, and libraries open files
// without close-on-exec: a child sees none of it, and cannot write its stdin.
TEST(Spawn, ChildStartsWithDefaultSignalsTheThreeStreamsOnlyAndAReadOnlyStdin) {
  Hygiene clean;
  lmr::testing::TempDir dir;
  const Fd stray(::open((dir / "log").c_str(), O_WRONLY | O_CREAT, 0644));
  struct sigaction ign {
  }, old_pipe{}, old_hup{};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old_pipe);
  sigaction(SIGHUP, &ign, &old_hup);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  auto status = Command("/bin/cat").arg("/proc/self/status").output();
  auto out = Command("/bin/sh").args({"-c", "ls -l /proc/$$/fd; echo x >&0 && echo rw"}).output();
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  sigaction(SIGHUP, &old_hup, nullptr);

  // glibc's spawn leaves its two internal signals (32, 33) ignored; a new
  // program's C library owns them.
  EXPECT_EQ(status_mask(status.value().stdout_text, "SigIgn") & ~(3ull << 31), 0u);
  EXPECT_EQ(status_mask(status->stdout_text, "SigBlk"), 0u);
  std::map<int, std::string> fds;
  std::istringstream lines(out.value().stdout_text);
  for (std::string line; std::getline(lines, line);) {
    const size_t arrow = line.find(" -> ");
    if (arrow != std::string::npos)
      fds[std::stoi(line.substr(line.rfind(' ', arrow - 1)))] = line.substr(arrow + 4);
  }
  EXPECT_EQ(fds.size(), 3u) << out->stdout_text;
  EXPECT_EQ(fds[0], "/dev/null");
  EXPECT_FALSE(out->stdout_text.ends_with("rw\n"));
}

TEST(Spawn, OutputDrainsBothStreamsAtOnceAndPassesArgumentsUnchanged) {
  Hygiene clean;
  // 4 MiB on each stream, alternating: reading one stream at a time would
  // leave the child blocked on the other's full pipe.
  auto out = Command("/bin/sh")
                 .args({"-c",
                        "i=0; while [ $i -lt 64 ]; do head -c 65536 /dev/zero; head -c 65536 "
                        "/dev/zero >&2; i=$((i+1)); done; printf '[%s]' \"$@\"",
                        "sh", "a b", "$HOME", "*", "", "\"q\""})
                 .output();
  EXPECT_EQ(out.value().stdout_text.size(), 64u * 65536 + 22);
  EXPECT_TRUE(out->stdout_text.ends_with("[a b][$HOME][*][][\"q\"]"));
  EXPECT_EQ(out->stderr_text.size(), 64u * 65536);
  EXPECT_TRUE(out->success());

  lmr::testing::TempDir dir;
  lmr::testing::write_file(dir / "ffmpeg", "#!/bin/sh\n");
  EXPECT_EQ(Command(dir / "ffmpeg").output().error().message(), "Permission denied (os error 13)");
  EXPECT_EQ(Command("/nonexistent/ffmpeg").spawn().error().message(),
            "No such file or directory (os error 2)");
}

TEST(Spawn, DroppingARunningChildKillsAndReapsIt) {
  Hygiene clean;
  std::optional<Child> child = Command("/bin/sleep")
                                   .arg("600")
                                   .set_stdin(Stdio::kPipe)
                                   .set_stdout(Stdio::kPipe)
                                   .set_stderr(Stdio::kPipe)
                                   .spawn()
                                   .value();
  const pid_t pid = child->pid();
  drop_promptly(child, pid);
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
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
  std::vector<uint8_t> buf(60000);
  auto first = read_full(child.value().stdout_pipe().get(), buf);
  auto second = read_full(child->stdout_pipe().get(), buf);
  auto status = child->wait();
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);

  EXPECT_EQ(out.value().stdout_text + out->stderr_text, "out\nerr\n");
  EXPECT_EQ(exit_status_text(out->wait_status), "exit status: 4");
  EXPECT_EQ(first.value(), 60000u);
  EXPECT_EQ(second.value(), 40000u);  // to the end of the stream
  EXPECT_EQ(status.value(), 0);
  EXPECT_EQ(child->wait().value(), 0);  // collected once, kept
}

TEST(PipeDrain, KeepsAtMostTheLimitAndStopsWhenDroppedWhileTheWriterLives) {
  Hygiene clean;
  auto loud = Command("/bin/sh")
                  .args({"-c", "head -c 3000000 /dev/zero >&2"})
                  .set_stderr(Stdio::kPipe)
                  .spawn();
  auto drain = PipeDrain::start(std::move(loud.value().stderr_pipe()));
  EXPECT_EQ(loud->wait().value(), 0);  // it could end only because all was read
  EXPECT_EQ(drain.value().text().size(), PipeDrain::kKeep);

  auto quiet = Command("/bin/sleep").arg("600").set_stderr(Stdio::kPipe).spawn();
  std::optional<PipeDrain> idle = PipeDrain::start(std::move(quiet.value().stderr_pipe())).value();
  drop_promptly(idle, quiet->pid());
  ::kill(quiet->pid(), SIGKILL);  // for the test's own end only
}

}  // namespace
}  // namespace lmr::ffbin
