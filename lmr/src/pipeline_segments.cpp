// The segmented job: the frames the decoder delivers, counted once, cut into
// segments by frame index; each segment encoded into its own file of the
// job folder and renamed into place once complete; resumed, shared among
// array tasks, and joined into the output.
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "cancel.h"
#include "pipeline.h"
#include "pipeline_internal.h"
#include "platform.h"
#include "staging.h"
#include "text.h"

namespace lmr::pipeline {

namespace fs = std::filesystem;
using ull = unsigned long long;

namespace {

void say(const std::string& line) {
  text::write_stderr(line);
}

std::string ep_name(inference::Ep ep) {
  switch (ep) {
    case inference::Ep::coreml_all:
      return "coreml";
    case inference::Ep::coreml_cpu_and_neural_engine:
      return "coreml-cpu-ne";
    case inference::Ep::cpu:
      return "cpu";
  }
  return "?";
}

// Every option that changes the pixels or the encoding, as the manifest
// records them.
std::vector<std::pair<std::string, std::string>> job_options(const UpscaleConfig& c) {
  auto opt = [](const std::optional<uint64_t>& v, const char* absent) {
    return v ? std::to_string(*v) : std::string(absent);
  };
  return {
      {"-m", c.model_name.value_or("")},
      {"--scale", std::to_string(c.scale)},
      {"--tile", c.tile_w && c.tile_h ? text::format("%llux%llu", ull(*c.tile_w), ull(*c.tile_h))
                                      : std::string("auto")},
      {"--overlap", std::to_string(c.overlap)},
      {"--div", std::to_string(c.div)},
      {"--max-area", opt(c.max_area, "none")},
      {"--ep", ep_name(c.ep)},
      {"--codec", c.codec},
      {"--quality", std::to_string(c.quality)},
      {"--max-frames", c.max_frames == UINT64_MAX ? "all" : std::to_string(c.max_frames)}};
}

std::string absolute(const std::string& path) {
  std::error_code ec;
  fs::path abs = fs::absolute(path, ec);
  return (ec ? fs::path(path) : abs).lexically_normal().string();
}

// The job as this command describes it; frames and, without
// --segment-frames, the segment length are filled in later.
Result<job::Manifest> wanted_manifest(const UpscaleConfig& c,
                                      const job::JobOptions& o,
                                      const PlannedInput& info) {
  job::Manifest m;
  if (auto st = job::describe_source(c.input, m); !st)
    return std::unexpected(st.error());
  auto digest = job::model_digest(c.model);
  if (!digest)
    return std::unexpected(digest.error());
  m.model = absolute(c.model);
  m.model_digest = *digest;
  m.output = absolute(c.output);
  // The join muxes the source's streams as the one-process encoder would.
  const video::EncoderSettings& e = info.plan.encoder;
  if (e.traits.audio_seconds)
    m.audio_cut = text::format("%.6f", *e.traits.audio_seconds);
  m.audio = e.audio;
  if (e.source_offset)
    m.source_offset = text::format("%.6f", *e.source_offset);
  for (const video::SubtitleStream& sub : e.subtitles)
    m.subtitles += (m.subtitles.empty() ? "" : ",") + std::to_string(sub.index) + ":" + sub.codec;
  m.muxer = e.muxer;
  m.segment_frames = o.segment_frames.value_or(0);
  m.options = job_options(c);
  return m;
}

// What the decoder delivers, counted once: the segment boundaries are frame
// indices of exactly these frames, never rounded times.
Result<uint64_t> count_decoded(const UpscaleConfig& c, const PlannedInput& info) {
  auto decoder = open_decoder(c, info);
  if (!decoder)
    return std::unexpected(decoder.error());
  uint64_t n = 0;
  while (n < c.max_frames) {
    if (auto st = cancel::check(); !st)
      return std::unexpected(st.error());
    auto frame = decoder->next_frame();
    if (!frame)
      return std::unexpected(frame.error());
    if (!*frame)
      break;
    ++n;
  }
  return n;
}

// The folder's manifest, checked against the command, or a new one.
Result<job::Manifest> settle_manifest(const fs::path& dir,
                                      const UpscaleConfig& c,
                                      const job::JobOptions& o,
                                      const PlannedInput& info) {
  auto wanted = wanted_manifest(c, o, info);
  if (!wanted)
    return wanted;
  // Array tasks start together: one writes the manifest, the others wait
  // for it and read it.
  auto lock = job::Lock::take(dir / "manifest.lock", job::Lock::Mode::exclusive, true);
  if (!lock)
    return std::unexpected(lock.error());
  auto stored = job::read_manifest(dir);
  if (!stored)
    return std::unexpected(stored.error());
  if (*stored) {
    if (!o.segment_frames)
      wanted->segment_frames = (*stored)->segment_frames;
    std::vector<std::string> diffs = job::manifest_differences(**stored, *wanted);
    if (!diffs.empty()) {
      std::string list;
      for (const std::string& d : diffs)
        list += (list.empty() ? "" : "; ") + d;
      return fail("the job folder " + dir.string() + " holds another job: " + list +
                  " (use another folder, or remove this one to start afresh)");
    }
    return **stored;
  }
  say("job " + dir.string() + ": counting the frames of " + c.input + "\n");
  auto frames = count_decoded(c, info);
  if (!frames)
    return std::unexpected(frames.error());
  if (*frames == 0)
    return fail("the decoder delivers no frames from " + c.input + ": nothing to upscale");
  wanted->frames = *frames;
  if (wanted->segment_frames == 0)
    wanted->segment_frames = 5 * video::key_interval(info.r_frame_rate);  // about 10 s
  if (auto st = job::write_manifest(dir, *wanted); !st)
    return std::unexpected(st.error());
  return *wanted;
}

// Which segments this run makes, and where the frames stand.
struct Work {
  std::vector<bool> todo;
  uint64_t done_frames = 0;  // of the whole job, finished before this run
  bool any() const { return std::find(todo.begin(), todo.end(), true) != todo.end(); }
};

Result<Work> plan_work(const fs::path& dir,
                       const job::Manifest& m,
                       const job::JobOptions& o,
                       std::optional<uint64_t> task) {
  Work w;
  w.todo.assign(m.segments(), false);
  for (uint64_t k = 0; k < m.segments(); ++k) {
    auto complete = job::segment_complete(dir, m, k);
    if (!complete)
      return std::unexpected(complete.error());
    if (*complete)
      w.done_frames += m.segment_length(k);
    else
      w.todo[k] = !task || k % *o.tasks == *task;
  }
  return w;
}

// Frames in decoder order, those of segments this run does not make read
// and dropped. A segment is claimed (its lock) at its first frame; one
// another process holds, or finished meanwhile, is passed over.
class SegmentSource : public FrameSource {
 public:
  SegmentSource(video::Decoder decoder, const fs::path& dir, const job::Manifest& m, Work& work)
      : decoder_(std::move(decoder)), dir_(dir), m_(m), work_(work) {}

  uint64_t next_index() const { return index_; }
  // Segments other processes make, or made, are read past; and the counted
  // frames are checked here.
  bool partial() const override { return true; }
  // Told each segment's number once it is claimed, before its first frame
  // is read.
  void on_claim(std::function<Status(uint64_t)> f) { on_claim_ = std::move(f); }
  // The claim on the segment being read, for whoever finishes it: it is
  // held until the segment is in place.
  std::optional<job::Lock> take_claim() { return std::exchange(claim_, std::nullopt); }

  Result<std::optional<std::span<const uint8_t>>> next_frame() override {
    for (;;) {
      uint64_t end = 0;
      for (uint64_t k = 0; k < work_.todo.size(); ++k) {
        if (work_.todo[k])
          end = m_.segment_start(k) + m_.segment_length(k);
      }
      if (index_ >= end)
        return std::nullopt;
      const uint64_t k = index_ / m_.segment_frames;
      if (work_.todo[k] && claimed_ != k) {
        if (auto st = claim(k); !st)
          return std::unexpected(st.error());
      }
      auto frame = decoder_.next_frame();
      if (!frame)
        return frame;
      if (!*frame)
        return fail(
            text::format("the decoder ended after %llu frames; the job folder counted %llu "
                         "(was the source changed?)",
                         ull(index_), ull(m_.frames)));
      ++index_;
      if (work_.todo[k])
        return frame;
    }
  }

 private:
  Status claim(uint64_t k) {
    claim_.reset();
    auto lock = job::Lock::take(dir_ / text::format("seg-%06llu.lock", ull(k)),
                                job::Lock::Mode::exclusive, false);
    if (!lock)
      return std::unexpected(lock.error());
    auto complete = job::segment_complete(dir_, m_, k);
    if (!complete)
      return std::unexpected(complete.error());
    if (!*lock || *complete) {
      work_.todo[k] = false;  // another process makes it, or made it
      return {};
    }
    claim_ = std::move(*lock);
    claimed_ = k;
    return on_claim_ ? on_claim_(k) : Status{};
  }

  video::Decoder decoder_;
  fs::path dir_;
  const job::Manifest& m_;
  Work& work_;
  uint64_t index_ = 0;
  std::optional<uint64_t> claimed_;
  std::optional<job::Lock> claim_;
  std::function<Status(uint64_t)> on_claim_;
};

// Segment k's encoder drained, its frames counted and its file renamed into
// place on a thread of its own, while the next segment's frames are already
// being made: the boundary costs the job no wait. Dropping it waits for the
// thread; the encoder has all its frames, and a stop kills every child, so
// that wait is short.
class SegmentCommit {
 public:
  SegmentCommit(const fs::path& dir,
                const job::Manifest& m,
                uint64_t k,
                video::Encoder encoder,
                staging::PendingFile file,
                std::optional<job::Lock> claim)
      : dir_(dir),
        m_(m),
        k_(k),
        encoder_(std::move(encoder)),
        file_(std::move(file)),
        claim_(std::move(claim)),
        thread_([this] { run(); }) {}
  SegmentCommit(const SegmentCommit&) = delete;
  SegmentCommit& operator=(const SegmentCommit&) = delete;
  ~SegmentCommit() { (void)wait(); }

  bool done() const { return done_.load(std::memory_order_acquire); }
  // The outcome, once the thread has ended.
  Status wait() {
    if (thread_.joinable())
      thread_.join();
    return result_;
  }

 private:
  void run() {
    Status st = std::move(encoder_).finish();
    if (st)
      st = job::commit_segment(dir_, m_, k_, file_);
    // Another process may take the segment only once it is in place (and so
    // passes over it) or given up.
    claim_.reset();
    result_ = std::move(st);
    done_.store(true, std::memory_order_release);
  }

  fs::path dir_;
  const job::Manifest& m_;
  uint64_t k_;
  video::Encoder encoder_;
  staging::PendingFile file_;
  std::optional<job::Lock> claim_;
  Status result_;
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: it starts once everything it uses is made
};

// Each segment's frames into a video-only file of its own, written under a
// temporary name and renamed into place once complete and counted; a
// segment left unfinished is removed with its encoder. A segment's encoder
// starts when the segment is claimed, so that ffmpeg starts up while the
// first frame is decoded and upscaled, and is finished in the background.
class SegmentSink : public FrameSink {
 public:
  SegmentSink(const PlannedInput& info,
              const fs::path& dir,
              const job::Manifest& m,
              SegmentSource& source)
      : info_(info), dir_(dir), m_(m), source_(source) {}
  // The encoder goes before its file; a commit under way is waited for.
  ~SegmentSink() override {
    encoder_.reset();
    file_.reset();
    commit_.reset();
  }

  Status begin(uint64_t k) {
    if (auto st = check_commit(); !st)
      return st;
    if (encoder_)
      return fail(
          text::format("segment %llu began before segment %llu was finished", ull(k), ull(k_)));
    auto file = staging::PendingFile::create(job::segment_path(dir_, k));
    if (!file)
      return std::unexpected(file.error());
    file_.emplace(std::move(*file));
    // The job's own encoder, video only, into the segment's file; the join
    // adds the source's streams once.
    video::EncoderSettings settings = info_.plan.encoder;
    settings.output = file_->path().string();
    settings.muxer = "mov";
    settings.audio = "none";
    settings.traits.audio_seconds.reset();
    settings.source_offset.reset();
    settings.subtitles.clear();
    auto encoder = video::Encoder::create(settings);
    if (!encoder)
      return std::unexpected(encoder.error());
    encoder_ = std::move(*encoder);
    k_ = k;
    written_ = 0;
    return {};
  }

  Status write_frame(std::span<const uint8_t> frame) override {
    // A segment that failed to finish fails the job now, not a segment later.
    if (auto st = check_commit(); !st)
      return st;
    if (!encoder_)
      return fail("a frame came before its segment was claimed");
    if (auto st = encoder_->write_frame(frame); !st)
      return st;
    if (++written_ < m_.segment_length(k_))
      return {};
    // One segment finishing at a time.
    if (auto st = wait_commit(); !st)
      return st;
    commit_ = std::make_unique<SegmentCommit>(dir_, m_, k_, std::move(*encoder_), std::move(*file_),
                                              source_.take_claim());
    encoder_.reset();
    file_.reset();
    return {};
  }

  Status finish() override {
    if (encoder_)
      return fail("a segment was left unfinished at the end of the frames");
    return wait_commit();
  }

 private:
  Status wait_commit() {
    if (!commit_)
      return {};
    Status st = commit_->wait();
    commit_.reset();
    return st;
  }
  Status check_commit() { return commit_ && commit_->done() ? wait_commit() : Status{}; }

  const PlannedInput& info_;
  fs::path dir_;
  const job::Manifest& m_;
  SegmentSource& source_;
  std::optional<staging::PendingFile> file_;
  std::optional<video::Encoder> encoder_;
  uint64_t k_ = 0;
  uint64_t written_ = 0;
  std::unique_ptr<SegmentCommit> commit_;
};

}  // namespace

Status run_segmented(const UpscaleConfig& c,
                     const job::JobOptions& o,
                     std::optional<uint64_t> task) {
  if (c.fgnet)
    return fail(
        "--job cannot split the job of a multi-input (fgnet) model: each of its frames depends "
        "on every frame before it");
  platform::keep_freed_memory();
  auto info = probe_input(c);
  if (!info)
    return std::unexpected(info.error());
  if (!task) {
    // A folder that cannot take the output is found before hours of work.
    if (auto probe_file = staging::PendingFile::create(c.output); !probe_file)
      return std::unexpected(probe_file.error());
  }
  const fs::path dir(o.dir);
  if (auto st = job::make_folder(dir); !st)
    return st;
  // Array tasks share the folder; a whole job or a join has it alone.
  auto lock = job::Lock::take(dir / "job.lock",
                              task ? job::Lock::Mode::shared : job::Lock::Mode::exclusive, false);
  if (!lock)
    return std::unexpected(lock.error());
  if (!*lock)
    return fail("the job folder " + dir.string() + " is in use by another lmr job");
  auto m = settle_manifest(dir, c, o, *info);
  if (!m)
    return std::unexpected(m.error());
  auto work = plan_work(dir, *m, o, task);
  if (!work)
    return std::unexpected(work.error());
  say(text::format("job %s: %llu frames in %llu segments of %llu, %llu frames already done\n",
                   dir.string().c_str(), ull(m->frames), ull(m->segments()), ull(m->segment_frames),
                   ull(work->done_frames)));

  if (work->any()) {
    auto upscaler = make_upscaler(Family::single_frame, c, *info);
    if (!upscaler)
      return std::unexpected(upscaler.error());
    // Loading a model cannot be interrupted: a stop asked meanwhile ends the
    // job here.
    if (auto st = cancel::check(); !st)
      return st;
    auto decoder = open_decoder(c, *info);
    if (!decoder)
      return std::unexpected(decoder.error());
    SegmentSource source(std::move(*decoder), dir, *m, *work);
    SegmentSink sink(*info, dir, *m, source);
    source.on_claim([&sink](uint64_t k) { return sink.begin(k); });
    if (auto st = run_frames(**upscaler, source, sink, UINT64_MAX, m->frames,
                             task ? dir.string() : c.output, work->done_frames);
        !st)
      return st;
  }
  if (task) {
    say(text::format("task %llu of %llu: its segments are done\n", ull(*task), ull(*o.tasks)));
    return {};
  }
  if (auto st = job::join(dir, *m); !st)
    return st;
  say(text::format("joined %llu segments into %s\n", ull(m->segments()), c.output.c_str()));
  return {};
}

}  // namespace lmr::pipeline
