// classify against stand-in tools that record their arguments or misbehave on
// purpose (the run through the real tools is the info command's end to end).
#include <gtest/gtest.h>

#include <algorithm>

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

// 320x180 rgb24: a yellow disc on blue.
std::string flat_frame() {
  std::string px;
  for (int i = 0; i < 320 * 180; ++i) {
    const int x = i % 320 - 160, y = i / 320 - 90;
    px += x * x + y * y < 3600 ? "\xF0\xC8\x28" : "\x28\x6E\xC8";
  }
  return px;
}

TEST(Classify, SeeksAndFailureReasonsAgainstStandIns) {
  TempDir frames;
  lmr::testing::write_file(frames / "flat", flat_frame());
  const std::vector<std::string> centres = {"10.000", "30.000", "50.000",
                                            "70.000", "90.000", "110.000"};
  struct Row {
    std::string decoder;  // shell body; @ is the folder of the frames
    std::string outcome;  // the verdict or the error
    size_t calls = 6;     // at the slice centres of 120 s
    std::string duration = "120.000000";
  };
  const std::string failed = "ffmpeg frame extraction failed: ";
  const Row rows[] = {
      {"cat @/flat", "graphic"},
      {"cat @/flat", "graphic", 6, "N/A"},            // no duration: six times the start
      {"head -c 2880 @/flat", "natural"},             // three rows suffice (as no evidence)
      {"echo 'short read' >&2; head -c 2879 @/flat",  // less fails, with ffmpeg's reason
       failed + "short read\n", 1},
      {"cat @/flat; echo >> @/n; [ $(wc -l < @/n) -lt 3 ] || { printf 'bad \\377' >&2; exit 3; }",
       failed + "bad \xEF\xBF\xBD", 3},
      {"printf dying >&2; kill -9 $$", failed + "dying", 1},
      {"exit 0", failed + "no frame at 10.000 s (0 bytes decoded)", 1},
      {"head -c 100 /dev/zero", failed + "no frame at 10.000 s (100 bytes decoded)", 1},
      {"exit 3", failed + "exit status: 3", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.decoder);
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
      seeks.push_back(*(std::find(args.begin(), args.end(), "-ss") + 1));
    const auto& times = row.duration == "N/A" ? std::vector<std::string>(6, "0.000") : centres;
    EXPECT_EQ(seeks, std::vector<std::string>(times.begin(), times.begin() + row.calls));
  }
}

}  // namespace
}  // namespace lmr::content
