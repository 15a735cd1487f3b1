// The pipelines with real sessions and real ffmpeg children: frames through
// the tile runner, and whole jobs that fail, checked for leftovers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "pipeline.h"
#include "testing.h"
#include "video.h"

namespace lmr::pipeline {
namespace {

namespace fs = std::filesystem;
using inference::OnnxBackend;

std::vector<uint8_t> random_bytes(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v)
    b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint8_t> nearest(const std::vector<uint8_t>& f, uint64_t w, uint64_t h, uint64_t s) {
  std::vector<uint8_t> out(w * s * h * s * 3);
  for (uint64_t y = 0; y < h * s; ++y)
    for (uint64_t x = 0; x < w * s; ++x)
      for (uint64_t k = 0; k < 3; ++k)
        out[(y * w * s + x) * 3 + k] = f[((y / s) * w + x / s) * 3 + k];
  return out;
}

OnnxBackend load(const std::string& name, inference::Ep ep = 2) {
  auto b = OnnxBackend::load(testing::model(name).string(), ep, {});
  if (!b)
    throw std::runtime_error(b.error().message());
  return std::move(*b);
}

TEST(EsrganBackends, SecondSessionOnlyWhenThePlanAsks) {
  const EsrganPlan two = esrgan_plan("sorvan", 64, 128, 96, 2, 0);
  auto sessions = esrgan_backends(testing::model("nn2x.onnx").string(), 0, two);
  ASSERT_TRUE(sessions) << sessions.error().message();
  EXPECT_EQ(sessions->size(), 2u);
  const EsrganPlan one = esrgan_plan("sorvan", 64, 128, 96, 2, 2);
  sessions = esrgan_backends(testing::model("nn2x.onnx").string(), 2, one);
  ASSERT_TRUE(sessions) << sessions.error().message();
  EXPECT_EQ(sessions->size(), 1u);
}

TEST(EsrganBackends, LoadErrorIsReturned) {
  const EsrganPlan plan = esrgan_plan("x", 64, 128, 96, 2, 0);
  auto sessions = esrgan_backends("/nonexistent/model.onnx", 2, plan);
  ASSERT_FALSE(sessions);
  EXPECT_NE(sessions.error().message().find("/nonexistent/model.onnx"), std::string::npos);
}

TEST(EsrganProcessFrame, NearestModelGivesTheNearestEnlargementAcrossTiles) {
  const uint64_t w = 100, h = 70;
  const auto bytes = random_bytes(w * h * 3, 3);
  const tile::TileGrid grid = tile::TileGrid::from_tile_size(w, h, 32, 32, 8, 2);
  ASSERT_GT(grid.cols * grid.rows, 4u);
  for (size_t n_sessions : {1u, 2u}) {
    std::vector<OnnxBackend> sessions;
    for (size_t i = 0; i < n_sessions; ++i)
      sessions.push_back(load("nn2x.onnx"));
    auto out = esrgan_process_frame_on(rgb_to_f32(bytes), w, h, grid, sessions);
    ASSERT_TRUE(out) << out.error().message();
    EXPECT_EQ(f32_to_rgb(*out), nearest(bytes, w, h, 2)) << n_sessions << " sessions";
    uint64_t tiles = 0;
    for (const auto& s : sessions)
      tiles += s.infer_tiles();
    // Which session takes which tile is up to the scheduler; every tile runs once.
    EXPECT_EQ(tiles, grid.cols * grid.rows);
  }
}

// An output too small would be read past its end, one too large (a 4x model
// run at --scale 2) would be cut into a garbled frame: both stop the frame.
TEST(EsrganProcessFrame, OutputOfAnotherScaleFailsTheFrame) {
  struct Row {
    const char* model;
    uint64_t scale;
    const char* message;
  };
  const Row rows[] = {
      {"identity.onnx", 2,
       "model output for a 16x8 tile has 384 values, expected 1536 (3 x 16 x 32 for a 2x model)"},
      {"nn2x.onnx", 1,
       "model output for a 16x8 tile has 1536 values, expected 384 (3 x 8 x 16 for a 1x model)"},
  };
  for (const Row& row : rows) {
    std::vector<OnnxBackend> sessions;
    sessions.push_back(load(row.model));
    const tile::TileGrid grid = tile::TileGrid::whole(16, 8, row.scale);
    auto out = esrgan_process_frame_on(std::vector<float>(16 * 8 * 3), 16, 8, grid, sessions);
    ASSERT_FALSE(out) << row.model;
    EXPECT_EQ(out.error().message(), row.message);
  }
}

TEST(FgnetProcessFrame, NearestModelThroughOverlappingTiles) {
  const uint64_t w = 150, h = 100, s = 2, t = 64;
  const auto bytes = random_bytes(w * h * 3, 8);
  const auto cur = rgb_to_f32(bytes);
  const std::vector<float> hr(w * h * 3 * s * s);
  const tile::TileGrid grid = tile::TileGrid::from_tile_size(w, h, t, t, 16, s);
  ASSERT_GE(grid.cols, 3u);
  ASSERT_GE(grid.rows, 2u);
  OnnxBackend session = load("fgnet2x_dyn.onnx");
  auto out = fgnet_process_frame(cur, cur, hr, w, h, s, t, grid, session);
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(f32_to_rgb(*out), nearest(bytes, w, h, s));
  EXPECT_EQ(session.infer_tiles(), grid.cols * grid.rows);
}

TEST(FgnetProcessFrame, FrameSmallerThanTheFixedTileUsesTheTopLeftOfTheResult) {
  const uint64_t w = 200, h = 150, s = 2, t = 288;
  const auto bytes = random_bytes(w * h * 3, 11);
  const auto cur = rgb_to_f32(bytes);
  std::vector<float> hr(w * h * 3 * s * s);
  bilinear_resize_hwc(cur, w, h, hr, w * s, h * s);
  const tile::TileGrid grid = tile::TileGrid::from_tile_size(w, h, t, t, 16, s);
  OnnxBackend nearest_model = load("fgnet2x.onnx", 0);
  auto out = fgnet_process_frame(cur, cur, hr, w, h, s, t, grid, nearest_model);
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(f32_to_rgb(*out), nearest(bytes, w, h, s));

  // The model that returns the previous output from its space-to-depth
  // channels gives prev_hr back exactly (one tile: weights of 1).
  OnnxBackend prev_model = load("fgnetprev2x.onnx", 0);
  out = fgnet_process_frame(cur, cur, hr, w, h, s, t, grid, prev_model);
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(*out, hr);
}

// Two tiles on each axis and a model whose output rises across the tile:
// without the feather ramps the second tile's edge is a step of 35 levels;
// with them neighbouring pixels differ by one level at most.
TEST(FgnetProcessFrame, OverlappingTilesAreFeatheredOnBothAxes) {
  const uint64_t w = 100, h = 100, s = 2, t = 64;
  const std::vector<float> black(w * h * 3, 0.0f), hr(w * h * 3 * s * s, 0.0f);
  const tile::TileGrid grid = tile::TileGrid::from_tile_size(w, h, t, t, 16, s);
  ASSERT_EQ(grid.cols, 2u);
  ASSERT_EQ(grid.rows, 2u);
  OnnxBackend session = load("fgnetramp2x.onnx");
  auto out = fgnet_process_frame(black, black, hr, w, h, s, t, grid, session);
  ASSERT_TRUE(out) << out.error().message();
  const std::vector<uint8_t> bytes = f32_to_rgb(*out);
  const uint64_t ow = w * s, oh = h * s;
  int largest_x = 0, largest_y = 0;
  for (uint64_t y = 0; y < oh; ++y) {
    for (uint64_t x = 0; x < ow; ++x) {
      const int v = bytes[(y * ow + x) * 3];
      if (x + 1 < ow)
        largest_x = std::max(largest_x, std::abs(bytes[(y * ow + x + 1) * 3] - v));
      if (y + 1 < oh)
        largest_y = std::max(largest_y, std::abs(bytes[((y + 1) * ow + x) * 3] - v));
    }
  }
  EXPECT_LE(largest_x, 3);
  EXPECT_LE(largest_y, 3);
}

TEST(FgnetProcessFrame, OutputOfTheWrongLengthIsAnError) {
  const uint64_t w = 40, h = 30, s = 2, t = 288;
  const std::vector<float> cur(w * h * 3, 0.5f), hr(w * h * 3 * s * s, 0.5f);
  const tile::TileGrid grid = tile::TileGrid::from_tile_size(w, h, t, t, 16, s);
  OnnxBackend session = load("nan.onnx");
  auto out = fgnet_process_frame(cur, cur, hr, w, h, s, t, grid, session);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(),
            "model output has 1492992 values; a 288x288 tile at 2x needs 995328 (1 x 576 x 576 x "
            "3)");
}

// Whole jobs run in this process, so that their children and descriptors
// can be counted afterwards.
class Job : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // As in the engine: a write to a dead ffmpeg fails instead of killing.
    std::signal(SIGPIPE, SIG_IGN);
    // Loading the runtime opens descriptors for good; do it before counting.
    load("nn2x.onnx");
  }
  void SetUp() override {
    fds_before = testing::open_fds();
    testing::make_clip(dir / "in.mp4", 64, 48, 30, "25", true);
    config.model = testing::model("nn2x.onnx").string();
    config.input = (dir / "in.mp4").string();
    config.output = (dir / "out.mp4").string();
    config.ep = 2;
  }
  void TearDown() override { unsetenv("LMR_FFMPEG_DIR"); }

  // Runs the job, capturing what it prints.
  Status run(bool fgnet = false) {
    ::testing::internal::CaptureStderr();
    Status st = fgnet ? run_fgnet_upscale(config) : run_upscale(config);
    printed = ::testing::internal::GetCapturedStderr();
    return st;
  }

  // A folder of stand-in tools: `ffmpeg` is the script, `ffprobe` the real
  // one (or a logging wrapper of it).
  void stand_in(const std::string& ffmpeg_script, bool log_probe = false) {
    const fs::path tools = dir / "tools";
    fs::create_directories(tools);
    testing::write_file(tools / "ffmpeg", ffmpeg_script);
    fs::permissions(tools / "ffmpeg", fs::perms::owner_all);
    if (log_probe) {
      testing::write_file(tools / "ffprobe",
                          "#!/bin/sh\necho ffprobe >> '" + (dir / "log").string() + "'\nexec '" +
                              (testing::bin_dir() / "ffprobe").string() + "' \"$@\"\n");
      fs::permissions(tools / "ffprobe", fs::perms::owner_all);
    } else {
      fs::create_symlink(testing::bin_dir() / "ffprobe", tools / "ffprobe");
    }
    setenv("LMR_FFMPEG_DIR", tools.c_str(), 1);
  }

  void expect_clean() {
    EXPECT_EQ(testing::zombie_children(), 0);
    EXPECT_EQ(testing::open_fds(), fds_before);
    EXPECT_EQ(printed.find("done:"), std::string::npos) << printed;
  }

  testing::TempDir dir;
  UpscaleConfig config;
  std::string printed;
  int fds_before = 0;
};

TEST_F(Job, SucceedsAndLeavesNothingBehind) {
  config.max_frames = 12;
  ASSERT_TRUE(run());
  EXPECT_EQ(testing::zombie_children(), 0);
  EXPECT_EQ(testing::open_fds(), fds_before);
  EXPECT_NE(printed.find("\ndone: 12 frames in "), std::string::npos) << printed;
  auto info = video::probe(config.output);
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->width, 128u);
  EXPECT_EQ(info->height, 96u);
  EXPECT_EQ(info->frames, 12u);
}

TEST_F(Job, WrongModelShapeStopsAtTheFirstFrame) {
  config.model = testing::model("identity.onnx").string();
  for (bool fgnet : {false, true}) {
    Status st = run(fgnet);
    ASSERT_FALSE(st);
    if (!fgnet) {
      EXPECT_EQ(st.error().message(),
                "model output for a 64x48 tile has 9216 values, expected 36864 (3 x 96 x 128 for "
                "a 2x model)");
    }
    EXPECT_EQ(printed.find("frame 1"), std::string::npos) << printed;
    expect_clean();
  }
}

TEST_F(Job, EncoderThatDiesMidRunEndsTheJobWithItsMessage) {
  // Bigger frames, so that the pipe cannot swallow the rest of the clip.
  testing::make_clip(dir / "in.mp4", 160, 120, 30, "25", true);
  stand_in(
      "#!/bin/sh\nprev=\nfor a in \"$@\"; do\n"
      "  if [ \"$prev\" = -i ] && [ \"$a\" = - ]; then\n"
      "    head -c 300000 > /dev/null\n"
      "    echo 'stand-in encoder: simulated crash' >&2\n"
      "    exit 1\n"
      "  fi\n  prev=$a\ndone\nexec '" +
      (testing::bin_dir() / "ffmpeg").string() + "' \"$@\"\n");
  for (bool fgnet : {false, true}) {
    if (fgnet)
      config.model = testing::model("fgnet2x_dyn.onnx").string();
    Status st = run(fgnet);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message(), "encoder failed: stand-in encoder: simulated crash");
    EXPECT_NE(printed.find("frame 1/30:"), std::string::npos) << printed;
    expect_clean();
  }
}

TEST_F(Job, OutputInAMissingFolderFails) {
  config.output = (dir / "missing" / "out.mp4").string();
  Status st = run();
  ASSERT_FALSE(st);
  // ffmpeg fails at start-up; whether lmr notices at a write or only at the
  // finish depends on how many frames the pipe took before ffmpeg exited.
  const std::string& why = st.error().message();
  EXPECT_TRUE(why.starts_with("encoder failed: ") ||
              why.starts_with("encoder exited with exit status: 1: "))
      << why;
  EXPECT_NE(why.find("No such file or directory"), std::string::npos) << why;
  expect_clean();
}

TEST_F(Job, DecoderThatCannotStartReleasesTheSessions) {
  stand_in("not a program\n");
  fs::permissions(dir / "tools" / "ffmpeg", fs::perms::owner_read | fs::perms::owner_write);
  Status st = run();
  ASSERT_FALSE(st);
  EXPECT_NE(st.error().message().find("Permission denied"), std::string::npos)
      << st.error().message();
  expect_clean();
}

TEST_F(Job, OutputThatIsTheInputIsRefusedBeforeAnyChildStarts) {
  const std::string original = testing::read_file(config.input);
  const fs::path log = dir / "log";
  stand_in("#!/bin/sh\necho ffmpeg >> '" + log.string() + "'\nexec '" +
               (testing::bin_dir() / "ffmpeg").string() + "' \"$@\"\n",
           true);
  fs::create_symlink(config.input, dir / "link.mp4");
  for (const fs::path& out : {fs::path(config.input), dir / "link.mp4", dir / "." / "in.mp4"}) {
    config.output = out.string();
    for (bool fgnet : {false, true}) {
      Status st = run(fgnet);
      ASSERT_FALSE(st);
      EXPECT_EQ(st.error().message(),
                "the output " + out.string() +
                    " is the input file itself; writing it would destroy the input (choose "
                    "another output path)");
      EXPECT_EQ(printed, "");
    }
  }
  EXPECT_FALSE(fs::exists(log));
  EXPECT_EQ(testing::read_file(config.input), original);
  // The stand-ins do log when a job gets as far as its children.
  config.output = (dir / "out.mp4").string();
  config.max_frames = 1;
  ASSERT_TRUE(run());
  EXPECT_EQ(testing::read_file(log), "ffprobe\nffmpeg\nffmpeg\n");
}

TEST_F(Job, FrameTooLargeForFfmpegIsRefusedBeforeAnythingStarts) {
  // A probe that reports 100000x100000 (2x: 200000x200000, beyond what
  // ffmpeg takes) must not reach the allocation of its buffers.
  const fs::path tools = dir / "tools";
  fs::create_directories(tools);
  const std::string log = (dir / "log").string();
  testing::write_file(tools / "ffprobe",
                      "#!/bin/sh\nprintf 'width=100000\\nheight=100000\\nr_frame_rate=25/1\\n'\n");
  testing::write_file(tools / "ffmpeg", "#!/bin/sh\necho ffmpeg >> '" + log + "'\n");
  fs::permissions(tools / "ffprobe", fs::perms::owner_all);
  fs::permissions(tools / "ffmpeg", fs::perms::owner_all);
  setenv("LMR_FFMPEG_DIR", tools.c_str(), 1);
  for (bool fgnet : {false, true}) {
    config.model = testing::model(fgnet ? "fgnet2x.onnx" : "nn2x.onnx").string();
    Status st = run(fgnet);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().message(), "output frame size 100000x100000 at 2x is too large");
    EXPECT_EQ(printed, "");
  }
  // ffmpeg pads each side by 128: 16320x16320 has fewer than 2^28 pixels,
  // but not once padded.
  testing::write_file(tools / "ffprobe",
                      "#!/bin/sh\nprintf 'width=8160\\nheight=8160\\nr_frame_rate=25/1\\n'\n");
  Status st = run();
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), "output frame size 8160x8160 at 2x is too large");
  EXPECT_FALSE(fs::exists(log));
  expect_clean();
}

TEST_F(Job, MultiInputTileTooLargeForMemoryIsAnErrorNotACrash) {
  config.model = testing::model("fgnet2x.onnx").string();
  config.tile_w = 30000;
  Status st = run(true);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(),
            "tile 30000 is too large: one model input of 30000x30000 pixels with 18 channels would "
            "not fit in memory");
  EXPECT_EQ(printed, "");
  expect_clean();
}

}  // namespace
}  // namespace lmr::pipeline
