// Sample statistics and the decision, on frames built here.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
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

TEST(Sampling, WholeClipArgumentList) {
  EXPECT_EQ(whole_clip_args("/tmp/a clip -i.mp4"),
            (std::vector<std::string>{"-v", "error", "-protocol_whitelist", "file,pipe", "-i",
                                      "file:/tmp/a clip -i.mp4", "-map", "0:V:0", "-frames:v", "48",
                                      "-vf", "scale=320:-2:flags=area", "-pix_fmt", "rgb24", "-c:v",
                                      "ppm", "-f", "image2pipe", "-"}));
}

TEST(Sampling, ShortClipsAndUnknownLengthsAreReadWhole) {
  struct Row {
    uint64_t frames;
    double duration;
    std::string rate;
    bool whole;
  };
  const Row rows[] = {
      {23, 100.0, "25/1", true},  // a counted frame count decides
      {24, 0.1, "25/1", false},       {1, 10.0, "25/1", true},
      {0, 0.0, "25/1", true},  // no length: a still image, or a stream without an index
      {0, -1.0, "25/1", true},        {0, 0.95, "25/1", true},  // 23.75 frames
      {0, 0.96, "25/1", false},       {0, 0.40, "60000/1001", true},
      {0, 0.41, "60000/1001", false}, {0, 0.99, "0/0", true},  // no rate: as at 24 a second
      {0, 1.0, "0/0", false},         {0, 0.99, "", true},
      {0, 0.99, "30", false},  // a bare number is a rate too
  };
  for (const Row& row : rows) {
    video::VideoInfo info;
    info.frames = row.frames;
    info.duration = row.duration;
    info.r_frame_rate = row.rate;
    EXPECT_EQ(read_whole(info), row.whole) << row.frames << " " << row.duration << " " << row.rate;
  }
}

TEST(Sampling, FramesAtTheSlicesCentres) {
  using Six = std::array<uint64_t, 6>;
  const std::pair<uint64_t, Six> rows[] = {
      {1, {0, 0, 0, 0, 0, 0}},          {2, {0, 0, 0, 1, 1, 1}},   {5, {0, 1, 2, 2, 3, 4}},
      {6, {0, 1, 2, 3, 4, 5}},          {12, {1, 3, 5, 7, 9, 11}}, {47, {3, 11, 19, 27, 35, 43}},
      {120, {10, 30, 50, 70, 90, 110}},
  };
  for (const auto& [n, want] : rows)
    EXPECT_EQ(sample_indices(n), want) << n;
}

TEST(Sampling, SplitsAStreamOfPpmImages) {
  auto bytes = [](const std::string& s) {
    return std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  // The images as "WxH:first byte", or the error.
  auto split = [&](const std::string& stream) {
    Result<std::vector<PpmImage>> images = split_ppm(bytes(stream));
    if (!images)
      return images.error().message();
    std::string out;
    for (const PpmImage& im : *images)
      out += std::to_string(im.width) + "x" + std::to_string(im.height) + ":" +
             std::string(1, static_cast<char>(im.rgb.empty() ? '-' : im.rgb[0])) + " ";
    return out;
  };
  const std::string two = "P6\n2 1\n255\nabcdefP6 1  1\r\n255\tXYZ";
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {two, "2x1:a 1x1:X "},
      {"P6\n0 0\n255\n", "0x0:- "},
      {two + "P6\n1 1\n255\nXY", "image 3 at byte 33: cut short"},
      {two.substr(0, 15), "image 1 at byte 0: cut short"},
      {"P5\n1 1\n255\nX", "image 1 at byte 0: not a binary PPM image"},
      {"P", "image 1 at byte 0: not a binary PPM image"},
      {two + "\n", "image 3 at byte 33: not a binary PPM image"},
      {"P6\n1 1\n65535\nXXXXXX", "image 1 at byte 0: not 8 bits a channel"},
      {"P6\n1 1\n255", "image 1 at byte 0: unreadable header"},
      {"P6\n1 x\n255\nXYZ", "image 1 at byte 0: unreadable header"},
      {"P6 1 1 255XYZ", "image 1 at byte 0: unreadable header"},
      {"P6\n1234567890 1\n255\n", "image 1 at byte 0: unreadable header"},
  };
  for (const auto& [stream, want] : rows)
    EXPECT_EQ(split(stream), want) << stream;
}

}  // namespace
}  // namespace lmr::content
