// The overlapped tile runner with stand-in inference operations: window,
// order and threads, failures, and that every worker is joined on return.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tile.h"

namespace lmr::tile {
namespace {

std::vector<Tile> make_tiles(uint64_t n) {
  std::vector<Tile> tiles;
  for (uint64_t i = 0; i < n; ++i)
    tiles.push_back(Tile{i * 10, 0, 10, 10, i, 0});
  return tiles;
}

size_t thread_count() {
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// The kernel may still list a thread for a moment after join returns: wait
// (bounded) for the count to come down to `want`.
size_t settled_thread_count(size_t want) {
  for (int i = 0; i < 2000 && thread_count() > want; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return thread_count();
}

// Threads before a run; a sanitizer starts a helper thread with the first
// thread created, so one is started and joined beforehand.
size_t baseline_threads() {
  std::thread([] {}).join();
  size_t fewest = thread_count();
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fewest = std::min(fewest, thread_count());
  }
  return fewest;
}

std::vector<uint64_t> iota(uint64_t n) {
  std::vector<uint64_t> v(n);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

TEST(Overlapped, Table) {
  enum Fault { kNone, kError, kThrowStd, kThrowInt, kConsumerThrows, kWorkerGoneFirst };
  struct Row {
    const char* name;
    size_t ops;
    uint64_t tiles;
    Fault fault;          // at tile 5; kWorkerGoneFirst: tile 0's error, then its worker ends
    std::string message;  // empty: success
    uint64_t consumed;
  } const rows[] = {
      {"one worker", 1, 9, kNone, "", 9},
      {"tile 1 done before tile 0", 2, 6, kNone, "", 6},
      {"three workers", 3, 40, kNone, "", 40},
      {"no tiles", 2, 0, kNone, "", 0},
      {"the first error ends the frame", 1, 9, kError, "tile 5 failed", 5},
      {"exception", 1, 9, kThrowStd, "inference thread panicked", 5},
      {"anything thrown", 1, 9, kThrowInt, "inference thread panicked", 5},
      {"consumer throws", 2, 9, kConsumerThrows, "thrown: consumer broke", 5},
      // Handing out tile 1 finds no worker: still tile 0's error, not "inference stopped".
      {"worker gone before the next job", 1, 9, kWorkerGoneFirst, "tile 0 failed", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const size_t threads_before = baseline_threads();
    const std::thread::id caller = std::this_thread::get_id();
    const uint64_t fail_at = r.fault == kWorkerGoneFirst ? 0 : 5;
    std::vector<uint64_t> built, consumed;
    uint64_t max_ahead = 0;
    std::latch tile1_done(1);
    std::vector<InferOp> ops;
    for (size_t i = 0; i < r.ops; ++i) {
      ops.push_back(
          [&, seen = std::thread::id()](const Tile& t, const Buffer& in) mutable -> Result<Buffer> {
            // Each op runs on one thread of its own.
            EXPECT_TRUE(std::this_thread::get_id() != caller &&
                        (seen == std::thread::id() || seen == std::this_thread::get_id()));
            seen = std::this_thread::get_id();
            if (t.col == 0 && r.ops > 1)
              tile1_done.wait();  // so tile 1 waits for its turn
            if (t.col == 1)
              tile1_done.count_down();
            if (t.col == fail_at && r.fault == kThrowStd)
              throw std::runtime_error("boom");
            if (t.col == fail_at && r.fault == kThrowInt)
              throw 42;
            if (t.col == fail_at && (r.fault == kError || r.fault == kWorkerGoneFirst))
              return fail("tile " + std::to_string(t.col) + " failed");
            return in;
          });
    }
    auto build = [&](const Tile& t) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      while (r.fault == kWorkerGoneFirst && t.col == 1 && thread_count() > threads_before)
        std::this_thread::yield();
      built.push_back(t.col);
      max_ahead = std::max<uint64_t>(max_ahead, built.size() - consumed.size());
      return Buffer(1, static_cast<float>(t.col));
    };
    auto consume = [&](const Tile& t, const Buffer& out) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      if (t.col == fail_at && r.fault == kConsumerThrows)
        throw std::runtime_error("consumer broke");
      EXPECT_EQ(out, Buffer(1, static_cast<float>(t.col)));
      consumed.push_back(t.col);
    };
    std::string message;
    try {
      Status st = overlapped(make_tiles(r.tiles), build, std::move(ops), consume);
      message = st ? "" : st.error().message();
    } catch (const std::runtime_error& e) {
      message = std::string("thrown: ") + e.what();
    }
    EXPECT_EQ(message, r.message);
    EXPECT_EQ(consumed, iota(r.consumed));
    EXPECT_EQ(built, iota(built.size()));
    EXPECT_EQ(max_ahead, std::min<uint64_t>(r.ops + 1, r.tiles));
    EXPECT_EQ(settled_thread_count(threads_before), threads_before);
  }
}

TEST(TileDeathTest, NoInferenceFunctionOrNoThreadStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [](size_t n_ops) {
    std::vector<InferOp> ops(n_ops,
                             [](const Tile&, const Buffer& in) { return Result<Buffer>(in); });
    (void)overlapped(
        make_tiles(2), [](const Tile&) { return Buffer(1); }, std::move(ops),
        [](const Tile&, const Buffer&) {});
  };
  EXPECT_DEATH(run(0), "overlapped needs an inference function");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Caps the address space just above what is mapped now, so that a new
  // thread's stack cannot be mapped.
  auto forbid_new_threads = [] {
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + (1 << 20);
    rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
  };
  EXPECT_DEATH(
      {
        forbid_new_threads();
        run(1);
      },
      "failed to spawn thread");
  EXPECT_DEATH(
      {
        forbid_new_threads();
        normalize(std::vector<float>(3), std::vector<float>(1));
      },
      "failed to spawn thread");
#endif
}

}  // namespace
}  // namespace lmr::tile
