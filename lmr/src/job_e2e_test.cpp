// Segmented jobs through the built lmr, real ffmpeg and ONNX Runtime: the
// joined output against a one-process run of the same command, frame by
// frame as decoded, for the sources that trip chunked encoders; kill -9 at
// the dangerous moments, then the same command again; array tasks; and the
// refusals that must leave everything as it was.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <sstream>
#include <thread>

#include "ffbin.h"
#include "job.h"
#include "testing.h"
#include "text.h"

namespace lmr::job {
namespace {

namespace fs = std::filesystem;
using lmr::testing::run_lmr;
using lmr::testing::TempDir;

std::string tool(const std::string& name) {
  return (lmr::testing::bin_dir() / name).string();
}

// "pts md5" of every decoded frame, or every audio packet as stored.
std::vector<std::string> frame_sums(const fs::path& file, const std::string& stream) {
  const auto has =
      lmr::testing::run({tool("ffprobe"), "-v", "error", "-select_streams", stream, "-show_entries",
                         "stream=index", "-of", "csv=p=0", file.string()});
  if (has.out.empty())
    return {};
  std::vector<std::string> argv{tool("ffmpeg"),     "-v", "error", "-i", file.string(), "-map",
                                "0:" + stream + "?"};
  if (stream == "a")
    argv.insert(argv.end(), {"-c", "copy"});
  argv.insert(argv.end(), {"-f", "framemd5", "-"});
  const auto r = lmr::testing::run(argv);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  std::vector<std::string> out;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#')
      continue;
    // stream, dts, pts, duration, size, hash
    std::vector<std::string> f;
    std::istringstream cells(line);
    for (std::string c; std::getline(cells, c, ',');)
      f.push_back(std::string(lmr::text::trim(c)));
    out.push_back(f.at(2) + " " + f.at(5));
  }
  return out;
}

// The facts a player goes by, stream by stream.
std::string stream_facts(const fs::path& file) {
  return lmr::testing::run({tool("ffprobe"), "-v", "error", "-show_entries",
                            "stream=codec_type,codec_name,width,height,r_frame_rate,avg_frame_rate,"
                            "sample_aspect_ratio,display_aspect_ratio,color_space,color_primaries,"
                            "color_transfer,color_range,start_time,pix_fmt",
                            "-of", "compact", file.string()})
      .out;
}

// Grey frames of the video, for outputs whose encoder decides per segment.
std::vector<std::string> grey_frames(const fs::path& file, size_t frame_bytes) {
  const auto r = lmr::testing::run({tool("ffmpeg"), "-v", "error", "-i", file.string(), "-map",
                                    "0:v", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
  std::vector<std::string> out;
  for (size_t at = 0; at + frame_bytes <= r.out.size(); at += frame_bytes)
    out.push_back(r.out.substr(at, frame_bytes));
  return out;
}

double mean_abs_diff(const std::string& a, const std::string& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    sum += std::abs(static_cast<int>(static_cast<uint8_t>(a[i])) - static_cast<uint8_t>(b[i]));
  return sum / static_cast<double>(a.size());
}

std::vector<std::string> upscale_args(const fs::path& in,
                                      const fs::path& out,
                                      const std::string& codec) {
  return {"upscale",   "--model", lmr::testing::model("nn2x.onnx").string(),
          "--ep",      "cpu",     "-i",
          in.string(), "-o",      out.string(),
          "--codec",   codec};
}

std::vector<std::string> with_job(std::vector<std::string> args,
                                  const fs::path& dir,
                                  std::vector<std::string> more = {}) {
  args.insert(args.end(), {"--job", dir.string(), "--segment-frames", "7"});
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

struct Source {
  std::string name, file;
  std::vector<std::string> make;  // ffmpeg arguments before the output
  std::string out_ext, codec;
};

// 30 frames of 160x120, so that segments of 7 meet at 7, 14, 21 and 28; a
// clip with audio is cut at 1.2 s (cut at 30 frames, ffmpeg would end its
// audio after the first packets).
const Source kSources[] = {
    {"h264 with B-frames",
     "bframes.mp4",
     {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i",
      "sine=frequency=440:sample_rate=48000:duration=2", "-t", "1.2", "-c:v", "libx264", "-bf", "3",
      "-pix_fmt", "yuv420p", "-c:a", "aac"},
     ".mov",
     "prores"},
    {"open GOP",
     "opengop.mkv",
     {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=24000/1001", "-frames:v", "30", "-c:v",
      "libx264", "-x264-params", "open-gop=1:keyint=8:min-keyint=8:bframes=3", "-pix_fmt",
      "yuv420p"},
     ".mkv",
     "prores"},
    {"variable frame rate, phone style",
     "vfr.mp4",
     {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30", "-f", "lavfi", "-i",
      "sine=frequency=300:sample_rate=44100:duration=2", "-frames:v", "30", "-vf",
      "setpts='(N*1000+mod(N*37,23))/30000/TB'", "-vsync", "vfr", "-c:v", "libx264", "-c:a", "aac"},
     ".mov",
     "prores"},
    {"rotated, h264 out",
     "rotated.mp4",
     {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "30", "-c:v", "libx264",
      "-pix_fmt", "yuv420p", "-metadata:s:v", "rotate=90"},
     ".mp4",
     "h264"},
    {"Matroska with audio, h265 out",
     "audio.mkv",
     {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i",
      "sine=frequency=500:sample_rate=48000:duration=2", "-t", "1.2", "-c:v", "libx264", "-c:a",
      "libopus"},
     ".mkv",
     "h265"},
    {"audio that starts late",
     "late.mp4",
     {"-f",         "lavfi",
      "-i",         "testsrc2=size=160x120:rate=25",
      "-itsoffset", "0.4",
      "-f",         "lavfi",
      "-i",         "sine=frequency=440:sample_rate=48000:duration=1.5",
      "-map",       "0:v",
      "-map",       "1:a",
      "-t",         "1.2",
      "-c:v",       "libx264",
      "-c:a",       "aac"},
     ".mov",
     "prores"},
};

// The joined output holds the one-process output's frames, timing, stream
// facts and audio packets; an intra codec's frames are bit-identical.
void expect_same_output(const fs::path& one, const fs::path& joined, const std::string& codec) {
  EXPECT_EQ(stream_facts(joined), stream_facts(one));
  EXPECT_EQ(frame_sums(joined, "a"), frame_sums(one, "a"));
  const auto a = frame_sums(one, "v"), b = frame_sums(joined, "v");
  ASSERT_EQ(a.size(), b.size());
  if (codec == "prores") {
    EXPECT_EQ(a, b);
    return;
  }
  for (size_t i = 0; i < a.size(); ++i)
    EXPECT_EQ(a[i].substr(0, a[i].find(' ')), b[i].substr(0, b[i].find(' '))) << "frame " << i;
  // Each segment is coded on its own: the same pictures, not the same bits.
  // Each joined frame is nearest its own counterpart, not a neighbour: a
  // frame repeated or dropped at a boundary shifts the ones after it.
  const auto ga = grey_frames(one, 320 * 240), gb = grey_frames(joined, 320 * 240);
  ASSERT_EQ(ga.size(), gb.size());
  for (size_t i = 0; i < ga.size(); ++i) {
    const double same = mean_abs_diff(ga[i], gb[i]);
    EXPECT_LT(same, 3.0) << "frame " << i;
    for (size_t j : {i - 1, i + 1}) {
      if (j < ga.size()) {
        EXPECT_LT(same, mean_abs_diff(ga[j], gb[i])) << "frame " << i << " against " << j;
      }
    }
  }
}

TEST(Segmented, SameFramesAsOneProcessAtEveryBoundary) {
  for (const Source& s : kSources) {
    SCOPED_TRACE(s.name);
    TempDir dir;
    std::vector<std::string> make = s.make;
    make.push_back((dir / s.file).string());
    lmr::testing::run_ffmpeg(make);
    const fs::path one = dir / ("one" + s.out_ext), joined = dir / ("joined" + s.out_ext);
    auto r1 = run_lmr(upscale_args(dir / s.file, one, s.codec));
    ASSERT_EQ(r1.exit_code(), 0) << r1.err;
    auto r2 = run_lmr(with_job(upscale_args(dir / s.file, joined, s.codec), dir / "job"));
    ASSERT_EQ(r2.exit_code(), 0) << r2.err;
    EXPECT_NE(r2.err.find("job " + (dir / "job").string() +
                          ": 30 frames in 5 segments of 7, 0 frames already done\n"),
              std::string::npos)
        << r2.err;
    EXPECT_NE(r2.err.find("frame 30/30: "), std::string::npos) << r2.err;
    EXPECT_FALSE(fs::exists(dir / "job"));
    expect_same_output(one, joined, s.codec);
  }
}

// lmr started in the background; killed with SIGKILL on request.
class Background {
 public:
  explicit Background(const std::vector<std::string>& args) {
    ffbin::Command cmd(lmr::testing::bin_dir() / "lmr");
    cmd.args(args).set_stdin(ffbin::Stdio::kNull).set_stderr(ffbin::Stdio::kNull);
    auto child = cmd.spawn();
    EXPECT_TRUE(child);
    if (child)
      child_.emplace(std::move(*child));
  }
  void kill9() {
    if (child_)
      child_->kill_and_reap();
  }
  int wait() { return child_ ? child_->wait().value_or(-1) : -1; }

 private:
  std::optional<ffbin::Child> child_;
};

bool wait_until(const std::function<bool()>& ready) {
  for (int i = 0; i < 6000; ++i) {
    if (ready())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool any_file(const fs::path& dir, const std::function<bool(const std::string&)>& match) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (match(it->path().filename().string()))
      return true;
  }
  return false;
}

TEST(Segmented, KilledAtAnyMomentTheSameCommandFinishesTheSameFrames) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 160, 120, 30);
  const fs::path one = dir / "one.mov";
  ASSERT_EQ(run_lmr(upscale_args(dir / "in.mp4", one, "prores")).exit_code(), 0);
  const fs::path job = dir / "job", out = dir / "out.mov";
  struct Row {
    std::string moment;
    std::function<bool()> reached;
  };
  const Row rows[] = {
      {"during segment 2",
       [&] {
         return any_file(job,
                         [](const std::string& n) { return n.starts_with(".seg-000002.lmr-"); });
       }},
      {"right after a rename", [&] { return fs::exists(job / "seg-000001.mov"); }},
      {"during the join",
       [&] {
         return any_file(dir.path(),
                         [](const std::string& n) { return n.starts_with(".out.lmr-"); });
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.moment);
    // Slow enough to be caught at each moment: every encoder and the join
    // wait a little before the real ffmpeg runs.
    lmr::testing::StandIns tools;
    tools.encoder("sleep 0.3\n" + lmr::testing::StandIns::real("ffmpeg"))
        .decoder("case \" $* \" in *\" concat \"*) sleep 2;; esac\n" +
                 lmr::testing::StandIns::real("ffmpeg"));
    const auto args = with_job(upscale_args(dir / "in.mp4", out, "prores"), job);
    {
      Background lmr(args);
      ASSERT_TRUE(wait_until(row.reached));
      lmr.kill9();
    }
    EXPECT_FALSE(fs::exists(out));
    auto again = run_lmr(args);
    ASSERT_EQ(again.exit_code(), 0) << again.err;
    EXPECT_FALSE(fs::exists(job));
    EXPECT_EQ(frame_sums(out, "v"), frame_sums(one, "v"));
    fs::remove(out);
  }
}

// A segment is finished (its encoder drained, its frames counted, its file
// renamed) while the next one is being made: when that fails, the job fails
// with the reason, and neither that segment nor a later one is put in place.
TEST(Segmented, ASegmentThatFailsToFinishFailsTheJobAndIsNotPutInPlace) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 160, 120, 30);
  const fs::path job = dir / "job", out = dir / "out.mov";
  struct Row {
    std::string name, encoder, error;
  };
  // Segment 1's encoder takes every frame, then fails or writes too few.
  const std::string takes_all = "cat >/dev/null\n";
  const Row rows[] = {
      {"its encoder fails at the end", takes_all + "echo 'no room for the trailer' >&2\nexit 1",
       "Error: encoder exited with exit status: 1: no room for the trailer"},
      {"it comes out short",
       takes_all + "for a; do last=$a; done\nexec " + tool("ffmpeg") +
           " -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 3 -c:v prores_ks "
           "-f mov \"$last\"",
       "Error: segment 1 came out with 3 frames instead of 7"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(job);
    lmr::testing::StandIns tools;
    tools.encoder("case \"$*\" in *.seg-000001.lmr-*)\n" + row.encoder + "\n;;\nesac\n" +
                  lmr::testing::StandIns::real("ffmpeg"));
    {
      lmr::testing::Hygiene clean(&tools);
      auto r = run_lmr(with_job(upscale_args(dir / "in.mp4", out, "prores"), job));
      EXPECT_EQ(r.exit_code(), 1);
      EXPECT_NE(r.err.find(row.error), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fs::exists(job / "seg-000000.mov"));
    for (const char* name : {"seg-000001.mov", "seg-000001.size", "seg-000002.mov"})
      EXPECT_FALSE(fs::exists(job / name)) << name;
    EXPECT_FALSE(any_file(job, [](const std::string& n) { return n.starts_with(".seg-"); }));
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST(Segmented, ArrayTasksThenJoinEvenWithATaskRunTwice) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 160, 120, 30);
  const fs::path one = dir / "one.mov", out = dir / "out.mov", job = dir / "job";
  ASSERT_EQ(run_lmr(upscale_args(dir / "in.mp4", one, "prores")).exit_code(), 0);
  const auto base = with_job(upscale_args(dir / "in.mp4", out, "prores"), job, {"--tasks", "2"});
  {
    // Task 1 handed out twice by mistake, the index from the scheduler.
    auto a = base, b = base;
    a.insert(a.end(), {"--task-index", "0"});
    lmr::testing::ScopedEnv slurm("SLURM_ARRAY_TASK_ID", "1");
    Background t0(a), t1(b), t1_again(b);
    EXPECT_EQ(t0.wait(), 0);
    EXPECT_EQ(t1.wait(), 0);
    EXPECT_EQ(t1_again.wait(), 0);
  }
  EXPECT_FALSE(fs::exists(out)) << "a task never joins";
  auto joined = run_lmr({"join", "--job", job.string()});
  ASSERT_EQ(joined.exit_code(), 0) << joined.err;
  EXPECT_EQ(joined.err, "joined 5 segments (30 frames) into " + out.string() + "\n");
  EXPECT_FALSE(fs::exists(job));
  EXPECT_EQ(frame_sums(out, "v"), frame_sums(one, "v"));
}

TEST(Segmented, DamageAndMismatchesAreRedoneOrRefused) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 160, 120, 30);
  lmr::testing::make_clip(dir / "other.mp4", 160, 120, 30, "30");
  const fs::path one = dir / "one.mov", out = dir / "out.mov", job = dir / "job";
  ASSERT_EQ(run_lmr(upscale_args(dir / "in.mp4", one, "prores")).exit_code(), 0);
  const auto args = with_job(upscale_args(dir / "in.mp4", out, "prores"), job);
  auto task0 = args;
  task0.insert(task0.end(), {"--tasks", "2", "--task-index", "0"});
  const auto share = run_lmr(task0);  // segments 0, 2 and 4
  ASSERT_EQ(share.exit_code(), 0) << share.err;
  EXPECT_EQ(share.err.find("warning"), std::string::npos) << "a share is not a short input";

  struct Refusal {
    std::string name;
    std::vector<std::string> args;
    std::string error;
  };
  auto changed = [&](const std::string& from, const std::string& to) {
    auto a = args;
    std::replace(a.begin(), a.end(), from, to);
    return a;
  };
  const Refusal refusals[] = {
      {"another source", changed((dir / "in.mp4").string(), (dir / "other.mp4").string()),
       "Error: the job folder " + job.string() + " holds another job: source path"},
      {"another model",
       changed(lmr::testing::model("nn2x.onnx").string(),
               lmr::testing::model("conv2x.onnx").string()),
       "model path"},
      {"another option", changed("prores", "h264"), "--codec (prores in the folder, h264 now)"},
      {"another segment length", changed("7", "8"), "--segment-frames (7 in the folder, 8 now)"},
      {"the join with segments missing",
       {"join", "--job", job.string()},
       "Error: cannot join " + job.string() + ": segments 1 and 3 of 5 are missing\n"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    lmr::testing::Hygiene clean(nullptr, {job / "manifest", job / "seg-000002.mov"});
    auto got = run_lmr(r.args);
    EXPECT_EQ(got.exit_code(), 1);
    EXPECT_NE(got.err.find(r.error), std::string::npos) << got.err;
  }

  // A segment cut short is made again; the others are kept.
  fs::resize_file(job / "seg-000002.mov", fs::file_size(job / "seg-000002.mov") / 2);
  auto resumed = run_lmr(args);
  ASSERT_EQ(resumed.exit_code(), 0) << resumed.err;
  EXPECT_NE(resumed.err.find("30 frames in 5 segments of 7, 9 frames already done"),
            std::string::npos)
      << resumed.err;
  EXPECT_NE(resumed.err.find("frame 20/30: "), std::string::npos) << resumed.err;
  EXPECT_EQ(resumed.err.find("warning"), std::string::npos) << resumed.err;
  EXPECT_EQ(frame_sums(out, "v"), frame_sums(one, "v"));
}

TEST(Segmented, BadInputIsAClearErrorAndLosesNothing) {
  TempDir dir;
  lmr::testing::make_clip(dir / "in.mp4", 64, 48, 10);
  lmr::testing::write_file(dir / "afile", "keep");
  fs::create_directories(dir / "garbled");
  lmr::testing::write_file(dir / "garbled" / "manifest", "lmr-job 1\nsource=x\n");
  fs::create_directories(dir / "busy");
  const auto base = upscale_args(dir / "in.mp4", dir / "out.mp4", "h264");
  auto with = [&](std::vector<std::string> more) {
    auto a = base;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  const std::string busy = (dir / "busy").string();
  struct Row {
    std::string name;
    std::vector<std::string> args;
    std::string error;
  };
  const Row rows[] = {
      {"segment count 0", with({"--job", busy, "--segment-frames", "0"}),
       "--segment-frames must be a whole number, at least 1"},
      {"no tasks", with({"--job", busy, "--tasks", "0"}),
       "--tasks must be a whole number, at least 1"},
      {"index out of range", with({"--job", busy, "--tasks", "3", "--task-index", "3"}),
       "--task-index 3 is out of range for --tasks 3 (0 to 2)"},
      {"no index anywhere", with({"--job", busy, "--tasks", "3"}), "--tasks needs --task-index"},
      {"index without tasks", with({"--job", busy, "--task-index", "1"}),
       "--task-index needs --tasks"},
      {"segments without a folder", with({"--segment-frames", "5"}),
       "--segment-frames needs --job <dir>"},
      {"a folder that is a file", with({"--job", (dir / "afile").string()}),
       "the job folder " + (dir / "afile").string() + " exists and is not a folder"},
      {"an unreadable manifest", with({"--job", (dir / "garbled").string()}),
       "cannot read the job manifest " + (dir / "garbled" / "manifest").string()},
      {"two jobs on one folder", with({"--job", busy}),
       "the job folder " + busy + " is in use by another lmr job"},
      {"join of no job",
       {"join", "--job", (dir / "afile").string()},
       "the job folder " + (dir / "afile").string() + " does not exist or is not a folder"},
  };
  auto held = Lock::take(dir / "busy" / "job.lock", Lock::Mode::exclusive, false);
  ASSERT_TRUE(held && *held);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    lmr::testing::Hygiene clean(nullptr, {dir / "afile", dir / "garbled" / "manifest"});
    auto r = run_lmr(row.args, {{"SLURM_ARRAY_TASK_ID", std::nullopt},
                                {"JOB_COMPLETION_INDEX", std::nullopt},
                                {"AWS_BATCH_JOB_ARRAY_INDEX", std::nullopt}});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_NE(r.err.find("Error: " + row.error), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.mp4"));
  }
}

}  // namespace
}  // namespace lmr::job

namespace lmr::job {
namespace {

// A small tmpfs for the job folder; unmounted when dropped.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, const std::string& size) : at_(at) {
    fs::create_directories(at);
    mounted_ =
        lmr::testing::run({"/bin/mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", at.string()})
            .exit_code() == 0;
  }
  ~SmallDisk() {
    if (mounted_)
      lmr::testing::run({"/bin/umount", at_.string()});
  }
  bool mounted() const { return mounted_; }
  bool resize(const std::string& size) {
    return lmr::testing::run({"/bin/mount", "-o", "remount,size=" + size, "tmpfs", at_.string()})
               .exit_code() == 0;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(Segmented, AFullDiskIsAClearErrorAndLosesNothingFinished) {
  TempDir dir;
  SmallDisk disk(dir / "disk", "700k");  // two segments of about 290 KB fit, not three
  if (!disk.mounted())
    GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  lmr::testing::make_clip(dir / "in.mp4", 160, 120, 30);
  const fs::path one = dir / "one.mov", out = dir / "out.mov", job = dir / "disk" / "job";
  ASSERT_EQ(run_lmr(upscale_args(dir / "in.mp4", one, "prores")).exit_code(), 0);
  const auto args = with_job(upscale_args(dir / "in.mp4", out, "prores"), job);
  auto full = run_lmr(args);
  EXPECT_EQ(full.exit_code(), 1);
  EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(read_manifest(job).value_or(std::nullopt).has_value());
  ASSERT_TRUE(fs::exists(job / "seg-000000.mov"));
  EXPECT_EQ(count_frames(job / "seg-000000.mov").value_or(StreamFacts{}).frames, 7u);
  EXPECT_FALSE(any_file(job, [](const std::string& n) { return n.starts_with(".seg-"); }));
  // Room again: the same command finishes from where it stopped.
  ASSERT_TRUE(disk.resize("8m"));
  auto again = run_lmr(args);
  ASSERT_EQ(again.exit_code(), 0) << again.err;
  EXPECT_EQ(frame_sums(out, "v"), frame_sums(one, "v"));
}

}  // namespace
}  // namespace lmr::job
