#include "cancel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fd.h"

namespace lmr::cancel {

namespace {

// Set by the signal handler itself, so the job sees the stop even when a
// child that got the same Ctrl-C dies before the hooks have run.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
// Guards the hook list and whether the hooks ran, so that every hook runs
// exactly once: either in fire() or in its constructor.
std::mutex g_mutex;
std::vector<std::function<void()>*> g_hooks;
bool g_fired = false;
// The write end of the watch's wake-up pipe, for the signal handler.
std::atomic<int> g_wake_fd{-1};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The byte that tells the watch thread to end.
constexpr unsigned char kQuit = 0;

void claim(int signal) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);
}

void fire() {
  std::lock_guard lock(g_mutex);
  if (g_fired)
    return;
  g_fired = true;
  for (auto* hook : g_hooks)
    (*hook)();
}

extern "C" void on_signal(int sig) {
  const int saved = errno;
  claim(sig);
  const unsigned char b = static_cast<unsigned char>(sig);
  if (int fd = g_wake_fd.load(); fd >= 0)
    (void)!::write(fd, &b, 1);
  errno = saved;
}

}  // namespace

void request(int signal) {
  claim(signal);
  fire();
}

std::optional<int> requested() {
  const int s = g_signal.load();
  return s == 0 ? std::nullopt : std::optional<int>(s);
}

std::string message(int signal) {
  const char* name = signal == SIGINT    ? "SIGINT"
                     : signal == SIGTERM ? "SIGTERM"
                     : signal == SIGHUP  ? "SIGHUP"
                     : signal == SIGPIPE ? "SIGPIPE"
                                         : nullptr;
  return name ? std::string("interrupted by ") + name
              : "interrupted by signal " + std::to_string(signal);
}

Status check() {
  if (auto s = requested())
    return fail(message(*s));
  return {};
}

Hook::Hook(std::function<void()> on_stop)
    : fn_(std::make_shared<std::function<void()>>(std::move(on_stop))) {
  std::lock_guard lock(g_mutex);
  g_hooks.push_back(fn_.get());
  if (g_fired)
    (*fn_)();
}

Hook::~Hook() {
  std::lock_guard lock(g_mutex);
  std::erase(g_hooks, fn_.get());
}

struct Watch::State {
  Fd wake_read, wake_write;
  struct sigaction previous[std::size(kSignals)] = {};
  std::thread thread;

  void run() {
    pollfd fds[2] = {{wake_read.get(), POLLIN, 0}, {STDERR_FILENO, 0, 0}};
    for (;;) {
      int n = ::poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        return;
      }
      if (fds[0].revents != 0) {
        unsigned char b = kQuit;
        ssize_t got = ::read(wake_read.get(), &b, 1);
        if (got < 0 && errno == EINTR)
          continue;
        if (got <= 0 || b == kQuit)
          return;
        request(b);  // the handler claimed it already; this runs the hooks
      }
      // A pipe or socket whose reader has gone: nobody hears the job any
      // more, so it stops as a write would have made it stop.
      if ((fds[1].revents & (POLLERR | POLLHUP)) != 0)
        request(SIGPIPE);
      if (fds[1].revents != 0)
        fds[1].fd = -1;
    }
  }
};

Watch::Watch(std::unique_ptr<State> state) : state_(std::move(state)) {}
Watch::Watch(Watch&&) noexcept = default;
Watch& Watch::operator=(Watch&&) noexcept = default;

Result<Watch> Watch::start() {
  int p[2];
  if (::pipe(p) != 0)
    return fail_os(errno);
  auto state = std::make_unique<State>();
  state->wake_read = Fd(p[0]);
  state->wake_write = Fd(p[1]);
  for (int fd : p) {
    if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
      return fail_os(errno);
  }
  // A handler never blocks on a full pipe; the byte it loses is a repeat.
  if (::fcntl(p[1], F_SETFL, O_NONBLOCK) != 0)
    return fail_os(errno);
  g_wake_fd.store(p[1]);
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (size_t i = 0; i < std::size(kSignals); ++i)
    ::sigaction(kSignals[i], &sa, &state->previous[i]);
  State* s = state.get();
  state->thread = std::thread([s] { s->run(); });
  return Watch(std::move(state));
}

Watch::~Watch() {
  if (!state_)
    return;
  for (size_t i = 0; i < std::size(kSignals); ++i)
    ::sigaction(kSignals[i], &state_->previous[i], nullptr);
  g_wake_fd.store(-1);
  const unsigned char quit = kQuit;
  while (::write(state_->wake_write.get(), &quit, 1) < 0 && errno == EINTR) {
  }
  if (state_->thread.joinable())
    state_->thread.join();
}

void die_by(int signal) {
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}

}  // namespace lmr::cancel
