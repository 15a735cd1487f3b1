// The job folder's pure parts: the manifest's text and its strict reading,
// what a mismatch names, segment boundaries, task indices, the locks, the
// join's argument list.
#include "job.h"

#include <gtest/gtest.h>

#include <map>

#include "testing.h"

namespace lmr::job {
namespace {

namespace fs = std::filesystem;

Manifest sample() {
  Manifest m;
  m.source = "/clips/a\nb.mp4";
  m.source_size = 123456;
  m.source_mtime_ns = -5;
  m.source_digest = std::string(64, 'a');
  m.model = "/m/x.onnx";
  m.model_digest = std::string(64, 'b');
  m.output = "/out/o.mkv";
  m.audio_cut = "1.600000";
  m.audio = "aac";
  m.source_offset = "0.500000";
  m.subtitles = "2:mov_text,4:mov_text";
  m.muxer = "matroska";
  m.frames = 40;
  m.segment_frames = 7;
  m.options = {{"--scale", "2"}, {"--codec", "h264"}, {"-m", ""}};
  return m;
}

TEST(Manifest, TextRoundTripsExactly) {
  const Manifest m = sample();
  auto back = parse_manifest(manifest_text(m));
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(manifest_text(*back), manifest_text(m));
  EXPECT_TRUE(manifest_differences(*back, m).empty());
  EXPECT_EQ(back->source, m.source);
  EXPECT_EQ(back->source_mtime_ns, -5);
}

TEST(Manifest, ReadStrictly) {
  const std::string good = manifest_text(sample());
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  struct Row {
    std::string text, error;
  };
  const Row rows[] = {
      {"", "does not end with a line break"},
      {good.substr(0, good.size() - 1), "does not end with a line break"},
      {replace("lmr-job 1", "lmr-job 2"), "does not begin with"},
      {good + "frames=40\n", "key given twice: frames"},
      {good + "colour=red\n", "unknown manifest key: colour"},
      {good + "no equals sign\n", "without '='"},
      {replace("frames=40", "frames=4x"), "invalid manifest value"},
      {replace("segment_frames=7", "segment_frames=0"), "segment_frames is 0"},
      {replace("engine=0.1.0\n", ""), "lacks engine"},
      {replace("output=/out/o.mkv", "output=\\q"), "broken escape"},
      {good + "opt.=1\n", "option without a name"},
  };
  for (const Row& row : rows) {
    auto m = parse_manifest(row.text);
    ASSERT_FALSE(m) << row.text;
    EXPECT_NE(m.error().message().find(row.error), std::string::npos)
        << m.error().message() << " / want " << row.error;
  }
}

TEST(Manifest, DifferencesNameWhatDiffers) {
  struct Row {
    void (*change)(Manifest&);
    std::string named;
  };
  const Row rows[] = {
      {[](Manifest& m) { m.source = "/clips/other.mp4"; }, "source path"},
      {[](Manifest& m) { m.source_size = 1; }, "source size (123456 in the folder, 1 now)"},
      {[](Manifest& m) { m.source_mtime_ns = 9; }, "source modification time"},
      {[](Manifest& m) { m.source_digest = std::string(64, 'c'); }, "source content"},
      {[](Manifest& m) { m.model_digest = std::string(64, 'c'); }, "model file content"},
      {[](Manifest& m) { m.output = "/out/p.mkv"; }, "output"},
      {[](Manifest& m) { m.segment_frames = 8; }, "--segment-frames (7 in the folder, 8 now)"},
      {[](Manifest& m) { m.options[0].second = "3"; }, "--scale (2 in the folder, 3 now)"},
      {[](Manifest& m) { m.options.pop_back(); }, "-m ( in the folder, absent now)"},
  };
  for (const Row& row : rows) {
    Manifest now = sample();
    row.change(now);
    const auto diffs = manifest_differences(sample(), now);
    ASSERT_EQ(diffs.size(), 1u) << row.named;
    EXPECT_TRUE(diffs[0].starts_with(row.named)) << diffs[0];
  }
  // The count is the source's own, found once: never a reason to refuse.
  Manifest counted = sample();
  counted.frames = 0;
  EXPECT_TRUE(manifest_differences(sample(), counted).empty());
}

TEST(Manifest, SegmentBoundariesByFrameIndex) {
  Manifest m = sample();  // 40 frames in sevens
  EXPECT_EQ(m.segments(), 6u);
  std::vector<uint64_t> starts, lengths;
  for (uint64_t k = 0; k <= m.segments(); ++k) {
    starts.push_back(m.segment_start(k));
    lengths.push_back(m.segment_length(k));
  }
  EXPECT_EQ(starts, (std::vector<uint64_t>{0, 7, 14, 21, 28, 35, 42}));
  EXPECT_EQ(lengths, (std::vector<uint64_t>{7, 7, 7, 7, 7, 5, 0}));
  m.frames = 42;
  EXPECT_EQ(m.segments(), 6u);
  EXPECT_EQ(m.segment_length(5), 7u);
  m.frames = 1;
  EXPECT_EQ(m.segments(), 1u);
  EXPECT_EQ(m.segment_length(0), 1u);
}

TEST(TaskIndex, FromTheOptionOrTheScheduler) {
  using Env = std::map<std::string, std::string>;
  struct Row {
    uint64_t tasks;
    std::optional<uint64_t> index;
    Env env;
    std::optional<uint64_t> want;
    std::string error;
  };
  const Row rows[] = {
      {4, 2, {{"SLURM_ARRAY_TASK_ID", "3"}}, 2, ""},
      {4, std::nullopt, {{"SLURM_ARRAY_TASK_ID", "3"}, {"JOB_COMPLETION_INDEX", "1"}}, 3, ""},
      {4, std::nullopt, {{"SLURM_ARRAY_TASK_ID", ""}, {"JOB_COMPLETION_INDEX", "1"}}, 1, ""},
      {4, std::nullopt, {{"AWS_BATCH_JOB_ARRAY_INDEX", "0"}}, 0, ""},
      {4, 4, {}, std::nullopt, "--task-index 4 is out of range for --tasks 4 (0 to 3)"},
      {2,
       std::nullopt,
       {{"JOB_COMPLETION_INDEX", "7"}},
       std::nullopt,
       "JOB_COMPLETION_INDEX 7 is out of range for --tasks 2 (0 to 1)"},
      {2,
       std::nullopt,
       {{"SLURM_ARRAY_TASK_ID", "x1"}},
       std::nullopt,
       "SLURM_ARRAY_TASK_ID=x1 is not a task index"},
      {2, std::nullopt, {}, std::nullopt, "--tasks needs --task-index, or one of the variables"},
  };
  for (const Row& row : rows) {
    JobOptions o;
    o.tasks = row.tasks;
    o.task_index = row.index;
    auto got = task_index(o, [&](std::string_view name) -> std::optional<std::string> {
      auto it = row.env.find(std::string(name));
      return it == row.env.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
    if (row.want) {
      ASSERT_TRUE(got) << got.error().message();
      EXPECT_EQ(*got, *row.want);
    } else {
      ASSERT_FALSE(got);
      EXPECT_TRUE(got.error().message().starts_with(row.error)) << got.error().message();
    }
  }
}

TEST(NameSegments, ListsThemReadably) {
  EXPECT_EQ(name_segments({3}), "segment 3");
  EXPECT_EQ(name_segments({0, 2}), "segments 0 and 2");
  EXPECT_EQ(name_segments({0, 2, 5}), "segments 0, 2 and 5");
  std::vector<uint64_t> many(25);
  for (uint64_t i = 0; i < many.size(); ++i)
    many[i] = i;
  EXPECT_TRUE(name_segments(many).ends_with(", 18, 19 and 5 more")) << name_segments(many);
}

TEST(Locks, TasksShareTheFolderAWholeJobHasItAlone) {
  lmr::testing::TempDir dir;
  const fs::path f = dir / "job.lock";
  using M = Lock::Mode;
  struct Row {
    M held, wanted;
    bool granted;
  };
  const Row rows[] = {{M::shared, M::shared, true},
                      {M::shared, M::exclusive, false},
                      {M::exclusive, M::shared, false},
                      {M::exclusive, M::exclusive, false}};
  for (const Row& row : rows) {
    auto held = Lock::take(f, row.held, false);
    ASSERT_TRUE(held && *held);
    auto wanted = Lock::take(f, row.wanted, false);
    ASSERT_TRUE(wanted) << wanted.error().message();
    EXPECT_EQ(wanted->has_value(), row.granted);
  }
  // Released when dropped.
  EXPECT_TRUE(Lock::take(f, M::exclusive, false)->has_value());
}

TEST(Folder, CreatedWhenMissingRefusedWhenAFile) {
  lmr::testing::TempDir dir;
  EXPECT_TRUE(make_folder(dir / "a" / "b"));
  EXPECT_TRUE(fs::is_directory(dir / "a" / "b"));
  lmr::testing::write_file(dir / "f", "x");
  auto st = make_folder(dir / "f");
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(),
            "the job folder " + (dir / "f").string() + " exists and is not a folder");
  EXPECT_EQ(lmr::testing::read_file(dir / "f"), "x");
}

TEST(Folder, ManifestWrittenWholeAndReadBack) {
  lmr::testing::TempDir dir;
  auto none = read_manifest(dir.path());
  ASSERT_TRUE(none && !*none);
  ASSERT_TRUE(write_manifest(dir.path(), sample()));
  auto back = read_manifest(dir.path());
  ASSERT_TRUE(back && *back);
  EXPECT_EQ(manifest_text(**back), manifest_text(sample()));
  // Nothing but the manifest: the temporary file was renamed.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  lmr::testing::write_file(dir / "manifest", "garbage\n");
  auto bad = read_manifest(dir.path());
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().message().starts_with("cannot read the job manifest "));
}

TEST(JoinArgs, StreamCopyWithTheSourcesStreamsAsTheManifestRecords) {
  Manifest m = sample();
  m.source = "/c/in.mp4";
  const std::vector<std::string> want{
      "-v",
      "error",
      "-y",
      "-f",
      "concat",
      "-i",
      "/j/segments.txt",
      "-t",
      "1.600000",
      "-itsoffset",
      "0.500000",
      "-protocol_whitelist",
      "file,pipe",
      "-i",
      "file:/c/in.mp4",
      "-map",
      "0:v",
      "-map",
      "1:a?",
      "-c:a",
      "aac",
      "-map",
      "1:2",
      "-c:s:0",
      "mov_text",
      "-map",
      "1:4",
      "-c:s:1",
      "mov_text",
      "-c:v",
      "copy",
      "-bsf:v",
      "setts=pts=STARTPTS+round((PTS-STARTPTS)/DURATION)*DURATION:dts=STARTDTS+N*DURATION",
      "-f",
      "matroska",
      "/o/.out.lmr-1-0.mkv"};
  EXPECT_EQ(join_args("/j/segments.txt", m, false, "/o/.out.lmr-1-0.mkv"), want);
  m.audio_cut = m.source_offset = m.subtitles = "";
  m.audio = "copy";
  const auto hevc = join_args("/j/s.txt", m, true, "/o/t");
  EXPECT_EQ(std::count(hevc.begin(), hevc.end(), "-t"), 0);
  EXPECT_EQ(std::count(hevc.begin(), hevc.end(), "-itsoffset"), 0);
  EXPECT_NE(std::find(hevc.begin(), hevc.end(), "hvc1"), hevc.end());
  EXPECT_NE(std::find(hevc.begin(), hevc.end(), "copy"), hevc.end());
}

}  // namespace
}  // namespace lmr::job
