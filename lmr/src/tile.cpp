#include "tile.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "platform.h"
#include "text.h"

namespace lmr::tile {

namespace {

// Programming errors and thread exhaustion end the program: there is no
// sensible way to go on with a frame half processed.
[[noreturn]] void fatal(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

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

// Unbounded FIFO that counts its senders and receivers, so each side learns
// when the other has gone.
template <class T>
class Channel {
 public:
  Channel(size_t senders, size_t receivers) : senders_(senders), receivers_(receivers) {}

  // False when every receiver has gone; the item is then dropped.
  bool send(T item) {
    std::lock_guard lock(mutex_);
    if (receivers_ == 0)
      return false;
    queue_.push_back(std::move(item));
    ready_.notify_one();
    return true;
  }

  // Blocks for the next item; nothing once the queue is empty and every
  // sender has gone.
  std::optional<T> recv() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !queue_.empty() || senders_ == 0; });
    if (queue_.empty())
      return std::nullopt;
    T item = std::move(queue_.front());
    queue_.pop_front();
    return item;
  }

  void drop_sender() {
    std::lock_guard lock(mutex_);
    if (senders_ > 0 && --senders_ == 0)
      ready_.notify_all();
  }

  // The last receiver to go discards whatever is still queued.
  void drop_receiver() {
    std::deque<T> discarded;
    std::lock_guard lock(mutex_);
    if (receivers_ > 0 && --receivers_ == 0)
      discarded.swap(queue_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<T> queue_;
  size_t senders_;
  size_t receivers_;
};

struct Job {
  uint64_t index;
  Buffer input;
};

struct TileResult {
  uint64_t index;
  Result<Buffer> output;
};

using JobQueue = Channel<Job>;
using ResultQueue = Channel<TileResult>;

void run_worker(const std::vector<Tile>& tiles,
                const InferOp& op,
                JobQueue& jobs,
                ResultQueue& results) {
  struct Ends {
    JobQueue& jobs;
    ResultQueue& results;
    ~Ends() {
      results.drop_sender();
      jobs.drop_receiver();
    }
  } ends{jobs, results};

  while (std::optional<Job> job = jobs.recv()) {
    Result<Buffer> output = fail("inference thread panicked");
    try {
      output = op(tiles[job->index], job->input);
    } catch (...) {
      output = fail("inference thread panicked");
    }
    const bool failed = !output.has_value();
    const bool delivered = results.send({job->index, std::move(output)});
    job->input = Buffer();
    if (!delivered || failed)
      return;
  }
}

// Every worker has ended before the frame was done. Workers only end early
// after reporting an error, so prefer that error to the generic one.
std::unexpected<Error> stopped(ResultQueue& results) {
  while (std::optional<TileResult> r = results.recv()) {
    if (!r->output)
      return std::unexpected(std::move(r->output.error()));
  }
  return fail("inference stopped");
}

// Ramp weight of output line `i` of `n` along one axis (single precision).
float ramp_weight(uint64_t i, uint64_t n, uint64_t ramp, bool ramp_start, bool ramp_end) {
  float weight = 1.0f;
  if (ramp == 0)
    return weight;
  const float r = static_cast<float>(ramp);
  if (ramp_start && i < ramp) {
    const float rising = (static_cast<float>(i) + 0.5f) / r;
    weight = std::min(rising, 1.0f);
  }
  if (ramp_end && n - i <= ramp) {
    const float falling = (static_cast<float>(n - i) - 0.5f) / r;
    weight = std::min(weight, falling);
  }
  return weight;
}

uint64_t ramp_len(float step, uint64_t scale) {
  const float len = std::fabs(step) * static_cast<float>(scale);
  return static_cast<uint64_t>(len);
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

uint64_t chunk_len(uint64_t n) {
  uint64_t cpus = platform::online_processors();
  if (cpus == 0)
    cpus = 4;
  return std::max<uint64_t>((n + cpus - 1) / cpus, 65536);
}

void for_each_chunk(uint64_t n, const std::function<void(uint64_t, uint64_t)>& fn) {
  if (n == 0)
    return;
  const uint64_t chunk = chunk_len(n);
  std::vector<std::jthread> threads;
  threads.reserve((n + chunk - 1) / chunk);
  for (uint64_t begin = 0; begin < n; begin += chunk) {
    try {
      threads.emplace_back([&fn, begin, end = std::min(n, begin + chunk)] { fn(begin, end); });
    } catch (const std::system_error&) {
      fatal("failed to spawn thread");
    }
  }
}

namespace {

// Divides pixel by pixel, one thread per chunk of pixels. `out` is either a
// separate buffer of the same size or `sums` itself.
void divide_by_weights(float* out,
                       const float* sums,
                       std::span<const float> weights,
                       uint64_t pixels) {
  for_each_chunk(pixels, [=, weight = weights.data()](uint64_t begin, uint64_t end) {
    for (uint64_t p = begin; p < end; ++p) {
      // Uncovered pixels (weight 0) and stray NaN weights keep their sums.
      const float w = weight[p] > 0.0f ? weight[p] : 1.0f;
      out[3 * p] = sums[3 * p] / w;
      out[3 * p + 1] = sums[3 * p + 1] / w;
      out[3 * p + 2] = sums[3 * p + 2] / w;
    }
  });
}

uint64_t pixel_count(uint64_t sums, uint64_t weights) {
  return std::min(weights, sums / 3);
}

}  // namespace

std::vector<float> normalize(std::span<const float> sums, std::span<const float> weights) {
  std::vector<float> result(sums.size(), 0.0f);
  divide_by_weights(result.data(), sums.data(), weights, pixel_count(sums.size(), weights.size()));
  return result;
}

void normalize_in_place(std::span<float> sums, std::span<const float> weights) {
  divide_by_weights(sums.data(), sums.data(), weights, pixel_count(sums.size(), weights.size()));
}

Status overlapped(const std::vector<Tile>& tiles,
                  const InputBuilder& build,
                  std::vector<InferOp> ops,
                  const Consumer& consume) {
  if (ops.empty())
    fatal("overlapped needs an inference function");
  JobQueue jobs(1, ops.size());
  ResultQueue results(ops.size(), 1);

  // Declared before the reorder map so that on every path the map is released
  // first, then the result queue closed (a busy worker fails to deliver and
  // stops), then the job queue closed (idle workers stop), then all joined.
  struct Workers {
    JobQueue& jobs;
    ResultQueue& results;
    std::vector<std::thread> threads;
    ~Workers() {
      results.drop_receiver();
      jobs.drop_sender();
      for (std::thread& t : threads)
        t.join();
    }
  } workers{jobs, results, {}};
  workers.threads.reserve(ops.size());
  for (const InferOp& op : ops) {
    try {
      workers.threads.emplace_back(run_worker, std::cref(tiles), std::cref(op), std::ref(jobs),
                                   std::ref(results));
    } catch (const std::system_error&) {
      fatal("failed to spawn thread");
    }
  }

  std::map<uint64_t, Buffer> reorder;
  const uint64_t n = tiles.size();
  const uint64_t window = ops.size() + 1;
  uint64_t next = 0;
  for (uint64_t done = 0; done < n; ++done) {
    for (; next < n && next < done + window; ++next) {
      if (!jobs.send(Job{next, build(tiles[next])}))
        return stopped(results);
    }
    Buffer output;
    if (auto it = reorder.find(done); it != reorder.end()) {
      output = std::move(it->second);
      reorder.erase(it);
    } else {
      for (;;) {
        std::optional<TileResult> r = results.recv();
        if (!r)
          return fail("inference stopped");
        if (!r->output)
          return std::unexpected(std::move(r->output.error()));
        if (r->index == done) {
          output = std::move(*r->output);
          break;
        }
        reorder.emplace(r->index, std::move(*r->output));
      }
    }
    consume(tiles[done], output);
  }
  return {};
}

Buffer build_planar_input(std::span<const float> frame,
                          uint64_t width,
                          uint64_t height,
                          const Tile& tile) {
  const uint64_t w = tile.w, h = tile.h, plane = w * h;
  Buffer input(3 * plane);
  if (width == 0 || height == 0 || frame.size() < width * height * 3)
    return input;
  // Columns inside the frame are copied in one run; any beyond it repeat
  // the last column.
  const uint64_t inside = std::min(w, saturating_sub(width, tile.x));
  for (uint64_t i = 0; i < h; ++i) {
    const uint64_t row = std::min(tile.y + i, height - 1);
    const float* __restrict src = frame.data() + row * width * 3;
    float* __restrict r = input.data() + i * w;
    float* __restrict g = r + plane;
    float* __restrict b = g + plane;
    const float* __restrict run = src + tile.x * 3;
    for (uint64_t j = 0; j < inside; ++j) {
      r[j] = run[3 * j];
      g[j] = run[3 * j + 1];
      b[j] = run[3 * j + 2];
    }
    const float* edge = src + (width - 1) * 3;
    for (uint64_t j = inside; j < w; ++j) {
      r[j] = edge[0];
      g[j] = edge[1];
      b[j] = edge[2];
    }
  }
  return input;
}

namespace {

// One tile's rows into the accumulator. The channels of output pixel j of
// row i are at row(i)[kStride * j], with the planes `plane` apart: a stride
// known at compile time keeps the planar loop as the vectoriser wants it.
template <uint64_t kStride>
void add_rows(float* accumulator,
              float* weights,
              uint64_t out_w,
              uint64_t base,
              const float* values,
              uint64_t row_len,
              uint64_t plane,
              std::span<const float> wx,
              std::span<const float> wy) {
  for (uint64_t i = 0; i < wy.size(); ++i) {
    const uint64_t at = base + i * out_w;
    float* __restrict acc = accumulator + 3 * at;
    float* __restrict wsum = weights + at;
    const float* __restrict r = values + i * row_len;
    const float* __restrict g = r + plane;
    const float* __restrict b = g + plane;
    const float* __restrict fx = wx.data();
    for (uint64_t j = 0; j < wx.size(); ++j) {
      const float wgt = wy[i] * fx[j];
      acc[3 * j] += wgt * r[kStride * j];
      acc[3 * j + 1] += wgt * g[kStride * j];
      acc[3 * j + 2] += wgt * b[kStride * j];
      wsum[j] += wgt;
    }
  }
}

}  // namespace

void accumulate_feathered(std::span<float> accumulator,
                          std::span<float> weights,
                          uint64_t width,
                          uint64_t height,
                          const TileGrid& grid,
                          const Tile& tile,
                          std::span<const float> output,
                          uint64_t row_pixels) {
  const uint64_t s = grid.scale;
  const uint64_t out_w = s * width;
  const uint64_t used_w = s * std::min(tile.w, saturating_sub(width, tile.x));
  const uint64_t used_h = s * std::min(tile.h, saturating_sub(height, tile.y));
  // Planar: rows of s*w, planes of s*h rows. Interleaved: rows of
  // row_pixels RGB pixels, the channels one value apart.
  const bool interleaved = row_pixels != 0;
  const uint64_t row_len = interleaved ? 3 * row_pixels : s * tile.w;
  const uint64_t plane = interleaved ? 1 : s * tile.h * row_len;
  const uint64_t needed = interleaved ? row_len * s * tile.h : 3 * plane;
  if (output.size() < needed || (interleaved && row_pixels < used_w) ||
      accumulator.size() < out_w * s * height * 3 || weights.size() < out_w * s * height)
    fatal("tile output or frame buffers smaller than the tile");
  const uint64_t ramp_x = grid.cols >= 2 ? ramp_len(grid.step_x, s) : 0;
  const uint64_t ramp_y = grid.rows >= 2 ? ramp_len(grid.step_y, s) : 0;

  std::vector<float> wx(used_w);
  for (uint64_t j = 0; j < used_w; ++j)
    wx[j] = ramp_weight(j, used_w, ramp_x, tile.col != 0, tile.col + 1 < grid.cols);
  std::vector<float> wy(used_h);
  for (uint64_t i = 0; i < used_h; ++i)
    wy[i] = ramp_weight(i, used_h, ramp_y, tile.row != 0, tile.row + 1 < grid.rows);

  const uint64_t base = s * tile.y * out_w + s * tile.x;
  if (interleaved) {
    add_rows<3>(accumulator.data(), weights.data(), out_w, base, output.data(), row_len, plane, wx,
                wy);
  } else {
    add_rows<1>(accumulator.data(), weights.data(), out_w, base, output.data(), row_len, plane, wx,
                wy);
  }
}

Result<Buffer> process_tiled_on(std::span<const float> frame,
                                uint64_t width,
                                uint64_t height,
                                const TileGrid& grid,
                                std::vector<InferOp> ops) {
  if (frame.size() != width * height * 3) {
    return fail(text::format("frame has %zu values, expected %llu for %llux%llu pixels",
                             frame.size(), static_cast<unsigned long long>(width * height * 3),
                             static_cast<unsigned long long>(width),
                             static_cast<unsigned long long>(height)));
  }
  const uint64_t s = grid.scale;
  const std::vector<Tile> tiles = grid.tiles();

  // The consumer reads whole planes of the expected size; a model that
  // returns anything else (wrong scale, wrong layout) fails the frame.
  std::vector<InferOp> checked;
  checked.reserve(ops.size());
  for (InferOp& op : ops) {
    checked.push_back([op = std::move(op), s](const Tile& t, const Buffer& in) -> Result<Buffer> {
      Result<Buffer> out = op(t, in);
      const uint64_t expected = 3 * (s * t.h) * (s * t.w);
      if (out && out->size() != expected) {
        return fail(text::format(
            "model output for a %llux%llu tile has %zu values, expected %llu (3 x %llu x %llu "
            "for a %llux model)",
            static_cast<unsigned long long>(t.w), static_cast<unsigned long long>(t.h), out->size(),
            static_cast<unsigned long long>(expected), static_cast<unsigned long long>(s * t.h),
            static_cast<unsigned long long>(s * t.w), static_cast<unsigned long long>(s)));
      }
      return out;
    });
  }

  auto build = [&](const Tile& t) { return build_planar_input(frame, width, height, t); };
  if (tiles.size() == 1 && tiles[0].w == width && tiles[0].h == height) {
    // One tile over the whole frame has weight 1 everywhere: blending and
    // dividing reduce to interleaving the planes (0 + v keeps the bits the
    // blend would give, -0 included), without two output-sized passes.
    const uint64_t plane = s * width * s * height;
    Buffer result;
    Status one = overlapped(tiles, build, std::move(checked), [&](const Tile&, const Buffer& out) {
      result.resize(plane * 3);
      for (uint64_t p = 0; p < plane; ++p)
        for (uint64_t k = 0; k < 3; ++k)
          result[3 * p + k] = 0.0f + out[k * plane + p];
    });
    if (!one)
      return std::unexpected(std::move(one.error()));
    return result;
  }
  Buffer accumulator(s * width * s * height * 3, 0.0f);
  Buffer weights(s * width * s * height, 0.0f);
  Status status =
      overlapped(tiles, build, std::move(checked), [&](const Tile& t, const Buffer& out) {
        accumulate_feathered(accumulator, weights, width, height, grid, t, out);
      });
  if (!status)
    return std::unexpected(std::move(status.error()));
  // The accumulator is divided where it is: the same values as normalize,
  // without a second output-sized buffer per frame.
  normalize_in_place(accumulator, weights);
  return accumulator;
}

}  // namespace lmr::tile
