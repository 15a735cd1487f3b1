// The tile cache: what counts as an unchanged input, and what it hands back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "reuse.h"

namespace lmr::reuse {
namespace {

using tile::Buffer;

TEST(TileCache, RecallsOnlyBitIdenticalInputsWithAKeptOutput) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Row {
    const char* what;
    Buffer first, second;
    bool kept;  // the first input's output arrived
    bool recalled;
  };
  const Row rows[] = {
      {"same bits", {0.5f, 1.0f, 0.25f}, {0.5f, 1.0f, 0.25f}, true, true},
      {"NaN, same bits", {nan, 0.0f}, {nan, 0.0f}, true, true},
      {"one value differs", {0.5f, 1.0f, 0.25f}, {0.5f, 1.0f, 0.26f}, true, false},
      {"negative zero", {0.0f, 1.0f}, {-0.0f, 1.0f}, true, false},
      {"another size", {0.5f, 1.0f}, {0.5f, 1.0f, 0.0f}, true, false},
      {"output never kept (the frame failed)", {0.5f}, {0.5f}, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TileCache cache;
    EXPECT_EQ(cache.recall(3, r.first), nullptr);  // nothing kept yet
    Buffer output{7.0f, 8.0f};
    if (r.kept) {
      cache.keep(3, output);
      EXPECT_TRUE(output.empty());  // taken over; nothing was kept before
    }
    EXPECT_EQ(cache.recall(2, r.first), nullptr);  // another tile
    const Buffer* got = cache.recall(3, r.second);
    ASSERT_EQ(got != nullptr, r.recalled);
    if (got) {
      EXPECT_EQ(*got, (Buffer{7.0f, 8.0f}));
    }
    EXPECT_EQ(cache.counts().tiles, 3u);
    EXPECT_EQ(cache.counts().reused, r.recalled ? 1u : 0u);
  }
}

TEST(TileCache, ANewInputReplacesTheKeptOneAndTheLineCountsFrames) {
  TileCache cache;
  Buffer out{1.0f};
  EXPECT_EQ(cache.recall(0, {1.0f}), nullptr);
  cache.keep(0, out);
  cache.frame_done(true);
  EXPECT_EQ(cache.recall(0, {2.0f}), nullptr);  // changed: runs again
  Buffer second{2.0f};
  cache.keep(0, second);
  EXPECT_EQ(second, Buffer{1.0f});  // the old output comes back to be released
  cache.frame_done(true);
  EXPECT_EQ(cache.recall(0, {1.0f}), nullptr);  // back to the first: not kept any more
  Buffer third{1.0f};
  cache.keep(0, third);
  cache.frame_done(true);
  ASSERT_NE(cache.recall(0, {1.0f}), nullptr);
  cache.frame_done(false);
  EXPECT_EQ(cache.bytes(), 2 * sizeof(float));
  EXPECT_EQ(report_line(cache.counts()),
            "reuse: 1 of 4 tiles (25.0%) unchanged and not run; 1 of 4 frames ran no model\n");
  EXPECT_EQ(report_line({}),
            "reuse: 0 of 0 tiles (0.0%) unchanged and not run; 0 of 0 frames ran "
            "no model\n");
}

}  // namespace
}  // namespace lmr::reuse
