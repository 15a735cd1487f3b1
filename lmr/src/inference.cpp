#include "inference.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

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
      env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, env_name);
    } catch (const Ort::Exception& e) {
      error = Error(e.what());
    }
  });
  if (error)
    return std::unexpected(*error);
  return env;
}

}  // namespace lmr::inference
