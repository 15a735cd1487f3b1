// Whole jobs with real ffmpeg children, succeeding and failing: no child,
// descriptor or change to the input is left behind.
#include <gtest/gtest.h>

#include <csignal>

#include "pipeline.h"
#include "testing.h"
#include "video.h"

namespace lmr::pipeline {
namespace {

TEST(JobProcess, LeavesNothingBehind) {
  // As in the engine: a write to a dead ffmpeg fails instead of killing.
  std::signal(SIGPIPE, SIG_IGN);
  // Loading the runtime opens descriptors for good; do it before counting.
  ASSERT_TRUE(
      inference::OnnxBackend::load(testing::model("nn2x.onnx").string(), inference::Ep::cpu, {}));
  testing::TempDir dir;
  testing::make_clip(dir / "in.mp4", 64, 48, 30, "25", true);
  const std::string original = testing::read_file(dir / "in.mp4");
  const int fds = testing::open_fds();
  struct Row {
    bool fgnet;
    const char* model;
    const char* output;
    bool ok;
  };
  const Row rows[] = {{false, "nn2x.onnx", "a.mp4", true},
                      {true, "fgnet2x_dyn.onnx", "b.mp4", true},
                      {false, "identity.onnx", "c.mp4", false},
                      {false, "nn2x.onnx", "missing/d.mp4", false},
                      {true, "fgnet2x_dyn.onnx", "missing/e.mp4", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.output);
    UpscaleConfig config;
    config.model = testing::model(row.model).string();
    config.input = (dir / "in.mp4").string();
    config.output = (dir / row.output).string();
    config.ep = inference::Ep::cpu;
    config.max_frames = 3;
    ::testing::internal::CaptureStderr();
    Status st = row.fgnet ? run_fgnet_upscale(config) : run_upscale(config);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(bool(st), row.ok) << printed << (st ? "" : st.error().message());
    EXPECT_EQ(testing::zombie_children(), 0);
    EXPECT_EQ(testing::open_fds(), fds);
    EXPECT_EQ(testing::read_file(dir / "in.mp4"), original);
    if (row.ok) {
      auto info = video::probe(config.output);
      ASSERT_TRUE(info) << info.error().message();
      EXPECT_EQ(std::tuple(info->width, info->height, info->frames), std::tuple(128u, 96u, 3u));
    }
  }
}

}  // namespace
}  // namespace lmr::pipeline
