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

Box united(const Box& a, const Box& b) {
  const uint64_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const uint64_t x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
  return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

std::vector<Box> changed_boxes(const tile::Buffer& before,
                               const tile::Buffer& after,
                               uint64_t w,
                               uint64_t h,
                               uint64_t cell,
                               uint64_t join) {
  struct Extent {
    uint64_t x0 = UINT64_MAX, y0 = UINT64_MAX, x1 = 0, y1 = 0;
  };
  const uint64_t plane = w * h, cols = (w + cell - 1) / cell, rows = (h + cell - 1) / cell;
  std::vector<Extent> cells(cols * rows);
  for (uint64_t i = 0; i < h; ++i) {
    Extent* row_cells = cells.data() + (i / cell) * cols;
    for (uint64_t k = 0; k < 3; ++k) {
      const float* a = before.data() + k * plane + i * w;
      const float* b = after.data() + k * plane + i * w;
      if (std::memcmp(a, b, w * sizeof(float)) == 0)
        continue;
      for (uint64_t j = 0; j < w; ++j) {
        if (same_bits(a[j], b[j]))
          continue;
        Extent& e = row_cells[j / cell];
        e.x0 = std::min(e.x0, j);
        e.x1 = std::max(e.x1, j + 1);
        e.y0 = std::min(e.y0, i);
        e.y1 = std::max(e.y1, i + 1);
      }
    }
  }
  std::vector<Box> boxes;
  for (const Extent& e : cells) {
    if (e.x1 > 0)
      boxes.push_back({e.x0, e.y0, e.x1 - e.x0, e.y1 - e.y0});
  }
  // Cells within `join` of each other, transitively, become one box. Most
  // of the tile changed: one box (the tile will run whole).
  const bool most = boxes.size() * 2 > cells.size();
  for (bool joined = !most; joined;) {
    joined = false;
    for (size_t i = 0; i < boxes.size() && !joined; ++i) {
      for (size_t j = i + 1; j < boxes.size() && !joined; ++j) {
        const Box& a = boxes[i];
        const Box& b = boxes[j];
        const uint64_t gap_x = std::max(a.x, b.x) > std::min(a.x + a.w, b.x + b.w)
                                   ? std::max(a.x, b.x) - std::min(a.x + a.w, b.x + b.w)
                                   : 0;
        const uint64_t gap_y = std::max(a.y, b.y) > std::min(a.y + a.h, b.y + b.h)
                                   ? std::max(a.y, b.y) - std::min(a.y + a.h, b.y + b.h)
                                   : 0;
        if (gap_x <= join && gap_y <= join) {
          boxes[i] = united(a, b);
          boxes.erase(boxes.begin() + static_cast<std::ptrdiff_t>(j));
          joined = true;
        }
      }
    }
  }
  if (most) {
    Box all = boxes.front();
    for (const Box& b : boxes)
      all = united(all, b);
    boxes = {all};
  }
  return boxes;
}

tile::Crop crop_for(const Box& changed, uint64_t w, uint64_t h, uint64_t r) {
  // The outputs the changed pixels reach, then the inputs those outputs read.
  const auto [ox0, ox1] = grown(changed.x, changed.x + changed.w, r, w);
  const auto [oy0, oy1] = grown(changed.y, changed.y + changed.h, r, h);
  const auto [cx0, cx1] = grown(ox0, ox1, r, w);
  const auto [cy0, cy1] = grown(oy0, oy1, r, h);
  return {cx0, cy0, cx1 - cx0, cy1 - cy0, ox0 - cx0, oy0 - cy0, ox1 - ox0, oy1 - oy0};
}

std::vector<tile::Crop> crops_for(std::vector<Box> changed, uint64_t w, uint64_t h, uint64_t r) {
  auto area = [&](const Box& b) {
    const tile::Crop c = crop_for(b, w, h, r);
    return c.w * c.h;
  };
  // Two crops become one where that runs fewer pixels, a run's own cost
  // counted as kRunPixels.
  for (bool joined = true; joined;) {
    joined = false;
    for (size_t i = 0; i < changed.size() && !joined; ++i) {
      for (size_t j = i + 1; j < changed.size() && !joined; ++j) {
        const Box both = united(changed[i], changed[j]);
        if (area(both) <= area(changed[i]) + area(changed[j]) + kRunPixels) {
          changed[i] = both;
          changed.erase(changed.begin() + static_cast<std::ptrdiff_t>(j));
          joined = true;
        }
      }
    }
  }
  std::sort(changed.begin(), changed.end(),
            [](const Box& a, const Box& b) { return std::pair(a.y, a.x) < std::pair(b.y, b.x); });
  std::vector<tile::Crop> crops;
  for (const Box& b : changed)
    crops.push_back(crop_for(b, w, h, r));
  return crops;
}

TileCache::Recalled TileCache::recall(uint64_t index, const tile::Tile& tile, tile::Buffer input) {
  if (index >= entries_.size())
    entries_.resize(index + 1);
  Entry& e = entries_[index];
  const uint64_t area = tile.w * tile.h;
  ++counts_.tiles;
  counts_.pixels += area;
  Recalled r;
  e.pending.clear();
  e.done = 0;
  if (e.valid && e.w == tile.w && e.h == tile.h && e.input.size() == input.size()) {
    if (std::memcmp(e.input.data(), input.data(), input.size() * sizeof(float)) == 0) {
      ++counts_.reused;
      r.output = &e.output;
      return r;
    }
    if (radius_) {
      std::vector<tile::Crop> crops =
          crops_for(changed_boxes(e.input, input, tile.w, tile.h, kCell, 2 * *radius_), tile.w,
                    tile.h, *radius_);
      uint64_t run = 0;
      for (const tile::Crop& c : crops)
        run += c.w * c.h;
      if (static_cast<double>(run) <= kMaxCropShare * static_cast<double>(area)) {
        ++counts_.cropped;
        counts_.crop_runs += crops.size();
        counts_.pixels_run += run;
        e.pending = std::move(crops);
        r.crops = e.pending;
      }
    }
  }
  if (r.crops.empty())
    counts_.pixels_run += area;
  e.input = std::move(input);
  e.w = tile.w;
  e.h = tile.h;
  // Until keep() brings the output, the kept one is not this input's.
  e.valid = false;
  return r;
}

const tile::Buffer* TileCache::keep(uint64_t index, tile::Buffer& output) {
  Entry& e = entries_.at(index);
  if (e.pending.empty()) {
    // The old output goes back to the caller, which releases it.
    std::swap(e.output, output);
    e.valid = true;
    return &e.output;
  }
  // The crop's exact part, row by row into the kept output of the tile.
  const tile::Crop& c = e.pending.at(e.done);
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
  if (++e.done < e.pending.size())
    return nullptr;
  e.pending.clear();
  e.valid = true;
  return &e.output;
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
