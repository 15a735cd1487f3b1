// Test support: running programs with a timeout, temporary folders, the
// build's executables and generated models, small clips made by ffmpeg.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lmr::testing {

struct ProcResult {
  int wait_status = -1;
  bool timed_out = false;
  std::string out;
  std::string err;
  // Exit code, or -1 when the process did not exit normally.
  int exit_code() const;
};

// Environment changes: a value sets the variable, nothing unsets it.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Runs argv[0] (a path) with argv, stdin from /dev/null, capturing stdout
// and stderr; kills it after `timeout_s` seconds.
ProcResult run(const std::vector<std::string>& argv,
               const EnvChanges& env = {},
               int timeout_s = 300);
// Runs the built lmr with `args`.
ProcResult run_lmr(const std::vector<std::string>& args,
                   const EnvChanges& env = {},
                   int timeout_s = 300);

std::filesystem::path bin_dir();                       // where lmr, ffmpeg, ffprobe live
std::filesystem::path models_dir();                    // generated test models
std::filesystem::path model(const std::string& name);  // models_dir()/name
std::filesystem::path source_dir();

// A fresh folder under /tmp, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Makes a clip with ffmpeg's lavfi sources: testsrc2 video of w x h at
// `rate` for `frames` frames, with a sine audio track when `audio`.
// `codec_args` default to lossless-ish H.264 in the container of the name.
void make_clip(const std::filesystem::path& path,
               int w,
               int h,
               int frames,
               const std::string& rate = "25",
               bool audio = true,
               const std::vector<std::string>& codec_args = {});

// Runs the build's ffmpeg with "-v error -y" and `args`; throws with its
// stderr when it fails.
void run_ffmpeg(std::vector<std::string> args);
// Graphic footage: two solid shapes gliding over a plain background (2 s).
void make_animation(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);

// Sets (a value) or unsets (nothing) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A folder of stand-in ffprobe and ffmpeg programs, made the tool folder
// (LMR_FFMPEG_DIR, for this process and every child) while it lives. Each
// stand-in records "pid parent", its arguments and its open descriptors,
// then runs the shell body of its role; by default the real tool (exec keeps
// the recorded pid). The encoder is the ffmpeg that reads frames from stdin
// ("-i -"); every other ffmpeg plays the decoder.
class StandIns {
 public:
  StandIns();
  // Kills whatever a failed case left running; restores LMR_FFMPEG_DIR.
  ~StandIns();
  StandIns(const StandIns&) = delete;
  StandIns& operator=(const StandIns&) = delete;

  StandIns& probe(std::string body);
  StandIns& decoder(std::string body);
  StandIns& encoder(std::string body);
  // The shell line that runs the real tool with the stand-in's arguments.
  static std::string real(const std::string& tool);

  const std::filesystem::path& dir() const { return dir_.path(); }
  // "pid parent" of every stand-in started so far.
  std::vector<std::pair<pid_t, pid_t>> started() const;
  // The argument lists of every call of `tool` ("ffmpeg" or "ffprobe").
  std::vector<std::vector<std::string>> calls(const std::string& tool) const;
  // Descriptors above 2 that a stand-in was handed by its parent, other than
  // the shell's own, as "fds.PID: N -> target".
  std::vector<std::string> stray_descriptors() const;

 private:
  void write() const;

  TempDir dir_;
  ScopedEnv tool_dir_;
  std::string probe_, decoder_, encoder_;
};

// Checked when it goes out of scope: no zombie child and no more open
// descriptors than at its start; the `unchanged` files byte for byte as they
// were; with `tools`, every stand-in (and the lmr that started it) ended and
// no stand-in was handed a stray descriptor.
class Hygiene {
 public:
  explicit Hygiene(const StandIns* tools = nullptr,
                   std::vector<std::filesystem::path> unchanged = {});
  ~Hygiene();
  Hygiene(const Hygiene&) = delete;
  Hygiene& operator=(const Hygiene&) = delete;

 private:
  const StandIns* tools_;
  int fds_;
  std::vector<std::pair<std::filesystem::path, std::string>> files_;
};

// A one-machine Slurm cluster of two CPUs (tools/slurm/local-cluster.sh): its
// own munged, slurmctld and slurmd, with configuration, state and logs in a
// temporary folder, on free ports. Needs root and Debian's slurmctld, slurmd,
// slurm-client and munge; otherwise skip_reason() says what is missing and
// nothing runs. Every wait is bounded. The destructor stops every daemon,
// step and job program of the cluster, pass or fail, and removes the folder;
// should the test program die first, a watcher of the script does.
class SlurmCluster {
 public:
  SlurmCluster();
  ~SlurmCluster();
  SlurmCluster(const SlurmCluster&) = delete;
  SlurmCluster& operator=(const SlurmCluster&) = delete;

  // Why this machine cannot run the cluster, or empty.
  const std::string& skip_reason() const { return skip_; }
  // Why it failed to start where it should have, with the daemons' logs, or empty.
  const std::string& error() const { return error_; }
  // SLURM_CONF for the clients and the scripts that call them.
  EnvChanges env() const;
  // Runs a client (sbatch, squeue, scontrol, a script that calls them)
  // against this cluster; `argv[0]` is a path or a name looked up in PATH.
  ProcResult client(std::vector<std::string> argv, int timeout_s = 60) const;
  // Waits until none of `job_ids` is pending, running or completing; false
  // after `timeout_s` seconds.
  bool wait_done(const std::vector<std::string>& job_ids, int timeout_s) const;
  // The "Key=value" fields of `scontrol show job ID`, one map per record
  // (an array job has one per task).
  std::vector<std::map<std::string, std::string>> job_records(const std::string& id) const;
  // The tails of the daemons' logs, for failure messages.
  std::string logs() const;

 private:
  std::filesystem::path dir_;
  std::string skip_, error_;
  bool started_ = false;
};

}  // namespace lmr::testing
