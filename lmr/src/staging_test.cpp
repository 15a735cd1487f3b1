#include "staging.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fd.h"
#include "testing.h"

namespace lmr::staging {
namespace {

namespace fs = std::filesystem;
using lmr::testing::read_file;
using lmr::testing::TempDir;
using lmr::testing::write_file;

TEST(TemporaryName, KeepsTheFolderAndTheExtensions) {
  struct Row {
    const char* target;
    const char* name;
  };
  for (const Row& row :
       {Row{"/v/out.mp4", "/v/.out.lmr-T.mp4"}, Row{"movie.mkv.part", ".movie.lmr-T.mkv.part"},
        Row{"d/noext", "d/.noext.lmr-T"}, Row{".hidden.mov", "..hidden.lmr-T.mov"}}) {
    EXPECT_EQ(temporary_name(row.target, "T"), fs::path(row.name)) << row.target;
  }
}

TEST(PendingFile, TheTargetChangesOnlyOnCommit) {
  TempDir dir;
  const fs::path target = dir / "out.mp4";
  write_file(target, "before");
  {
    auto file = PendingFile::create(target);
    ASSERT_TRUE(file) << file.error().message();
    EXPECT_EQ(file->path().parent_path(), dir.path());
    EXPECT_TRUE(file->path().filename().string().starts_with(".out.lmr-"));
    write_file(file->path(), "dropped");
  }
  EXPECT_EQ(read_file(target), "before");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  auto file = PendingFile::create(target);
  ASSERT_TRUE(file);
  write_file(file->path(), "after");
  ASSERT_TRUE(file->commit());
  EXPECT_EQ(read_file(target), "after");
  EXPECT_FALSE(fs::exists(file->path()));

  ASSERT_TRUE(lmr::staging::write_file(target, "whole"));
  EXPECT_EQ(read_file(target), "whole");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(PendingFile, RefusesFoldersAndMissingFolders) {
  TempDir dir;
  auto folder = PendingFile::create(dir.path());
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error().message(), "the output " + dir.path().string() + " is a folder");
  auto missing = PendingFile::create(dir / "no" / "out.mp4");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "cannot write the output " + (dir / "no/out.mp4").string() +
                                           ": No such file or directory (os error 2)");
}

TEST(PendingFile, RemovesOnlyWhatDeadRunsLeftForTheSameTarget) {
  TempDir dir;
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
  struct Row {
    const char* name;
    bool aged, locked, removed;
  };
  const Row rows[] = {
      {".out.lmr-1-0.mp4", true, false, true},     // its run was killed
      {".out.lmr-2-0.mp4", true, true, false},     // its run is still writing
      {".out.lmr-3-0.mp4", false, false, false},   // just created, not yet locked
      {".other.lmr-4-0.mp4", true, false, false},  // another target's
      {".out.lmr-5-0.mkv", true, false, false},    // another target's
  };
  std::vector<Fd> locks;
  for (const Row& row : rows) {
    write_file(dir / row.name, "x");
    if (row.aged)
      fs::last_write_time(dir / row.name, old);
    if (row.locked) {
      locks.emplace_back(::open((dir / row.name).c_str(), O_RDONLY | O_CLOEXEC));
      ASSERT_EQ(::flock(locks.back().get(), LOCK_EX), 0);
    }
  }
  auto file = PendingFile::create(dir / "out.mp4");
  ASSERT_TRUE(file);
  for (const Row& row : rows)
    EXPECT_EQ(fs::exists(dir / row.name), !row.removed) << row.name;
  // Its own file is locked against the next run's clean-up.
  Fd probe(::open(file->path().c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_NE(::flock(probe.get(), LOCK_EX | LOCK_NB), 0);
}

}  // namespace
}  // namespace lmr::staging
