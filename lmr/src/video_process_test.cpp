// The video module's children: stand-in tools that fail in chosen ways (one
// table: exact messages, every child ended, no hang), and one round trip
// through the real ffmpeg and ffprobe in every container.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "testing.h"
#include "text.h"
#include "video.h"

namespace lmr::video {
namespace {

namespace fs = std::filesystem;
using lmr::testing::Hygiene;
using lmr::testing::StandIns;

// As in the engine: a write to a dead encoder must fail, not end the process.
const bool kSigpipeIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
// A stdin that is not /dev/null (a pipe without a writer), as a terminal
// would be: the decoder must not hand it on.
const bool kStdinIsAPipe = [] {
  int p[2];
  return ::pipe(p) == 0 && ::dup2(p[0], 0) == 0 && ::close(p[0]) == 0 && ::close(p[1]) == 0;
}();

constexpr uint64_t kW = 64, kH = 48, kFrame = kW * kH * 3;

std::string frames(int n) {
  return "head -c " + std::to_string(kFrame * n) + " /dev/zero";
}

// Runs `fn`; if it has not returned within a minute, fails and kills every
// stand-in, so that a hang ends here and not at the ctest timeout.
template <class F>
void within_a_minute(const StandIns& tools, F fn) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread dog([&] {
    std::unique_lock lock(m);
    if (cv.wait_for(lock, std::chrono::seconds(60), [&] { return done; }))
      return;
    ADD_FAILURE() << "hung: the stand-ins were killed after a minute";
    for (auto [pid, parent] : tools.started())
      ::kill(pid, SIGKILL);
  });
  fn();
  {
    std::lock_guard lock(m);
    done = true;
  }
  cv.notify_one();
  dog.join();
}

using Calls = std::vector<std::vector<std::string>>;

enum class Role { kProbe, kDecoder, kEncoder };

struct Fault {
  std::string name;
  Role role;
  std::string body;     // the stand-in of that role
  std::string outcome;  // what the module reports (see run_row)
  int frames = 2000;    // read (decoder) or written (encoder) at most
  bool finish = true;   // encoder: finish, or drop it
};

std::string status_text(const Status& st) {
  return st ? "ok" : st.error().message();
}

// What the module reports, as one line of text.
std::string run_row(const Fault& row, const StandIns& tools) {
  const TimeRange range{1.5, 3.25};
  const std::vector<std::string> filters{"a", "b c"};
  std::string out;
  if (row.role == Role::kProbe) {
    auto info = probe("my clip.mp4");
    EXPECT_EQ(tools.calls("ffprobe"), Calls{probe_args("my clip.mp4")});
    return info ? text::format("%llux%llu, %llu frames", (unsigned long long)info->width,
                               (unsigned long long)info->height, (unsigned long long)info->frames)
                : info.error().message();
  }
  if (row.role == Role::kDecoder) {
    auto dec = Decoder::create("my in.mp4", kW, kH, range, filters);
    if (!dec)
      return dec.error().message();
    int n = 0;
    while (n < row.frames && out.empty()) {
      auto f = dec->next_frame();
      if (f && *f) {
        ++n;
        continue;
      }
      out = !f ? f.error().message() : "end";
      auto again = dec->next_frame();  // the end, or the error, again
      EXPECT_EQ(!again ? again.error().message() : *again ? "a frame" : "end", out);
    }
    EXPECT_EQ(tools.calls("ffmpeg"), Calls{decoder_args("my in.mp4", range, filters)});
    return std::to_string(n) + " frames, then " + (out.empty() ? "dropped" : out);
  }
  auto enc = Encoder::create("o u t.mkv", "s r c.mp4", std::nullopt, kW, kH, kW, kH, "25/1",
                             "prores", "copy", Quality{80});
  if (!enc)
    return enc.error().message();
  const std::vector<uint8_t> frame(kFrame, 77);
  int n = 0;
  for (; n < row.frames; ++n) {
    if (Status st = enc->write_frame(frame); !st) {
      out = "write: " + st.error().message() + "; again: " + status_text(enc->write_frame(frame));
      break;
    }
  }
  if (out.empty())
    out = "wrote " + std::to_string(n);
  if (!row.finish)
    return out + "; dropped";
  out += "; finish: " + status_text(std::move(*enc).finish());
  EXPECT_EQ(tools.calls("ffmpeg"),
            Calls{encoder_args("o u t.mkv", "s r c.mp4", std::nullopt, kW, kH, kW, kH, "25/1",
                               "prores", "copy", Quality{80}, platform::encoder_family())});
  return out + "; said: " + enc->stderr_text().value_or("nothing");
}

std::vector<Fault> faults() {
  const std::string mib_of_e =
      "i=0; while [ $i -lt 16 ]; do head -c 65536 /dev/zero | tr '\\0' e >&2; "
      "head -c 65536 /dev/zero | tr '\\0' o; i=$((i+1)); done; printf ' \\377end\\n' >&2; exit 1";
  const std::string vanished = "head -c " + std::to_string(kFrame) +
                               " >/dev/null; printf '\\t Error: encoder vanished \\n' >&2; exit 1";
  const std::string exited = "encoder exited with ";
  return {
      {"probe report with CRLF lines", Role::kProbe,
       "printf 'width=320\\r\\nheight=240\\nr_frame_rate=25/1\\nduration=2\\n'",
       "320x240, 50 frames"},
      // 1 MiB on each pipe: both must be drained at once or this stalls.
      {"probe fails saying a lot", Role::kProbe, mib_of_e,
       "ffprobe failed: " + std::string(16 * 65536, 'e') + " \xEF\xBF\xBD" + "end\n"},
      {"probe output not UTF-8", Role::kProbe,
       "printf 'width=1\\nheight=1\\nr_frame_rate=1/1\\ncodec_name=\\377\\n'",
       "ffprobe output is not valid UTF-8"},
      {"no video stream", Role::kProbe, "printf 'format_name=wav\\n'",
       "ffprobe unexpected output: format_name=wav\n"},
      {"probe killed", Role::kProbe, "kill -9 $$", "ffprobe failed: "},
      {"decoder fails mid-way", Role::kDecoder,
       frames(5) + "; echo '  corrupt input at frame 6  ' >&2; exit 1",
       "5 frames, then decoder failed: exit status: 1: corrupt input at frame 6"},
      {"decoder killed mid-way", Role::kDecoder, frames(5) + "; kill -9 $$",
       "5 frames, then decoder failed: signal: 9 (SIGKILL)"},
      {"decoder fails silently", Role::kDecoder, "exit 3",
       "0 frames, then decoder failed: exit status: 3"},
      {"decoder closes its output but never exits", Role::kDecoder,
       frames(2) + "; exec 1>&- 2>&-; exec sleep 600",
       "2 frames, then decoder failed: ffmpeg did not exit after the end of its output"},
      {"incomplete last frame", Role::kDecoder,
       "head -c " + std::to_string(kFrame * 2 + kFrame / 2) + " /dev/zero", "2 frames, then end"},
      // 1 MiB of stderr before the frames: unread, it would block the child.
      {"talkative decoder", Role::kDecoder, "head -c 1048576 /dev/zero >&2; " + frames(3),
       "3 frames, then end"},
      {"decoder's stdin", Role::kDecoder, "readlink /proc/$$/fd/0 >&2; exit 1",
       "0 frames, then decoder failed: exit status: 1: /dev/null"},
      {"decoder dropped mid-stream, ignoring SIGTERM", Role::kDecoder,
       "trap '' TERM; exec cat /dev/zero", "3 frames, then dropped", 3},
      {"encoder dies after a frame", Role::kEncoder, vanished,
       "write: encoder failed: Error: encoder vanished; again: encoder stdin; finish: " + exited +
           "exit status: 1: Error: encoder vanished; said: Error: encoder vanished"},
      // Killed while a write waits on the full pipe of an encoder that
      // never reads (or before: the same broken pipe).
      {"encoder never reads and is killed", Role::kEncoder,
       "( sleep 1; kill -9 $$ ) <&- & exec sleep 600",
       "write: encoder failed: Broken pipe (os error 32); again: encoder stdin; finish: " + exited +
           "signal: 9 (SIGKILL): ; said: nothing"},
      {"encoder fails at the end", Role::kEncoder, "cat >/dev/null; exit 1",
       "wrote 3; finish: " + exited + "exit status: 1: ; said: nothing", 3},
      {"encoder killed at the end, saying why", Role::kEncoder,
       "cat >/dev/null; printf '\\n\\t out of disk \\n' >&2; kill -TERM $$",
       "wrote 3; finish: " + exited + "signal: 15 (SIGTERM): out of disk; said: out of disk", 3},
      // 2 MiB of stderr before reading: unread, it would block our writes.
      {"talkative encoder", Role::kEncoder,
       "head -c 2097152 /dev/zero | tr '\\0' ' ' >&2; cat >/dev/null",
       "wrote 200; finish: ok; said: nothing", 200},
      {"encoder warns", Role::kEncoder, "cat >/dev/null; printf '\\n\\t warn \\n' >&2",
       "wrote 3; finish: ok; said: warn", 3},
      {"encoder says invalid UTF-8", Role::kEncoder, "cat >/dev/null; printf '\\377' >&2; exit 2",
       "wrote 3; finish: " + exited + "exit status: 2: ; said: nothing", 3},
      {"encoder dropped, ignoring the end of its input", Role::kEncoder,
       "trap '' TERM; cat >/dev/null; exec sleep 600", "wrote 1; dropped", 1, false},
  };
}

TEST(VideoFaults, Table) {
  for (const Fault& row : faults()) {
    SCOPED_TRACE(row.name);
    StandIns tools;
    Hygiene hygiene(&tools);
    if (row.role == Role::kProbe)
      tools.probe(row.body);
    else if (row.role == Role::kDecoder)
      tools.decoder(row.body);
    else
      tools.encoder(row.body);
    std::string outcome;
    within_a_minute(tools, [&] { outcome = run_row(row, tools); });
    EXPECT_EQ(outcome, row.outcome);
  }
}

std::string ffprobe(const fs::path& file, const std::string& select, const std::string& entries) {
  auto r = lmr::testing::run({(lmr::testing::bin_dir() / "ffprobe").string(), "-v", "error",
                              "-count_frames", "-select_streams", select, "-show_entries", entries,
                              "-of", "default=noprint_wrappers=1", file.string()});
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  return r.out;
}

// Probe, decode (byte for byte what ffmpeg gives) and encode into every
// container, each output with every frame, its colour tags and the audio.
TEST(VideoReal, RoundTripInEveryContainer) {
  lmr::testing::TempDir dir;
  const std::string in = (dir / "in.mp4").string();
  lmr::testing::make_clip(in, 96, 64, 15, "30000/1001", true);
  Hygiene hygiene;
  auto info = probe(in);
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(text::format("%llux%llu %s %llu %.4f %s %s %s", (unsigned long long)info->width,
                         (unsigned long long)info->height, info->r_frame_rate.c_str(),
                         (unsigned long long)info->frames, info->duration, info->codec_name.c_str(),
                         info->pix_fmt.c_str(), info->format_name.c_str()),
            "96x64 30000/1001 15 0.5005 h264 yuv444p mov,mp4,m4a,3gp,3g2,mj2");

  std::vector<std::string> argv{(lmr::testing::bin_dir() / "ffmpeg").string()};
  for (const auto& a : decoder_args(in, std::nullopt, {}))
    argv.push_back(a);
  const std::string expected = lmr::testing::run(argv).out;
  ASSERT_EQ(expected.size(), 15u * 96 * 64 * 3);
  std::string got;
  auto dec = Decoder::create(in, 96, 64, std::nullopt, {});
  ASSERT_TRUE(dec) << dec.error().message();
  for (auto f = dec->next_frame(); f && *f; f = dec->next_frame())
    got.append(reinterpret_cast<const char*>((*f)->data()), (*f)->size());
  EXPECT_TRUE(got == expected) << got.size() << " bytes";
  for (int i = 0; i < 2; ++i) {
    auto end = dec->next_frame();
    EXPECT_TRUE(end && !*end);
  }

  const std::string tags =
      "color_range=tv\ncolor_space=bt709\ncolor_transfer=bt709\n"
      "color_primaries=bt709\nr_frame_rate=30000/1001\nnb_read_frames=15\n";
  for (auto [name, codec, video] :
       {std::tuple{"out.mp4", "h264", "codec_name=h264\nprofile=High\ncodec_tag_string=avc1\n"},
        {"out.mov", "prores", "codec_name=prores\nprofile=HQ\ncodec_tag_string=apch\n"},
        {"out.mkv", "hevc", "codec_name=hevc\nprofile=Main\ncodec_tag_string=[0][0][0][0]\n"},
        {"out.MP4.part", "h264", "codec_name=h264\nprofile=High\ncodec_tag_string=avc1\n"}}) {
    SCOPED_TRACE(name);
    const std::string out = (dir / name).string();
    auto enc = Encoder::create(out, in, std::nullopt, 96, 64, 96, 64, info->r_frame_rate, codec,
                               "copy", Quality{80});
    ASSERT_TRUE(enc) << enc.error().message();
    for (size_t at = 0; at < got.size(); at += 96 * 64 * 3) {
      ASSERT_TRUE(
          enc->write_frame(std::span(reinterpret_cast<const uint8_t*>(&got[at]), 96 * 64 * 3)));
    }
    Status done = std::move(*enc).finish();
    ASSERT_TRUE(done) << done.error().message();
    EXPECT_EQ(ffprobe(out, "v:0",
                      "stream=codec_name,profile,codec_tag_string,width,height,r_frame_rate,"
                      "color_range,color_space,color_transfer,color_primaries,nb_read_frames"),
              std::string(video) + "width=96\nheight=64\n" + tags);
    EXPECT_EQ(ffprobe(out, "a", "stream=codec_name"), "codec_name=aac\n");
  }
}

}  // namespace
}  // namespace lmr::video
