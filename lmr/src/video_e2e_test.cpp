// Clips shaped like what phones, cameras, discs and music libraries produce,
// upscaled by the built lmr with an exact nearest model: the output, as a
// player shows it, must be the nearest enlargement of the source as a
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

// The mean absolute difference per channel from the nearest enlargement by
// `s` of `src` (an odd side may have lost its last pixel); nothing when the
// sizes do not match.
std::optional<std::array<double, 3>> difference(const Picture& src,
                                                const Picture& out,
                                                uint64_t s) {
  auto fits = [s](uint64_t o, uint64_t i) { return o == s * i || (o + 1 == s * i && o % 2 == 0); };
  if (!fits(out.w, src.w) || !fits(out.h, src.h) || src.rgb.size() != src.w * src.h * 3 ||
      out.rgb.size() != out.w * out.h * 3)
    return std::nullopt;
  std::array<double, 3> mean{0, 0, 0};
  for (uint64_t y = 0; y < out.h; ++y)
    for (uint64_t x = 0; x < out.w; ++x)
      for (int c = 0; c < 3; ++c)
        mean[c] += std::abs(uint8_t(src.at(x / s, y / s)[c]) - uint8_t(out.at(x, y)[c]));
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
  std::string says = {};      // a line expected on stderr
  std::string streams = {};   // the output's other streams, "type:codec ..." (when set)
  bool offset = false;        // the audio/video offset kept within a frame
  bool progressive = false;   // the output tagged progressive
  std::string model = "nn2x.onnx";
  uint64_t scale = 2;
  bool relative = false;  // names relative to the test folder, its working folder
  std::string file = {};  // "name:text": a file written into the folder first
  // Mean difference per channel: deinterlacing blurs horizontal edges, and
  // in a tiny picture the encoder's halved chroma weighs more.
  double tolerance = 2.0;
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
  const std::string late_video =
      "-f lavfi -i sine=sample_rate=48000:duration=3 -f lavfi -i "
      "testsrc2=size=96x64:rate=25:duration=2 -map 1:v -map 0:a -c:v libx264 -qp 0 -pix_fmt "
      "yuv444p -c:a aac %src.mkv ; "
      "-itsoffset 0.5 -i %src.mkv -i %src.mkv -map 0:v -map 1:a -c copy ";
  const std::string refused = "Error: cannot write H.264 video into a .";
  const std::string subs = "subs.srt:1\n00:00:00,000 --> 00:00:00,500\nhello\n";
  const std::string short_clip = "testsrc2=size=96x64:rate=25:duration=0.4";
  const std::string with_subs = clip(sine("1") + " -i %subs.srt -map 0 -map 1 -map 2",
                                     "-c:a aac -c:s srt %in.mkv", short_clip);
  const std::string best = "--quality 100 -o ";
  return {
      {"MPEG-TS, video 0.5 s after the audio", late_video + "%in.ts", "-o %out.mp4", 63,
       "192 128 N/A", 2.52, "", "", "audio:aac", true},
      {"M2TS, video 0.5 s after the audio", late_video + "%in.m2ts", "-o %out.mov", 63,
       "192 128 N/A", 2.52, "", "", "audio:aac", true},
      {"interlaced DVD MPEG-2, top field first",
       "-f lavfi -i smptebars=size=720x480:rate=60000/1001 -frames:v 8 -vf interlace=scan=tff "
       "-c:v mpeg2video -flags +ilme+ildct -top 1 -q:v 2 -f dvd %in.vob",
       best + "%out.mp4", 8, "1440 960 N/A", -1, "",
       "interlaced source (top field first): deinterlacing it (bwdif) at 30000/1001 frames/s; "
       "the output is progressive",
       "", false, true},
      {"AVCHD-like field-coded H.264",
       "-f lavfi -i smptebars=size=192x108:rate=25:duration=1 " + sine("1") +
           " -c:v libx264 -flags +ilme+ildct -x264opts tff=1 -c:a ac3 %in.m2ts",
       mov, 25, "384 216 N/A", 1.0, "", "deinterlacing it (bwdif) at 25/1 frames/s", "audio:ac3",
       true, true, "nn2x.onnx", 2, false, "", 4.0},
      {"PCM audio from a camera .mov into .mp4",
       clip(sine("1"), "-c:a pcm_s16le %in.mov", short_clip), best + "%out.mp4", 10, "192 128 N/A",
       0.44, "", "audio: pcm_s16le cannot go into MP4; converting it to AAC", "audio:aac"},
      {"odd size 33x21 at 3x", clip("-frames:v 5 -vf format=yuv444p,crop=33:21:0:0"), mov, 5,
       "98 62 N/A", -1, "", "output 99x63 cropped to 98x62", "", false, false, "nn3x.onnx", 3,
       false, "", 3.0},
      {"853x480 at 3x",
       clip("-frames:v 1 -vf format=yuv444p,crop=853:480:0:0", "%in.mp4",
            "testsrc2=size=854x480:rate=25"),
       mov, 1, "2558 1440 N/A", -1, "", "output 2559x1440 cropped to 2558x1440", "", false, false,
       "nn3x.onnx", 3},
      {"subtitles into .mkv", with_subs, best + "%out.mkv", 11, "192 128 N/A", 0, "", "",
       "audio:aac subtitle:subrip", false, false, "nn2x.onnx", 2, false, subs},
      {"subtitles into .mp4", with_subs, best + "%out.mp4", 11, "192 128 N/A", 0.44, "", "",
       "audio:aac subtitle:mov_text", false, false, "nn2x.onnx", 2, false, subs},
      {"no extension: MP4", clip("-frames:v 3"), best + "%out", 3, "192 128 N/A", -1, "",
       "has no extension: writing MP4"},
      {"relative names with a colon, starting with -", clip("-frames:v 3", "-in:1.mp4"),
       best + "-out:1.mp4", 3, "192 128 N/A", -1, "", "", "", false, false, "nn2x.onnx", 2, true},
      {".webm refused", clip("-frames:v 3"), "-o %out.webm", 0, "", -1, refused + "webm file"},
      {".avi refused", clip("-frames:v 3"), "-o %out.avi", 0, "", -1, refused + "avi file"},
      {".gif refused", clip("-frames:v 3"), "-o %out.gif", 0, "", -1, refused + "gif file"},
      {"an HLS playlist naming a URL", "", "-o %out.mp4", 0, "", -1,
       "Protocol 'http' not on whitelist 'file,pipe'", "", "", false, false, "nn2x.onnx", 2, false,
       "in.m3u8:#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nhttp://127.0.0.1:9/a.ts\n"
       "#EXT-X-ENDLIST\n"},
      {"an audio-only input", sine("1") + " %in.m4a", "-o %out.mp4", 0, "", -1,
       "Error: no video stream in "},
      {"portrait phone video, rotation 90", plain + rotate,
       "--codec h265 --quality 100 -o %out.mkv", 25, "128 192 N/A", -1},
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

// The output's streams besides the video, as "type:codec ...".
std::string other_streams(const fs::path& out) {
  std::string all;
  for (auto [select, type] : {std::pair{"a", "audio"}, {"s", "subtitle"}}) {
    std::istringstream names(ffprobe(out, select, "stream=codec_name"));
    for (std::string name; names >> name;)
      all += (all.empty() ? "" : " ") + std::string(type) + ":" + name;
  }
  return all;
}

double number(const fs::path& file, const std::string& select, const std::string& entry) {
  return std::atof(ffprobe(file, select, entry).c_str());
}

TEST(RealWorldClips, PlayAsTheSourceAtTheModelsScale) {
  const fs::path home = fs::current_path();
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string in;
    if (size_t colon = c.file.find(':'); colon != std::string::npos) {
      lmr::testing::write_file(dir / c.file.substr(0, colon), c.file.substr(colon + 1));
      in = (dir / c.file.substr(0, colon)).string();
    }
    for (size_t at = 0, end = 0; at < c.make.size(); at = end + 3) {
      end = std::min(c.make.find(" ; ", at), c.make.size());
      auto args = words(c.make.substr(at, end - at), dir);
      in = args.back();
      if (c.relative)
        args.back() = (dir / in).string();
      lmr::testing::run_ffmpeg(args);
    }
    auto argv = words("upscale --ep cpu " + c.options, dir);
    const std::string out_arg = *(std::find(argv.begin(), argv.end(), "-o") + 1);
    const fs::path out = dir / out_arg, in_path = dir / in;
    argv.insert(argv.end(), {"-i", in, "--model", lmr::testing::model(c.model).string()});
    if (c.scale != 2)
      argv.insert(argv.end(), {"--scale", std::to_string(c.scale)});
    lmr::testing::ProcResult r;
    {
      // Relative names are taken from the working folder.
      if (c.relative)
        fs::current_path(dir.path());
      lmr::testing::StandIns tools;  // the real tools, watched
      lmr::testing::Hygiene hygiene(&tools, {in_path});
      r = lmr::testing::run_lmr(argv, {}, 240);
      fs::current_path(home);
      // Local files and pipes only, for every input of every tool started
      // (counted: two tools running at once may interleave their records).
      for (const char* tool : {"ffmpeg", "ffprobe"}) {
        size_t inputs = 0, whitelists = 0;
        for (const auto& call : tools.calls(tool)) {
          inputs += std::count(call.begin(), call.end(), "-i");
          whitelists += std::count(call.begin(), call.end(), "-protocol_whitelist");
        }
        EXPECT_EQ(whitelists, std::string(tool) == "ffprobe" ? tools.calls(tool).size() : inputs)
            << tool;
      }
    }
    if (!c.error.empty()) {
      // Refused before any model loads, and nothing written.
      EXPECT_EQ(r.exit_code(), 1);
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("model loaded"), std::string::npos) << r.err;
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_NE(r.err.find(text::format("done: %llu frames", c.frames)), std::string::npos) << r.err;
    if (!c.says.empty()) {
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // Every frame, drawn upright (no rotation), tagged BT.709.
    EXPECT_EQ(ffprobe(out, "v",
                      "stream=width,height,display_aspect_ratio,color_range,color_space,"
                      "color_transfer,color_primaries,nb_read_frames:stream_side_data=rotation"),
              c.display + " tv bt709 bt709 bt709 " + std::to_string(c.frames));
    auto d = difference(player_view(in_path), player_view(out), c.scale);
    ASSERT_TRUE(d) << "not the source's size times the scale";
    std::cout << text::format("%s: mean |difference| R %.2f G %.2f B %.2f\n", c.name.c_str(),
                              (*d)[0], (*d)[1], (*d)[2]);
    EXPECT_LE(std::max({(*d)[0], (*d)[1], (*d)[2]}), c.tolerance);
    if (c.audio < 0) {
      EXPECT_EQ(ffprobe(out, "a", "stream=index"), "");
    } else if (c.audio > 0) {
      EXPECT_NEAR(number(out, "a:0", "stream=duration"), c.audio, 0.05);
    }
    if (!c.streams.empty()) {
      EXPECT_EQ(other_streams(out), c.streams);
    }
    if (c.progressive) {
      EXPECT_EQ(ffprobe(out, "V:0", "stream=field_order"), "progressive");
    }
    if (c.offset) {
      // The first real frame comes after the frames added before a late
      // start; from there the audio must be as far as in the source.
      const double rate = 25.0;
      const double added = double(c.frames) - number(in_path, "V:0", "stream=nb_read_frames");
      const double source =
          number(in_path, "a:0", "stream=start_time") - number(in_path, "V:0", "stream=start_time");
      const double output = number(out, "a:0", "stream=start_time") -
                            number(out, "V:0", "stream=start_time") - added / rate;
      EXPECT_NEAR(output, source, 1.0 / rate);
    }
  }
}

}  // namespace
}  // namespace lmr::video
