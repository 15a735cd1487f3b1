// The tile grid: how a frame is cut into overlapping tiles, and the checks
// a grid must pass before any model runs.
#include <algorithm>
#include <cmath>
#include <string>

#include "text.h"
#include "tile.h"

namespace lmr::tile {

namespace {

uint64_t round_up(uint64_t v, uint64_t multiple) {
  if (multiple < 2)
    return v;
  return ((v + multiple - 1) / multiple) * multiple;
}

uint64_t saturating_sub(uint64_t a, uint64_t b) {
  return a > b ? a - b : 0;
}

struct Axis {
  uint64_t count = 1;
  uint64_t tile = 0;
};

// Splits one axis of `extent` pixels into tiles of about `side` pixels;
// an extent below side * factor stays in one piece.
Axis split_axis(uint64_t extent,
                uint64_t side,
                double factor,
                uint64_t overlap,
                uint64_t multiple) {
  const Axis whole{1, round_up(extent, multiple)};
  if (static_cast<double>(side) * factor > static_cast<double>(extent))
    return whole;
  const uint64_t stride = std::max<uint64_t>(saturating_sub(side, overlap), 1);
  const uint64_t count = (saturating_sub(extent, overlap) + stride - 1) / stride;
  if (count < 2)
    return whole;
  const double span = static_cast<double>(extent + (count - 1) * overlap);
  const double centred = span / static_cast<double>(count) + 0.5;
  return {count, round_up(static_cast<uint64_t>(std::floor(centred)), multiple)};
}

float step_between(uint64_t extent, uint64_t tile, uint64_t count) {
  if (count < 2)
    return 0.0f;
  const float span = static_cast<float>(extent) - static_cast<float>(tile);
  return span / static_cast<float>(count - 1);
}

uint64_t fixed_count(uint64_t extent, uint64_t tile, uint64_t overlap) {
  if (extent <= tile)
    return 1;
  const uint64_t stride = std::max<uint64_t>(saturating_sub(tile, overlap), 1);
  return (extent - tile - 1 + stride) / stride + 1;
}

// Origin of tile `index` of `count` along an axis, spread evenly so the last
// tile ends at the frame edge.
uint64_t origin(uint64_t extent, uint64_t tile, uint64_t index, uint64_t count) {
  if (count == 1)
    return 0;
  const float fraction = static_cast<float>(index) / static_cast<float>(count - 1);
  const float span = static_cast<float>(extent) - static_cast<float>(tile);
  const float pos = span * fraction;
  return pos > 0.0f ? static_cast<uint64_t>(pos) : 0;
}

}  // namespace

TileGrid TileGrid::create(uint64_t width,
                          uint64_t height,
                          uint64_t scale,
                          uint64_t max_tile_pixels,
                          uint64_t overlap,
                          uint64_t multiple) {
  const uint64_t side =
      round_up(static_cast<uint64_t>(std::sqrt(static_cast<double>(max_tile_pixels))), multiple);
  const Axis rows = split_axis(height, side, 1.3, overlap, multiple);
  const uint64_t side_w = round_up(rows.tile == 0 ? width : max_tile_pixels / rows.tile, multiple);
  const Axis cols = split_axis(width, side_w, 1.1, overlap, multiple);
  TileGrid grid;
  grid.width = width;
  grid.height = height;
  grid.tile_w = cols.tile;
  grid.tile_h = rows.tile;
  grid.cols = cols.count;
  grid.rows = rows.count;
  grid.scale = scale;
  grid.step_x = step_between(width, cols.tile, cols.count);
  grid.step_y = step_between(height, rows.tile, rows.count);
  return grid;
}

Status check_grid(const TileGrid& grid, uint64_t overlap) {
  using ull = unsigned long long;
  const std::string tiles = text::format("tiles of %llux%llu", ull(grid.tile_w), ull(grid.tile_h));
  if (grid.tile_w == 0 || grid.tile_h == 0)
    return fail(tiles + " have no pixels");
  // Two tiles cost at most twice the frame whatever their step, and a frame
  // just larger than its tile is rightly cut in two a pixel apart: only
  // longer rows and columns are judged.
  const bool across = grid.cols >= 3, down = grid.rows >= 3;
  if (!across && !down)
    return {};
  const uint64_t side = across && down ? std::min(grid.tile_w, grid.tile_h)
                        : across       ? grid.tile_w
                                       : grid.tile_h;
  const std::string layout = text::format(
      " (%llu tiles, %llu cols × %llu rows, for a %llux%llu frame)", ull(grid.cols * grid.rows),
      ull(grid.cols), ull(grid.rows), ull(grid.width), ull(grid.height));
  if (side < kMinTileSide) {
    return fail(tiles + layout + " are too small: a tile side must be at least " +
                std::to_string(kMinTileSide) + " pixels");
  }
  if (overlap >= side / 2 + side % 2) {
    return fail(text::format("overlap %llu is too large for ", ull(overlap)) + tiles + layout +
                text::format(": tiles may overlap by less than half their side (at most %llu)",
                             ull((side - 1) / 2)));
  }
  return {};
}

TileGrid TileGrid::from_tile_size(uint64_t width,
                                  uint64_t height,
                                  uint64_t tile_w,
                                  uint64_t tile_h,
                                  uint64_t overlap,
                                  uint64_t scale) {
  TileGrid grid;
  grid.width = width;
  grid.height = height;
  grid.cols = fixed_count(width, tile_w, overlap);
  grid.rows = fixed_count(height, tile_h, overlap);
  // Steps come from the requested size, before it is clipped to the frame.
  grid.step_x = step_between(width, tile_w, grid.cols);
  grid.step_y = step_between(height, tile_h, grid.rows);
  grid.tile_w = std::min(width, tile_w);
  grid.tile_h = std::min(height, tile_h);
  grid.scale = scale;
  return grid;
}

TileGrid TileGrid::whole(uint64_t width, uint64_t height, uint64_t scale) {
  TileGrid grid;
  grid.width = width;
  grid.height = height;
  grid.tile_w = width;
  grid.tile_h = height;
  grid.scale = scale;
  return grid;
}

std::vector<Tile> TileGrid::tiles() const {
  std::vector<Tile> list;
  list.reserve(cols * rows);
  for (uint64_t i = 0; i < rows; ++i) {
    const uint64_t y = origin(height, tile_h, i, rows);
    for (uint64_t j = 0; j < cols; ++j) {
      const uint64_t x = origin(width, tile_w, j, cols);
      list.push_back(Tile{x, y, std::min(saturating_sub(width, x), tile_w),
                          std::min(saturating_sub(height, y), tile_h), j, i});
    }
  }
  return list;
}

}  // namespace lmr::tile
