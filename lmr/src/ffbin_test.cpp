// Finding the tools and wording exit statuses: no child process is started.
#include "ffbin.h"

#include <signal.h>

#include <gtest/gtest.h>

#include "platform.h"
#include "testing.h"

namespace lmr::ffbin {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

const std::string kTail = "); reinstall Lumerant (developers: run tools/ffmpeg/build.sh)";

TEST(Lookup, TheFirstRegularFileWinsElseEveryCandidateIsNamed) {
  EXPECT_EQ(resolve("ffprobe", candidates("ffprobe", std::nullopt)).error().message(),
            "ffprobe is missing from the app (looked for " + kTail);
  EXPECT_EQ(resolve("ffmpeg", {"/no\xff/ffmpeg"}).error().message(),
            "ffmpeg is missing from the app (looked for /no\xEF\xBF\xBD/ffmpeg" + kTail);

  // Each row is a list of folders holding the ffmpeg of their name.
  TempDir dir;
  for (const char* sub : {"none", "folder/ffmpeg", "dangling", "link", "file"})
    fs::create_directories(dir / sub);
  fs::create_symlink(dir / "absent", dir / "dangling" / "ffmpeg");
  fs::create_symlink(dir / "file" / "ffmpeg", dir / "link" / "ffmpeg");
  lmr::testing::write_file(dir / "file" / "ffmpeg", "");  // not executable: starting it fails
  const std::pair<std::vector<const char*>, const char*> rows[] = {
      {{"none", "folder", "dangling"}, ""},
      {{"folder", "link"}, "link"},
      {{"file", "link"}, "file"},
  };
  for (const auto& [subs, found] : rows) {
    std::vector<fs::path> list;
    std::string names;
    for (const char* sub : subs) {
      list.push_back(dir / sub / "ffmpeg");
      names += (names.empty() ? "" : ", ") + list.back().string();
    }
    auto r = resolve("ffmpeg", list);
    EXPECT_EQ(r ? r->string() : r.error().message(),
              *found ? (dir / found / "ffmpeg").string()
                     : "ffmpeg is missing from the app (looked for " + names + kTail);
  }
}

// The tool folder (LMR_FFMPEG_DIR) first, then the executable's.
TEST(Lookup, CommandLooksInTheToolFolderThenBesideTheExecutable) {
  const fs::path exe_dir = platform::executable_dir().value();
  lmr::testing::StandIns tools;
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
