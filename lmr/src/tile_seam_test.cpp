// Tiled against untiled on real sessions: a full HD frame through the exact
// nearest-neighbour model must come out the same, and through the model with
// a receptive field the seams must stay faint.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "inference.h"
#include "testing.h"
#include "tile.h"

namespace lmr::tile {
namespace {

using inference::OnnxBackend;

constexpr uint64_t kW = 1920, kH = 1080;

// Smooth gradients with some noise: enough structure for a convolution to
// see, values in 0..1.
std::vector<float> test_frame() {
  std::vector<float> f(kW * kH * 3);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  for (uint64_t y = 0; y < kH; ++y)
    for (uint64_t x = 0; x < kW; ++x)
      for (uint64_t k = 0; k < 3; ++k) {
        float v = 0.5f + 0.4f * std::sin(static_cast<float>(x * (k + 1)) / 97.0f) *
                             std::cos(static_cast<float>(y) / 61.0f);
        f[(y * kW + x) * 3 + k] = std::clamp(v + noise(rng), 0.0f, 1.0f);
      }
  return f;
}

OnnxBackend load(const std::string& name) {
  inference::init_ort_dylib();
  ::testing::internal::CaptureStderr();
  Result<OnnxBackend> b = OnnxBackend::load(testing::model(name).string(), inference::Ep::cpu, {});
  ::testing::internal::GetCapturedStderr();
  if (!b)
    throw std::runtime_error(b.error().message());
  return std::move(*b);
}

// The whole frame as one model run, turned back into interleaved RGB.
std::vector<float> untiled(OnnxBackend& b, const std::vector<float>& frame) {
  Buffer in = build_planar_input(frame, kW, kH, Tile{0, 0, kW, kH, 0, 0});
  Result<std::vector<float>> out = b.infer_tile(in, kW, kH);
  if (!out)
    throw std::runtime_error(out.error().message());
  const uint64_t OW = 2 * kW, OH = 2 * kH, plane = OW * OH;
  std::vector<float> rgb(3 * plane);
  for (uint64_t p = 0; p < plane; ++p)
    for (uint64_t k = 0; k < 3; ++k)
      rgb[3 * p + k] = (*out)[k * plane + p];
  return rgb;
}

std::vector<InferOp> ops_on(std::vector<OnnxBackend>& sessions) {
  std::vector<InferOp> ops;
  for (OnnxBackend& b : sessions) {
    ops.push_back([&b](const Tile& t, const Buffer& in) { return b.infer_tile(in, t.w, t.h); });
  }
  return ops;
}

float max_difference(const std::vector<float>& a, const std::vector<float>& b) {
  float worst = 0.0f;
  for (size_t i = 0; i < a.size(); ++i)
    worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}

TEST(Seams, NearestModelTiledEqualsUntiled) {
  const std::vector<float> frame = test_frame();
  std::vector<OnnxBackend> sessions;
  sessions.push_back(load("nn2x.onnx"));
  const std::vector<float> whole = untiled(sessions[0], frame);

  // The budget grid with one session, and fixed 288 tiles on two sessions.
  const TileGrid grids[] = {TileGrid::create(kW, kH, 2, 262144, 16, 1),
                            TileGrid::from_tile_size(kW, kH, 288, 288, 16, 2)};
  for (const TileGrid& grid : grids) {
    if (grid.tile_w == 288)
      sessions.push_back(load("nn2x.onnx"));
    Result<Buffer> tiled = process_tiled_on(frame, kW, kH, grid, ops_on(sessions));
    ASSERT_TRUE(tiled) << tiled.error().message();
    ASSERT_EQ(tiled->size(), whole.size());
    const float diff = max_difference(*tiled, whole);
    std::printf("nn2x %llux%llu tiles: largest difference %.3g\n",
                static_cast<unsigned long long>(grid.cols),
                static_cast<unsigned long long>(grid.rows), static_cast<double>(diff));
    // A weighted mean of equal values: only the last bits may move.
    EXPECT_LE(diff, 5e-7f);
  }
}

TEST(Seams, ReceptiveFieldModelSeamsStayFaint) {
  const std::vector<float> frame = test_frame();
  std::vector<OnnxBackend> sessions;
  sessions.push_back(load("conv2x.onnx"));
  const std::vector<float> whole = untiled(sessions[0], frame);
  const TileGrid grid = TileGrid::create(kW, kH, 2, 262144, 16, 1);
  Result<Buffer> tiled = process_tiled_on(frame, kW, kH, grid, ops_on(sessions));
  ASSERT_TRUE(tiled) << tiled.error().message();
  ASSERT_EQ(tiled->size(), whole.size());
  const float diff = max_difference(*tiled, whole);
  std::printf("conv2x %llux%llu tiles, overlap 16: largest tiled/untiled difference %.4f\n",
              static_cast<unsigned long long>(grid.cols),
              static_cast<unsigned long long>(grid.rows), static_cast<double>(diff));
  // Tiles see zero padding instead of their neighbours only within the
  // receptive field of their inner edges, where the cross-fade gives them
  // little weight: well under one 8-bit step.
  EXPECT_GT(diff, 0.0f);
  EXPECT_LT(diff, 1.0f / 255.0f);
}

}  // namespace
}  // namespace lmr::tile
