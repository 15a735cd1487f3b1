// classify end to end: real clips through the real ffmpeg, and stand-in
// tools that record their arguments or misbehave on purpose.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>

#include "content.h"
#include "testing.h"

namespace lmr::content {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

// A busy test pattern under heavy temporal and spatial grain.
void make_camera_like(const fs::path& path) {
  lmr::testing::run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=480x270:r=25:d=2", "-vf",
                            "noise=alls=30:allf=t+u,format=yuv420p", "-c:v", "libx264", "-crf",
                            "18", path.string()});
}

class Hygiene : public ::testing::Test {
 protected:
  void SetUp() override { fds_ = lmr::testing::open_fds(); }
  void TearDown() override {
    EXPECT_EQ(lmr::testing::zombie_children(), 0);
    EXPECT_EQ(lmr::testing::open_fds(), fds_);
  }
  int fds_ = 0;
};

using ClassifyClip = Hygiene;

TEST_F(ClassifyClip, FlatAnimationIsGraphic) {
  TempDir dir;
  lmr::testing::make_animation(dir / "cartoon.mp4");
  Result<bool> natural = classify((dir / "cartoon.mp4").string());
  ASSERT_TRUE(natural) << natural.error().message();
  EXPECT_FALSE(*natural);
}

TEST_F(ClassifyClip, NoisyCameraFootageIsNatural) {
  TempDir dir;
  make_camera_like(dir / "camera.mp4");
  Result<bool> natural = classify((dir / "camera.mp4").string());
  ASSERT_TRUE(natural) << natural.error().message();
  EXPECT_TRUE(*natural);
}

TEST_F(ClassifyClip, UndecodableClipFailsExtraction) {
  TempDir dir;
  lmr::testing::make_undecodable_clip(dir.path(), dir / "cut.mp4");

  Result<bool> natural = classify((dir / "cut.mp4").string());
  ASSERT_FALSE(natural);
  const std::string prefix = "ffmpeg frame extraction failed: ";
  EXPECT_EQ(natural.error().message().substr(0, prefix.size()), prefix);
  EXPECT_GT(natural.error().message().size(), prefix.size()) << "ffmpeg's own reason is kept";
}

TEST_F(ClassifyClip, ProbeErrorIsReturnedAsIs) {
  TempDir dir;
  Result<bool> natural = classify((dir / "absent.mp4").string());
  ASSERT_FALSE(natural);
  EXPECT_EQ(natural.error().message().rfind("ffprobe failed: ", 0), 0u)
      << natural.error().message();
}

// LMR_FFMPEG_DIR pointed at a folder of stand-in tools for one test.
class StandIns : public Hygiene {
 protected:
  void SetUp() override {
    Hygiene::SetUp();
    if (const char* old = std::getenv("LMR_FFMPEG_DIR"))
      saved_ = old;
    setenv("LMR_FFMPEG_DIR", dir_.path().c_str(), 1);
    probe_report("width=640\nheight=360\nr_frame_rate=25/1\nduration=120.000000\n");
    ffmpeg_body("cat '" + (dir_ / "frame.rgb").string() + "'\n");
  }
  void TearDown() override {
    if (saved_)
      setenv("LMR_FFMPEG_DIR", saved_->c_str(), 1);
    else
      unsetenv("LMR_FFMPEG_DIR");
    Hygiene::TearDown();
  }

  void script(const std::string& name, const std::string& body) {
    lmr::testing::write_file(dir_ / name, "#!/bin/sh\n" + body);
    ASSERT_EQ(chmod((dir_ / name).c_str(), 0755), 0);
  }
  void probe_report(const std::string& report) {
    script("ffprobe", "cat <<'EOF'\n" + report + "EOF\n");
  }
  // The stand-in ffmpeg appends its arguments (one a line, then "--") to
  // args.log and counts its calls in calls.log before running `body`.
  void ffmpeg_body(const std::string& body) {
    const std::string log = (dir_ / "args.log").string();
    script("ffmpeg", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" + log +
                         "'\necho -- >> '" + log + "'\necho x >> '" +
                         (dir_ / "calls.log").string() + "'\n" + body);
  }
  // The number of earlier calls, for bodies that change behaviour midway.
  std::string calls_expr() const { return "$(wc -l < '" + (dir_ / "calls.log").string() + "')"; }
  void frame(const std::string& bytes) { lmr::testing::write_file(dir_ / "frame.rgb", bytes); }

  std::vector<std::vector<std::string>> calls() const {
    std::vector<std::vector<std::string>> out(1);
    std::istringstream log(lmr::testing::read_file(dir_ / "args.log"));
    for (std::string line; std::getline(log, line);) {
      if (line == "--")
        out.emplace_back();
      else
        out.back().push_back(line);
    }
    out.pop_back();
    return out;
  }

  TempDir dir_;
  std::optional<std::string> saved_;
};

// 320x180: two solid blocks (of distinct luma) on blue, or the same under strong grain.
std::string sample_frame(bool grain) {
  std::string px(320 * 180 * 3, '\0');
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> noise(-20, 20);
  for (size_t y = 0; y < 180; ++y) {
    for (size_t x = 0; x < 320; ++x) {
      std::array<int, 3> rgb = {40, 110, 200};
      if (x >= 60 && x < 200 && y >= 40 && y < 140)
        rgb = {240, 200, 40};
      if (x >= 220 && x < 300 && y >= 100 && y < 170)
        rgb = {250, 240, 230};
      for (size_t c = 0; c < 3; ++c) {
        const int v = rgb[c] + (grain ? noise(rng) : 0);
        px[3 * (y * 320 + x) + c] = static_cast<char>(std::clamp(v, 0, 255));
      }
    }
  }
  return px;
}

std::vector<std::string> expected_args(const std::string& seek, const std::string& path) {
  return {"-v",       "error", "-ss",       seek,       "-i",  path,
          "-map",     "0:V:0", "-frames:v", "1",        "-vf", "scale=320:-2:flags=area",
          "-pix_fmt", "rgb24", "-f",        "rawvideo", "-"};
}

TEST_F(StandIns, SixSeeksOverA120SecondVideo) {
  frame(sample_frame(false));
  const std::string path = "/videos/with space/clip.mp4";
  Result<bool> natural = classify(path);
  ASSERT_TRUE(natural) << natural.error().message();
  EXPECT_FALSE(*natural);
  const std::vector<std::vector<std::string>> expected = {
      expected_args("10.000", path), expected_args("30.000", path), expected_args("50.000", path),
      expected_args("70.000", path), expected_args("90.000", path), expected_args("110.000", path)};
  EXPECT_EQ(calls(), expected);
}

TEST_F(StandIns, GrainySamplesAreNatural) {
  frame(sample_frame(true));
  Result<bool> natural = classify("v.mp4");
  ASSERT_TRUE(natural) << natural.error().message();
  EXPECT_TRUE(*natural);
}

TEST_F(StandIns, NoDurationSamplesTheStartSixTimes) {
  probe_report("width=640\nheight=360\nr_frame_rate=25/1\nduration=N/A\n");
  frame(sample_frame(false));
  ASSERT_TRUE(classify("v.mp4"));
  const auto all = calls();
  ASSERT_EQ(all.size(), 6u);
  for (const auto& args : all)
    EXPECT_EQ(args, expected_args("0.000", "v.mp4"));
}

TEST_F(StandIns, ThreeRowsAreEnoughTwoAreNot) {
  const std::string picture = sample_frame(false);
  ffmpeg_body("echo 'short read' >&2\nhead -c \"$BYTES\" '" + (dir_ / "frame.rgb").string() +
              "'\n");
  frame(picture);

  setenv("BYTES", "2880", 1);
  Result<bool> three_rows = classify("v.mp4");
  ASSERT_TRUE(three_rows) << three_rows.error().message();
  EXPECT_TRUE(*three_rows);  // three uniform rows carry no evidence

  setenv("BYTES", "2879", 1);
  Result<bool> short_rows = classify("v.mp4");
  unsetenv("BYTES");
  ASSERT_FALSE(short_rows);
  EXPECT_EQ(short_rows.error().message(), "ffmpeg frame extraction failed: short read\n");
}

TEST_F(StandIns, FailingExtractionStopsAtTheFirstFailure) {
  frame(sample_frame(false));
  // The third call fails with a full frame on stdout and invalid UTF-8 on stderr.
  ffmpeg_body("cat '" + (dir_ / "frame.rgb").string() + "'\nif [ " + calls_expr() +
              " -eq 3 ]; then printf 'bad \\377 input' >&2; exit 3; fi\n");
  Result<bool> natural = classify("v.mp4");
  ASSERT_FALSE(natural);
  EXPECT_EQ(natural.error().message(), "ffmpeg frame extraction failed: bad \xEF\xBF\xBD input");
  EXPECT_EQ(calls().size(), 3u);
}

// ffmpeg says nothing when the seek lands past the last frame: the reason
// is then the missing frame (the probe's 120 s puts the first at 10 s), or
// the exit status.
TEST_F(StandIns, SilentExtractionFailureStillHasAReason) {
  for (const auto& [body, reason] : std::vector<std::pair<std::string, std::string>>{
           {"exit 0\n", "no frame at 10.000 s (0 bytes decoded)"},
           {"head -c 100 /dev/zero\n", "no frame at 10.000 s (100 bytes decoded)"},
           {"exit 3\n", "exit status: 3"}}) {
    ffmpeg_body(body);
    Result<bool> natural = classify("v.mp4");
    ASSERT_FALSE(natural);
    EXPECT_EQ(natural.error().message(), "ffmpeg frame extraction failed: " + reason);
  }
}

TEST_F(StandIns, ExtractionKilledBySignalFails) {
  frame(sample_frame(false));
  ffmpeg_body("printf 'dying' >&2\nkill -9 $$\n");
  Result<bool> natural = classify("v.mp4");
  ASSERT_FALSE(natural);
  EXPECT_EQ(natural.error().message(), "ffmpeg frame extraction failed: dying");
}

TEST_F(StandIns, FfmpegThatCannotStartReturnsTheSystemError) {
  lmr::testing::write_file(dir_ / "ffmpeg", "not a program");
  ASSERT_EQ(chmod((dir_ / "ffmpeg").c_str(), 0644), 0);
  Result<bool> natural = classify("v.mp4");
  ASSERT_FALSE(natural);
  EXPECT_NE(natural.error().message().find("os error 13"), std::string::npos)
      << natural.error().message();
}

}  // namespace
}  // namespace lmr::content
