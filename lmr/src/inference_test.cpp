// Finding and loading the runtime library, and model sessions on the real
// runtime with the generated test models: loading rules and messages, tile
// runs and their statistics.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "inference.h"
#include "platform.h"
#include "testing.h"

namespace lmr::inference {
namespace {

// The provider bytes: CoreML with all units, CoreML on CPU and Neural Engine, CPU.
constexpr Ep kAll = Ep::coreml_all, kNe = Ep::coreml_cpu_and_neural_engine, kCpu = Ep::cpu;

namespace fs = std::filesystem;
const std::string kLib = platform::kOrtLibraryName;
const char* const kDylibVar = "ORT_DYLIB_PATH";
const char* const kTelemetryVar = "ORT_DISABLE_TELEMETRY";
#ifdef __APPLE__
const std::string kVersioned = "libonnxruntime.1.29.0.dylib";
const std::vector<std::string> kLookalikes = {kLib + ".bak", "libonnxruntime-gpu.dylib"};
#else
const std::string kVersioned = kLib + ".1.29.0";
const std::vector<std::string> kLookalikes = {"libonnxruntime-gpu.so", "libonnxruntime.sox",
                                              "libonnxruntime_providers_shared.so"};
#endif

// The plain name beside the executable, then in runtime/, then a versioned
// name beside it, then one in the bundle's library folder (joined, not
// resolved); each row takes away the winner of the row before.
TEST(FindOrtLibrary, SearchOrder) {
  const std::string runtime = "runtime/" + kLib,
                    bundle = std::string(platform::kOrtBundleDir) + "/" + kVersioned;
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{kLib, runtime, kVersioned, bundle}, kLib},
      {{runtime, kVersioned, bundle}, runtime},
      {{kVersioned, bundle}, kVersioned},
      {{bundle}, bundle},
      {kLookalikes, ""},
  };
  for (const auto& [present, found] : rows) {
    testing::TempDir d;
    const fs::path exe_dir = d.path() / "Bundle" / "Contents" / "MacOS";
    for (const std::string& f : present) {
      fs::create_directories((exe_dir / f).parent_path());
      testing::write_file(exe_dir / f, "");
    }
    EXPECT_EQ(find_ort_library(exe_dir),
              found.empty() ? std::nullopt : std::optional(exe_dir / found))
        << found;
  }
  EXPECT_FALSE(find_ort_library(fs::path("/nonexistent/folder")));
}

// The variables are process-wide and loading happens once per process, so
// each row runs in a child of its own. A caller's values stand, even empty
// ones; otherwise the library found beside the executable, and the runtime's
// telemetry off. A relative name is looked for beside the executable first.
TEST(InitOrtDylib, EnvironmentAndLoading) {
  const std::string beside = (testing::bin_dir() / kLib).string();
  const std::array<std::string, 3> rows[] = {
      // ORT_DYLIB_PATH, ORT_DISABLE_TELEMETRY ("-": unset), what the child prints
      {"-", "-", "^" + beside + ", 1, CPUExecutionProvider$"},
      {"", "0", "^, 0, CPUExecutionProvider$"},
      {"/none/libonnxruntime.so", "",
       "^/none/libonnxruntime.so, , Failed to load ONNX Runtime dylib$"},
      {"libz.so.1", "-", "^libz.so.1, 1, `OrtGetApiBase` must be present in ONNX Runtime dylib$"},
  };
  for (const auto& [path, telemetry, printed] : rows) {
    EXPECT_EXIT(
        {
          for (auto [name, value] :
               {std::pair(kDylibVar, path), std::pair(kTelemetryVar, telemetry)})
            value == "-" ? unsetenv(name) : setenv(name, value.c_str(), 1);
          init_ort_dylib();
          auto env = environment();
          auto var = [](const char* name) {
            const char* v = std::getenv(name);
            return v != nullptr ? v : "-";
          };
          std::fprintf(
              stderr, "%s, %s, %s", var(kDylibVar), var(kTelemetryVar),
              env ? Ort::GetAvailableProviders().back().c_str() : env.error().message().c_str());
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), printed);
  }
}

// Loads the backend, with what it printed on stderr.
std::pair<Result<OnnxBackend>, std::string> load(const std::string& model,
                                                 Ep ep,
                                                 const std::vector<DimOverride>& overrides) {
  init_ort_dylib();
  ::testing::internal::CaptureStderr();
  Result<OnnxBackend> b = OnnxBackend::load(testing::model(model).string(), ep, overrides);
  return {std::move(b), ::testing::internal::GetCapturedStderr()};
}

TEST(Session, LoadRules) {
  const std::vector<DimOverride> hw = {{"h", 256}, {"w", 256}};
  const std::string hw_free = ": dimensions 'h', 'w' must be fixed to run on CoreML";
  struct Row {
    const char* model;
    Ep ep;
    std::vector<DimOverride> overrides;
    std::string error;  // after the model path when it starts with ':'; empty: loads
  } const rows[] = {
      {"nn2x.onnx", kCpu, {}, ""},
      {"nn2x.onnx", kAll, {}, hw_free},
      {"nn2x.onnx", kNe, {}, hw_free},
      {"nn2x.onnx", kAll, hw, ""},
      {"nn2x.onnx", kNe, hw, ""},
      {"fixed2x.onnx", kAll, {}, ""},
      {"fixed2x.onnx", kCpu, {}, ""},
      {"batch2x.onnx", kAll, {}, ": dimensions 'batch', 'h', 'w' must be fixed to run on CoreML"},
      {"batch2x.onnx", kAll, hw, ": dimensions 'batch' must be fixed to run on CoreML"},
      // h and w appear in both inputs but are named once.
      {"twoin.onnx", kNe, {}, hw_free},
      {"twoin.onnx", kNe, {{"w", 8}}, ": dimensions 'h' must be fixed to run on CoreML"},
      {"noinput.onnx", kAll, {}, ": the model has no inputs; a tile model needs an image input"},
      {"nooutput.onnx", kAll, hw, ": the model has no outputs; a tile model needs an image output"},
      {"nn2x.onnx", Ep{3}, {}, "unknown execution provider 3 (expected 0, 1 or 2)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.model) + " on " + std::to_string(static_cast<int>(r.ep)));
    const std::string path = testing::model(r.model).string();
    auto [b, printed] = load(r.model, r.ep, r.overrides);
    if (r.error.empty()) {
      ASSERT_TRUE(b) << b.error().message();
      EXPECT_TRUE(std::regex_match(
          printed, std::regex("model loaded in [0-9]+\\.[0-9]{2}s: " + path + "\n")))
          << printed;
      EXPECT_EQ(b->infer_tiles(), 0u);
      EXPECT_EQ(b->infer_ms(), 0.0);
    } else {
      ASSERT_FALSE(b);
      EXPECT_EQ(b.error().message(), (r.error[0] == ':' ? path : "") + r.error);
      EXPECT_EQ(printed, "");
    }
  }
}

// The receptive radius a model file records, and whether the session left
// its height and width free (only then may a tile's crops run on it).
TEST(Session, ReceptiveRadiusAndFreeSize) {
  struct Row {
    const char* model;
    std::vector<DimOverride> overrides;
    std::optional<uint64_t> radius;
    bool free;
  } const rows[] = {
      {"local2x.onnx", {}, 3, true},
      {"local2x.onnx", {{"h", 32}, {"w", 32}}, 3, false},
      {"conv2x.onnx", {}, std::nullopt, true},
      {"fixed2x.onnx", {}, std::nullopt, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.model);
    auto [b, printed] = load(r.model, kCpu, r.overrides);
    ASSERT_TRUE(b) << b.error().message();
    EXPECT_EQ(b->receptive_radius(), r.radius);
    EXPECT_EQ(b->free_size(), r.free);
  }
}

TEST(Session, LoadErrorsCarryTheProviderHint) {
  // The runtime's own text, then the hint that names the setting to change.
  const std::string path = "/nonexistent/model.onnx";
  Result<OnnxBackend> cpu = OnnxBackend::load(path, kCpu, {});
  ASSERT_FALSE(cpu);
  const std::string runtime_text = cpu.error().message();
  EXPECT_EQ(runtime_text.find("(CoreML"), std::string::npos);
  EXPECT_EQ(OnnxBackend::load(path, kAll, {}).error().message(),
            runtime_text + " (CoreML could not load " + path +
                "; Preferences › Processing › Execution provider: CPU runs it without CoreML)");
  EXPECT_EQ(OnnxBackend::load(path, kNe, {}).error().message(),
            runtime_text + " (the Neural Engine could not load " + path +
                ", used next to the GPU for this export)");
}

TEST(Session, TilesAreTheExactNearestEnlargementAndCounted) {
  // Planar (single-frame) and interleaved (multi-input, bound by name) tiles
  // whose values name their position.
  struct Row {
    const char* model;
    Ep ep;
    uint64_t w, h, channels;
  } const rows[] = {{"nn2x.onnx", kCpu, 128, 96, 0},
                    {"nn2x.onnx", kAll, 128, 96, 0},
                    {"fgnet2x.onnx", kAll, 288, 288, 18}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.model);
    const uint64_t w = r.w, h = r.h, c = r.channels == 0 ? 3 : r.channels;
    auto [b, printed] =
        load(r.model, r.ep, {{"h", static_cast<int64_t>(h)}, {"w", static_cast<int64_t>(w)}});
    ASSERT_TRUE(b) << b.error().message();
    std::vector<float> in(w * h * c);
    for (uint64_t i = 0; i < in.size(); ++i)
      in[i] = static_cast<float>(i % 10007) / 16.0f;
    for (int run = 1; run <= 3; ++run) {
      const double ms_before = b->infer_ms();
      Result<std::vector<float>> out =
          r.channels == 0 ? b->infer_tile(in, w, h) : b->infer_fgnet_tile(in, w, h, c);
      ASSERT_TRUE(out) << out.error().message();
      ASSERT_EQ(out->size(), 3 * 2 * w * 2 * h);
      for (uint64_t k = 0; k < 3; ++k)
        for (uint64_t y = 0; y < 2 * h; ++y)
          for (uint64_t x = 0; x < 2 * w; ++x) {
            const uint64_t src = (y / 2) * w + x / 2;
            ASSERT_EQ(r.channels == 0 ? (*out)[(k * 2 * h + y) * 2 * w + x]
                                      : (*out)[(y * 2 * w + x) * 3 + k],
                      r.channels == 0 ? in[k * w * h + src] : in[src * c + k]);
          }
      EXPECT_EQ(b->infer_tiles(), static_cast<uint64_t>(run));
      EXPECT_GT(b->infer_ms(), ms_before);
    }
    // A failed run (too few values for the shape) leaves the figures alone.
    const double ms = b->infer_ms();
    ASSERT_FALSE(r.channels == 0 ? b->infer_tile(std::span(in).first(100), w, h)
                                 : b->infer_fgnet_tile(std::span(in).first(100), w, h, c));
    EXPECT_EQ(b->infer_tiles(), 3u);
    EXPECT_EQ(b->infer_ms(), ms);
  }
}

TEST(Session, HalfPrecisionOutputFailsAtTheFirstTileButIsCounted) {
  auto [b, printed] = load("fp16out.onnx", kCpu, {});
  ASSERT_TRUE(b) << b.error().message();
  Result<std::vector<float>> out = b->infer_tile(std::vector<float>(3 * 16 * 8), 16, 8);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(),
            "data type mismatch: output 'output' holds float16 values, expected float32");
  EXPECT_EQ(b->infer_tiles(), 1u);
}

}  // namespace
}  // namespace lmr::inference
