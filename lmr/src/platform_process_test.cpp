// The processor count a task is given: affinity masks and cgroup quotas set
// on a child process, read back by the child itself.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "testing.h"
#include "tile.h"

namespace lmr::platform {
namespace {

namespace fs = std::filesystem;

// Runs `fn` in a forked child and returns what it returns (0..255), or -1
// when the child did not exit normally.
int in_child(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0)
    _exit(fn());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

std::vector<int> cpus_of_this_process() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    for (int c = 0; c < CPU_SETSIZE; ++c)
      if (CPU_ISSET(c, &set))
        cpus.push_back(c);
  return cpus;
}

// A child restricted to the first `n` processors of this process's mask.
int count_with_affinity(const std::vector<int>& cpus, size_t n) {
  return in_child([&] {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (size_t i = 0; i < n; ++i)
      CPU_SET(cpus[i], &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
      return 200;
    return static_cast<int>(available_processors());
  });
}

TEST(AvailableProcessors, FollowTheAffinityMask) {
  const std::vector<int> cpus = cpus_of_this_process();
  ASSERT_FALSE(cpus.empty());
  const uint64_t all = available_processors();
  EXPECT_GE(all, 1u);
  EXPECT_LE(all, cpus.size());
  for (size_t n : {size_t{1}, size_t{2}, cpus.size()}) {
    if (n > cpus.size())
      continue;
    EXPECT_EQ(count_with_affinity(cpus, n), static_cast<int>(std::min<uint64_t>(n, all)))
        << n << " of " << cpus.size() << " processors";
  }
  // The pixel loops split their work by the same count (asked once per
  // process: this test program never asks it before the child does).
  EXPECT_EQ(in_child([&] {
              cpu_set_t set;
              CPU_ZERO(&set);
              CPU_SET(cpus[0], &set);
              if (sched_setaffinity(0, sizeof set, &set) != 0)
                return 200;
              return tile::chunk_len(8294400) == 8294400 ? 1 : 0;
            }),
            1);
}

TEST(AvailableProcessors, FollowTheCgroupQuota) {
  if (geteuid() != 0)
    GTEST_SKIP() << "creating a cgroup needs root";
  // A cgroup v1 cpu hierarchy, or cgroup v2 with the cpu controller.
  struct Kind {
    fs::path parent;
    const char* enabled;  // a file that exists when this kind works here
    std::function<bool(const fs::path&)> limit;
  };
  auto write = [](const fs::path& p, const std::string& text) {
    std::ofstream out(p);
    out << text;
    out.flush();
    return static_cast<bool>(out);
  };
  const Kind kinds[] = {
      {"/sys/fs/cgroup/cpu", "cpu.cfs_quota_us",
       [&](const fs::path& d) { return write(d / "cpu.cfs_quota_us", "50000"); }},
      {"/sys/fs/cgroup/cpu,cpuacct", "cpu.cfs_quota_us",
       [&](const fs::path& d) { return write(d / "cpu.cfs_quota_us", "50000"); }},
      {"/sys/fs/cgroup", "cgroup.subtree_control",
       [&](const fs::path& d) { return write(d / "cpu.max", "50000 100000"); }},
  };
  for (const Kind& kind : kinds) {
    std::error_code ec;
    if (!fs::exists(kind.parent / kind.enabled, ec))
      continue;
    const fs::path dir = kind.parent / ("lmr-test-" + std::to_string(getpid()));
    if (!fs::create_directory(dir, ec))
      continue;
    if (kind.limit(dir)) {
      // Half a processor is one thread, whatever the mask allows.
      const int got = in_child([&] {
        return write(dir / "cgroup.procs", std::to_string(getpid()))
                   ? static_cast<int>(available_processors())
                   : 201;
      });
      fs::remove(dir, ec);
      EXPECT_EQ(got, 1) << dir;
      return;
    }
    fs::remove(dir, ec);
  }
  GTEST_SKIP() << "no cgroup with a CPU quota can be made here";
}

}  // namespace
}  // namespace lmr::platform
