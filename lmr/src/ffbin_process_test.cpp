// Starting, feeding, draining and ending real child processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
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
  auto dropped = std::async(std::launch::async, [&] { owner.reset(); });
  if (dropped.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "dropping it waited for child " << pid;
    ::kill(pid, SIGKILL);
  }
}

uint64_t status_mask(const std::string& status, const std::string& name) {
  const size_t at = status.find("\n" + name + ":\t");
  return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + name.size() + 3), 0, 16);
}

// The engine ignores SIGPIPE and libraries open files without close-on-exec:
// a child sees none of it, nor blocked signals, and cannot write its stdin.
TEST(Spawn, ChildStartsWithDefaultSignalsTheThreeStreamsOnlyAndAReadOnlyStdin) {
  Hygiene clean;
  lmr::testing::TempDir dir;
  const Fd stray(::open((dir / "log").c_str(), O_WRONLY | O_CREAT, 0644));
  struct sigaction ign {
  }, old_pipe{};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old_pipe);
  auto status = Command("/bin/cat").arg("/proc/self/status").output();
  auto out = Command("/bin/sh")
                 .args({"-c", "ls /proc/$$/fd; readlink /proc/$$/fd/0; echo x >&0 && echo rw"})
                 .output();
  sigaction(SIGPIPE, &old_pipe, nullptr);

  // glibc's spawn leaves its two internal signals (32, 33) ignored; a new
  // program's C library owns them.
  EXPECT_EQ(status_mask(status.value().stdout_text, "SigIgn") & ~(3ull << 31), 0u);
  EXPECT_EQ(status_mask(status->stdout_text, "SigBlk"), 0u);
  EXPECT_EQ(out.value().stdout_text, "0\n1\n2\n/dev/null\n");
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

TEST(Spawn, DrainKeepsAtMostTheLimitAndDroppingAChildOrADrainKillsItsChild) {
  Hygiene clean;
  auto loud = Command("/bin/sh")
                  .args({"-c", "head -c 3000000 /dev/zero >&2"})
                  .set_stderr(Stdio::kPipe)
                  .spawn();
  auto drain = PipeDrain::start(std::move(loud.value().stderr_pipe()));
  EXPECT_EQ(loud->wait().value(), 0);  // it could end only because all was read
  EXPECT_EQ(drain.value().text().size(), PipeDrain::kKeep);

  // Dropping a drain, then a child, while the child lives: neither waits.
  std::optional<Child> quiet =
      Command("/bin/sleep").arg("600").set_stderr(Stdio::kPipe).spawn().value();
  const pid_t pid = quiet->pid();
  std::optional<PipeDrain> idle = PipeDrain::start(std::move(quiet->stderr_pipe())).value();
  drop_promptly(idle, pid);
  drop_promptly(quiet, pid);
  EXPECT_EQ(::kill(pid, 0), -1) << "not reaped";
}

}  // namespace
}  // namespace lmr::ffbin
