// `lmr upscale` end to end: the built executable on small generated clips
// and models, through the real ffmpeg and ONNX Runtime.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "convert.h"
#include "pipeline_internal.h"
#include "platform.h"
#include "testing.h"
#include "tile.h"
#include "video.h"

namespace lmr {
namespace {

namespace fs = std::filesystem;
using testing::run;
using testing::run_lmr;

using Frame = std::vector<uint8_t>;

std::string model(const std::string& name) {
  return testing::model(name).string();
}

video::VideoInfo probe(const fs::path& p) {
  auto info = video::probe(p.string());
  if (!info)
    throw std::runtime_error(info.error().message());
  return *info;
}

int audio_streams(const fs::path& p) {
  auto r = run({(testing::bin_dir() / "ffprobe").string(), "-v", "error", "-select_streams", "a",
                "-show_entries", "stream=index", "-of", "csv=p=0", p.string()});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  return static_cast<int>(std::count(r.out.begin(), r.out.end(), '\n'));
}

// All video frames of a file as rgb24, back to back.
std::string decoded(const fs::path& p) {
  auto r = run({(testing::bin_dir() / "ffmpeg").string(), "-v", "error", "-i", p.string(), "-map",
                "0:v:0", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  return r.out;
}

// The input's frames exactly as the engine's decoder receives them.
std::vector<Frame> input_frames(const fs::path& input, uint64_t w, uint64_t h) {
  std::vector<std::string> argv{(testing::bin_dir() / "ffmpeg").string()};
  for (const auto& a : video::decoder_args(input.string(), std::nullopt, {}))
    argv.push_back(a);
  auto r = run(argv);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  std::vector<Frame> frames;
  const size_t size = w * h * 3;
  for (size_t at = 0; at + size <= r.out.size(); at += size)
    frames.emplace_back(r.out.begin() + static_cast<ptrdiff_t>(at),
                        r.out.begin() + static_cast<ptrdiff_t>(at + size));
  return frames;
}

Frame nearest(const Frame& f, uint64_t w, uint64_t h, uint64_t s) {
  Frame out(w * s * h * s * 3);
  for (uint64_t y = 0; y < h * s; ++y)
    for (uint64_t x = 0; x < w * s; ++x)
      for (uint64_t k = 0; k < 3; ++k)
        out[(y * w * s + x) * 3 + k] = f[((y / s) * w + x / s) * 3 + k];
  return out;
}

// Encodes `frames` (already upscaled) exactly as the engine's encoder would,
// so that equal frames give equal files whatever the codec's loss.
void encode_reference(const fs::path& input,
                      const fs::path& output,
                      const std::vector<Frame>& frames,
                      uint64_t ow,
                      uint64_t oh,
                      const std::string& codec,
                      uint32_t quality) {
  const video::VideoInfo info = probe(input);
  std::vector<std::string> argv{(testing::bin_dir() / "ffmpeg").string()};
  for (const auto& a : video::encoder_args(output.string(), input.string(), std::nullopt, ow, oh,
                                           ow, oh, info.r_frame_rate, codec, "copy",
                                           video::Quality{quality}, platform::encoder_family()))
    argv.push_back(a);
  std::string raw;
  for (const Frame& f : frames)
    raw.append(f.begin(), f.end());
  auto r = run(argv, {}, 120, raw);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
}

// Checks that the engine's output equals `expected` frames encoded the same
// way, frame for frame.
void expect_same_video(const fs::path& input,
                       const fs::path& output,
                       const std::vector<Frame>& expected,
                       uint64_t ow,
                       uint64_t oh,
                       const std::string& codec,
                       uint32_t quality = 80) {
  const fs::path ref = output.parent_path() / ("ref-" + output.filename().string());
  encode_reference(input, ref, expected, ow, oh, codec, quality);
  const std::string got = decoded(output), want = decoded(ref);
  ASSERT_EQ(got.size(), want.size());
  ASSERT_EQ(got.size(), expected.size() * ow * oh * 3);
  const size_t frame = ow * oh * 3;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(std::equal(got.begin() + static_cast<ptrdiff_t>(i * frame),
                           got.begin() + static_cast<ptrdiff_t>((i + 1) * frame),
                           want.begin() + static_cast<ptrdiff_t>(i * frame)))
        << "frame " << i << " of " << output;
  }
}

// The progress lines' frame numbers, in order.
std::vector<int> progress_frames(const std::string& err, const std::regex& line) {
  std::vector<int> frames;
  for (std::sregex_iterator it(err.begin(), err.end(), line), end; it != end; ++it)
    frames.push_back(std::stoi((*it)[1]));
  return frames;
}

const std::regex kEsrganProgress(
    R"(\nframe (\d+)(/\d+)?: \d+\.\d fps, \d+ ms/frame, infer \d+ ms/tile avg, ETA \d+s(?=\n))");
const std::regex kFgnetProgress(
    R"(\nframe (\d+)(/\d+)?: \d+\.\d fps, infer \d+ ms/tile, ETA \d+s(?=\n))");

// Processes still running with `needle` in their command line (orphaned
// ffmpeg children of a job that has ended).
int processes_mentioning(const std::string& needle) {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const std::string cmd = testing::read_file(e.path() / "cmdline");
    n += cmd.find(needle) != std::string::npos;
  }
  return n;
}

class Upscale : public ::testing::Test {
 protected:
  testing::TempDir dir;

  // The common shape of a failed job: status 1, its "Error: " line (when
  // given), no summary, no ffmpeg left running.
  void expect_failure(const testing::ProcResult& r, const std::string& error_line) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code(), 1) << r.err;
    if (!error_line.empty()) {
      EXPECT_NE(r.err.find("\n" + error_line + "\n"), std::string::npos) << r.err;
    }
    EXPECT_EQ(r.err.find("done:"), std::string::npos) << r.err;
    EXPECT_EQ(processes_mentioning(dir.path().string()), 0);
  }
};

TEST_F(Upscale, TwiceTheSizeEveryFrameAudioKeptWithItsLines) {
  testing::make_clip(dir / "in.mp4", 64, 48, 30, "25", true);
  const std::string out = (dir / "out.mp4").string();
  // The implicit form: the first argument is an option.
  auto r = run_lmr(
      {"--model", model("nn2x.onnx"), "-i", (dir / "in.mp4").string(), "-o", out, "--ep", "cpu"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.err.find("\ninput 64x48 @ 25/1 → 128x96 (2x), tiles: 64x48 = 1 (1 cols × 1 rows, "
                       "overlap 0x0)\nmodel loaded in "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(progress_frames(r.err, kEsrganProgress), (std::vector<int>{1, 10, 20, 30})) << r.err;
  EXPECT_NE(r.err.find("\nframe 10/30: "), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex(R"(\n\ndone: 30 frames in \d+\.\ds = \d+\.\d\d fps\ninference: \d+\.\d )"
                        R"(ms/tile avg on the first session \(30 tiles total\)\noutput: )" +
                        out + "\n\n$")))
      << r.err;
  const video::VideoInfo info = probe(out);
  EXPECT_EQ(info.width, 128u);
  EXPECT_EQ(info.height, 96u);
  EXPECT_EQ(info.frames, 30u);
  EXPECT_EQ(audio_streams(out), 1);
}

TEST_F(Upscale, FrameLimitWithoutAudio) {
  testing::make_clip(dir / "in.mp4", 64, 48, 30, "25", false);
  const std::string out = (dir / "out.mp4").string();
  auto r = run_lmr({"upscale", "--model", model("nn2x.onnx"), "-i", (dir / "in.mp4").string(), "-o",
                    out, "--ep", "cpu", "--max-frames", "25"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(progress_frames(r.err, kEsrganProgress), (std::vector<int>{1, 10, 20})) << r.err;
  EXPECT_NE(r.err.find("\ndone: 25 frames in "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(25 tiles total)"), std::string::npos) << r.err;
  EXPECT_EQ(probe(out).frames, 25u);
  EXPECT_EQ(audio_streams(out), 0);
}

TEST_F(Upscale, ZeroFramesWritesAnEmptyFileAndTheSummary) {
  testing::make_clip(dir / "in.mp4", 64, 48, 10, "25", false);
  const fs::path out = dir / "out.mp4";
  auto r = run_lmr({"upscale", "--model", model("nn2x.onnx"), "-i", (dir / "in.mp4").string(), "-o",
                    out.string(), "--ep", "cpu", "--max-frames", "0"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_TRUE(progress_frames(r.err, kEsrganProgress).empty()) << r.err;
  EXPECT_NE(r.err.find("\n\ndone: 0 frames in "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" = 0.00 fps\ninference: 0.0 ms/tile avg on the first session (0 tiles "
                       "total)\n"),
            std::string::npos)
      << r.err;
  ASSERT_TRUE(fs::exists(out));
  // A file ffprobe reads without complaint, with no video frame in it.
  auto p = run({(testing::bin_dir() / "ffprobe").string(), "-v", "error", "-show_entries",
                "stream=codec_type", "-of", "csv=p=0", out.string()});
  EXPECT_EQ(p.exit_code(), 0) << p.err;
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(p.out.find("video"), std::string::npos) << p.out;
}

TEST_F(Upscale, UnknownFrameCountPrintsNoTotalAndNoEta) {
  // A raw H.264 stream has neither a frame count nor a duration.
  testing::make_clip(dir / "in.h264", 64, 48, 12, "25", false, {"-c:v", "libx264"});
  ASSERT_EQ(probe(dir / "in.h264").frames, 0u);
  auto r = run_lmr({"upscale", "--model", model("nn2x.onnx"), "-i", (dir / "in.h264").string(),
                    "-o", (dir / "out.mp4").string(), "--ep", "cpu"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(progress_frames(r.err, kEsrganProgress), (std::vector<int>{1, 10})) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(\nframe 1: [^\n]*, ETA 0s\n)"))) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(\nframe 10: [^\n]*, ETA 0s\n)"))) << r.err;
  EXPECT_EQ(probe(dir / "out.mp4").frames, 12u);
}

TEST_F(Upscale, NearestModelGivesTheNearestEnlargementOfEveryFrame) {
  testing::make_clip(dir / "in.mp4", 64, 48, 8, "25", true);
  std::vector<Frame> expected;
  for (const Frame& f : input_frames(dir / "in.mp4", 64, 48))
    expected.push_back(nearest(f, 64, 48, 2));
  ASSERT_EQ(expected.size(), 8u);
  struct Case {
    std::vector<std::string> options;
    std::string codec, name;
  };
  const Case cases[] = {
      {{"--ep", "cpu", "--tile", "32", "--overlap", "8", "--codec", "prores"}, "prores", "a.mov"},
      {{"--ep", "coreml", "--tile", "24x20"}, "h264", "b.mp4"},
  };
  for (const Case& c : cases) {
    const fs::path out = dir / c.name;
    std::vector<std::string> args{
        "upscale", "--model",   model("nn2x.onnx"), "-i", (dir / "in.mp4").string(),
        "-o",      out.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto r = run_lmr(args);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(audio_streams(out), 1);
    expect_same_video(dir / "in.mp4", out, expected, 128, 96, c.codec);
  }
}

TEST_F(Upscale, PixelBudgetChoosesTheGridAndKeepsTheModelsOwnSize) {
  testing::make_clip(dir / "in.mp4", 64, 48, 4, "25", false);
  const std::string in = (dir / "in.mp4").string();
  auto r =
      run_lmr({"upscale", "--model", model("nn2x.onnx"), "-i", in, "-o", (dir / "a.mkv").string(),
               "--ep", "cpu", "--max-area", "1024", "--div", "8", "--quality", "60"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  const tile::TileGrid grid = tile::TileGrid::create(64, 48, 2, 1024, 16, 8);
  ASSERT_GT(grid.cols * grid.rows, 1u);
  EXPECT_NE(r.err.find(pipeline::start_line(pipeline::Family::single_frame, 64, 48, "25/1", grid)),
            std::string::npos)
      << r.err;
  std::vector<Frame> expected;
  for (const Frame& f : input_frames(in, 64, 48))
    expected.push_back(nearest(f, 64, 48, 2));
  expect_same_video(in, dir / "a.mkv", expected, 128, 96, "h264", 60);

  // A budget means no fixed input size, even with a tile size given, which
  // the accelerated provider refuses for a model of free dimensions.
  r = run_lmr({"upscale", "--model", model("nn2x.onnx"), "-i", in, "-o", (dir / "b.mp4").string(),
               "--ep", "coreml", "--tile", "32", "--max-area", "1024"});
  expect_failure(
      r, "Error: " + model("nn2x.onnx") + ": dimensions 'h', 'w' must be fixed to run on CoreML");
  EXPECT_NE(r.err.find(pipeline::start_line(pipeline::Family::single_frame, 64, 48, "25/1",
                                            tile::TileGrid::from_tile_size(64, 48, 32, 32, 16, 2))),
            std::string::npos)
      << r.err;
}

TEST_F(Upscale, OtherCodecs) {
  testing::make_clip(dir / "in.mp4", 64, 48, 3, "25", true);
  for (auto [codec, name] : {std::pair{"h265", "hevc"}, std::pair{"prores", "prores"}}) {
    const fs::path out = dir / (std::string(codec) + ".mov");
    auto r = run_lmr({"upscale", "--model", model("nn2x.onnx"), "-i", (dir / "in.mp4").string(),
                      "-o", out.string(), "--ep", "cpu", "--codec", codec});
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const video::VideoInfo info = probe(out);
    EXPECT_EQ(info.codec_name, name);
    EXPECT_EQ(info.width, 128u);
    EXPECT_EQ(info.frames, 3u);
  }
}

TEST_F(Upscale, MultiInputJobOnAFrameThatIsNotAMultipleOfTheTile) {
  // No audio: this job is about the tiles; audio cutting has its own tests.
  testing::make_clip(dir / "in.mp4", 400, 300, 4, "25", false);
  const fs::path out = dir / "out.mov";
  auto r =
      run_lmr({"upscale", "--fgnet", "--model", model("fgnet2x.onnx"), "-i",
               (dir / "in.mp4").string(), "-o", out.string(), "--ep", "cpu", "--codec", "prores"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.err.find("\nfgnet: 400x300 → 800x600 (2x), tile 288x288, 4 tiles\nmodel loaded in "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(progress_frames(r.err, kFgnetProgress), (std::vector<int>{1})) << r.err;
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex(R"(\n\ndone: 4 frames in \d+\.\ds = \d+\.\d\d fps\ninference: \d+\.\d )"
                        R"(ms/tile avg \(16 tiles\)\noutput: )" +
                        out.string() + "\n\n$")))
      << r.err;
  const video::VideoInfo info = probe(out);
  EXPECT_EQ(info.width, 800u);
  EXPECT_EQ(info.height, 600u);
  EXPECT_EQ(audio_streams(out), 0);
  std::vector<Frame> expected;
  for (const Frame& f : input_frames(dir / "in.mp4", 400, 300))
    expected.push_back(nearest(f, 400, 300, 2));
  expect_same_video(dir / "in.mp4", out, expected, 800, 600, "prores");
}

TEST_F(Upscale, MultiInputCarriesTheFirstFramesEnlargementForward) {
  // The model returns the previous output: frame 1 gets the bilinear
  // enlargement of itself, and every later frame the output before it.
  testing::make_clip(dir / "in.mp4", 200, 150, 3, "25", false);
  const fs::path out = dir / "out.mov";
  auto r = run_lmr({"upscale", "--fgnet", "--model", model("fgnetprev2x.onnx"), "-i",
                    (dir / "in.mp4").string(), "-o", out.string(), "--ep", "coreml", "--codec",
                    "prores"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  const std::vector<Frame> frames = input_frames(dir / "in.mp4", 200, 150);
  ASSERT_EQ(frames.size(), 3u);
  ASSERT_NE(frames[0], frames[1]);
  const std::vector<float> first = convert::rgb_to_f32(frames[0]);
  std::vector<float> big(400 * 300 * 3);
  convert::bilinear_resize_hwc(first, 200, 150, big, 400, 300);
  const Frame want = convert::f32_to_rgb(big);
  expect_same_video(dir / "in.mp4", out, {want, want, want}, 400, 300, "prores");
}

TEST_F(Upscale, EncoderThatDiesMidRun) {
  testing::make_clip(dir / "in.mp4", 160, 120, 30, "25", true);
  const fs::path tools = dir / "tools";
  fs::create_directories(tools);
  testing::write_file(tools / "ffmpeg",
                      "#!/bin/sh\nprev=\nfor a in \"$@\"; do\n"
                      "  if [ \"$prev\" = -i ] && [ \"$a\" = - ]; then\n"
                      "    head -c 300000 > /dev/null\n"
                      "    echo 'stand-in encoder: simulated crash' >&2\n"
                      "    exit 1\n"
                      "  fi\n  prev=$a\ndone\nexec '" +
                          (testing::bin_dir() / "ffmpeg").string() + "' \"$@\"\n");
  fs::permissions(tools / "ffmpeg", fs::perms::owner_all);
  fs::create_symlink(testing::bin_dir() / "ffprobe", tools / "ffprobe");
  for (bool fgnet : {false, true}) {
    std::vector<std::string> args{"upscale",
                                  "--model",
                                  model(fgnet ? "fgnet2x.onnx" : "nn2x.onnx"),
                                  "-i",
                                  (dir / "in.mp4").string(),
                                  "-o",
                                  (dir / "out.mp4").string()};
    if (fgnet)
      args.push_back("--fgnet");
    auto r = run_lmr(args, {{"LMR_FFMPEG_DIR", tools.string()}}, 60);
    expect_failure(r, "Error: encoder failed: stand-in encoder: simulated crash");
    EXPECT_NE(r.err.find("\nframe 1/30: "), std::string::npos) << r.err;
  }
}

TEST_F(Upscale, ModelWithTheWrongOutputShape) {
  testing::make_clip(dir / "in.mp4", 64, 48, 5, "25", true);
  auto r = run_lmr({"upscale", "--model", model("identity.onnx"), "-i", (dir / "in.mp4").string(),
                    "-o", (dir / "out.mp4").string(), "--ep", "cpu"},
                   {}, 60);
  expect_failure(r,
                 "Error: model output for a 64x48 tile has 9216 values, expected 36864 (3 x 96 x "
                 "128 for a 2x model)");
  EXPECT_EQ(r.err.find("\nframe "), std::string::npos) << r.err;
}

TEST_F(Upscale, OutputInAFolderThatDoesNotExist) {
  testing::make_clip(dir / "in.mp4", 64, 48, 30, "25", true);
  const std::string out = (dir / "missing" / "out.mp4").string();
  auto r = run_lmr({"upscale", "--model", model("nn2x.onnx"), "-i", (dir / "in.mp4").string(), "-o",
                    out, "--ep", "cpu"},
                   {}, 60);
  // ffmpeg fails at start-up; lmr notices at a write or, when the pipe took
  // every frame before ffmpeg exited, at the finish.
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\nError: encoder (failed|exited with exit "
                                                  "status: 1): [^\n]*" +
                                                  out + "[^\n]*No such file or directory\n")))
      << r.err;
  expect_failure(r, "");
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(Upscale, OutputThatIsTheInputIsRefusedAndTheInputKept) {
  testing::make_clip(dir / "in.mp4", 64, 48, 5, "25", true);
  const std::string original = testing::read_file(dir / "in.mp4");
  fs::create_directory(dir / "sub");
  fs::create_hard_link(dir / "in.mp4", dir / "hard.mp4");
  const std::string in = (dir / "in.mp4").string(), file = "file:" + in;
  // {input, output}; ffmpeg opens "file:<path>" as <path>.
  const std::pair<std::string, std::string> rows[] = {
      {in, in},
      {in, (dir / "sub" / ".." / "in.mp4").string()},
      {in, (dir / "hard.mp4").string()},
      {in, file},
      {file, in},
      {file, file}};
  for (const auto& [input, out] : rows) {
    for (bool fgnet : {false, true}) {
      std::vector<std::string> args{"upscale", "--model", model("nn2x.onnx"), "-i", input,
                                    "-o",      out};
      if (fgnet)
        args.push_back("--fgnet");
      auto r = run_lmr(args, {}, 60);
      expect_failure(r, "Error: the output " + out +
                            " is the input file itself; writing it would destroy the input "
                            "(choose another output path)");
      EXPECT_EQ(r.err.find("input 64x48"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(testing::read_file(dir / "in.mp4"), original);
}

}  // namespace
}  // namespace lmr
