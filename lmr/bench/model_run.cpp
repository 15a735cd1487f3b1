// Runs an ONNX model on plain ONNX Runtime, as a yardstick for lmr's own
// sessions and as the runtime side of the model conversion tests: CPU
// provider, the runtime's defaults otherwise, one intra-op thread per online
// processor. The library is loaded the engine's way.
//
// Usage: model_run [--runs N] [--threads N] [--fix-dims] [--all-outputs]
//                  [--save-optimized PATH] [--profile PREFIX] MODEL IN.f32 H W OUT.f32
//   IN.f32 holds float32 [1, 3, H, W]; OUT.f32 receives the first output's
//   values. Prints the output shape, each run's inference time and the
//   median. --fix-dims fixes the free dimensions h and w to H and W, as lmr
//   does for a tiled job. --all-outputs also writes output k (k >= 1) to
//   OUT.f32.k and prints each one's name and shape: the model quantiser
//   reads intermediate tensors this way. --save-optimized writes the graph
//   the runtime actually runs (after its fusions and layout changes) to PATH;
//   --profile writes the runtime's per-node timings to PREFIX*.json: both
//   for finding where a model's time goes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_main.h"
#include "error.h"
#include "inference.h"
#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;
using lmr::fail;
using lmr::Result;
using lmr::Status;

struct Args {
  int runs = 1;
  int threads = static_cast<int>(lmr::platform::available_processors());
  bool fix_dims = false;
  bool all_outputs = false;
  std::string model, input, output, save_optimized, profile;
  int64_t h = 0, w = 0;
};

Result<Args> parse(int argc, char** argv) {
  Args a;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--runs" || arg == "--threads") && i + 1 < argc)
      (arg == "--runs" ? a.runs : a.threads) = std::stoi(argv[++i]);
    else if (arg == "--save-optimized" && i + 1 < argc)
      a.save_optimized = argv[++i];
    else if (arg == "--profile" && i + 1 < argc)
      a.profile = argv[++i];
    else if (arg == "--fix-dims")
      a.fix_dims = true;
    else if (arg == "--all-outputs")
      a.all_outputs = true;
    else
      rest.push_back(arg);
  }
  if (rest.size() != 5 || a.runs < 1 || a.threads < 0) {
    return fail(
        "usage: model_run [--runs N] [--threads N] [--fix-dims] [--all-outputs] "
        "[--save-optimized PATH] [--profile PREFIX] MODEL IN.f32 H W OUT.f32");
  }
  a.model = rest[0], a.input = rest[1], a.output = rest[4];
  a.h = std::stoll(rest[2]), a.w = std::stoll(rest[3]);
  if (a.h < 1 || a.w < 1)
    return fail("H and W must be positive");
  return a;
}

Result<std::vector<float>> read_input(const Args& a) {
  std::ifstream in(a.input, std::ios::binary | std::ios::ate);
  const auto want = static_cast<std::streamoff>(3 * a.h * a.w * sizeof(float));
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  if (size != want) {
    return fail(a.input + ": " + std::to_string(size) + " bytes, expected " + std::to_string(want) +
                " for [1, 3, H, W] float32");
  }
  std::vector<float> values(static_cast<size_t>(3 * a.h * a.w));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(values.data()), want))
    return fail(a.input + ": cannot read");
  return values;
}

Status run(const Args& a) {
  Result<std::vector<float>> input = read_input(a);
  if (!input)
    return std::unexpected(input.error());
  Result<Ort::Env*> env = lmr::inference::environment();
  if (!env)
    return std::unexpected(env.error());
  try {
    Ort::SessionOptions options;
    options.SetIntraOpNumThreads(a.threads);
    if (a.fix_dims) {
      options.AddFreeDimensionOverrideByName("h", a.h);
      options.AddFreeDimensionOverrideByName("w", a.w);
    }
    if (!a.save_optimized.empty())
      options.SetOptimizedModelFilePath(a.save_optimized.c_str());
    if (!a.profile.empty())
      options.EnableProfiling(a.profile.c_str());
    Ort::Session session(**env, a.model.c_str(), options);
    Ort::AllocatorWithDefaultOptions allocator;
    Ort::AllocatedStringPtr in_name = session.GetInputNameAllocated(0, allocator);
    const size_t n_out = a.all_outputs ? session.GetOutputCount() : 1;
    std::vector<Ort::AllocatedStringPtr> out_held;
    std::vector<const char*> out_names;
    for (size_t k = 0; k < n_out; ++k) {
      out_held.push_back(session.GetOutputNameAllocated(k, allocator));
      out_names.push_back(out_held.back().get());
    }
    const char* in_names[] = {in_name.get()};
    const int64_t shape[] = {1, 3, a.h, a.w};
    Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value tensor =
        Ort::Value::CreateTensor<float>(memory, input->data(), input->size(), shape, 4);

    std::vector<double> times;
    std::vector<Ort::Value> outputs;
    for (int i = 0; i < a.runs; ++i) {
      const Clock::time_point start = Clock::now();
      outputs =
          session.Run(Ort::RunOptions{nullptr}, in_names, &tensor, 1, out_names.data(), n_out);
      times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      std::printf("run %d: %.1f ms\n", i + 1, times.back());
    }
    std::string dims;
    for (size_t k = 0; k < n_out; ++k) {
      auto info = outputs[k].GetTensorTypeAndShapeInfo();
      if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
        return fail(std::string("output ") + out_names[k] + " is not float32");
      std::string d;
      for (int64_t v : info.GetShape())
        d += (d.empty() ? "" : "x") + std::to_string(v);
      const std::string path = k == 0 ? a.output : a.output + "." + std::to_string(k);
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(outputs[k].GetTensorData<float>()),
                static_cast<std::streamsize>(info.GetElementCount() * sizeof(float)));
      if (!out.flush())
        return fail(path + ": cannot write the output");
      if (k == 0)
        dims = d;
      else
        std::printf("output %zu %s %s\n", k, out_names[k], d.c_str());
    }
    if (!a.profile.empty()) {
      Ort::AllocatedStringPtr file = session.EndProfilingAllocated(allocator);
      std::printf("profile %s\n", file.get());
    }
    std::sort(times.begin(), times.end());
    std::printf("output %s\ninference: median %.1f ms, min %.1f ms over %d runs, %d threads\n",
                dims.c_str(), times[times.size() / 2], times.front(), a.runs, a.threads);
  } catch (const Ort::Exception& e) {
    return fail(e.what());
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  return bench::main_of("model_run", argc, argv, parse, run);
}
