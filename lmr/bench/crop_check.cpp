// Checks that a local model gives the same bits for an output pixel whether
// it runs on a whole tile or on a crop of it that holds the pixel's whole
// receptive field: the premise of reusing a tile's output outside a changed
// region. Runs one W x H tile, then crops of several sizes at positions
// across the tile (touching each of its edges, and inside), on the CPU
// provider with the engine's session options, and compares, for each crop,
// the outputs at least R input pixels from every crop edge that is not a
// tile edge. Prints one line per crop size and a total; exits 1 on a
// mismatch.
//
// Usage: crop_check [--threads N] [--fix-dims] [--radius R] [--seed S]
//                   MODEL W H CROP_W,CROP_H...
//   --fix-dims runs the whole tile on a session with h and w fixed to the
//   tile (as a tiled job does) and the crops on a second, free-shape one.
//   --radius defaults to the model's own "lmr.receptive_radius".
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_main.h"
#include "error.h"
#include "inference.h"
#include "platform.h"

namespace {

using lmr::fail;
using lmr::Result;
using lmr::Status;

struct Args {
  int threads = 0;
  bool fix_dims = false;
  int64_t radius = -1;
  uint32_t seed = 1;
  std::string model;
  int64_t w = 0, h = 0;
  std::vector<std::pair<int64_t, int64_t>> crops;
};

Result<Args> parse(int argc, char** argv) {
  Args a;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc)
      a.threads = std::stoi(argv[++i]);
    else if (arg == "--radius" && i + 1 < argc)
      a.radius = std::stoll(argv[++i]);
    else if (arg == "--seed" && i + 1 < argc)
      a.seed = static_cast<uint32_t>(std::stoul(argv[++i]));
    else if (arg == "--fix-dims")
      a.fix_dims = true;
    else
      rest.push_back(arg);
  }
  if (rest.size() < 4)
    return fail("usage: crop_check [--threads N] [--fix-dims] [--radius R] MODEL W H CW,CH...");
  a.model = rest[0];
  a.w = std::stoll(rest[1]), a.h = std::stoll(rest[2]);
  for (size_t i = 3; i < rest.size(); ++i) {
    const size_t comma = rest[i].find(',');
    if (comma == std::string::npos)
      return fail("crop sizes are CW,CH");
    a.crops.emplace_back(std::stoll(rest[i].substr(0, comma)),
                         std::stoll(rest[i].substr(comma + 1)));
  }
  return a;
}

struct Session {
  Ort::Session session{nullptr};
  std::string in, out;

  std::vector<float> run(const std::vector<float>& data, int64_t w, int64_t h) {
    const int64_t shape[] = {1, 3, h, w};
    Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, const_cast<float*>(data.data()),
                                                        data.size(), shape, 4);
    const char* in_names[] = {in.c_str()};
    const char* out_names[] = {out.c_str()};
    auto outputs = session.Run(Ort::RunOptions{nullptr}, in_names, &tensor, 1, out_names, 1);
    const float* v = outputs[0].GetTensorData<float>();
    return std::vector<float>(v, v + outputs[0].GetTensorTypeAndShapeInfo().GetElementCount());
  }
};

Session open(Ort::Env& env, const Args& a, bool fixed) {
  Ort::SessionOptions options;
  options.DisableCpuMemArena();
  if (a.threads > 0)
    options.SetIntraOpNumThreads(a.threads);
  if (fixed) {
    options.AddFreeDimensionOverrideByName("h", a.h);
    options.AddFreeDimensionOverrideByName("w", a.w);
  }
  Session s;
  s.session = Ort::Session(env, a.model.c_str(), options);
  Ort::AllocatorWithDefaultOptions allocator;
  s.in = s.session.GetInputNameAllocated(0, allocator).get();
  s.out = s.session.GetOutputNameAllocated(0, allocator).get();
  return s;
}

// Positions along one axis: both ends, one pixel in from each, and a spread
// between them.
std::vector<int64_t> positions(int64_t extent, int64_t crop) {
  std::vector<int64_t> p;
  const int64_t last = extent - crop;
  if (last < 0)
    return p;
  for (int64_t v : {int64_t{0}, int64_t{1}, last - 1, last, last / 3, last / 2, 2 * last / 3,
                    int64_t{7}, last - 5})
    if (v >= 0 && v <= last && std::find(p.begin(), p.end(), v) == p.end())
      p.push_back(v);
  return p;
}

Status run(const Args& a) {
  Result<Ort::Env*> env = lmr::inference::environment();
  if (!env)
    return std::unexpected(env.error());
  try {
    Session dynamic = open(**env, a, false);
    int64_t r = a.radius;
    if (r < 0) {
      Ort::AllocatorWithDefaultOptions allocator;
      Ort::ModelMetadata meta = dynamic.session.GetModelMetadata();
      Ort::AllocatedStringPtr v =
          meta.LookupCustomMetadataMapAllocated("lmr.receptive_radius", allocator);
      if (!v)
        return fail(a.model + ": no receptive radius recorded; give --radius");
      r = std::stoll(v.get());
    }
    Session fixed_session;
    if (a.fix_dims)
      fixed_session = open(**env, a, true);
    Session& whole = a.fix_dims ? fixed_session : dynamic;

    // Smooth shapes with edges and a little noise, like a decoded frame.
    std::mt19937 rng(a.seed);
    std::uniform_real_distribution<float> noise(0.0f, 0.05f);
    const int64_t plane = a.w * a.h;
    std::vector<float> tile(3 * plane);
    for (int64_t k = 0; k < 3; ++k)
      for (int64_t y = 0; y < a.h; ++y)
        for (int64_t x = 0; x < a.w; ++x) {
          const auto fx = static_cast<float>(x), fy = static_cast<float>(y),
                     fk = static_cast<float>(k);
          float v = 0.5f + 0.3f * std::sin(0.05f * fx + 0.7f * fk) * std::cos(0.04f * fy);
          if ((x / 23 + y / 17) % 3 == 0)
            v = 0.1f + 0.2f * fk;
          tile[k * plane + y * a.w + x] = std::clamp(v + noise(rng), 0.0f, 1.0f);
        }
    const std::vector<float> full = whole.run(tile, a.w, a.h);
    const int64_t s = static_cast<int64_t>(std::lround(
        std::sqrt(static_cast<double>(full.size()) / (3.0 * static_cast<double>(plane)))));
    const int64_t ow = s * a.w, oplane = ow * s * a.h;
    std::printf(
        "model %s, tile %lldx%lld, %lldx, radius %lld, threads %d, whole tile on a %s session\n",
        a.model.c_str(), (long long)a.w, (long long)a.h, (long long)s, (long long)r, a.threads,
        a.fix_dims ? "fixed-shape" : "free-shape");

    uint64_t total_crops = 0, total_bad = 0, total_compared = 0;
    for (auto [cw, ch] : a.crops) {
      uint64_t crops = 0, bad = 0, compared = 0;
      float worst = 0.0f;
      for (int64_t cy : positions(a.h, ch))
        for (int64_t cx : positions(a.w, cw)) {
          std::vector<float> crop(3 * cw * ch);
          for (int64_t k = 0; k < 3; ++k)
            for (int64_t y = 0; y < ch; ++y)
              std::memcpy(&crop[(k * ch + y) * cw], &tile[k * plane + (cy + y) * a.w + cx],
                          cw * sizeof(float));
          const std::vector<float> out = dynamic.run(crop, cw, ch);
          // Valid: R from every crop edge that is not a tile edge.
          const int64_t x0 = cx == 0 ? 0 : r, y0 = cy == 0 ? 0 : r;
          const int64_t x1 = cx + cw == a.w ? cw : cw - r, y1 = cy + ch == a.h ? ch : ch - r;
          ++crops;
          const int64_t cow = s * cw, coplane = cow * s * ch;
          for (int64_t k = 0; k < 3; ++k)
            for (int64_t y = s * y0; y < s * y1; ++y)
              for (int64_t x = s * x0; x < s * x1; ++x) {
                const float got = out[k * coplane + y * cow + x];
                const float want = full[k * oplane + (s * cy + y) * ow + s * cx + x];
                ++compared;
                if (std::memcmp(&got, &want, sizeof got) != 0) {
                  ++bad;
                  worst = std::max(worst, std::fabs(got - want));
                }
              }
        }
      std::printf("crop %lldx%lld: %llu crops, %llu values compared, %llu differ (largest %g)\n",
                  (long long)cw, (long long)ch, (unsigned long long)crops,
                  (unsigned long long)compared, (unsigned long long)bad, double(worst));
      total_crops += crops, total_bad += bad, total_compared += compared;
    }
    std::printf("total: %llu crops, %llu values compared, %llu differ\n",
                (unsigned long long)total_crops, (unsigned long long)total_compared,
                (unsigned long long)total_bad);
    if (total_bad != 0)
      return fail("crops differ from the whole tile");
  } catch (const Ort::Exception& e) {
    return fail(e.what());
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  return bench::main_of("crop_check", argc, argv, parse, run);
}
