// The parts of the pipelines that tests reach: the job driver over a frame
// source, an upscaler and a frame sink, the two model families' per-frame
// work, the printed lines and the checks made before any child starts.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "inference.h"
#include "pipeline.h"
#include "tile.h"
#include "video.h"
#include "video_plan.h"

namespace lmr::pipeline {

// The model families; each is one upscaler, and each prints its own lines.
enum class Family : uint8_t { single_frame, multi_input };

// Where frames come from (the decoder) and where they go (the encoder).
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // The next frame's width x height x 3 bytes, nothing at the end, or the
  // error that ended the stream.
  virtual Result<std::optional<std::span<const uint8_t>>> next_frame() = 0;
  // True when it delivers only a share of the input (a segmented job's), so
  // an end before the announced count says nothing about the input.
  virtual bool partial() const { return false; }
};
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual Status write_frame(std::span<const uint8_t> frame) = 0;
  // Ends the stream; the only way to a complete file.
  virtual Status finish() = 0;
};

// One family's per-frame work over its sessions (the first one's figures are
// the ones reported).
class Upscaler {
 public:
  virtual ~Upscaler() = default;
  virtual Family family() const = 0;
  virtual const std::vector<inference::OnnxBackend>& sessions() const = 0;
  // The float frame scaled up, or the error that stops the job.
  virtual Result<std::vector<float>> upscale(const std::vector<float>& frame) = 0;
  // A line printed after the summary, or nothing.
  virtual std::string after_summary() const { return {}; }
  // The tiles that ran, for the summary: every session's runs, a tile run
  // in several parts counted once.
  virtual uint64_t tiles_ran() const {
    uint64_t n = 0;
    for (const inference::OnnxBackend& s : sessions())
      n += s.infer_tiles();
    return n;
  }
};

// Checks the job before the sessions load, prints the family's start line,
// loads the sessions.
Result<std::unique_ptr<Upscaler>> make_upscaler(Family family,
                                                const UpscaleConfig& config,
                                                const video::VideoInfo& info);
// The multi-input family's upscaler (tile 288 unless --tile says otherwise):
// the tile's memory checked, the start line printed, the session loaded.
Result<std::unique_ptr<Upscaler>> make_multi_input(const UpscaleConfig& c,
                                                   const video::VideoInfo& info);
// The frame loop: up to `max_frames` frames from `source` through `upscaler`
// into `sink`, a progress line after frame 1 and every tenth, then
// sink.finish() and the summary. `total` is the probed frame count (0:
// unknown). The first error ends the loop, without finish or summary.
// `already_done` frames of the job were finished before (a resumed job):
// the lines number frames within the whole job.
Status run_frames(Upscaler& upscaler,
                  FrameSource& source,
                  FrameSink& sink,
                  uint64_t max_frames,
                  uint64_t total,
                  const std::string& output,
                  uint64_t already_done = 0);

// The probe with the decisions taken from it before any model loads.
struct PlannedInput : video::VideoInfo {
  video::JobPlan plan;
};
// The checks made before any child process starts, then the probe and every
// decision it settles; the plan's notes are printed.
Result<PlannedInput> probe_input(const UpscaleConfig& c);
// The job's decoder: every frame of the input as the job reads it.
Result<video::Decoder> open_decoder(const UpscaleConfig& c, const PlannedInput& info);

// Refuses an output that is the input file itself (same path, another
// spelling, a link to it, either named with ffmpeg's "file:" prefix):
// ffmpeg's -y would truncate the source while it is being read.
Status check_output_is_not_input(const std::string& input, const std::string& output);
// Refuses frames without pixels, and outputs ffmpeg could not encode or the
// memory could not hold.
Status check_frame_size(uint64_t width, uint64_t height, uint64_t scale);

struct EsrganPlan {
  uint64_t tile_w = 0;  // the sessions' input size, even; may exceed an odd
  uint64_t tile_h = 0;  // frame side by one, which the tile input pads
  bool second_session = false;
};
// Tile size and session count for a catalogue model of tile size `tile`:
// the fewest tiles of at most `tile` per side, shrunk evenly so that with
// `overlap` they just cover the frame.
EsrganPlan esrgan_plan(std::string_view model_name,
                       uint64_t tile,
                       uint64_t width,
                       uint64_t height,
                       uint64_t scale,
                       inference::Ep ep,
                       uint64_t overlap);
// The even model input side for a requested tile side `tile` on an axis of
// `extent` pixels: a tile at least as long as the axis covers it in one
// piece, rounded up to even (the input repeats the frame's edge).
uint64_t even_tile(uint64_t tile, uint64_t extent);
// One frame through the tile runner, one worker per session, in order; with
// a memory, tiles whose model input is unchanged are not run. Runs of
// another size than `input` (the parts of tiles a memory asks for) go to
// `crops`, a session of free input size, when there is one.
Result<std::vector<float>> esrgan_process_frame_on(std::span<const float> frame,
                                                   uint64_t width,
                                                   uint64_t height,
                                                   const tile::TileGrid& grid,
                                                   std::vector<inference::OnnxBackend>& sessions,
                                                   tile::ModelInput input = {},
                                                   tile::TileMemory* memory = nullptr,
                                                   inference::OnnxBackend* crops = nullptr);

// One frame of a multi-input model with a square model input of `tile`
// pixels; returns the (s*W) x (s*H) float frame.
Result<std::vector<float>> fgnet_process_frame(std::span<const float> current,
                                               std::span<const float> prev_lr,
                                               std::span<const float> prev_hr,
                                               uint64_t width,
                                               uint64_t height,
                                               uint64_t scale,
                                               uint64_t tile,
                                               const tile::TileGrid& grid,
                                               inference::OnnxBackend& session);

// Progress figures after n frames, `elapsed` seconds into the loop.
struct Progress {
  double fps = 0.0;
  double ms_per_frame = 0.0;
  double eta_s = 0.0;
  std::string total_text;  // "/total", or empty when the total is unknown
};
Progress progress_figures(uint64_t n, uint64_t total, double elapsed);
// The line saying that the input ended well short of the `total` frames the
// probe announced, after `n`; nothing when it did not.
std::optional<std::string> short_input_line(uint64_t n, uint64_t total);

// The lines a job prints, by family.
std::string start_line(Family family,
                       uint64_t width,
                       uint64_t height,
                       const std::string& rate,
                       const tile::TileGrid& grid);
std::string progress_line(Family family, uint64_t n, const Progress& p, double ms_per_tile);
std::string summary(Family family,
                    uint64_t n,
                    double secs,
                    double ms_per_tile,
                    uint64_t tiles,
                    const std::string& output);

}  // namespace lmr::pipeline
