// Tile grid, chunking, normalisation, the planar input builder and the
// feathered blend of the single-frame tiler.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tile.h"

namespace lmr::tile {
namespace {

std::vector<uint64_t> xs_of_row(const std::vector<Tile>& tiles, uint64_t row) {
  std::vector<uint64_t> xs;
  for (const Tile& t : tiles)
    if (t.row == row)
      xs.push_back(t.x);
  return xs;
}

TEST(TileGrid, BudgetGridOfFullHd) {
  TileGrid g = TileGrid::create(1920, 1080, 2, 262144, 16, 1);
  EXPECT_EQ(g.width, 1920u);
  EXPECT_EQ(g.height, 1080u);
  EXPECT_EQ(g.rows, 3u);
  EXPECT_EQ(g.tile_h, 371u);
  EXPECT_EQ(g.cols, 3u);
  EXPECT_EQ(g.tile_w, 651u);
  EXPECT_EQ(g.step_x, 634.5f);
  EXPECT_EQ(g.step_y, 354.5f);
  EXPECT_EQ(g.scale, 2u);

  std::vector<Tile> tiles = g.tiles();
  ASSERT_EQ(tiles.size(), 9u);
  EXPECT_EQ(xs_of_row(tiles, 0), (std::vector<uint64_t>{0, 634, 1269}));
  std::vector<uint64_t> ys;
  for (const Tile& t : tiles)
    if (t.col == 0)
      ys.push_back(t.y);
  EXPECT_EQ(ys, (std::vector<uint64_t>{0, 354, 709}));
  for (uint64_t i = 0; i < tiles.size(); ++i) {
    EXPECT_EQ(tiles[i].row * g.cols + tiles[i].col, i);
    EXPECT_EQ(tiles[i].w, 651u);
    EXPECT_EQ(tiles[i].h, 371u);
  }
  // The last tiles end at the frame edge.
  EXPECT_EQ(tiles.back().x + tiles.back().w, 1920u);
  EXPECT_EQ(tiles.back().y + tiles.back().h, 1080u);
}

TEST(TileGrid, ShortFrameKeepsOneRowAndSplitsColumnsOnTheRest) {
  // side 512; 512 * 1.3 > 600, so one row of full height, and the width
  // budget is 262144 / 600 = 436: cols = ceil(1904 / 420) = 5,
  // tile_w = floor(1984 / 5 + 0.5) = 397.
  TileGrid g = TileGrid::create(1920, 600, 4, 262144, 16, 1);
  EXPECT_EQ(g.rows, 1u);
  EXPECT_EQ(g.tile_h, 600u);
  EXPECT_EQ(g.step_y, 0.0f);
  EXPECT_EQ(g.cols, 5u);
  EXPECT_EQ(g.tile_w, 397u);
  EXPECT_EQ(g.step_x, 380.75f);
  EXPECT_EQ(g.scale, 4u);
}

TEST(TileGrid, FactorBoundaryIsStrict) {
  // side 100: 100 * 1.3 = 130 is not greater than a height of 130, so the
  // frame is split; at 129 it is not.
  EXPECT_EQ(TileGrid::create(50, 129, 2, 10000, 0, 1).rows, 1u);
  EXPECT_EQ(TileGrid::create(50, 130, 2, 10000, 0, 1).rows, 2u);
}

TEST(TileGrid, OverlapAtLeastSideGivesStrideOne) {
  // side 4, overlap 4: stride 1, rows = 96, tile_h = floor(480 / 96 + 0.5) = 5.
  TileGrid g = TileGrid::create(100, 100, 2, 16, 4, 1);
  EXPECT_EQ(g.rows, 96u);
  EXPECT_EQ(g.tile_h, 5u);
  EXPECT_EQ(g.cols, 96u);
  EXPECT_EQ(g.tile_w, 5u);
  EXPECT_EQ(g.tiles().size(), 96u * 96u);
}

TEST(TileGrid, MultipleRoundsUpAndTheTileIsClipped) {
  // One column and one row: sides rounded up to 8 beyond the frame.
  TileGrid g = TileGrid::create(1001, 100, 2, 1000000, 16, 8);
  EXPECT_EQ(g.cols, 1u);
  EXPECT_EQ(g.rows, 1u);
  EXPECT_EQ(g.tile_w, 1008u);
  EXPECT_EQ(g.tile_h, 104u);
  std::vector<Tile> tiles = g.tiles();
  ASSERT_EQ(tiles.size(), 1u);
  EXPECT_EQ(tiles[0].x, 0u);
  EXPECT_EQ(tiles[0].y, 0u);
  EXPECT_EQ(tiles[0].w, 1001u);
  EXPECT_EQ(tiles[0].h, 100u);
}

TEST(TileGrid, MultipleAppliesToSplitTiles) {
  // side 512 (already a multiple of 64); rows 3 with tile_h 371 -> 384;
  // width budget 262144 / 384 = 682 -> 704; cols = ceil(1904 / 688) = 3,
  // tile_w 651 -> 704; steps (1920 - 704) / 2 and (1080 - 384) / 2.
  TileGrid g = TileGrid::create(1920, 1080, 2, 262144, 16, 64);
  EXPECT_EQ(g.tile_h, 384u);
  EXPECT_EQ(g.tile_w, 704u);
  EXPECT_EQ(g.rows, 3u);
  EXPECT_EQ(g.cols, 3u);
  EXPECT_EQ(g.step_x, 608.0f);
  EXPECT_EQ(g.step_y, 348.0f);
  for (const Tile& t : g.tiles()) {
    EXPECT_LE(t.x + t.w, 1920u);
    EXPECT_LE(t.y + t.h, 1080u);
  }
}

TEST(TileGrid, ZeroBudgetAndEmptyFrameDoNotFail) {
  TileGrid g = TileGrid::create(64, 48, 2, 0, 16, 1);
  EXPECT_GE(g.cols, 1u);
  EXPECT_GE(g.rows, 1u);
  TileGrid empty = TileGrid::create(0, 0, 2, 262144, 16, 1);
  EXPECT_EQ(empty.cols, 1u);
  EXPECT_EQ(empty.rows, 1u);
  std::vector<Tile> tiles = empty.tiles();
  ASSERT_EQ(tiles.size(), 1u);
  EXPECT_EQ(tiles[0].w, 0u);
  EXPECT_EQ(tiles[0].h, 0u);
}

TEST(TileGrid, FromTileSizeGivesTheMultiInputGrid) {
  TileGrid g = TileGrid::from_tile_size(1920, 1080, 288, 288, 16, 2);
  EXPECT_EQ(g.cols, 7u);
  EXPECT_EQ(g.rows, 4u);
  EXPECT_EQ(g.tile_w, 288u);
  EXPECT_EQ(g.tile_h, 288u);
  EXPECT_EQ(g.step_x, 272.0f);
  EXPECT_EQ(g.step_y, 264.0f);
  std::vector<Tile> tiles = g.tiles();
  ASSERT_EQ(tiles.size(), 28u);
  EXPECT_EQ(xs_of_row(tiles, 3), (std::vector<uint64_t>{0, 272, 544, 816, 1088, 1360, 1632}));
  EXPECT_EQ(tiles.back().y, 792u);
  for (const Tile& t : tiles) {
    EXPECT_EQ(t.w, 288u);
    EXPECT_EQ(t.h, 288u);
  }
}

TEST(TileGrid, FromTileSizeClipsToSmallFrames) {
  TileGrid g = TileGrid::from_tile_size(200, 150, 288, 288, 16, 2);
  EXPECT_EQ(g.cols, 1u);
  EXPECT_EQ(g.rows, 1u);
  EXPECT_EQ(g.tile_w, 200u);
  EXPECT_EQ(g.tile_h, 150u);
  EXPECT_EQ(g.step_x, 0.0f);
  EXPECT_EQ(g.step_y, 0.0f);
  std::vector<Tile> tiles = g.tiles();
  ASSERT_EQ(tiles.size(), 1u);
  EXPECT_EQ(tiles[0].w, 200u);
  EXPECT_EQ(tiles[0].h, 150u);

  // Wider than the tile by one pixel: a second column, stepped by the
  // unclipped size.
  TileGrid two = TileGrid::from_tile_size(289, 100, 288, 288, 16, 2);
  EXPECT_EQ(two.cols, 2u);
  EXPECT_EQ(two.rows, 1u);
  EXPECT_EQ(two.step_x, 1.0f);
  EXPECT_EQ(two.tile_h, 100u);
  EXPECT_EQ(xs_of_row(two.tiles(), 0), (std::vector<uint64_t>{0, 1}));
}

TEST(TileGrid, FromTileSizeWithOverlapBeyondTile) {
  // stride max(8 - 16, 1) = 1: cols = (20 - 8 - 1 + 1) / 1 + 1 = 13.
  TileGrid g = TileGrid::from_tile_size(20, 8, 8, 8, 16, 1);
  EXPECT_EQ(g.cols, 13u);
  EXPECT_EQ(g.rows, 1u);
  EXPECT_EQ(g.step_x, 1.0f);
}

TEST(TileGrid, WholeFrameIsOneTile) {
  TileGrid g = TileGrid::whole(640, 360, 3);
  EXPECT_EQ(g.cols, 1u);
  EXPECT_EQ(g.rows, 1u);
  EXPECT_EQ(g.tile_w, 640u);
  EXPECT_EQ(g.tile_h, 360u);
  EXPECT_EQ(g.scale, 3u);
  EXPECT_EQ(g.step_x, 0.0f);
  std::vector<Tile> tiles = g.tiles();
  ASSERT_EQ(tiles.size(), 1u);
  EXPECT_EQ(tiles[0].x, 0u);
  EXPECT_EQ(tiles[0].w, 640u);
  EXPECT_EQ(tiles[0].h, 360u);
}

TEST(TileGrid, OriginsUseSinglePrecisionInTheStatedOrder) {
  // Span 108 over 12 steps: 7/12 rounds down in single precision, so tile 7
  // starts at 62 where exact arithmetic (108 * 7 / 12 = 63) would say 63.
  TileGrid g;
  g.width = 128;
  g.tile_w = 20;
  g.height = 10;
  g.tile_h = 10;
  g.cols = 13;
  std::vector<uint64_t> xs = xs_of_row(g.tiles(), 0);
  ASSERT_EQ(xs.size(), 13u);
  EXPECT_EQ(xs[6], 54u);
  EXPECT_EQ(xs[7], 62u);
  EXPECT_EQ(xs[12], 108u);
}

TEST(ChunkLen, Bounds) {
  EXPECT_EQ(chunk_len(0), 65536u);
  EXPECT_EQ(chunk_len(1), 65536u);
  EXPECT_EQ(chunk_len(65536), 65536u);
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  uint64_t p = cpus > 0 ? static_cast<uint64_t>(cpus) : 4;
  uint64_t n = 8294400;
  uint64_t expected = std::max<uint64_t>((n + p - 1) / p, 65536);
  EXPECT_EQ(chunk_len(n), expected);
  EXPECT_GE(chunk_len(n) * p, n);
  EXPECT_EQ(chunk_len(std::numeric_limits<uint32_t>::max()),
            (uint64_t{std::numeric_limits<uint32_t>::max()} + p - 1) / p);
}

TEST(Normalize, DividesByPositiveWeightsOnly) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> sums = {0.5f, 0.25f, 0.0f, 0.3f, 0.6f, 0.9f,
                             0.1f, 0.2f,  0.3f, 7.0f, 8.0f, 9.0f};
  std::vector<float> weights = {0.25f, 0.0f, -2.0f, nan};
  std::vector<float> out = normalize(sums, weights);
  EXPECT_EQ(out, (std::vector<float>{2.0f, 1.0f, 0.0f, 0.3f, 0.6f, 0.9f, 0.1f, 0.2f, 0.3f, 7.0f,
                                     8.0f, 9.0f}));
  EXPECT_TRUE(normalize({}, {}).empty());
}

TEST(Normalize, ManyChunksMatchThePlainLoop) {
  // More pixels than one chunk on any machine, with an odd remainder.
  const uint64_t pixels = 3 * chunk_len(0) + 12345;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-0.5f, 3.0f);
  std::vector<float> sums(3 * pixels), weights(pixels);
  for (float& v : sums)
    v = dist(rng);
  for (float& w : weights)
    w = dist(rng);
  std::vector<float> out = normalize(sums, weights);
  ASSERT_EQ(out.size(), sums.size());
  for (uint64_t p = 0; p < pixels; ++p) {
    float w = weights[p] > 0.0f ? weights[p] : 1.0f;
    for (int k = 0; k < 3; ++k)
      ASSERT_EQ(out[3 * p + k], sums[3 * p + k] / w) << "pixel " << p;
  }
  std::vector<float> in_place = sums;
  normalize_in_place(in_place, weights);
  EXPECT_EQ(in_place, out);
}

// A frame whose values name their pixel and channel.
std::vector<float> labelled_frame(uint64_t w, uint64_t h) {
  std::vector<float> f(w * h * 3);
  for (uint64_t y = 0; y < h; ++y)
    for (uint64_t x = 0; x < w; ++x)
      for (uint64_t k = 0; k < 3; ++k)
        f[(y * w + x) * 3 + k] = static_cast<float>(y * 100 + x * 10 + k);
  return f;
}

TEST(PlanarInput, DeinterleavesTheTile) {
  const uint64_t W = 5, H = 4;
  std::vector<float> frame = labelled_frame(W, H);
  Tile t{2, 1, 3, 2, 1, 1};
  Buffer in = build_planar_input(frame, W, H, t);
  ASSERT_EQ(in.size(), 3u * 3u * 2u);
  for (uint64_t k = 0; k < 3; ++k)
    for (uint64_t i = 0; i < 2; ++i)
      for (uint64_t j = 0; j < 3; ++j)
        EXPECT_EQ(in[k * 6 + i * 3 + j], static_cast<float>((1 + i) * 100 + (2 + j) * 10 + k));
}

TEST(PlanarInput, RepeatsTheBorderBeyondTheFrame) {
  const uint64_t W = 5, H = 4;
  std::vector<float> frame = labelled_frame(W, H);
  Tile t{3, 2, 4, 3, 0, 0};
  Buffer in = build_planar_input(frame, W, H, t);
  ASSERT_EQ(in.size(), 3u * 4u * 3u);
  for (uint64_t k = 0; k < 3; ++k)
    for (uint64_t i = 0; i < 3; ++i)
      for (uint64_t j = 0; j < 4; ++j) {
        uint64_t x = std::min<uint64_t>(3 + j, W - 1), y = std::min<uint64_t>(2 + i, H - 1);
        EXPECT_EQ(in[k * 12 + i * 4 + j], frame[(y * W + x) * 3 + k]);
      }
}

// Nearest 2x of a planar tile, as the test models compute it.
Buffer nearest2x(const Buffer& in, uint64_t w, uint64_t h) {
  Buffer out(3 * 4 * w * h);
  for (uint64_t k = 0; k < 3; ++k)
    for (uint64_t i = 0; i < 2 * h; ++i)
      for (uint64_t j = 0; j < 2 * w; ++j)
        out[k * 4 * w * h + i * 2 * w + j] = in[k * w * h + (i / 2) * w + j / 2];
  return out;
}

std::vector<float> nearest2x_frame(const std::vector<float>& f, uint64_t w, uint64_t h) {
  std::vector<float> out(f.size() * 4);
  for (uint64_t y = 0; y < 2 * h; ++y)
    for (uint64_t x = 0; x < 2 * w; ++x)
      for (uint64_t k = 0; k < 3; ++k)
        out[(y * 2 * w + x) * 3 + k] = f[((y / 2) * w + x / 2) * 3 + k];
  return out;
}

InferOp nearest_op() {
  return [](const Tile& t, const Buffer& in) -> Result<Buffer> { return nearest2x(in, t.w, t.h); };
}

TEST(ProcessTiled, OneTileGridReturnsTheModelOutput) {
  const uint64_t W = 37, H = 21;
  std::vector<float> frame = labelled_frame(W, H);
  for (float& v : frame)
    v /= 4000.0f;
  std::vector<InferOp> ops;
  ops.push_back(nearest_op());
  Result<Buffer> out = process_tiled_on(frame, W, H, TileGrid::whole(W, H, 2), std::move(ops));
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(*out, nearest2x_frame(frame, W, H));
}

TEST(ProcessTiled, WholeFrameTileGivesTheBitsOfTheBlend) {
  // The one-tile shortcut must match accumulate + normalize bit for bit,
  // negative zero, NaN and out-of-range values included.
  const uint64_t W = 5, H = 3, s = 2, P = s * W * s * H;
  Buffer model_out(3 * P);
  for (uint64_t i = 0; i < model_out.size(); ++i)
    model_out[i] = static_cast<float>(i) * 0.37f - 7.0f;
  model_out[1] = -0.0f;
  model_out[4] = std::numeric_limits<float>::quiet_NaN();
  model_out[9] = 1e30f;
  TileGrid g = TileGrid::whole(W, H, s);
  Buffer acc(3 * P, 0.0f), weights(P, 0.0f);
  accumulate_feathered(acc, weights, W, H, g, g.tiles()[0], model_out);
  normalize_in_place(acc, weights);

  std::vector<InferOp> ops;
  ops.push_back([&](const Tile&, const Buffer&) -> Result<Buffer> { return model_out; });
  Result<Buffer> out = process_tiled_on(Buffer(W * H * 3, 0.5f), W, H, g, std::move(ops));
  ASSERT_TRUE(out) << out.error().message();
  ASSERT_EQ(out->size(), acc.size());
  EXPECT_EQ(std::memcmp(out->data(), acc.data(), acc.size() * sizeof(float)), 0);
}

TEST(ProcessTiled, OverlapBlendsLinearlyFromLeftToRight) {
  // Two columns of 976 over 1920 at 2x: step 944, ramp 1888, and the 64
  // output columns from 1888 on hold both tiles.
  const uint64_t W = 1920, H = 2;
  TileGrid g = TileGrid::from_tile_size(W, H, 976, H, 32, 2);
  ASSERT_EQ(g.cols, 2u);
  ASSERT_EQ(g.step_x, 944.0f);
  std::vector<float> frame(W * H * 3, 0.5f);
  std::vector<InferOp> ops;
  ops.push_back([](const Tile& t, const Buffer&) -> Result<Buffer> {
    return Buffer(3 * 4 * t.w * t.h, t.col == 0 ? 0.0f : 1.0f);
  });
  Result<Buffer> out = process_tiled_on(frame, W, H, g, std::move(ops));
  ASSERT_TRUE(out) << out.error().message();
  const uint64_t OW = 2 * W;
  for (uint64_t y = 0; y < 2 * H; ++y) {
    for (uint64_t x = 0; x < OW; ++x) {
      float expected = x < 1888    ? 0.0f
                       : x >= 1952 ? 1.0f
                                   : (static_cast<float>(x - 1888) + 0.5f) / 64;
      for (uint64_t k = 0; k < 3; ++k)
        ASSERT_NEAR((*out)[(y * OW + x) * 3 + k], expected, 1e-5) << x << "," << y;
    }
  }
}

TEST(ProcessTiled, WeightsAreRampsTowardsInnerNeighboursOnly) {
  // 2 x 2 tiles, each returning 1 everywhere, blended one at a time: the
  // weight of every output pixel follows the ramps, and sides on the frame
  // border keep full weight.
  const uint64_t W = 40, H = 30;
  TileGrid g = TileGrid::from_tile_size(W, H, 24, 20, 8, 2);
  ASSERT_EQ(g.cols, 2u);
  ASSERT_EQ(g.rows, 2u);
  const uint64_t OW = 2 * W, OH = 2 * H;
  const uint64_t ramp_x = 32, ramp_y = 20;  // trunc(16 * 2), trunc(10 * 2)
  ASSERT_EQ(g.step_x, 16.0f);
  ASSERT_EQ(g.step_y, 10.0f);
  auto ramp = [](uint64_t i, uint64_t n, uint64_t r, bool start, bool end) {
    float w = 1.0f;
    if (start && i < r)
      w = std::min((static_cast<float>(i) + 0.5f) / static_cast<float>(r), 1.0f);
    if (end && n - i <= r)
      w = std::min(w, (static_cast<float>(n - i) - 0.5f) / static_cast<float>(r));
    return w;
  };
  for (const Tile& t : g.tiles()) {
    std::vector<float> acc(OW * OH * 3), wts(OW * OH);
    Buffer out(3 * 4 * t.w * t.h, 1.0f);
    accumulate_feathered(acc, wts, W, H, g, t, out);
    const uint64_t Wv = 2 * t.w, Hv = 2 * t.h;
    for (uint64_t i = 0; i < OH; ++i) {
      for (uint64_t j = 0; j < OW; ++j) {
        float expected = 0.0f;
        const uint64_t ti = i - 2 * t.y, tj = j - 2 * t.x;
        if (i >= 2 * t.y && ti < Hv && j >= 2 * t.x && tj < Wv) {
          expected = ramp(ti, Hv, ramp_y, t.row != 0, t.row + 1 < g.rows) *
                     ramp(tj, Wv, ramp_x, t.col != 0, t.col + 1 < g.cols);
        }
        ASSERT_EQ(wts[i * OW + j], expected)
            << "tile " << t.col << "," << t.row << " at " << j << "," << i;
        ASSERT_EQ(acc[(i * OW + j) * 3 + 1], expected);
      }
    }
  }
  // Outer corners keep full weight; the smallest weight is 0.5 / ramp.
  std::vector<Tile> tiles = g.tiles();
  std::vector<float> acc(OW * OH * 3), wts(OW * OH);
  Buffer out(3 * 4 * tiles[3].w * tiles[3].h, 1.0f);
  accumulate_feathered(acc, wts, W, H, g, tiles[3], out);
  EXPECT_EQ(wts[OH * OW - 1], 1.0f);
  EXPECT_EQ(wts[2 * tiles[3].y * OW + 2 * tiles[3].x], (0.5f / 20.0f) * (0.5f / 32.0f));
}

TEST(ProcessTiled, ResultDoesNotDependOnWhichWorkerFinishesFirst) {
  const uint64_t W = 300, H = 200;
  std::vector<float> frame(W * H * 3);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> dist(0.0f, 1.0f);
  for (float& v : frame)
    v = dist(rng);
  TileGrid g = TileGrid::create(W, H, 2, 64 * 64, 12, 1);
  ASSERT_GT(g.cols * g.rows, 8u);
  auto jittery = [](unsigned seed) {
    return [seed](const Tile& t, const Buffer& in) -> Result<Buffer> {
      usleep(static_cast<useconds_t>((t.x * 7 + t.y * 13 + seed * 977) % 3000));
      return nearest2x(in, t.w, t.h);
    };
  };
  std::vector<InferOp> one;
  one.push_back(jittery(0));
  Result<Buffer> a = process_tiled_on(frame, W, H, g, std::move(one));
  std::vector<InferOp> three;
  for (unsigned s = 1; s <= 3; ++s)
    three.push_back(jittery(s));
  Result<Buffer> b = process_tiled_on(frame, W, H, g, std::move(three));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  // With an exact 2x model the blend reproduces the untiled result.
  std::vector<float> whole = nearest2x_frame(frame, W, H);
  for (uint64_t i = 0; i < whole.size(); ++i)
    ASSERT_NEAR((*a)[i], whole[i], 1e-6f) << i;
}

TEST(ProcessTiled, WrongOutputSizeFailsTheFrame) {
  const uint64_t W = 64, H = 48;
  std::vector<float> frame(W * H * 3, 0.25f);
  std::vector<InferOp> ops;
  ops.push_back([](const Tile&, const Buffer& in) -> Result<Buffer> { return in; });
  Result<Buffer> out = process_tiled_on(frame, W, H, TileGrid::whole(W, H, 2), std::move(ops));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(),
            "model output for a 64x48 tile has 9216 values, expected 36864 (3 x 96 x 128 for a "
            "2x model)");
}

TEST(ProcessTiled, FrameOfTheWrongSizeIsRejected) {
  std::vector<float> frame(10, 0.0f);
  std::vector<InferOp> ops;
  ops.push_back(nearest_op());
  Result<Buffer> out = process_tiled_on(frame, 4, 4, TileGrid::whole(4, 4, 2), std::move(ops));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(), "frame has 10 values, expected 48 for 4x4 pixels");
}

TEST(ProcessTiled, ErrorsPassThroughUnchanged) {
  const uint64_t W = 64, H = 48;
  std::vector<float> frame(W * H * 3, 0.25f);
  std::vector<InferOp> ops;
  ops.push_back([](const Tile&, const Buffer&) -> Result<Buffer> { return fail("model broke"); });
  Result<Buffer> out = process_tiled_on(frame, W, H, TileGrid::whole(W, H, 2), std::move(ops));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(), "model broke");
}

}  // namespace
}  // namespace lmr::tile
