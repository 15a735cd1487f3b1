#include "platform.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <fstream>
#include <sstream>
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
  // frames run many times slower without it) and every processor the process may use is used
  // (the default would use one thread).
  try {
    options.SetIntraOpNumThreads(static_cast<int>(available_processors()));
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

namespace {

uint64_t online_processors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint64_t>(n) : 0;
}

std::string_view trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && space(s.back()))
    s.remove_suffix(1);
  return s;
}

std::optional<int64_t> parse_int(std::string_view s) {
  s = trim(s);
  int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty())
    return std::nullopt;
  return v;
}

std::optional<double> quota_ratio(std::optional<int64_t> quota, std::optional<int64_t> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0)
    return std::nullopt;
  return static_cast<double>(*quota) / static_cast<double>(*period);
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    const size_t end = s.find(sep, start);
    parts.push_back(s.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos)
      return parts;
    start = end + 1;
  }
}

bool has_item(std::string_view list, std::string_view item) {
  auto items = split(list, ',');
  return std::find(items.begin(), items.end(), item) != items.end();
}

// mountinfo writes blanks and backslashes in paths as octal escapes.
std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && s.size() - i >= 4) {
      int v = 0;
      auto [end, ec] = std::from_chars(s.data() + i + 1, s.data() + i + 4, v, 8);
      if (ec == std::errc() && end == s.data() + i + 4) {
        out.push_back(static_cast<char>(v));
        i += 3;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

struct Mount {
  std::string root, point;
};

// The mounts of one cgroup hierarchy: cgroup2, or the v1 one carrying `controller`.
std::vector<Mount> cgroup_mounts(std::string_view mountinfo, std::string_view controller) {
  std::vector<Mount> mounts;
  for (std::string_view line : split(mountinfo, '\n')) {
    std::vector<std::string_view> f = split(line, ' ');
    auto dash = std::find(f.begin(), f.end(), "-");
    if (dash - f.begin() < 5 || f.end() - dash < 4)
      continue;
    const std::string_view type = dash[1], options = dash[3];
    if (controller.empty() ? type == "cgroup2" : type == "cgroup" && has_item(options, controller))
      mounts.push_back({unescape(f[3]), unescape(f[4])});
  }
  return mounts;
}

// The folder of `path` (as /proc/self/cgroup names it) under `mount`. A path
// outside the mounted part (a container that sees only its own subtree but
// the host's names) is the mount's own root.
std::filesystem::path cgroup_dir(const Mount& mount, std::string_view path) {
  std::string_view rel = path;
  if (mount.root != "/") {
    if (rel == mount.root)
      rel = "";
    else if (rel.starts_with(mount.root) && rel.substr(mount.root.size()).starts_with('/'))
      rel.remove_prefix(mount.root.size());
    else
      rel = "";
  }
  return (std::filesystem::path(mount.point) / std::filesystem::path(rel).relative_path())
      .lexically_normal();
}

}  // namespace

std::optional<double> parse_cpu_max(std::string_view cpu_max) {
  std::vector<std::string_view> f = split(trim(cpu_max), ' ');
  if (f.size() != 2 || f[0] == "max")
    return std::nullopt;
  return quota_ratio(parse_int(f[0]), parse_int(f[1]));
}

std::optional<double> parse_cfs_quota(std::string_view quota_us, std::string_view period_us) {
  return quota_ratio(parse_int(quota_us), parse_int(period_us));
}

std::optional<double> cgroup_cpu_quota(std::string_view proc_cgroup,
                                       std::string_view mountinfo,
                                       const FileReader& read) {
  std::optional<double> least;
  auto take = [&](std::optional<double> q) {
    if (q && (!least || *q < *least))
      least = q;
  };
  for (std::string_view line : split(proc_cgroup, '\n')) {
    // "hierarchy-id:controllers:path"; v2 is "0::path".
    const size_t a = line.find(':'), b = a == std::string_view::npos ? a : line.find(':', a + 1);
    if (b == std::string_view::npos)
      continue;
    const std::string_view controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
    const bool v2 = line.substr(0, a) == "0" && controllers.empty();
    if (!v2 && !has_item(controllers, "cpu"))
      continue;
    for (const Mount& mount : cgroup_mounts(mountinfo, v2 ? "" : "cpu")) {
      const std::filesystem::path top = std::filesystem::path(mount.point).lexically_normal();
      // A parent's limit binds its children too.
      for (std::filesystem::path dir = cgroup_dir(mount, path);; dir = dir.parent_path()) {
        if (v2) {
          take(parse_cpu_max(read(dir / "cpu.max").value_or("")));
        } else {
          take(parse_cfs_quota(read(dir / "cpu.cfs_quota_us").value_or(""),
                               read(dir / "cpu.cfs_period_us").value_or("")));
        }
        if (dir == top || dir == dir.parent_path() || !dir.has_relative_path())
          break;
      }
    }
  }
  return least;
}

uint64_t available_processors() {
  uint64_t cpus = 0;
#ifdef __APPLE__
  cpus = online_processors();
#else
  // The mask may name more processors than a cpu_set_t holds: grow it until
  // the kernel accepts the size.
  for (size_t sets = 1; sets <= 64 && cpus == 0; sets *= 2) {
    std::vector<cpu_set_t> mask(sets);
    const size_t bytes = sets * sizeof(cpu_set_t);
    if (sched_getaffinity(0, bytes, mask.data()) == 0)
      cpus = static_cast<uint64_t>(CPU_COUNT_S(bytes, mask.data()));
    else if (errno != EINVAL)
      break;
  }
  if (cpus == 0)
    cpus = online_processors();
  auto read = [](const std::filesystem::path& path) -> std::optional<std::string> {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf()) || in.bad())
      return std::nullopt;
    return std::move(text).str();
  };
  const auto cgroup = read("/proc/self/cgroup"), mountinfo = read("/proc/self/mountinfo");
  if (cgroup && mountinfo) {
    if (auto quota = cgroup_cpu_quota(*cgroup, *mountinfo, read))
      cpus = std::min<uint64_t>(cpus == 0 ? UINT64_MAX : cpus,
                                static_cast<uint64_t>(std::ceil(*quota)));
  }
#endif
  return std::max<uint64_t>(cpus, 1);
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
