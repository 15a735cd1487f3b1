#include "ffbin.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "cancel.h"
#include "platform.h"
#include "text.h"

extern char** environ;

namespace lmr::ffbin {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Descriptors and pipe I/O

Status write_all(int fd, std::span<const uint8_t> data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return fail_os(errno);
    }
    if (n == 0)
      return fail("failed to write whole buffer");
    done += static_cast<size_t>(n);
  }
  return {};
}

Result<size_t> read_full(int fd, std::span<uint8_t> buf) {
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::read(fd, buf.data() + done, buf.size() - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return fail_os(errno);
    }
    if (n == 0)
      break;
    done += static_cast<size_t>(n);
  }
  return done;
}

namespace {

// A pipe whose two ends are close-on-exec and above the standard streams, so
// that placing one end on 0, 1 or 2 in a child never collides with another.
Result<std::pair<Fd, Fd>> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return fail_os(errno);
  Fd ends[2] = {Fd(fds[0]), Fd(fds[1])};
  for (Fd& end : ends) {
    if (end.get() < 3) {
      int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
      if (moved < 0)
        return fail_os(errno);
      end = Fd(moved);
    }
  }
  return std::pair<Fd, Fd>(std::move(ends[0]), std::move(ends[1]));
}

}  // namespace

// ---------------------------------------------------------------------------
// Background pipe reader

struct PipeDrain::State {
  Fd fd;
  Fd wake_read;
  Fd wake_write;
  std::string text;
  std::thread thread;

  void run() {
    char buf[16384];
    pollfd p[2] = {{fd.get(), POLLIN, 0}, {wake_read.get(), POLLIN, 0}};
    for (;;) {
      int rc = ::poll(p, 2, -1);
      if (rc < 0) {
        if (errno == EINTR)
          continue;
        return;
      }
      if (p[1].revents != 0)
        return;
      if (p[0].revents == 0)
        continue;
      ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        return;
      }
      if (n == 0)
        return;
      size_t room = kKeep - std::min(kKeep, text.size());
      text.append(buf, std::min(room, static_cast<size_t>(n)));
    }
  }

  void stop() {
    if (!thread.joinable())
      return;
    const char byte = 1;
    while (::write(wake_write.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    thread.join();
  }
};

PipeDrain::PipeDrain(std::unique_ptr<State> state) : state_(std::move(state)) {}
PipeDrain::PipeDrain(PipeDrain&&) noexcept = default;
PipeDrain& PipeDrain::operator=(PipeDrain&& other) noexcept {
  if (this != &other) {
    if (state_)
      state_->stop();
    state_ = std::move(other.state_);
  }
  return *this;
}

PipeDrain::~PipeDrain() {
  if (state_)
    state_->stop();
}

Result<PipeDrain> PipeDrain::start(Fd fd) {
  auto wake = make_pipe();
  if (!wake)
    return std::unexpected(wake.error());
  auto state = std::make_unique<State>();
  state->fd = std::move(fd);
  state->wake_read = std::move(wake->first);
  state->wake_write = std::move(wake->second);
  try {
    State* raw = state.get();
    state->thread = std::thread([raw] { raw->run(); });
  } catch (const std::system_error& e) {
    return fail(std::string("cannot start a pipe reader thread: ") + e.what());
  }
  return PipeDrain(std::move(state));
}

const std::string& PipeDrain::text() {
  if (state_->thread.joinable())
    state_->thread.join();
  return state_->text;
}

// ---------------------------------------------------------------------------
// Child processes

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)),
      status_(std::exchange(other.status_, std::nullopt)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    kill_and_reap();
    pid_ = std::exchange(other.pid_, -1);
    stdin_ = std::move(other.stdin_);
    stdout_ = std::move(other.stdout_);
    stderr_ = std::move(other.stderr_);
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

Child::~Child() {
  kill_and_reap();
}

namespace {

// Every child not yet reaped, so that a stop request can kill them all: a
// job blocked on a pipe or a wait then returns at once. A pid leaves the set
// before it is reaped, so a kill never reaches a recycled pid.
std::mutex g_children_mutex;
std::set<pid_t> g_children;

void watch_child(pid_t pid) {
  static const cancel::Hook hook([] {
    std::lock_guard lock(g_children_mutex);
    for (pid_t p : g_children)
      ::kill(p, SIGKILL);
  });
  {
    std::lock_guard lock(g_children_mutex);
    g_children.insert(pid);
  }
  // A stop that came before the insert found nothing to kill.
  if (cancel::requested())
    ::kill(pid, SIGKILL);
}

// Waits until `pid` has ended without reaping it (or, with `nohang`, looks
// once): true when it has ended. EINTR is repeated.
Result<bool> await_exit(pid_t pid, bool nohang) {
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info,
                 WEXITED | WNOWAIT | (nohang ? WNOHANG : 0)) == 0)
      return info.si_pid == pid;
    if (errno != EINTR)
      return fail_os(errno);
  }
}

// Reaps an ended child after taking it out of the set.
Result<int> reap(pid_t pid) {
  {
    std::lock_guard lock(g_children_mutex);
    g_children.erase(pid);
  }
  int st = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &st, 0);
    if (r == pid)
      return st;
    if (r < 0 && errno == EINTR)
      continue;
    return fail_os(r < 0 ? errno : ECHILD);
  }
}

}  // namespace

Result<int> Child::wait() {
  if (status_)
    return *status_;
  if (pid_ <= 0)
    return fail_os(ECHILD);
  auto ended = await_exit(pid_, false);
  Result<int> st = ended ? reap(pid_) : std::unexpected(ended.error());
  if (!st) {
    // The pid is no longer ours to signal or wait for.
    pid_ = -1;
    return st;
  }
  status_ = *st;
  return *st;
}

Result<std::optional<int>> Child::wait_for(std::chrono::milliseconds timeout) {
  if (status_)
    return status_;
  if (pid_ <= 0)
    return fail_os(ECHILD);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto ended = await_exit(pid_, true);
    if (ended && *ended) {
      auto st = wait();
      if (!st)
        return std::unexpected(st.error());
      return status_;
    }
    if (!ended) {
      pid_ = -1;
      return std::unexpected(ended.error());
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return std::optional<int>();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Child::kill_and_reap() {
  if (pid_ <= 0)
    return;
  if (!status_)
    ::kill(pid_, SIGKILL);
  stdin_.reset();
  (void)wait();
  pid_ = -1;
}

Result<Child> Command::spawn() const {
  posix_spawn_file_actions_t actions;
  if (int rc = posix_spawn_file_actions_init(&actions); rc != 0)
    return fail_os(rc);
  struct ActionsGuard {
    posix_spawn_file_actions_t* a;
    ~ActionsGuard() { posix_spawn_file_actions_destroy(a); }
  } actions_guard{&actions};

  posix_spawnattr_t attr;
  if (int rc = posix_spawnattr_init(&attr); rc != 0)
    return fail_os(rc);
  struct AttrGuard {
    posix_spawnattr_t* a;
    ~AttrGuard() { posix_spawnattr_destroy(a); }
  } attr_guard{&attr};

  // The engine ignores SIGPIPE and may block signals; a child must start as
  // if from a shell, or a dying reader would leave ffmpeg writing forever.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  int rc = posix_spawnattr_setsigdefault(&attr, &all);
  if (rc == 0)
    rc = posix_spawnattr_setsigmask(&attr, &none);
  if (rc != 0)
    return fail_os(rc);
  short flags = static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  // Parent ends (kept) and child ends (closed here once the child has them).
  Fd parent_ends[3];
  Fd child_ends[3];
  const Stdio modes[3] = {stdin_, stdout_, stderr_};
  for (int target = 0; target < 3; ++target) {
    if (modes[target] == Stdio::kNull) {
      rc = posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                            target == 0 ? O_RDONLY : O_WRONLY, 0);
    } else if (modes[target] == Stdio::kPipe) {
      auto p = make_pipe();
      if (!p)
        return std::unexpected(p.error());
      bool child_reads = target == 0;
      // Frames are megabytes each: a larger pipe moves them in fewer
      // wake-ups of ffmpeg and the engine.
      if (target != 2)
        platform::enlarge_pipe(p->first.get());
      child_ends[target] = std::move(child_reads ? p->first : p->second);
      parent_ends[target] = std::move(child_reads ? p->second : p->first);
      rc = posix_spawn_file_actions_adddup2(&actions, child_ends[target].get(), target);
    }
    if (rc != 0)
      return fail_os(rc);
  }

  // Only the three streams: a library's stray descriptor must not keep a
  // file (or a pipe's end) open for as long as ffmpeg runs.
  rc = platform::inherit_only_stdio(actions, flags);
  if (rc == 0)
    rc = posix_spawnattr_setflags(&attr, flags);
  if (rc != 0)
    return fail_os(rc);

  std::string prog = program_.string();
  std::vector<char*> argv;
  argv.reserve(args_.size() + 2);
  argv.push_back(prog.data());
  std::vector<std::string> owned(args_);
  for (auto& a : owned)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  rc = posix_spawn(&pid, prog.c_str(), &actions, &attr, argv.data(), environ);
  if (rc != 0)
    return fail_os(rc);
  watch_child(pid);
  return Child(pid, std::move(parent_ends[0]), std::move(parent_ends[1]),
               std::move(parent_ends[2]));
}

bool Output::success() const {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0;
}

Result<Output> Command::output() const {
  Command cmd = *this;
  cmd.set_stdin(Stdio::kNull).set_stdout(Stdio::kPipe).set_stderr(Stdio::kPipe);
  auto child = cmd.spawn();
  if (!child)
    return std::unexpected(child.error());

  Output out;
  Fd* fds[2] = {&child->stdout_pipe(), &child->stderr_pipe()};
  std::string* sinks[2] = {&out.stdout_text, &out.stderr_text};
  char buf[65536];
  while (fds[0]->valid() || fds[1]->valid()) {
    pollfd p[2];
    int which[2];
    nfds_t n = 0;
    for (int k = 0; k < 2; ++k) {
      if (fds[k]->valid()) {
        p[n] = {fds[k]->get(), POLLIN, 0};
        which[n++] = k;
      }
    }
    if (::poll(p, n, -1) < 0) {
      if (errno == EINTR)
        continue;
      return fail_os(errno);
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (p[i].revents == 0)
        continue;
      int k = which[i];
      ssize_t got = ::read(fds[k]->get(), buf, sizeof buf);
      if (got > 0) {
        sinks[k]->append(buf, static_cast<size_t>(got));
      } else if (got == 0) {
        fds[k]->reset();
      } else if (errno != EINTR) {
        return fail_os(errno);
      }
    }
  }
  auto status = child->wait();
  if (!status)
    return std::unexpected(status.error());
  out.wait_status = *status;
  return out;
}

// ---------------------------------------------------------------------------
// Locating the tools

std::vector<fs::path> candidates(std::string_view tool,
                                 const std::optional<fs::path>& exe_dir,
                                 const std::optional<fs::path>& override_dir,
                                 const std::optional<fs::path>& dev_dir) {
  std::vector<fs::path> list;
  if (override_dir)
    list.push_back(*override_dir / tool);
  if (exe_dir)
    list.push_back(*exe_dir / tool);
  if (dev_dir)
    list.push_back(*dev_dir / "runtime" / (std::string(tool) + "-aarch64-apple-darwin"));
  return list;
}

Result<fs::path> resolve(std::string_view tool, const std::vector<fs::path>& list) {
  for (const auto& path : list) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      return path;
  }
  std::string msg(tool);
  msg += " is missing from the app (looked for ";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0)
      msg += ", ";
    msg += text::lossy_utf8(list[i].string());
  }
  msg += "); reinstall Lumerant (developers: run tools/ffmpeg/build.sh)";
  return fail(std::move(msg));
}

Result<Command> command(std::string_view tool) {
  std::optional<fs::path> override_dir;
  if (const char* dir = std::getenv("LMR_FFMPEG_DIR"); dir != nullptr && *dir != '\0')
    override_dir = fs::path(dir);
  auto path = resolve(tool, candidates(tool, platform::executable_dir(), override_dir));
  if (!path)
    return std::unexpected(path.error());
  return Command(std::move(*path));
}

// ---------------------------------------------------------------------------
// Exit status wording

namespace {

const char* signal_name(int sig) {
  switch (sig) {
    case SIGHUP:
      return "SIGHUP";
    case SIGINT:
      return "SIGINT";
    case SIGQUIT:
      return "SIGQUIT";
    case SIGILL:
      return "SIGILL";
    case SIGTRAP:
      return "SIGTRAP";
    case SIGABRT:
      return "SIGABRT";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGKILL:
      return "SIGKILL";
    case SIGUSR1:
      return "SIGUSR1";
    case SIGSEGV:
      return "SIGSEGV";
    case SIGUSR2:
      return "SIGUSR2";
    case SIGPIPE:
      return "SIGPIPE";
    case SIGALRM:
      return "SIGALRM";
    case SIGTERM:
      return "SIGTERM";
    case SIGCHLD:
      return "SIGCHLD";
    case SIGCONT:
      return "SIGCONT";
    case SIGSTOP:
      return "SIGSTOP";
    case SIGTSTP:
      return "SIGTSTP";
    case SIGTTIN:
      return "SIGTTIN";
    case SIGTTOU:
      return "SIGTTOU";
    case SIGURG:
      return "SIGURG";
    case SIGXCPU:
      return "SIGXCPU";
    case SIGXFSZ:
      return "SIGXFSZ";
    case SIGVTALRM:
      return "SIGVTALRM";
    case SIGPROF:
      return "SIGPROF";
    case SIGWINCH:
      return "SIGWINCH";
    case SIGIO:
      return "SIGIO";
    case SIGSYS:
      return "SIGSYS";
#ifdef SIGSTKFLT
    case SIGSTKFLT:
      return "SIGSTKFLT";
#endif
#if defined(SIGPWR) && SIGPWR != SIGIO
    case SIGPWR:
      return "SIGPWR";
#endif
    default:
      return nullptr;
  }
}

}  // namespace

std::string exit_status_text(int wait_status) {
  if (WIFEXITED(wait_status))
    return "exit status: " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) {
    int sig = WTERMSIG(wait_status);
    std::string out = "signal: " + std::to_string(sig);
    if (const char* name = signal_name(sig))
      out += std::string(" (") + name + ")";
    if (WCOREDUMP(wait_status))
      out += " (core dumped)";
    return out;
  }
  return "wait status: " + std::to_string(wait_status);
}

}  // namespace lmr::ffbin
