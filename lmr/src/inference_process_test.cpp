// The runtime's threads follow the processors a task is given: sessions
// loaded in children restricted to one processor or left with all of them.
#include <dirent.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "inference.h"
#include "platform.h"
#include "testing.h"

namespace lmr::inference {
namespace {

int thread_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// In a fresh child (the runtime loads once per process): the threads a
// session on `ep` adds, with the child held to its first processor when
// `one_cpu`; -1 when something failed.
int threads_a_session_adds(Ep ep, bool one_cpu) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (one_cpu) {
      cpu_set_t set;
      CPU_ZERO(&set);
      if (sched_getaffinity(0, sizeof set, &set) != 0)
        _exit(255);
      int first = 0;
      while (!CPU_ISSET(first, &set))
        ++first;
      CPU_ZERO(&set);
      CPU_SET(first, &set);
      if (sched_setaffinity(0, sizeof set, &set) != 0)
        _exit(255);
    }
    init_ort_dylib();
    // The environment's own threads are not the session's.
    Result<Ort::Env*> env = environment();
    if (!env) {
      std::fprintf(stderr, "%s\n", env.error().message().c_str());
      _exit(255);
    }
    const int before = thread_count();
    Result<OnnxBackend> b =
        OnnxBackend::load(testing::model("heavy2x.onnx").string(), ep, {{"h", 16}, {"w", 16}});
    if (!b)
      std::fprintf(stderr, "%s\n", b.error().message().c_str());
    _exit(b ? thread_count() - before : 255);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

TEST(SessionThreads, FollowTheProcessorsTheTaskIsGiven) {
  // The accelerated provider stands in with one intra-op thread per
  // available processor: the pool adds one thread fewer than that.
  const int given = static_cast<int>(platform::available_processors());
  const int one = threads_a_session_adds(Ep::coreml_all, true);
  const int all = threads_a_session_adds(Ep::coreml_all, false);
  EXPECT_EQ(one, 0);
  EXPECT_EQ(all, given - 1);
  std::printf("intra-op threads: %d with 1 processor, %d with %d\n", one + 1, all + 1, given);
}

}  // namespace
}  // namespace lmr::inference
