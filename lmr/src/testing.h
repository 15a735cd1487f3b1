// Test support: running programs with a timeout, temporary folders, the
// build's executables and generated models, small clips made by ffmpeg.
#pragma once

#include <filesystem>
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

// Runs argv[0] (a path) with argv, stdin from `input`, capturing stdout and
// stderr; kills it after `timeout_s` seconds.
ProcResult run(const std::vector<std::string>& argv,
               const EnvChanges& env = {},
               int timeout_s = 300,
               const std::string& input = "");
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
// An mp4 whose header survives but whose coded frames are cut away: it
// probes, yet nothing decodes.
void make_undecodable_clip(const std::filesystem::path& dir, const std::filesystem::path& path);

// Number of zombie children of this process, and of open descriptors.
int zombie_children();
int open_fds();

void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);

}  // namespace lmr::testing
