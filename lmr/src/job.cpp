#include "job.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <set>
#include <system_error>

#include "catalog.h"
#include "ffbin.h"
#include "staging.h"
#include "text.h"
#include "video.h"

namespace lmr::job {

namespace fs = std::filesystem;
using ull = unsigned long long;

namespace {

constexpr std::string_view kHeader = "lmr-job 1";
constexpr std::string_view kOptionPrefix = "opt.";

Error with_os_cause(const std::string& message, int err) {
  return Error(message, Error(os_error_text(err)));
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Newlines would end a manifest line early; backslashes escape them.
std::string escape(std::string_view v) {
  std::string out;
  for (char c : v) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::optional<std::string> unescape(std::string_view v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\') {
      out += v[i];
      continue;
    }
    if (++i == v.size())
      return std::nullopt;
    if (v[i] == '\\')
      out += '\\';
    else if (v[i] == 'n')
      out += '\n';
    else if (v[i] == 'r')
      out += '\r';
    else
      return std::nullopt;
  }
  return out;
}

// The manifest's fixed fields, in the order they are written, with the
// words a mismatch is reported in.
struct Field {
  std::string_view key, label;
  std::string Manifest::*text = nullptr;
  uint64_t Manifest::*number = nullptr;
  bool compared = true;
};
const Field kFields[] = {
    {"engine", "engine version", &Manifest::engine},
    {"source", "source path", &Manifest::source},
    {"source_size", "source size", nullptr, &Manifest::source_size},
    {"source_mtime_ns", "source modification time"},
    {"source_digest", "source content", &Manifest::source_digest},
    {"model", "model path", &Manifest::model},
    {"model_digest", "model file content", &Manifest::model_digest},
    {"output", "output", &Manifest::output},
    {"audio_cut", "audio length", &Manifest::audio_cut},
    {"audio", "audio handling", &Manifest::audio},
    {"source_offset", "source start offset", &Manifest::source_offset},
    {"subtitles", "subtitles", &Manifest::subtitles},
    {"muxer", "container", &Manifest::muxer},
    {"frames", "frame count", nullptr, &Manifest::frames, false},
    {"segment_frames", "--segment-frames", nullptr, &Manifest::segment_frames},
};

std::string field_value(const Field& f, const Manifest& m) {
  if (f.text)
    return m.*(f.text);
  if (f.number)
    return std::to_string(m.*(f.number));
  return std::to_string(m.source_mtime_ns);
}

Status set_field(const Field& f, Manifest& m, const std::string& value) {
  if (f.text) {
    m.*(f.text) = value;
    return {};
  }
  if (f.number) {
    auto n = text::parse_unsigned(value);
    if (!n)
      return fail(std::string(f.key) + ": " + n.error().message());
    m.*(f.number) = *n;
    return {};
  }
  const bool negative = value.starts_with('-');
  auto n = text::parse_unsigned(negative ? std::string_view(value).substr(1) : value, INT64_MAX);
  if (!n)
    return fail(std::string(f.key) + ": " + n.error().message());
  m.source_mtime_ns = negative ? -static_cast<int64_t>(*n) : static_cast<int64_t>(*n);
  return {};
}

using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string hex(const unsigned char* bytes, unsigned int len) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
  return out;
}

fs::path size_path(const fs::path& dir, uint64_t k) {
  return dir / text::format("seg-%06llu.size", static_cast<unsigned long long>(k));
}

// A short file's content, or nothing when it cannot be read.
std::string read_small(const fs::path& path) {
  Fd fd(open_retrying(path.c_str(), O_RDONLY));
  char buf[64];
  ssize_t n = -1;
  if (fd.valid()) {
    do {
      n = ::read(fd.get(), buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
  }
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

Result<uint64_t> task_index(
    const JobOptions& options,
    const std::function<std::optional<std::string>(std::string_view)>& env) {
  const uint64_t tasks = options.tasks.value_or(1);
  uint64_t index = 0;
  std::string from = "--task-index";
  if (options.task_index) {
    index = *options.task_index;
  } else {
    bool found = false;
    for (std::string_view var : kTaskIndexVariables) {
      std::optional<std::string> value = env(var);
      if (!value || value->empty())
        continue;
      auto n = text::parse_unsigned(*value);
      if (!n)
        return fail(std::string(var) + "=" + *value +
                    " is not a task index (a whole number from 0): " + n.error().message());
      index = *n;
      from = std::string(var);
      found = true;
      break;
    }
    if (!found)
      return fail(
          "--tasks needs --task-index, or one of the variables SLURM_ARRAY_TASK_ID, "
          "JOB_COMPLETION_INDEX, AWS_BATCH_JOB_ARRAY_INDEX set by the scheduler");
  }
  if (index >= tasks)
    return fail(text::format("%s %llu is out of range for --tasks %llu (0 to %llu)", from.c_str(),
                             ull(index), ull(tasks), ull(tasks - 1)));
  return index;
}

uint64_t Manifest::segments() const {
  return segment_frames == 0 ? 0 : (frames + segment_frames - 1) / segment_frames;
}
uint64_t Manifest::segment_start(uint64_t k) const {
  return k * segment_frames;
}
uint64_t Manifest::segment_length(uint64_t k) const {
  const uint64_t start = segment_start(k);
  return start >= frames ? 0 : std::min(segment_frames, frames - start);
}

std::string manifest_text(const Manifest& m) {
  std::string out(kHeader);
  out += "\n";
  for (const Field& f : kFields)
    out += std::string(f.key) + "=" + escape(field_value(f, m)) + "\n";
  for (const auto& [name, value] : m.options)
    out += std::string(kOptionPrefix) + escape(name) + "=" + escape(value) + "\n";
  return out;
}

Result<Manifest> parse_manifest(std::string_view text_in) {
  if (!text_in.ends_with('\n'))
    return fail("the manifest does not end with a line break (cut short)");
  std::string_view rest = text_in;
  auto next_line = [&rest] {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest.remove_prefix(nl + 1);
    return line;
  };
  if (next_line() != kHeader)
    return fail("the manifest does not begin with \"" + std::string(kHeader) + "\"");
  Manifest m;
  std::set<std::string, std::less<>> seen;
  while (!rest.empty()) {
    std::string_view line = next_line();
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      return fail("manifest line without '=': " + text::lossy_utf8(line));
    std::string_view key = line.substr(0, eq);
    auto value = unescape(line.substr(eq + 1));
    if (!value)
      return fail("manifest value with a broken escape: " + text::lossy_utf8(line));
    if (!seen.emplace(key).second)
      return fail("manifest key given twice: " + text::lossy_utf8(key));
    if (key.starts_with(kOptionPrefix)) {
      auto name = unescape(key.substr(kOptionPrefix.size()));
      if (!name || name->empty())
        return fail("manifest option without a name: " + text::lossy_utf8(line));
      m.options.emplace_back(*name, *value);
      continue;
    }
    const Field* field = nullptr;
    for (const Field& f : kFields)
      field = f.key == key ? &f : field;
    if (field == nullptr)
      return fail("unknown manifest key: " + text::lossy_utf8(key));
    if (auto st = set_field(*field, m, *value); !st)
      return std::unexpected(Error("invalid manifest value", st.error()));
  }
  for (const Field& f : kFields) {
    if (!seen.contains(f.key))
      return fail("the manifest lacks " + std::string(f.key));
  }
  if (m.segment_frames == 0)
    return fail("the manifest's segment_frames is 0");
  return m;
}

std::vector<std::string> manifest_differences(const Manifest& stored, const Manifest& wanted) {
  std::vector<std::string> out;
  for (const Field& f : kFields) {
    if (!f.compared)
      continue;
    const std::string a = field_value(f, stored), b = field_value(f, wanted);
    if (a == b)
      continue;
    // Digests and paths say little to a reader; the short values help.
    if (a.size() <= 24 && b.size() <= 24)
      out.push_back(std::string(f.label) + " (" + a + " in the folder, " + b + " now)");
    else
      out.push_back(std::string(f.label));
  }
  auto find = [](const Manifest& m, const std::string& name) -> std::optional<std::string> {
    for (const auto& [n, v] : m.options) {
      if (n == name)
        return v;
    }
    return std::nullopt;
  };
  std::set<std::string> names;
  for (const auto& o : stored.options)
    names.insert(o.first);
  for (const auto& o : wanted.options)
    names.insert(o.first);
  for (const std::string& name : names) {
    auto a = find(stored, name), b = find(wanted, name);
    if (a != b)
      out.push_back(name + " (" + a.value_or("absent") + " in the folder, " + b.value_or("absent") +
                    " now)");
  }
  return out;
}

Status describe_source(const fs::path& source, Manifest& m) {
  struct stat st {};
  if (::stat(source.c_str(), &st) != 0)
    return std::unexpected(with_os_cause("cannot examine the source " + source.string(), errno));
  Fd fd(open_retrying(source.c_str(), O_RDONLY));
  if (!fd.valid())
    return std::unexpected(with_os_cause("cannot open the source " + source.string(), errno));
  m.source = fs::absolute(source).lexically_normal().string();
  m.source_size = static_cast<uint64_t>(st.st_size);
  m.source_mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  // Size, then the first and the last MiB: whole films are too long to read
  // at every start, and an edit or a re-export changes the ends.
  MdCtx ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    return fail("SHA-256 is not available");
  const std::string size_text = std::to_string(m.source_size) + "\n";
  EVP_DigestUpdate(ctx.get(), size_text.data(), size_text.size());
  constexpr uint64_t kPart = 1 << 20;
  std::vector<unsigned char> block(kPart);
  const uint64_t tail = m.source_size > kPart ? m.source_size - kPart : 0;
  for (uint64_t offset : {uint64_t{0}, tail}) {
    uint64_t done = 0;
    while (done < kPart) {
      ssize_t n = ::pread(fd.get(), block.data(), kPart - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return std::unexpected(with_os_cause("cannot read the source " + source.string(), errno));
      if (n == 0)
        break;
      EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n));
      done += static_cast<uint64_t>(n);
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
    return fail("SHA-256 failed");
  m.source_digest = hex(digest, len);
  return {};
}

Result<std::string> model_digest(const fs::path& model) {
  return catalog::sha256_file(model);
}

fs::path segment_path(const fs::path& dir, uint64_t k) {
  return dir / text::format("seg-%06llu.mov", ull(k));
}

Result<std::optional<Lock>> Lock::take(const fs::path& file, Mode mode, bool wait) {
  Fd fd(open_retrying(file.c_str(), O_RDWR | O_CREAT, 0644));
  if (!fd.valid())
    return std::unexpected(with_os_cause("cannot open the lock file " + file.string(), errno));
  const int op = (mode == Mode::shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
  int rc = 0;
  do {
    rc = ::flock(fd.get(), op);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno == EWOULDBLOCK)
    return std::optional<Lock>();
  if (rc != 0)
    return std::unexpected(with_os_cause("cannot lock " + file.string(), errno));
  return std::optional<Lock>(Lock(std::move(fd)));
}

Status make_folder(const fs::path& dir) {
  std::error_code ec;
  const fs::file_status st = fs::status(dir, ec);
  if (fs::exists(st)) {
    if (!fs::is_directory(st))
      return fail("the job folder " + dir.string() + " exists and is not a folder");
    return {};
  }
  fs::create_directories(dir, ec);
  if (ec)
    return std::unexpected(
        Error("cannot create the job folder " + dir.string(), Error(ec.message())));
  return {};
}

Result<std::optional<Manifest>> read_manifest(const fs::path& dir) {
  const fs::path path = dir / "manifest";
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(path, ec);
  if (!fs::exists(st))
    return std::optional<Manifest>();
  auto unreadable = [&path](const Error& cause) {
    return std::unexpected(Error("cannot read the job manifest " + path.string() +
                                     " (remove the job folder to start afresh)",
                                 cause));
  };
  if (!fs::is_regular_file(st))
    return unreadable(Error("it is not a regular file"));
  Fd fd(open_retrying(path.c_str(), O_RDONLY));
  if (!fd.valid())
    return unreadable(Error(os_error_text(errno)));
  std::string content;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return unreadable(Error(os_error_text(errno)));
    if (n == 0)
      break;
    content.append(buf, static_cast<size_t>(n));
    if (content.size() > (1 << 20))
      return unreadable(Error("it is larger than any manifest"));
  }
  auto m = parse_manifest(content);
  if (!m)
    return unreadable(m.error());
  return std::optional<Manifest>(std::move(*m));
}

Status write_manifest(const fs::path& dir, const Manifest& m) {
  return staging::write_file(dir / "manifest", manifest_text(m));
}

Result<StreamFacts> count_frames(const fs::path& file) {
  auto cmd = ffbin::command("ffprobe");
  if (!cmd)
    return std::unexpected(cmd.error());
  cmd->args({"-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
             "stream=codec_name,nb_read_packets", "-of", "default=noprint_wrappers=1",
             "file:" + file.string()});
  auto out = cmd->output();
  if (!out)
    return std::unexpected(out.error());
  if (!out->success())
    return fail("cannot read " + file.string() + ": " +
                std::string(text::trim(text::lossy_utf8(out->stderr_text))));
  StreamFacts facts;
  bool counted = false;
  std::string_view report = out->stdout_text;
  while (!report.empty()) {
    size_t nl = report.find('\n');
    std::string_view line = text::trim(report.substr(0, nl));
    report.remove_prefix(nl == std::string_view::npos ? report.size() : nl + 1);
    if (line.starts_with("codec_name=")) {
      facts.codec = std::string(line.substr(11));
    } else if (line.starts_with("nb_read_packets=")) {
      auto n = text::parse_unsigned(line.substr(16));
      counted = n.has_value();
      facts.frames = n.value_or(0);
    }
  }
  if (!counted)
    return fail("cannot read " + file.string() + ": no video stream");
  return facts;
}

Result<bool> segment_complete(const fs::path& dir, const Manifest& m, uint64_t k) {
  const fs::path path = segment_path(dir, k);
  std::error_code ec;
  if (!fs::exists(path, ec))
    return false;
  // The size recorded when its frames were counted tells a damaged one
  // (cut short, emptied, replaced) without demuxing every segment again; it
  // is redone, and the new one renamed over it.
  const auto size = fs::file_size(path, ec);
  if (ec)
    return false;
  const std::string recorded = read_small(size_path(dir, k));
  if (!recorded.empty())
    return recorded == std::to_string(size) + "\n";
  auto facts = count_frames(path);
  return facts && facts->frames == m.segment_length(k);
}

Status commit_segment(const fs::path& dir,
                      const Manifest& m,
                      uint64_t k,
                      staging::PendingFile& part) {
  auto facts = count_frames(part.path());
  if (!facts)
    return std::unexpected(facts.error());
  if (facts->frames != m.segment_length(k))
    return fail(text::format("segment %llu came out with %llu frames instead of %llu", ull(k),
                             ull(facts->frames), ull(m.segment_length(k))));
  // The size first: a segment in place always has its size beside it.
  std::error_code ec;
  const auto size = fs::file_size(part.path(), ec);
  if (ec)
    return fail("cannot examine " + part.path().string() + ": " + ec.message());
  if (auto st = staging::write_file(size_path(dir, k), std::to_string(size) + "\n"); !st)
    return st;
  return part.commit();
}

}  // namespace lmr::job
