// classify through real clips and the real tools, and against stand-in tools
// that record their arguments or misbehave on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "content.h"
#include "testing.h"

namespace lmr::content {
namespace {

namespace fs = std::filesystem;
using lmr::testing::Hygiene;
using lmr::testing::StandIns;
using lmr::testing::TempDir;

std::string verdict(const Result<bool>& r) {
  return r ? (*r ? "natural" : "graphic") : r.error().message();
}

TEST(Classify, RealClipsThroughTheRealTools) {
  TempDir dir;
  lmr::testing::make_animation(dir / "cartoon.mp4");
  // A busy test pattern under heavy temporal and spatial grain.
  lmr::testing::run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=480x270:r=25:d=2", "-vf",
                            "noise=alls=30:allf=t+u,format=yuv420p", "-c:v", "libx264", "-crf",
                            "18", (dir / "camera.mp4").string()});
  lmr::testing::make_undecodable_clip(dir.path(), dir / "cut.mp4");
  Hygiene clean;
  EXPECT_EQ(verdict(classify((dir / "cartoon.mp4").string())), "graphic");
  EXPECT_EQ(verdict(classify((dir / "camera.mp4").string())), "natural");
  const std::string cut = verdict(classify((dir / "cut.mp4").string()));
  EXPECT_TRUE(cut.starts_with("ffmpeg frame extraction failed: ") && cut.size() > 32) << cut;
  const std::string absent = verdict(classify((dir / "absent.mp4").string()));
  EXPECT_TRUE(absent.starts_with("ffprobe failed: ")) << absent;
}

// 320x180: a yellow disc on blue, flat or under strong grain.
std::string frame(int grain) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> noise(-grain, grain);
  std::string px;
  for (int y = 0; y < 180; ++y) {
    for (int x = 0; x < 320; ++x) {
      const bool disc = (x - 160) * (x - 160) + (y - 90) * (y - 90) < 3600;
      for (int v : disc ? std::array{240, 200, 40} : std::array{40, 110, 200})
        px += static_cast<char>(std::clamp(v + noise(rng), 0, 255));
    }
  }
  return px;
}

TEST(Classify, SeeksAndFailureReasonsAgainstStandIns) {
  TempDir frames;
  lmr::testing::write_file(frames / "flat", frame(0));
  lmr::testing::write_file(frames / "grainy", frame(20));
  const std::vector<std::string> all = {"10.000", "30.000", "50.000",
                                        "70.000", "90.000", "110.000"};
  struct Row {
    const char* name;
    std::string duration;  // in the probe's report
    std::string decoder;   // shell body; @ is the folder of the frames
    std::string outcome;   // the verdict or the error
    std::vector<std::string> seeks;
  };
  const std::string failed = "ffmpeg frame extraction failed: ";
  const Row rows[] = {
      {"six slice centres", "120.000000", "cat @/flat", "graphic", all},
      {"grain", "120.000000", "cat @/grainy", "natural", all},
      {"no duration: the start six times", "N/A", "cat @/flat", "graphic",
       std::vector<std::string>(6, "0.000")},
      {"three rows suffice (and are no evidence)", "120.000000", "head -c 2880 @/flat", "natural",
       all},
      {"less is a failure with ffmpeg's reason",
       "120.000000",
       "echo 'short read' >&2; head -c 2879 @/flat",
       failed + "short read\n",
       {"10.000"}},
      {"the first failure ends it; invalid UTF-8 replaced",
       "120.000000",
       "cat @/flat; echo >> @/n; [ $(wc -l < @/n) -lt 3 ] || { printf 'bad \\377 in' >&2; exit 3; "
       "}",
       failed + "bad \xEF\xBF\xBD in",
       {"10.000", "30.000", "50.000"}},
      {"killed by a signal",
       "120.000000",
       "printf dying >&2; kill -9 $$",
       failed + "dying",
       {"10.000"}},
      {"silent, no frame",
       "120.000000",
       "exit 0",
       failed + "no frame at 10.000 s (0 bytes decoded)",
       {"10.000"}},
      {"silent, part of one",
       "120.000000",
       "head -c 100 /dev/zero",
       failed + "no frame at 10.000 s (100 bytes decoded)",
       {"10.000"}},
      {"silent, failed", "120.000000", "exit 3", failed + "exit status: 3", {"10.000"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(frames / "n");
    std::string body = row.decoder;
    for (size_t at; (at = body.find('@')) != std::string::npos;)
      body.replace(at, 1, "'" + frames.path().string() + "'");
    StandIns tools;
    tools
        .probe("printf 'width=640\\nheight=360\\nr_frame_rate=25/1\\nduration=" + row.duration +
               "\\n'")
        .decoder(body);
    Hygiene clean(&tools);
    EXPECT_EQ(verdict(classify("/videos/with space/clip.mp4")), row.outcome);
    std::vector<std::string> seeks;
    for (const auto& args : tools.calls("ffmpeg"))
      seeks.push_back(args.at(3));
    EXPECT_EQ(seeks, row.seeks);
  }
}

}  // namespace
}  // namespace lmr::content
