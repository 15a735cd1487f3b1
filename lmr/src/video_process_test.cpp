// The video module's children: stand-in tools that fail in chosen ways, one
// table of exact messages, every child ended, no hang. (Real ffmpeg runs are
// in video_e2e_test.)
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "testing.h"
#include "text.h"
#include "video.h"
#include "video_encoder.h"

namespace lmr::video {
namespace {

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

using Calls = std::vector<std::vector<std::string>>;

struct Fault {
  std::string name;
  StandIns& (StandIns::*role)(std::string);  // probe, decoder or encoder
  std::string body;                          // the stand-in of that role
  std::string outcome;                       // what the module reports (see run_row)
  int frames = 2000;                         // read (decoder) or written (encoder) at most
  bool finish = true;                        // encoder: finish, or drop it
};

// What the module reports, as one line of text.
std::string run_row(const Fault& row, const StandIns& tools) {
  const TimeRange range{1.5, 3.25};
  const std::vector<std::string> filters{"a", "b c"};
  std::string out;
  if (row.role == &StandIns::probe) {
    auto info = probe("my clip.mp4");
    EXPECT_EQ(tools.calls("ffprobe"), Calls{probe_args("my clip.mp4")});
    return info ? "probed" : info.error().message();
  }
  if (row.role == &StandIns::decoder) {
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
  EncoderSettings settings;
  settings.output = "o u t.mkv", settings.source = "s r c.mp4";
  settings.frame_w = settings.out_w = kW, settings.frame_h = settings.out_h = kH;
  settings.rate = "25/1", settings.codec = "prores", settings.rc = Quality{80};
  auto enc = Encoder::create(settings);
  if (!enc)
    return enc.error().message();
  const std::vector<uint8_t> frame(kFrame, 77);
  int n = 0;
  for (; n < row.frames; ++n) {
    if (Status st = enc->write_frame(frame); !st) {
      Status again = enc->write_frame(frame);
      out =
          "write: " + st.error().message() + "; again: " + (again ? "ok" : again.error().message());
      break;
    }
  }
  if (out.empty())
    out = "wrote " + std::to_string(n);
  if (!row.finish)
    return out + "; dropped";
  Status done = std::move(*enc).finish();
  out += "; finish: " + (done ? "ok" : done.error().message());
  EXPECT_EQ(tools.calls("ffmpeg"), Calls{encoder_args(settings, platform::encoder_family())});
  return out + "; said: " + enc->stderr_text().value_or("nothing");
}

std::vector<Fault> faults() {
  const std::string mib_of_e =
      "i=0; while [ $i -lt 16 ]; do head -c 65536 /dev/zero | tr '\\0' e >&2; "
      "head -c 65536 /dev/zero | tr '\\0' o; i=$((i+1)); done; printf ' \\377end\\n' >&2; exit 1";
  const std::string vanished = "head -c " + std::to_string(kFrame) +
                               " >/dev/null; printf '\\t Error: encoder vanished \\n' >&2; exit 1";
  const std::string exited = "encoder exited with ";
  const std::string talk = "head -c 262144 /dev/zero | tr '\\0' ' ' >&2; ";
  return {
      // 1 MiB on each pipe: both must be drained at once or this stalls.
      {"probe fails saying a lot", &StandIns::probe, mib_of_e,
       "ffprobe failed: " + std::string(16 * 65536, 'e') + " \xEF\xBF\xBD" + "end\n"},
      {"probe output not UTF-8", &StandIns::probe,
       "printf 'width=1\\nheight=1\\nr_frame_rate=1/1\\ncodec_name=\\377\\n'",
       "ffprobe output is not valid UTF-8"},
      {"no video stream", &StandIns::probe, "printf 'format_name=wav\\n'",
       "no video stream in my clip.mp4"},
      // 256 KiB of diagnostics first: unread, they would block the child.
      {"decoder fails mid-way, saying a lot", &StandIns::decoder,
       talk + frames(5) + "; echo '  corrupt input at frame 6  ' >&2; exit 1",
       "5 frames, then decoder failed: exit status: 1: corrupt input at frame 6"},
      {"decoder fails silently", &StandIns::decoder, "exit 3",
       "0 frames, then decoder failed: exit status: 3"},
      {"decoder closes its output but never exits", &StandIns::decoder,
       frames(2) + "; exec 1>&- 2>&-; exec sleep 600",
       "2 frames, then decoder failed: ffmpeg did not exit after the end of its output"},
      {"incomplete last frame", &StandIns::decoder,
       "head -c " + std::to_string(kFrame * 2 + kFrame / 2) + " /dev/zero", "2 frames, then end"},
      {"decoder's stdin", &StandIns::decoder, "readlink /proc/$$/fd/0 >&2; exit 1",
       "0 frames, then decoder failed: exit status: 1: /dev/null"},
      {"decoder dropped mid-stream, ignoring SIGTERM", &StandIns::decoder,
       "trap '' TERM; exec cat /dev/zero", "3 frames, then dropped", 3},
      {"encoder dies after a frame", &StandIns::encoder, vanished,
       "write: encoder failed: Error: encoder vanished; again: encoder stdin; finish: " + exited +
           "exit status: 1: Error: encoder vanished; said: Error: encoder vanished"},
      // Killed while a write waits on the full pipe of an encoder that
      // never reads (or before: the same broken pipe).
      {"encoder never reads and is killed", &StandIns::encoder,
       "( sleep 1; kill -9 $$ ) <&- & exec sleep 600",
       "write: encoder failed: Broken pipe (os error 32); again: encoder stdin; finish: " + exited +
           "signal: 9 (SIGKILL): ; said: nothing"},
      // Stops reading but lives on: killed after a grace period, not waited for.
      {"encoder stops reading and never exits", &StandIns::encoder,
       "exec 0<&-; echo ' stopped reading ' >&2; exec sleep 600",
       "write: encoder failed: stopped reading; again: encoder stdin; finish: " + exited +
           "signal: 9 (SIGKILL): stopped reading; said: stopped reading"},
      // Talks before it reads: unread, that would block it and our writes.
      {"encoder killed at the end, saying a lot", &StandIns::encoder,
       talk + "cat >/dev/null; printf '\\n\\t out of disk \\n' >&2; kill -TERM $$",
       "wrote 200; finish: " + exited + "signal: 15 (SIGTERM): out of disk; said: out of disk",
       200},
      {"encoder says invalid UTF-8", &StandIns::encoder,
       "cat >/dev/null; printf '\\377' >&2; exit 2",
       "wrote 3; finish: " + exited + "exit status: 2: \xEF\xBF\xBD; said: \xEF\xBF\xBD", 3},
      {"encoder dropped, ignoring the end of its input", &StandIns::encoder,
       "trap '' TERM; cat >/dev/null; exec sleep 600", "wrote 1; dropped", 1, false},
  };
}

TEST(VideoFaults, Table) {
  for (const Fault& row : faults()) {
    SCOPED_TRACE(row.name);
    StandIns tools;
    Hygiene hygiene(&tools);
    (tools.*row.role)(row.body);
    // A hang fails the row within a minute (the stand-ins are killed), not
    // at the ctest timeout.
    std::atomic<bool> done = false;
    std::thread dog([&] {
      for (int tenths = 0; tenths < 600 && !done; ++tenths)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (done)
        return;
      ADD_FAILURE() << "hung: the stand-ins were killed after a minute";
      for (auto [pid, parent] : tools.started())
        ::kill(pid, SIGKILL);
    });
    EXPECT_EQ(run_row(row, tools), row.outcome);
    done = true;
    dog.join();
  }
}

}  // namespace
}  // namespace lmr::video
