#include "platform.h"

#include <malloc.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lmr::platform {
namespace {

TEST(KeepFreedMemory, ThreadsOfEveryFrameShareOneHeap) {
  keep_freed_memory();
  // As the frame loop does: rounds of short-lived threads that allocate and
  // free big blocks at the same time.
  for (int round = 0; round < 4; ++round) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([] {
        std::vector<char> block(4 << 20, 1);
        volatile char sink = block[block.size() / 2];
        (void)sink;
      });
    }
  }
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  ASSERT_NE(f, nullptr);
  malloc_info(0, f);
  fclose(f);
  const std::string xml(text, size);
  free(text);
  EXPECT_NE(xml.find("<heap nr=\"0\">"), std::string::npos);
  EXPECT_EQ(xml.find("<heap nr=\"1\">"), std::string::npos) << xml;
}

TEST(DefaultAppData, FromTheEnvironment) {
  struct Row {
    std::map<std::string, std::string> env;  // absent: unset
    std::string expected;
  };
#ifdef __APPLE__
  const Row rows[] = {
      {{{"HOME", "/Users/a"}}, "/Users/a/Library/Application Support/app.id"},
      {{{"HOME", "/Users/a/"}, {"XDG_DATA_HOME", "/x"}},
       "/Users/a/Library/Application Support/app.id"},
      {{}, "Library/Application Support/app.id"},
  };
#else
  const Row rows[] = {
      {{{"HOME", "/home/a/"}}, "/home/a/.local/share/lumerant"},
      {{{"HOME", "/home/a"}, {"XDG_DATA_HOME", "/data/"}}, "/data/lumerant"},
      {{{"XDG_DATA_HOME", "/data"}}, "/data/lumerant"},
      // Empty or relative values are not a folder the user chose.
      {{{"HOME", "/home/a"}, {"XDG_DATA_HOME", ""}}, "/home/a/.local/share/lumerant"},
      {{{"HOME", "/home/a"}, {"XDG_DATA_HOME", "data"}}, "/home/a/.local/share/lumerant"},
      {{{"HOME", ""}}, ".local/share/lumerant"},
      {{}, ".local/share/lumerant"},
  };
#endif
  for (const Row& row : rows) {
    auto env = [&](const char* name) -> std::optional<std::string> {
      auto it = row.env.find(name);
      return it == row.env.end() ? std::nullopt : std::optional(it->second);
    };
    EXPECT_EQ(default_app_data(env, "app.id"), std::filesystem::path(row.expected))
        << testing::PrintToString(row.env);
  }
}

TEST(CpuQuota, FromCgroupTexts) {
  struct Row {
    std::string cpu_max;  // empty: the v1 pair below instead
    std::string quota_us, period_us;
    std::optional<double> expected;
  };
  const Row rows[] = {
      {"max 100000", "", "", std::nullopt},
      {"max 100000\n", "", "", std::nullopt},
      {"150000 100000", "", "", 1.5},
      {"50000 100000\n", "", "", 0.5},
      {"200000 100000", "", "", 2.0},
      {"1000 100000", "", "", 0.01},
      // Malformed or impossible texts limit nothing.
      {"0 100000", "", "", std::nullopt},
      {"-5 100000", "", "", std::nullopt},
      {"50000 0", "", "", std::nullopt},
      {"50000", "", "", std::nullopt},
      {"50000 100000 7", "", "", std::nullopt},
      {"5e4 100000", "", "", std::nullopt},
      {"", "-1", "100000", std::nullopt},
      {"", "-1\n", "100000\n", std::nullopt},
      {"", "50000\n", "100000\n", 0.5},
      {"", "300000", "100000", 3.0},
      {"", "50000", "", std::nullopt},
      {"", "", "100000", std::nullopt},
  };
  for (const Row& row : rows) {
    const std::optional<double> got = row.cpu_max.empty()
                                          ? parse_cfs_quota(row.quota_us, row.period_us)
                                          : parse_cpu_max(row.cpu_max);
    EXPECT_EQ(got, row.expected) << "'" << row.cpu_max << "' '" << row.quota_us << "' '"
                                 << row.period_us << "'";
  }
}

TEST(CpuQuota, TheLeastOfTheProcessCgroupAndItsAncestors) {
  const std::string v2_mount = "30 22 0:27 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
  const std::string v1_mounts =
      "31 30 0:28 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
      "33 30 0:30 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n";
  struct Row {
    const char* name;
    std::string proc_cgroup, mountinfo;
    std::map<std::string, std::string> files;
    std::optional<double> expected;
  };
  const Row rows[] = {
      {"v2 own cgroup",
       "0::/job/task\n",
       v2_mount,
       {{"/sys/fs/cgroup/job/task/cpu.max", "50000 100000\n"},
        {"/sys/fs/cgroup/job/cpu.max", "max 100000\n"}},
       0.5},
      {"v2 parent tighter",
       "0::/job/task\n",
       v2_mount,
       {{"/sys/fs/cgroup/job/task/cpu.max", "400000 100000\n"},
        {"/sys/fs/cgroup/job/cpu.max", "150000 100000\n"}},
       1.5},
      {"v2 unlimited",
       "0::/job\n",
       v2_mount,
       {{"/sys/fs/cgroup/job/cpu.max", "max 100000\n"}},
       std::nullopt},
      {"v2 container namespace root",
       "0::/\n",
       v2_mount,
       {{"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
       2.0},
      {"v2 mounted away from the top",
       "0::/\n",
       "40 22 0:37 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
       {{"/sys/fs/cgroup/unified/cpu.max", "100000 100000\n"},
        {"/sys/fs/cgroup/cpu.max", "50000 100000\n"}},
       1.0},
      {"v1 joint controllers",
       "2:cpu,cpuacct:/slurm/job1\n3:cpuset:/\n",
       v1_mounts,
       {{"/sys/fs/cgroup/cpu,cpuacct/slurm/job1/cpu.cfs_quota_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/slurm/job1/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/slurm/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/slurm/cpu.cfs_period_us", "100000\n"}},
       1.0},
      {"v1 host path outside the container's mount",
       "4:cpu,cpuacct:/docker/abc\n",
       "50 40 0:44 /docker/xyz /sys/fs/cgroup/cpu,cpuacct ro - cgroup cgroup rw,cpu,cpuacct\n",
       {{"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "250000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
       2.5},
      {"v1 mount root is the process's cgroup",
       "4:cpu:/docker/abc\n",
       "50 40 0:44 /docker/abc /sys/fs/cgroup/cpu ro - cgroup cgroup rw,cpu\n",
       {{"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "50000"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000"}},
       0.5},
      {"v1 only cpuacct carries no quota",
       "2:cpuacct:/a\n",
       "31 30 0:28 / /sys/fs/cgroup/cpuacct rw - cgroup cgroup rw,cpuacct\n",
       {{"/sys/fs/cgroup/cpuacct/a/cpu.cfs_quota_us", "50000"},
        {"/sys/fs/cgroup/cpuacct/a/cpu.cfs_period_us", "100000"}},
       std::nullopt},
      {"hybrid: v2 without the cpu controller, v1 limits",
       "1:cpu:/x\n0::/x\n",
       "31 30 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
       "40 30 0:37 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
       {{"/sys/fs/cgroup/cpu/x/cpu.cfs_quota_us", "120000"},
        {"/sys/fs/cgroup/cpu/x/cpu.cfs_period_us", "100000"}},
       1.2},
      {"escaped blank in the mount point",
       "0::/a\n",
       "30 22 0:27 / /mnt/c\\040g rw - cgroup2 cgroup2 rw\n",
       {{"/mnt/c g/a/cpu.max", "75000 100000"}},
       0.75},
      {"optional mountinfo fields",
       "0::/a\n",
       "30 22 0:27 / /sys/fs/cgroup rw,nosuid shared:9 master:2 - cgroup2 cgroup2 rw\n",
       {{"/sys/fs/cgroup/a/cpu.max", "75000 100000"}},
       0.75},
      {"no cgroup lines", "", v2_mount, {{"/sys/fs/cgroup/cpu.max", "50000 100000"}}, std::nullopt},
      {"garbage", "not a cgroup line\n::\n", "garbage\n- - -\n", {}, std::nullopt},
  };
  for (const Row& row : rows) {
    std::vector<std::string> asked;
    auto read = [&](const std::filesystem::path& p) -> std::optional<std::string> {
      asked.push_back(p.string());
      auto it = row.files.find(p.string());
      return it == row.files.end() ? std::nullopt : std::optional(it->second);
    };
    EXPECT_EQ(cgroup_cpu_quota(row.proc_cgroup, row.mountinfo, read), row.expected)
        << row.name << "; read: " << testing::PrintToString(asked);
    // Nothing above the hierarchy's mount point is ever read.
    for (const std::string& p : asked)
      EXPECT_TRUE(p.starts_with("/sys/fs/cgroup/") || p.starts_with("/mnt/c g/"))
          << row.name << ": " << p;
  }
}

}  // namespace
}  // namespace lmr::platform
