// Overlapping tile grids over a frame, and running the tiles of one frame
// through one worker thread per inference operation with feathered blending.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "error.h"

namespace lmr::tile {

struct Tile {
  uint64_t x = 0, y = 0;  // top-left corner, input pixels
  uint64_t w = 0, h = 0;  // size, clipped to the frame
  uint64_t col = 0, row = 0;
};

struct TileGrid {
  uint64_t width = 0, height = 0;
  uint64_t tile_w = 0, tile_h = 0;
  uint64_t cols = 1, rows = 1;
  uint64_t scale = 1;
  float step_x = 0.0f, step_y = 0.0f;

  // Grid from a pixel budget per tile; sides rounded up to `multiple`.
  static TileGrid create(uint64_t width,
                         uint64_t height,
                         uint64_t scale,
                         uint64_t max_tile_pixels,
                         uint64_t overlap,
                         uint64_t multiple);
  // Grid from a fixed tile size.
  static TileGrid from_tile_size(uint64_t width,
                                 uint64_t height,
                                 uint64_t tile_w,
                                 uint64_t tile_h,
                                 uint64_t overlap,
                                 uint64_t scale);
  // One tile for the whole frame.
  static TileGrid whole(uint64_t width, uint64_t height, uint64_t scale);

  // cols x rows tiles, row-major; a tile's index is its job number.
  std::vector<Tile> tiles() const;
};

// Smallest tile side along an axis cut into three or more tiles.
inline constexpr uint64_t kMinTileSide = 16;
// Refuses a grid that makes no sense, before any model loads: tiles without
// pixels, or, along an axis cut into three or more tiles, a side below
// kMinTileSide or an `overlap` of half the side or more (the step then
// shrinks towards one pixel and the tile count towards the pixel count).
Status check_grid(const TileGrid& grid, uint64_t overlap);

// Items per thread of a parallel pixel loop: max(ceil(n / cpus), 65536).
uint64_t chunk_len(uint64_t n);
// Runs fn(begin, end) over consecutive chunks of chunk_len(n) items, one
// thread per chunk, and returns once all have finished; none for n = 0. A
// thread that cannot be started ends the program.
void for_each_chunk(uint64_t n, const std::function<void(uint64_t, uint64_t)>& fn);

// Divides interleaved RGB sums by per-pixel weights (weights <= 0 or NaN
// count as 1).
std::vector<float> normalize(std::span<const float> sums, std::span<const float> weights);
// The same division, written over `sums`.
void normalize_in_place(std::span<float> sums, std::span<const float> weights);

using Buffer = std::vector<float>;
using InputBuilder = std::function<Buffer(const Tile&)>;
// Runs on its own worker thread; must not touch other workers' state.
using InferOp = std::function<Result<Buffer>(const Tile&, const Buffer&)>;
// May take the output buffer over (it is released after the call anyway).
using Consumer = std::function<void(const Tile&, Buffer&)>;

// Builds inputs on the calling thread at most (ops + 1) tiles ahead, runs
// them on one worker per op, and consumes results in tile order. The first
// error received ends the frame; an exception escaping an op becomes
// "inference thread panicked"; workers are always joined before returning.
// An empty op list, or a worker that cannot be started, ends the program.
Status overlapped(const std::vector<Tile>& tiles,
                  const InputBuilder& build,
                  std::vector<InferOp> ops,
                  const Consumer& consume);

// Planar input of one tile (3 x h x w floats, R plane first) from a width x
// height interleaved RGB frame; pixels past the frame edge repeat the edge.
Buffer build_planar_input(std::span<const float> frame,
                          uint64_t width,
                          uint64_t height,
                          const Tile& tile);

// Adds one tile's model output into the interleaved accumulator and the
// weight buffer of the (s*width) x (s*height) output, with linear ramps
// towards inner neighbours. `output` is planar (3 x s*h x s*w, as the
// single-frame models give it), or, when `row_pixels` is not 0, interleaved
// RGB rows of `row_pixels` pixels whose top-left s*w x s*h are used (the
// padded result of the multi-input models). Too short an output ends the
// program.
void accumulate_feathered(std::span<float> accumulator,
                          std::span<float> weights,
                          uint64_t width,
                          uint64_t height,
                          const TileGrid& grid,
                          const Tile& tile,
                          std::span<const float> output,
                          uint64_t row_pixels = 0);

// The model's input size when the session's is fixed and may exceed a tile
// (an odd frame side under an even input): such a tile is run padded, its
// input repeating the frame's edge, and only its own part of the output is
// blended. 0 on an axis: each tile's own size.
struct ModelInput {
  uint64_t w = 0, h = 0;
};

// A part of a tile's model input run on its own (input pixels, relative to
// the tile's corner), and the part of it whose output is exact: the rest of
// the tile's output stays as it was kept.
struct Crop {
  uint64_t x = 0, y = 0, w = 0, h = 0;
  uint64_t keep_x = 0, keep_y = 0, keep_w = 0, keep_h = 0;  // inside the crop
};

// Tile outputs kept from earlier frames of one job, by tile index. A model
// of the single-frame family computes each tile from its input alone, so a
// tile whose whole model input is bit-identical to the one its kept output
// came from need not run again; with a local model, only the part around
// its changed pixels needs to.
class TileMemory {
 public:
  virtual ~TileMemory() = default;
  struct Recalled {
    const Buffer* output = nullptr;  // the input is unchanged: its kept output
    std::vector<Crop> crops;         // only these parts of the tile need to run
  };
  // What tile `index` (its model input `tile.w` x `tile.h`, planar) needs
  // to run now: nothing, some crops, or (neither) the whole tile. `input` is
  // kept to await the outputs that keep() brings.
  virtual Recalled recall(uint64_t index, const Tile& tile, Buffer input) = 0;
  // Takes the output of what recall() last asked for `index`: the whole
  // tile's, or its crops' one by one in their order. Returns the tile's
  // whole output once it is complete, nothing before.
  virtual const Buffer* keep(uint64_t index, Buffer& output) = 0;
};

// Single-frame tiler: planar tile inputs, feathered accumulation, normalize.
// `frame` is width x height interleaved RGB floats; returns the scaled frame.
// A model output of the wrong size fails the frame instead of being read.
// With a memory, tiles whose input is unchanged are not run: their kept
// outputs are blended in tile order, so the frame is bit-identical.
Result<Buffer> process_tiled_on(std::span<const float> frame,
                                uint64_t width,
                                uint64_t height,
                                const TileGrid& grid,
                                std::vector<InferOp> ops,
                                ModelInput input = {},
                                TileMemory* memory = nullptr);

}  // namespace lmr::tile
