// Finding the tools and wording exit statuses: no child process is started.
#include "ffbin.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <functional>

#include "platform.h"
#include "testing.h"

namespace lmr::ffbin {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

const std::string kTail = "); reinstall Lumerant (developers: run tools/ffmpeg/build.sh)";

TEST(Lookup, CandidatesInOrderAndTheFirstRegularFileWins) {
  EXPECT_EQ(candidates("ffmpeg", fs::path("/app/bin"), fs::path("/over"), fs::path("/dev")),
            (std::vector<fs::path>{"/over/ffmpeg", "/app/bin/ffmpeg",
                                   "/dev/runtime/ffmpeg-aarch64-apple-darwin"}));
  EXPECT_EQ(resolve("ffprobe", candidates("ffprobe", std::nullopt)).error().message(),
            "ffprobe is missing from the app (looked for " + kTail);
  EXPECT_EQ(resolve("ffmpeg", {"/no\xff/ffmpeg"}).error().message(),
            "ffmpeg is missing from the app (looked for /no\xEF\xBF\xBD/ffmpeg" + kTail);

  // Each row looks in <dir>/a, then <dir>/b (ffmpeg is on PATH: never looked at).
  struct Row {
    const char* name;
    std::function<void(const fs::path&)> setup;
    const char* found;  // "" when missing
  };
  auto file = [](const fs::path& p) { lmr::testing::write_file(p, "#!/bin/sh\n"); };
  const Row rows[] = {
      {"nothing", [](const fs::path&) {}, ""},
      {"a folder", [](const fs::path& d) { fs::create_directory(d / "a" / "ffmpeg"); }, ""},
      {"a dangling link", [](const fs::path& d) { fs::create_symlink(d / "x", d / "a/ffmpeg"); },
       ""},
      {"a link to a file",
       [&](const fs::path& d) {
         file(d / "x");
         fs::create_directory(d / "a" / "ffmpeg");
         fs::create_symlink(d / "x", d / "b" / "ffmpeg");
       },
       "b"},
      {"two files", [&](const fs::path& d) { file(d / "a/ffmpeg"), file(d / "b/ffmpeg"); }, "a"},
      {"not executable (starting it fails later)",
       [](const fs::path& d) { lmr::testing::write_file(d / "a" / "ffmpeg", ""); }, "a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    row.setup(dir.path());
    const fs::path a = dir / "a" / "ffmpeg", b = dir / "b" / "ffmpeg";
    auto r = resolve("ffmpeg", {a, b});
    if (*row.found)
      EXPECT_EQ(r.value(), dir / row.found / "ffmpeg");
    else
      EXPECT_EQ(r.error().message(), "ffmpeg is missing from the app (looked for " + a.string() +
                                         ", " + b.string() + kTail);
  }
}

TEST(Lookup, CommandLooksInTheToolFolderThenBesideTheExecutableEveryTime) {
  const fs::path exe_dir = platform::executable_dir().value();
  lmr::testing::StandIns tools;
  auto cmd = command("ffmpeg");
  EXPECT_EQ(cmd.value().program(), tools.dir() / "ffmpeg");
  EXPECT_TRUE(cmd->arguments().empty());
  EXPECT_EQ(cmd->stdin_mode(), Stdio::kInherit);
  EXPECT_EQ(cmd->stdout_mode(), Stdio::kInherit);
  EXPECT_EQ(cmd->stderr_mode(), Stdio::kInherit);
  fs::remove(tools.dir() / "ffmpeg");
  EXPECT_EQ(command("ffmpeg").value().program(), exe_dir / "ffmpeg");
  EXPECT_EQ(command("ffnothing").error().message(),
            "ffnothing is missing from the app (looked for " +
                (tools.dir() / "ffnothing").string() + ", " + (exe_dir / "ffnothing").string() +
                kTail);
}

TEST(ExitStatusText, Wording) {
  const std::pair<int, const char*> rows[] = {
      {0, "exit status: 0"},
      {3 << 8, "exit status: 3"},
      {255 << 8, "exit status: 255"},
      {SIGKILL, "signal: 9 (SIGKILL)"},
      {SIGSEGV | 0x80, "signal: 11 (SIGSEGV) (core dumped)"},
      {40, "signal: 40"},
      {(SIGSTOP << 8) | 0x7f, "wait status: 4991"},
  };
  for (const auto& [status, text] : rows)
    EXPECT_EQ(exit_status_text(status), text) << status;
}

}  // namespace
}  // namespace lmr::ffbin
