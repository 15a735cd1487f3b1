// Per-frame pixel work of a 1920x1080 frame upscaled 2x: the two conversions,
// the planar input builder and the feathered consumer over all tiles of the
// frame, and normalize. Prints the median of several runs in milliseconds
// and the memory traffic in GB/s (bytes read plus bytes written, once each).
//
// Last, the single-frame tiler's own work per frame (a stand-in model that
// copies a ready output) with the catalogue plan's 4 x 3 tiles: without
// reuse, with reuse when every tile changes (what reuse costs on footage
// that never repeats), and with reuse when none does.
//
// Usage: frame_bench [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "convert.h"
#include "pipeline_internal.h"
#include "reuse.h"
#include "tile.h"

namespace {

using Clock = std::chrono::steady_clock;
using lmr::tile::Buffer;
using lmr::tile::Tile;
using lmr::tile::TileGrid;

constexpr uint64_t kW = 1920, kH = 1080, kScale = 2;

double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Timing {
  double wall_ms;
  double cpu_ms;  // all threads of the process
};

// Median wall time and median processor time over `runs` calls; on a busy
// machine the processor time is the steadier figure.
template <class Fn>
Timing measure(int runs, Fn&& fn) {
  std::vector<double> wall, cpu;
  for (int i = 0; i < runs; ++i) {
    const double cpu_start = cpu_ms();
    const Clock::time_point start = Clock::now();
    fn();
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    cpu.push_back(cpu_ms() - cpu_start);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

void print(const char* what, Timing t, double bytes) {
  std::printf("%-30s %8.2f ms  %6.2f GB/s   (cpu %8.2f ms)\n", what, t.wall_ms,
              bytes / (t.wall_ms * 1e-3) / 1e9, t.cpu_ms);
}

// Keeps results observable so the work is not optimised away.
volatile float sink;

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const uint64_t OW = kScale * kW, OH = kScale * kH;
  const uint64_t in_values = kW * kH * 3, out_values = OW * OH * 3, out_pixels = OW * OH;

  std::mt19937 rng(1);
  std::vector<uint8_t> bytes(in_values);
  for (uint8_t& b : bytes)
    b = static_cast<uint8_t>(rng());
  std::uniform_real_distribution<float> unit(-0.1f, 1.1f);
  std::vector<float> big(out_values);
  for (float& v : big)
    v = unit(rng);

  std::printf("frame %llux%llu -> %llux%llu, medians of %d runs\n",
              static_cast<unsigned long long>(kW), static_cast<unsigned long long>(kH),
              static_cast<unsigned long long>(OW), static_cast<unsigned long long>(OH), runs);

  std::vector<float> frame;
  Timing ms = measure(runs, [&] {
    frame = lmr::convert::rgb_to_f32(bytes);
    sink = frame[frame.size() / 2];
  });
  print("rgb_to_f32 (input frame)", ms, static_cast<double>(in_values) * (1 + 4));

  ms = measure(runs, [&] {
    std::vector<uint8_t> out = lmr::convert::f32_to_rgb(big);
    sink = out[out.size() / 2];
  });
  print("f32_to_rgb (output frame)", ms, static_cast<double>(out_values) * (4 + 1));

  std::vector<float> weights(out_pixels);
  for (float& w : weights)
    w = unit(rng) + 0.2f;
  ms = measure(runs, [&] {
    std::vector<float> out = lmr::tile::normalize(big, weights);
    sink = out[out.size() / 2];
  });
  print("normalize (output frame)", ms, static_cast<double>(out_values * 4 * 2 + out_pixels * 4));

  // What the single-frame tiler does: divide the accumulator where it is.
  std::vector<float> sums = big;
  ms = measure(runs, [&] {
    lmr::tile::normalize_in_place(sums, weights);
    sink = sums[sums.size() / 2];
  });
  print("normalize in place", ms, static_cast<double>(out_values * 4 * 2 + out_pixels * 4));

  // The budget grid a 1920x1080 job gets with a 512x512 pixel budget, and
  // the whole frame as a single tile.
  const TileGrid grids[] = {TileGrid::create(kW, kH, kScale, 512 * 512, 16, 1),
                            TileGrid::whole(kW, kH, kScale)};
  for (const TileGrid& grid : grids) {
    const std::vector<Tile> tiles = grid.tiles();
    uint64_t tile_in = 0, tile_out = 0;
    for (const Tile& t : tiles) {
      tile_in += 3 * t.w * t.h;
      tile_out += 3 * kScale * t.w * kScale * t.h;
    }
    char label[64];

    std::vector<Buffer> inputs(tiles.size());
    ms = measure(runs, [&] {
      for (size_t i = 0; i < tiles.size(); ++i)
        inputs[i] = lmr::tile::build_planar_input(frame, kW, kH, tiles[i]);
      sink = inputs.back()[0];
    });
    std::snprintf(label, sizeof label, "input builder (%llu tile%s)",
                  static_cast<unsigned long long>(tiles.size()), tiles.size() == 1 ? "" : "s");
    print(label, ms, static_cast<double>(tile_in) * 4 * 2);

    std::vector<Buffer> outputs;
    for (const Tile& t : tiles)
      outputs.emplace_back(
          big.begin(), big.begin() + static_cast<std::ptrdiff_t>(3 * kScale * t.w * kScale * t.h));
    std::vector<float> acc(out_values), wsum(out_pixels);
    ms = measure(runs, [&] {
      for (size_t i = 0; i < tiles.size(); ++i)
        lmr::tile::accumulate_feathered(acc, wsum, kW, kH, grid, tiles[i], outputs[i]);
      sink = acc[acc.size() / 2];
    });
    // Tile output read; accumulator and weights read and written.
    const double consumer_bytes = static_cast<double>(tile_out * 4 * 3 + (tile_out / 3) * 4 * 2);
    std::snprintf(label, sizeof label, "consumer (%llu tile%s)",
                  static_cast<unsigned long long>(tiles.size()), tiles.size() == 1 ? "" : "s");
    print(label, ms, consumer_bytes);
  }

  const lmr::pipeline::EsrganPlan plan =
      lmr::pipeline::esrgan_plan("anime-video", 512, kW, kH, kScale, lmr::inference::Ep::cpu, 16);
  const TileGrid grid = TileGrid::from_tile_size(kW, kH, plan.tile_w, plan.tile_h, 16, kScale);
  const Buffer ready(3 * kScale * plan.tile_w * kScale * plan.tile_h, 0.5f);
  std::vector<float> other = frame;
  for (float& v : other)
    v = 1.0f - v;
  const std::vector<float>* frames[] = {&frame, &other};
  auto tiler = [&](lmr::tile::TileMemory* memory, bool changing) {
    int turn = 0;
    return measure(runs, [&, memory, changing] {
      const std::vector<float>& f = *frames[changing ? turn++ % 2 : 0];
      std::vector<lmr::tile::InferOp> ops{
          [&](const Tile&, const Buffer&) -> lmr::Result<Buffer> { return ready; }};
      auto out = lmr::tile::process_tiled_on(f, kW, kH, grid, std::move(ops),
                                             {plan.tile_w, plan.tile_h}, memory);
      sink = (*out)[0];
    });
  };
  const Timing plain = tiler(nullptr, false);
  lmr::reuse::TileCache changing_cache, still_cache;
  const Timing changing = tiler(&changing_cache, true), still = tiler(&still_cache, false);
  std::printf("tiler, 12 tiles of %llux%llu:\n", static_cast<unsigned long long>(plan.tile_w),
              static_cast<unsigned long long>(plan.tile_h));
  print("  without reuse", plain, 0);
  print("  reuse, every tile changed", changing, 0);
  print("  reuse, nothing changed", still, 0);
  std::printf("  reuse costs %.1f ms (cpu %.1f ms) a frame that never repeats; keeps %.0f MB\n",
              changing.wall_ms - plain.wall_ms, changing.cpu_ms - plain.cpu_ms,
              static_cast<double>(changing_cache.bytes()) / 1e6);
  return 0;
}
