// The video module against the real ffmpeg and ffprobe on small generated
// clips: probe, decode, encode round trips in every container.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>

#include "testing.h"
#include "video.h"

#if defined(__SANITIZE_ADDRESS__)
// The decoder must see a failed allocation as the C library reports it (a
// null pointer), not as a sanitizer abort.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace lmr::video {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

// As in the engine: a write to a dead encoder must fail, not end the process.
const bool kSigpipeIgnored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

// key=value pairs of one stream as ffprobe reports them.
std::map<std::string, std::string> stream_fields(const fs::path& file,
                                                 const std::string& stream,
                                                 const std::string& keys,
                                                 bool count_frames = false) {
  std::vector<std::string> argv{(lmr::testing::bin_dir() / "ffprobe").string(), "-v", "error"};
  if (count_frames)
    argv.push_back("-count_frames");
  argv.insert(argv.end(), {"-select_streams", stream, "-show_entries", "stream=" + keys, "-of",
                           "default=noprint_wrappers=1", file.string()});
  auto r = lmr::testing::run(argv);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  std::map<std::string, std::string> fields;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos)
      fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

std::string ffprobe_field(const fs::path& file, const std::string& stream, const std::string& key) {
  auto fields = stream_fields(file, stream, key);
  return fields.count(key) ? fields[key] : "";
}

// Every frame of `input` as ffmpeg writes it with the decoder's arguments.
std::string reference_frames(const fs::path& input) {
  std::vector<std::string> argv{(lmr::testing::bin_dir() / "ffmpeg").string()};
  auto args = decoder_args(input.string(), std::nullopt, {});
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = lmr::testing::run(argv);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  return r.out;
}

TEST(ProbeReal, GeneratedClip) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 64, 48, 12, "25", true);
  auto info = probe((dir / "in.mp4").string());
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->width, 64u);
  EXPECT_EQ(info->height, 48u);
  EXPECT_EQ(info->r_frame_rate, "25/1");
  EXPECT_EQ(info->frames, 12u);
  EXPECT_NEAR(info->duration, 12 / 25.0, 1e-6);
  EXPECT_EQ(info->codec_name, "h264");
  EXPECT_EQ(info->pix_fmt, "yuv444p");
  EXPECT_EQ(info->format_name, "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
}

TEST(ProbeReal, MissingFileAndAudioOnlyFile) {
  TempDir dir;
  auto missing = probe((dir / "nope.mp4").string());
  ASSERT_FALSE(missing);
  const std::string& msg = missing.error().message();
  EXPECT_TRUE(msg.starts_with("ffprobe failed: ")) << msg;
  EXPECT_NE(msg.find("nope.mp4"), std::string::npos) << msg;
  EXPECT_TRUE(msg.ends_with("\n")) << "stderr is kept untrimmed";

  auto r = lmr::testing::run({(lmr::testing::bin_dir() / "ffmpeg").string(), "-v", "error", "-f",
                              "lavfi", "-i", "sine=duration=0.2", (dir / "a.wav").string()});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  auto audio = probe((dir / "a.wav").string());
  ASSERT_FALSE(audio);
  EXPECT_TRUE(audio.error().message().starts_with("ffprobe unexpected output: "))
      << audio.error().message();
  EXPECT_NE(audio.error().message().find("format_name=wav"), std::string::npos);
}

TEST(DecoderReal, NFramesThenEndOfStreamTwiceMatchingFfmpeg) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 64, 48, 7, "25", true);
  int fds_before = lmr::testing::open_fds();
  std::string expected = reference_frames(dir / "in.mp4");
  ASSERT_EQ(expected.size(), 7u * 64 * 48 * 3);
  {
    auto dec = Decoder::create((dir / "in.mp4").string(), 64, 48, std::nullopt, {});
    ASSERT_TRUE(dec) << dec.error().message();
    std::string got;
    for (int i = 0; i < 7; ++i) {
      auto frame = dec->next_frame();
      ASSERT_TRUE(frame) << frame.error().message();
      ASSERT_TRUE(frame->has_value()) << "frame " << i;
      ASSERT_EQ((*frame)->size(), 64u * 48 * 3);
      got.append(reinterpret_cast<const char*>((*frame)->data()), (*frame)->size());
    }
    EXPECT_TRUE(got == expected);
    for (int i = 0; i < 2; ++i) {
      auto end = dec->next_frame();
      ASSERT_TRUE(end) << end.error().message();
      EXPECT_FALSE(end->has_value());
    }
  }
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

TEST(DecoderReal, RangeAndFiltersChangeWhatArrives) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 64, 48, 20, "10", false);
  auto dec = Decoder::create((dir / "in.mp4").string(), 32, 24, TimeRange{0.5, 1.0},
                             {"scale=32:24", "fps=10"});
  ASSERT_TRUE(dec) << dec.error().message();
  int frames = 0;
  for (;;) {
    auto f = dec->next_frame();
    ASSERT_TRUE(f) << f.error().message();
    if (!f->has_value())
      break;
    ++frames;
  }
  EXPECT_EQ(frames, 5);
}

TEST(DecoderReal, DroppedMidStreamEndsTheChildPromptly) {
  TempDir dir;
  lmr::testing::make_clip(dir / "long.mp4", 320, 240, 60, "25", true);
  int fds_before = lmr::testing::open_fds();
  auto start = std::chrono::steady_clock::now();
  {
    auto dec = Decoder::create((dir / "long.mp4").string(), 320, 240, std::nullopt, {});
    ASSERT_TRUE(dec);
    for (int i = 0; i < 2; ++i) {
      auto f = dec->next_frame();
      ASSERT_TRUE(f && f->has_value());
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

TEST(DecoderReal, RejectsFrameSizesThatCannotBeRead) {
  int fds_before = lmr::testing::open_fds();
  auto zero_w = Decoder::create("in.mp4", 0, 480, std::nullopt, {});
  ASSERT_FALSE(zero_w);
  EXPECT_EQ(zero_w.error().message(),
            "cannot decode to a frame size of 0x480: width and height must be at least 1");
  auto zero_h = Decoder::create("in.mp4", 640, 0, std::nullopt, {});
  ASSERT_FALSE(zero_h);
  EXPECT_EQ(zero_h.error().message(),
            "cannot decode to a frame size of 640x0: width and height must be at least 1");
  // width x height overflows before the multiplication by 3.
  auto overflow = Decoder::create("in.mp4", 1ull << 32, 1ull << 32, std::nullopt, {});
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error().message(),
            "cannot decode to a frame size of 4294967296x4294967296: a frame would be too large");
  // Exactly at the signed limit: 3 x w x h = 2^63 - 1 is representable but not
  // one byte more.
  const uint64_t w = 3074457345618258602ull, h = 1;  // 3w = 2^63 - 2
  auto limit = Decoder::create("in.mp4", w + 1, h, std::nullopt, {});
  ASSERT_FALSE(limit);
  EXPECT_EQ(limit.error().message(),
            "cannot decode to a frame size of 3074457345618258603x1: a "
            "frame would be too large");
  auto huge = Decoder::create("in.mp4", w, h, std::nullopt, {});
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().message(),
            "cannot decode to a frame size of 3074457345618258602x1: cannot allocate "
            "9223372036854775806 bytes for a frame");
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

// Decodes `input` and encodes every frame into `output` (same size); counts
// the frames written.
void round_trip(const fs::path& input,
                const fs::path& output,
                const std::string& codec,
                int* written = nullptr) {
  auto info = probe(input.string());
  ASSERT_TRUE(info) << info.error().message();
  auto dec = Decoder::create(input.string(), info->width, info->height, std::nullopt, {});
  ASSERT_TRUE(dec) << dec.error().message();
  auto enc =
      Encoder::create(output.string(), input.string(), std::nullopt, info->width, info->height,
                      info->width, info->height, info->r_frame_rate, codec, "copy", Quality{80});
  ASSERT_TRUE(enc) << enc.error().message();
  for (;;) {
    auto f = dec->next_frame();
    ASSERT_TRUE(f) << f.error().message();
    if (!f->has_value())
      break;
    auto w = enc->write_frame(**f);
    ASSERT_TRUE(w) << w.error().message();
    if (written != nullptr)
      ++*written;
  }
  auto done = std::move(*enc).finish();
  ASSERT_TRUE(done) << done.error().message();
}

TEST(EncoderReal, RoundTripKeepsFramesAndAudioInEveryContainer) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 96, 64, 15, "30000/1001", true);
  int fds_before = lmr::testing::open_fds();
  struct Case {
    std::string name, codec, format, vcodec;
  } cases[] = {{"out.mp4", "h264", "mov,mp4,m4a,3gp,3g2,mj2", "h264"},
               {"out.mov", "prores", "mov,mp4,m4a,3gp,3g2,mj2", "prores"},
               {"out.mkv", "hevc", "matroska,webm", "hevc"},
               {"out.MP4.part", "h264", "mov,mp4,m4a,3gp,3g2,mj2", "h264"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int written = 0;
    round_trip(dir / "in.mp4", dir / c.name, c.codec, &written);
    EXPECT_EQ(written, 15);
    auto info = probe((dir / c.name).string());
    ASSERT_TRUE(info) << info.error().message();
    EXPECT_EQ(info->width, 96u);
    EXPECT_EQ(info->height, 64u);
    EXPECT_EQ(info->r_frame_rate, "30000/1001");
    EXPECT_EQ(info->codec_name, c.vcodec);
    EXPECT_EQ(info->format_name, c.format);
    auto v = stream_fields(dir / c.name, "v:0",
                           "nb_read_frames,color_space,color_primaries,color_transfer,color_range",
                           true);
    EXPECT_EQ(v["nb_read_frames"], "15");
    EXPECT_EQ(v["color_space"], "bt709");
    EXPECT_EQ(v["color_primaries"], "bt709");
    EXPECT_EQ(v["color_transfer"], "bt709");
    EXPECT_EQ(v["color_range"], "tv");
    EXPECT_EQ(ffprobe_field(dir / c.name, "a:0", "codec_name"), "aac");
  }
  EXPECT_EQ(ffprobe_field(dir / "out.mkv", "v:0", "codec_tag_string"), "[0][0][0][0]");
  EXPECT_EQ(ffprobe_field(dir / "out.mp4", "v:0", "profile"), "High");
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

TEST(EncoderReal, SilentSourceAndDroppedEncoder) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 64, 48, 5, "25", false);
  round_trip(dir / "in.mp4", dir / "out.mp4", "h264");
  EXPECT_EQ(ffprobe_field(dir / "out.mp4", "a", "codec_name"), "");
  EXPECT_EQ(reference_frames(dir / "out.mp4").size(), 5u * 64 * 48 * 3);

  int fds_before = lmr::testing::open_fds();
  {
    auto enc = Encoder::create((dir / "dropped.mp4").string(), (dir / "in.mp4").string(),
                               std::nullopt, 64, 48, 64, 48, "25/1", "h264", "copy", Quality{80});
    ASSERT_TRUE(enc);
    std::vector<uint8_t> frame(64 * 48 * 3, 128);
    ASSERT_TRUE(enc->write_frame(frame));
    ASSERT_TRUE(enc->write_frame({}));
  }
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
  EXPECT_EQ(lmr::testing::open_fds(), fds_before);
}

TEST(EncoderReal, StartupFailureIsReportedWithFfmpegsWords) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 64, 48, 2, "25", false);
  auto enc = Encoder::create((dir / "no" / "such" / "dir.mp4").string(), (dir / "in.mp4").string(),
                             std::nullopt, 64, 48, 64, 48, "25/1", "h264", "copy", Quality{80});
  ASSERT_TRUE(enc);
  std::vector<uint8_t> frame(64 * 48 * 3, 10);
  Status status;
  for (int i = 0; i < 200 && status; ++i)
    status = enc->write_frame(frame);
  if (status)
    status = std::move(*enc).finish();
  ASSERT_FALSE(status);
  const std::string& msg = status.error().message();
  EXPECT_TRUE(msg.starts_with("encoder failed: ") || msg.starts_with("encoder exited with exit "
                                                                     "status: 1: "))
      << msg;
  EXPECT_NE(msg.find("dir.mp4"), std::string::npos) << msg;
  EXPECT_EQ(lmr::testing::zombie_children(), 0);
}

}  // namespace
}  // namespace lmr::video
