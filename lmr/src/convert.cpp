#include "convert.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tile.h"

namespace lmr::convert {

namespace {

// Plain loops over restrict pointers so that the compiler vectorises them;
// the division stays a true division (a stored reciprocal differs in the
// last bit for some values).
void bytes_to_floats(const uint8_t* __restrict in, float* __restrict out, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i)
    out[i] = static_cast<float>(in[i]) / 255.0f;
}

// Clamping before rounding gives the same bytes as rounding first (every
// value that rounds past an end is clamped to it anyway) and sends NaN to 0
// through the first comparison. Rounding adds the fraction test to the
// truncation instead of adding 0.5, which would round 0.49999997 up.
void floats_to_bytes(const float* __restrict in, uint8_t* __restrict out, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    const float r = in[i] * 255.0f;
    float c = r > 0.0f ? r : 0.0f;
    c = c < 255.0f ? c : 255.0f;
    const int32_t t = static_cast<int32_t>(c);
    const float frac = c - static_cast<float>(t);
    out[i] = static_cast<uint8_t>(t + (frac >= 0.5f ? 1 : 0));
  }
}

}  // namespace

std::vector<float> rgb_to_f32(std::span<const uint8_t> bytes) {
  std::vector<float> out(bytes.size());
  tile::for_each_chunk(bytes.size(), [&](uint64_t b, uint64_t e) {
    bytes_to_floats(bytes.data() + b, out.data() + b, e - b);
  });
  return out;
}

std::vector<uint8_t> f32_to_rgb(std::span<const float> floats) {
  std::vector<uint8_t> out(floats.size());
  tile::for_each_chunk(floats.size(), [&](uint64_t b, uint64_t e) {
    floats_to_bytes(floats.data() + b, out.data() + b, e - b);
  });
  return out;
}

void bilinear_resize_hwc(std::span<const float> src,
                         uint64_t src_w,
                         uint64_t src_h,
                         std::span<float> dst,
                         uint64_t dst_w,
                         uint64_t dst_h) {
  if (dst_w == 0 || dst_h == 0)
    return;
  if (src_w == 0 || src_h == 0 || src.size() / 3 / src_w < src_h ||
      dst.size() / 3 / dst_w < dst_h) {
    // A programming error that ordinary input cannot reach.
    std::fputs("bilinear_resize_hwc: buffer shorter than its frame size\n", stderr);
    std::abort();
  }
  const double sx = static_cast<double>(src_w) / static_cast<double>(dst_w);
  const double sy = static_cast<double>(src_h) / static_cast<double>(dst_h);

  // Source index pair and weight along one axis. The weight is taken against
  // the clamped index, so it goes negative at the top and left edges.
  struct Axis {
    uint64_t i0, i1;
    float w;
  };
  auto axis = [](double scale, uint64_t d, uint64_t src_len) {
    const double f = scale * (static_cast<double>(d) + 0.5) - 0.5;
    const int64_t i0 = std::max<int64_t>(static_cast<int64_t>(std::floor(f)), 0);
    const uint64_t u0 = static_cast<uint64_t>(i0);
    return Axis{u0, std::min(src_len - 1, u0 + 1), static_cast<float>(f - static_cast<double>(i0))};
  };
  std::vector<Axis> cols(dst_w);
  for (uint64_t x = 0; x < dst_w; ++x)
    cols[x] = axis(sx, x, src_w);

  for (uint64_t y = 0; y < dst_h; ++y) {
    const Axis ry = axis(sy, y, src_h);
    const float wy = ry.w;
    const float* row0 = src.data() + ry.i0 * src_w * 3;
    const float* row1 = src.data() + ry.i1 * src_w * 3;
    float* out = dst.data() + y * dst_w * 3;
    for (uint64_t x = 0; x < dst_w; ++x) {
      const Axis& cx = cols[x];
      const float wx = cx.w;
      for (uint64_t k = 0; k < 3; ++k) {
        const float p00 = row0[cx.i0 * 3 + k];
        const float p01 = row0[cx.i1 * 3 + k];
        const float p10 = row1[cx.i0 * 3 + k];
        const float p11 = row1[cx.i1 * 3 + k];
        out[x * 3 + k] =
            p11 * wx * wy + (((1.0f - wy) * ((1.0f - wx) * p00) + (1.0f - wy) * (p01 * wx)) +
                             ((1.0f - wx) * p10) * wy);
      }
    }
  }
}

}  // namespace lmr::convert
