#include "pipeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "cancel.h"
#include "convert.h"
#include "pipeline_internal.h"
#include "platform.h"
#include "reuse.h"
#include "staging.h"
#include "text.h"
#include "video_encoder.h"
#include "video_plan.h"

namespace lmr::pipeline {

namespace fs = std::filesystem;
using inference::OnnxBackend;
using tile::Tile;
using tile::TileGrid;

namespace {
void say(const std::string& line) {
  text::write_stderr(line);
}

using ull = unsigned long long;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct OpenVideo {
  video::Decoder decoder;
  video::Encoder encoder;
};

// Decoder at the input's size, encoder at the upscaled size, both as
// planned, the encoder writing to `written` (the output's temporary file;
// the container still comes from the output's name).
Result<OpenVideo> open_video(const UpscaleConfig& c,
                             const PlannedInput& info,
                             const std::string& written) {
  auto decoder = open_decoder(c, info);
  if (!decoder)
    return std::unexpected(decoder.error());
  video::EncoderSettings settings = info.plan.encoder;
  settings.output = written;
  auto encoder = video::Encoder::create(settings);
  if (!encoder)
    return std::unexpected(encoder.error());
  return OpenVideo{std::move(*decoder), std::move(*encoder)};
}

class DecoderSource : public FrameSource {
 public:
  explicit DecoderSource(video::Decoder& decoder) : decoder_(decoder) {}
  Result<std::optional<std::span<const uint8_t>>> next_frame() override {
    return decoder_.next_frame();
  }

 private:
  video::Decoder& decoder_;
};

// The encoder's file becomes the output only once ffmpeg has finished it.
class EncoderSink : public FrameSink {
 public:
  EncoderSink(video::Encoder& encoder, staging::PendingFile& file)
      : encoder_(encoder), file_(file) {}
  Status write_frame(std::span<const uint8_t> frame) override {
    return encoder_.write_frame(frame);
  }
  Status finish() override {
    if (auto st = std::move(encoder_).finish(); !st)
      return st;
    return file_.commit();
  }

 private:
  video::Encoder& encoder_;
  staging::PendingFile& file_;
};

// Reuse runs the changed parts of a tile alone where the model is local, on
// a session of free input size beside the tiles' own: the CPU provider's.
// The accelerated provider's sessions need fixed shapes: whole tiles only.
bool crops_possible(const UpscaleConfig& c) {
  return c.reuse && c.ep == inference::Ep::cpu;
}

// One session on `ep` (plus one on the Neural Engine when the plan asks),
// both with the plan's tile size fixed; the first load error otherwise.
Result<std::vector<OnnxBackend>> esrgan_backends(const std::string& model,
                                                 inference::Ep ep,
                                                 const EsrganPlan& plan) {
  const std::vector<inference::DimOverride> overrides{{"h", static_cast<int64_t>(plan.tile_h)},
                                                      {"w", static_cast<int64_t>(plan.tile_w)}};
  std::vector<OnnxBackend> sessions;
  auto first = OnnxBackend::load(model, ep, overrides);
  if (!first)
    return std::unexpected(first.error());
  sessions.push_back(std::move(*first));
  if (plan.second_session) {
    // The second session runs on the Neural Engine beside the first.
    auto second = OnnxBackend::load(model, inference::Ep::coreml_cpu_and_neural_engine, overrides);
    if (!second)
      return std::unexpected(second.error());
    sessions.push_back(std::move(*second));
  }
  return sessions;
}

// Single-frame models: planar tiles, one worker per session; with reuse,
// tiles whose model input did not change since the last frame are not run.
class SingleFrame : public Upscaler {
 public:
  // `crops`: a session of free input size for the parts of tiles, when the
  // model is local (the first session's own if its size is free).
  SingleFrame(TileGrid grid,
              tile::ModelInput input,
              std::vector<OnnxBackend> sessions,
              bool reuse,
              std::optional<OnnxBackend> crops)
      : grid_(grid), input_(input), sessions_(std::move(sessions)), crops_(std::move(crops)) {
    if (reuse) {
      const OnnxBackend& first = sessions_.front();
      const bool free = crops_ || first.free_size();
      cache_.emplace(free ? first.receptive_radius() : std::nullopt, grid.scale);
    }
  }
  Family family() const override { return Family::single_frame; }
  const std::vector<OnnxBackend>& sessions() const override { return sessions_; }
  Result<std::vector<float>> upscale(const std::vector<float>& frame) override {
    const uint64_t before = ran();
    auto out = esrgan_process_frame_on(frame, grid_.width, grid_.height, grid_, sessions_, input_,
                                       cache_ ? &*cache_ : nullptr, crops_ ? &*crops_ : nullptr);
    if (out && cache_)
      cache_->frame_done(ran() != before);
    return out;
  }
  uint64_t tiles_ran() const override {
    const reuse::Counts none;
    const reuse::Counts& c = cache_ ? cache_->counts() : none;
    return ran() - c.crop_runs + c.cropped;
  }
  std::string after_summary() const override {
    return cache_ ? reuse::report_line(cache_->counts()) : std::string();
  }

 private:
  uint64_t ran() const {
    uint64_t n = 0;
    for (const OnnxBackend& s : sessions_)
      n += s.infer_tiles();
    return n + (crops_ ? crops_->infer_tiles() : 0);
  }

  TileGrid grid_;
  tile::ModelInput input_;
  std::vector<OnnxBackend> sessions_;
  std::optional<OnnxBackend> crops_;
  std::optional<reuse::TileCache> cache_;
};

Result<std::unique_ptr<Upscaler>> make_single_frame(const UpscaleConfig& c,
                                                    const video::VideoInfo& info) {
  const uint64_t w = info.width, h = info.height;
  std::optional<EsrganPlan> plan;
  TileGrid grid;
  // The sessions' fixed input size, where a tile may be smaller.
  tile::ModelInput input;
  if (c.model_name && c.tile_w) {
    plan = esrgan_plan(*c.model_name, *c.tile_w, w, h, c.scale, c.ep, c.overlap);
    input = {plan->tile_w, plan->tile_h};
    grid = TileGrid::from_tile_size(w, h, input.w, input.h, c.overlap, c.scale);
  } else if (c.tile_w && c.tile_h) {
    input = {even_tile(*c.tile_w, w), even_tile(*c.tile_h, h)};
    grid = TileGrid::from_tile_size(w, h, input.w, input.h, c.overlap, c.scale);
  } else if (c.max_area) {
    grid = TileGrid::create(w, h, c.scale, *c.max_area, c.overlap, c.div);
    // Sides rounded up to --div beyond the frame stay that size, padded.
    input = {grid.tile_w, grid.tile_h};
  } else {
    grid = TileGrid::whole(w, h, c.scale);
  }
  if (auto st = tile::check_grid(grid, c.overlap); !st)
    return std::unexpected(st.error());
  say(start_line(Family::single_frame, w, h, info.r_frame_rate, grid));

  std::vector<OnnxBackend> sessions;
  if (plan) {
    auto loaded = esrgan_backends(c.model, c.ep, *plan);
    if (!loaded)
      return std::unexpected(loaded.error());
    sessions = std::move(*loaded);
  } else {
    // With a pixel budget the model keeps its own input size.
    std::vector<inference::DimOverride> overrides;
    if (!c.max_area) {
      overrides = {{"h", static_cast<int64_t>(std::max(grid.tile_h, input.h))},
                   {"w", static_cast<int64_t>(std::max(grid.tile_w, input.w))}};
    }
    auto loaded = OnnxBackend::load(c.model, c.ep, overrides);
    if (!loaded)
      return std::unexpected(loaded.error());
    sessions.push_back(std::move(*loaded));
  }
  // The parts of tiles run on a session of their own, of free input size,
  // where the tiles' session has a fixed one.
  std::optional<OnnxBackend> crops;
  const OnnxBackend& first = sessions.front();
  if (crops_possible(c) && first.receptive_radius() && !first.free_size()) {
    auto loaded = OnnxBackend::load(c.model, c.ep, {}, false);
    if (!loaded)
      return std::unexpected(loaded.error());
    crops.emplace(std::move(*loaded));
  }
  return std::make_unique<SingleFrame>(grid, input, std::move(sessions), c.reuse, std::move(crops));
}

// The job both families share: checks and probe, the upscaler, the video.
Status run_job(Family family, const UpscaleConfig& c) {
  // Every frame allocates and frees the same large buffers: keep them for
  // reuse. Set before the probe's and the runtime's threads first allocate,
  // so that they share the one heap too.
  platform::keep_freed_memory();
  auto info = probe_input(c);
  if (!info)
    return std::unexpected(info.error());
  // Whatever the output path holds stays there until the job is complete;
  // a folder that cannot take the output is found before the model loads.
  auto file = staging::PendingFile::create(c.output);
  if (!file)
    return std::unexpected(file.error());
  auto upscaler = make_upscaler(family, c, *info);
  if (!upscaler)
    return std::unexpected(upscaler.error());
  // Loading a model cannot be interrupted: a stop asked meanwhile ends the
  // job here.
  if (auto st = cancel::check(); !st)
    return st;
  // Declared after the sessions, so that on every early return the encoder
  // child goes first, then the decoder, then the sessions.
  auto io = open_video(c, *info, file->path().string());
  if (!io)
    return std::unexpected(io.error());
  DecoderSource source(io->decoder);
  EncoderSink sink(io->encoder, *file);
  return run_frames(**upscaler, source, sink, c.max_frames, info->frames, c.output);
}

}  // namespace

// Checks that come before any child process starts, then the probe and
// every decision it settles; the plan's notes are printed.
Result<PlannedInput> probe_input(const UpscaleConfig& c) {
  if (auto st = check_output_is_not_input(c.input, c.output); !st)
    return std::unexpected(st.error());
  auto info = video::probe(c.input);
  if (!info)
    return std::unexpected(info.error());
  if (auto st = video::check_colours(*info); !st)
    return std::unexpected(st.error());
  if (auto st = check_frame_size(info->width, info->height, c.scale); !st)
    return std::unexpected(st.error());
  auto streams = video::probe_streams(c.input);
  if (!streams)
    return std::unexpected(streams.error());
  const video::JobRequest request{c.input, c.output, c.codec, c.scale, c.max_frames, c.quality};
  auto plan = video::plan_job(*info, *streams, request);
  if (!plan)
    return std::unexpected(plan.error());
  for (const std::string& note : plan->notes)
    say(note + "\n");
  PlannedInput planned{*info, std::move(*plan)};
  // The start line shows the rate the frames are stamped with.
  planned.r_frame_rate = planned.plan.timing.rate;
  return planned;
}

Result<video::Decoder> open_decoder(const UpscaleConfig& c, const PlannedInput& info) {
  return video::Decoder::create(c.input, info.width, info.height, std::nullopt, info.plan.filters,
                                info.plan.timing);
}

Status run_upscale(const UpscaleConfig& config) {
  return run_job(Family::single_frame, config);
}

Status run_fgnet_upscale(const UpscaleConfig& config) {
  return run_job(Family::multi_input, config);
}

Result<std::unique_ptr<Upscaler>> make_upscaler(Family family,
                                                const UpscaleConfig& config,
                                                const video::VideoInfo& info) {
  return family == Family::single_frame ? make_single_frame(config, info)
                                        : make_multi_input(config, info);
}

Status run_frames(Upscaler& upscaler,
                  FrameSource& source,
                  FrameSink& sink,
                  uint64_t max_frames,
                  uint64_t total,
                  const std::string& output,
                  uint64_t already_done) {
  const std::vector<OnnxBackend>& sessions = upscaler.sessions();
  auto ms_per_tile = [&] {
    const OnnxBackend& first = sessions.front();
    return first.infer_tiles() == 0 ? 0.0
                                    : first.infer_ms() / static_cast<double>(first.infer_tiles());
  };
  const Clock::time_point start = Clock::now();
  uint64_t n = 0;
  while (n < max_frames) {
    if (auto st = cancel::check(); !st)
      return st;
    auto frame = source.next_frame();
    if (!frame)
      return std::unexpected(frame.error());
    if (!*frame) {
      if (auto line = short_input_line(n, total); line && !source.partial())
        say(*line);
      break;
    }
    Result<std::vector<float>> out = upscaler.upscale(convert::rgb_to_f32(**frame));
    if (!out)
      return std::unexpected(out.error());
    if (auto st = sink.write_frame(convert::f32_to_rgb(*out)); !st)
      return st;
    ++n;
    // Numbered within the whole job; speed and ETA from this run's frames.
    const uint64_t shown = already_done + n;
    if (n == 1 || shown % 10 == 0) {
      Progress p = progress_figures(n, total > already_done ? total - already_done : 0,
                                    seconds_since(start));
      if (total > 0)
        p.total_text = "/" + std::to_string(total);
      say(progress_line(upscaler.family(), shown, p, ms_per_tile()));
    }
  }
  if (auto st = sink.finish(); !st)
    return st;
  const double secs = seconds_since(start);
  say(summary(upscaler.family(), n, secs, ms_per_tile(), upscaler.tiles_ran(), output));
  say(upscaler.after_summary());
  return {};
}

// A zero-sized frame would make the decoder deliver empty frames forever,
// and sizes whose byte count overflows cannot be allocated. ffmpeg refuses
// pictures where (w + 128) x (h + 128) reaches 2^28: an output that large
// could never be encoded, and its buffers (16 bytes a pixel) would be asked
// of the memory first, where an allocation may succeed and then thrash.
Status check_frame_size(uint64_t w, uint64_t h, uint64_t scale) {
  if (w == 0 || h == 0)
    return fail(text::format("input frame size %llux%llu has no pixels", ull(w), ull(h)));
  constexpr uint64_t kFfmpegPictureLimit = uint64_t{1} << 28;
  uint64_t ow = 0, oh = 0, px = 0, bytes = 0, padded = 0;
  if (__builtin_mul_overflow(w, scale, &ow) || __builtin_mul_overflow(h, scale, &oh) ||
      __builtin_mul_overflow(ow, oh, &px) || __builtin_mul_overflow(px, uint64_t{12}, &bytes) ||
      __builtin_mul_overflow(ow + 128, oh + 128, &padded) || padded >= kFfmpegPictureLimit) {
    return fail(text::format("output frame size %llux%llu at %llux is too large", ull(w), ull(h),
                             ull(scale)));
  }
  return {};
}

uint64_t even_tile(uint64_t tile, uint64_t extent) {
  if (tile >= extent)
    return std::max<uint64_t>(extent + extent % 2, 2);
  return std::max<uint64_t>(tile & ~uint64_t{1}, 2);
}

namespace {

// The even side of the fewest tiles of at most `tile` that cover `extent`
// with `overlap`, shrunk so that the last one ends at the frame's edge
// rather than overlapping its neighbour by most of a tile.
uint64_t balanced_side(uint64_t tile, uint64_t extent, uint64_t overlap) {
  const uint64_t side = even_tile(tile, extent);
  if (side >= extent)
    return side;
  const uint64_t stride = std::max<uint64_t>(side > overlap ? side - overlap : 0, 1);
  const uint64_t count = (extent - side + stride - 1) / stride + 1;
  const uint64_t spread = (extent + (count - 1) * overlap + count - 1) / count;
  return std::min(side, spread + spread % 2);
}

}  // namespace

EsrganPlan esrgan_plan(std::string_view model_name,
                       uint64_t tile,
                       uint64_t width,
                       uint64_t height,
                       uint64_t scale,
                       inference::Ep ep,
                       uint64_t overlap) {
  uint64_t t = tile;
  // Fast exports take a whole frame of up to 4K output as one tile.
  if ((model_name == "tessel-fast" || model_name == "nettra") && width % 2 == 0 &&
      height % 2 == 0 && width * height * scale * scale <= 8'294'400) {
    t = std::max(width, height);
  }
  EsrganPlan plan;
  plan.tile_w = balanced_side(t, width, overlap);
  plan.tile_h = balanced_side(t, height, overlap);
  plan.second_session =
      ep == inference::Ep::coreml_all && (model_name == "tessel" || model_name == "sorvan");
  return plan;
}

Result<std::vector<float>> esrgan_process_frame_on(std::span<const float> frame,
                                                   uint64_t width,
                                                   uint64_t height,
                                                   const TileGrid& grid,
                                                   std::vector<OnnxBackend>& sessions,
                                                   tile::ModelInput input,
                                                   tile::TileMemory* memory,
                                                   OnnxBackend* crops) {
  // A whole tile's model input: the tile, padded to the model's size.
  const uint64_t whole_w = std::max(grid.tile_w, input.w), whole_h = std::max(grid.tile_h, input.h);
  // One worker owns the crops' session: only beside a single session.
  if (sessions.size() != 1)
    crops = nullptr;
  std::vector<tile::InferOp> ops;
  ops.reserve(sessions.size());
  for (OnnxBackend& session : sessions) {
    ops.emplace_back([&session, crops, whole_w, whole_h](const Tile& t, const tile::Buffer& in) {
      OnnxBackend& s = crops && (t.w != whole_w || t.h != whole_h) ? *crops : session;
      return s.infer_tile(in, t.w, t.h);
    });
  }
  return tile::process_tiled_on(frame, width, height, grid, std::move(ops), input, memory);
}

Status check_output_is_not_input(const std::string& input_arg, const std::string& output_arg) {
  // ffmpeg opens "file:<path>" as <path>: compare the files it will open.
  auto opened = [](const std::string& p) { return p.starts_with("file:") ? p.substr(5) : p; };
  const std::string input = opened(input_arg), output = opened(output_arg);
  bool same = false;
  struct stat in_st {};
  struct stat out_st {};
  if (::stat(input.c_str(), &in_st) == 0 && ::stat(output.c_str(), &out_st) == 0)
    same = in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino;
  if (!same) {
    // Also when the files cannot be examined: the same path spelled twice.
    auto normal = [](const std::string& p) {
      std::error_code ec;
      fs::path abs = fs::absolute(p, ec);
      if (ec)
        abs = p;
      fs::path canon = fs::weakly_canonical(abs, ec);
      return (ec ? abs : canon).lexically_normal();
    };
    same = normal(input) == normal(output);
  }
  if (same) {
    return fail("the output " + output_arg +
                " is the input file itself; writing it would destroy the input (choose another "
                "output path)");
  }
  return {};
}

std::optional<std::string> short_input_line(uint64_t n, uint64_t total) {
  // A probed count is exact or estimated from the duration; a few frames'
  // difference is the estimate's, not a damaged file's.
  const uint64_t slack = std::max<uint64_t>(2, total / 20);
  if (total <= slack || n >= total - slack)
    return std::nullopt;
  return text::format(
      "warning: the input ended after %llu of the %llu frames it announces; it may be truncated\n",
      ull(n), ull(total));
}

Progress progress_figures(uint64_t n, uint64_t total, double elapsed) {
  Progress p;
  p.fps = static_cast<double>(n) / elapsed;
  p.ms_per_frame = elapsed * 1000.0 / static_cast<double>(n);
  if (total > 0) {
    const uint64_t left = n > total ? 0 : total - n;
    p.eta_s = static_cast<double>(left) / p.fps;
    p.total_text = "/" + std::to_string(total);
  }
  return p;
}

std::string start_line(Family family,
                       uint64_t width,
                       uint64_t height,
                       const std::string& rate,
                       const TileGrid& grid) {
  const uint64_t s = grid.scale;
  if (family == Family::multi_input) {
    return text::format("fgnet: %llux%llu → %llux%llu (%llux), tile %llux%llu, %llu tiles\n",
                        ull(width), ull(height), ull(width * s), ull(height * s), ull(s),
                        ull(grid.tile_w), ull(grid.tile_h), ull(grid.cols * grid.rows));
  }
  return text::format(
      "input %llux%llu @ %s → %llux%llu (%llux), tiles: %llux%llu = %llu (%llu cols × %llu rows, "
      "overlap %.0fx%.0f)\n",
      ull(width), ull(height), rate.c_str(), ull(width * s), ull(height * s), ull(s),
      ull(grid.tile_w), ull(grid.tile_h), ull(grid.cols * grid.rows), ull(grid.cols),
      ull(grid.rows), double(grid.step_x), double(grid.step_y));
}

std::string progress_line(Family family, uint64_t n, const Progress& p, double ms_per_tile) {
  if (family == Family::multi_input) {
    return text::format("frame %llu%s: %.1f fps, infer %.0f ms/tile, ETA %.0fs\n", ull(n),
                        p.total_text.c_str(), p.fps, ms_per_tile, p.eta_s);
  }
  return text::format("frame %llu%s: %.1f fps, %.0f ms/frame, infer %.0f ms/tile avg, ETA %.0fs\n",
                      ull(n), p.total_text.c_str(), p.fps, p.ms_per_frame, ms_per_tile, p.eta_s);
}

std::string summary(Family family,
                    uint64_t n,
                    double secs,
                    double ms_per_tile,
                    uint64_t tiles,
                    const std::string& output) {
  const char* inference = family == Family::multi_input
                              ? "inference: %.1f ms/tile avg (%llu tiles)\n"
                              : "inference: %.1f ms/tile avg on the first session (%llu tiles "
                                "total)\n";
  return text::format("\ndone: %llu frames in %.1fs = %.2f fps\n", ull(n), secs,
                      static_cast<double>(n) / secs) +
         text::format(inference, ms_per_tile, ull(tiles)) +
         text::format("output: %s\n\n", output.c_str());
}

}  // namespace lmr::pipeline
