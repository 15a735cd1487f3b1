// Reuse of unchanged tiles between the frames of one single-frame job: each
// tile's last model input and output, kept by tile index, and how much work
// that saved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tile.h"

namespace lmr::reuse {

// What a job's frames ran and reused, for the line after its summary.
struct Counts {
  uint64_t tiles = 0;         // tiles asked for
  uint64_t reused = 0;        // tiles not run: their input was unchanged
  uint64_t frames = 0;        // frames processed
  uint64_t still_frames = 0;  // frames that ran no tile at all
};

// The last input and output of every tile of the job's grid. Holds about one
// frame of model inputs and one of model outputs (as floats): at 1920x1080
// and 2x about 26 + 105 MB, at 4x 26 + 420 MB, times the grid's overlap.
class TileCache : public tile::TileMemory {
 public:
  const tile::Buffer* recall(uint64_t index, tile::Buffer input) override;
  void keep(uint64_t index, tile::Buffer& output) override;

  // Counts a frame after it was processed; `ran` tells whether any tile ran.
  void frame_done(bool ran);
  const Counts& counts() const { return counts_; }
  // Bytes held for reuse now.
  uint64_t bytes() const;

 private:
  struct Entry {
    tile::Buffer input;
    tile::Buffer output;
    bool valid = false;  // output came from input
  };
  std::vector<Entry> entries_;
  Counts counts_;
};

// "reuse: 712 of 1200 tiles (59.3%) unchanged and not run; 31 of 100 frames
// ran no model\n"
std::string report_line(const Counts& counts);

}  // namespace lmr::reuse
