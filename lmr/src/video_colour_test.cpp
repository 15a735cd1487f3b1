// Colour fidelity of a real upscale: colour bars through the exact nearest
// 2x model must come back, as a player shows them, like the nearest
// enlargement of the source as a player shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <tuple>

#include "testing.h"
#include "text.h"
#include "video.h"

namespace lmr::video {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

std::string ffmpeg_path() {
  return (lmr::testing::bin_dir() / "ffmpeg").string();
}

std::string stream_field(const fs::path& file, const std::string& key) {
  auto r = lmr::testing::run({(lmr::testing::bin_dir() / "ffprobe").string(), "-v", "error",
                              "-select_streams", "v:0", "-show_entries", "stream=" + key, "-of",
                              "default=noprint_wrappers=1:nokey=1", file.string()});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  std::string out = r.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
    out.pop_back();
  return out;
}

struct Image {
  uint64_t w = 0, h = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* at(uint64_t x, uint64_t y) const { return &rgb[(y * w + x) * 3]; }
};

// The first frame as a player shows it: a tagged stream with its own
// matrix; an untagged one with BT.709 when HD (1280 wide or more, or taller
// than 576 lines), BT.601 otherwise.
Image player_view(const fs::path& file) {
  auto info = probe(file.string());
  EXPECT_TRUE(info) << info.error().message();
  if (!info)
    return {};
  std::vector<std::string> filters;
  std::string space = stream_field(file, "color_space");
  if (space.empty() || space == "unknown") {
    bool hd = info->width >= 1280 || info->height > 576;
    filters.push_back(std::string("scale=in_color_matrix=") + (hd ? "bt709" : "bt601") +
                      ":in_range=tv");
  }
  auto dec = Decoder::create(file.string(), info->width, info->height, std::nullopt, filters);
  EXPECT_TRUE(dec) << dec.error().message();
  if (!dec)
    return {};
  auto frame = dec->next_frame();
  EXPECT_TRUE(frame && frame->has_value());
  if (!frame || !frame->has_value())
    return {};
  return {info->width, info->height, std::vector<uint8_t>((*frame)->begin(), (*frame)->end())};
}

struct Difference {
  double mean[3] = {0, 0, 0};  // mean absolute difference per channel
  double worst_bar = 0;        // largest |bar mean - source colour|
  int bars = 0;                // flat regions of the source compared
  std::string worst_bar_text;
};

// Compares `out` with the exact nearest 2x enlargement of `src`. A bar is
// the set of source pixels of one colour whose 5x5 neighbourhood is flat.
Difference compare_nearest_2x(const Image& src, const Image& out) {
  Difference d;
  EXPECT_EQ(out.w, src.w * 2);
  EXPECT_EQ(out.h, src.h * 2);
  if (out.w != src.w * 2 || out.h != src.h * 2)
    return d;
  double sum[3] = {0, 0, 0};
  for (uint64_t y = 0; y < out.h; ++y) {
    for (uint64_t x = 0; x < out.w; ++x) {
      const uint8_t* a = src.at(x / 2, y / 2);
      const uint8_t* b = out.at(x, y);
      for (int c = 0; c < 3; ++c)
        sum[c] += std::abs(int(a[c]) - int(b[c]));
    }
  }
  for (int c = 0; c < 3; ++c)
    d.mean[c] = sum[c] / double(out.w * out.h);

  using Colour = std::tuple<int, int, int>;
  std::map<Colour, std::pair<std::array<double, 3>, uint64_t>> bars;
  for (uint64_t y = 2; y + 2 < src.h; ++y) {
    for (uint64_t x = 2; x + 2 < src.w; ++x) {
      const uint8_t* p = src.at(x, y);
      bool flat = true;
      for (uint64_t yy = y - 2; flat && yy <= y + 2; ++yy)
        for (uint64_t xx = x - 2; flat && xx <= x + 2; ++xx)
          flat = std::equal(p, p + 3, src.at(xx, yy));
      if (!flat)
        continue;
      auto& [acc, n] = bars[Colour(p[0], p[1], p[2])];
      for (uint64_t oy = 2 * y; oy < 2 * y + 2; ++oy)
        for (uint64_t ox = 2 * x; ox < 2 * x + 2; ++ox)
          for (int c = 0; c < 3; ++c)
            acc[c] += out.at(ox, oy)[c];
      n += 4;
    }
  }
  for (const auto& [colour, stats] : bars) {
    if (stats.second < 400)  // a real bar, not a stray flat spot
      continue;
    ++d.bars;
    int want[3] = {std::get<0>(colour), std::get<1>(colour), std::get<2>(colour)};
    for (int c = 0; c < 3; ++c) {
      double got = stats.first[c] / double(stats.second);
      double off = std::abs(got - want[c]);
      if (off > d.worst_bar) {
        d.worst_bar = off;
        d.worst_bar_text = "(" + std::to_string(want[0]) + "," + std::to_string(want[1]) + "," +
                           std::to_string(want[2]) + ") channel " + std::to_string(c) + " became " +
                           std::to_string(got);
      }
    }
  }
  return d;
}

std::string describe(const Difference& d) {
  return lmr::text::format("mean |diff| R %.2f G %.2f B %.2f; %d bars, worst off by %.1f: ",
                           d.mean[0], d.mean[1], d.mean[2], d.bars, d.worst_bar) +
         d.worst_bar_text;
}

bool within_limits(const Difference& d) {
  return d.bars > 0 && d.mean[0] <= 1.0 && d.mean[1] <= 1.0 && d.mean[2] <= 1.0 &&
         d.worst_bar <= 4.0;
}

// Upscales `input` 2x with the nearest model; `env` may point the engine at
// stand-in tools.
void upscale(const fs::path& input,
             const fs::path& output,
             const std::string& codec,
             const std::string& quality,
             const lmr::testing::EnvChanges& env = {}) {
  auto r = lmr::testing::run_lmr({"upscale", "-i", input.string(), "-o", output.string(), "--model",
                                  lmr::testing::model("nn2x.onnx").string(), "--ep", "cpu",
                                  "--codec", codec, "--quality", quality},
                                 env, 240);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  ASSERT_NE(r.err.find("done: 1 frames"), std::string::npos) << r.err;
}

void make_bars(const fs::path& path,
               const std::string& source,
               const std::vector<std::string>& colour_args) {
  std::vector<std::string> argv{ffmpeg_path(), "-v",   "error",     "-y",     "-f",   "lavfi",
                                "-i",          source, "-frames:v", "1",      "-c:v", "libx264",
                                "-qp",         "0",    "-pix_fmt",  "yuv420p"};
  argv.insert(argv.end(), colour_args.begin(), colour_args.end());
  argv.push_back(path.string());
  auto r = lmr::testing::run(argv);
  ASSERT_EQ(r.exit_code(), 0) << r.err;
}

// A stand-in ffmpeg that drops the colour conversion and tags from the
// encoder's arguments, leaving the list as it was before they were added.
void make_uncorrected_tools(const fs::path& dir) {
  fs::create_directories(dir);
  lmr::testing::write_file(dir / "ffmpeg",
                           "#!/bin/bash\n"
                           "touch \"$(dirname \"$0\")/used\"\n"
                           "args=()\n"
                           "while [ $# -gt 0 ]; do\n"
                           "  case \"$1\" in\n"
                           "    -colorspace|-color_primaries|-color_trc|"
                           "-color_range) shift 2; continue;;\n"
                           "    -vf) v=\"${2%%out_color_matrix*}\"; v=\"${v%:}\"\n"
                           "      [ \"$v\" != scale= ] && args+=(-vf \"$v\")\n"
                           "      shift 2; continue;;\n"
                           "  esac\n"
                           "  args+=(\"$1\"); shift\n"
                           "done\n"
                           "exec \"" +
                               ffmpeg_path() + "\" \"${args[@]}\"\n");
  fs::permissions(dir / "ffmpeg", fs::perms::owner_all);
  fs::create_symlink(lmr::testing::bin_dir() / "ffprobe", dir / "ffprobe");
}

TEST(ColourReal, TaggedHdBarsSurviveTheUpscale) {
  TempDir dir;
  make_bars(dir / "hd.mp4", "smptehdbars=size=1280x720:rate=25",
            {"-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709",
             "-color_range", "tv"});
  Image src = player_view(dir / "hd.mp4");

  upscale(dir / "hd.mp4", dir / "up.mov", "prores", "80");
  EXPECT_EQ(stream_field(dir / "up.mov", "color_space"), "bt709");
  EXPECT_EQ(stream_field(dir / "up.mov", "color_primaries"), "bt709");
  EXPECT_EQ(stream_field(dir / "up.mov", "color_transfer"), "bt709");
  EXPECT_EQ(stream_field(dir / "up.mov", "color_range"), "tv");
  Difference fixed = compare_nearest_2x(src, player_view(dir / "up.mov"));
  std::cout << "HD bars, ProRes: " << describe(fixed) << "\n";
  EXPECT_TRUE(within_limits(fixed)) << describe(fixed);

  upscale(dir / "hd.mp4", dir / "up.mp4", "h264", "100");
  EXPECT_EQ(stream_field(dir / "up.mp4", "color_space"), "bt709");
  Difference h264 = compare_nearest_2x(src, player_view(dir / "up.mp4"));
  std::cout << "HD bars, H.264 at quality 100: " << describe(h264) << "\n";
  EXPECT_TRUE(within_limits(h264)) << describe(h264);

  // The same run without the conversion and tags: the check must catch it.
  make_uncorrected_tools(dir / "tools");
  upscale(dir / "hd.mp4", dir / "plain.mov", "prores", "80",
          {{"LMR_FFMPEG_DIR", (dir / "tools").string()}});
  ASSERT_TRUE(fs::exists(dir / "tools" / "used"));
  EXPECT_EQ(stream_field(dir / "plain.mov", "color_space"), "unknown");
  Difference plain = compare_nearest_2x(src, player_view(dir / "plain.mov"));
  std::cout << "HD bars, ProRes without conversion and tags: " << describe(plain) << "\n";
  EXPECT_FALSE(within_limits(plain)) << describe(plain);
}

// Untagged sources are read as players read them: BT.601 for SD, BT.709 for
// HD (ffmpeg alone reads both as BT.601).
TEST(ColourReal, UntaggedBarsBecomeTaggedHd) {
  struct Row {
    std::string name, source, matrix;
  };
  for (const Row& row : {Row{"SD", "smptebars=size=640x480:rate=25", "bt601"},
                         Row{"HD", "smptehdbars=size=1280x720:rate=25", "bt709"}}) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    make_bars(dir / "in.mp4", row.source,
              {"-vf", "scale=out_color_matrix=" + row.matrix + ":out_range=tv"});
    ASSERT_EQ(stream_field(dir / "in.mp4", "color_space"), "unknown");
    Image src = player_view(dir / "in.mp4");

    upscale(dir / "in.mp4", dir / "up.mov", "prores", "80");
    EXPECT_EQ(stream_field(dir / "up.mov", "color_space"), "bt709");
    Difference fixed = compare_nearest_2x(src, player_view(dir / "up.mov"));
    std::cout << "untagged " << row.name << " bars, ProRes: " << describe(fixed) << "\n";
    EXPECT_TRUE(within_limits(fixed)) << describe(fixed);

    make_uncorrected_tools(dir / "tools");
    upscale(dir / "in.mp4", dir / "plain.mov", "prores", "80",
            {{"LMR_FFMPEG_DIR", (dir / "tools").string()}});
    Difference plain = compare_nearest_2x(src, player_view(dir / "plain.mov"));
    std::cout << "untagged " << row.name
              << " bars, ProRes without conversion and tags: " << describe(plain) << "\n";
    EXPECT_FALSE(within_limits(plain)) << describe(plain);
  }
}

}  // namespace
}  // namespace lmr::video
