// Sample statistics and the decision, on frames built here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "content.h"

namespace lmr::content {
namespace {

struct Image {
  uint64_t w, h;
  std::vector<uint8_t> px;
  Image(uint64_t width, uint64_t height, uint8_t grey = 0)
      : w(width), h(height), px(width * height * 3, grey) {}
  void set(uint64_t x, uint64_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = &px[3 * (y * w + x)];
    p[0] = r, p[1] = g, p[2] = b;
  }
  void grey(uint64_t x, uint64_t y, uint8_t v) { set(x, y, v, v, v); }
};

// A ramp of `step` luma per column (from 60) crossed by a diagonal of 250:
// every row and column has content. 12x12: of the 100 interior pixels, the
// 10 on the diagonal and the 18 beside it are not flat; four colour bins.
Image ramp(uint8_t step) {
  Image img(12, 12);
  for (uint64_t y = 0; y < 12; ++y)
    for (uint64_t x = 0; x < 12; ++x)
      img.grey(x, y, x == y ? 250 : static_cast<uint8_t>(60 + step * x));
  return img;
}

// ramp(2) with `top` and `bottom` bar rows and `side` bar columns whose
// pixels alternate between `lo` and `hi` along the row.
Image barred(uint64_t top, uint64_t bottom, uint64_t side, uint8_t lo, uint8_t hi) {
  const Image inner = ramp(2);
  Image img(12 + 2 * side, 12 + top + bottom);
  for (uint64_t y = 0; y < img.h; ++y)
    for (uint64_t x = 0; x < img.w; ++x)
      img.grey(x, y, x % 2 ? hi : lo);
  for (uint64_t y = 0; y < 12; ++y)
    for (uint64_t x = 0; x < 12; ++x)
      img.grey(x + side, y + top, inner.px[3 * (y * 12 + x)]);
  return img;
}

// 10x10 grey 100 whose rows [2, 2 + rows) are a checkerboard of 100 and
// `hi`; `upright` turns the band into columns.
Image band(uint64_t rows, uint8_t hi, bool upright = false) {
  Image img(10, 10, 100);
  for (uint64_t y = 2; y < 2 + rows; ++y)
    for (uint64_t x = y % 2; x < 10; x += 2)
      upright ? img.grey(y, x, hi) : img.grey(x, y, hi);
  return img;
}

// 3x3 of dark luma 22 with bright corners around a centre of `centre`.
Image dark_around(uint8_t centre) {
  Image img(3, 3, 22);
  for (auto [x, y] : {std::pair{0, 0}, {2, 0}, {0, 2}, {2, 2}})
    img.grey(x, y, 200);
  img.grey(1, 1, centre);
  return img;
}

// 10x10, each row a shifted cycle of ten greys in ten different bins.
Image ten_bins(uint8_t first) {
  const uint8_t greys[10] = {first, 50, 70, 90, 110, 130, 150, 170, 190, 210};
  Image img(10, 10);
  for (uint64_t y = 0; y < 10; ++y)
    for (uint64_t x = 0; x < 10; ++x)
      img.grey(x, y, greys[(x + y) % 10]);
  return img;
}

// 8x8 black with bright opposite corners (the box is the whole frame) and
// `lit` - 2 more bright pixels in rows 2 and 3.
Image lit(int n) {
  Image img(8, 8);
  img.grey(0, 0, 200);
  img.grey(7, 7, 200);
  for (int i = 0; i < n - 2; ++i)
    img.grey(static_cast<uint64_t>(i % 7), static_cast<uint64_t>(2 + i / 7), 200);
  return img;
}

TEST(Features, SyntheticFrames) {
  struct Row {
    const char* name;
    Image img;
    double flatness, palette;
  };
  Image colour(320, 180);
  for (uint64_t i = 0; i < 320 * 180; ++i)
    colour.set(i % 320, i / 320, 200, 30, 90);
  Image tall = ramp(2);
  tall.h += 50;
  const Row rows[] = {
      {"uniform grey: no content box", Image(320, 180, 128), 0, 0},
      {"uniform colour: no content box", colour, 0, 0},
      {"steps of 2 are flat", ramp(2), 0.72, 1},
      {"steps of 3 are not", ramp(3), 0, 1},
      {"black bars above and below are left out", barred(5, 7, 0, 0, 0), 0.72, 1},
      {"bars with a range of 6 are borders", barred(4, 4, 0, 100, 106), 0.72, 1},
      {"grey side bars are left out", barred(0, 0, 3, 50, 50), 0.72, 1},
      {"a range of 7 is content", band(3, 107), 0, 1},
      {"a range of 6 is not", band(3, 106), 0, 0},
      {"three rows make a box", band(3, 200), 0, 1},
      {"two do not", band(2, 200), 0, 0},
      {"three columns make a box", band(3, 200, true), 0, 1},
      {"two do not", band(2, 200, true), 0, 0},
      {"luma 24 is lit, 2 from its dark neighbours", dark_around(24), 1, 1},
      {"luma 25 is 3 from them", dark_around(25), 0, 1},
      {"a dark centre leaves no interior pixel", dark_around(23), 0, 0},
      {"the eight fullest of ten bins", ten_bins(30), 0, 0.8},
      {"dark pixels are not counted", ten_bins(10), 0, 80.0 / 90.0},
      {"a quarter of the box lit is enough", lit(16), 0, 1},
      {"less is no evidence", lit(15), 0, 0},
      {"rows beyond the bytes are ignored", tall, 0.72, 1},
      {"no width", Image(0, 180), 0, 0},
  };
  for (const Row& row : rows) {
    const Features f = features(row.img.px, row.img.w, row.img.h);
    EXPECT_DOUBLE_EQ(f.flatness, row.flatness) << row.name;
    EXPECT_DOUBLE_EQ(f.palette, row.palette) << row.name;
  }
  // Integer weights, truncated: 77 * 80 / 256 = 24.06, 77 * 79 / 256 = 23.76.
  EXPECT_EQ(luma(80, 0, 0), 24);
  EXPECT_EQ(luma(79, 0, 0), 23);
  EXPECT_EQ(luma(255, 255, 255), 255);
}

TEST(Decision, UpperMediansAgainstInclusiveThresholds) {
  const Features graphic{1, 1}, black{0, 0}, at{0.7, 0.75};
  const Features less_flat{std::nextafter(0.7, 0.0), 0.75};
  const Features less_palette{0.7, std::nextafter(0.75, 0.0)};
  struct Row {
    const char* name;
    std::array<Features, 6> samples;
    bool natural;
  };
  const Row rows[] = {
      {"three black, three graphic", {black, graphic, black, graphic, graphic, black}, false},
      {"four black", {black, graphic, black, black, graphic, black}, true},
      {"at both thresholds", {at, at, at, at, at, at}, false},
      {"flatness just below",
       {less_flat, less_flat, less_flat, less_flat, less_flat, less_flat},
       true},
      {"palette just below",
       {less_palette, less_palette, less_palette, less_palette, less_palette, less_palette},
       true},
      {"medians of separate samples", {{{1, 0}, {1, 0}, {1, 0}, {1, 0}, {0, 1}, {0, 1}}}, true},
      {"crossed", {{{1, 0}, {1, 1}, {1, 0}, {1, 1}, {0, 1}, {0, 1}}}, false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(is_natural(row.samples), row.natural) << row.name;
}

TEST(Sampling, ExactArgumentList) {
  EXPECT_EQ(
      sample_args("/tmp/a clip -i.mp4", 12.3456),
      (std::vector<std::string>{"-v", "error", "-ss", "12.346", "-i", "/tmp/a clip -i.mp4", "-map",
                                "0:V:0", "-frames:v", "1", "-vf", "scale=320:-2:flags=area",
                                "-pix_fmt", "rgb24", "-f", "rawvideo", "-"}));
}

}  // namespace
}  // namespace lmr::content
