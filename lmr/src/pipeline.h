// Upscale pipelines: the per-job frame loops for single-frame models and for
// the multi-input (fgnet) family, and the pixel conversions they share.
//
// Thread safety: every function may be called from any thread; a job owns
// its sessions, child processes and buffers until it returns. Everything a
// job prints goes to stderr.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "inference.h"
#include "tile.h"

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
  bool fgnet = false;
  inference::Ep ep = 0;
};

// Byte frame to floats (v / 255 as a true division), one thread per chunk.
std::vector<float> rgb_to_f32(std::span<const uint8_t> bytes);
// Float frame to bytes (x * 255, rounded half away from zero, clamped to
// 0..255, NaN to 0), one thread per chunk.
std::vector<uint8_t> f32_to_rgb(std::span<const float> floats);
// The [begin, end) ranges the two conversions give one thread each for n
// values: consecutive chunks of tile::chunk_len(n); none for n = 0.
std::vector<std::pair<uint64_t, uint64_t>> conversion_chunks(uint64_t n);

// Bilinear resize of interleaved RGB floats with half-pixel centres;
// overwrites all of `dst` (nothing when dst_w or dst_h is 0). Buffers too
// short for their sizes stop the program.
void bilinear_resize_hwc(std::span<const float> src,
                         uint64_t src_w,
                         uint64_t src_h,
                         std::span<float> dst,
                         uint64_t dst_w,
                         uint64_t dst_h);

struct EsrganPlan {
  uint64_t tile_w = 0;
  uint64_t tile_h = 0;
  bool second_session = false;
};

// Tile size and session count for a catalogue model of tile size `tile`.
EsrganPlan esrgan_plan(std::string_view model_name,
                       uint64_t tile,
                       uint64_t width,
                       uint64_t height,
                       uint64_t scale,
                       inference::Ep ep);
// One session on `ep` (plus one on ep 1 when the plan asks), both with the
// plan's tile size fixed; the first load error otherwise.
Result<std::vector<inference::OnnxBackend>> esrgan_backends(const std::string& model,
                                                            inference::Ep ep,
                                                            const EsrganPlan& plan);
// One frame through the tile runner, one worker per session, in order.
Result<std::vector<float>> esrgan_process_frame_on(std::span<const float> frame,
                                                   uint64_t width,
                                                   uint64_t height,
                                                   const tile::TileGrid& grid,
                                                   std::vector<inference::OnnxBackend>& sessions);
// The whole single-frame job: probe, grid, sessions, decode, infer, encode.
Status run_upscale(const UpscaleConfig& config);

// The T x T x C interleaved model input of one tile (T = `tile`, C = 6 +
// 3 * scale^2): current frame, previous input, and the space-to-depth of the
// previous output; positions past the tile or the frame repeat its edge.
std::vector<float> fgnet_tile_input(const tile::Tile& t,
                                    std::span<const float> current,
                                    std::span<const float> prev_lr,
                                    std::span<const float> prev_hr,
                                    uint64_t width,
                                    uint64_t height,
                                    uint64_t scale,
                                    uint64_t tile);
// One frame of a multi-input model; returns the (s*W) x (s*H) float frame.
Result<std::vector<float>> fgnet_process_frame(std::span<const float> current,
                                               std::span<const float> prev_lr,
                                               std::span<const float> prev_hr,
                                               uint64_t width,
                                               uint64_t height,
                                               uint64_t scale,
                                               uint64_t tile,
                                               const tile::TileGrid& grid,
                                               inference::OnnxBackend& session);
// The whole multi-input job.
Status run_fgnet_upscale(const UpscaleConfig& config);

// Refuses an output that is the input file itself (same path, another
// spelling, a link to it, either named with ffmpeg's "file:" prefix):
// ffmpeg's -y would truncate the source while it is being read.
Status check_output_is_not_input(const std::string& input, const std::string& output);

// Progress figures after n frames, `elapsed` seconds into the loop.
struct Progress {
  double fps = 0.0;
  double ms_per_frame = 0.0;
  double eta_s = 0.0;
  std::string total_text;  // "/total", or empty when the total is unknown
};
Progress progress_figures(uint64_t n, uint64_t total, double elapsed);

// The lines both jobs print (templates fixed; see the .cpp).
std::string esrgan_start_line(uint64_t width,
                              uint64_t height,
                              const std::string& rate,
                              const tile::TileGrid& grid);
std::string esrgan_progress_line(uint64_t n, const Progress& p, double ms_per_tile);
std::string esrgan_summary(uint64_t n,
                           double secs,
                           double ms_per_tile,
                           uint64_t tiles_total,
                           const std::string& output);
std::string fgnet_start_line(uint64_t width, uint64_t height, const tile::TileGrid& grid);
std::string fgnet_progress_line(uint64_t n, const Progress& p, double ms_per_tile);
std::string fgnet_summary(uint64_t n,
                          double secs,
                          double ms_per_tile,
                          uint64_t tiles,
                          const std::string& output);

}  // namespace lmr::pipeline
