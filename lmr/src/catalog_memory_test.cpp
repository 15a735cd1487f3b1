// Adopting an older model file hashes all of it: the memory this takes must
// not grow with the file (model files run to hundreds of megabytes).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <gtest/gtest.h>

#include "catalog.h"
#include "testing.h"

namespace lmr::catalog {
namespace {

namespace fs = std::filesystem;

constexpr size_t kFileBytes = 300u * 1000u * 1000u;

long peak_rss_kib() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

struct ChildReport {
  long base_kib = 0;  // peak resident memory when the child started
  long peak_kib = 0;  // after reading the catalogue
  double seconds = 0;
  bool installed = false;
};

TEST(CatalogMemory, AdoptingA300MegabyteFileHashesItInBoundedMemory) {
  lmr::testing::TempDir app;
  fs::path older = app / "models" / "big" / "2x.onnx";
  fs::create_directories(older.parent_path());
  {
    // Mostly a hole (cheap to make, read back as zeros) with distinct data
    // at the start, across a megabyte boundary, and at the very end.
    std::ofstream out(older, std::ios::binary);
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<char>((i * 7 + (i >> 9)) & 0xFF);
    for (size_t at : {size_t{0}, (size_t{1} << 20) - 1000, kFileBytes / 2, kFileBytes - 3000}) {
      out.seekp(static_cast<std::streamoff>(at));
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    ASSERT_TRUE(out.good());
  }
  ASSERT_EQ(fs::file_size(older), kFileBytes);
  auto sum = lmr::testing::run({"/usr/bin/openssl", "dgst", "-sha256", "-r", older.string()});
  ASSERT_EQ(sum.exit_code(), 0) << sum.err;
  std::string digest = sum.out.substr(0, 64);
  lmr::testing::write_file(app / "models.json",
                           R"({"version": 1, "models": [{"id": "big", "files": {"2": {"url": "u",
                              "sha256": ")" +
                               digest + R"(", "bytes": 300000000}}}]})");

  // A fresh child measures its own peak from where it starts.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    ChildReport r;
    r.base_kib = peak_rss_kib();
    auto t0 = std::chrono::steady_clock::now();
    auto models = cached(app.path(), app / "models");
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.peak_kib = peak_rss_kib();
    r.installed = models.size() == 1 && models[0].installed;
    ssize_t n = write(fds[1], &r, sizeof r);
    _exit(n == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  ChildReport r;
  ssize_t n = -1;
  do {
    n = read(fds[0], &r, sizeof r);
  } while (n < 0 && errno == EINTR);
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(n, static_cast<ssize_t>(sizeof r));

  EXPECT_TRUE(r.installed);
  EXPECT_TRUE(fs::exists(app / "models" / "big" / ("2x-" + digest.substr(0, 12) + ".onnx")));
  EXPECT_FALSE(fs::exists(older));
  long growth_kib = r.peak_kib - r.base_kib;
  std::cout << "hashed " << kFileBytes / 1000000 << " MB in " << r.seconds
            << " s; peak resident memory grew by " << growth_kib << " KiB (from " << r.base_kib
            << " KiB)\n";
  RecordProperty("rss_growth_kib", std::to_string(growth_kib));
  EXPECT_LT(growth_kib, 32 * 1024);
}

}  // namespace
}  // namespace lmr::catalog
