// The overlapped tile runner with stand-in inference operations: window,
// ordering, failures, and that every worker is joined before it returns.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tile.h"

namespace lmr::tile {
namespace {

using namespace std::chrono_literals;

std::vector<Tile> make_tiles(uint64_t n) {
  std::vector<Tile> tiles;
  for (uint64_t i = 0; i < n; ++i)
    tiles.push_back(Tile{i * 10, 0, 10, 10, i, 0});
  return tiles;
}

uint64_t index_of(const Tile& t) {
  return t.col;
}

// Threads of this process right now.
size_t thread_count();

// Thread count before a run; a sanitizer's helper thread is started by the
// first thread creation, so one thread is started and joined beforehand.
size_t baseline_threads() {
  std::thread([] {}).join();
  return thread_count();
}

size_t thread_count() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
    ++n;
  return n;
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

// What the calling thread saw: the builder's and consumer's calls.
struct Trace {
  std::thread::id caller = std::this_thread::get_id();
  std::vector<uint64_t> built;
  std::vector<uint64_t> consumed;
  uint64_t max_ahead = 0;
  bool off_thread = false;

  InputBuilder builder() {
    return [this](const Tile& t) {
      off_thread |= std::this_thread::get_id() != caller;
      built.push_back(index_of(t));
      max_ahead = std::max<uint64_t>(max_ahead, built.size() - consumed.size());
      return Buffer(4, static_cast<float>(index_of(t)));
    };
  }
  Consumer consumer() {
    return [this](const Tile& t, const Buffer& out) {
      off_thread |= std::this_thread::get_id() != caller;
      ASSERT_EQ(out.size(), 4u);
      EXPECT_EQ(out[0], static_cast<float>(index_of(t)) * 2.0f);
      consumed.push_back(index_of(t));
    };
  }
};

Result<Buffer> doubled(const Buffer& in) {
  Buffer out(in);
  for (float& v : out)
    v *= 2.0f;
  return out;
}

std::vector<uint64_t> iota(uint64_t n) {
  std::vector<uint64_t> v(n);
  for (uint64_t i = 0; i < n; ++i)
    v[i] = i;
  return v;
}

TEST(Overlapped, OneWorkerKeepsAtMostTwoTilesAhead) {
  const size_t threads_before = baseline_threads();
  std::vector<Tile> tiles = make_tiles(9);
  Trace trace;
  std::set<std::thread::id> op_threads;
  std::vector<InferOp> ops;
  ops.push_back([&](const Tile&, const Buffer& in) {
    op_threads.insert(std::this_thread::get_id());
    std::this_thread::sleep_for(1ms);
    return doubled(in);
  });
  ASSERT_TRUE(overlapped(tiles, trace.builder(), std::move(ops), trace.consumer()));
  EXPECT_EQ(trace.consumed, iota(9));
  EXPECT_EQ(trace.built, iota(9));
  EXPECT_EQ(trace.max_ahead, 2u);
  EXPECT_FALSE(trace.off_thread);
  EXPECT_EQ(op_threads.size(), 1u);
  EXPECT_EQ(op_threads.count(trace.caller), 0u);
  EXPECT_EQ(thread_count(), threads_before);
}

TEST(Overlapped, WindowIsOpsPlusOne) {
  std::vector<Tile> tiles = make_tiles(40);
  Trace trace;
  std::vector<InferOp> ops;
  for (int i = 0; i < 3; ++i) {
    ops.push_back([](const Tile&, const Buffer& in) {
      std::this_thread::sleep_for(200us);
      return doubled(in);
    });
  }
  ASSERT_TRUE(overlapped(tiles, trace.builder(), std::move(ops), trace.consumer()));
  EXPECT_EQ(trace.consumed, iota(40));
  EXPECT_EQ(trace.max_ahead, 4u);
}

TEST(Overlapped, EachOperationRunsOnItsOwnThread) {
  std::vector<Tile> tiles = make_tiles(30);
  Trace trace;
  std::mutex m;
  std::vector<std::set<std::thread::id>> seen(3);
  std::vector<InferOp> ops;
  for (size_t i = 0; i < 3; ++i) {
    ops.push_back([&, i](const Tile&, const Buffer& in) {
      {
        std::lock_guard lock(m);
        seen[i].insert(std::this_thread::get_id());
      }
      std::this_thread::sleep_for(300us);
      return doubled(in);
    });
  }
  ASSERT_TRUE(overlapped(tiles, trace.builder(), std::move(ops), trace.consumer()));
  std::set<std::thread::id> all;
  for (const auto& s : seen) {
    EXPECT_LE(s.size(), 1u);
    all.insert(s.begin(), s.end());
  }
  EXPECT_EQ(all.count(trace.caller), 0u);
}

TEST(Overlapped, LaterTileFinishingFirstWaitsForItsTurn) {
  std::vector<Tile> tiles = make_tiles(6);
  Trace trace;
  Gate tile1_done;
  std::mutex m;
  std::vector<uint64_t> finished;
  auto op = [&](const Tile& t, const Buffer& in) {
    if (index_of(t) == 0) {
      tile1_done.wait();
      std::this_thread::sleep_for(20ms);
    }
    {
      std::lock_guard lock(m);
      finished.push_back(index_of(t));
    }
    if (index_of(t) == 1)
      tile1_done.open();
    return doubled(in);
  };
  std::vector<InferOp> ops;
  ops.push_back(op);
  ops.push_back(op);
  ASSERT_TRUE(overlapped(tiles, trace.builder(), std::move(ops), trace.consumer()));
  ASSERT_GE(finished.size(), 2u);
  EXPECT_EQ(finished[0], 1u);
  EXPECT_EQ(trace.consumed, iota(6));
}

TEST(Overlapped, ErrorOnTileFiveBeforeTileThreeEndsTheFrame) {
  const size_t threads_before = baseline_threads();
  std::vector<Tile> tiles = make_tiles(9);
  Trace trace;
  Gate five_failed;
  std::atomic<int> started{0}, ended{0};
  auto op = [&](const Tile& t, const Buffer& in) -> Result<Buffer> {
    ++started;
    struct End {
      std::atomic<int>& n;
      ~End() { ++n; }
    } end{ended};
    const uint64_t i = index_of(t);
    if (i == 5) {
      five_failed.open();
      return fail("tile 5 failed");
    }
    if (i == 3 || i == 4) {
      five_failed.wait();
      std::this_thread::sleep_for(100ms);
    }
    return doubled(in);
  };
  std::vector<InferOp> ops{op, op, op};
  Status st = overlapped(tiles, trace.builder(), std::move(ops), trace.consumer());
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), "tile 5 failed");
  EXPECT_EQ(trace.consumed, iota(3));
  EXPECT_EQ(started.load(), ended.load());
  EXPECT_EQ(thread_count(), threads_before);
}

TEST(Overlapped, FirstErrorToArriveWins) {
  std::vector<Tile> tiles = make_tiles(4);
  Trace trace;
  Gate first_sent;
  auto op = [&](const Tile& t, const Buffer&) -> Result<Buffer> {
    if (index_of(t) == 0) {
      first_sent.wait();
      std::this_thread::sleep_for(50ms);
      return fail("tile 0 failed");
    }
    first_sent.open();
    return fail("tile 1 failed");
  };
  std::vector<InferOp> ops{op, op};
  Status st = overlapped(tiles, trace.builder(), std::move(ops), trace.consumer());
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), "tile 1 failed");
  EXPECT_TRUE(trace.consumed.empty());
}

TEST(Overlapped, ExceptionsBecomeInferenceThreadPanicked) {
  for (int kind = 0; kind < 2; ++kind) {
    const size_t threads_before = baseline_threads();
    std::vector<Tile> tiles = make_tiles(5);
    Trace trace;
    std::vector<InferOp> ops;
    ops.push_back([kind](const Tile& t, const Buffer& in) -> Result<Buffer> {
      if (index_of(t) == 2) {
        if (kind == 0)
          throw std::runtime_error("boom");
        throw 42;
      }
      return doubled(in);
    });
    Status st = overlapped(tiles, trace.builder(), std::move(ops), trace.consumer());
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message(), "inference thread panicked");
    EXPECT_EQ(trace.consumed, iota(2));
    EXPECT_EQ(thread_count(), threads_before);
  }
}

TEST(Overlapped, ErrorIsReportedEvenWhenEveryWorkerHasAlreadyEnded) {
  // The single worker fails on tile 0 and ends at once; handing out the next
  // tile then finds no worker, which must still report the tile's error.
  for (int round = 0; round < 200; ++round) {
    std::vector<Tile> tiles = make_tiles(50);
    std::vector<InferOp> ops;
    ops.push_back([](const Tile&, const Buffer&) -> Result<Buffer> { return fail("no model"); });
    Status st = overlapped(
        tiles,
        [](const Tile&) {
          std::this_thread::yield();
          return Buffer(1);
        },
        std::move(ops), [](const Tile&, const Buffer&) {});
    ASSERT_FALSE(st);
    ASSERT_EQ(st.error().message(), "no model") << "round " << round;
  }
}

TEST(Overlapped, NoTilesStartsAndStopsWorkers) {
  const size_t threads_before = baseline_threads();
  std::atomic<int> calls{0};
  std::vector<InferOp> ops;
  for (int i = 0; i < 2; ++i) {
    ops.push_back([&](const Tile&, const Buffer& in) {
      ++calls;
      return doubled(in);
    });
  }
  Trace trace;
  EXPECT_TRUE(overlapped({}, trace.builder(), std::move(ops), trace.consumer()));
  EXPECT_EQ(calls.load(), 0);
  EXPECT_TRUE(trace.built.empty());
  EXPECT_EQ(thread_count(), threads_before);
}

TEST(Overlapped, ConsumerExceptionStillJoinsWorkers) {
  const size_t threads_before = baseline_threads();
  std::vector<Tile> tiles = make_tiles(8);
  std::vector<InferOp> ops;
  for (int i = 0; i < 2; ++i) {
    ops.push_back([](const Tile&, const Buffer& in) {
      std::this_thread::sleep_for(2ms);
      return doubled(in);
    });
  }
  EXPECT_THROW((void)overlapped(
                   tiles, [](const Tile&) { return Buffer(4); }, std::move(ops),
                   [](const Tile& t, const Buffer&) {
                     if (index_of(t) == 3)
                       throw std::runtime_error("consumer broke");
                   }),
               std::runtime_error);
  EXPECT_EQ(thread_count(), threads_before);
}

TEST(OverlappedDeathTest, NeedsAnInferenceFunction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<Tile> tiles = make_tiles(1);
  EXPECT_DEATH(
      (void)overlapped(
          tiles, [](const Tile&) { return Buffer(); }, {}, [](const Tile&, const Buffer&) {}),
      "overlapped needs an inference function");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Caps the address space just above what the process maps now, so that a
// new thread's stack cannot be mapped.
void forbid_new_threads() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  const rlim_t limit = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + (1 << 20);
  rlimit rl{limit, limit};
  setrlimit(RLIMIT_AS, &rl);
}

TEST(SpawnFailureDeathTest, ThreadThatCannotStartStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<float> sums(3, 1.0f), weights(1, 1.0f);
  EXPECT_DEATH(
      {
        forbid_new_threads();
        normalize(sums, weights);
      },
      "failed to spawn thread");

  std::vector<Tile> tiles = make_tiles(2);
  std::vector<InferOp> ops;
  ops.push_back([](const Tile&, const Buffer& in) { return doubled(in); });
  EXPECT_DEATH(
      {
        forbid_new_threads();
        (void)overlapped(
            tiles, [](const Tile&) { return Buffer(1); }, std::move(ops),
            [](const Tile&, const Buffer&) {});
      },
      "failed to spawn thread");
}
#endif

}  // namespace
}  // namespace lmr::tile
