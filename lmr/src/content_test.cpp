// Sample statistics and the decision, on frames built here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "content.h"

namespace lmr::content {
namespace {

struct Image {
  uint64_t w, h;
  std::vector<uint8_t> px;
};

// A w x h grey frame with the luma grey(x, y).
template <class Grey>
Image make(int w, int h, Grey grey) {
  Image img{static_cast<uint64_t>(w), static_cast<uint64_t>(h), {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      img.px.insert(img.px.end(), 3, static_cast<uint8_t>(grey(x, y)));
  return img;
}

// A 12x12 ramp of `step` luma per column from 60, crossed by a diagonal of
// 250: of its 100 interior pixels, the 10 on the diagonal and the 18 beside
// it are not flat (with steps below 3); four colour bins. Black bars of
// `top` and `bottom` rows above and below.
Image ramp(int step, int top = 0, int bottom = 0) {
  return make(12, 12 + top + bottom, [=](int x, int y) {
    return y < top || y >= 12 + top ? 0 : x == y - top ? 250 : 60 + step * x;
  });
}

// 10x10 of 100 whose rows (or columns) [2, 2 + n) are checkered with v.
Image band(int n, int v, bool columns = false) {
  return make(10, 10, [=](int x, int y) {
    const int at = columns ? x : y;
    return at >= 2 && at < 2 + n && (x + y) % 2 ? v : 100;
  });
}

// Bright corners around a centre of luma c, the rest dark (luma 22).
Image dark(int c) {
  return make(3, 3, [=](int x, int y) { return x == 1 && y == 1 ? c : (x + y) % 2 ? 22 : 200; });
}

TEST(Features, SyntheticFrames) {
  const std::tuple<Image, double, double> rows[] = {
      {make(32, 18, [](int, int) { return 128; }), 0, 0},  // uniform: no content box
      {ramp(2), 0.72, 1},
      {ramp(3), 0, 1},           // a step of 3 is not flat
      {ramp(2, 5, 7), 0.72, 1},  // black bars are left out
      {band(3, 107), 0, 1},      // a range of 7 is content
      {band(3, 106), 0, 0},      // 6 is not
      {band(3, 200), 0, 1},
      {band(2, 200), 0, 0},  // a box needs three rows
      {band(3, 200, true), 0, 1},
      {band(2, 200, true), 0, 0},  // and three columns
      {dark(24), 1, 1},            // 24 is lit, and 2 from its dark neighbours
      {dark(25), 0, 1},            // 3 is not flat
      {dark(23), 0, 0},            // no interior pixel lit: no evidence
      // A cycle of ten greys in ten bins: the eight fullest, of the lit ones.
      {make(10, 10, [](int x, int y) { return (x + y) % 10 ? 30 + 20 * ((x + y) % 10) : 30; }), 0,
       0.8},
      {make(10, 10, [](int x, int y) { return (x + y) % 10 ? 30 + 20 * ((x + y) % 10) : 10; }), 0,
       80.0 / 90},
      // The lit diagonal of a black 4x4 frame: a quarter of the box is enough.
      {make(4, 4, [](int x, int y) { return x == y ? 200 : 0; }), 0, 1},
      {make(4, 4, [](int x, int y) { return x == y && x != 2 ? 200 : 0; }), 0, 0},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto& [img, flatness, palette] = rows[i];
    const Features f = features(img.px, img.w, img.h);
    EXPECT_DOUBLE_EQ(f.flatness, flatness) << "row " << i;
    EXPECT_DOUBLE_EQ(f.palette, palette) << "row " << i;
  }
  // Integer weights, truncated: 77 * 80 / 256 = 24.06, 77 * 79 / 256 = 23.76.
  EXPECT_EQ(luma(80, 0, 0), 24);
  EXPECT_EQ(luma(79, 0, 0), 23);
  EXPECT_EQ(luma(255, 255, 255), 255);
}

TEST(Decision, UpperMediansAgainstInclusiveThresholds) {
  const Features g{1, 1}, b{0, 0}, at{0.7, 0.75};
  const Features low_flat{std::nextafter(0.7, 0.0), 0.75},
      low_palette{0.7, std::nextafter(0.75, 0.0)};
  const std::pair<std::array<Features, 6>, bool> rows[] = {
      // The fourth smallest of each statistic, both at or above their thresholds: graphic.
      {{b, g, b, g, g, b}, false},
      {{b, g, b, b, g, b}, true},
      {{at, at, at, at, at, at}, false},
      {{at, at, low_flat, low_flat, low_flat, low_flat}, true},
      {{at, at, at, low_palette, low_palette, low_palette}, false},
      {{at, at, low_palette, low_palette, low_palette, low_palette}, true},
  };
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(is_natural(rows[i].first), rows[i].second) << "row " << i;
}

TEST(Sampling, ExactArgumentList) {
  EXPECT_EQ(sample_args("/tmp/a clip -i.mp4", 12.3456),
            (std::vector<std::string>{"-v", "error", "-protocol_whitelist", "file,pipe", "-ss",
                                      "12.346", "-i", "file:/tmp/a clip -i.mp4", "-map", "0:V:0",
                                      "-frames:v", "1", "-vf", "scale=320:-2:flags=area",
                                      "-pix_fmt", "rgb24", "-f", "rawvideo", "-"}));
}

}  // namespace
}  // namespace lmr::content
