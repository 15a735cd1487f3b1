// The multi-input family: every frame goes through the model beside the
// previous input and the previous output, tile by tile, feather-blended.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "convert.h"
#include "pipeline_internal.h"
#include "text.h"

namespace lmr::pipeline {

using inference::OnnxBackend;
using tile::Tile;
using tile::TileGrid;

namespace {

// Programming errors that ordinary input cannot reach stop the program.
[[noreturn]] void die(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::abort();
}

using ull = unsigned long long;

// Multi-input models: each frame also sees the previous input and output,
// kept in buffers allocated once and overwritten in place.
class MultiInput : public Upscaler {
 public:
  MultiInput(uint64_t tile, TileGrid grid, OnnxBackend session)
      : t_(tile),
        grid_(grid),
        prev_lr_(grid.width * grid.height * 3),
        prev_hr_(prev_lr_.size() * grid.scale * grid.scale) {
    sessions_.push_back(std::move(session));
  }
  Family family() const override { return Family::multi_input; }
  const std::vector<OnnxBackend>& sessions() const override { return sessions_; }
  Result<std::vector<float>> upscale(const std::vector<float>& current) override {
    const uint64_t w = grid_.width, h = grid_.height, s = grid_.scale;
    if (first_) {
      // The first frame is its own predecessor.
      std::copy(current.begin(), current.end(), prev_lr_.begin());
      convert::bilinear_resize_hwc(current, w, h, prev_hr_, s * w, s * h);
      first_ = false;
    }
    auto out =
        fgnet_process_frame(current, prev_lr_, prev_hr_, w, h, s, t_, grid_, sessions_.front());
    if (!out)
      return out;
    std::copy(current.begin(), current.end(), prev_lr_.begin());
    std::copy(out->begin(), out->end(), prev_hr_.begin());
    return out;
  }

 private:
  uint64_t t_;
  TileGrid grid_;
  std::vector<OnnxBackend> sessions_;
  std::vector<float> prev_lr_, prev_hr_;
  bool first_ = true;
};

// The T x T x C interleaved model input of one tile (T = `tile`, C = 6 +
// 3 * scale^2): current frame, previous input, and the space-to-depth of the
// previous output; positions past the tile or the frame repeat its edge.
std::vector<float> fgnet_tile_input(const Tile& t,
                                    std::span<const float> current,
                                    std::span<const float> prev_lr,
                                    std::span<const float> prev_hr,
                                    uint64_t width,
                                    uint64_t height,
                                    uint64_t scale,
                                    uint64_t tile) {
  const uint64_t s = scale, T = tile, C = 6 + 3 * s * s, ow = s * width;
  if (current.size() != width * height * 3 || prev_lr.size() != current.size() ||
      prev_hr.size() != current.size() * s * s) {
    die("fgnet_tile_input: frame buffers do not match the frame size");
  }
  std::vector<float> in(T * T * C);
  const uint64_t last_row = t.h == 0 ? 0 : t.h - 1;
  const uint64_t last_col = t.w == 0 ? 0 : t.w - 1;
  for (uint64_t r = 0; r < T; ++r) {
    const uint64_t gy = std::min(t.y + std::min(r, last_row), height - 1);
    for (uint64_t c = 0; c < T; ++c) {
      const uint64_t gx = std::min(t.x + std::min(c, last_col), width - 1);
      float* o = in.data() + (r * T + c) * C;
      const uint64_t lr = (gy * width + gx) * 3;
      for (uint64_t k = 0; k < 3; ++k) {
        o[k] = current[lr + k];
        o[3 + k] = prev_lr[lr + k];
      }
      for (uint64_t dy = 0; dy < s; ++dy) {
        const float* hr = prev_hr.data() + ((s * gy + dy) * ow + s * gx) * 3;
        float* dst = o + 6 + 3 * dy * s;
        std::copy(hr, hr + 3 * s, dst);
      }
    }
  }
  return in;
}

}  // namespace

Result<std::unique_ptr<Upscaler>> make_multi_input(const UpscaleConfig& c,
                                                   const video::VideoInfo& info) {
  const uint64_t w = info.width, h = info.height, s = c.scale;
  const uint64_t t = c.tile_w.value_or(288);
  // The padded tile is used at its full size whatever the frame's size, so
  // a mistyped --tile would otherwise end in a failed allocation.
  uint64_t values = 0;
  if (t > 65536 || __builtin_mul_overflow(t * t, 6 + 3 * s * s, &values) ||
      values > (uint64_t{1} << 30)) {
    return fail(
        text::format("tile %llu is too large: one model input of %llux%llu pixels with %llu "
                     "channels would not fit in memory",
                     ull(t), ull(t), ull(t), ull(6 + 3 * s * s)));
  }
  const TileGrid grid = TileGrid::from_tile_size(w, h, t, t, c.overlap, s);
  if (auto st = tile::check_grid(grid, c.overlap); !st)
    return std::unexpected(st.error());
  text::write_stderr(start_line(Family::multi_input, w, h, info.r_frame_rate, grid));
  auto session = OnnxBackend::load(c.model, c.ep, {});
  if (!session)
    return std::unexpected(session.error());
  return std::make_unique<MultiInput>(t, grid, std::move(*session));
}

Result<std::vector<float>> fgnet_process_frame(std::span<const float> current,
                                               std::span<const float> prev_lr,
                                               std::span<const float> prev_hr,
                                               uint64_t width,
                                               uint64_t height,
                                               uint64_t scale,
                                               uint64_t tile,
                                               const TileGrid& grid,
                                               OnnxBackend& session) {
  const uint64_t s = scale, T = tile, C = 6 + 3 * s * s;
  const uint64_t ow = s * width, oh = s * height;
  std::vector<float> sums(ow * oh * 3);
  std::vector<float> weights(ow * oh);
  const std::vector<Tile> tiles = grid.tiles();
  const uint64_t out_len = s * T * s * T * 3;

  auto build = [&](const Tile& t) {
    return fgnet_tile_input(t, current, prev_lr, prev_hr, width, height, s, T);
  };
  std::vector<tile::InferOp> ops;
  ops.emplace_back(
      [&session, T, C, s, out_len](const Tile&, const tile::Buffer& in) -> Result<tile::Buffer> {
        auto out = session.infer_fgnet_tile(in, T, T, C);
        if (out && out->size() != out_len) {
          return fail(text::format(
              "model output has %llu values; a %llux%llu tile at %llux needs %llu (1 x %llu x %llu "
              "x 3)",
              ull(out->size()), ull(T), ull(T), ull(s), ull(out_len), ull(s * T), ull(s * T)));
        }
        return out;
      });
  auto consume = [&](const Tile& t, const tile::Buffer& out) {
    // Only the top-left (s*w) x (s*h) of the padded result is the tile's.
    tile::accumulate_feathered(sums, weights, width, height, grid, t, out, s * T);
  };
  if (auto st = tile::overlapped(tiles, build, std::move(ops), consume); !st)
    return std::unexpected(st.error());
  return tile::normalize(sums, weights);
}

}  // namespace lmr::pipeline
