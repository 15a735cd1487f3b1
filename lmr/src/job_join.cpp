// The join: the finished segments of a job folder by stream copy, with the
// source's audio, into the job's output; then the folder's own files go.
#include <cstdlib>
#include <system_error>

#include "ffbin.h"
#include "job.h"
#include "staging.h"
#include "text.h"
#include "video.h"
#include "video_encoder.h"

namespace lmr::job {

namespace fs = std::filesystem;
using ull = unsigned long long;

std::vector<std::string> join_args(const fs::path& list,
                                   const Manifest& m,
                                   bool hevc,
                                   const fs::path& out) {
  video::EncoderSettings e;
  e.output = m.output;
  e.muxer = m.muxer;
  e.source = m.source;
  e.audio = m.audio;
  if (!m.audio_cut.empty())
    e.traits.audio_seconds = std::strtod(m.audio_cut.c_str(), nullptr);
  if (!m.source_offset.empty())
    e.source_offset = std::strtod(m.source_offset.c_str(), nullptr);
  for (size_t at = 0; at < m.subtitles.size();) {
    size_t comma = m.subtitles.find(',', at);
    const std::string one = m.subtitles.substr(at, comma - at);
    const size_t colon = one.find(':');
    e.subtitles.push_back({std::strtoull(one.c_str(), nullptr, 10), one.substr(colon + 1)});
    at = comma == std::string::npos ? m.subtitles.size() : comma + 1;
  }
  // The source's streams as the one-process encoder takes them; the
  // segments' video as it is.
  std::vector<std::string> args{"-v", "error", "-y", "-f", "concat", "-i", list.string()};
  const std::vector<std::string> from_source = video::source_args(e);
  args.insert(args.end(), from_source.begin(), from_source.end());
  args.insert(args.end(), {"-c:v", "copy"});
  // Each segment starts with its own reordering delay (a short last one may
  // have none), which leaves a gap in the decoding times at a join; the
  // frames are evenly spaced, so decoding times follow the first one's.
  // The concat demuxer's offsets are rounded to microseconds: the frames
  // are put back on the frame grid.
  args.insert(
      args.end(),
      {"-bsf:v",
       "setts=pts=STARTPTS+round((PTS-STARTPTS)/DURATION)*DURATION:dts=STARTDTS+N*DURATION"});
  if (hevc)
    args.insert(args.end(), {"-tag:v", "hvc1"});
  args.insert(args.end(),
              {"-f", m.muxer.empty() ? video::container_name(m.output) : m.muxer, out.string()});
  return args;
}

Result<std::vector<uint64_t>> missing_segments(const fs::path& dir, const Manifest& m) {
  std::vector<uint64_t> missing;
  for (uint64_t k = 0; k < m.segments(); ++k) {
    auto done = segment_complete(dir, m, k);
    if (!done)
      return std::unexpected(done.error());
    if (!*done)
      missing.push_back(k);
  }
  return missing;
}

std::string name_segments(const std::vector<uint64_t>& ks) {
  constexpr size_t kShown = 20;
  std::string out = ks.size() == 1 ? "segment " : "segments ";
  const size_t shown = std::min(ks.size(), kShown);
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0)
      out += (i + 1 == shown && ks.size() <= kShown) ? " and " : ", ";
    out += std::to_string(ks[i]);
  }
  if (ks.size() > kShown)
    out += text::format(" and %llu more", ull(ks.size() - kShown));
  return out;
}

Status join(const fs::path& dir, const Manifest& m) {
  Manifest now;
  if (auto st = describe_source(m.source, now); !st)
    return st;
  if (now.source_size != m.source_size || now.source_mtime_ns != m.source_mtime_ns ||
      now.source_digest != m.source_digest)
    return fail("the source " + m.source +
                " changed since the job began; its audio would not match the segments");
  auto missing = missing_segments(dir, m);
  if (!missing)
    return std::unexpected(missing.error());
  if (!missing->empty())
    return fail(text::format("cannot join %s: %s of %llu %s missing", dir.string().c_str(),
                             name_segments(*missing).c_str(), ull(m.segments()),
                             missing->size() == 1 ? "is" : "are"));
  std::string list;
  for (uint64_t k = 0; k < m.segments(); ++k)
    list += "file '" + segment_path(dir, k).filename().string() + "'\n";
  const fs::path list_path = dir / "segments.txt";
  if (auto st = staging::write_file(list_path, list); !st)
    return st;
  auto first = count_frames(segment_path(dir, 0));
  if (!first)
    return std::unexpected(first.error());

  auto out = staging::PendingFile::create(m.output);
  if (!out)
    return std::unexpected(out.error());
  auto cmd = ffbin::command("ffmpeg");
  if (!cmd)
    return std::unexpected(cmd.error());
  cmd->args(join_args(list_path, m, first->codec == "hevc", out->path()));
  auto ran = cmd->output();
  if (!ran)
    return std::unexpected(ran.error());
  if (!ran->success())
    return fail("join failed: " + ffbin::exit_status_text(ran->wait_status) + ": " +
                std::string(text::trim(text::lossy_utf8(ran->stderr_text))));
  auto facts = count_frames(out->path());
  if (!facts)
    return std::unexpected(facts.error());
  if (facts->frames != m.frames)
    return fail(text::format("the joined output has %llu frames instead of %llu",
                             ull(facts->frames), ull(m.frames)));
  if (auto st = out->commit(); !st)
    return st;

  // Only the job's own files: the folder may have been given with others.
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const bool ours =
        name == "manifest" || name == "segments.txt" || name == "job.lock" ||
        name == "manifest.lock" || name.starts_with("manifest.") ||
        name.starts_with("segments.txt.") ||
        (name.starts_with("seg-") &&
         (name.ends_with(".mov") || name.ends_with(".lock") || name.ends_with(".size"))) ||
        name.starts_with(".seg-") || name.starts_with(".manifest.lmr-") ||
        name.starts_with(".segments.lmr-");
    if (ours) {
      std::error_code rm;
      fs::remove(it->path(), rm);
    }
  }
  if (!fs::remove(dir, ec))
    text::write_stderr("the job folder " + dir.string() + " was kept: it holds other files\n");
  return {};
}

Status join_folder(const fs::path& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    return fail("the job folder " + dir.string() + " does not exist or is not a folder");
  auto lock = Lock::take(dir / "job.lock", Lock::Mode::exclusive, false);
  if (!lock)
    return std::unexpected(lock.error());
  if (!*lock)
    return fail("the job folder " + dir.string() + " is in use by another lmr job");
  auto m = read_manifest(dir);
  if (!m)
    return std::unexpected(m.error());
  if (!*m)
    return fail("the job folder " + dir.string() + " holds no job (no manifest)");
  if (auto st = join(dir, **m); !st)
    return st;
  text::write_stderr(text::format("joined %llu segments (%llu frames) into %s\n",
                                  ull((*m)->segments()), ull((*m)->frames), (*m)->output.c_str()));
  return {};
}

}  // namespace lmr::job
