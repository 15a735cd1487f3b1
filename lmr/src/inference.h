// ONNX Runtime: finding and loading the runtime library, and model sessions.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "error.h"

namespace lmr::inference {

// Finds the runtime library next to the executable (or in its runtime/ or
// bundle folder) and publishes it in ORT_DYLIB_PATH unless that variable is
// already set; sets ORT_DISABLE_TELEMETRY=1 unless that variable is already
// set (to any value); registers the process-wide environment settings.
// Called first thing by main, on the main thread. Never fails.
void init_ort_dylib();

// The runtime library init_ort_dylib picks for an executable in `exe_dir`:
// the plain name there or in runtime/, else the first matching (versioned)
// name listed there, else in the bundle's library folder.
std::optional<std::filesystem::path> find_ort_library(const std::filesystem::path& exe_dir);

// Loads the library that ORT_DYLIB_PATH names (once per process), asks it for
// API version 24 and initialises the C++ API over that table. Later calls
// return the first outcome.
Status load_runtime();

// The process-wide environment, created on first use after load_runtime().
Result<Ort::Env*> environment();

// Execution-provider selector; the byte values are those the job record and
// the desktop application use.
enum class Ep : uint8_t {
  coreml_all = 0,                    // CoreML, all compute units
  coreml_cpu_and_neural_engine = 1,  // CoreML on CPU and Neural Engine, no GPU
  cpu = 2,                           // CPU provider without memory arena
};

// A free dimension of the model fixed to a value by name, e.g. ("h", 256).
using DimOverride = std::pair<std::string, int64_t>;

// One model session plus its running statistics. Used by one thread at a
// time; move-only.
class OnnxBackend {
 public:
  // Loads `path` on `ep` with `overrides`; prints "model loaded in ..." on
  // success. Fails with the runtime's text (plus the provider hint for ep 0
  // and 1), or with the fixed-shape message on CoreML.
  // `announce` false: no line (a helper session of one already announced).
  static Result<OnnxBackend> load(const std::string& path,
                                  Ep ep,
                                  const std::vector<DimOverride>& overrides,
                                  bool announce = true);

  // Runs one planar [1, 3, height, width] tile (viewed, not copied); returns
  // the first output's elements in the tensor's order.
  Result<std::vector<float>> infer_tile(std::span<const float> data,
                                        uint64_t width,
                                        uint64_t height);

  // Runs one interleaved [1, height, width, channels] tile bound to the first
  // input by name.
  Result<std::vector<float>> infer_fgnet_tile(std::span<const float> data,
                                              uint64_t width,
                                              uint64_t height,
                                              uint64_t channels);

  // The model's receptive radius in input pixels when its file records one
  // (metadata "lmr.receptive_radius", written for models known to be local:
  // every output pixel computed from the input pixels at most that far, the
  // same way at any place); nothing otherwise.
  std::optional<uint64_t> receptive_radius() const { return radius_; }
  // True when the model's first input leaves its height and width free (as
  // the session was loaded), so tiles of any size may run.
  bool free_size() const { return free_size_; }

  double infer_ms() const { return infer_ms_; }
  uint64_t infer_tiles() const { return infer_tiles_; }

  OnnxBackend(OnnxBackend&&) noexcept;
  OnnxBackend& operator=(OnnxBackend&&) noexcept;
  ~OnnxBackend();

 private:
  OnnxBackend(Ort::Session session,
              std::vector<std::string> input_names,
              std::vector<std::string> output_names);
  Result<std::vector<float>> run(std::span<const float> data, const std::vector<int64_t>& shape);

  // The run options a stop request terminates, so a job never waits for a
  // whole frame's inference to end.
  struct Stop;
  Ort::Session session_;
  std::unique_ptr<Stop> stop_;
  std::vector<std::string> input_names_;
  std::vector<std::string> output_names_;
  std::optional<uint64_t> radius_;
  bool free_size_ = false;
  double infer_ms_ = 0.0;
  uint64_t infer_tiles_ = 0;
};

}  // namespace lmr::inference
