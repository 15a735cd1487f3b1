// The conversions against a plain scalar reference, and the resize against
// its formula written out pixel by pixel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>

#include "convert.h"

namespace lmr::convert {
namespace {

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Rounding half away from zero, NaN to 0, clamped.
uint8_t reference_byte(float x) {
  if (std::isnan(x))
    return 0;
  return static_cast<uint8_t>(std::clamp(std::round(x * 255.0f), 0.0f, 255.0f));
}

TEST(Conversions, MatchTheScalarReferenceAcrossChunks) {
  // Every byte (a true division, not a stored reciprocal), then random bytes
  // past the first chunk boundary.
  std::vector<uint8_t> bytes(256);
  for (int v = 0; v < 256; ++v)
    bytes[v] = static_cast<uint8_t>(v);
  std::mt19937 rng(5);
  for (int i = 0; i < 200'003; ++i)
    bytes.push_back(static_cast<uint8_t>(rng()));
  const std::vector<float> floats = rgb_to_f32(bytes);
  ASSERT_EQ(floats.size(), bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i)
    ASSERT_EQ(bits(floats[i]), bits(static_cast<float>(bytes[i]) / 255.0f)) << i;
  EXPECT_EQ(f32_to_rgb(floats), bytes);

  // Just below, at and above every k + 0.5, NaN, the infinities, values
  // that adding 0.5 would round up, random values past a chunk boundary.
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> in{std::numeric_limits<float>::quiet_NaN(),
                        inf,
                        -inf,
                        -1e30f,
                        1e30f,
                        0.49999997f / 255.0f,
                        std::nextafter(0.5f, 0.0f)};
  for (int k = -2; k <= 257; ++k) {
    const float half = (static_cast<float>(k) + 0.5f) / 255.0f;
    in.insert(in.end(), {std::nextafter(half, -10.0f), half, std::nextafter(half, 10.0f)});
  }
  std::uniform_real_distribution<float> dist(-0.5f, 1.5f);
  for (int i = 0; i < 200'000; ++i)
    in.push_back(dist(rng));
  const std::vector<uint8_t> out = f32_to_rgb(in);
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i)
    ASSERT_EQ(out[i], reference_byte(in[i])) << "x = " << in[i];
  EXPECT_TRUE(rgb_to_f32({}).empty());
  EXPECT_TRUE(f32_to_rgb({}).empty());
}

// The formula once more, with the weight taken against the clamped index.
std::vector<float> naive_resize(const std::vector<float>& src,
                                uint64_t sw,
                                uint64_t sh,
                                uint64_t dw,
                                uint64_t dh) {
  auto axis = [](uint64_t d, uint64_t s_len, uint64_t d_len) {
    const double f = double(s_len) / double(d_len) * (double(d) + 0.5) - 0.5;
    const int64_t i0 = std::max<int64_t>(static_cast<int64_t>(std::floor(f)), 0);
    return std::tuple{uint64_t(i0), std::min<uint64_t>(s_len - 1, uint64_t(i0) + 1),
                      float(f - double(i0))};
  };
  std::vector<float> dst(dw * dh * 3);
  for (uint64_t y = 0; y < dh; ++y) {
    const auto [y0, y1, wy] = axis(y, sh, dh);
    for (uint64_t x = 0; x < dw; ++x) {
      const auto [x0, x1, wx] = axis(x, sw, dw);
      for (uint64_t k = 0; k < 3; ++k) {
        auto at = [&](uint64_t xx, uint64_t yy) { return src[(yy * sw + xx) * 3 + k]; };
        dst[(y * dw + x) * 3 + k] =
            at(x1, y1) * wx * wy +
            (((1 - wy) * ((1 - wx) * at(x0, y0)) + (1 - wy) * (at(x1, y0) * wx)) +
             ((1 - wx) * at(x0, y1)) * wy);
      }
    }
  }
  return dst;
}

TEST(BilinearResize, MatchesTheFormula) {
  // Same size (a copy), one pixel (filled), two rows enlarged (the top
  // extrapolates, the bottom repeats the edge), and others.
  const std::tuple<int, int, int, int> sizes[] = {
      {8, 6, 16, 12}, {5, 3, 17, 11}, {16, 12, 5, 7}, {3, 9, 3, 4},
      {7, 5, 7, 5},   {1, 1, 6, 4},   {1, 2, 1, 4},   {200, 150, 400, 300}};
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(0.0f, 1.0f);
  for (auto [sw, sh, dw, dh] : sizes) {
    std::vector<float> src(uint64_t(sw) * sh * 3);
    for (float& v : src)
      v = dist(rng);
    std::vector<float> dst(uint64_t(dw) * dh * 3);
    bilinear_resize_hwc(src, sw, sh, dst, dw, dh);
    const auto want = naive_resize(src, sw, sh, dw, dh);
    for (size_t i = 0; i < dst.size(); ++i)
      ASSERT_EQ(bits(dst[i]), bits(want[i])) << sw << "x" << sh << " -> " << dw << "x" << dh;
    EXPECT_TRUE(sw != dw || sh != dh || dst == src);
  }
  // A destination without pixels is left as it is.
  std::vector<float> untouched(12, 7.0f);
  bilinear_resize_hwc(std::vector<float>(12), 2, 2, untouched, 0, 4);
  EXPECT_EQ(untouched, std::vector<float>(12, 7.0f));
}

}  // namespace
}  // namespace lmr::convert
