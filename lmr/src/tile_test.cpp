// Tile grids, chunking, normalisation, the planar input and the feathered
// blend; the single-frame tiler's own errors; and tiled against untiled
// through real sessions.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "inference.h"
#include "testing.h"
#include "text.h"
#include "tile.h"

namespace lmr::tile {
namespace {

// Columns x rows of the nominal tile size, the steps, and the origins of the
// first row and the first column.
std::string describe(const TileGrid& g) {
  std::string xs, ys;
  for (const Tile& t : g.tiles()) {
    xs += t.row == 0 ? " " + std::to_string(t.x) : "";
    ys += t.col == 0 ? " " + std::to_string(t.y) : "";
  }
  return text::format(
      "%llux%llu of %llux%llu, steps %g %g, x%s, y%s", static_cast<unsigned long long>(g.cols),
      static_cast<unsigned long long>(g.rows), static_cast<unsigned long long>(g.tile_w),
      static_cast<unsigned long long>(g.tile_h), static_cast<double>(g.step_x),
      static_cast<double>(g.step_y), xs.c_str(), ys.c_str());
}

TEST(TileGrid, Table) {
  const std::pair<TileGrid, const char*> rows[] = {
      {TileGrid::create(1920, 1080, 2, 262144, 16, 1),
       "3x3 of 651x371, steps 634.5 354.5, x 0 634 1269, y 0 354 709"},
      // 512 * 1.3 > 600: one row of full height, the width budget 262144 / 600.
      {TileGrid::create(1920, 600, 4, 262144, 16, 1),
       "5x1 of 397x600, steps 380.75 0, x 0 380 761 1142 1523, y 0"},
      // side 100: 130 splits (the factor is strictly greater), 129 does not.
      {TileGrid::create(50, 129, 2, 10000, 0, 1), "1x1 of 50x129, steps 0 0, x 0, y 0"},
      {TileGrid::create(50, 130, 2, 10000, 0, 1), "1x2 of 50x65, steps 0 65, x 0, y 0 65"},
      // Overlap at least the side: stride 1.
      {TileGrid::create(10, 10, 2, 16, 4, 1),
       "6x6 of 5x5, steps 1 1, x 0 1 2 3 4 5, y 0 1 2 3 4 5"},
      // No budget at all: still a grid that covers the frame.
      {TileGrid::create(8, 6, 2, 0, 2, 1), "6x4 of 3x3, steps 1 1, x 0 1 2 3 4 5, y 0 1 2 3"},
      // Sides rounded up to 8 beyond the frame; the one tile is clipped to it.
      {TileGrid::create(1001, 100, 2, 1000000, 16, 8), "1x1 of 1008x104, steps 0 0, x 0, y 0"},
      {TileGrid::create(1920, 1080, 2, 262144, 16, 64),
       "3x3 of 704x384, steps 608 348, x 0 608 1216, y 0 348 696"},
      {TileGrid::create(0, 0, 2, 262144, 16, 1), "1x1 of 0x0, steps 0 0, x 0, y 0"},
      {TileGrid::from_tile_size(1920, 1080, 288, 288, 16, 2),
       "7x4 of 288x288, steps 272 264, x 0 272 544 816 1088 1360 1632, y 0 264 528 792"},
      {TileGrid::from_tile_size(200, 150, 288, 288, 16, 2), "1x1 of 200x150, steps 0 0, x 0, y 0"},
      {TileGrid::from_tile_size(289, 100, 288, 288, 16, 2),
       "2x1 of 288x100, steps 1 0, x 0 1, y 0"},
      {TileGrid::from_tile_size(20, 8, 8, 8, 16, 1),
       "13x1 of 8x8, steps 1 0, x 0 1 2 3 4 5 6 7 8 9 10 11 12, y 0"},
      // 108 * (7/12) in single precision is just under 63.
      {TileGrid::from_tile_size(128, 10, 20, 10, 11, 1),
       "13x1 of 20x10, steps 9 0, x 0 9 18 27 36 45 54 62 72 81 90 99 108, y 0"},
      {TileGrid::whole(640, 360, 3), "1x1 of 640x360, steps 0 0, x 0, y 0"},
  };
  for (const auto& [g, expected] : rows) {
    EXPECT_EQ(describe(g), expected);
    SCOPED_TRACE(expected);
    const std::vector<Tile> tiles = g.tiles();
    ASSERT_EQ(tiles.size(), g.cols * g.rows);
    for (uint64_t i = 0; i < tiles.size(); ++i) {
      const Tile& t = tiles[i];
      ASSERT_TRUE(t.row * g.cols + t.col == i && t.x == tiles[t.col].x &&
                  t.y == tiles[t.row * g.cols].y)
          << i;
      // Inside the frame, full size unless clipped there; the last ends at the edge.
      ASSERT_TRUE(t.x + t.w <= g.width && (t.w == g.tile_w || t.x + t.w == g.width)) << i;
      ASSERT_TRUE(t.y + t.h <= g.height && (t.h == g.tile_h || t.y + t.h == g.height)) << i;
    }
    EXPECT_EQ(tiles.back().x + tiles.back().w, g.width);
    EXPECT_EQ(tiles.back().y + tiles.back().h, g.height);
  }
}

TEST(CheckGrid, RefusesWhatMakesNoSenseOnlyWhereTheGridHasIt) {
  const std::string overlap = "overlap 16 is too large for tiles of ";
  const std::string half = ": tiles may overlap by less than half their side (at most ";
  const std::string small = " are too small: a tile side must be at least 16 pixels";
  const std::tuple<TileGrid, uint64_t, std::string> rows[] = {
      {TileGrid::whole(640, 360, 3), 16, ""},
      {TileGrid::from_tile_size(1920, 1080, 288, 288, 16, 2), 16, ""},
      // Two tiles a pixel apart, as an odd frame rounded down to even tiles gets.
      {TileGrid::from_tile_size(33, 21, 32, 20, 16, 2), 16, ""},
      {TileGrid::from_tile_size(289, 100, 288, 288, 16, 2), 200, ""},
      // A frame narrower than its tile is one column whatever the overlap.
      {TileGrid::from_tile_size(3, 200, 64, 64, 31, 2), 31, ""},
      {TileGrid::from_tile_size(320, 240, 64, 64, 31, 2), 31, ""},
      {TileGrid::from_tile_size(320, 240, 64, 64, 32, 2), 32,
       "overlap 32 is too large for tiles of 64x64 (63 tiles, 9 cols × 7 rows, for a 320x240 "
       "frame)" +
           half + "31)"},
      {TileGrid::from_tile_size(320, 240, 64, 64, 64, 2), 64,
       "overlap 64 is too large for tiles of 64x64 (45489 tiles, 257 cols × 177 rows, for a "
       "320x240 frame)" +
           half + "31)"},
      // One row: only the columns' side counts.
      {TileGrid::from_tile_size(320, 100, 64, 200, 31, 2), 31, ""},
      {TileGrid::from_tile_size(320, 100, 64, 200, 40, 2), 40,
       "overlap 40 is too large for tiles of 64x100 (12 tiles, 12 cols × 1 rows, for a 320x100 "
       "frame)" +
           half + "31)"},
      {TileGrid::from_tile_size(100, 320, 200, 33, 16, 2), 16, ""},
      {TileGrid::from_tile_size(100, 320, 200, 32, 16, 2), 16,
       overlap + "100x32 (19 tiles, 1 cols × 19 rows, for a 100x320 frame)" + half + "15)"},
      {TileGrid::from_tile_size(320, 240, 2, 2, 16, 2), 16,
       "tiles of 2x2 (76241 tiles, 319 cols × 239 rows, for a 320x240 frame)" + small},
      {TileGrid::from_tile_size(20, 8, 8, 8, 0, 1), 0,
       "tiles of 8x8 (3 tiles, 3 cols × 1 rows, for a 20x8 frame)" + small},
      {TileGrid::from_tile_size(16, 8, 8, 8, 0, 1), 0, ""},
      {TileGrid::from_tile_size(320, 240, 0, 0, 16, 2), 16, "tiles of 0x0 have no pixels"},
      {TileGrid::from_tile_size(1, 1, 0, 0, 16, 2), 16, "tiles of 0x0 have no pixels"},
      {TileGrid::create(10, 10, 2, 16, 4, 1), 4,
       "tiles of 5x5 (36 tiles, 6 cols × 6 rows, for a 10x10 frame)" + small},
      {TileGrid::create(1920, 1080, 2, 262144, 16, 1), 16, ""},
      {TileGrid::create(160, 120, 2, 1024, 16, 1), 16,
       overlap + "32x31 (63 tiles, 9 cols × 7 rows, for a 160x120 frame)" + half + "15)"},
  };
  for (const auto& [grid, overlap_px, want] : rows) {
    SCOPED_TRACE(describe(grid));
    const Status st = check_grid(grid, overlap_px);
    EXPECT_EQ(st ? "" : st.error().message(), want);
  }
}

TEST(ChunkLen, AtLeast65536AndOneChunkPerProcessor) {
  EXPECT_EQ(chunk_len(0), 65536u);
  EXPECT_EQ(chunk_len(1), 65536u);
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  const uint64_t p = cpus > 0 ? static_cast<uint64_t>(cpus) : 4;
  EXPECT_EQ(chunk_len(8294400), std::max<uint64_t>((8294400 + p - 1) / p, 65536));
}

TEST(Normalize, MatchesThePlainLoopAcrossChunks) {
  // Weights of 0, below 0 and NaN count as 1; more pixels than one chunk.
  const uint64_t pixels = 3 * chunk_len(0) + 12345;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-0.5f, 3.0f);
  std::vector<float> sums(3 * pixels), weights(pixels);
  std::generate(sums.begin(), sums.end(), [&] { return dist(rng); });
  std::generate(weights.begin(), weights.end(), [&] { return dist(rng); });
  std::copy_n(std::begin({0.25f, 0.0f, -2.0f, std::numeric_limits<float>::quiet_NaN()}), 4,
              weights.begin());
  const std::vector<float> out = normalize(sums, weights);
  ASSERT_EQ(out.size(), sums.size());
  for (uint64_t p = 0; p < pixels; ++p)
    for (int k = 0; k < 3; ++k)
      ASSERT_EQ(out[3 * p + k], sums[3 * p + k] / (weights[p] > 0 ? weights[p] : 1.0f)) << p;
  normalize_in_place(sums, weights);
  EXPECT_EQ(sums, out);
  EXPECT_TRUE(normalize({}, {}).empty());
}

TEST(PlanarInput, DeinterleavesAndRepeatsTheBorder) {
  const uint64_t W = 5, H = 4;
  std::vector<float> frame(W * H * 3);
  for (uint64_t i = 0; i < frame.size(); ++i)
    frame[i] = static_cast<float>(i);
  for (const Tile& t : {Tile{2, 1, 3, 2, 1, 1}, Tile{3, 2, 4, 3, 0, 0}}) {
    const Buffer in = build_planar_input(frame, W, H, t);
    ASSERT_EQ(in.size(), 3 * t.w * t.h);
    for (uint64_t k = 0; k < 3; ++k)
      for (uint64_t i = 0; i < t.h; ++i)
        for (uint64_t j = 0; j < t.w; ++j) {
          const uint64_t x = std::min(t.x + j, W - 1), y = std::min(t.y + i, H - 1);
          ASSERT_EQ(in[(k * t.h + i) * t.w + j], frame[(y * W + x) * 3 + k]) << k << i << j;
        }
  }
}

// Weight of line i of n along one axis: rising over the ramp after an inner
// neighbour before it, falling over the ramp before one after it.
float ramp(uint64_t i, uint64_t n, uint64_t r, bool before, bool after) {
  float w = 1.0f;
  if (before && i < r)
    w = std::min((static_cast<float>(i) + 0.5f) / static_cast<float>(r), 1.0f);
  if (after && n - i <= r)
    w = std::min(w, (static_cast<float>(n - i) - 0.5f) / static_cast<float>(r));
  return w;
}

TEST(Feather, WeightsRampTowardsInnerNeighboursOnly) {
  // 2 x 2 tiles at 2x, steps 16 and 10: ramps of 32 and 20 output lines.
  const uint64_t W = 40, H = 30, OW = 2 * W, OH = 2 * H;
  const TileGrid g = TileGrid::from_tile_size(W, H, 24, 20, 8, 2);
  for (const Tile& t : g.tiles()) {
    std::vector<float> acc(OW * OH * 3), wts(OW * OH);
    accumulate_feathered(acc, wts, W, H, g, t, Buffer(3 * 4 * t.w * t.h, 1.0f));
    for (uint64_t i = 0; i < OH; ++i)
      for (uint64_t j = 0; j < OW; ++j) {
        const uint64_t ti = i - 2 * t.y, tj = j - 2 * t.x;
        const bool inside = i >= 2 * t.y && ti < 2 * t.h && j >= 2 * t.x && tj < 2 * t.w;
        const float expected = inside ? ramp(ti, 2 * t.h, 20, t.row != 0, t.row + 1 < g.rows) *
                                            ramp(tj, 2 * t.w, 32, t.col != 0, t.col + 1 < g.cols)
                                      : 0.0f;
        ASSERT_EQ(wts[i * OW + j], expected) << t.col << "," << t.row << " at " << j << "," << i;
        ASSERT_EQ(acc[(i * OW + j) * 3 + 1], expected);
      }
  }
}

TEST(ProcessTiled, WholeFrameShortcutGivesTheBitsOfTheBlend) {
  // Negative zero, NaN and out-of-range values included.
  const uint64_t W = 5, H = 3, P = 4 * W * H;
  Buffer model_out(3 * P);
  for (uint64_t i = 0; i < model_out.size(); ++i)
    model_out[i] = static_cast<float>(i) * 0.37f - 7.0f;
  model_out[1] = -0.0f;
  model_out[4] = std::numeric_limits<float>::quiet_NaN();
  model_out[9] = 1e30f;
  const TileGrid g = TileGrid::whole(W, H, 2);
  Buffer acc(3 * P, 0.0f), weights(P, 0.0f);
  accumulate_feathered(acc, weights, W, H, g, g.tiles()[0], model_out);
  normalize_in_place(acc, weights);
  std::vector<InferOp> ops{[&](const Tile&, const Buffer&) -> Result<Buffer> { return model_out; }};
  Result<Buffer> out = process_tiled_on(Buffer(W * H * 3, 0.5f), W, H, g, std::move(ops));
  ASSERT_TRUE(out) << out.error().message();
  ASSERT_EQ(out->size(), acc.size());
  EXPECT_EQ(std::memcmp(out->data(), acc.data(), acc.size() * sizeof(float)), 0);
}

TEST(ProcessTiled, Errors) {
  struct Row {
    uint64_t frame_values;  // for a 64 x 48 frame at 2x
    Result<Buffer> model_out;
    std::string message;
  };
  const Row rows[] = {
      {64 * 48 * 3, Buffer(9216),
       "model output for a 64x48 tile has 9216 values, expected 36864 "
       "(3 x 96 x 128 for a 2x model)"},
      {64 * 48 * 3, Buffer(36865),
       "model output for a 64x48 tile has 36865 values, expected "
       "36864 (3 x 96 x 128 for a 2x model)"},
      {64 * 48 * 3, fail("model broke"), "model broke"},
      {10, Buffer(36864), "frame has 10 values, expected 9216 for 64x48 pixels"},
  };
  for (const Row& r : rows) {
    std::vector<InferOp> ops{[&](const Tile&, const Buffer&) { return r.model_out; }};
    Result<Buffer> out = process_tiled_on(Buffer(r.frame_values), 64, 48,
                                          TileGrid::whole(64, 48, 2), std::move(ops));
    ASSERT_FALSE(out) << r.message;
    EXPECT_EQ(out.error().message(), r.message);
  }
}

// Tiled against untiled on real sessions over a full HD frame of smooth
// gradients with some noise: the exact nearest model must come out the same,
// the model with a receptive field with seams well under one 8-bit step.
TEST(Seams, TiledAgainstUntiledThroughRealSessions) {
  const uint64_t W = 1920, H = 1080;
  std::vector<float> frame(W * H * 3);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  for (uint64_t p = 0; p < W * H * 3; ++p) {
    const float x = static_cast<float>(p / 3 % W), y = static_cast<float>(p / 3 / W);
    const float v =
        0.5f + 0.4f * std::sin(x * static_cast<float>(p % 3 + 1) / 97.0f) * std::cos(y / 61.0f);
    frame[p] = std::clamp(v + noise(rng), 0.0f, 1.0f);
  }
  inference::init_ort_dylib();
  const std::tuple<const char*, TileGrid, float, float> rows[] = {
      // model, grid, least and most difference from the untiled run
      {"nn2x.onnx", TileGrid::from_tile_size(W, H, 288, 288, 16, 2), 0.0f, 5e-7f},
      {"conv2x.onnx", TileGrid::create(W, H, 2, 262144, 16, 1), 1e-7f, 1.0f / 255.0f},
  };
  for (const auto& [model, grid, least, most] : rows) {
    std::vector<inference::OnnxBackend> sessions;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i) {
      auto b = inference::OnnxBackend::load(testing::model(model).string(), inference::Ep::cpu, {});
      ASSERT_TRUE(b) << b.error().message();
      sessions.push_back(std::move(*b));
    }
    ::testing::internal::GetCapturedStderr();
    const Result<Buffer> whole =
        sessions[0].infer_tile(build_planar_input(frame, W, H, {0, 0, W, H}), W, H);
    // One worker, then two: the same bits whichever finishes first.
    std::vector<Result<Buffer>> tiled;
    for (size_t workers : {1, 2}) {
      std::vector<InferOp> ops;
      for (size_t i = 0; i < workers; ++i)
        ops.push_back([&b = sessions[i]](const Tile& t, const Buffer& in) {
          return b.infer_tile(in, t.w, t.h);
        });
      tiled.push_back(process_tiled_on(frame, W, H, grid, std::move(ops)));
    }
    ASSERT_TRUE(whole && tiled[0] && tiled[1] && tiled[0]->size() == whole->size()) << model;
    EXPECT_EQ(*tiled[0], *tiled[1]) << model;
    float diff = 0.0f;
    const uint64_t plane = 4 * W * H;
    for (uint64_t p = 0; p < whole->size(); ++p)
      diff = std::max(diff, std::fabs((*tiled[0])[p] - (*whole)[p % 3 * plane + p / 3]));
    std::printf("%s, %llu x %llu tiles: largest tiled/untiled difference %.3g\n", model,
                static_cast<unsigned long long>(grid.cols),
                static_cast<unsigned long long>(grid.rows), static_cast<double>(diff));
    EXPECT_GE(diff, least) << model;
    EXPECT_LE(diff, most) << model;
  }
}

}  // namespace
}  // namespace lmr::tile
