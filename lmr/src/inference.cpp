#include "inference.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

#include "cancel.h"
#include "platform.h"
#include "text.h"

namespace lmr::inference {

namespace fs = std::filesystem;

namespace {

bool stat_ok(const fs::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// First entry of `dir`, in listing order, that names the runtime library.
std::optional<fs::path> find_versioned(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec)
    return std::nullopt;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec)
      break;
    if (platform::is_ort_library_name(it->path().filename().string())) {
      return dir / it->path().filename();
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<fs::path> find_ort_library(const fs::path& dir) {
  for (const fs::path& p :
       {dir / platform::kOrtLibraryName, dir / "runtime" / platform::kOrtLibraryName}) {
    if (stat_ok(p))
      return p;
  }
  if (auto p = find_versioned(dir))
    return p;
  return find_versioned(dir / platform::kOrtBundleDir);
}

namespace {

// Environment settings registered by init_ort_dylib; the environment itself
// is created with the first session.
std::once_flag env_settings_once;
const char* env_name = nullptr;

struct Runtime {
  Status status;
  // The library stays loaded until the process ends, so the API table and
  // every session built on it stay valid; the handle is never closed.
  void* handle = nullptr;
};

Runtime open_runtime() {
  const char* var = std::getenv("ORT_DYLIB_PATH");
  fs::path path =
      (var != nullptr && *var != '\0') ? fs::path(var) : fs::path(platform::kOrtLibraryName);
  fs::path to_open = path;
  if (path.is_relative()) {
    auto exe = platform::executable_path();
    if (!exe)
      return {fail("could not get current executable path")};
    if (!exe->has_parent_path())
      return {fail("executable is root?")};
    fs::path beside = exe->parent_path() / path;
    if (stat_ok(beside))
      to_open = beside;
  }
  void* handle = dlopen(to_open.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return {std::unexpected(Error("Failed to load ONNX Runtime dylib",
                                  Error(why != nullptr ? why : to_open.string())))};
  }
  using GetApiBaseFn = const OrtApiBase* (*)();
  auto get_base = reinterpret_cast<GetApiBaseFn>(dlsym(handle, "OrtGetApiBase"));
  if (get_base == nullptr) {
    return {fail("`OrtGetApiBase` must be present in ONNX Runtime dylib"), handle};
  }
  const OrtApiBase* base = get_base();
  const OrtApi* api = base != nullptr ? base->GetApi(24) : nullptr;
  if (api == nullptr)
    return {fail("Failed to initialize ORT API"), handle};
  Ort::InitApi(api);
  return {{}, handle};
}

}  // namespace

void init_ort_dylib() {
  // The runtime's built-in telemetry writes a device identifier and an event
  // cache under HOME and files in TMPDIR as soon as the library loads; the
  // engine writes nothing but its output. A caller's own value stands.
  setenv("ORT_DISABLE_TELEMETRY", "1", 0);
  const char* var = std::getenv("ORT_DYLIB_PATH");
  if (var == nullptr || !text::is_valid_utf8(var)) {
    if (auto lib = find_ort_library(platform::executable_dir().value_or(fs::path("."))))
      setenv("ORT_DYLIB_PATH", lib->c_str(), 1);
  }
  std::call_once(env_settings_once, [] { env_name = "default"; });
}

Status load_runtime() {
  static const Runtime runtime = open_runtime();
  return runtime.status;
}

Result<Ort::Env*> environment() {
  if (auto st = load_runtime(); !st)
    return std::unexpected(st.error());
  static std::once_flag once;
  // Deliberately never destroyed: sessions may outlive static destruction
  // order, and the library is never unloaded either.
  static Ort::Env* env = nullptr;
  static std::optional<Error> error;
  std::call_once(once, [] {
    std::call_once(env_settings_once, [] { env_name = "default"; });
    try {
      // The runtime's own log lines would interleave with the lines the
      // desktop application reads; its errors reach the user as error values.
      env = new Ort::Env(ORT_LOGGING_LEVEL_FATAL, env_name);
    } catch (const Ort::Exception& e) {
      error = Error(e.what());
    }
  });
  if (error)
    return std::unexpected(*error);
  return env;
}

// ---- Model sessions ----

namespace {

using Clock = std::chrono::steady_clock;

std::string element_type_name(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
      return "float32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
      return "float16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
      return "bfloat16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE:
      return "float64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
      return "uint8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8:
      return "int8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
      return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64:
      return "int64";
    default:
      return text::format("element type %d", static_cast<int>(type));
  }
}

std::string load_error_suffix(const std::string& path, Ep ep) {
  if (ep == Ep::coreml_all) {
    return " (CoreML could not load " + path +
           "; Preferences › Processing › Execution provider: CPU runs it without CoreML)";
  }
  if (ep == Ep::coreml_cpu_and_neural_engine)
    return " (the Neural Engine could not load " + path + ", used next to the GPU for this export)";
  return "";
}

// Names of free input dimensions that no override fixes, each once, in order
// of first appearance.
std::vector<std::string> unfixed_dimensions(const Ort::Session& session,
                                            const std::vector<DimOverride>& overrides) {
  std::vector<std::string> names;
  for (size_t i = 0; i < session.GetInputCount(); ++i) {
    Ort::TypeInfo type = session.GetInputTypeInfo(i);
    if (type.GetONNXType() != ONNX_TYPE_TENSOR)
      continue;
    auto tensor = type.GetTensorTypeAndShapeInfo();
    std::vector<int64_t> shape = tensor.GetShape();
    std::vector<const char*> symbols = tensor.GetSymbolicDimensions();
    for (size_t k = 0; k < std::min(shape.size(), symbols.size()); ++k) {
      if (shape[k] >= 0)
        continue;
      std::string name = symbols[k] != nullptr ? symbols[k] : "";
      bool overridden = std::any_of(overrides.begin(), overrides.end(),
                                    [&](const DimOverride& o) { return o.first == name; });
      if (!overridden && std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
    }
  }
  return names;
}

// The receptive radius the model's file records; a value that is not a
// plain decimal number is no radius (the model keeps whole-tile reuse).
std::optional<uint64_t> recorded_radius(const Ort::Session& session) {
  try {
    Ort::AllocatorWithDefaultOptions allocator;
    Ort::ModelMetadata meta = session.GetModelMetadata();
    Ort::AllocatedStringPtr value =
        meta.LookupCustomMetadataMapAllocated("lmr.receptive_radius", allocator);
    if (!value)
      return std::nullopt;
    const std::string text = value.get();
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    return std::stoull(text);
  } catch (const Ort::Exception&) {
    return std::nullopt;
  }
}

bool free_height_and_width(const Ort::Session& session) {
  try {
    Ort::TypeInfo type = session.GetInputTypeInfo(0);
    if (type.GetONNXType() != ONNX_TYPE_TENSOR)
      return false;
    const std::vector<int64_t> shape = type.GetTensorTypeAndShapeInfo().GetShape();
    return shape.size() == 4 && shape[2] < 0 && shape[3] < 0;
  } catch (const Ort::Exception&) {
    return false;
  }
}

}  // namespace

struct OnnxBackend::Stop {
  Ort::RunOptions options;
  // Declared last: it goes first, before the options it terminates.
  cancel::Hook hook{[this] { options.SetTerminate(); }};
};

OnnxBackend::OnnxBackend(Ort::Session session,
                         std::vector<std::string> input_names,
                         std::vector<std::string> output_names)
    : session_(std::move(session)),
      stop_(std::make_unique<Stop>()),
      input_names_(std::move(input_names)),
      output_names_(std::move(output_names)) {}

OnnxBackend::OnnxBackend(OnnxBackend&&) noexcept = default;
OnnxBackend& OnnxBackend::operator=(OnnxBackend&&) noexcept = default;
OnnxBackend::~OnnxBackend() = default;

Result<OnnxBackend> OnnxBackend::load(const std::string& path,
                                      Ep ep,
                                      const std::vector<DimOverride>& overrides,
                                      bool announce) {
  const auto byte = static_cast<uint8_t>(ep);
  if (byte > 2)
    return fail(text::format("unknown execution provider %u (expected 0, 1 or 2)", unsigned{byte}));
  Result<Ort::Env*> env = environment();
  if (!env)
    return std::unexpected(env.error());

  Ort::SessionOptions options{nullptr};
  try {
    options = Ort::SessionOptions();
    for (const auto& [name, value] : overrides)
      options.AddFreeDimensionOverrideByName(name.c_str(), value);
  } catch (const Ort::Exception& e) {
    return fail(e.what());
  }
  if (ep == Ep::cpu) {
    // A session without the arena still works; nothing to report.
    try {
      options.DisableCpuMemArena();
    } catch (const Ort::Exception&) {
    }
  } else if (Status st = platform::append_accelerated_provider(options, byte); !st) {
    return std::unexpected(st.error());
  }

  const Clock::time_point start = Clock::now();
  Ort::Session session{nullptr};
  try {
    session = Ort::Session(**env, path.c_str(), options);
  } catch (const Ort::Exception& e) {
    return fail(e.what() + load_error_suffix(path, ep));
  }

  std::vector<std::string> inputs, outputs;
  try {
    Ort::AllocatorWithDefaultOptions allocator;
    for (size_t i = 0; i < session.GetInputCount(); ++i)
      inputs.emplace_back(session.GetInputNameAllocated(i, allocator).get());
    for (size_t i = 0; i < session.GetOutputCount(); ++i)
      outputs.emplace_back(session.GetOutputNameAllocated(i, allocator).get());
    // A tile goes into the first input and comes out of the first output.
    if (inputs.empty())
      return fail(path + ": the model has no inputs; a tile model needs an image input");
    if (outputs.empty())
      return fail(path + ": the model has no outputs; a tile model needs an image output");
    if (ep != Ep::cpu) {
      std::vector<std::string> unfixed = unfixed_dimensions(session, overrides);
      if (!unfixed.empty()) {
        std::string list;
        for (const std::string& name : unfixed)
          list += (list.empty() ? "'" : ", '") + name + "'";
        return fail(path + ": dimensions " + list + " must be fixed to run on CoreML");
      }
    }
  } catch (const Ort::Exception& e) {
    return fail(e.what());
  }

  const std::optional<uint64_t> radius = recorded_radius(session);
  const bool free_size = overrides.empty() && free_height_and_width(session);
  const double seconds = std::max(0.0, std::chrono::duration<double>(Clock::now() - start).count());
  if (announce)
    std::fprintf(stderr, "model loaded in %.2fs: %s\n", seconds, path.c_str());
  OnnxBackend backend(std::move(session), std::move(inputs), std::move(outputs));
  backend.radius_ = radius;
  backend.free_size_ = free_size;
  return backend;
}

Result<std::vector<float>> OnnxBackend::infer_tile(std::span<const float> data,
                                                   uint64_t width,
                                                   uint64_t height) {
  return run(data, {1, 3, static_cast<int64_t>(height), static_cast<int64_t>(width)});
}

Result<std::vector<float>> OnnxBackend::infer_fgnet_tile(std::span<const float> data,
                                                         uint64_t width,
                                                         uint64_t height,
                                                         uint64_t channels) {
  return run(data, {1, static_cast<int64_t>(height), static_cast<int64_t>(width),
                    static_cast<int64_t>(channels)});
}

Result<std::vector<float>> OnnxBackend::run(std::span<const float> data,
                                            const std::vector<int64_t>& shape) {
  std::vector<Ort::Value> results;
  if (auto st = cancel::check(); !st)
    return std::unexpected(st.error());
  try {
    Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    // The runtime only reads inputs, so the caller's buffer is lent, not copied.
    Ort::Value input = Ort::Value::CreateTensor<float>(memory, const_cast<float*>(data.data()),
                                                       data.size(), shape.data(), shape.size());
    std::vector<const char*> output_names;
    for (const std::string& name : output_names_)
      output_names.push_back(name.c_str());
    const char* input_name = input_names_.front().c_str();

    const Clock::time_point start = Clock::now();
    results = session_.Run(stop_->options, &input_name, &input, 1, output_names.data(),
                           output_names.size());
    infer_ms_ +=
        std::max(0.0, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    infer_tiles_ += 1;
  } catch (const Ort::Exception& e) {
    return fail(e.what());
  }

  try {
    const Ort::Value& first = results.front();
    auto info = first.GetTensorTypeAndShapeInfo();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
      return fail(text::format("data type mismatch: output '%s' holds %s values, expected float32",
                               output_names_.front().c_str(),
                               element_type_name(info.GetElementType()).c_str()));
    }
    uint64_t count = 1;
    for (int64_t d : info.GetShape())
      count = d < 0 ? 0 : count * static_cast<uint64_t>(d);
    const float* values = first.GetTensorData<float>();
    return std::vector<float>(values, values + count);
  } catch (const Ort::Exception& e) {
    return fail(e.what());
  }
}

}  // namespace lmr::inference
