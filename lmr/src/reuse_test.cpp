// The tile cache: what counts as an unchanged input, which part of a tile
// runs again for a local model, and what it hands back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "reuse.h"

namespace lmr::reuse {
namespace {

using tile::Buffer;
using tile::Crop;
using tile::Tile;

// A planar 3 x h x w input of one value.
Buffer plain_input(uint64_t w, uint64_t h, float v = 0.5f) {
  return Buffer(3 * w * h, v);
}

TEST(TileCache, RecallsOnlyBitIdenticalInputsWithAKeptOutput) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Row {
    const char* what;
    Buffer first, second;
    bool kept;  // the first input's output arrived
    bool recalled;
  };
  // Tiles of 1 x 1 pixel: three values each, or another size.
  const Row rows[] = {
      {"same bits", {0.5f, 1.0f, 0.25f}, {0.5f, 1.0f, 0.25f}, true, true},
      {"NaN, same bits", {nan, 0.0f, 1.0f}, {nan, 0.0f, 1.0f}, true, true},
      {"one value differs", {0.5f, 1.0f, 0.25f}, {0.5f, 1.0f, 0.26f}, true, false},
      {"negative zero", {0.0f, 1.0f, 1.0f}, {-0.0f, 1.0f, 1.0f}, true, false},
      {"another size", {0.5f, 1.0f, 0.0f}, {0.5f, 1.0f, 0.0f, 0.0f}, true, false},
      {"output never kept (the frame failed)",
       {0.5f, 0.5f, 0.5f},
       {0.5f, 0.5f, 0.5f},
       false,
       false},
  };
  const Tile one{0, 0, 1, 1, 0, 0};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    // A radius changes nothing for a tile of one pixel: a crop is the tile.
    TileCache cache(3, 2);
    TileCache::Recalled got = cache.recall(3, one, r.first);
    EXPECT_EQ(got.output, nullptr);  // nothing kept yet
    EXPECT_TRUE(got.crops.empty());
    Buffer output{7.0f, 8.0f};
    if (r.kept) {
      EXPECT_EQ(*cache.keep(3, output), (Buffer{7.0f, 8.0f}));
      EXPECT_TRUE(output.empty());  // taken over; nothing was kept before
    }
    EXPECT_EQ(cache.recall(2, one, r.first).output, nullptr);  // another tile
    got = cache.recall(3, one, r.second);
    ASSERT_EQ(got.output != nullptr, r.recalled);
    EXPECT_TRUE(got.crops.empty());
    if (got.output) {
      EXPECT_EQ(*got.output, (Buffer{7.0f, 8.0f}));
    }
    EXPECT_EQ(cache.counts().tiles, 3u);
    EXPECT_EQ(cache.counts().reused, r.recalled ? 1u : 0u);
  }
}

TEST(TileCache, ANewInputReplacesTheKeptOneAndTheLineCountsFrames) {
  TileCache cache;
  const Tile one{0, 0, 1, 1, 0, 0};
  auto in = [](float v) { return Buffer{v, v, v}; };
  Buffer out{1.0f};
  EXPECT_EQ(cache.recall(0, one, in(1.0f)).output, nullptr);
  cache.keep(0, out);
  cache.frame_done(true);
  EXPECT_EQ(cache.recall(0, one, in(2.0f)).output, nullptr);  // changed: runs again
  Buffer second{2.0f};
  cache.keep(0, second);
  EXPECT_EQ(second, Buffer{1.0f});  // the old output comes back to be released
  cache.frame_done(true);
  EXPECT_EQ(cache.recall(0, one, in(1.0f)).output, nullptr);  // not kept any more
  Buffer third{1.0f};
  cache.keep(0, third);
  cache.frame_done(true);
  ASSERT_NE(cache.recall(0, one, in(1.0f)).output, nullptr);
  cache.frame_done(false);
  EXPECT_EQ(cache.bytes(), 4 * sizeof(float));
  EXPECT_EQ(report_line(cache.counts()),
            "reuse: 1 of 4 tiles (25.0%) unchanged and not run; 1 of 4 frames ran no model\n");
  EXPECT_EQ(report_line({}),
            "reuse: 0 of 0 tiles (0.0%) unchanged and not run; 0 of 0 frames ran no model\n");
}

// The changed pixels' boxes: any plane, any bit, the first and last
// columns; in cells of 4 joined within 2 pixels.
TEST(ChangedBoxes, Table) {
  struct Change {
    uint64_t k, x, y;
    float v;
  };
  struct Row {
    const char* what;
    std::vector<Change> changes;
    std::vector<Box> boxes;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const uint64_t w = 30, h = 20;
  const Row rows[] = {
      {"nothing", {}, {}},
      {"the same value written", {{1, 4, 4, 0.0f}}, {}},
      {"one value, green", {{1, 4, 3, 0.25f}}, {{4, 3, 1, 1}}},
      {"negative zero against zero", {{0, 0, 0, -0.0f}}, {{0, 0, 1, 1}}},
      {"a NaN", {{2, 29, 19, nan}}, {{29, 19, 1, 1}}},
      {"two planes, one cell", {{0, 1, 2, 1.0f}, {2, 2, 1, 1.0f}}, {{1, 1, 2, 2}}},
      {"neighbouring cells joined", {{0, 3, 3, 1.0f}, {1, 6, 5, 1.0f}}, {{3, 3, 4, 3}}},
      {"within the join distance",
       {{0, 3, 3, 1.0f}, {1, 6, 3, 1.0f}, {1, 9, 3, 1.0f}},
       {{3, 3, 7, 1}}},
      {"apart: two boxes", {{0, 1, 1, 1.0f}, {2, 28, 18, 1.0f}}, {{1, 1, 1, 1}, {28, 18, 1, 1}}},
      {"a row's first and last columns",
       {{1, 0, 10, 1.0f}, {1, 29, 10, 1.0f}},
       {{0, 10, 1, 1}, {29, 10, 1, 1}}},
  };
  const Buffer before = plain_input(w, h, 0.0f);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Buffer after = before;
    for (const Change& c : r.changes)
      after[c.k * w * h + c.y * w + c.x] = c.v;
    // Both ways round: a change is a change.
    using Pair = std::pair<const Buffer*, const Buffer*>;
    for (const auto& [a, b] : {Pair{&before, &after}, Pair{&after, &before}}) {
      const std::vector<Box> got = changed_boxes(*a, *b, w, h, 4, 2);
      ASSERT_EQ(got.size(), r.boxes.size());
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::vector<uint64_t>({got[i].x, got[i].y, got[i].w, got[i].h}),
                  std::vector<uint64_t>({r.boxes[i].x, r.boxes[i].y, r.boxes[i].w, r.boxes[i].h}));
      }
    }
  }
  // Most cells changed: one box over all.
  Buffer noise = before;
  for (uint64_t y = 0; y < h; y += 2)
    for (uint64_t x = 1; x < w - 1; x += 2)
      noise[y * w + x] = 1.0f;
  const std::vector<Box> all = changed_boxes(before, noise, w, h, 4, 0);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(std::vector<uint64_t>({all[0].x, all[0].y, all[0].w, all[0].h}),
            std::vector<uint64_t>({1, 0, 27, 19}));
}

// Crops that overlap enough run as one; far apart, as two.
TEST(CropsFor, JoinsWhereOneRunIsCheaper) {
  const std::vector<tile::Crop> two = crops_for({{400, 300, 1, 1}, {10, 10, 1, 1}}, 500, 400, 10);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].x, 0u);  // row-major order
  EXPECT_EQ(two[1].x, 380u);
  const std::vector<tile::Crop> one = crops_for({{100, 100, 1, 1}, {110, 105, 1, 1}}, 500, 400, 10);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(std::vector<uint64_t>({one[0].x, one[0].y, one[0].w, one[0].h}),
            std::vector<uint64_t>({80, 80, 51, 46}));
}

// The crop: the changed box grown by r (kept) and by r again (run), each
// clipped to the tile, where the model pads as for the whole tile.
TEST(CropFor, Table) {
  struct Row {
    const char* what;
    Box changed;
    uint64_t w, h, r;
    Crop crop;
  };
  const Row rows[] = {
      {"inside", {50, 40, 1, 1}, 200, 100, 5, {40, 30, 21, 21, 5, 5, 11, 11}},
      {"kept part at the left edge", {3, 40, 2, 1}, 200, 100, 5, {0, 30, 15, 21, 0, 5, 10, 11}},
      {"crop only at the left edge", {7, 40, 1, 1}, 200, 100, 5, {0, 30, 18, 21, 2, 5, 11, 11}},
      {"bottom-right corner", {199, 99, 1, 1}, 200, 100, 5, {189, 89, 11, 11, 5, 5, 6, 6}},
      {"the whole tile", {0, 0, 200, 100}, 200, 100, 5, {0, 0, 200, 100, 0, 0, 200, 100}},
      {"radius 0", {50, 40, 3, 2}, 200, 100, 0, {50, 40, 3, 2, 0, 0, 3, 2}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Crop c = crop_for(r.changed, r.w, r.h, r.r);
    EXPECT_EQ(std::vector<uint64_t>({c.x, c.y, c.w, c.h, c.keep_x, c.keep_y, c.keep_w, c.keep_h}),
              std::vector<uint64_t>({r.crop.x, r.crop.y, r.crop.w, r.crop.h, r.crop.keep_x,
                                     r.crop.keep_y, r.crop.keep_w, r.crop.keep_h}));
  }
}

// A 2x model of radius 2 on a 20 x 10 tile: a small change runs a crop,
// whose exact part goes into the kept output; a large one, or a cache
// without a radius, runs the whole tile.
TEST(TileCache, RunsTheChangedPartOfALocalModelsTile) {
  const uint64_t w = 20, h = 10, s = 2;
  const Tile tile{100, 50, w, h, 1, 1};
  struct Row {
    const char* what;
    std::optional<uint64_t> radius;
    uint64_t changed_x, changed_w;  // in row 4 of the green plane
    std::optional<Crop> crop;
  };
  const Row rows[] = {
      {"one pixel", 2, 10, 1, Crop{6, 0, 9, 9, 2, 2, 5, 5}},
      {"a local model's whole width", 2, 0, 20, std::nullopt},
      {"no radius", std::nullopt, 10, 1, std::nullopt},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TileCache cache(r.radius, s);
    cache.recall(0, tile, plain_input(w, h));
    Buffer first(3 * s * w * s * h, 1.0f);
    cache.keep(0, first);
    Buffer changed = plain_input(w, h);
    for (uint64_t x = r.changed_x; x < r.changed_x + r.changed_w; ++x)
      changed[w * h + 4 * w + x] = 0.75f;
    const TileCache::Recalled got = cache.recall(0, tile, changed);
    EXPECT_EQ(got.output, nullptr);
    ASSERT_EQ(got.crops.size(), r.crop ? 1u : 0u);
    if (!r.crop) {
      Buffer whole(3 * s * w * s * h, 3.0f);
      EXPECT_EQ(*cache.keep(0, whole), Buffer(3 * s * w * s * h, 3.0f));
      EXPECT_EQ(cache.counts().pixels_run, 2 * w * h);
      continue;
    }
    const Crop& c = got.crops[0];
    EXPECT_EQ(std::vector<uint64_t>({c.x, c.y, c.w, c.h, c.keep_x, c.keep_y, c.keep_w, c.keep_h}),
              std::vector<uint64_t>({r.crop->x, r.crop->y, r.crop->w, r.crop->h, r.crop->keep_x,
                                     r.crop->keep_y, r.crop->keep_w, r.crop->keep_h}));
    // The crop's output: each value tells where it came from.
    const uint64_t cw = s * c.w, ch = s * c.h;
    Buffer part(3 * cw * ch);
    for (uint64_t k = 0; k < 3; ++k)
      for (uint64_t i = 0; i < ch; ++i)
        for (uint64_t j = 0; j < cw; ++j)
          part[k * cw * ch + i * cw + j] = static_cast<float>(1000 * k + 100 * i + j);
    const Buffer& merged = *cache.keep(0, part);
    const uint64_t ow = s * w, oh = s * h;
    for (uint64_t k = 0; k < 3; ++k)
      for (uint64_t y = 0; y < oh; ++y)
        for (uint64_t x = 0; x < ow; ++x) {
          const bool kept = x >= s * (c.x + c.keep_x) && x < s * (c.x + c.keep_x + c.keep_w) &&
                            y >= s * (c.y + c.keep_y) && y < s * (c.y + c.keep_y + c.keep_h);
          const float want =
              kept ? static_cast<float>(1000 * k + 100 * (y - s * c.y) + (x - s * c.x)) : 1.0f;
          ASSERT_EQ(merged[k * ow * oh + y * ow + x], want) << k << " " << x << " " << y;
        }
    // The merged output is this input's: the same input again is reused.
    EXPECT_EQ(cache.recall(0, tile, changed).output, &merged);
    EXPECT_EQ(cache.counts().cropped, 1u);
    EXPECT_EQ(cache.counts().crop_runs, 1u);
    EXPECT_EQ(cache.counts().pixels_run, w * h + c.w * c.h);
    EXPECT_EQ(report_line(cache.counts()),
              "reuse: 1 of 3 tiles (33.3%) unchanged and not run; 0 of 0 frames ran no model; 1 "
              "tiles run in part, 53.2% of the model's input pixels not run\n");
  }
}

}  // namespace
}  // namespace lmr::reuse
