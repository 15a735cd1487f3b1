#include "reuse.h"

#include <cstring>
#include <utility>

#include "text.h"

namespace lmr::reuse {

const tile::Buffer* TileCache::recall(uint64_t index, tile::Buffer input) {
  if (index >= entries_.size())
    entries_.resize(index + 1);
  Entry& e = entries_[index];
  ++counts_.tiles;
  // Bits, not values: -0 and 0, or two NaNs, may give different outputs.
  if (e.valid && e.input.size() == input.size() &&
      std::memcmp(e.input.data(), input.data(), input.size() * sizeof(float)) == 0) {
    ++counts_.reused;
    return &e.output;
  }
  e.input = std::move(input);
  e.valid = false;
  return nullptr;
}

void TileCache::keep(uint64_t index, tile::Buffer& output) {
  if (index >= entries_.size())
    return;
  Entry& e = entries_[index];
  // The old output goes back to the caller, which releases it.
  std::swap(e.output, output);
  e.valid = true;
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
  const double share =
      c.tiles == 0 ? 0.0 : 100.0 * static_cast<double>(c.reused) / static_cast<double>(c.tiles);
  return text::format(
      "reuse: %llu of %llu tiles (%.1f%%) unchanged and not run; %llu of %llu frames ran no "
      "model\n",
      static_cast<unsigned long long>(c.reused), static_cast<unsigned long long>(c.tiles), share,
      static_cast<unsigned long long>(c.still_frames), static_cast<unsigned long long>(c.frames));
}

}  // namespace lmr::reuse
