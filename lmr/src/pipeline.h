// Upscale pipelines: the per-job frame loops for single-frame models and for
// the multi-input (fgnet) family, and the pixel conversions they share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

// Byte frame to floats (v / 255), split across cores.
std::vector<float> rgb_to_f32(std::span<const uint8_t> bytes);
// Float frame to bytes (x * 255, rounded half away from zero, clamped).
std::vector<uint8_t> f32_to_rgb(std::span<const float> floats);
// Bilinear resize with half-pixel centres; overwrites all of `dst`.
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

EsrganPlan esrgan_plan(std::string_view model_name,
                       uint64_t tile,
                       uint64_t width,
                       uint64_t height,
                       uint64_t scale,
                       inference::Ep ep);
Result<std::vector<inference::OnnxBackend>> esrgan_backends(const std::string& model,
                                                            inference::Ep ep,
                                                            const EsrganPlan& plan);
Result<std::vector<float>> esrgan_process_frame_on(std::span<const float> frame,
                                                   uint64_t width,
                                                   uint64_t height,
                                                   const tile::TileGrid& grid,
                                                   std::vector<inference::OnnxBackend>& sessions);
Status run_upscale(const UpscaleConfig& config);

Result<std::vector<float>> fgnet_process_frame(std::span<const float> current,
                                               std::span<const float> prev_lr,
                                               std::span<const float> prev_hr,
                                               uint64_t width,
                                               uint64_t height,
                                               uint64_t scale,
                                               uint64_t tile,
                                               const tile::TileGrid& grid,
                                               inference::OnnxBackend& session);
Status run_fgnet_upscale(const UpscaleConfig& config);

}  // namespace lmr::pipeline
