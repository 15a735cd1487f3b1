// Clips shaped like what phones, cameras, discs and music libraries produce,
// upscaled 2x by the built lmr with the exact nearest model: the output, as
// a player shows it, must be the nearest enlargement of the source as a
// player shows it (colours included), with every frame, the source's display
// aspect, BT.709 tags and the audio cut at the video's end.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <numeric>

#include "testing.h"
#include "text.h"

namespace lmr::video {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

std::string ffprobe(const fs::path& file, const std::string& select, const std::string& entries) {
  auto r = lmr::testing::run({(lmr::testing::bin_dir() / "ffprobe").string(), "-v", "error",
                              "-count_frames", "-select_streams", select, "-show_entries", entries,
                              "-of", "default=noprint_wrappers=1:nokey=1", file.string()});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  return r.out;
}

// "WxH A:B": the size and the display aspect.
std::string display_of(const fs::path& file) {
  unsigned long long w = 0, h = 0, sn = 1, sd = 1;
  std::sscanf(ffprobe(file, "v:0", "stream=width,height,sample_aspect_ratio").c_str(),
              "%llu %llu %llu:%llu", &w, &h, &sn, &sd);
  const unsigned long long a = w * sn, b = h * sd, g = std::gcd(a, b);
  return text::format("%llux%llu %llu:%llu", w, h, a / g, b / g);
}

struct Picture {
  unsigned long long w = 0, h = 0;
  std::string rgb;
  const char* at(uint64_t x, uint64_t y) const { return &rgb[(y * w + x) * 3]; }
};

// The first frame of the first real video stream as a player shows it:
// auto-rotated, read by its colour tags, or when untagged by BT.709 if HD
// (1280 wide or more, or taller than 576 lines) and BT.601 otherwise.
Picture player_view(const fs::path& file) {
  unsigned long long w = 0, h = 0;
  char space[32] = "";
  std::sscanf(ffprobe(file, "V:0", "stream=width,height,color_space").c_str(), "%llu %llu %31s", &w,
              &h, space);
  const bool untagged_hd = (w >= 1280 || h > 576) && std::string(space) == "unknown";
  auto r = lmr::testing::run({(lmr::testing::bin_dir() / "ffmpeg").string(), "-v", "error", "-i",
                              file.string(), "-map", "0:V:0", "-frames:v", "1", "-vf",
                              untagged_hd ? "scale=in_color_matrix=bt709" : "null", "-pix_fmt",
                              "rgb24", "-c:v", "ppm", "-f", "image2pipe", "-"});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  Picture p;
  int header = 0;
  if (std::sscanf(r.out.c_str(), "P6 %llu %llu 255%n", &p.w, &p.h, &header) == 2 && header > 0)
    p.rgb = r.out.substr(static_cast<size_t>(header) + 1);
  return p;
}

// How far `out` is from the nearest 2x enlargement of `src`: the mean
// absolute difference per channel, and over the flat regions of the source
// (a pixel whose 5x5 neighbourhood is one colour), the worst channel of the
// mean colour each such colour became.
struct Difference {
  double mean[3] = {255, 255, 255};
  double worst_flat = 0;
  std::string text;
};

Difference difference(const Picture& src, const Picture& out) {
  Difference d;
  if (out.w != 2 * src.w || out.h != 2 * src.h || src.rgb.size() != src.w * src.h * 3 ||
      out.rgb.size() != out.w * out.h * 3) {
    d.text = text::format("%llux%llu from %llux%llu", out.w, out.h, src.w, src.h);
    return d;
  }
  double sum[3] = {0, 0, 0};
  std::map<std::string, std::pair<std::array<double, 3>, uint64_t>> flat;
  for (uint64_t y = 0; y < out.h; ++y) {
    for (uint64_t x = 0; x < out.w; ++x) {
      const char *a = src.at(x / 2, y / 2), *b = out.at(x, y);
      bool is_flat = x / 2 >= 2 && y / 2 >= 2 && x / 2 + 2 < src.w && y / 2 + 2 < src.h;
      for (uint64_t yy = y / 2 - 2; is_flat && yy <= y / 2 + 2; ++yy)
        for (uint64_t xx = x / 2 - 2; is_flat && xx <= x / 2 + 2; ++xx)
          is_flat = std::equal(a, a + 3, src.at(xx, yy));
      auto& [acc, n] = flat[is_flat ? std::string(a, 3) : ""];
      for (int c = 0; c < 3; ++c) {
        sum[c] += std::abs(uint8_t(a[c]) - uint8_t(b[c]));
        acc[c] += uint8_t(b[c]);
      }
      ++n;
    }
  }
  for (int c = 0; c < 3; ++c)
    d.mean[c] = sum[c] / double(out.w * out.h);
  for (const auto& [colour, stats] : flat) {
    for (int c = 0; colour.size() == 3 && stats.second >= 400 && c < 3; ++c)
      d.worst_flat = std::max(d.worst_flat,
                              std::abs(stats.first[c] / double(stats.second) - uint8_t(colour[c])));
  }
  d.text = text::format("mean |difference| R %.2f G %.2f B %.2f, flat colours off by %.1f at most",
                        d.mean[0], d.mean[1], d.mean[2], d.worst_flat);
  return d;
}

struct Case {
  std::string name;
  // ffmpeg runs that make the clip ("%name" is a file in the test folder);
  // the last argument of the last run is the clip.
  std::vector<std::vector<std::string>> make;
  std::vector<std::string> options;
  unsigned long long frames;  // in the output
  std::string display;        // its size and display aspect
  double audio;               // seconds of audio in it (-1: none)
  std::string error = {};     // expected failure instead of an output
};

std::vector<std::string> clip(const std::vector<std::string>& middle,
                              const std::vector<std::string>& end = {"%in.mp4"},
                              const std::string& video = "testsrc2=size=96x64:rate=25") {
  std::vector<std::string> all{"-f", "lavfi", "-i", video};
  all.insert(all.end(), middle.begin(), middle.end());
  all.insert(all.end(), {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv444p"});
  all.insert(all.end(), end.begin(), end.end());
  return all;
}

std::vector<std::string> sine(const std::string& seconds, const std::string& frames) {
  std::vector<std::string> all{"-f", "lavfi", "-i", "sine=sample_rate=48000:duration=" + seconds};
  if (!frames.empty())
    all.insert(all.end(), {"-frames:v", frames});
  return all;
}

std::vector<std::string> rotated(const std::string& degrees) {
  return {"-i", "%plain.mp4", "-c", "copy", "-metadata:s:v:0", "rotate=" + degrees, "%in.mp4"};
}

std::vector<std::string> bars(const std::string& source, const std::vector<std::string>& tags) {
  std::vector<std::string> all{"-f",        "lavfi", "-i",       source + "=size=1280x720:rate=25",
                               "-frames:v", "1",     "-c:v",     "libx264",
                               "-qp",       "0",     "-pix_fmt", "yuv420p"};
  all.insert(all.end(), tags.begin(), tags.end());
  all.push_back("%in.mp4");
  return all;
}

std::vector<Case> cases() {
  const auto plain = clip({"-frames:v", "25"}, {"%plain.mp4"});
  const std::vector<std::string> aac = {"-c:a", "aac", "%in.mp4"};
  return {
      {"portrait phone video, rotation 90", {plain, rotated("90")}, {}, 25, "128x192 2:3", -1},
      {"rotation 180", {plain, rotated("180")}, {}, 25, "192x128 3:2", -1},
      {"two video streams (the second default) and cover art",
       {{"-f", "lavfi", "-i", "color=red:size=256x256", "-frames:v", "1", "%cover.jpg"},
        {"-f",
         "lavfi",
         "-i",
         "testsrc2=size=64x48:rate=25:duration=1",
         "-f",
         "lavfi",
         "-i",
         "testsrc=size=128x96:rate=25:duration=0.4",
         "-map",
         "0",
         "-map",
         "1",
         "-c:v",
         "libx264",
         "-qp",
         "0",
         "-disposition:v:0",
         "0",
         "-disposition:v:1",
         "default",
         "-attach",
         "%cover.jpg",
         "-metadata:s:t",
         "mimetype=image/jpeg",
         "%in.mkv"}},
       {},
       25,
       "128x96 4:3",
       -1},
      {"non-square pixels (2:1)",
       {clip({"-frames:v", "5", "-vf", "setsar=2"})},
       {},
       5,
       "192x128 3:1",
       -1},
      {"audio ending 7 s before the video",
       {clip(sine("1", "200"), aac)},
       {},
       200,
       "192x128 3:2",
       1.0},
      {"audio longer than the video",
       {clip(sine("5", ""), aac, "testsrc2=size=96x64:rate=25:duration=1")},
       {},
       25,
       "192x128 3:2",
       1.0},
      {"--max-frames cuts the audio too",
       {clip(sine("2", "50"), aac)},
       {"--max-frames", "10"},
       10,
       "192x128 3:2",
       0.4},
      {"tagged full range",
       {clip({"-frames:v", "5", "-vf", "scale=out_range=pc:out_color_matrix=bt709"},
             {"-color_range", "pc", "-colorspace", "bt709", "%in.mp4"})},
       {},
       5,
       "192x128 3:2",
       -1},
      {"untagged HD bars",
       {bars("smptehdbars", {"-vf", "scale=out_color_matrix=bt709"})},
       {},
       1,
       "2560x1440 16:9",
       -1},
      {"tagged HD bars",
       {bars("smptehdbars", {"-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc",
                             "bt709", "-color_range", "tv"})},
       {},
       1,
       "2560x1440 16:9",
       -1},
      {"HDR (PQ) is refused",
       {clip({"-frames:v", "5"}, {"-color_primaries", "bt2020", "-color_trc", "smpte2084",
                                  "-colorspace", "bt2020nc", "%in.mp4"})},
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
    std::string in;
    for (const auto& step : c.make) {
      std::vector<std::string> args;
      for (const auto& a : step)
        args.push_back(a.starts_with("%") ? (dir / a.substr(1)).string() : a);
      in = args.back();
      lmr::testing::run_ffmpeg(args);
    }
    const fs::path out = dir / "out.mov";
    std::vector<std::string> argv{"upscale",
                                  "-i",
                                  in,
                                  "-o",
                                  out.string(),
                                  "--model",
                                  lmr::testing::model("nn2x.onnx").string(),
                                  "--ep",
                                  "cpu",
                                  "--codec",
                                  "prores"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    lmr::testing::ProcResult r;
    {
      lmr::testing::StandIns tools;  // the real tools, watched
      lmr::testing::Hygiene hygiene(&tools, {in});
      r = lmr::testing::run_lmr(argv, {}, 240);
    }
    if (!c.error.empty()) {
      EXPECT_EQ(r.exit_code(), 1);
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.err.find(text::format("done: %llu frames", c.frames)), std::string::npos) << r.err;
    EXPECT_EQ(ffprobe(out, "v", "stream=nb_read_frames"), std::to_string(c.frames) + "\n");
    EXPECT_EQ(display_of(out), c.display);
    EXPECT_EQ(ffprobe(out, "v", "stream_side_data=rotation"), "");  // drawn upright
    EXPECT_EQ(ffprobe(out, "v", "stream=color_range,color_space,color_transfer,color_primaries"),
              "tv\nbt709\nbt709\nbt709\n");
    Difference d = difference(player_view(in), player_view(out));
    std::cout << c.name << ": " << d.text << "\n";
    EXPECT_LE(*std::max_element(d.mean, d.mean + 3), 1.5) << d.text;
    EXPECT_LE(d.worst_flat, 4.0) << d.text;
    if (c.audio < 0)
      EXPECT_EQ(ffprobe(out, "a", "stream=index"), "");
    else
      EXPECT_NEAR(std::atof(ffprobe(out, "a:0", "stream=duration").c_str()), c.audio, 0.05);
  }
}

}  // namespace
}  // namespace lmr::video
