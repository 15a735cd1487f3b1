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
#include <numeric>
#include <sstream>

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
  std::replace(r.out.begin(), r.out.end(), '\n', ' ');
  return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
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

// The mean absolute difference per channel from the nearest 2x enlargement
// of `src`, as text; nothing when the sizes do not match.
std::optional<std::array<double, 3>> difference(const Picture& src, const Picture& out) {
  if (out.w != 2 * src.w || out.h != 2 * src.h || src.rgb.size() != src.w * src.h * 3 ||
      out.rgb.size() != out.w * out.h * 3)
    return std::nullopt;
  std::array<double, 3> mean{0, 0, 0};
  for (uint64_t y = 0; y < out.h; ++y)
    for (uint64_t x = 0; x < out.w; ++x)
      for (int c = 0; c < 3; ++c)
        mean[c] += std::abs(uint8_t(src.at(x / 2, y / 2)[c]) - uint8_t(out.at(x, y)[c]));
  for (double& m : mean)
    m /= double(out.w * out.h);
  return mean;
}

struct Case {
  std::string name;
  // ffmpeg runs that make the clip, split at " ; " ("%name" is a file in the
  // test folder); the last argument of the last run is the clip.
  std::string make;
  std::string options;        // codec and output (-o) among them
  unsigned long long frames;  // in the output
  std::string display;        // its size and display aspect (N/A: square pixels)
  double audio;               // seconds of audio in it (-1: none)
  std::string error = {};     // expected failure instead of an output
};

std::string clip(const std::string& middle,
                 const std::string& end = "%in.mp4",
                 const std::string& video = "testsrc2=size=96x64:rate=25") {
  return "-f lavfi -i " + video + " " + middle + " -c:v libx264 -qp 0 -pix_fmt yuv444p " + end;
}

std::string sine(const std::string& seconds) {
  return "-f lavfi -i sine=sample_rate=48000:duration=" + seconds;
}

std::vector<Case> cases() {
  const std::string plain = clip("-frames:v 25", "%plain.mp4") + " ; -i %plain.mp4 -c copy ";
  const std::string rotate = " -metadata:s:v:0 rotate=90 %in.mp4", aac = "-c:a aac %in.mp4";
  const std::string mov = "--codec prores -o %out.mov", hd = "smptehdbars=size=1280x720:rate=25";
  return {
      {"portrait phone video, rotation 90", plain + rotate,
       "--codec hevc --quality 100 -o %out.mkv", 25, "128 192 N/A", -1},
      {"two video streams (the second default) and cover art",
       "-f lavfi -i color=red:size=256x256 -frames:v 1 %cover.jpg ; -f lavfi -i "
       "testsrc2=size=64x48:rate=25:duration=1 -f lavfi -i "
       "testsrc=size=128x96:rate=25:duration=0.4 -map 0 -map 1 -c:v libx264 -qp 0 "
       "-disposition:v:0 0 -disposition:v:1 default -attach %cover.jpg -metadata:s:t "
       "mimetype=image/jpeg %in.mkv",
       mov, 25, "128 96 N/A", -1},
      {"non-square pixels (2:1)", clip("-frames:v 5 -vf setsar=2"), mov, 5, "192 128 3:1", -1},
      {"audio ending 7 s before the video", clip(sine("1") + " -frames:v 200", aac), mov, 200,
       "192 128 N/A", 1.0},
      {"audio longer than the video",
       clip(sine("5"), aac, "testsrc2=size=96x64:rate=25:duration=1"),
       "--codec h264 --quality 100 -o %out.mp4", 25, "192 128 N/A", 1.0},
      {"--max-frames cuts the audio too", clip(sine("2") + " -frames:v 50", aac),
       mov + " --max-frames 10", 10, "192 128 N/A", 0.4},
      {"tagged full range",
       clip("-frames:v 5 -vf scale=out_range=pc:out_color_matrix=bt709",
            "-color_range pc -colorspace bt709 %in.mp4"),
       mov, 5, "192 128 N/A", -1},
      {"untagged HD bars", clip("-frames:v 1 -vf scale=out_color_matrix=bt709", "%in.mp4", hd), mov,
       1, "2560 1440 N/A", -1},
      {"tagged HD bars",
       clip("-frames:v 1 -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv",
            "%in.mp4", hd),
       mov, 1, "2560 1440 N/A", -1},
      {"HDR (PQ) is refused",
       clip("-frames:v 5",
            "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc %in.mp4"),
       mov, 0, "", -1, "Error: HDR video is not supported: its colours"},
  };
}

std::vector<std::string> words(const std::string& s, const TempDir& dir) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;)
    out.push_back(w.starts_with("%") ? (dir / w.substr(1)).string() : w);
  return out;
}

TEST(RealWorldClips, PlayAsTheSourceAtTwiceTheSize) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string in;
    for (size_t at = 0, end = 0; at < c.make.size(); at = end + 3) {
      end = std::min(c.make.find(" ; ", at), c.make.size());
      auto args = words(c.make.substr(at, end - at), dir);
      in = args.back();
      lmr::testing::run_ffmpeg(args);
    }
    auto argv = words("upscale --ep cpu " + c.options, dir);
    const fs::path out = *(std::find(argv.begin(), argv.end(), "-o") + 1);
    argv.insert(argv.end(), {"-i", in, "--model", lmr::testing::model("nn2x.onnx")});
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
    // Every frame, drawn upright (no rotation), tagged BT.709.
    EXPECT_EQ(ffprobe(out, "v",
                      "stream=width,height,display_aspect_ratio,color_range,color_space,"
                      "color_transfer,color_primaries,nb_read_frames:stream_side_data=rotation"),
              c.display + " tv bt709 bt709 bt709 " + std::to_string(c.frames));
    auto d = difference(player_view(in), player_view(out));
    ASSERT_TRUE(d) << "not the source's size times two";
    std::cout << text::format("%s: mean |difference| R %.2f G %.2f B %.2f\n", c.name.c_str(),
                              (*d)[0], (*d)[1], (*d)[2]);
    EXPECT_LE(std::max({(*d)[0], (*d)[1], (*d)[2]}), 2.0);
    if (c.audio < 0)
      EXPECT_EQ(ffprobe(out, "a", "stream=index"), "");
    else
      EXPECT_NEAR(std::atof(ffprobe(out, "a:0", "stream=duration").c_str()), c.audio, 0.05);
  }
}

}  // namespace
}  // namespace lmr::video
