#include "testing.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace lmr::testing {

namespace fs = std::filesystem;

namespace {
// Test programs load the runtime in-process without the engine's start-up:
// keep its telemetry files out of HOME and TMPDIR here too, before main.
// Tests of the engine's own setting unset it for the process they start.
const bool telemetry_off = setenv("ORT_DISABLE_TELEMETRY", "1", 0) == 0;
}  // namespace

int ProcResult::exit_code() const {
  if (timed_out || !WIFEXITED(wait_status))
    return -1;
  return WEXITSTATUS(wait_status);
}

ProcResult run(const std::vector<std::string>& argv, const EnvChanges& env, int timeout_s) {
  // Output goes to files, not pipes: a grandchild that keeps them open
  // cannot stall the run (the hygiene check finds it instead).
  TempDir dir;
  const std::string out = (dir / "out").string(), err = (dir / "err").string();
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0) < 0 ||
        dup2(open(out.c_str(), flags, 0600), 1) < 0 || dup2(open(err.c_str(), flags, 0600), 2) < 0)
      _exit(126);
    for (const auto& [k, v] : env)
      v ? setenv(k.c_str(), v->c_str(), 1) : unsetenv(k.c_str());
    std::vector<char*> args;
    for (const auto& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
  }
  ProcResult r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (waitpid(pid, &r.wait_status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      r.timed_out = true;
      while (waitpid(pid, &r.wait_status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    usleep(2000);
  }
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

ProcResult run_lmr(const std::vector<std::string>& args, const EnvChanges& env, int timeout_s) {
  std::vector<std::string> argv{(bin_dir() / "lmr").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, env, timeout_s);
}

fs::path bin_dir() {
  return LMR_BIN_DIR;
}
fs::path models_dir() {
  return LMR_MODELS_DIR;
}
fs::path model(const std::string& name) {
  return models_dir() / name;
}
fs::path source_dir() {
  return LMR_SOURCE_DIR;
}

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "lmr-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

void make_clip(const fs::path& path,
               int w,
               int h,
               int frames,
               const std::string& rate,
               bool audio,
               const std::vector<std::string>& codec_args) {
  std::string size = std::to_string(w) + "x" + std::to_string(h);
  std::vector<std::string> argv{
      (bin_dir() / "ffmpeg").string(),          "-v", "error", "-y", "-f", "lavfi", "-i",
      "testsrc2=size=" + size + ":rate=" + rate};
  if (audio) {
    argv.insert(argv.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"});
  }
  argv.insert(argv.end(), {"-frames:v", std::to_string(frames)});
  if (codec_args.empty()) {
    argv.insert(argv.end(), {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv444p"});
  } else {
    argv.insert(argv.end(), codec_args.begin(), codec_args.end());
  }
  if (audio)
    argv.insert(argv.end(), {"-c:a", "aac", "-shortest"});
  argv.push_back(path.string());
  ProcResult r = run(argv, {}, 120);
  if (r.exit_code() != 0)
    throw std::runtime_error("make_clip failed: " + r.err);
}

void run_ffmpeg(std::vector<std::string> args) {
  args.insert(args.begin(), {(bin_dir() / "ffmpeg").string(), "-v", "error", "-y"});
  ProcResult r = run(args, {}, 120);
  if (r.exit_code() != 0)
    throw std::runtime_error("ffmpeg failed: " + r.err);
}

void make_animation(const fs::path& path) {
  run_ffmpeg({"-f", "lavfi", "-i", "color=c=0x2a5db0:s=480x270:r=25:d=2", "-f", "lavfi", "-i",
              "color=c=0xf2c230:s=120x90:r=25:d=2", "-f", "lavfi", "-i",
              "color=c=0xe04040:s=80x140:r=25:d=2", "-filter_complex",
              "[0][1]overlay=x='20+t*120':y=60[a];[a][2]overlay=x='360-t*100':y='120-t*30',"
              "format=yuv420p",
              "-c:v", "libx264", "-crf", "12", path.string()});
}

namespace {

int zombie_children() {
  int zombies = 0;
  pid_t self = getpid();
  DIR* d = opendir("/proc");
  if (d == nullptr)
    return 0;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0)
      continue;
    std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
      continue;
    auto close_paren = line.rfind(')');
    if (close_paren == std::string::npos)
      continue;
    std::istringstream rest(line.substr(close_paren + 2));
    char state = 0;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == self && state == 'Z')
      ++zombies;
  }
  closedir(d);
  return zombies;
}

int open_fds() {
  int n = 0;
  for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it)
    ++n;
  return n - 1;  // the iterator's own descriptor
}

}  // namespace

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
}

std::string read_file(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

namespace {

std::string quoted(const fs::path& p) {
  return "'" + p.string() + "'";
}

// A process that outlived its parent is re-parented and reaped by init:
// give that a moment before calling it a survivor.
bool process_gone(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
      return true;
    auto paren = line.rfind(')');
    if (paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'Z')
      return true;  // dead, waiting for init
    usleep(10000);
  }
  return false;
}

// Whoever started the test may have handed it descriptors that every
// process it starts inherits; the engine is not to blame for those.
bool inherited_by_the_test(int fd) {
  int flags = fcntl(fd, F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str()))
    old_ = old;
  value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
  old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str());
}

StandIns::StandIns()
    : tool_dir_("LMR_FFMPEG_DIR", dir_.path().string()),
      probe_(real("ffprobe")),
      decoder_(real("ffmpeg")),
      encoder_(decoder_) {
  write();
}

StandIns::~StandIns() {
  for (auto [pid, parent] : started())
    kill(pid, SIGKILL);
}

StandIns& StandIns::probe(std::string body) {
  probe_ = std::move(body);
  write();
  return *this;
}
StandIns& StandIns::decoder(std::string body) {
  decoder_ = std::move(body);
  write();
  return *this;
}
StandIns& StandIns::encoder(std::string body) {
  encoder_ = std::move(body);
  write();
  return *this;
}

std::string StandIns::real(const std::string& tool) {
  return "exec " + quoted(bin_dir() / tool) + " \"$@\"";
}

void StandIns::write() const {
  auto tool = [&](const std::string& name, const std::string& body) {
    const fs::path path = dir_ / name;
    write_file(path,
               "#!/bin/sh\necho \"$$ $PPID\" >> " + quoted(dir_ / "pids") +
                   "\n(ls -l /proc/$$/fd) > " + quoted(dir_.path()) +
                   "/fds.$$ 2>/dev/null\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " +
                   quoted(dir_ / ("args." + name)) + "\necho -- >> " +
                   quoted(dir_ / ("args." + name)) + "\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
  };
  tool("ffprobe", probe_);
  tool("ffmpeg",
       "case \" $* \" in *\" -i - \"*)\n" + encoder_ + "\n;;\n*)\n" + decoder_ + "\n;;\nesac");
}

std::vector<std::pair<pid_t, pid_t>> StandIns::started() const {
  std::vector<std::pair<pid_t, pid_t>> out;
  std::ifstream in(dir_ / "pids");
  long pid = 0, parent = 0;
  while (in >> pid >> parent)
    out.emplace_back(static_cast<pid_t>(pid), static_cast<pid_t>(parent));
  return out;
}

std::vector<std::vector<std::string>> StandIns::calls(const std::string& tool) const {
  std::vector<std::vector<std::string>> out(1);
  std::ifstream in(dir_ / ("args." + tool));
  for (std::string line; std::getline(in, line);) {
    if (line == "--")
      out.emplace_back();
    else
      out.back().push_back(line);
  }
  out.pop_back();
  return out;
}

std::vector<std::string> StandIns::stray_descriptors() const {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir_.path())) {
    if (!e.path().filename().string().starts_with("fds."))
      continue;
    std::istringstream in(read_file(e.path()));
    for (std::string line; std::getline(in, line);) {
      auto arrow = line.find(" -> ");
      if (arrow == std::string::npos)
        continue;
      auto space = line.rfind(' ', arrow - 1);
      int fd = std::stoi(line.substr(space + 1, arrow - space - 1));
      std::string target = line.substr(arrow + 4);
      // The shell keeps its script and a /dev/null of its own open.
      if (fd <= 2 || inherited_by_the_test(fd) || target == "/dev/null" ||
          target == (dir_ / "ffmpeg").string() || target == (dir_ / "ffprobe").string())
        continue;
      out.push_back(e.path().filename().string() + ": " + std::to_string(fd) + " -> " + target);
    }
  }
  return out;
}

Hygiene::Hygiene(const StandIns* tools, std::vector<fs::path> unchanged)
    : tools_(tools), fds_(open_fds()) {
  for (auto& f : unchanged)
    files_.emplace_back(f, read_file(f));
}

Hygiene::~Hygiene() {
  const pid_t self = getpid();
  if (tools_) {
    for (auto [pid, parent] : tools_->started()) {
      EXPECT_TRUE(process_gone(pid)) << "child " << pid << " of " << parent << " survived";
      if (parent != self) {
        EXPECT_TRUE(process_gone(parent)) << "lmr " << parent << " is still running";
      }
    }
    for (const std::string& fd : tools_->stray_descriptors())
      ADD_FAILURE() << "a child inherited " << fd;
  }
  for (const auto& [path, before] : files_)
    EXPECT_EQ(read_file(path), before) << path << " was changed";
  EXPECT_EQ(zombie_children(), 0);
  EXPECT_EQ(open_fds(), fds_);
}

namespace {

// `name` as execv needs it: a path, or found in PATH and the admin folders
// (a root shell may lack /usr/sbin); empty when absent.
std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos)
    return name;
  const char* env = std::getenv("PATH");
  std::string path = std::string(env != nullptr ? env : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::istringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && access((fs::path(dir) / name).c_str(), X_OK) == 0)
      return (fs::path(dir) / name).string();
  }
  return "";
}

fs::path cluster_script() {
  return source_dir() / "tools/slurm/local-cluster.sh";
}

}  // namespace

SlurmCluster::SlurmCluster() {
  std::string tmpl = (fs::temp_directory_path() / "lmr-slurm-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  // The script says why a machine cannot run it (exit 3); starting takes a
  // few seconds and is bounded inside it, this timeout only guards a hang.
  // A watcher stops the cluster if this process ends before the destructor.
  ProcResult r = run(
      {"/bin/bash", cluster_script().string(), "start", dir_.string(), std::to_string(getpid())},
      {}, 120);
  if (r.exit_code() == 0) {
    started_ = true;
  } else if (r.exit_code() == 3) {
    skip_ = r.err;
  } else {
    error_ = "the cluster did not start (exit " + std::to_string(r.exit_code()) +
             (r.timed_out ? ", timed out" : "") + "):\n" + r.err;
  }
}

SlurmCluster::~SlurmCluster() {
  // Also after a failed start: the script stops whatever did start.
  ProcResult r = run({"/bin/bash", cluster_script().string(), "stop", dir_.string()}, {}, 120);
  if (r.exit_code() != 0)
    ADD_FAILURE() << "stopping the cluster failed: " << r.err;
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

EnvChanges SlurmCluster::env() const {
  return {{"SLURM_CONF", (dir_ / "slurm.conf").string()}};
}

ProcResult SlurmCluster::client(std::vector<std::string> argv, int timeout_s) const {
  const std::string path = find_program(argv.at(0));
  if (path.empty())
    throw std::runtime_error(argv[0] + " is not installed");
  argv[0] = path;
  return run(argv, env(), timeout_s);
}

bool SlurmCluster::wait_done(const std::vector<std::string>& job_ids, int timeout_s) const {
  std::string list;
  for (const std::string& id : job_ids)
    list += (list.empty() ? "" : ",") + id;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (std::chrono::steady_clock::now() < deadline) {
    // Finished jobs drop out of squeue's default states.
    ProcResult r = client({"squeue", "-h", "-o", "%i %T", "-j", list}, 30);
    if (r.exit_code() == 0 && r.out.find_first_not_of(" \n") == std::string::npos)
      return true;
    usleep(300000);
  }
  return false;
}

std::vector<std::map<std::string, std::string>> SlurmCluster::job_records(
    const std::string& id) const {
  ProcResult r = client({"scontrol", "-o", "show", "job", id}, 30);
  std::vector<std::map<std::string, std::string>> records;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::map<std::string, std::string>& fields = records.emplace_back();
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos)
        fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  return records;
}

std::string SlurmCluster::logs() const {
  std::string text;
  for (const char* log : {"log/slurmctld.log", "log/slurmd.log", "munge/munged.log"}) {
    std::string all = read_file(dir_ / log);
    if (all.size() > 4000)
      all = "..." + all.substr(all.size() - 4000);
    text += std::string("--- ") + log + "\n" + all;
  }
  return text;
}

}  // namespace lmr::testing
