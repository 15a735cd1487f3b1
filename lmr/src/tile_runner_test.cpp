// The overlapped tile runner with stand-in inference operations: window,
// order and threads, failures, and that every worker is joined on return.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <set>
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

// Threads before a run; a sanitizer starts a helper thread with the first
// thread created, so one is started and joined beforehand.
size_t baseline_threads() {
  std::thread([] {}).join();
  return thread_count();
}

// What the calling thread saw; each tile's output is its index.
struct Trace {
  std::thread::id caller = std::this_thread::get_id();
  std::vector<uint64_t> built, consumed;
  uint64_t max_ahead = 0;
  bool off_thread = false;

  InputBuilder builder() {
    return [this](const Tile& t) {
      off_thread |= std::this_thread::get_id() != caller;
      built.push_back(t.col);
      max_ahead = std::max<uint64_t>(max_ahead, built.size() - consumed.size());
      return Buffer(1, static_cast<float>(t.col));
    };
  }
  Consumer consumer() {
    return [this](const Tile& t, const Buffer& out) {
      off_thread |= std::this_thread::get_id() != caller;
      EXPECT_EQ(out, Buffer(1, static_cast<float>(t.col)));
      consumed.push_back(t.col);
    };
  }
};

std::vector<uint64_t> iota(uint64_t n) {
  std::vector<uint64_t> v(n);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

// A flag that ops wait on; set once.
class Gate {
 public:
  void open() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(Overlapped, WindowOrderAndThreads) {
  // ops, tiles; tile 0 waits until tile 1 is done, so with two or more
  // workers tile 1 finishes first and waits for its turn.
  for (auto [n_ops, n_tiles] : {std::pair<size_t, uint64_t>{1, 9}, {2, 6}, {3, 40}, {2, 0}}) {
    SCOPED_TRACE(n_ops);
    const size_t threads_before = baseline_threads();
    Trace trace;
    Gate tile1_done;
    std::mutex m;
    std::set<std::thread::id> op_threads;
    std::vector<InferOp> ops;
    for (size_t i = 0; i < n_ops; ++i) {
      ops.push_back([&, seen = std::thread::id()](const Tile& t, const Buffer& in) mutable {
        EXPECT_TRUE(seen == std::thread::id() || seen == std::this_thread::get_id());
        seen = std::this_thread::get_id();
        {
          std::lock_guard lock(m);
          op_threads.insert(seen);
        }
        if (t.col == 0 && n_ops > 1)
          tile1_done.wait();
        if (t.col == 1)
          tile1_done.open();
        return Result<Buffer>(in);
      });
    }
    ASSERT_TRUE(overlapped(make_tiles(n_tiles), trace.builder(), std::move(ops), trace.consumer()));
    EXPECT_EQ(trace.consumed, iota(n_tiles));
    EXPECT_EQ(trace.built, iota(n_tiles));
    EXPECT_EQ(trace.max_ahead, std::min<uint64_t>(n_ops + 1, n_tiles));
    EXPECT_FALSE(trace.off_thread);
    EXPECT_LE(op_threads.size(), n_ops);
    EXPECT_EQ(op_threads.count(trace.caller), 0u);
    EXPECT_EQ(thread_count(), threads_before);
  }
}

TEST(Overlapped, Failures) {
  enum Fault { kError, kThrowStd, kThrowInt, kConsumerThrows, kWorkerGoneFirst };
  struct Row {
    const char* name;
    Fault fault;
    std::string message;
    uint64_t consumed;
  } const rows[] = {
      {"the first error ends the frame", kError, "tile 5 failed", 5},
      {"exception", kThrowStd, "inference thread panicked", 5},
      {"anything thrown", kThrowInt, "inference thread panicked", 5},
      {"consumer throws", kConsumerThrows, "consumer broke", 5},
      // The worker failed on tile 0 and ended before tile 1 was handed out:
      // still that error, not "inference stopped".
      {"worker gone before the next job", kWorkerGoneFirst, "tile 0 failed", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const size_t threads_before = baseline_threads();
    const uint64_t fail_at = r.fault == kWorkerGoneFirst ? 0 : 5;
    Trace trace;
    std::vector<InferOp> ops{[&](const Tile& t, const Buffer& in) -> Result<Buffer> {
      if (t.col == fail_at && r.fault == kThrowStd)
        throw std::runtime_error("boom");
      if (t.col == fail_at && r.fault == kThrowInt)
        throw 42;
      if (t.col == fail_at && r.fault != kConsumerThrows)
        return fail("tile " + std::to_string(t.col) + " failed");
      return in;
    }};
    InputBuilder build = trace.builder();
    if (r.fault == kWorkerGoneFirst) {
      build = [&, inner = build](const Tile& t) {
        while (t.col == 1 && thread_count() > threads_before)
          std::this_thread::yield();
        return inner(t);
      };
    }
    Consumer consume = [&, inner = trace.consumer()](const Tile& t, const Buffer& out) {
      if (t.col == fail_at && r.fault == kConsumerThrows)
        throw std::runtime_error("consumer broke");
      inner(t, out);
    };
    try {
      Status st = overlapped(make_tiles(9), build, std::move(ops), consume);
      ASSERT_FALSE(st);
      EXPECT_EQ(st.error().message(), r.message);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(r.fault, kConsumerThrows);
      EXPECT_EQ(e.what(), r.message);
    }
    EXPECT_EQ(trace.consumed, iota(r.consumed));
    EXPECT_EQ(thread_count(), threads_before);
  }
}

TEST(OverlappedDeathTest, NeedsAnInferenceFunction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH((void)overlapped(
                   make_tiles(1), [](const Tile&) { return Buffer(); }, {},
                   [](const Tile&, const Buffer&) {}),
               "overlapped needs an inference function");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(SpawnFailureDeathTest, ThreadThatCannotStartStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
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
  std::vector<float> sums(3, 1.0f), weights(1, 1.0f);
  EXPECT_DEATH(
      {
        forbid_new_threads();
        normalize(sums, weights);
      },
      "failed to spawn thread");
  std::vector<InferOp> ops{[](const Tile&, const Buffer& in) { return Result<Buffer>(in); }};
  EXPECT_DEATH(
      {
        forbid_new_threads();
        (void)overlapped(
            make_tiles(2), [](const Tile&) { return Buffer(1); }, std::move(ops),
            [](const Tile&, const Buffer&) {});
      },
      "failed to spawn thread");
}
#endif

}  // namespace
}  // namespace lmr::tile
