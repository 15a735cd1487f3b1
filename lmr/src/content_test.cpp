// Sample statistics and the decision, on images built here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "content.h"

namespace lmr::content {
namespace {

struct Image {
  uint64_t w, h;
  std::vector<uint8_t> px;

  Image(uint64_t width, uint64_t height, uint8_t gray = 0)
      : w(width), h(height), px(width * height * 3, gray) {}
  void set(uint64_t x, uint64_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = &px[3 * (y * w + x)];
    p[0] = r;
    p[1] = g;
    p[2] = b;
  }
  void gray(uint64_t x, uint64_t y, uint8_t v) { set(x, y, v, v, v); }
  void fill(uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1, uint8_t r, uint8_t g, uint8_t b) {
    for (uint64_t y = y0; y < y1; ++y)
      for (uint64_t x = x0; x < x1; ++x)
        set(x, y, r, g, b);
  }
  Features features() const { return content::features(px, w, h); }
};

// Stacks `top` rows of `bar`, `img`, then `bottom` rows of `bar` (same width).
Image letterbox(const Image& img, const Image& bar, uint64_t top, uint64_t bottom) {
  Image out(img.w, img.h + top + bottom);
  for (uint64_t y = 0; y < out.h; ++y) {
    const bool in_img = y >= top && y < top + img.h;
    const Image& src = in_img ? img : bar;
    const uint64_t sy = in_img ? y - top : y % bar.h;
    std::copy_n(&src.px[3 * sy * src.w], 3 * img.w, &out.px[3 * y * out.w]);
  }
  return out;
}

// Background ramp of `step` luma per column (from 60) crossed by a diagonal
// of 250: every row and column has content, so the box is the whole image.
Image ramp_with_diagonal(uint64_t n, uint8_t step) {
  Image img(n, n);
  for (uint64_t y = 0; y < n; ++y)
    for (uint64_t x = 0; x < n; ++x)
      img.gray(x, y, x == y ? 250 : static_cast<uint8_t>(60 + step * x));
  return img;
}

// A 320x180 frame of a few solid shapes on a plain background.
Image cartoon() {
  Image img(320, 180);
  img.fill(0, 0, 320, 180, 40, 110, 200);
  img.fill(30, 40, 130, 150, 240, 200, 40);
  img.fill(180, 20, 300, 90, 220, 50, 50);
  for (uint64_t y = 100; y < 170; ++y)
    for (uint64_t x = 170; x < 310; ++x)
      if ((x - 240) * (x - 240) + (y - 135) * (y - 135) < 900)
        img.set(x, y, 250, 250, 250);
  return img;
}

TEST(Luma, IntegerWeightsTruncated) {
  EXPECT_EQ(luma(0, 0, 0), 0);
  EXPECT_EQ(luma(255, 255, 255), 255);
  EXPECT_EQ(luma(100, 100, 100), 100);
  // 77 * 80 / 256 = 24.06 but 77 * 79 / 256 = 23.76: truncation, not rounding.
  EXPECT_EQ(luma(80, 0, 0), 24);
  EXPECT_EQ(luma(79, 0, 0), 23);
  EXPECT_EQ(luma(0, 41, 0), 24);
  EXPECT_EQ(luma(0, 0, 212), 24);
  EXPECT_EQ(luma(0, 0, 211), 23);
  EXPECT_EQ(luma(10, 20, 30), (77 * 10 + 150 * 20 + 29 * 30) >> 8);
}

TEST(Features, UniformFramesHaveNoContentBox) {
  for (int v : {0, 17, 128, 255}) {
    const Features f = Image(320, 180, static_cast<uint8_t>(v)).features();
    EXPECT_EQ(f.flatness, 0.0) << v;
    EXPECT_EQ(f.palette, 0.0) << v;
  }
  Image colour(320, 180);
  colour.fill(0, 0, 320, 180, 200, 30, 90);
  EXPECT_EQ(colour.features().flatness, 0.0);
  EXPECT_EQ(colour.features().palette, 0.0);
}

TEST(Features, FlatNeighboursDifferByLessThanThree) {
  // 12x12: 100 interior pixels; the 10 on the diagonal and the 18 beside it
  // are not flat.
  const Features two = ramp_with_diagonal(12, 2).features();
  EXPECT_DOUBLE_EQ(two.flatness, 72.0 / 100.0);
  EXPECT_DOUBLE_EQ(two.palette, 1.0);  // four colour bins only
  const Features three = ramp_with_diagonal(12, 3).features();
  EXPECT_EQ(three.flatness, 0.0);
}

TEST(Features, DarkNeighboursStillCountAndDarkPixelsAreSkipped) {
  // Bright corners give every row and column content; luma 22 is dark.
  auto frame = [](uint8_t centre) {
    Image img(3, 3, 22);
    for (auto [x, y] : {std::pair{0, 0}, {2, 0}, {0, 2}, {2, 2}})
      img.gray(x, y, 200);
    img.gray(1, 1, centre);
    return img.features();
  };
  const Features flat = frame(24);  // differs from its dark neighbours by 2
  EXPECT_EQ(flat.flatness, 1.0);
  EXPECT_EQ(flat.palette, 1.0);  // two bins: 200 and 24
  const Features steep = frame(25);
  EXPECT_EQ(steep.flatness, 0.0);
  EXPECT_EQ(steep.palette, 1.0);
  // A dark centre leaves no interior pixel: no evidence.
  const Features dark = frame(23);
  EXPECT_EQ(dark.flatness, 0.0);
  EXPECT_EQ(dark.palette, 0.0);
}

TEST(Features, PaletteCountsTheEightFullestBins) {
  // 10x10, each row a shifted cycle of ten greys in ten different bins.
  auto cycle = [](uint8_t first) {
    const uint8_t greys[10] = {first, 50, 70, 90, 110, 130, 150, 170, 190, 210};
    Image img(10, 10);
    for (uint64_t y = 0; y < 10; ++y)
      for (uint64_t x = 0; x < 10; ++x)
        img.gray(x, y, greys[(x + y) % 10]);
    return img.features();
  };
  const Features all_lit = cycle(30);
  EXPECT_EQ(all_lit.flatness, 0.0);
  EXPECT_DOUBLE_EQ(all_lit.palette, 80.0 / 100.0);
  // Dark pixels are left out of the histogram and of the count.
  const Features one_dark = cycle(10);
  EXPECT_DOUBLE_EQ(one_dark.palette, 80.0 / 90.0);
}

TEST(Features, QuarterOfTheBoxMustBeLit) {
  // 8x8 black with bright opposite corners (the box is the whole frame) and
  // `lit` - 2 more bright pixels in rows 2 and 3.
  auto frame = [](int lit) {
    Image img(8, 8);
    img.gray(0, 0, 200);
    img.gray(7, 7, 200);
    for (int i = 0; i < lit - 2; ++i)
      img.gray(static_cast<uint64_t>(i % 7), static_cast<uint64_t>(2 + i / 7), 200);
    return img.features();
  };
  const Features quarter = frame(16);  // 16 of 64: exactly a quarter
  EXPECT_EQ(quarter.flatness, 0.0);
  EXPECT_EQ(quarter.palette, 1.0);
  const Features less = frame(15);
  EXPECT_EQ(less.flatness, 0.0);
  EXPECT_EQ(less.palette, 0.0);
}

TEST(Features, MostlyDarkFrameGivesNoEvidence) {
  Image img(320, 180);
  img.fill(100, 60, 180, 120, 250, 250, 250);  // 4800 of 57600 pixels lit
  const Features f = img.features();
  EXPECT_EQ(f.flatness, 0.0);
  EXPECT_EQ(f.palette, 0.0);
}

TEST(Features, BoxNeedsThreeRowsAndThreeColumns) {
  // Rows [2, 2 + rows) are a 100/200 checkerboard; every other row is 100.
  auto rows_band = [](uint64_t rows) {
    Image img(10, 10, 100);
    for (uint64_t y = 2; y < 2 + rows; ++y)
      for (uint64_t x = y % 2; x < 10; x += 2)
        img.gray(x, y, 200);
    return img;
  };
  EXPECT_EQ(rows_band(2).features().palette, 0.0);
  EXPECT_EQ(rows_band(3).features().palette, 1.0);
  // The same bands standing upright.
  auto transpose = [](const Image& src) {
    Image out(src.h, src.w);
    for (uint64_t y = 0; y < src.h; ++y)
      for (uint64_t x = 0; x < src.w; ++x)
        out.gray(y, x, src.px[3 * (y * src.w + x)]);
    return out;
  };
  EXPECT_EQ(transpose(rows_band(2)).features().palette, 0.0);
  EXPECT_EQ(transpose(rows_band(3)).features().palette, 1.0);
}

TEST(Features, LetterboxBarsAreLeftOutOfTheBox) {
  const Image content = ramp_with_diagonal(12, 2);
  const Features alone = content.features();

  const Image black(12, 1, 0);
  const Features barred = letterbox(content, black, 5, 7).features();
  EXPECT_EQ(barred.flatness, alone.flatness);
  EXPECT_EQ(barred.palette, alone.palette);

  // Lit bars with a luma range of exactly 6 are still borders ...
  auto striped = [](uint8_t high) {
    Image bar(12, 1, 100);
    for (uint64_t x = 0; x < 12; x += 2)
      bar.gray(x, 0, high);
    return bar;
  };
  const Features six = letterbox(content, striped(106), 4, 4).features();
  EXPECT_EQ(six.flatness, alone.flatness);
  EXPECT_EQ(six.palette, alone.palette);
  // ... a range of 7 is content.
  const Features seven = letterbox(content, striped(107), 4, 4).features();
  EXPECT_NE(seven.flatness, alone.flatness);

  // Uniform side bars (pillarbox) are dropped as columns.
  Image pillar(20, 12, 50);
  for (uint64_t y = 0; y < 12; ++y)
    for (uint64_t x = 0; x < 12; ++x)
      pillar.gray(x + 3, y, content.px[3 * (y * 12 + x)]);
  const Features sides = pillar.features();
  EXPECT_EQ(sides.flatness, alone.flatness);
  EXPECT_EQ(sides.palette, alone.palette);
}

TEST(Features, CartoonIsFlatAndConcentrated) {
  const Features f = cartoon().features();
  EXPECT_GT(f.flatness, 0.95);
  EXPECT_GT(f.palette, 0.95);
  EXPECT_LE(f.flatness, 1.0);
  EXPECT_LE(f.palette, 1.0);
}

TEST(Features, CameraNoiseIsNotFlat) {
  Image img = cartoon();
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> noise(-12, 12);
  for (uint8_t& v : img.px)
    v = static_cast<uint8_t>(std::clamp(v + noise(rng), 0, 255));
  const Features f = img.features();
  EXPECT_LT(f.flatness, 0.3);
}

TEST(Features, HeightBeyondTheBytesIsIgnored) {
  const Image img = cartoon();
  const Features whole = img.features();
  const Features claimed = features(img.px, img.w, img.h + 50);
  EXPECT_EQ(claimed.flatness, whole.flatness);
  EXPECT_EQ(claimed.palette, whole.palette);
  const Features none = features(img.px, 0, img.h);
  EXPECT_EQ(none.flatness, 0.0);
  EXPECT_EQ(features({}, 320, 180).palette, 0.0);
}

TEST(Decision, UpperMedianOfSixSamples) {
  const Features graphic = cartoon().features();
  const Features black = Image(320, 180).features();
  ASSERT_EQ(black.flatness, 0.0);

  // Sorted, the fourth smallest of three black and three graphic samples is
  // the smallest graphic value.
  std::array<Features, 6> three = {black, graphic, black, graphic, graphic, black};
  EXPECT_FALSE(is_natural(three));
  std::array<Features, 6> four = {black, graphic, black, black, graphic, black};
  EXPECT_TRUE(is_natural(four));
  std::array<Features, 6> none = {graphic, graphic, graphic, graphic, graphic, graphic};
  EXPECT_FALSE(is_natural(none));
}

TEST(Decision, ThresholdsAreInclusive) {
  auto six = [](double flatness, double palette) {
    std::array<Features, 6> s;
    s.fill({flatness, palette});
    return is_natural(s);
  };
  EXPECT_FALSE(six(0.7, 0.75));
  EXPECT_TRUE(six(std::nextafter(0.7, 0.0), 0.75));
  EXPECT_TRUE(six(0.7, std::nextafter(0.75, 0.0)));
  EXPECT_TRUE(six(1.0, 0.0));
  EXPECT_TRUE(six(0.0, 1.0));
  // Medians taken separately: flatness and palette from different samples.
  std::array<Features, 6> mixed = {{{1, 0}, {1, 0}, {1, 0}, {1, 0}, {0, 1}, {0, 1}}};
  EXPECT_TRUE(is_natural(mixed));
  std::array<Features, 6> crossed = {{{1, 0}, {1, 1}, {1, 0}, {1, 1}, {0, 1}, {0, 1}}};
  EXPECT_FALSE(is_natural(crossed));
}

TEST(Sampling, SixSliceCentres) {
  std::vector<std::string> seeks;
  for (double t : sample_times(120.0))
    seeks.push_back(sample_args("v.mp4", t)[3]);
  EXPECT_EQ(seeks, (std::vector<std::string>{"10.000", "30.000", "50.000", "70.000", "90.000",
                                             "110.000"}));
  for (double t : sample_times(0.0))
    EXPECT_EQ(sample_args("v.mp4", t)[3], "0.000");
  EXPECT_EQ(sample_args("v.mp4", sample_times(7.0)[0])[3], "0.583");
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
