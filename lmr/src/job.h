// The job folder of a segmented upscale job: a manifest that records
// everything the output depends on, the finished segments (each a video-only
// file of whole frames, renamed into place only once complete and counted),
// the locks that keep two jobs apart while array tasks share the folder, and
// the join of the segments with the source's audio into the output.
//
// Layout of a folder: "manifest" (key=value lines), "seg-NNNNNN.mov" per
// finished segment with its byte count in "seg-NNNNNN.size" (each written
// under a temporary name by staging and renamed when complete), "job.lock", "manifest.lock" and
// "seg-NNNNNN.lock" (flock).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "fd.h"
#include "staging.h"

namespace lmr::job {

inline constexpr std::string_view kEngineVersion = "0.1.0";

// The command line's segmented-job options.
struct JobOptions {
  std::string dir;
  std::optional<uint64_t> segment_frames;  // absent: the manifest's, else about 10 s
  std::optional<uint64_t> tasks;           // absent: the whole job, then the join
  std::optional<uint64_t> task_index;      // absent: from the scheduler's variable
};

// The scheduler variables a task index is taken from, in order.
inline constexpr std::string_view kTaskIndexVariables[] = {
    "SLURM_ARRAY_TASK_ID", "JOB_COMPLETION_INDEX", "AWS_BATCH_JOB_ARRAY_INDEX"};
// This task's index: --task-index, else the first scheduler variable that is
// set; checked against the task count.
Result<uint64_t> task_index(const JobOptions& options,
                            const std::function<std::optional<std::string>(std::string_view)>& env);

// Everything that determines the output. Texts are stored as given; numbers
// in decimal. `frames` and `segment_frames` fix the segment boundaries:
// segment k holds frames [k * segment_frames, min((k + 1) * segment_frames,
// frames)) in the order the decoder delivers them.
struct Manifest {
  std::string engine{kEngineVersion};
  std::string source;  // absolute path
  uint64_t source_size = 0;
  int64_t source_mtime_ns = 0;
  std::string source_digest;  // SHA-256 of its size, first and last MiB
  std::string model;          // absolute path
  std::string model_digest;   // SHA-256 of the whole file
  std::string output;         // absolute path of the joined output
  std::string audio_cut;      // seconds the audio is cut at ("%.6f"), empty: not cut
  std::string audio;          // "copy", "aac" (converted) or "none"
  std::string source_offset;  // the source's -itsoffset ("%.6f"), empty: none
  std::string subtitles;      // "index:codec" of each subtitle kept, comma-separated
  std::string muxer;          // the output's container
  uint64_t frames = 0;
  uint64_t segment_frames = 0;
  // Every option that changes the pixels or the encoding, by option name.
  std::vector<std::pair<std::string, std::string>> options;

  uint64_t segments() const;
  uint64_t segment_start(uint64_t k) const;
  uint64_t segment_length(uint64_t k) const;
};

std::string manifest_text(const Manifest& m);
// Strict: the header line, every key exactly once, nothing else, each value
// valid for its key.
Result<Manifest> parse_manifest(std::string_view text);
// The names of the fields where `stored` and `wanted` differ ("source size",
// "model", ...); `frames` is derived from the source and not compared.
std::vector<std::string> manifest_differences(const Manifest& stored, const Manifest& wanted);

// Source identity and model digest of the files as they are now.
Status describe_source(const std::filesystem::path& source, Manifest& m);
Result<std::string> model_digest(const std::filesystem::path& model);

std::filesystem::path segment_path(const std::filesystem::path& dir, uint64_t k);

// An flock held on a file of the job folder; released when dropped.
class Lock {
 public:
  enum class Mode { shared, exclusive };
  // Nothing when another process holds a conflicting lock and `wait` is
  // false.
  static Result<std::optional<Lock>> take(const std::filesystem::path& file, Mode mode, bool wait);

 private:
  explicit Lock(Fd fd) : fd_(std::move(fd)) {}
  Fd fd_;
};

// The folder, created when missing; a path that exists and is not a folder
// is refused.
Status make_folder(const std::filesystem::path& dir);
// The manifest in `dir`, nothing when there is none yet.
Result<std::optional<Manifest>> read_manifest(const std::filesystem::path& dir);
Status write_manifest(const std::filesystem::path& dir, const Manifest& m);

// Packets (one per frame) in the first video stream of `file`, by demuxing
// only; an error when ffprobe cannot read it.
struct StreamFacts {
  uint64_t frames = 0;
  std::string codec;
};
Result<StreamFacts> count_frames(const std::filesystem::path& file);
// True when segment k is in place with the size recorded when its frames
// were counted (without a record: its frame count); a damaged one is redone
// and renamed over.
Result<bool> segment_complete(const std::filesystem::path& dir, const Manifest& m, uint64_t k);
// Checks that `part` (segment k's temporary file) holds the segment's
// frames, records its size, and renames it into place.
Status commit_segment(const std::filesystem::path& dir,
                      const Manifest& m,
                      uint64_t k,
                      staging::PendingFile& part);

// The ffmpeg arguments that join the segments listed in `list` by stream
// copy, with the source's streams as the manifest records them (audio cut,
// copied or converted, offset; subtitles), into `out`.
std::vector<std::string> join_args(const std::filesystem::path& list,
                                   const Manifest& m,
                                   bool hevc,
                                   const std::filesystem::path& out);
// The missing or damaged segments, by number.
Result<std::vector<uint64_t>> missing_segments(const std::filesystem::path& dir, const Manifest& m);
// Joins the complete segments into the manifest's output, written under a
// temporary name beside it and renamed when its frame count checks, then
// removes the job's files and the folder (a folder that holds other files
// is kept, and said so). Refuses when a segment is missing or the source
// changed since the job began.
Status join(const std::filesystem::path& dir, const Manifest& m);
// `lmr join`: the folder's job joined as above, under the folder's lock.
Status join_folder(const std::filesystem::path& dir);

// "segment 3", "segments 0, 2 and 5".
std::string name_segments(const std::vector<uint64_t>& ks);

}  // namespace lmr::job
