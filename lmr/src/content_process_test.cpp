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
  const std::string flat = flat_frame();
  lmr::testing::write_file(frames / "flat", flat);
  // Frames of a clip read whole, as PPM images.
  const std::string ppm = "P6\n320 180\n255\n" + flat;
  std::string six;
  for (int i = 0; i < 6; ++i)
    six += ppm;
  lmr::testing::write_file(frames / "six.ppm", six);
  lmr::testing::write_file(frames / "thin.ppm", "P6\n320 2\n255\n" + flat.substr(0, 1920));
  const std::string centres = "10.000 30.000 50.000 70.000 90.000 110.000 ";
  struct Row {
    std::string decoder;  // shell body; @ is the folder of the frames
    std::string outcome;  // the verdict or the error
    std::string calls;    // the seeks ffmpeg was given, or "whole" for a clip read whole
    std::string length = "duration=120.000000";
  };
  const std::string failed = "ffmpeg frame extraction failed: ";
  const Row rows[] = {
      {"cat @/flat", "graphic", centres},
      {"head -c 2880 @/flat", "natural", centres},    // three rows suffice (as no evidence)
      {"echo 'short read' >&2; head -c 2879 @/flat",  // less fails, with ffmpeg's reason
       failed + "short read\n", "10.000 "},
      {"cat @/flat; echo >> @/n; [ $(wc -l < @/n) -lt 3 ] || { printf 'bad \\377' >&2; exit 3; }",
       failed + "bad \xEF\xBF\xBD", "10.000 30.000 50.000 "},
      {"printf dying >&2; kill -9 $$", failed + "dying", "10.000 "},
      {"exit 0", failed + "no frame at 10.000 s (0 bytes decoded)", "10.000 "},
      {"head -c 100 /dev/zero", failed + "no frame at 10.000 s (100 bytes decoded)", "10.000 "},
      {"exit 3", failed + "exit status: 3", "10.000 "},
      // Short clips and unknown lengths: one run from the start, its frames in PPM.
      {"cat @/six.ppm", "graphic", "whole ", "duration=N/A"},
      {"cat @/six.ppm", "graphic", "whole ", "nb_frames=6\nduration=120.000000"},
      {"cat @/six.ppm", "graphic", "whole ", "duration=0.9"},
      {"cat @/flat", "graphic", "0.075 0.225 0.375 0.525 0.675 0.825 ",
       "nb_frames=24\nduration=0.9"},
      {"head -c 2000 @/six.ppm", failed + "image 1 at byte 0: cut short", "whole ", "nb_frames=6"},
      {"cat @/flat", failed + "image 1 at byte 0: not a binary PPM image", "whole ", "nb_frames=6"},
      {"cat @/thin.ppm", failed + "frame 1 is 320x2", "whole ", "nb_frames=1"},
      {"exit 0", failed + "no frame decoded", "whole ", "nb_frames=6"},
      {"cat @/six.ppm; echo 'cut off' >&2; exit 1", failed + "cut off\n", "whole ", "nb_frames=6"},
      {"kill -9 $$", failed + "signal: 9 (SIGKILL)", "whole ", "nb_frames=6"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.decoder + " " + row.length);
    fs::remove(frames / "n");
    std::string body = row.decoder;
    for (size_t at; (at = body.find('@')) != std::string::npos;)
      body.replace(at, 1, "'" + frames.path().string() + "'");
    StandIns tools;
    tools.probe("printf 'width=640\\nheight=360\\nr_frame_rate=25/1\\n" + row.length + "\\n'")
        .decoder(body);
    Hygiene clean(&tools);
    EXPECT_EQ(verdict(classify("/videos/with space/clip.mp4")), row.outcome);
    std::string calls;
    for (const auto& args : tools.calls("ffmpeg")) {
      if (auto seek = std::find(args.begin(), args.end(), "-ss"); seek != args.end())
        calls += *(seek + 1) + " ";
      else
        calls += args == whole_clip_args("/videos/with space/clip.mp4") ? "whole " : "other ";
    }
    EXPECT_EQ(calls, row.calls);
  }
}

}  // namespace
}  // namespace lmr::content
