// The job driver with a fake source and sink around real sessions, the
// multi-input blending, and the decisions and lines of a job, as tables.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <sstream>
#include <tuple>

#include "convert.h"
#include "pipeline_internal.h"
#include "testing.h"
#include "text.h"

namespace lmr::pipeline {
namespace {

namespace fs = std::filesystem;
using inference::Ep;
using inference::OnnxBackend;

enum class Fault { none, decoder, write, finish };

// Delivers `frames` copies of `frame`, then the end (or the decoder's
// error); keeps what it is given, failing at the third write or the finish.
struct FakeVideo : FrameSource, FrameSink {
  std::vector<uint8_t> frame;
  uint64_t frames = 0;
  Fault fault = Fault::none;
  std::vector<std::vector<uint8_t>> written;
  bool finished = false;
  Result<std::optional<std::span<const uint8_t>>> next_frame() override {
    if (frames == 0 && fault == Fault::decoder)
      return fail("decoder failed: simulated");
    if (frames == 0)
      return std::nullopt;
    --frames;
    return std::span<const uint8_t>(frame);
  }
  Status write_frame(std::span<const uint8_t> f) override {
    if (fault == Fault::write && written.size() == 2)
      return fail("encoder failed: simulated");
    written.emplace_back(f.begin(), f.end());
    return {};
  }
  Status finish() override {
    finished = true;
    return fault == Fault::finish ? fail("encoder exited with exit status: 1: simulated")
                                  : Status{};
  }
};

// The frame labels of the progress lines and the summary: "1/30 10/30 done 12".
std::string printed_frames(const std::string& printed) {
  std::string seen;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("frame "))
      seen += line.substr(6, line.find(':') - 6) + " ";
    if (line.starts_with("done: "))
      seen += "done " + line.substr(6, line.find(' ', 6) - 6);
  }
  return seen;
}

TEST(Job, FramesFromTheSourceThroughTheModelIntoTheSink) {
  constexpr Family kS = Family::single_frame, kM = Family::multi_input;
  constexpr uint64_t kAll = UINT64_MAX;
  struct Row {
    Family family;
    const char* model;
    uint64_t scale, frames, max_frames;
    Fault fault;
    std::string error, printed;
    uint64_t written;
  };
  const Row rows[] = {
      {kS, "nn2x.onnx", 2, 30, kAll, Fault::none, "", "1/30 10/30 20/30 30/30 done 30", 30},
      {kS, "nn2x.onnx", 2, 30, 12, Fault::none, "", "1/30 10/30 done 12", 12},
      {kS, "nn2x.onnx", 2, 30, 0, Fault::none, "", "done 0", 0},
      {kS, "nn2x.onnx", 2, 5, kAll, Fault::none, "", "1/30 done 5", 5},
      {kM, "fgnet2x.onnx", 2, 30, 10, Fault::none, "", "1/30 10/30 done 10", 10},
      {kS, "nn2x.onnx", 2, 2, kAll, Fault::decoder, "decoder failed: simulated", "1/30 ", 2},
      {kS, "nn2x.onnx", 2, 30, kAll, Fault::write, "encoder failed: simulated", "1/30 ", 2},
      {kS, "nn2x.onnx", 2, 30, 1, Fault::finish, "encoder exited with exit status: 1: simulated",
       "1/30 ", 1},
      {kS, "identity.onnx", 2, 30, kAll, Fault::none,
       "model output for a 16x8 tile has 384 values, expected 1536 (3 x 16 x 32 for a 2x model)",
       "", 0},
      {kS, "nn2x.onnx", 1, 30, kAll, Fault::none,
       "model output for a 16x8 tile has 1536 values, expected 384 (3 x 8 x 16 for a 1x model)", "",
       0},
      {kM, "nan.onnx", 2, 30, kAll, Fault::none,
       "model output has 1492992 values; a 288x288 tile at 2x needs 995328 (1 x 576 x 576 x 3)", "",
       0},
  };
  std::mt19937 rng(7);
  std::vector<uint8_t> frame(16 * 8 * 3);
  for (auto& b : frame)
    b = static_cast<uint8_t>(rng());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.model + (" " + row.printed));
    UpscaleConfig config;
    config.model = testing::model(row.model).string();
    config.scale = row.scale;
    config.ep = Ep::cpu;
    video::VideoInfo info;
    info.width = 16;
    info.height = 8;
    FakeVideo video;
    video.frame = frame;
    video.frames = row.frames;
    video.fault = row.fault;
    ::testing::internal::CaptureStderr();
    auto upscaler = make_upscaler(row.family, config, info);
    ASSERT_TRUE(upscaler) << upscaler.error().message();
    Status st = run_frames(**upscaler, video, video, row.max_frames, 30, "o.mp4");
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(st ? "" : st.error().message(), row.error);
    EXPECT_EQ(printed_frames(printed), row.printed) << printed;
    EXPECT_EQ(video.written.size(), row.written);
    EXPECT_EQ(video.finished, row.error.empty() || row.fault == Fault::finish);
    // The nearest-neighbour models give the nearest enlargement.
    for (const auto& out : video.written) {
      for (uint64_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], frame[(i / 3 / 32 / 2 * 16 + i / 3 % 32 / 2) * 3 + i % 3]) << i;
    }
  }
}

// Two tiles on each axis and a model whose output rises across the tile:
// without the feather ramps the second tile's edge is a step of 35 levels;
// with them neighbouring pixels differ by a few levels at most. The nearest
// model gives the nearest enlargement through the same tiles.
TEST(MultiInput, OverlappingTilesAreFeatheredOnBothAxes) {
  const uint64_t w = 100, h = 100, s = 2, t = 64, ow = w * s, oh = h * s;
  std::vector<uint8_t> bytes(w * h * 3);
  std::mt19937 rng(8);
  for (auto& b : bytes)
    b = static_cast<uint8_t>(rng());
  const std::vector<float> frame = convert::rgb_to_f32(bytes), black(frame.size());
  const std::vector<float> hr(frame.size() * s * s);
  const tile::TileGrid grid = tile::TileGrid::from_tile_size(w, h, t, t, 16, s);
  ASSERT_EQ(grid.cols * grid.rows, 4u);
  auto run = [&](const char* model, const std::vector<float>& in) {
    auto session = OnnxBackend::load(testing::model(model).string(), Ep::cpu, {});
    auto out = fgnet_process_frame(in, in, hr, w, h, s, t, grid, *session);
    EXPECT_EQ(session->infer_tiles(), 4u);
    return convert::f32_to_rgb(*out);
  };
  const std::vector<uint8_t> ramp = run("fgnetramp2x.onnx", black);
  int largest_x = 0, largest_y = 0;
  for (uint64_t y = 0; y + 1 < oh; ++y) {
    for (uint64_t x = 0; x + 1 < ow; ++x) {
      const int v = ramp[(y * ow + x) * 3];
      largest_x = std::max(largest_x, std::abs(ramp[(y * ow + x + 1) * 3] - v));
      largest_y = std::max(largest_y, std::abs(ramp[((y + 1) * ow + x) * 3] - v));
    }
  }
  EXPECT_LE(largest_x, 3);
  EXPECT_LE(largest_y, 3);
  const std::vector<uint8_t> nearest = run("fgnet2x_dyn.onnx", frame);
  for (uint64_t i = 0; i < nearest.size(); ++i) {
    const uint64_t x = i / 3 % ow, y = i / 3 / ow;
    ASSERT_EQ(nearest[i], bytes[(y / 2 * w + x / 2) * 3 + i % 3]) << i;
  }
}

// Hands out its frames in turn and keeps what it is given.
struct Sequence : FrameSource, FrameSink {
  std::vector<std::vector<uint8_t>> frames;
  size_t next = 0;
  std::vector<std::vector<uint8_t>> written;
  Result<std::optional<std::span<const uint8_t>>> next_frame() override {
    if (next == frames.size())
      return std::nullopt;
    return std::span<const uint8_t>(frames[next++]);
  }
  Status write_frame(std::span<const uint8_t> f) override {
    written.emplace_back(f.begin(), f.end());
    return {};
  }
  Status finish() override { return {}; }
};

// Frames written and tiles run by one job over `frames`.
struct Ran {
  std::vector<std::vector<uint8_t>> written;
  uint64_t tiles = 0;
  std::string printed;
};

Ran run_job(Family family,
            UpscaleConfig config,
            uint64_t w,
            uint64_t h,
            const std::vector<std::vector<uint8_t>>& frames) {
  video::VideoInfo info;
  info.width = w;
  info.height = h;
  Sequence video;
  video.frames = frames;
  ::testing::internal::CaptureStderr();
  auto upscaler = make_upscaler(family, config, info);
  Status st = upscaler ? run_frames(**upscaler, video, video, UINT64_MAX, frames.size(), "o.mp4")
                       : Status(std::unexpected(upscaler.error()));
  Ran ran{std::move(video.written), 0, ::testing::internal::GetCapturedStderr()};
  EXPECT_TRUE(st) << st.error().message();
  if (upscaler)
    ran.tiles = (*upscaler)->tiles_ran();
  return ran;
}

// Every frame of a job with reuse is bit-identical to the same job without
// it, whatever changes between frames and wherever; only the tiles whose
// input holds a changed pixel run again.
TEST(Reuse, SinkFramesBitIdenticalWithAndWithout) {
  constexpr Family kS = Family::single_frame, kM = Family::multi_input;
  enum Change { kHeld, kMovingObject, kPixel, kTwoPixels, kCut, kFade, kBackAndForth, kFirstOnly };
  struct Row {
    const char* what;
    Family family;
    const char* model;
    uint64_t w, h;
    std::optional<std::string> name;  // catalogue plan, else --tile
    uint64_t tile, overlap;
    Change change;
    uint64_t px, py;  // the pixel changed in frame 2 (kPixel)
  };
  const Row rows[] = {
      // Grid: 3x2 tiles of 28x28 at x 0 18 36, y 0 20; overlaps x 18-27, 36-45, y 20-27.
      {"held frames", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kHeld, 0, 0},
      {"first frame", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kFirstOnly, 0, 0},
      {"small object moving on a still background", kS, "conv2x.onnx", 64, 48, "x", 32, 8,
       kMovingObject, 0, 0},
      {"pixel at a tile's inner margin", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kPixel, 2, 17},
      {"pixel at a tile's corner", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kPixel, 36, 20},
      {"pixel in the overlap of four tiles", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kPixel, 40, 25},
      {"pixel at the frame's corner", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kPixel, 63, 47},
      {"scene cut", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kCut, 0, 0},
      {"fade", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kFade, 0, 0},
      {"a change and back", kS, "conv2x.onnx", 64, 48, "x", 32, 8, kBackAndForth, 0, 0},
      {"position in the tile", kS, "ramp2x.onnx", 64, 48, "x", 32, 8, kPixel, 27, 27},
      {"position in the tile, held", kS, "ramp2x.onnx", 64, 48, std::nullopt, 24, 8, kMovingObject,
       0, 0},
      // Odd sides under the tile: one padded 46x34 model input.
      {"odd frame, padded tile", kS, "ramp2x.onnx", 45, 33, "x", 64, 16, kPixel, 44, 32},
      {"odd frame, padded tile, --tile", kS, "conv2x.onnx", 45, 33, std::nullopt, 64, 16,
       kMovingObject, 0, 0},
      {"multi-input family", kM, "fgnet2x_dyn.onnx", 64, 48, std::nullopt, 32, 8, kHeld, 0, 0},
      // A local model (radius 3) runs the changed part of a tile alone.
      {"local: pixel at a tile's inner margin", kS, "local2x.onnx", 64, 48, "x", 32, 8, kPixel, 2,
       17},
      {"local: pixel at a tile's corner", kS, "local2x.onnx", 64, 48, "x", 32, 8, kPixel, 36, 20},
      {"local: pixel in the overlap of four tiles", kS, "local2x.onnx", 64, 48, "x", 32, 8, kPixel,
       40, 25},
      {"local: crop at a tile's top and right edges", kS, "local2x.onnx", 64, 48, "x", 32, 8,
       kPixel, 44, 1},
      {"local: crop at a tile's left and bottom edges", kS, "local2x.onnx", 64, 48, "x", 32, 8,
       kPixel, 19, 26},
      {"local: pixel at the frame's corner", kS, "local2x.onnx", 64, 48, "x", 32, 8, kPixel, 63,
       47},
      {"local: pixel inside a large tile", kS, "local2x.onnx", 160, 120, "x", 64, 8, kPixel, 70,
       50},
      {"local: two changes apart in a tile, two crops", kS, "local2x.onnx", 160, 120, "x", 160, 8,
       kTwoPixels, 20, 30},
      {"local: small object moving on a still background", kS, "local2x.onnx", 64, 48, "x", 32, 8,
       kMovingObject, 0, 0},
      {"local: scene cut", kS, "local2x.onnx", 64, 48, "x", 32, 8, kCut, 0, 0},
      {"local: fade", kS, "local2x.onnx", 64, 48, "x", 32, 8, kFade, 0, 0},
      {"local: a change and back", kS, "local2x.onnx", 64, 48, "x", 32, 8, kBackAndForth, 0, 0},
      {"local: odd frame, crop in the padding", kS, "local2x.onnx", 45, 33, "x", 64, 16, kPixel, 44,
       32},
      {"local: odd frame, --tile", kS, "local2x.onnx", 45, 33, std::nullopt, 64, 16, kMovingObject,
       0, 0},
  };
  std::mt19937 rng(22);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const uint64_t w = row.w, h = row.h;
    std::vector<uint8_t> first(w * h * 3), other(w * h * 3);
    for (auto& b : first)
      b = static_cast<uint8_t>(rng());
    for (auto& b : other)
      b = static_cast<uint8_t>(rng());
    std::vector<std::vector<uint8_t>> frames{first};
    auto set = [&](std::vector<uint8_t>& f, uint64_t x, uint64_t y, uint8_t v) {
      for (uint64_t k = 0; k < 3; ++k)
        f[(y * w + x) * 3 + k] = v;
    };
    switch (row.change) {
      case kFirstOnly:
        break;
      case kHeld:
        frames = {first, first, first};
        break;
      case kMovingObject:
        for (uint64_t i = 0; i < 5; ++i) {
          std::vector<uint8_t> f = first;
          for (uint64_t y = 10; y < 14; ++y)
            for (uint64_t x = 3 + 4 * i; x < 7 + 4 * i; ++x)
              set(f, x, y, 255);
          frames.push_back(f);
          frames.push_back(f);  // drawn on twos
        }
        break;
      case kPixel:
        frames.push_back(first);
        frames.back()[(row.py * w + row.px) * 3 + 1] ^= 1;
        break;
      case kTwoPixels:
        frames.push_back(first);
        frames.back()[(row.py * w + row.px) * 3 + 1] ^= 1;
        frames.back()[((row.py + 80) * w + row.px + 100) * 3] ^= 4;
        break;
      case kCut:
        frames = {first, first, other, other};
        break;
      case kFade:
        for (int step = 1; step < 5; ++step) {
          std::vector<uint8_t> f = first;
          for (auto& b : f)
            b = static_cast<uint8_t>(b * (5 - step) / 5);
          frames.push_back(f);
        }
        break;
      case kBackAndForth:
        frames = {first, other, first, first};
        break;
    }
    UpscaleConfig config;
    config.model = testing::model(row.model).string();
    config.ep = Ep::cpu;
    config.overlap = row.overlap;
    config.tile_w = config.tile_h = row.tile;
    config.model_name = row.name;
    config.reuse = false;
    const Ran plain = run_job(row.family, config, w, h, frames);
    config.reuse = true;
    const Ran reused = run_job(row.family, config, w, h, frames);
    ASSERT_EQ(plain.written.size(), frames.size());
    ASSERT_EQ(reused.written.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
      ASSERT_TRUE(plain.written[i] == reused.written[i]) << "frame " << i;
    // Reuse only where it can be exact, and then wherever it can.
    const uint64_t per_frame = plain.tiles / frames.size();
    if (row.family == kM) {
      EXPECT_EQ(reused.tiles, plain.tiles);
    } else if (row.change == kHeld) {
      EXPECT_EQ(reused.tiles, per_frame);
    } else if (row.change == kPixel) {
      // Just the tiles that hold the pixel run again.
      const EsrganPlan plan = esrgan_plan("x", row.tile, w, h, 2, Ep::cpu, row.overlap);
      const tile::TileGrid grid =
          tile::TileGrid::from_tile_size(w, h, plan.tile_w, plan.tile_h, row.overlap, 2);
      uint64_t holding = 0;
      for (const tile::Tile& t : grid.tiles())
        holding += row.px >= t.x && row.px < t.x + t.w && row.py >= t.y && row.py < t.y + t.h;
      EXPECT_EQ(reused.tiles, per_frame + holding);
    } else if (row.change == kFade || row.change == kCut || row.change == kFirstOnly ||
               row.change == kTwoPixels) {
      EXPECT_EQ(reused.tiles, plain.tiles - (row.change == kCut ? 2 * per_frame : 0));
    } else {
      EXPECT_LT(reused.tiles, plain.tiles);
    }
    // Parts of tiles run only for a local model, and for a changed pixel
    // always (a crop of 13 pixels square is under the share of any tile
    // here).
    const bool local = std::string(row.model) == "local2x.onnx";
    const bool in_part = reused.printed.find(" tiles run in part, ") != std::string::npos;
    if (!local || row.change == kPixel || row.change == kTwoPixels || row.change == kMovingObject) {
      EXPECT_EQ(in_part, local) << reused.printed;
    }
    if (row.change == kTwoPixels) {
      // Two crops of 13 x 13 of the 160 x 120 tile, not one over both.
      EXPECT_NE(reused.printed.find("; 1 tiles run in part, 49.1% of the model's input pixels"),
                std::string::npos)
          << reused.printed;
    }
    if (row.family == kS) {
      EXPECT_EQ(plain.printed.find("reuse: "), std::string::npos);
      EXPECT_NE(reused.printed.find(text::format("\nreuse: %llu of %llu tiles",
                                                 (unsigned long long)(plain.tiles - reused.tiles),
                                                 (unsigned long long)plain.tiles)),
                std::string::npos)
          << reused.printed;
    }
  }
}

// The table above can see a wrong crop: a model that claims a receptive
// radius one short of its own gives frames that differ near the changed
// pixel, where its crops' edges cut into what the outputs read.
TEST(Reuse, ARadiusTooShortShowsInTheFrames) {
  const uint64_t w = 160, h = 120;
  std::mt19937 rng(7);
  std::vector<uint8_t> first(w * h * 3);
  for (auto& b : first)
    b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> second = first;
  second[(50 * w + 70) * 3] ^= 0x40;
  UpscaleConfig config;
  config.model = testing::model("local2x_short.onnx").string();
  config.ep = Ep::cpu;
  config.overlap = 8;
  config.tile_w = config.tile_h = 64;
  config.model_name = "x";
  config.reuse = false;
  const Ran plain = run_job(Family::single_frame, config, w, h, {first, second});
  config.reuse = true;
  const Ran reused = run_job(Family::single_frame, config, w, h, {first, second});
  ASSERT_EQ(reused.written.size(), 2u);
  EXPECT_TRUE(plain.written[0] == reused.written[0]);
  EXPECT_FALSE(plain.written[1] == reused.written[1]);
  EXPECT_NE(reused.printed.find(" tiles run in part, "), std::string::npos) << reused.printed;
}

// The plan's model input, and the grid it gives with overlap 16: as few
// tiles as the catalogue's side allows, shrunk evenly to cover the frame.
TEST(EsrganPlan, Table) {
  struct Row {
    const char* name;
    uint64_t tile, w, h, scale;
    Ep ep;
    uint64_t tile_w, tile_h;
    bool second;
    const char* grid;  // cols x rows
  };
  const Row rows[] = {
      {"tessel-fast", 512, 1920, 1080, 2, Ep::cpu, 1920, 1080, false, "1x1"},  // 4K output exactly
      {"tessel-fast", 512, 1920, 1080, 3, Ep::cpu, 492, 372, false, "4x3"},
      {"nettra", 512, 1281, 720, 2, Ep::coreml_all, 438, 368, false, "3x2"},  // odd side
      {"Tessel-fast", 512, 1920, 1080, 2, Ep::coreml_all, 492, 372, false, "4x3"},
      {"x", 513, 1920, 1080, 2, Ep::cpu, 492, 372, false, "4x3"},
      {"x", 512, 1280, 720, 2, Ep::cpu, 438, 368, false, "3x2"},
      {"x", 512, 3840, 2160, 2, Ep::cpu, 494, 446, false, "8x5"},
      {"x", 1, 20, 10, 2, Ep::cpu, 2, 2, false, "19x9"},
      // Odd sides under the tile: one tile, the input one pixel larger.
      {"x", 1000, 641, 361, 2, Ep::cpu, 642, 362, false, "1x1"},
      {"x", 512, 481, 271, 2, Ep::cpu, 482, 272, false, "1x1"},
      {"x", 512, 853, 480, 2, Ep::cpu, 436, 480, false, "2x1"},
      {"x", 512, 1, 1, 2, Ep::cpu, 2, 2, false, "1x1"},
      {"sorvan", 256, 640, 360, 2, Ep::coreml_all, 224, 188, true, "3x2"},
      {"tessel", 256, 640, 360, 2, Ep::coreml_all, 224, 188, true, "3x2"},
      {"sorvan", 256, 640, 360, 2, Ep::coreml_cpu_and_neural_engine, 224, 188, false, "3x2"},
      {"tessel-fast", 256, 640, 360, 2, Ep::coreml_all, 640, 360, false, "1x1"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(text::format("%s %llu %llux%llu", r.name, (unsigned long long)r.tile,
                              (unsigned long long)r.w, (unsigned long long)r.h));
    const EsrganPlan p = esrgan_plan(r.name, r.tile, r.w, r.h, r.scale, r.ep, 16);
    EXPECT_EQ(std::tuple(p.tile_w, p.tile_h, p.second_session),
              std::tuple(r.tile_w, r.tile_h, r.second));
    const tile::TileGrid g = tile::TileGrid::from_tile_size(r.w, r.h, p.tile_w, p.tile_h, 16, 2);
    EXPECT_EQ(text::format("%llux%llu", (unsigned long long)g.cols, (unsigned long long)g.rows),
              r.grid);
    // Every tile the session's size, but where it is longer than the frame.
    for (const tile::Tile& t : g.tiles()) {
      ASSERT_EQ(t.w, std::min(p.tile_w, r.w));
      ASSERT_EQ(t.h, std::min(p.tile_h, r.h));
    }
  }
  // The side of --tile: even, and one padded tile where it covers the axis.
  const std::tuple<uint64_t, uint64_t, uint64_t> sides[] = {
      {513, 1920, 512}, {101, 300, 100}, {44, 45, 44}, {45, 45, 46},
      {64, 45, 46},     {46, 46, 46},    {1, 10, 2},   {0, 1, 2},
  };
  for (const auto& [tile, extent, side] : sides)
    EXPECT_EQ(even_tile(tile, extent), side) << tile << " on " << extent;
  // The catalogue's 512 at the common sizes: at most 1.10 times the pixels.
  for (const auto& [w, h] :
       {std::pair<uint64_t, uint64_t>{1280, 720}, {1920, 1080}, {3840, 2160}}) {
    const EsrganPlan p = esrgan_plan("anime-video", 512, w, h, 2, Ep::cpu, 16);
    const tile::TileGrid g = tile::TileGrid::from_tile_size(w, h, p.tile_w, p.tile_h, 16, 2);
    EXPECT_LE(static_cast<double>(g.cols * g.rows * p.tile_w * p.tile_h),
              1.10 * static_cast<double>(w * h))
        << w << "x" << h;
  }
}

TEST(FrameSize, RefusesWhatFfmpegOrTheMemoryCannotTake) {
  const std::tuple<uint64_t, uint64_t, uint64_t, std::string> rows[] = {
      {8000, 8000, 2, ""},
      {8160, 8160, 2, "output frame size 8160x8160 at 2x is too large"},  // once padded
      {100000, 100000, 2, "output frame size 100000x100000 at 2x is too large"},
      {UINT64_MAX / 2, 1, 4, "output frame size 9223372036854775807x1 at 4x is too large"},
      {0, 10, 2, "input frame size 0x10 has no pixels"},
  };
  for (const auto& [w, h, scale, message] : rows) {
    Status st = check_frame_size(w, h, scale);
    EXPECT_EQ(st ? "" : st.error().message(), message) << w << "x" << h;
  }
}

TEST(Lines, BothFamilies) {
  const tile::TileGrid g = tile::TileGrid::from_tile_size(1920, 1080, 651, 371, 16, 2);
  EXPECT_EQ(start_line(Family::single_frame, 1920, 1080, "30000/1001", g),
            "input 1920x1080 @ 30000/1001 → 3840x2160 (2x), tiles: 651x371 = 9 (3 cols × 3 rows, "
            "overlap 634x354)\n");
  EXPECT_EQ(start_line(Family::multi_input, 1920, 1080, "25/1", g),
            "fgnet: 1920x1080 → 3840x2160 (2x), tile 651x371, 9 tiles\n");
  const Progress p = progress_figures(10, 25, 2.0), none = progress_figures(1, 0, 0.25);
  const Progress past = progress_figures(30, 20, 3.0);  // more frames than probed
  const std::tuple<Family, uint64_t, Progress, double, std::string> rows[] = {
      {Family::single_frame, 10, p, 12.4,
       "frame 10/25: 5.0 fps, 200 ms/frame, infer 12 ms/tile avg, ETA 3s\n"},
      {Family::single_frame, 1, none, 0.0,
       "frame 1: 4.0 fps, 250 ms/frame, infer 0 ms/tile avg, ETA 0s\n"},
      {Family::multi_input, 10, p, 12.6, "frame 10/25: 5.0 fps, infer 13 ms/tile, ETA 3s\n"},
      {Family::multi_input, 30, past, 1.0, "frame 30/20: 10.0 fps, infer 1 ms/tile, ETA 0s\n"},
  };
  for (const auto& [family, n, figures, ms, line] : rows)
    EXPECT_EQ(progress_line(family, n, figures, ms), line);
  EXPECT_EQ(summary(Family::single_frame, 25, 5.0, 40.25, 50, "out.mp4"),
            "\ndone: 25 frames in 5.0s = 5.00 fps\ninference: 40.2 ms/tile avg on the first "
            "session (50 tiles total)\noutput: out.mp4\n\n");
  EXPECT_EQ(summary(Family::multi_input, 3, 1.5, 9.96, 6, "f.mp4"),
            "\ndone: 3 frames in 1.5s = 2.00 fps\ninference: 10.0 ms/tile avg (6 tiles)\noutput: "
            "f.mp4\n\n");
  EXPECT_EQ(short_input_line(11, 25),
            "warning: the input ended after 11 of the 25 frames it "
            "announces; it may be truncated\n");
  // The probe's count may be estimated from the duration: a few frames
  // (two, or a twentieth) short is not a damaged input.
  const std::tuple<uint64_t, uint64_t, bool> ends[] = {
      {22, 25, true}, {23, 25, false}, {94, 100, true}, {95, 100, false},
      {0, 3, true},   {0, 2, false},   {5, 0, false},   {30, 20, false}};
  for (const auto& [n, total, said] : ends)
    EXPECT_EQ(short_input_line(n, total).has_value(), said) << n << " of " << total;
}

TEST(OutputGuard, RefusesTheInputUnderAnySpelling) {
  testing::TempDir dir;
  const std::string in = (dir / "in.mp4").string(), file = "file:" + in;
  testing::write_file(in, "video bytes");
  testing::write_file(dir / "other.mp4", "video bytes");
  fs::create_directory(dir / "sub");
  fs::create_symlink(in, dir / "link.mp4");
  fs::create_hard_link(in, dir / "hard.mp4");
  const fs::path old = fs::current_path();
  fs::current_path(dir.path());
  // {input, output, refused}: ffmpeg opens "file:<path>" as <path>.
  const std::tuple<std::string, std::string, bool> rows[] = {
      {in, in, true},
      {in, (dir / "sub" / ".." / "in.mp4").string(), true},
      {in, (dir / "link.mp4").string(), true},
      {in, (dir / "hard.mp4").string(), true},
      {file, "file:" + (dir / "link.mp4").string(), true},
      {"in.mp4", "file:in.mp4", true},
      {"gone.mp4", "./gone.mp4", true},  // neither exists: the spellings still match
      {in, (dir / "other.mp4").string(), false},
      {in, (dir / "missing" / "out.mp4").string(), false},
  };
  for (const auto& [input, output, refused] : rows) {
    Status st = check_output_is_not_input(input, output);
    EXPECT_EQ(st ? "" : st.error().message(),
              refused ? "the output " + output +
                            " is the input file itself; writing it would destroy the input (choose "
                            "another output path)"
                      : "")
        << input << " " << output;
  }
  fs::current_path(old);
}

}  // namespace
}  // namespace lmr::pipeline
