// Pixel conversion and resizing of interleaved RGB frames (rows top to
// bottom, three values per pixel), shared by both upscale pipelines.
//
// Thread safety: every function may be called from any thread; the
// conversions join their worker threads before returning.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace lmr::convert {

// Byte frame to floats (v / 255 as a true division), one thread per chunk
// of tile::chunk_len(n) values.
std::vector<float> rgb_to_f32(std::span<const uint8_t> bytes);
// Float frame to bytes (x * 255, rounded half away from zero, clamped to
// 0..255, NaN to 0), one thread per chunk.
std::vector<uint8_t> f32_to_rgb(std::span<const float> floats);

// Bilinear resize of interleaved RGB floats with half-pixel centres;
// overwrites all of `dst` (nothing when dst_w or dst_h is 0). Buffers too
// short for their sizes stop the program.
void bilinear_resize_hwc(std::span<const float> src,
                         uint64_t src_w,
                         uint64_t src_h,
                         std::span<float> dst,
                         uint64_t dst_w,
                         uint64_t dst_h);

}  // namespace lmr::convert
