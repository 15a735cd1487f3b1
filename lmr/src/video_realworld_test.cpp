// Clips shaped like what phones, cameras, discs and music libraries produce,
// upscaled 2x with the exact nearest model: the output, as a player shows
// it, must be the nearest enlargement of the source as a player shows it,
// with every frame, the source's display aspect and the audio cut at the
// video's end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numeric>

#include "testing.h"
#include "text.h"

namespace lmr::video {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

std::string ffprobe(const fs::path& file,
                    const std::string& select,
                    const std::string& entries,
                    bool count = false) {
  std::vector<std::string> argv{(lmr::testing::bin_dir() / "ffprobe").string(), "-v", "error"};
  if (count)
    argv.push_back("-count_frames");
  argv.insert(argv.end(), {"-select_streams", select, "-show_entries", entries, "-of",
                           "default=noprint_wrappers=1", file.string()});
  auto r = lmr::testing::run(argv);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  return r.out;
}

double seconds_of(const fs::path& file, const std::string& select) {
  std::string out = ffprobe(file, select, "stream=duration");
  return std::atof(out.substr(out.find('=') + 1).c_str());
}

// "WxH A:B": the size and the display aspect (square pixels when the
// stream states no pixel shape).
std::string display_of(const fs::path& file) {
  unsigned long long w = 0, h = 0, sn = 1, sd = 1;
  std::string out = ffprobe(file, "v:0", "stream=width,height,sample_aspect_ratio");
  std::sscanf(out.c_str(), "width=%llu height=%llu sample_aspect_ratio=%llu:%llu", &w, &h, &sn,
              &sd);
  if (sn == 0 || sd == 0)
    sn = sd = 1;
  const unsigned long long a = w * sn, b = h * sd, g = std::gcd(a, b);
  return text::format("%llux%llu %llu:%llu", w, h, a / g, b / g);
}

struct Picture {
  uint64_t w = 0, h = 0;
  std::string rgb;
};

// The first frame of the first real video stream as a player shows it:
// auto-rotated, read by the stream's own colour tags (these clips are SD, so
// untagged means BT.601, ffmpeg's default too).
Picture player_view(const fs::path& file) {
  auto r = lmr::testing::run({(lmr::testing::bin_dir() / "ffmpeg").string(), "-v", "error", "-i",
                              file.string(), "-map", "0:V:0", "-frames:v", "1", "-pix_fmt", "rgb24",
                              "-c:v", "ppm", "-f", "image2pipe", "-"});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  Picture p;
  unsigned long long w = 0, h = 0;
  int header = 0;
  if (std::sscanf(r.out.c_str(), "P6 %llu %llu 255%n", &w, &h, &header) != 2 || header == 0)
    return p;
  p.w = w;
  p.h = h;
  p.rgb = r.out.substr(static_cast<size_t>(header) + 1);
  return p;
}

// Mean absolute difference from the nearest 2x enlargement of `src`.
double mean_difference(const Picture& src, const Picture& out) {
  if (out.w != 2 * src.w || out.h != 2 * src.h || out.rgb.size() != out.w * out.h * 3 ||
      src.rgb.size() != src.w * src.h * 3)
    return 255.0;
  double sum = 0;
  for (uint64_t y = 0; y < out.h; ++y)
    for (uint64_t x = 0; x < out.w; ++x)
      for (uint64_t c = 0; c < 3; ++c)
        sum += std::abs(int(uint8_t(out.rgb[(y * out.w + x) * 3 + c])) -
                        int(uint8_t(src.rgb[((y / 2) * src.w + x / 2) * 3 + c])));
  return sum / double(out.rgb.size());
}

struct Case {
  std::string name;
  // ffmpeg runs that make the clip; "%name" is a file in the test folder.
  std::vector<std::vector<std::string>> make;
  std::string input;  // the clip, "%" form
  std::vector<std::string> options;
  uint64_t frames;      // in the output
  std::string display;  // the output's size and display aspect (display_of)
  double audio;         // seconds of audio in the output (-1: none)
  std::string error;    // expected failure instead of an output
};

const std::vector<std::string> kVideo96x64 = {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25"};
const std::vector<std::string> kLossless = {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv444p"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<std::string> rotated(const std::string& degrees) {
  return {"-i", "%plain.mp4", "-c", "copy", "-metadata:s:v:0", "rotate=" + degrees, "%in.mp4"};
}

std::vector<std::string> sine(const std::string& seconds) {
  return {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=" + seconds};
}

const std::vector<std::string> kPlain =
    join({kVideo96x64, {"-frames:v", "25"}, kLossless, {"%plain.mp4"}});

std::vector<Case> cases() {
  return {
      {"portrait phone video, rotation 90",
       {kPlain, rotated("90")},
       "%in.mp4",
       {},
       25,
       "128x192 2:3",
       -1,
       ""},
      {"rotation 270", {kPlain, rotated("270")}, "%in.mp4", {}, 25, "128x192 2:3", -1, ""},
      {"rotation 180", {kPlain, rotated("180")}, "%in.mp4", {}, 25, "192x128 3:2", -1, ""},
      {"two video streams (the second default) and cover art",
       {{"-f", "lavfi", "-i", "color=red:size=256x256", "-frames:v", "1", "%cover.jpg"},
        join({{"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=1", "-f", "lavfi", "-i",
               "testsrc=size=128x96:rate=25:duration=0.4", "-map", "0", "-map", "1"},
              kLossless,
              {"-disposition:v:0", "0", "-disposition:v:1", "default", "-attach", "%cover.jpg",
               "-metadata:s:t", "mimetype=image/jpeg", "%in.mkv"}})},
       "%in.mkv",
       {},
       25,
       "128x96 4:3",
       -1,
       ""},
      {"non-square pixels (2:1)",
       {join({kVideo96x64, {"-frames:v", "5", "-vf", "setsar=2"}, kLossless, {"%in.mp4"}})},
       "%in.mp4",
       {},
       5,
       "192x128 3:1",
       -1,
       ""},
      {"audio ending 7 s before the video",
       {join(
           {kVideo96x64, sine("1"), {"-frames:v", "200"}, kLossless, {"-c:a", "aac", "%in.mp4"}})},
       "%in.mp4",
       {},
       200,
       "192x128 3:2",
       1.0,
       ""},
      {"audio longer than the video",
       {join({{"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25:duration=1"},
              sine("5"),
              kLossless,
              {"-c:a", "aac", "%in.mp4"}})},
       "%in.mp4",
       {},
       25,
       "192x128 3:2",
       1.0,
       ""},
      {"--max-frames cuts the audio too",
       {join({kVideo96x64, sine("2"), {"-frames:v", "50"}, kLossless, {"-c:a", "aac", "%in.mp4"}})},
       "%in.mp4",
       {"--max-frames", "10"},
       10,
       "192x128 3:2",
       0.4,
       ""},
      {"tagged full range",
       {join({kVideo96x64,
              {"-frames:v", "5", "-vf", "scale=out_range=pc:out_color_matrix=bt709"},
              {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv444p", "-color_range", "pc",
               "-colorspace", "bt709", "%in.mp4"}})},
       "%in.mp4",
       {},
       5,
       "192x128 3:2",
       -1,
       ""},
      {"HDR (PQ) is refused",
       {join({kVideo96x64,
              {"-frames:v", "5"},
              kLossless,
              {"-color_primaries", "bt2020", "-color_trc", "smpte2084", "-colorspace", "bt2020nc",
               "%in.mp4"}})},
       "%in.mp4",
       {},
       0,
       "",
       -1,
       "Error: HDR video is not supported: its colours"},
  };
}

TEST(RealWorldClips, PlayAsTheSourceAtTwiceTheSize) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto at = [&](std::string s) { return s.starts_with("%") ? (dir / s.substr(1)).string() : s; };
    for (const auto& step : c.make) {
      std::vector<std::string> args;
      for (const auto& a : step)
        args.push_back(at(a));
      lmr::testing::run_ffmpeg(args);
    }
    const fs::path in = at(c.input), out = dir / "out.mov";
    std::vector<std::string> argv{"upscale",
                                  "-i",
                                  in.string(),
                                  "-o",
                                  out.string(),
                                  "--model",
                                  lmr::testing::model("nn2x.onnx").string(),
                                  "--ep",
                                  "cpu",
                                  "--codec",
                                  "prores"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    auto r = lmr::testing::run_lmr(argv, {}, 240);
    if (!c.error.empty()) {
      EXPECT_EQ(r.exit_code(), 1);
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.err.find(text::format("done: %llu frames", (unsigned long long)c.frames)),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ffprobe(out, "v", "stream=nb_read_frames", true),
              text::format("nb_read_frames=%llu\n", (unsigned long long)c.frames));
    EXPECT_EQ(display_of(out), c.display);
    EXPECT_EQ(ffprobe(out, "v", "stream_side_data=rotation"), "");  // drawn upright
    double diff = mean_difference(player_view(in), player_view(out));
    EXPECT_LE(diff, 1.5) << "mean |difference| from the nearest enlargement";
    if (c.audio < 0) {
      EXPECT_EQ(ffprobe(out, "a", "stream=index"), "");
    } else {
      EXPECT_NEAR(seconds_of(out, "a:0"), c.audio, 0.05);
    }
  }
}

}  // namespace
}  // namespace lmr::video
