// Reuse of unchanged tiles between the frames of one single-frame job: each
// tile's last model input and output, kept by tile index, and how much work
// that saved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tile.h"

namespace lmr::reuse {

// What a job's frames ran and reused, for the line after its summary.
struct Counts {
  uint64_t tiles = 0;         // tiles asked for
  uint64_t reused = 0;        // tiles not run: their input was unchanged
  uint64_t cropped = 0;       // tiles of which only changed parts ran
  uint64_t crop_runs = 0;     // the model runs of those parts
  uint64_t frames = 0;        // frames processed
  uint64_t still_frames = 0;  // frames that ran no tile at all
  uint64_t pixels = 0;        // model input pixels asked for
  uint64_t pixels_run = 0;    // model input pixels run
};

// The last input and output of every tile of the job's grid. Holds about one
// frame of model inputs and one of model outputs (as floats): at 1920x1080
// and 2x about 26 + 105 MB, at 4x 26 + 420 MB, times the grid's overlap.
//
// With a model's receptive radius R (every output pixel computed from the
// input pixels at most R away, the same way at any place: a model known to
// be local), a tile whose input changed only in parts runs crops of it: each
// group of changed pixels' bounding box grown by R (the outputs that can
// change) and by R again (the inputs those need), clipped to the tile, where
// the model pads as it does for the whole tile. Only the outputs at least R
// from every crop edge inside the tile are used, so the result is the whole
// tile's, bit for bit, as long as the runtime computes an output the same
// way whatever the input's size (verified for the CPU provider by
// build/bin/crop_check). Crops of more than kMaxCropShare of the tile in all
// run the whole tile.
class TileCache : public tile::TileMemory {
 public:
  // `radius`: the model's receptive radius when crops may run (a local model
  // on a session of free input size); `scale`: the model's factor.
  explicit TileCache(std::optional<uint64_t> radius = std::nullopt, uint64_t scale = 1)
      : radius_(radius), scale_(scale) {}

  Recalled recall(uint64_t index, const tile::Tile& tile, tile::Buffer input) override;
  const tile::Buffer* keep(uint64_t index, tile::Buffer& output) override;

  // Counts a frame after it was processed; `ran` tells whether any tile ran.
  void frame_done(bool ran);
  const Counts& counts() const { return counts_; }
  // Bytes held for reuse now.
  uint64_t bytes() const;

  static constexpr double kMaxCropShare = 0.8;
  // Side of the squares whose changed pixels are boxed together.
  static constexpr uint64_t kCell = 16;

 private:
  struct Entry {
    tile::Buffer input;
    tile::Buffer output;
    uint64_t w = 0, h = 0;            // the tile's model input size
    bool valid = false;               // output came from input
    std::vector<tile::Crop> pending;  // the crops asked for input, in order
    size_t done = 0;                  // of them, those whose output came
  };
  std::optional<uint64_t> radius_;
  uint64_t scale_;
  std::vector<Entry> entries_;
  Counts counts_;
};

// What one model run costs beyond its pixels, in pixels: crops closer than
// that are run as one.
inline constexpr uint64_t kRunPixels = 4096;

// A rectangle of a tile, in its input pixels.
struct Box {
  uint64_t x = 0, y = 0, w = 0, h = 0;
};

// The pixels that differ (in bits, not values) between two planar
// 3 x h x w inputs of one size, in groups: the bounding boxes of the changed
// pixels of `cell` x `cell` squares, joined where they lie within `join`
// pixels of each other. None when nothing changed.
std::vector<Box> changed_boxes(const tile::Buffer& before,
                               const tile::Buffer& after,
                               uint64_t w,
                               uint64_t h,
                               uint64_t cell,
                               uint64_t join);

// The crop that recomputes the outputs of the `changed` pixels of a w x h
// tile exactly for a model of receptive radius r.
tile::Crop crop_for(const Box& changed, uint64_t w, uint64_t h, uint64_t r);

// The crops for the changed boxes of a w x h tile, those that overlap
// joined into one (the union of their boxes), in row-major order of their
// corners.
std::vector<tile::Crop> crops_for(std::vector<Box> changed, uint64_t w, uint64_t h, uint64_t r);

// "reuse: 712 of 1200 tiles (59.3%) unchanged and not run; 31 of 100 frames
// ran no model\n", with "; 40 tiles run in part, 71.5% of the model's input
// pixels not run" before the newline when some tiles ran in part.
std::string report_line(const Counts& counts);

}  // namespace lmr::reuse
