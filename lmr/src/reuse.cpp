#include "reuse.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "text.h"

namespace lmr::reuse {

namespace {

// The same bits: -0 and 0, or two NaNs, may give different outputs.
bool same_bits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// [lo, hi) grown by `by` on both sides, clipped to [0, extent).
std::pair<uint64_t, uint64_t> grown(uint64_t lo, uint64_t hi, uint64_t by, uint64_t extent) {
  return {lo > by ? lo - by : 0, std::min(hi + by, extent)};
}

}  // namespace

std::optional<Box> changed_box(const tile::Buffer& before,
                               const tile::Buffer& after,
                               uint64_t w,
                               uint64_t h) {
  const uint64_t plane = w * h;
  uint64_t x0 = w, x1 = 0, y0 = h, y1 = 0;
  for (uint64_t k = 0; k < 3; ++k) {
    for (uint64_t i = 0; i < h; ++i) {
      const float* a = before.data() + k * plane + i * w;
      const float* b = after.data() + k * plane + i * w;
      if (std::memcmp(a, b, w * sizeof(float)) == 0)
        continue;
      uint64_t first = 0;
      while (same_bits(a[first], b[first]))
        ++first;
      uint64_t last = w - 1;
      while (same_bits(a[last], b[last]))
        --last;
      x0 = std::min(x0, first);
      x1 = std::max(x1, last + 1);
      y0 = std::min(y0, i);
      y1 = std::max(y1, i + 1);
    }
  }
  if (x0 >= x1)
    return std::nullopt;
  return Box{x0, y0, x1 - x0, y1 - y0};
}

tile::Crop crop_for(const Box& changed, uint64_t w, uint64_t h, uint64_t r) {
  // The outputs the changed pixels reach, then the inputs those outputs read.
  const auto [ox0, ox1] = grown(changed.x, changed.x + changed.w, r, w);
  const auto [oy0, oy1] = grown(changed.y, changed.y + changed.h, r, h);
  const auto [cx0, cx1] = grown(ox0, ox1, r, w);
  const auto [cy0, cy1] = grown(oy0, oy1, r, h);
  return {cx0, cy0, cx1 - cx0, cy1 - cy0, ox0 - cx0, oy0 - cy0, ox1 - ox0, oy1 - oy0};
}

TileCache::Recalled TileCache::recall(uint64_t index, const tile::Tile& tile, tile::Buffer input) {
  if (index >= entries_.size())
    entries_.resize(index + 1);
  Entry& e = entries_[index];
  const uint64_t area = tile.w * tile.h;
  ++counts_.tiles;
  counts_.pixels += area;
  Recalled r;
  e.pending.reset();
  if (e.valid && e.w == tile.w && e.h == tile.h && e.input.size() == input.size()) {
    const std::optional<Box> changed = changed_box(e.input, input, tile.w, tile.h);
    if (!changed) {
      ++counts_.reused;
      r.output = &e.output;
      return r;
    }
    if (radius_) {
      const tile::Crop crop = crop_for(*changed, tile.w, tile.h, *radius_);
      if (static_cast<double>(crop.w * crop.h) <= kMaxCropShare * static_cast<double>(area)) {
        ++counts_.cropped;
        counts_.pixels_run += crop.w * crop.h;
        e.pending = crop;
        r.crop = crop;
      }
    }
  }
  if (!r.crop)
    counts_.pixels_run += area;
  e.input = std::move(input);
  e.w = tile.w;
  e.h = tile.h;
  // Until keep() brings the output, the kept one is not this input's.
  e.valid = false;
  return r;
}

const tile::Buffer& TileCache::keep(uint64_t index, tile::Buffer& output) {
  Entry& e = entries_.at(index);
  if (!e.pending) {
    // The old output goes back to the caller, which releases it.
    std::swap(e.output, output);
    e.valid = true;
    return e.output;
  }
  // The crop's exact part, row by row into the kept output of the tile.
  const tile::Crop& c = *e.pending;
  const uint64_t s = scale_;
  const uint64_t row = s * e.w, plane = row * s * e.h;
  const uint64_t crop_row = s * c.w, crop_plane = crop_row * s * c.h;
  for (uint64_t k = 0; k < 3; ++k) {
    for (uint64_t i = s * c.keep_y; i < s * (c.keep_y + c.keep_h); ++i) {
      const float* src = output.data() + k * crop_plane + i * crop_row + s * c.keep_x;
      float* dst = e.output.data() + k * plane + (s * c.y + i) * row + s * (c.x + c.keep_x);
      std::memcpy(dst, src, s * c.keep_w * sizeof(float));
    }
  }
  e.pending.reset();
  e.valid = true;
  return e.output;
}

void TileCache::frame_done(bool ran) {
  ++counts_.frames;
  if (!ran)
    ++counts_.still_frames;
}

uint64_t TileCache::bytes() const {
  uint64_t n = 0;
  for (const Entry& e : entries_)
    n += (e.input.capacity() + e.output.capacity()) * sizeof(float);
  return n;
}

std::string report_line(const Counts& c) {
  auto share = [](uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
  };
  using ull = unsigned long long;
  std::string line = text::format(
      "reuse: %llu of %llu tiles (%.1f%%) unchanged and not run; %llu of %llu frames ran no model",
      ull(c.reused), ull(c.tiles), share(c.reused, c.tiles), ull(c.still_frames), ull(c.frames));
  if (c.cropped > 0) {
    line += text::format("; %llu tiles run in part, %.1f%% of the model's input pixels not run",
                         ull(c.cropped), share(c.pixels - c.pixels_run, c.pixels));
  }
  return line + "\n";
}

}  // namespace lmr::reuse
