// The video module against stand-in ffmpeg/ffprobe programs that fail in
// chosen ways, found through LMR_FFMPEG_DIR: exact messages, no zombie, no
// leaked descriptor, no hang.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "testing.h"
#include "video.h"

namespace lmr::video {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

const bool kSigpipeIgnored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

constexpr uint64_t kW = 64, kH = 48, kFrame = kW * kH * 3;

// A folder holding stand-in tools, made the override folder while it lives.
class StandIns {
 public:
  StandIns() {
    if (const char* old = std::getenv("LMR_FFMPEG_DIR"))
      old_ = old;
    setenv("LMR_FFMPEG_DIR", dir_.path().c_str(), 1);
  }
  ~StandIns() {
    if (old_)
      setenv("LMR_FFMPEG_DIR", old_->c_str(), 1);
    else
      unsetenv("LMR_FFMPEG_DIR");
  }
  void add(const std::string& tool, const std::string& body) {
    lmr::testing::write_file(dir_ / tool, "#!/bin/sh\n" + body + "\n");
    fs::permissions(dir_ / tool, fs::perms::owner_all);
  }
  fs::path path(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
  std::optional<std::string> old_;
};

// Checks, at the end of a test, that every child was reaped and every
// descriptor closed.
class Hygiene {
 public:
  Hygiene() : fds_(lmr::testing::open_fds()) {}
  ~Hygiene() {
    EXPECT_EQ(lmr::testing::zombie_children(), 0);
    EXPECT_EQ(lmr::testing::open_fds(), fds_);
  }

 private:
  int fds_;
};

std::string frames_cmd(int n) {
  return "head -c " + std::to_string(kFrame * static_cast<uint64_t>(n)) + " /dev/zero";
}

// --- probe -----------------------------------------------------------------

TEST(ProbeFault, FailingProbeWithLongStderrKeepsAllOfIt) {
  Hygiene hygiene;
  StandIns tools;
  // 1 MiB of diagnostics and a report on stdout: both pipes must be drained
  // at once or this stalls.
  tools.add("ffprobe",
            "i=0; while [ $i -lt 16 ]; do head -c 65536 /dev/zero | tr '\\0' e >&2; "
            "head -c 65536 /dev/zero | tr '\\0' o; i=$((i+1)); done; printf ' \\377end\\n' >&2; "
            "exit 1");
  auto info = probe("x.mp4");
  ASSERT_FALSE(info);
  EXPECT_EQ(info.error().message(), "ffprobe failed: " + std::string(16 * 65536, 'e') +
                                        " \xEF\xBF\xBD"
                                        "end\n");
}

TEST(ProbeFault, ArgumentsReachTheToolAndReportIsParsed) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffprobe",
            "for a in \"$@\"; do echo \"arg=$a\" >&2; done; "
            "printf 'width=320\\r\\nheight=240\\nr_frame_rate=25/1\\nduration=2\\n'");
  auto info = probe("my clip.mp4");
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->width, 320u);
  EXPECT_EQ(info->frames, 50u);
}

TEST(ProbeFault, BadReports) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffprobe", "printf 'width=1\\nheight=1\\nr_frame_rate=1/1\\ncodec_name=\\377\\n'");
  auto bad_utf8 = probe("x");
  ASSERT_FALSE(bad_utf8);
  EXPECT_EQ(bad_utf8.error().message(), "ffprobe output is not valid UTF-8");

  tools.add("ffprobe", "printf 'format_name=wav\\n'");
  auto no_video = probe("x");
  ASSERT_FALSE(no_video);
  EXPECT_EQ(no_video.error().message(), "ffprobe unexpected output: format_name=wav\n");

  tools.add("ffprobe", "kill -9 $$");
  auto killed = probe("x");
  ASSERT_FALSE(killed);
  EXPECT_EQ(killed.error().message(), "ffprobe failed: ");
}

// --- decoder ---------------------------------------------------------------

// Reads frames until end or error; returns the count and the error, if any.
std::pair<int, std::optional<std::string>> drain(Decoder& dec, int limit = 1000) {
  int frames = 0;
  for (int i = 0; i < limit; ++i) {
    auto f = dec.next_frame();
    if (!f)
      return {frames, f.error().message()};
    if (!f->has_value())
      return {frames, std::nullopt};
    ++frames;
  }
  return {frames, "too many frames"};
}

TEST(DecoderFault, NonZeroExitAfterFramesIsAnErrorWithItsMessage) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", frames_cmd(5) + "; echo '  corrupt input at frame 6  ' >&2; exit 1");
  auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  ASSERT_TRUE(dec) << dec.error().message();
  auto [frames, error] = drain(*dec);
  EXPECT_EQ(frames, 5);
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, "decoder failed: exit status: 1: corrupt input at frame 6");
  // Later calls repeat the error; never a frame.
  for (int i = 0; i < 2; ++i) {
    auto again = dec->next_frame();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), *error);
  }
}

TEST(DecoderFault, KilledBySignalAndSilentFailure) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", frames_cmd(5) + "; kill -9 $$");
  auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  ASSERT_TRUE(dec);
  auto [frames, error] = drain(*dec);
  EXPECT_EQ(frames, 5);
  EXPECT_EQ(error, "decoder failed: signal: 9 (SIGKILL)");

  tools.add("ffmpeg", "exit 3");
  auto silent = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  ASSERT_TRUE(silent);
  auto [none, why] = drain(*silent);
  EXPECT_EQ(none, 0);
  EXPECT_EQ(why, "decoder failed: exit status: 3");
}

TEST(DecoderFault, ClosedOutputWithoutExitIsKilledNotWaitedForever) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", frames_cmd(2) + "; exec 1>&- 2>&-; exec sleep 600");
  auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  ASSERT_TRUE(dec);
  auto start = std::chrono::steady_clock::now();
  auto [frames, error] = drain(*dec);
  EXPECT_EQ(frames, 2);
  EXPECT_EQ(error, "decoder failed: ffmpeg did not exit after the end of its output");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(DecoderFault, CleanEndDropsAnIncompleteLastFrameSilently) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "head -c " + std::to_string(kFrame * 2 + kFrame / 2) + " /dev/zero");
  auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  ASSERT_TRUE(dec);
  auto [frames, error] = drain(*dec);
  EXPECT_EQ(frames, 2);
  EXPECT_FALSE(error) << *error;
  auto again = dec->next_frame();
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->has_value());
}

TEST(DecoderFault, TalkativeDecoderDoesNotStall) {
  Hygiene hygiene;
  StandIns tools;
  // 1 MiB of stderr before the frames: an unread stderr pipe would block
  // the child before it wrote a single frame.
  tools.add("ffmpeg", "head -c 1048576 /dev/zero >&2; " + frames_cmd(3));
  auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  ASSERT_TRUE(dec);
  auto [frames, error] = drain(*dec);
  EXPECT_EQ(frames, 3);
  EXPECT_FALSE(error) << *error;
}

TEST(DecoderFault, StdinIsNullNotOurs) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "readlink /proc/$$/fd/0 >&2; exit 1");
  // Give this process a stdin that is not /dev/null, as a terminal would be.
  int saved = ::dup(0);
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ::dup2(p[0], 0);
  ::close(p[0]);
  auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  std::pair<int, std::optional<std::string>> result{-1, std::nullopt};
  if (dec)
    result = drain(*dec);
  ::dup2(saved, 0);
  ::close(saved);
  ::close(p[1]);
  ASSERT_TRUE(dec);
  EXPECT_EQ(result.second, "decoder failed: exit status: 1: /dev/null");
}

TEST(DecoderFault, ArgumentsReachTheTool) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "printf '%s|' \"$@\" >&2; exit 1");
  std::string expected;
  for (const auto& a : decoder_args("my in.mp4", TimeRange{1.5, 3.25}, {"a", "b c"}))
    expected += a + "|";
  auto dec = Decoder::create("my in.mp4", kW, kH, TimeRange{1.5, 3.25}, {"a", "b c"});
  ASSERT_TRUE(dec);
  auto [frames, error] = drain(*dec);
  EXPECT_EQ(frames, 0);
  EXPECT_EQ(error, "decoder failed: exit status: 1: " + expected);
}

TEST(DecoderFault, DroppedMidStreamLeavesNothingBehind) {
  Hygiene hygiene;
  StandIns tools;
  // Writes frames forever and ignores TERM: only SIGKILL ends it.
  tools.add("ffmpeg", "trap '' TERM; exec cat /dev/zero");
  auto start = std::chrono::steady_clock::now();
  {
    auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
    ASSERT_TRUE(dec);
    for (int i = 0; i < 3; ++i)
      ASSERT_TRUE(dec->next_frame());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(DecoderFault, DirectoryInTheOverrideFolderIsSkipped) {
  Hygiene hygiene;
  StandIns tools;
  fs::create_directories(tools.path("ffmpeg"));
  // The override folder has only a directory named ffmpeg; the executable's
  // folder of this test has the real one.
  auto dec = Decoder::create("in.mp4", kW, kH, std::nullopt, {});
  EXPECT_TRUE(dec);
}

// --- encoder ---------------------------------------------------------------

std::vector<uint8_t> a_frame() {
  return std::vector<uint8_t>(kFrame, 77);
}

Encoder start_encoder() {
  auto enc = Encoder::create("out.mp4", "in.mp4", std::nullopt, kW, kH, kW, kH, "25/1", "h264",
                             "copy", Quality{80});
  EXPECT_TRUE(enc) << enc.error().message();
  return std::move(*enc);
}

// Writes frames until one fails (at most `limit`); returns that failure.
Status write_until_failure(Encoder& enc, int limit = 2000) {
  auto frame = a_frame();
  for (int i = 0; i < limit; ++i) {
    auto st = enc.write_frame(frame);
    if (!st)
      return st;
  }
  return {};
}

TEST(EncoderFault, DiesAfterTheFirstFrame) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "head -c " + std::to_string(kFrame) +
                          " >/dev/null; echo 'Error: encoder vanished' >&2; exit 1");
  auto enc = start_encoder();
  auto st = write_until_failure(enc);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), "encoder failed: Error: encoder vanished");
  // The pipe is closed and the status collected: later writes and finish.
  auto later = enc.write_frame(a_frame());
  ASSERT_FALSE(later);
  EXPECT_EQ(later.error().message(), "encoder stdin");
  auto done = std::move(enc).finish();
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().message(), "encoder exited with exit status: 1: Error: encoder vanished");
}

TEST(EncoderFault, DiesSilentlyGivesTheBrokenPipeText) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "head -c " + std::to_string(kFrame) + " >/dev/null; kill -9 $$");
  auto enc = start_encoder();
  auto st = write_until_failure(enc);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), "encoder failed: Broken pipe (os error 32)");
  auto done = std::move(enc).finish();
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().message(), "encoder exited with signal: 9 (SIGKILL): ");
}

TEST(EncoderFault, FinishReportsExitCodeAndSignal) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "cat >/dev/null; exit 1");
  auto enc = start_encoder();
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(enc.write_frame(a_frame()));
  auto done = std::move(enc).finish();
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().message(), "encoder exited with exit status: 1: ");

  tools.add("ffmpeg", "cat >/dev/null; echo '\n  out of disk \n' >&2; kill -SEGV $$");
  auto seg = start_encoder();
  ASSERT_TRUE(seg.write_frame(a_frame()));
  auto crashed = std::move(seg).finish();
  ASSERT_FALSE(crashed);
  EXPECT_TRUE(crashed.error().message().starts_with("encoder exited with signal: 11 (SIGSEGV)"))
      << crashed.error().message();
  EXPECT_TRUE(crashed.error().message().ends_with(": out of disk")) << crashed.error().message();
}

TEST(EncoderFault, TalkativeEncoderDoesNotStall) {
  Hygiene hygiene;
  StandIns tools;
  // Writes 2 MiB of diagnostics before it reads anything: an unread stderr
  // pipe would block it and then block our writes.
  tools.add("ffmpeg", "head -c 2097152 /dev/zero | tr '\\0' x >&2; cat >/dev/null; exit 0");
  auto enc = start_encoder();
  for (int i = 0; i < 200; ++i)
    ASSERT_TRUE(enc.write_frame(a_frame()));
  auto done = std::move(enc).finish();
  EXPECT_TRUE(done) << done.error().message().substr(0, 100);
}

TEST(EncoderFault, StderrTextIsTrimmedOrNothing) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "cat >/dev/null; printf '\\n\\t warn \\n' >&2");
  auto enc = start_encoder();
  ASSERT_TRUE(std::move(enc).finish());
  EXPECT_EQ(enc.stderr_text(), "warn");
  EXPECT_EQ(enc.stderr_text(), "warn");

  tools.add("ffmpeg", "cat >/dev/null; printf '\\377' >&2; exit 2");
  auto bad = start_encoder();
  auto done = std::move(bad).finish();
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().message(), "encoder exited with exit status: 2: ");
  EXPECT_EQ(bad.stderr_text(), std::nullopt);
}

TEST(EncoderFault, ArgumentsReachTheTool) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "cat >/dev/null; printf '%s|' \"$@\" >&2");
  auto enc = Encoder::create("o u t.mkv", "s r c.mp4", std::nullopt, kW, kH, kW, kH, "25/1",
                             "prores", "copy", Quality{80});
  ASSERT_TRUE(enc);
  ASSERT_TRUE(std::move(*enc).finish());
  std::string expected;
  for (const auto& a : encoder_args("o u t.mkv", "s r c.mp4", std::nullopt, kW, kH, kW, kH, "25/1",
                                    "prores", "copy", Quality{80}, platform::encoder_family()))
    expected += a + "|";
  EXPECT_EQ(enc->stderr_text(), expected);
}

TEST(EncoderFault, DroppedWithoutFinishKillsTheChild) {
  Hygiene hygiene;
  StandIns tools;
  tools.add("ffmpeg", "trap '' TERM; exec cat >/dev/null");
  auto start = std::chrono::steady_clock::now();
  {
    auto enc = start_encoder();
    ASSERT_TRUE(enc.write_frame(a_frame()));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace lmr::video
