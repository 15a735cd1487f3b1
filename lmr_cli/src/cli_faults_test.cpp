// Fault injection through the built executable: stand-in ffmpeg/ffprobe
// programs (found through LMR_FFMPEG_DIR) that die, stall, flood or lie,
// broken models, unwritable outputs and hostile catalogue files. Every case
// checks the exit status and the "Error: " line, that lmr and every child it
// started are gone when it returns (stand-ins record their pid and parent),
// that no child inherited a stray descriptor, and that the input is
// untouched.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using lmr::testing::ProcResult;
using lmr::testing::TempDir;

constexpr int kW = 64, kH = 48, kFrames = 12;
constexpr int kOutFrameBytes = 2 * kW * 2 * kH * 3;
// Generous: sanitizer builds run the same cases several times slower.
constexpr int kTimeoutS = 120;

std::string quoted(const fs::path& p) {
  return "'" + p.string() + "'";
}

// The clip every upscale case reads; made once.
const fs::path& clip() {
  static TempDir dir;
  static const fs::path path = [] {
    fs::path p = dir / "in.mp4";
    lmr::testing::make_clip(p, kW, kH, kFrames, "25", false);
    return p;
  }();
  return path;
}

// A folder of stand-in tools. Each records "pid parent-pid" and its open
// descriptors, then runs the body given for its role; by default the role
// is played by the real tool (exec keeps the recorded pid).
class StandIns {
 public:
  StandIns() {
    probe_ = "exec " + quoted(lmr::testing::bin_dir() / "ffprobe") + " \"$@\"";
    decoder_ = "exec " + quoted(lmr::testing::bin_dir() / "ffmpeg") + " \"$@\"";
    encoder_ = decoder_;
  }
  StandIns(const StandIns&) = delete;
  StandIns& operator=(const StandIns&) = delete;
  ~StandIns() {
    // A failed case must not leave a stalled stand-in behind.
    for (auto [pid, parent] : started())
      ::kill(pid, SIGKILL);
  }
  StandIns& probe(std::string body) {
    probe_ = std::move(body);
    return *this;
  }
  StandIns& decoder(std::string body) {
    decoder_ = std::move(body);
    return *this;
  }
  StandIns& encoder(std::string body) {
    encoder_ = std::move(body);
    return *this;
  }
  fs::path dir() const { return dir_.path(); }

  void write() const {
    write_tool("ffprobe", probe_);
    // The encoder is the ffmpeg that reads frames from stdin.
    write_tool("ffmpeg", "case \" $* \" in *\" -i - \"*)\n" + encoder_ + "\n;;\n*)\n" + decoder_ +
                             "\n;;\nesac");
  }

  // Pids of the stand-ins started so far and their parents.
  std::vector<std::pair<pid_t, pid_t>> started() const {
    std::vector<std::pair<pid_t, pid_t>> out;
    std::istringstream in(lmr::testing::read_file(dir_ / "pids"));
    long pid = 0, parent = 0;
    while (in >> pid >> parent)
      out.emplace_back(static_cast<pid_t>(pid), static_cast<pid_t>(parent));
    return out;
  }

  // Descriptors above 2 that a stand-in held when it started, other than the
  // shell's own handle on the script.
  std::vector<std::string> stray_descriptors() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      if (!e.path().filename().string().starts_with("fds."))
        continue;
      std::istringstream in(lmr::testing::read_file(e.path()));
      std::string line;
      while (std::getline(in, line)) {
        auto arrow = line.find(" -> ");
        if (arrow == std::string::npos)
          continue;
        std::string target = line.substr(arrow + 4);
        // The shell keeps its script and a /dev/null of its own open.
        std::string fd =
            line.substr(line.rfind(' ', arrow - 1) + 1, arrow - line.rfind(' ', arrow - 1) - 1);
        if (std::stoi(fd) <= 2 || inherited_by_the_test(std::stoi(fd)) || target == "/dev/null" ||
            target == (dir_ / "ffmpeg").string() || target == (dir_ / "ffprobe").string())
          continue;
        out.push_back(e.path().filename().string() + ": " + fd + " -> " + target);
      }
    }
    return out;
  }

 private:
  void write_tool(const std::string& name, const std::string& body) const {
    const std::string log = quoted(dir_ / "pids");
    lmr::testing::write_file(dir_ / name, "#!/bin/sh\necho \"$$ $PPID\" >> " + log +
                                              "\n(ls -l /proc/$$/fd) > " + quoted(dir_.path()) +
                                              "/fds.$$ 2>/dev/null\n" + body + "\n");
    fs::permissions(dir_ / name, fs::perms::owner_all);
  }

  // Whoever started the test may have handed it descriptors that every
  // process it starts inherits; lmr is not to blame for those.
  static bool inherited_by_the_test(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0;
  }

  TempDir dir_;
  std::string probe_, decoder_, encoder_;
};

bool process_gone(pid_t pid) {
  // A child that outlived lmr is re-parented and reaped by init: give that a
  // moment before calling it a survivor.
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
      return true;
    auto paren = line.rfind(')');
    if (paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'Z')
      return true;  // already dead, waiting for init
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// What every case checks once lmr has returned.
void expect_clean_end(const ProcResult& r, const StandIns& tools) {
  EXPECT_FALSE(r.timed_out) << "lmr did not end within " << kTimeoutS << " s";
  for (auto [pid, parent] : tools.started()) {
    EXPECT_TRUE(process_gone(pid)) << "child " << pid << " of lmr " << parent << " survived";
    EXPECT_TRUE(process_gone(parent)) << "lmr " << parent << " is still running";
  }
  for (const std::string& fd : tools.stray_descriptors())
    ADD_FAILURE() << "a child inherited " << fd;
}

void expect_error_exit(const ProcResult& r, const std::string& error_start) {
  EXPECT_EQ(r.exit_code(), 1) << r.err;
  EXPECT_TRUE(r.err.starts_with("Error: " + error_start) ||
              r.err.find("\nError: " + error_start) != std::string::npos)
      << r.err;
}

// Runs lmr with the stand-ins; the test's own descriptors and children are
// checked around it and the clip must come back unchanged.
class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)clip();
    clip_before_ = lmr::testing::read_file(clip());
    fds_before_ = lmr::testing::open_fds();
  }
  void TearDown() override {
    EXPECT_EQ(lmr::testing::read_file(clip()), clip_before_) << "the input was changed";
    EXPECT_EQ(lmr::testing::zombie_children(), 0);
    EXPECT_EQ(lmr::testing::open_fds(), fds_before_);
  }

  ProcResult run(const std::vector<std::string>& args, lmr::testing::EnvChanges env = {}) {
    tools.write();
    env.emplace_back("LMR_FFMPEG_DIR", tools.dir().string());
    return lmr::testing::run_lmr(args, env, kTimeoutS);
  }
  ProcResult upscale(const std::string& model, const fs::path& output) {
    return run(
        {"upscale", "--model", model, "-i", clip().string(), "-o", output.string(), "--ep", "cpu"});
  }

  StandIns tools;
  TempDir work;

 private:
  std::string clip_before_;
  int fds_before_ = 0;
};

std::string frames_of_zeros(int n, int frame_bytes) {
  return "head -c " + std::to_string(n * frame_bytes) + " /dev/zero";
}

// --- ffmpeg and ffprobe misbehaving ----------------------------------------

TEST_F(Faults, DecoderDiesAfterAFewFrames) {
  tools.decoder(frames_of_zeros(3, kW * kH * 3) + "; kill -9 $$");
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  expect_error_exit(r, "decoder failed: signal: 9 (SIGKILL)");
  EXPECT_NE(r.err.find("frame 1/12:"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("done:"), std::string::npos) << r.err;
}

TEST_F(Faults, EncoderDiesMidRun) {
  // Takes two frames, then dies with whatever else is in the pipe.
  tools.encoder("head -c " + std::to_string(2 * kOutFrameBytes) +
                " >/dev/null; echo 'encoder gave up' >&2; kill -9 $$");
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  EXPECT_EQ(r.exit_code(), 1) << r.err;
  // Dying before or after lmr's last write: a failed write or a failed finish.
  const bool write_failed =
      r.err.find("\nError: encoder failed: encoder gave up\n") != std::string::npos;
  const bool finish_failed =
      r.err.find("\nError: encoder exited with signal: 9 (SIGKILL): encoder gave up\n") !=
      std::string::npos;
  EXPECT_TRUE(write_failed || finish_failed) << r.err;
}

TEST_F(Faults, EncoderNeverReadsAndIsThenKilled) {
  // Upscaled frames of 640x480 fill any pipe buffer within two frames, so
  // lmr is blocked in a write when the encoder dies.
  const fs::path big = work / "big.mp4";
  lmr::testing::make_clip(big, 320, 240, 8, "25", false);
  tools.encoder("exec sleep 600");
  std::atomic<bool> done = false;
  std::thread killer([&] {
    // Kill the encoder once lmr has had time to fill its pipe and block.
    while (!done) {
      for (auto [pid, parent] : tools.started()) {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string cmd((std::istreambuf_iterator<char>(cmdline)), {});
        if (cmd == std::string("sleep") + '\0' + "600" + '\0') {
          std::this_thread::sleep_for(std::chrono::seconds(2));
          ::kill(pid, SIGKILL);
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  ProcResult r = run({"upscale", "--model", lmr::testing::model("nn2x.onnx").string(), "-i",
                      big.string(), "-o", (work / "out.mp4").string(), "--ep", "cpu"});
  done = true;
  killer.join();
  expect_clean_end(r, tools);
  expect_error_exit(r, "encoder failed: Broken pipe");
}

TEST_F(Faults, ProbeReportsAFrameOf100000x100000) {
  tools.probe("printf 'width=100000\\nheight=100000\\nr_frame_rate=25/1\\nnb_frames=10\\n'");
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  // Refused before a model is loaded or a buffer allocated.
  expect_error_exit(r, "output frame size 100000x100000 at 2x is too large\n");
  EXPECT_EQ(r.err.find("model loaded"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(work / "out.mp4"));
}

TEST_F(Faults, ProbeReportsAWidthOfZero) {
  tools.probe("printf 'width=0\\nheight=48\\nr_frame_rate=25/1\\nnb_frames=10\\n'");
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  expect_error_exit(r, "input frame size 0x48 has no pixels\n");
  EXPECT_FALSE(fs::exists(work / "out.mp4"));
}

// 4 MiB of diagnostics, written before the report.
const std::string kFloodStderr = "head -c 4194304 /dev/zero | tr '\\0' 'w' >&2; ";

TEST_F(Faults, ProbeWithMegabytesOfStderrThatFails) {
  tools.probe(kFloodStderr + "exit 1");
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  expect_error_exit(r, "ffprobe failed: wwww");
  EXPECT_NE(r.err.find(std::string(4194304, 'w')), std::string::npos);
}

TEST_F(Faults, ProbeWithMegabytesOfStderrThatSucceeds) {
  // Diagnostics of a successful probe are not shown; the job runs.
  tools.probe(kFloodStderr + "exec " + quoted(lmr::testing::bin_dir() / "ffprobe") + " \"$@\"");
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.err.find("done: 12 frames"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("www"), std::string::npos);
}

// --- broken models ---------------------------------------------------------

TEST_F(Faults, TruncatedOnnxFile) {
  std::string bytes = lmr::testing::read_file(lmr::testing::model("conv2x.onnx"));
  ASSERT_GT(bytes.size(), 100u);
  lmr::testing::write_file(work / "half.onnx", bytes.substr(0, bytes.size() / 2));
  ProcResult r = upscale((work / "half.onnx").string(), work / "out.mp4");
  expect_clean_end(r, tools);
  expect_error_exit(r, "");
  EXPECT_EQ(r.err.find("model loaded"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(work / "out.mp4"));
}

TEST_F(Faults, RandomBytesOnnxFile) {
  std::mt19937 rng(12345);
  std::string bytes(200000, '\0');
  for (char& c : bytes)
    c = static_cast<char>(rng());
  lmr::testing::write_file(work / "noise.onnx", bytes);
  ProcResult r = upscale((work / "noise.onnx").string(), work / "out.mp4");
  expect_clean_end(r, tools);
  expect_error_exit(r, "");
  EXPECT_FALSE(fs::exists(work / "out.mp4"));
}

TEST_F(Faults, ModelWithTheWrongOutputShape) {
  // Returns its input unchanged where a 2x enlargement is expected.
  ProcResult r = upscale(lmr::testing::model("identity.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  expect_error_exit(r, "");
  EXPECT_EQ(r.err.find("frame 1/"), std::string::npos) << r.err;
}

TEST_F(Faults, ModelWithFp16Output) {
  ProcResult r = upscale(lmr::testing::model("fp16out.onnx"), work / "out.mp4");
  expect_clean_end(r, tools);
  expect_error_exit(r, "");
  EXPECT_EQ(r.err.find("frame 1/"), std::string::npos) << r.err;
}

// --- outputs that cannot be written ------------------------------------------

// A mounted tmpfs, unmounted (lazily) when the test ends.
class Mount {
 public:
  Mount(const fs::path& where, const std::string& options) : where_(where) {
    fs::create_directories(where);
    ok_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~Mount() {
    if (ok_)
      ::umount2(where_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool ok() const { return ok_; }
  int remount_read_only() {
    return ::mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr);
  }

 private:
  fs::path where_;
  bool ok_ = false;
};

TEST_F(Faults, OutputOnAFullDisk) {
  // A small file system filled up before the job; /dev/full, which refuses
  // every write, stands in where mounting is not allowed.
  Mount small(work / "small", "size=64k");
  if (small.ok()) {
    std::ofstream filler(work / "small" / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) {
    }
  }
  const fs::path out = small.ok() ? work / "small" / "out.mp4" : fs::path("/dev/full");
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), out);
  expect_clean_end(r, tools);
  EXPECT_EQ(r.exit_code(), 1) << r.err;
  const bool write_failed = r.err.find("\nError: encoder failed: ") != std::string::npos;
  const bool finish_failed = r.err.find("\nError: encoder exited with ") != std::string::npos;
  EXPECT_TRUE(write_failed || finish_failed) << r.err;
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

TEST_F(Faults, OutputFolderWithoutWritePermission) {
  const fs::path folder = work / "locked";
  Mount locked(folder, "size=1m");
  if (geteuid() == 0) {
    // Permission bits do not stop root: a read-only file system does.
    if (!locked.ok() || locked.remount_read_only() != 0)
      GTEST_SKIP() << "running as root and cannot mount a read-only tmpfs here";
  } else {
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  }
  ProcResult r = upscale(lmr::testing::model("nn2x.onnx"), folder / "out.mp4");
  expect_clean_end(r, tools);
  EXPECT_EQ(r.exit_code(), 1) << r.err;
  const bool write_failed = r.err.find("\nError: encoder failed: ") != std::string::npos;
  const bool finish_failed = r.err.find("\nError: encoder exited with ") != std::string::npos;
  EXPECT_TRUE(write_failed || finish_failed) << r.err;
  EXPECT_TRUE(r.err.find("Read-only file system") != std::string::npos ||
              r.err.find("Permission denied") != std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(folder / "out.mp4"));
}

// --- hostile files of the desktop application -------------------------------

class AppDataFaults : public Faults {
 protected:
  void SetUp() override {
    Faults::SetUp();
    fs::create_directories(work / "app" / "models" / "quelt");
    env_ = {{"LMR_APP_DATA", (work / "app").string()}};
  }
  ProcResult models() { return run({"models"}, env_); }
  ProcResult download() { return run({"download", "-m", "quelt"}, env_); }

  lmr::testing::EnvChanges env_;
};

const std::string kQuelt =
    R"({"id": "quelt", "name": "Quelt", "arch": "esrgan", "tile": [64, 64],
        "files": {"2": {"url": "u", "sha256": "abcdef0123456789", "bytes": 1}}})";

TEST_F(AppDataFaults, ModelsJsonOf50MB) {
  // One real entry behind 50 MB of further entries with long descriptions.
  std::string doc = R"({"version": 1, "models": [)" + kQuelt;
  const std::string filler =
      R"(, {"id": "filler", "description": ")" + std::string(1 << 20, 'd') + R"("})";
  while (doc.size() < 50u << 20)
    doc += filler;
  doc += "]}";
  lmr::testing::write_file(work / "app" / "models.json", doc);
  lmr::testing::write_file(work / "app" / "models" / "quelt" / "2x-abcdef012345.onnx", "x");

  ProcResult listed = models();
  expect_clean_end(listed, tools);
  EXPECT_EQ(listed.exit_code(), 0) << listed.err;
  EXPECT_NE(listed.err.find("  quelt        Quelt                scales=[\"2\"] installed\n"),
            std::string::npos)
      << listed.err.substr(0, 2000);

  ProcResult resolved = download();
  expect_clean_end(resolved, tools);
  EXPECT_EQ(resolved.exit_code(), 0) << resolved.err;
  EXPECT_NE(resolved.err.find("ready: "), std::string::npos) << resolved.err;
}

TEST_F(AppDataFaults, ModelsJsonNested100000LevelsDeep) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  // Deep inside a field that takes any value, or where a model belongs: the
  // reader refuses such depth, and a refused catalogue is an empty one.
  std::string in_params = kQuelt;
  in_params.insert(in_params.rfind('}'), R"(, "params": )" + deep);
  for (const std::string& doc : {R"({"version": 1, "models": [)" + in_params + "]}",
                                 R"({"version": 1, "models": )" + deep + "}"}) {
    lmr::testing::write_file(work / "app" / "models.json", doc);
    ProcResult empty = models();
    expect_clean_end(empty, tools);
    EXPECT_EQ(empty.exit_code(), 0) << empty.err;
    EXPECT_EQ(empty.err, "no catalogue yet: open the app once (it downloads the manifest)\n");

    ProcResult missing = download();
    expect_clean_end(missing, tools);
    expect_error_exit(missing, "unknown model 'quelt'");
  }
}

TEST_F(AppDataFaults, PrefsJsonThatIsADirectory) {
  fs::create_directories(work / "app" / "prefs.json");
  lmr::testing::write_file(work / "app" / "models.json",
                           R"({"version": 1, "models": [)" + kQuelt + "]}");
  lmr::testing::write_file(work / "app" / "models" / "quelt" / "2x-abcdef012345.onnx", "x");
  // The defaults apply: the models folder is the one inside app data.
  ProcResult listed = models();
  expect_clean_end(listed, tools);
  EXPECT_EQ(listed.exit_code(), 0) << listed.err;
  EXPECT_NE(listed.err.find("  quelt        Quelt                scales=[\"2\"] installed\n"),
            std::string::npos)
      << listed.err;
  ProcResult resolved = download();
  expect_clean_end(resolved, tools);
  EXPECT_EQ(resolved.exit_code(), 0) << resolved.err;
  EXPECT_NE(resolved.err.find("ready: " + (work / "app" / "models" / "quelt").string()),
            std::string::npos)
      << resolved.err;
}

}  // namespace
}  // namespace lmr::cli
