#include "staging.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

#include "cancel.h"
#include "fd.h"

namespace lmr::staging {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMarker = ".lmr-";

// "name" and ".ext..." of a file name: the extensions start at the first dot
// after the first character.
std::pair<std::string, std::string> split_name(const std::string& name) {
  size_t dot = name.find('.', 1);
  if (dot == std::string::npos)
    return {name, ""};
  return {name.substr(0, dot), name.substr(dot)};
}

void flush_folder(const fs::path& folder) {
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid())
    ::fsync(dir.get());
}

// Removes what runs that died left for `target`: a temporary file nobody
// holds a lock on and that is not brand new (its creator may be between
// creating and locking it).
void remove_stale(const fs::path& folder, const std::string& stem, const std::string& exts) {
  std::error_code ec;
  const std::string prefix = "." + stem + std::string(kMarker);
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with(exts) ||
        name.size() < prefix.size() + exts.size())
      continue;
    Fd fd(::open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
      continue;
    if (::time(nullptr) - st.st_mtime < 10)
      continue;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
      ::unlink(it->path().c_str());
  }
}

}  // namespace

fs::path temporary_name(const fs::path& target, std::string_view tag) {
  auto [stem, exts] = split_name(target.filename().string());
  return target.parent_path() / ("." + stem + std::string(kMarker) + std::string(tag) + exts);
}

struct PendingFile::State {
  fs::path target;
  fs::path path;
  Fd fd;  // holds the lock that marks the file as in use
  bool committed = false;
};

PendingFile::PendingFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
PendingFile::PendingFile(PendingFile&&) noexcept = default;
PendingFile& PendingFile::operator=(PendingFile&&) noexcept = default;

PendingFile::~PendingFile() {
  if (state_ && !state_->committed)
    ::unlink(state_->path.c_str());
}

const fs::path& PendingFile::path() const {
  return state_->path;
}

const fs::path& PendingFile::target() const {
  return state_->target;
}

Result<PendingFile> PendingFile::create(const fs::path& target) {
  std::error_code ec;
  if (fs::is_directory(target, ec))
    return fail("the output " + target.string() + " is a folder");
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  auto [stem, exts] = split_name(target.filename().string());
  remove_stale(folder, stem, exts);
  static std::atomic<uint64_t> counter{0};
  for (;;) {
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(counter++);
    auto state = std::make_unique<State>();
    state->target = target;
    state->path = temporary_name(target, tag);
    state->fd = Fd(::open(state->path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!state->fd.valid()) {
      // Another machine's process of the same pid, sharing the folder.
      if (errno == EEXIST)
        continue;
      return fail("cannot write the output " + target.string() + ": " + os_error_text(errno));
    }
    ::flock(state->fd.get(), LOCK_EX | LOCK_NB);
    return PendingFile(std::move(state));
  }
}

Status PendingFile::commit() {
  State& s = *state_;
  // A stop that came while the file was being finished leaves the target
  // as it was.
  if (auto st = cancel::check(); !st)
    return st;
  if (::fsync(s.fd.get()) != 0)
    return fail("cannot flush " + s.path.string() + ": " + os_error_text(errno));
  if (::rename(s.path.c_str(), s.target.c_str()) != 0)
    return fail("cannot rename " + s.path.string() + " to " + s.target.string() + ": " +
                os_error_text(errno));
  s.committed = true;
  // The file is complete either way; the folder's flush only hastens its
  // new name to the disk (some file systems cannot flush folders).
  flush_folder(s.target.parent_path().empty() ? fs::path(".") : s.target.parent_path());
  return {};
}

Status write_file(const fs::path& target, std::string_view bytes) {
  auto file = PendingFile::create(target);
  if (!file)
    return std::unexpected(file.error());
  Fd out(::open(file->path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  int err = out.valid() ? 0 : errno;
  for (size_t done = 0; err == 0 && done < bytes.size();) {
    ssize_t n = ::write(out.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      err = n < 0 ? errno : ENOSPC;
    else
      done += static_cast<size_t>(n);
  }
  if (err != 0)
    return fail("cannot write " + file->path().string() + ": " + os_error_text(err));
  return file->commit();
}

}  // namespace lmr::staging
