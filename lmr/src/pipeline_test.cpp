// Pure parts of the pipelines: pixel conversions, resizing, the plan, the
// fgnet tile input, the printed lines and the output-path guard.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

#include "pipeline.h"
#include "testing.h"

namespace lmr::pipeline {
namespace {

namespace fs = std::filesystem;

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Reference rounding: std::round is half away from zero.
uint8_t reference_byte(float x) {
  if (std::isnan(x))
    return 0;
  const float r = std::round(x * 255.0f);
  return static_cast<uint8_t>(std::clamp(r, 0.0f, 255.0f));
}

TEST(RgbToF32, SpecValuesAreTrueDivisions) {
  const std::vector<uint8_t> in{0, 1, 254, 255};
  const std::vector<float> out = rgb_to_f32(in);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(bits(out[0]), bits(0.0f));
  EXPECT_EQ(bits(out[1]), bits(1.0f / 255.0f));
  EXPECT_EQ(bits(out[2]), bits(254.0f / 255.0f));
  EXPECT_EQ(bits(out[3]), bits(1.0f));
}

TEST(RgbToF32, EveryByteDividesExactlyNotByReciprocal) {
  std::vector<uint8_t> in(256);
  for (int v = 0; v < 256; ++v)
    in[v] = static_cast<uint8_t>(v);
  const std::vector<float> out = rgb_to_f32(in);
  volatile float reciprocal = 1.0f / 255.0f;
  int differs_from_reciprocal = 0;
  for (int v = 0; v < 256; ++v) {
    const float want = static_cast<float>(v) / 255.0f;
    EXPECT_EQ(bits(out[v]), bits(want)) << v;
    differs_from_reciprocal += bits(static_cast<float>(v) * reciprocal) != bits(want);
  }
  // The check above can tell a division from a multiplication.
  EXPECT_GT(differs_from_reciprocal, 0);
}

TEST(RgbToF32, LargeInputAcrossChunksMatchesElementwise) {
  std::vector<uint8_t> in(1'000'003);
  std::mt19937 rng(5);
  for (auto& b : in)
    b = static_cast<uint8_t>(rng());
  const std::vector<float> out = rgb_to_f32(in);
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i)
    ASSERT_EQ(bits(out[i]), bits(static_cast<float>(in[i]) / 255.0f)) << i;
}

TEST(F32ToRgb, SpecValues) {
  const std::vector<float> in{-0.3f, 0.0f, 0.5f / 255.0f,
                              1.0f,  1.7f, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_EQ(f32_to_rgb(in), (std::vector<uint8_t>{0, 0, 1, 255, 255, 0}));
}

TEST(F32ToRgb, HalvesRoundAwayFromZeroAndEndsClamp) {
  const float inf = std::numeric_limits<float>::infinity();
  // 127.5 and 0.5 exactly after the multiplication by 255.
  const std::vector<float> in{127.5f / 255.0f, 0.5f / 255.0f,    -0.5f / 255.0f, -inf, inf,
                              254.6f / 255.0f, 255.49f / 255.0f, -1e30f,         1e30f};
  // Exactly halfway after the multiplication.
  EXPECT_EQ(bits(127.5f / 255.0f * 255.0f), bits(127.5f));
  EXPECT_EQ(bits(0.5f / 255.0f * 255.0f), bits(0.5f));
  const std::vector<uint8_t> out = f32_to_rgb(in);
  EXPECT_EQ(out, (std::vector<uint8_t>{128, 1, 0, 0, 255, 255, 255, 0, 255}));
}

TEST(F32ToRgb, MatchesReferenceAroundEveryHalf) {
  // Values just below, at and above each k + 0.5, where adding 0.5 and
  // flooring would go wrong.
  std::vector<float> in;
  for (int k = -2; k <= 257; ++k) {
    const float half = (static_cast<float>(k) + 0.5f) / 255.0f;
    in.push_back(std::nextafter(half, -10.0f));
    in.push_back(half);
    in.push_back(std::nextafter(half, 10.0f));
  }
  in.push_back(0.49999997f / 255.0f);
  in.push_back(std::nextafter(0.5f, 0.0f));
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> dist(-0.5f, 1.5f);
  for (int i = 0; i < 200'000; ++i)  // crosses a chunk boundary
    in.push_back(dist(rng));
  const std::vector<uint8_t> out = f32_to_rgb(in);
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i)
    ASSERT_EQ(out[i], reference_byte(in[i])) << "x = " << in[i];
}

TEST(Conversions, EveryByteSurvivesTheRoundTrip) {
  std::vector<uint8_t> in(256 * 3);
  for (size_t i = 0; i < in.size(); ++i)
    in[i] = static_cast<uint8_t>(i % 256);
  EXPECT_EQ(f32_to_rgb(rgb_to_f32(in)), in);
}

TEST(Conversions, EmptyInputGivesEmptyOutputAndNoChunk) {
  EXPECT_TRUE(rgb_to_f32({}).empty());
  EXPECT_TRUE(f32_to_rgb({}).empty());
  EXPECT_TRUE(conversion_chunks(0).empty());
}

TEST(Conversions, ChunksFollowChunkLen) {
  EXPECT_EQ(conversion_chunks(1), (std::vector<std::pair<uint64_t, uint64_t>>{{0, 1}}));
  EXPECT_EQ(conversion_chunks(65'536), (std::vector<std::pair<uint64_t, uint64_t>>{{0, 65'536}}));
  for (uint64_t n : {65'537ull, 1'000'000ull, 8'294'400ull * 3}) {
    const auto chunks = conversion_chunks(n);
    const uint64_t len = tile::chunk_len(n);
    ASSERT_EQ(chunks.size(), (n + len - 1) / len) << n;
    uint64_t next = 0;
    for (const auto& [b, e] : chunks) {
      EXPECT_EQ(b, next);
      EXPECT_EQ(e - b, std::min(len, n - b));
      next = e;
    }
    EXPECT_EQ(next, n);
  }
}

// The formula written out once more, pixel by pixel, for comparison.
std::vector<float> naive_resize(const std::vector<float>& src,
                                uint64_t sw,
                                uint64_t sh,
                                uint64_t dw,
                                uint64_t dh) {
  std::vector<float> dst(dw * dh * 3);
  const double sx = double(sw) / double(dw), sy = double(sh) / double(dh);
  for (uint64_t y = 0; y < dh; ++y) {
    const double fy = sy * (double(y) + 0.5) - 0.5;
    int64_t y0 = static_cast<int64_t>(std::floor(fy));
    if (y0 < 0)
      y0 = 0;
    const uint64_t y1 = std::min<uint64_t>(sh - 1, uint64_t(y0) + 1);
    const float wy = float(fy - double(y0));
    for (uint64_t x = 0; x < dw; ++x) {
      const double fx = sx * (double(x) + 0.5) - 0.5;
      int64_t x0 = static_cast<int64_t>(std::floor(fx));
      if (x0 < 0)
        x0 = 0;
      const uint64_t x1 = std::min<uint64_t>(sw - 1, uint64_t(x0) + 1);
      const float wx = float(fx - double(x0));
      for (uint64_t k = 0; k < 3; ++k) {
        auto at = [&](uint64_t xx, uint64_t yy) { return src[(yy * sw + xx) * 3 + k]; };
        const float p00 = at(uint64_t(x0), uint64_t(y0)), p01 = at(x1, uint64_t(y0));
        const float p10 = at(uint64_t(x0), y1), p11 = at(x1, y1);
        float a = p11 * wx;
        a = a * wy;
        float b = (1 - wy) * ((1 - wx) * p00);
        b = b + (1 - wy) * (p01 * wx);
        b = b + ((1 - wx) * p10) * wy;
        dst[(y * dw + x) * 3 + k] = a + b;
      }
    }
  }
  return dst;
}

std::vector<float> random_frame(uint64_t w, uint64_t h, unsigned seed) {
  std::vector<float> f(w * h * 3);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(0.0f, 1.0f);
  for (auto& v : f)
    v = dist(rng);
  return f;
}

TEST(BilinearResize, SameSizeCopiesExactly) {
  const auto src = random_frame(7, 5, 1);
  std::vector<float> dst(src.size(), -1.0f);
  bilinear_resize_hwc(src, 7, 5, dst, 7, 5);
  EXPECT_EQ(dst, src);
}

TEST(BilinearResize, OnePixelFillsEverything) {
  const std::vector<float> src = rgb_to_f32(std::vector<uint8_t>{64, 128, 201});
  std::vector<float> dst(6 * 4 * 3);
  bilinear_resize_hwc(src, 1, 1, dst, 6, 4);
  // The weights of the fixed order of operations do not sum to exactly 1 in
  // single precision, so the value comes back to within a few ulps.
  for (size_t i = 0; i < dst.size(); ++i)
    EXPECT_FLOAT_EQ(dst[i], src[i % 3]) << i;
  const std::vector<uint8_t> bytes = f32_to_rgb(dst);
  for (size_t i = 0; i < bytes.size(); ++i)
    EXPECT_EQ(bytes[i], f32_to_rgb(src)[i % 3]) << i;
}

TEST(BilinearResize, TwoRowsEnlargedExtrapolateAtTopAndRepeatAtBottom) {
  const std::vector<float> src{0.2f, 0.4f, 0.6f, 0.9f, 0.1f, 0.5f};  // 1 x 2
  std::vector<float> dst(1 * 4 * 3);
  bilinear_resize_hwc(src, 1, 2, dst, 1, 4);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(dst[k], 1.25f * src[k] - 0.25f * src[3 + k]) << k;
    EXPECT_EQ(dst[9 + k], src[3 + k]) << k;
  }
}

TEST(BilinearResize, MatchesTheFormulaOnRandomFrames) {
  const std::tuple<int, int, int, int> sizes[] = {
      {8, 6, 16, 12}, {5, 3, 17, 11}, {16, 12, 5, 7}, {3, 9, 3, 4}, {200, 150, 400, 300}};
  for (auto [sw, sh, dw, dh] : sizes) {
    const auto src = random_frame(sw, sh, unsigned(sw * 100 + dh));
    std::vector<float> dst(uint64_t(dw) * dh * 3);
    bilinear_resize_hwc(src, sw, sh, dst, dw, dh);
    const auto want = naive_resize(src, sw, sh, dw, dh);
    for (size_t i = 0; i < dst.size(); ++i)
      ASSERT_EQ(bits(dst[i]), bits(want[i])) << sw << "x" << sh << " -> " << dw << "x" << dh;
  }
}

TEST(BilinearResize, ZeroDestinationLeavesItUntouched) {
  const auto src = random_frame(4, 4, 3);
  std::vector<float> dst(12, 7.0f);
  bilinear_resize_hwc(src, 4, 4, dst, 0, 4);
  bilinear_resize_hwc(src, 4, 4, dst, 4, 0);
  EXPECT_EQ(dst, std::vector<float>(12, 7.0f));
}

TEST(BilinearResizeDeathTest, ShortBufferStopsTheProgram) {
  const std::vector<float> src(10);
  std::vector<float> dst(12);
  EXPECT_DEATH(bilinear_resize_hwc(src, 2, 2, dst, 2, 2), "buffer shorter");
}

TEST(EsrganPlan, WholeFrameForFastModelsUpTo4kOutput) {
  EsrganPlan p = esrgan_plan("tessel-fast", 512, 1920, 1080, 2, 2);
  EXPECT_EQ(p.tile_w, 1920u);
  EXPECT_EQ(p.tile_h, 1080u);
  EXPECT_FALSE(p.second_session);
  p = esrgan_plan("tessel-fast", 512, 1920, 1080, 3, 2);
  EXPECT_EQ(p.tile_w, 512u);
  EXPECT_EQ(p.tile_h, 512u);
  p = esrgan_plan("nettra", 512, 1280, 720, 2, 0);
  EXPECT_EQ(p.tile_w, 1280u);
  EXPECT_EQ(p.tile_h, 720u);
  // An odd side keeps the requested size.
  p = esrgan_plan("nettra", 512, 1281, 720, 2, 0);
  EXPECT_EQ(p.tile_w, 512u);
  EXPECT_EQ(p.tile_h, 512u);
  // Names are whole and case-sensitive.
  p = esrgan_plan("Tessel-fast", 512, 1920, 1080, 2, 0);
  EXPECT_EQ(p.tile_w, 512u);
}

TEST(EsrganPlan, TileRoundedDownToEvenAtLeastTwoWithinTheFrame) {
  EsrganPlan p = esrgan_plan("x", 513, 1920, 1080, 2, 2);
  EXPECT_EQ(p.tile_w, 512u);
  EXPECT_EQ(p.tile_h, 512u);
  p = esrgan_plan("x", 1, 1920, 1080, 2, 2);
  EXPECT_EQ(p.tile_w, 2u);
  EXPECT_EQ(p.tile_h, 2u);
  p = esrgan_plan("x", 1000, 641, 361, 2, 2);
  EXPECT_EQ(p.tile_w, 640u);
  EXPECT_EQ(p.tile_h, 360u);
}

TEST(EsrganPlan, SecondSessionOnlyForTwoModelsOnAllComputeUnits) {
  EXPECT_TRUE(esrgan_plan("sorvan", 256, 640, 360, 2, 0).second_session);
  EXPECT_TRUE(esrgan_plan("tessel", 256, 640, 360, 2, 0).second_session);
  EXPECT_FALSE(esrgan_plan("sorvan", 256, 640, 360, 2, 2).second_session);
  EXPECT_FALSE(esrgan_plan("sorvan", 256, 640, 360, 2, 1).second_session);
  EXPECT_FALSE(esrgan_plan("tessel-fast", 256, 640, 360, 2, 0).second_session);
}

TEST(Lines, StartLine) {
  tile::TileGrid g;
  g.width = 1920;
  g.height = 1080;
  g.tile_w = 651;
  g.tile_h = 371;
  g.cols = 3;
  g.rows = 3;
  g.scale = 2;
  g.step_x = 634.6f;
  g.step_y = 354.4f;
  EXPECT_EQ(esrgan_start_line(1920, 1080, "30000/1001", g),
            "input 1920x1080 @ 30000/1001 → 3840x2160 (2x), tiles: 651x371 = 9 (3 cols × 3 rows, "
            "overlap 635x354)\n");
  tile::TileGrid whole;
  whole.width = whole.tile_w = 64;
  whole.height = whole.tile_h = 48;
  whole.scale = 4;
  EXPECT_EQ(esrgan_start_line(64, 48, "25/1", whole),
            "input 64x48 @ 25/1 → 256x192 (4x), tiles: 64x48 = 1 (1 cols × 1 rows, overlap 0x0)\n");
  g.tile_w = 288;
  g.tile_h = 288;
  g.cols = 7;
  g.rows = 4;
  EXPECT_EQ(fgnet_start_line(1920, 1080, g),
            "fgnet: 1920x1080 → 3840x2160 (2x), tile 288x288, 28 tiles\n");
}

TEST(Lines, ProgressWithAndWithoutTotal) {
  Progress p = progress_figures(10, 25, 2.0);
  EXPECT_DOUBLE_EQ(p.fps, 5.0);
  EXPECT_DOUBLE_EQ(p.ms_per_frame, 200.0);
  EXPECT_DOUBLE_EQ(p.eta_s, 3.0);
  EXPECT_EQ(esrgan_progress_line(10, p, 12.4),
            "frame 10/25: 5.0 fps, 200 ms/frame, infer 12 ms/tile avg, ETA 3s\n");
  EXPECT_EQ(fgnet_progress_line(10, p, 12.6), "frame 10/25: 5.0 fps, infer 13 ms/tile, ETA 3s\n");

  p = progress_figures(1, 0, 0.25);
  EXPECT_EQ(esrgan_progress_line(1, p, 0.0),
            "frame 1: 4.0 fps, 250 ms/frame, infer 0 ms/tile avg, ETA 0s\n");
  EXPECT_EQ(fgnet_progress_line(1, p, 0.0), "frame 1: 4.0 fps, infer 0 ms/tile, ETA 0s\n");

  // More frames than the probe announced: no negative ETA.
  p = progress_figures(30, 20, 3.0);
  EXPECT_EQ(p.eta_s, 0.0);
  EXPECT_EQ(p.total_text, "/20");
}

TEST(Lines, Summaries) {
  EXPECT_EQ(esrgan_summary(25, 5.0, 40.25, 50, "out.mp4"),
            "\ndone: 25 frames in 5.0s = 5.00 fps\ninference: 40.2 ms/tile avg on the first "
            "session (50 tiles total)\noutput: out.mp4\n\n");
  EXPECT_EQ(esrgan_summary(0, 0.5, 0.0, 0, "o.mov"),
            "\ndone: 0 frames in 0.5s = 0.00 fps\ninference: 0.0 ms/tile avg on the first "
            "session (0 tiles total)\noutput: o.mov\n\n");
  EXPECT_EQ(fgnet_summary(3, 1.5, 9.96, 6, "f.mp4"),
            "\ndone: 3 frames in 1.5s = 2.00 fps\ninference: 10.0 ms/tile avg (6 tiles)\noutput: "
            "f.mp4\n\n");
}

// A frame whose value encodes its position and channel, for tracing copies.
float tag(uint64_t x, uint64_t y, uint64_t k, float plane) {
  return plane + static_cast<float>(y * 1000 + x * 4 + k);
}

TEST(FgnetTileInput, PadsPastTheFrameAndCarriesPreviousFramesInOrder) {
  const uint64_t w = 200, h = 150, s = 2, t = 288, c = 18;
  std::vector<float> cur(w * h * 3), lr(w * h * 3), hr(w * h * 3 * s * s);
  for (uint64_t y = 0; y < h; ++y)
    for (uint64_t x = 0; x < w; ++x)
      for (uint64_t k = 0; k < 3; ++k) {
        cur[(y * w + x) * 3 + k] = tag(x, y, k, 0.0f);
        lr[(y * w + x) * 3 + k] = tag(x, y, k, 1e6f);
      }
  for (uint64_t y = 0; y < h * s; ++y)
    for (uint64_t x = 0; x < w * s; ++x)
      for (uint64_t k = 0; k < 3; ++k)
        hr[(y * w * s + x) * 3 + k] = tag(x, y, k, 2e6f);

  const tile::Tile one{0, 0, 200, 150, 0, 0};
  const std::vector<float> in = fgnet_tile_input(one, cur, lr, hr, w, h, s, t);
  ASSERT_EQ(in.size(), t * t * c);
  for (uint64_t r : {0ull, 1ull, 149ull, 150ull, 287ull}) {
    for (uint64_t col : {0ull, 7ull, 199ull, 200ull, 287ull}) {
      const uint64_t gx = std::min<uint64_t>(col, 199), gy = std::min<uint64_t>(r, 149);
      const float* px = in.data() + (r * t + col) * c;
      for (uint64_t k = 0; k < 3; ++k) {
        EXPECT_EQ(px[k], tag(gx, gy, k, 0.0f));
        EXPECT_EQ(px[3 + k], tag(gx, gy, k, 1e6f));
      }
      for (uint64_t dy = 0; dy < 2; ++dy)
        for (uint64_t dx = 0; dx < 2; ++dx)
          for (uint64_t k = 0; k < 3; ++k)
            EXPECT_EQ(px[6 + 3 * (dy * 2 + dx) + k], tag(2 * gx + dx, 2 * gy + dy, k, 2e6f))
                << r << "," << col;
    }
  }
}

TEST(FgnetTileInput, InnerTileRepeatsItsOwnEdgeAndScaleThreeHas33Channels) {
  const uint64_t w = 20, h = 10, s = 3, t = 8, c = 33;
  std::vector<float> cur(w * h * 3), lr(w * h * 3), hr(w * h * 3 * s * s);
  for (uint64_t i = 0; i < cur.size(); ++i)
    cur[i] = float(i);
  for (uint64_t i = 0; i < hr.size(); ++i)
    hr[i] = float(i) + 0.5f;
  // A clipped tile narrower than T: columns from w on repeat its last column.
  const tile::Tile clipped{14, 4, 6, 5, 1, 1};
  const std::vector<float> in = fgnet_tile_input(clipped, cur, lr, hr, w, h, s, t);
  ASSERT_EQ(in.size(), t * t * c);
  const uint64_t r = 7, col = 7;  // beyond both edges of the tile
  const uint64_t gx = 14 + 5, gy = 4 + 4;
  const float* px = in.data() + (r * t + col) * c;
  EXPECT_EQ(px[0], cur[(gy * w + gx) * 3]);
  EXPECT_EQ(px[3], 0.0f);
  for (uint64_t dy = 0; dy < 3; ++dy)
    for (uint64_t dx = 0; dx < 3; ++dx)
      EXPECT_EQ(px[6 + 3 * (dy * 3 + dx) + 2], hr[((3 * gy + dy) * w * 3 + 3 * gx + dx) * 3 + 2]);
}

class OutputGuard : public ::testing::Test {
 protected:
  testing::TempDir dir;
  fs::path in = dir / "in.mp4";
  void SetUp() override { testing::write_file(in, "video bytes"); }
};

TEST_F(OutputGuard, RefusesTheInputUnderAnySpelling) {
  fs::create_directory(dir / "sub");
  fs::create_symlink(in, dir / "link.mp4");
  fs::create_hard_link(in, dir / "hard.mp4");
  const std::string file = "file:" + in.string();
  // {input, output}: ffmpeg opens "file:<path>" as <path>.
  const std::pair<std::string, std::string> spellings[] = {
      {in.string(), in.string()},
      {in.string(), (dir / "sub" / ".." / "in.mp4").string()},
      {in.string(), (dir / "." / "in.mp4").string()},
      {in.string(), (dir / "link.mp4").string()},
      {in.string(), (dir / "hard.mp4").string()},
      {in.string(), file},
      {file, in.string()},
      {file, file},
      {file, "file:" + (dir / "link.mp4").string()},
  };
  for (const auto& [input, out] : spellings) {
    Status st = check_output_is_not_input(input, out);
    ASSERT_FALSE(st) << input << " " << out;
    EXPECT_EQ(st.error().message(),
              "the output " + out +
                  " is the input file itself; writing it would destroy the input (choose another "
                  "output path)");
  }
}

TEST_F(OutputGuard, RelativeSpellingOfTheSamePath) {
  const fs::path old = fs::current_path();
  fs::current_path(dir.path());
  Status st = check_output_is_not_input("in.mp4", in.string());
  Status prefixed = check_output_is_not_input("in.mp4", "file:in.mp4");
  Status missing = check_output_is_not_input("gone.mp4", "./gone.mp4");
  fs::current_path(old);
  EXPECT_FALSE(st);
  EXPECT_FALSE(prefixed);
  // Even when neither file exists the spellings are recognised.
  EXPECT_FALSE(missing);
}

TEST_F(OutputGuard, AcceptsOtherFiles) {
  EXPECT_TRUE(check_output_is_not_input(in.string(), (dir / "out.mp4").string()));
  testing::write_file(dir / "other.mp4", "video bytes");
  EXPECT_TRUE(check_output_is_not_input(in.string(), (dir / "other.mp4").string()));
  EXPECT_TRUE(check_output_is_not_input(in.string(), (dir / "missing" / "out.mp4").string()));
}

}  // namespace
}  // namespace lmr::pipeline
