#include "platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <onnxruntime_cxx_api.h>

#include <string>
#include <vector>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace lmr::platform {

#ifdef __APPLE__

const char* const kOrtLibraryName = "libonnxruntime.dylib";
const char* const kOrtBundleDir = "../Frameworks";

std::optional<std::filesystem::path> executable_path() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string buf(size, '\0');
  if (_NSGetExecutablePath(buf.data(), &size) != 0)
    return std::nullopt;
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  if (buf.empty())
    return std::nullopt;
  return std::filesystem::path(buf);
}

bool is_ort_library_name(std::string_view name) {
  return name.size() > 14 && name.starts_with("libonnxruntime.") && name.ends_with(".dylib");
}

EncoderFamily encoder_family() {
  return EncoderFamily::kVideoToolbox;
}

std::filesystem::path default_app_data(const EnvLookup& env, std::string_view identifier) {
  return std::filesystem::path(env("HOME").value_or("")) /
         (std::string("Library/Application Support/") + std::string(identifier));
}

Status append_accelerated_provider(Ort::SessionOptions& options, uint8_t ep) {
  const char* keys[] = {"ModelFormat", "MLComputeUnits", "RequireStaticInputShapes",
                        "AllowLowPrecisionAccumulationOnGPU"};
  const char* values[] = {"MLProgram", ep == 0 ? "ALL" : "CPUAndNeuralEngine", "1", "1"};
  OrtStatus* status =
      Ort::GetApi().SessionOptionsAppendExecutionProvider(options, "CoreML", keys, values, 4);
  if (status != nullptr) {
    Ort::Status owned(status);
    return fail(owned.GetErrorMessage());
  }
  return {};
}

#else

const char* const kOrtLibraryName = "libonnxruntime.so";
const char* const kOrtBundleDir = "../lib";

std::optional<std::filesystem::path> executable_path() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || path.empty())
    return std::nullopt;
  return path;
}

bool is_ort_library_name(std::string_view name) {
  return name == "libonnxruntime.so" || name.starts_with("libonnxruntime.so.");
}

EncoderFamily encoder_family() {
  return EncoderFamily::kSoftware;
}

std::filesystem::path default_app_data(const EnvLookup& env, std::string_view /*identifier*/) {
  if (auto xdg = env("XDG_DATA_HOME"); xdg && !xdg->empty() && xdg->front() == '/')
    return std::filesystem::path(*xdg) / "lumerant";
  return std::filesystem::path(env("HOME").value_or("")) / ".local/share/lumerant";
}

Status append_accelerated_provider(Ort::SessionOptions& options, uint8_t /*ep*/) {
  // No CoreML here: the CPU provider stands in. The arena stays on (whole
  // frames run many times slower without it) and every core is used (the
  // default would use one thread).
  try {
    uint64_t cpus = online_processors();
    options.SetIntraOpNumThreads(static_cast<int>(cpus == 0 ? 1 : cpus));
    // Spinning workers would take the cores from the tile building and
    // blending that run between two inference calls.
    options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  } catch (const Ort::Exception& e) {
    return fail(e.what());
  }
  return {};
}

#endif

#ifdef F_SETPIPE_SZ
void enlarge_pipe(int fd) {
  // Up to the unprivileged limit (1 MiB by default); smaller is still fine.
  ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}
#else
void enlarge_pipe(int) {}
#endif

int inherit_only_stdio(posix_spawn_file_actions_t& actions, short& flags) {
#ifdef __APPLE__
  flags = static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
  for (int fd = 0; fd < 3; ++fd)
    if (int rc = posix_spawn_file_actions_addinherit_np(&actions, fd); rc != 0)
      return rc;
  return 0;
#else
  (void)flags;
  return posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
}

std::optional<std::filesystem::path> executable_dir() {
  auto path = executable_path();
  if (!path || !path->has_parent_path())
    return std::nullopt;
  return path->parent_path();
}

uint64_t online_processors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint64_t>(n) : 0;
}

void keep_freed_memory() {
#ifdef __GLIBC__
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, INT_MAX);
  // Each frame starts new threads, which take glibc's per-thread arenas in
  // turn; with trimming off every arena would keep its own peak, and memory
  // would climb with the frames until all of them had one.
  mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace lmr::platform
