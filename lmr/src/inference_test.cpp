// Model sessions on the real runtime with the generated test models:
// loading rules and messages, tile runs and their statistics.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "inference.h"
#include "testing.h"

namespace lmr::inference {
namespace {

using testing::model;

class Session : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { init_ort_dylib(); }

  // Loads and returns the backend, with what it printed on stderr.
  static Result<OnnxBackend> load(const std::string& name,
                                  Ep ep,
                                  const std::vector<DimOverride>& overrides,
                                  std::string* printed = nullptr) {
    ::testing::internal::CaptureStderr();
    Result<OnnxBackend> b = OnnxBackend::load(model(name).string(), ep, overrides);
    std::string err = ::testing::internal::GetCapturedStderr();
    if (printed != nullptr)
      *printed = err;
    return b;
  }

  static std::string path_of(const std::string& name) { return model(name).string(); }
};

// A planar tile whose values name their channel, row and column.
std::vector<float> planar_tile(uint64_t w, uint64_t h) {
  std::vector<float> v(3 * w * h);
  for (uint64_t k = 0; k < 3; ++k)
    for (uint64_t i = 0; i < h; ++i)
      for (uint64_t j = 0; j < w; ++j)
        v[k * w * h + i * w + j] = static_cast<float>(k) + static_cast<float>(i) / 1000.0f +
                                   static_cast<float>(j) / 1000000.0f;
  return v;
}

TEST_F(Session, CpuLoadsSymbolicModelWithoutOverridesAndPrintsTheLoadLine) {
  std::string printed;
  Result<OnnxBackend> b = load("nn2x.onnx", Ep{2}, {}, &printed);
  ASSERT_TRUE(b) << b.error().message();
  EXPECT_TRUE(std::regex_match(
      printed, std::regex("model loaded in [0-9]+\\.[0-9]{2}s: " + path_of("nn2x.onnx") + "\n")))
      << printed;
  EXPECT_EQ(b->infer_tiles(), 0u);
  EXPECT_EQ(b->infer_ms(), 0.0);
}

TEST_F(Session, CpuLoadsWithOverrides) {
  Result<OnnxBackend> b = load("nn2x.onnx", Ep{2}, {{"h", 96}, {"w", 128}});
  ASSERT_TRUE(b) << b.error().message();
  Result<std::vector<float>> out = b->infer_tile(planar_tile(128, 96), 128, 96);
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(out->size(), 3u * 192u * 256u);
}

TEST_F(Session, AcceleratedProviderNeedsFixedDimensions) {
  for (Ep ep : {Ep{0}, Ep{1}}) {
    std::string printed;
    Result<OnnxBackend> b = load("nn2x.onnx", ep, {}, &printed);
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error().message(),
              path_of("nn2x.onnx") + ": dimensions 'h', 'w' must be fixed to run on CoreML");
    EXPECT_EQ(printed, "");

    Result<OnnxBackend> fixed = load("nn2x.onnx", ep, {{"h", 256}, {"w", 256}}, &printed);
    ASSERT_TRUE(fixed) << fixed.error().message();
    EXPECT_NE(printed.find("model loaded in "), std::string::npos);
  }
}

TEST_F(Session, FixedShapeMessageListsEachFreeNameOnceInOrder) {
  Result<OnnxBackend> b = load("batch2x.onnx", Ep{0}, {});
  ASSERT_FALSE(b);
  EXPECT_EQ(
      b.error().message(),
      path_of("batch2x.onnx") + ": dimensions 'batch', 'h', 'w' must be fixed to run on CoreML");

  b = load("batch2x.onnx", Ep{0}, {{"h", 64}, {"w", 64}});
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().message(),
            path_of("batch2x.onnx") + ": dimensions 'batch' must be fixed to run on CoreML");

  // h and w appear in both inputs but are named once.
  b = load("twoin.onnx", Ep{1}, {});
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().message(),
            path_of("twoin.onnx") + ": dimensions 'h', 'w' must be fixed to run on CoreML");

  b = load("twoin.onnx", Ep{1}, {{"w", 8}});
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().message(),
            path_of("twoin.onnx") + ": dimensions 'h' must be fixed to run on CoreML");
}

TEST_F(Session, FixedModelLoadsEverywhereWithoutOverrides) {
  for (Ep ep : {Ep{0}, Ep{1}, Ep{2}}) {
    Result<OnnxBackend> b = load("fixed2x.onnx", ep, {});
    ASSERT_TRUE(b) << b.error().message();
    Result<std::vector<float>> out = b->infer_tile(planar_tile(64, 64), 64, 64);
    ASSERT_TRUE(out) << out.error().message();
    EXPECT_EQ(out->size(), 3u * 128u * 128u);
  }
}

TEST_F(Session, LoadErrorsCarryTheProviderHint) {
  testing::TempDir dir;
  const std::string broken = (dir / "broken.onnx").string();
  testing::write_file(broken, "this is not a model");
  const std::string missing = (dir / "missing.onnx").string();
  for (const std::string& path : {broken, missing}) {
    Result<OnnxBackend> cpu = OnnxBackend::load(path, Ep{2}, {});
    ASSERT_FALSE(cpu);
    const std::string runtime_text = cpu.error().message();
    EXPECT_FALSE(runtime_text.empty());
    EXPECT_EQ(runtime_text.find("(CoreML"), std::string::npos);

    Result<OnnxBackend> all = OnnxBackend::load(path, Ep{0}, {});
    ASSERT_FALSE(all);
    EXPECT_EQ(all.error().message(),
              runtime_text + " (CoreML could not load " + path +
                  "; Preferences › Processing › Execution provider: CPU runs it without CoreML)");

    Result<OnnxBackend> ne = OnnxBackend::load(path, Ep{1}, {});
    ASSERT_FALSE(ne);
    EXPECT_EQ(ne.error().message(), runtime_text + " (the Neural Engine could not load " + path +
                                        ", used next to the GPU for this export)");
  }
}

TEST_F(Session, ModelsWithoutInputsOrOutputsAreRejectedAtLoad) {
  for (Ep ep : {Ep{0}, Ep{2}}) {
    std::string printed;
    Result<OnnxBackend> b = load("noinput.onnx", ep, {}, &printed);
    ASSERT_FALSE(b);
    EXPECT_EQ(
        b.error().message(),
        path_of("noinput.onnx") + ": the model has no inputs; a tile model needs an image input");
    EXPECT_EQ(printed, "");
  }
  for (Ep ep : {Ep{0}, Ep{2}}) {
    Result<OnnxBackend> b = load("nooutput.onnx", ep, {{"h", 8}, {"w", 8}});
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error().message(),
              path_of("nooutput.onnx") +
                  ": the model has no outputs; a tile model needs an image output");
  }
}

TEST_F(Session, UnknownProviderIsRefused) {
  Result<OnnxBackend> b = load("nn2x.onnx", Ep{3}, {});
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().message(), "unknown execution provider 3 (expected 0, 1 or 2)");
}

TEST_F(Session, TileOfTwoTimesModelIsTheExactNearestEnlargement) {
  for (Ep ep : {Ep{0}, Ep{2}}) {
    Result<OnnxBackend> b = load("nn2x.onnx", ep, {{"h", 96}, {"w", 128}});
    ASSERT_TRUE(b) << b.error().message();
    const std::vector<float> in = planar_tile(128, 96);
    Result<std::vector<float>> out = b->infer_tile(in, 128, 96);
    ASSERT_TRUE(out) << out.error().message();
    ASSERT_EQ(out->size(), 3u * 256u * 192u);
    const uint64_t plane = 256 * 192;
    for (uint64_t k = 0; k < 3; ++k)
      for (uint64_t i = 0; i < 192; ++i)
        for (uint64_t j = 0; j < 256; ++j)
          ASSERT_EQ((*out)[k * plane + i * 256 + j], in[k * 128 * 96 + (i / 2) * 128 + j / 2])
              << k << "," << i << "," << j;
    EXPECT_EQ(b->infer_tiles(), 1u);
    EXPECT_GT(b->infer_ms(), 0.0);
  }
}

TEST_F(Session, StatisticsCountEverySuccessfulRun) {
  Result<OnnxBackend> b = load("conv2x.onnx", Ep{2}, {});
  ASSERT_TRUE(b) << b.error().message();
  const std::vector<float> in = planar_tile(40, 30);
  double previous = 0.0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(b->infer_tile(in, 40, 30));
    EXPECT_GT(b->infer_ms(), previous);
    previous = b->infer_ms();
  }
  const double wall =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(b->infer_tiles(), 10u);
  EXPECT_LE(b->infer_ms(), wall);

  // A failed run leaves them alone: too few values for the shape.
  Result<std::vector<float>> bad = b->infer_tile(std::span(in).first(100), 40, 30);
  ASSERT_FALSE(bad);
  EXPECT_FALSE(bad.error().message().empty());
  EXPECT_EQ(b->infer_tiles(), 10u);
  EXPECT_EQ(b->infer_ms(), previous);

  // The moved-to backend keeps the session and the figures.
  OnnxBackend moved = std::move(*b);
  EXPECT_EQ(moved.infer_tiles(), 10u);
  ASSERT_TRUE(moved.infer_tile(in, 40, 30));
  EXPECT_EQ(moved.infer_tiles(), 11u);
}

TEST_F(Session, RunErrorOnFixedModelLeavesStatisticsUnchanged) {
  Result<OnnxBackend> b = load("fixed2x.onnx", Ep{2}, {});
  ASSERT_TRUE(b) << b.error().message();
  Result<std::vector<float>> out = b->infer_tile(planar_tile(32, 32), 32, 32);
  ASSERT_FALSE(out);
  EXPECT_FALSE(out.error().message().empty());
  EXPECT_EQ(b->infer_tiles(), 0u);
  EXPECT_EQ(b->infer_ms(), 0.0);
}

TEST_F(Session, HalfPrecisionOutputFailsAtTheFirstTile) {
  Result<OnnxBackend> b = load("fp16out.onnx", Ep{2}, {});
  ASSERT_TRUE(b) << b.error().message();
  Result<std::vector<float>> out = b->infer_tile(planar_tile(16, 8), 16, 8);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(),
            "data type mismatch: output 'output' holds float16 values, expected float32");
  // The run itself succeeded and is counted.
  EXPECT_EQ(b->infer_tiles(), 1u);
}

TEST_F(Session, MultiInputTileIsBoundByNameAndInterleaved) {
  Result<OnnxBackend> b = load("fgnet2x.onnx", Ep{0}, {});
  ASSERT_TRUE(b) << b.error().message();
  const uint64_t T = 288, C = 18;
  std::vector<float> in(T * T * C);
  for (uint64_t p = 0; p < T * T; ++p)
    for (uint64_t c = 0; c < C; ++c)
      in[p * C + c] = static_cast<float>(p % 977) / 977.0f + static_cast<float>(c);
  Result<std::vector<float>> out = b->infer_fgnet_tile(in, T, T, C);
  ASSERT_TRUE(out) << out.error().message();
  ASSERT_EQ(out->size(), 2 * T * 2 * T * 3);
  for (uint64_t y = 0; y < 2 * T; ++y)
    for (uint64_t x = 0; x < 2 * T; ++x)
      for (uint64_t c = 0; c < 3; ++c)
        ASSERT_EQ((*out)[(y * 2 * T + x) * 3 + c], in[((y / 2) * T + x / 2) * C + c]);
  EXPECT_EQ(b->infer_tiles(), 1u);
}

}  // namespace
}  // namespace lmr::inference
