// Everything that differs between macOS (the shipping platform) and Linux
// (where the engine is developed and tested), chosen at compile time.
#pragma once

#include <spawn.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace Ort {
struct SessionOptions;
}

namespace lmr::platform {

// Path of the running executable as the platform reports it (not
// canonicalised), or nothing when it cannot be obtained.
std::optional<std::filesystem::path> executable_path();

// Parent folder of executable_path(), or nothing.
std::optional<std::filesystem::path> executable_dir();

// Reads one environment variable: nothing when it is unset (or unusable).
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The desktop application's data folder when none is given. macOS:
// $HOME/Library/Application Support/`identifier`. Linux, which has no such
// folder: $XDG_DATA_HOME/lumerant when that is an absolute path (relative
// values are invalid there and ignored), else $HOME/.local/share/lumerant.
// An unset HOME counts as empty, which leaves the path relative.
std::filesystem::path default_app_data(const EnvLookup& env, std::string_view identifier);

// Plain file name of the ONNX Runtime library ("libonnxruntime.dylib" on
// macOS, "libonnxruntime.so" on Linux).
extern const char* const kOrtLibraryName;

// Folder, relative to the executable's, where a bundle keeps its libraries
// ("../Frameworks" on macOS, "../lib" on Linux).
extern const char* const kOrtBundleDir;

// Whether a directory entry names an ONNX Runtime library, versioned or not
// (macOS: "libonnxruntime.*.dylib"; Linux: "libonnxruntime.so[.*]").
bool is_ort_library_name(std::string_view name);

// The hardware video encoders of the platform: VideoToolbox on macOS; on
// Linux the software encoders stand in for them.
enum class EncoderFamily { kVideoToolbox, kSoftware };
EncoderFamily encoder_family();

// Registers the accelerated execution provider for `ep` 0 (all compute
// units) or 1 (CPU and Neural Engine) on `options`. macOS: CoreML with its
// fixed option list. Elsewhere: the CPU provider, memory arena on and one
// intra-op thread per available processor. Fails with the runtime's text.
Status append_accelerated_provider(Ort::SessionOptions& options, uint8_t ep);

// Asks for a pipe buffer big enough for a good part of a raw video frame
// (Linux); elsewhere the system's size stays. Never fails.
void enlarge_pipe(int fd);

// Makes a child spawned with `actions` (after its dup2 actions) and the
// spawn flags `flags` inherit no descriptor but 0, 1 and 2: libraries open
// files without close-on-exec (the ONNX Runtime build for Linux keeps a log
// file open). Returns 0 or an errno value.
int inherit_only_stdio(posix_spawn_file_actions_t& actions, short& flags);

// Number of processors this process may run on, at least 1: a scheduler or a
// container hands a task a few CPUs, not the machine. Linux: the processors
// of the CPU affinity mask, capped by the cgroup CPU quota (v2 cpu.max, v1
// cfs_quota_us / cfs_period_us, the smallest of the process's cgroup and its
// ancestors) rounded up. macOS: the active processors. Read afresh each call.
uint64_t available_processors();

// The CPU quota of a cgroup as a processor count, or nothing when unlimited
// or unreadable: v2 takes cpu.max ("150000 100000", "max 100000"), v1 the
// texts of cpu.cfs_quota_us and cpu.cfs_period_us ("-1" is unlimited).
std::optional<double> parse_cpu_max(std::string_view cpu_max);
std::optional<double> parse_cfs_quota(std::string_view quota_us, std::string_view period_us);

// Reads a whole small file: nothing when it cannot be read.
using FileReader = std::function<std::optional<std::string>(const std::filesystem::path&)>;

// The smallest CPU quota, in processors, of the cgroups that hold the process
// and their ancestors up to each hierarchy's mount point, found from the
// texts of /proc/self/cgroup and /proc/self/mountinfo and read with `read`;
// nothing when none is limited.
std::optional<double> cgroup_cpu_quota(std::string_view proc_cgroup,
                                       std::string_view mountinfo,
                                       const FileReader& read);

// Makes freed memory stay in the process for reuse. The pipelines allocate
// and free frame-sized buffers (tens of MB) on every frame; glibc hands such
// blocks back to the system, so every frame would fault its pages in again.
// Linux: no mmap for large blocks, no trimming of the heap and one heap for
// all threads (so what is kept does not multiply with them). macOS: nothing.
void keep_freed_memory();

}  // namespace lmr::platform
