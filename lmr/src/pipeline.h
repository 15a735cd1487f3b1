// Upscale pipelines: one job turns every frame of a video into a frame
// `scale` times larger through a model, with the source's audio, either with
// a single-frame model or with a multi-input (fgnet) model.
//
// Thread safety: both jobs may be called from any thread; a job owns its
// sessions, child processes and buffers until it returns. Everything a job
// prints goes to stderr.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "error.h"
#include "inference.h"
#include "job.h"

namespace lmr::pipeline {

// One upscale job, filled by the command line.
struct UpscaleConfig {
  std::optional<uint64_t> tile_w;
  std::optional<uint64_t> tile_h;
  std::optional<uint64_t> max_area;
  std::string model;
  std::string input;
  std::string output;
  std::string codec = "h264";
  std::optional<std::string> model_name;
  uint64_t scale = 2;
  uint64_t overlap = 16;
  uint64_t div = 1;
  uint64_t max_frames = UINT64_MAX;
  uint32_t quality = 80;
  bool fgnet = false;  // run_fgnet_upscale rather than run_upscale
  // Single-frame models: tiles whose model input is bit-identical to the
  // previous frame's at the same place are not run again (--no-reuse: off).
  bool reuse = true;
  inference::Ep ep = inference::Ep::coreml_all;
};

// The whole single-frame job: probe, grid, sessions, decode, infer, encode.
Status run_upscale(const UpscaleConfig& config);
// The whole multi-input job: each frame also sees the previous input and
// output.
Status run_fgnet_upscale(const UpscaleConfig& config);
// The single-frame job in segments inside a job folder, resuming whatever
// the folder holds: with `task` (of options.tasks) only that task's share
// of the segments, otherwise all of them, then the join into the output.
Status run_segmented(const UpscaleConfig& config,
                     const job::JobOptions& options,
                     std::optional<uint64_t> task);

}  // namespace lmr::pipeline
