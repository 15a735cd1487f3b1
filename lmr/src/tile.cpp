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

uint64_t saturating_sub(uint64_t a, uint64_t b) {
  return a > b ? a - b : 0;
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

uint64_t chunk_len(uint64_t n) {
  // The processors this process may use, not the machine's: under a
  // scheduler or in a container more threads would only queue. Asked once:
  // the query reads /proc and cgroup files (about 0.2 ms), and the pixel
  // loops run several times a frame.
  static const uint64_t cpus = platform::available_processors();
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
                                std::vector<InferOp> ops,
                                ModelInput input,
                                TileMemory* memory) {
  if (frame.size() != width * height * 3) {
    return fail(text::format("frame has %zu values, expected %llu for %llux%llu pixels",
                             frame.size(), static_cast<unsigned long long>(width * height * 3),
                             static_cast<unsigned long long>(width),
                             static_cast<unsigned long long>(height)));
  }
  const uint64_t s = grid.scale;
  std::vector<Tile> tiles = grid.tiles();
  // A tile narrower than the model input only ends at the frame edge: its
  // input repeats the edge up to the model's size, and the blend uses only
  // the output of the frame's pixels.
  for (Tile& t : tiles) {
    t.w = std::max(t.w, input.w);
    t.h = std::max(t.h, input.h);
  }

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
  // One tile over the whole frame has weight 1 everywhere: blending and
  // dividing reduce to interleaving the planes (0 + v keeps the bits the
  // blend would give, -0 included), without two output-sized passes.
  const bool whole = tiles.size() == 1 && tiles[0].w >= width && tiles[0].h >= height;
  const uint64_t ow = s * width, oh = s * height;
  Buffer result;
  Buffer weights;
  if (whole) {
    result.resize(ow * oh * 3);
  } else {
    result.assign(ow * oh * 3, 0.0f);
    weights.assign(ow * oh, 0.0f);
  }
  auto blend = [&](const Tile& t, const Buffer& out) {
    if (!whole) {
      accumulate_feathered(result, weights, width, height, grid, t, out);
      return;
    }
    const uint64_t row = s * t.w, plane = row * s * t.h;
    for (uint64_t i = 0; i < oh; ++i) {
      float* __restrict dst = result.data() + i * ow * 3;
      const float* __restrict src = out.data() + i * row;
      for (uint64_t j = 0; j < ow; ++j)
        for (uint64_t k = 0; k < 3; ++k)
          dst[3 * j + k] = 0.0f + src[k * plane + j];
    }
  };

  // Tiles whose input is unchanged are blended from the memory, in their
  // place in the tile order: the sums are then added in the same order as
  // if every tile had run. A tile of which only parts changed runs those
  // parts (their inputs built from the frame as the tile's own is) and is
  // blended whole once the memory has put them into its kept output.
  std::vector<const Buffer*> kept(tiles.size(), nullptr);
  std::vector<Tile> run;
  if (memory) {
    for (uint64_t i = 0; i < tiles.size(); ++i) {
      const Tile& t = tiles[i];
      TileMemory::Recalled r = memory->recall(i, t, build(t));
      kept[i] = r.output;
      for (const Crop& c : r.crops)
        run.push_back({t.x + c.x, t.y + c.y, c.w, c.h, t.col, t.row});
      if (!r.output && r.crops.empty())
        run.push_back(t);
    }
  } else {
    run = tiles;
  }
  uint64_t blended = 0;
  auto blend_kept_before = [&](uint64_t end) {
    for (; blended < end; ++blended) {
      if (kept[blended])
        blend(tiles[blended], *kept[blended]);
    }
  };
  if (!run.empty()) {
    Status status = overlapped(run, build, std::move(checked), [&](const Tile& t, Buffer& out) {
      const uint64_t index = t.row * grid.cols + t.col;
      const Buffer* whole_output = memory ? memory->keep(index, out) : &out;
      if (!whole_output)
        return;  // more parts of this tile to come
      blend_kept_before(index);
      blend(tiles[index], *whole_output);
      blended = index + 1;
    });
    if (!status)
      return std::unexpected(std::move(status.error()));
  }
  blend_kept_before(tiles.size());
  // The accumulator is divided where it is: the same values as normalize,
  // without a second output-sized buffer per frame.
  if (!whole)
    normalize_in_place(result, weights);
  return result;
}

}  // namespace lmr::tile
