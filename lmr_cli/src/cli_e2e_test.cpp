// One real run of each command through the built lmr, the real ffmpeg and
// ONNX Runtime: upscale with its lines, info on a real clip, test-model, and
// the pretrained models as tools/models/install.sh installs them.
#include <gtest/gtest.h>

#include <regex>

#include "catalog.h"
#include "cli.h"
#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using lmr::testing::run_lmr;
using lmr::testing::TempDir;

// One line per stream: "video,W,H,frames" or "audio,frames".
std::string streams(const fs::path& file) {
  return lmr::testing::run({(lmr::testing::bin_dir() / "ffprobe").string(), "-v", "error",
                            "-count_frames", "-show_entries",
                            "stream=codec_type,width,height,nb_read_frames", "-of", "csv=p=0",
                            file.string()})
      .out;
}

// The small test pattern repeats 14 of its 30 frames exactly: those run no
// model, and the summary counts the 16 tiles that ran.
TEST(Upscale, TwiceTheSizeEveryFrameAudioKeptWithItsLines) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 64, 48, 30);
  const std::string model = lmr::testing::model("nn2x.onnx").string(), out = dir / "out.mp4";
  auto r = run_lmr({"upscale", "--model", model, "-i", dir / "in.mp4", "-o", out, "--ep", "cpu"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  const std::string progress =
      "/30: \\d+\\.\\d fps, \\d+ ms/frame, infer \\d+ ms/tile avg, ETA \\d+s\n";
  ASSERT_TRUE(r.err.starts_with(banner())) << r.err;
  EXPECT_TRUE(std::regex_match(
      r.err.substr(banner().size()),
      std::regex("input 64x48 @ 25/1 → 128x96 \\(2x\\), tiles: 64x48 = 1 \\(1 cols × "
                 "1 rows, overlap 0x0\\)\nmodel loaded in \\d+\\.\\d\\ds: " +
                 model + "\nframe 1" + progress + "frame 10" + progress + "frame 20" + progress +
                 "frame 30" + progress +
                 "\ndone: 30 frames in \\d+\\.\\ds = \\d+\\.\\d\\d fps\ninference: "
                 "\\d+\\.\\d ms/tile avg on the first session \\(16 tiles total\\)\n"
                 "output: " +
                 out +
                 "\n\nreuse: 14 of 30 tiles \\(46\\.7%\\) unchanged and not run; 14 of 30 frames "
                 "ran no model\n")))
      << r.err;
  EXPECT_TRUE(std::regex_match(streams(out), std::regex("video,128,96,30\naudio,\\d+\n")))
      << streams(out);
}

TEST(Info, DescribesRealClipsShortClipsAndStills) {
  TempDir dir;
  const fs::path clip = dir / "a.mp4";
  lmr::testing::make_animation(clip);
  // Cut from the same animation: a clip too short to seek into, one frame,
  // a container without a frame count, and stills.
  struct Row {
    std::string name;
    std::vector<std::string> cut;  // ffmpeg's output options; none for the clip itself
    std::string facts;
  };
  const Row rows[] = {
      {"a.mp4", {}, "480x270 @ 25/1 fps, 2.0s, ~50 frames"},
      {"six.mp4",
       {"-frames:v", "6", "-c:v", "libx264", "-crf", "12"},
       "480x270 @ 25/1 fps, 0.2s, ~6 frames"},
      {"one.mp4",
       {"-frames:v", "1", "-c:v", "libx264", "-crf", "12"},
       "480x270 @ 25/1 fps, 0.0s, ~1 frames"},
      {"six.mkv", {"-frames:v", "6"}, "480x270 @ 25/1 fps, 0.2s, ~6 frames"},
      {"still.png", {"-frames:v", "1"}, "480x270 @ 25/1 fps, 0.0s, ~1 frames"},
      {"still.jpg", {"-frames:v", "1"}, "480x270 @ 25/1 fps, 0.0s, ~1 frames"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path file = dir / row.name;
    if (!row.cut.empty()) {
      std::vector<std::string> args{"-i", clip.string()};
      args.insert(args.end(), row.cut.begin(), row.cut.end());
      args.push_back(file.string());
      lmr::testing::run_ffmpeg(args);
    }
    const auto r = run_lmr({"info", "-i", file.string()});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.err, row.facts + "\ncontent: graphic\n");
  }
}

TEST(TestModel, DescribesTheModelAndOneRunOfTheTestTensor) {
  struct Row {
    std::string model, report;
  };
  // The tensor: 0.5 (the enlargement of channels 0 to 2 shows it) but for
  // channels 12 to 17; x / x leaves their NaN out of the range, not the mean.
  const Row rows[] = {
      {"fgnet2x_dyn.onnx",
       "  input:  input float32 [1, h, w, 18]\n  output: output float32 [1, oh, ow, 3]\n\n"
       "inference done in Ts\n  output shape: [1, 576, 576, 3]\n"
       "  range: 0.5000 to 0.5000, mean: 0.5000\n"},
      {"nan.onnx",
       "  input:  input float32 [1, 288, 288, 18]\n  output: output float32 [1, 288, 288, 18]\n\n"
       "inference done in Ts\n  output shape: [1, 288, 288, 18]\n"
       "  range: 1.0000 to 1.0000, mean: NaN\n"},
  };
  for (const Row& row : rows) {
    const std::string path = lmr::testing::model(row.model).string();
    const auto r = run_lmr({"test-model", "x", "--model", path});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(std::regex_replace(r.err, std::regex("done in \\d+\\.\\d{3}s"), "done in Ts"),
              "model loaded: " + path + "\n" + row.report);
  }
}

TEST(InstalledModels, ListedResolvedAndRunAtEveryScale) {
  TempDir dir;
  const fs::path app = dir / "app", in = dir / "in.mp4";
  // The 8-bit models are quantised with this build's model_run.
  const auto installed = lmr::testing::run(
      {"/bin/sh", (lmr::testing::source_dir() / "tools/models/install.sh").string(), app},
      {{"LMR_BIN_DIR", lmr::testing::bin_dir().string()}}, 540);
  ASSERT_EQ(installed.exit_code(), 0) << installed.err;
  // Every file under its catalogue name holds what its entry says.
  for (const catalog::CatalogModel& m : catalog::cached(app, app / "models")) {
    for (const auto& [key, ref] : m.files) {
      const fs::path file = catalog::file_path(app / "models", m.id, key, ref.sha256);
      EXPECT_EQ(catalog::sha256_file(file).value_or("?"), ref.sha256) << file;
      EXPECT_EQ(fs::exists(file) ? fs::file_size(file) : 0, ref.bytes) << file;
    }
  }
  const lmr::testing::EnvChanges env{{"LMR_APP_DATA", app.string()}};
  auto r = run_lmr({"models"}, env);
  EXPECT_EQ(r.err,
            "  anime-video  Anime video          scales=[\"2\", \"3\", \"4\"] installed\n"
            "  anime-video-fast Anime video (8-bit)  scales=[\"2\", \"3\", \"4\"] installed\n"
            "  anime-hq     Anime HQ 4x (slow)   scales=[\"4\"] installed\n"
            "  natural      Natural 4x           scales=[\"4\"] installed\n");
  r = run_lmr({"download", "-m", "natural", "--scale", "3"}, env);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("ready: " + app.string() +
                                                 "/models/natural/4x-[0-9a-f]{12}\\.onnx\n"
                                                 "  tile: 512  scale: 4  arch: esrgan\n")))
      << r.err;
  lmr::testing::make_clip(in, 32, 24, 2, "25", false);
  for (auto [id, scale, size] : {std::tuple{"anime-video", "2", "64x48 (2x)"},
                                 {"anime-video", "3", "96x72 (3x)"},
                                 {"anime-video", "4", "128x96 (4x)"},
                                 {"anime-video-fast", "2", "64x48 (2x)"},
                                 {"anime-video-fast", "3", "96x72 (3x)"},
                                 {"anime-video-fast", "4", "128x96 (4x)"},
                                 {"anime-hq", "2", "128x96 (4x)"},
                                 {"natural", "4", "128x96 (4x)"}}) {
    SCOPED_TRACE(std::string(id) + " " + scale);
    const fs::path out = dir / (std::string(id) + "-" + scale + ".mkv");
    r = run_lmr({"upscale", "-m", id, "--scale", scale, "-i", in, "-o", out, "--codec", "prores"},
                env, 300);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.err.find(std::string("input 32x24 @ 25/1 → ") + size), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\ndone: 2 frames in "), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(out));
  }
  // The 8-bit models give the float ones' pictures, nearly.
  for (const char* scale : {"2", "3", "4"}) {
    SCOPED_TRACE(scale);
    const auto psnr = lmr::testing::run(
        {(lmr::testing::bin_dir() / "ffmpeg").string(), "-v", "info", "-nostdin", "-i",
         (dir / (std::string("anime-video-") + scale + ".mkv")).string(), "-i",
         (dir / (std::string("anime-video-fast-") + scale + ".mkv")).string(), "-lavfi", "psnr",
         "-f", "null", "-"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(psnr.err, m, std::regex("PSNR .* average:([0-9.]+|inf)")))
        << psnr.err;
    EXPECT_GT(m[1] == "inf" ? 99.0 : std::stod(m[1]), 35.0) << m[0];
  }
}

}  // namespace
}  // namespace lmr::cli
