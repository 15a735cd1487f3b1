// The pretrained models end to end: tools/models/install.sh into a
// temporary application-data folder (never the user's), read back by the
// catalogue code, then listed, resolved and run by lmr at every scale.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalog.h"
#include "testing.h"

namespace {

namespace fs = std::filesystem;
using lmr::testing::run;
using lmr::testing::run_lmr;
using lmr::testing::TempDir;

class InstalledModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    app_ = new TempDir;
    auto r = run({"/bin/sh", (lmr::testing::source_dir() / "tools/models/install.sh").string(),
                  (app_->path() / "app").string()},
                 {}, 900);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    lmr::testing::make_clip(app_->path() / "tiny.mp4", 32, 24, 2, "25", false);
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  static fs::path app() { return app_->path() / "app"; }
  static lmr::testing::EnvChanges env() { return {{"LMR_APP_DATA", app().string()}}; }
  static TempDir* app_;
};
TempDir* InstalledModels::app_ = nullptr;

TEST_F(InstalledModels, CatalogueReadBackByTheEngine) {
  struct Row {
    std::string id;
    std::vector<std::string> keys;
  };
  const Row rows[] = {{"anime-video", {"2", "3", "4"}}, {"anime-hq", {"4"}}, {"natural", {"4"}}};
  auto models = lmr::catalog::cached(app(), app() / "models");
  ASSERT_EQ(models.size(), std::size(rows));
  for (size_t i = 0; i < models.size(); ++i) {
    const auto& m = models[i];
    SCOPED_TRACE(m.id);
    EXPECT_EQ(m.id, rows[i].id);
    EXPECT_FALSE(m.name.empty());
    EXPECT_EQ(m.arch, "esrgan");
    EXPECT_TRUE(m.installed);
    EXPECT_EQ(m.tile[0], m.tile[1]);
    EXPECT_GE(m.tile[0], 64u);
    std::vector<std::string> keys;
    for (const auto& [key, ref] : m.files) {
      keys.push_back(key);
      // The file under its catalogue name holds exactly what the entry says.
      fs::path file = lmr::catalog::file_path(app() / "models", m.id, key, ref.sha256);
      auto sha = lmr::catalog::sha256_file(file);
      ASSERT_TRUE(sha) << file;
      EXPECT_EQ(*sha, ref.sha256) << file;
      EXPECT_EQ(fs::file_size(file), ref.bytes) << file;
    }
    EXPECT_EQ(keys, rows[i].keys);
  }
}

TEST_F(InstalledModels, ListedResolvedAndRunAtEveryScale) {
  const fs::path out = app_->path() / "out.mp4";
  const std::string in = (app_->path() / "tiny.mp4").string();
  auto upscale = [&](const std::string& id, const std::string& scale) {
    return std::vector<std::string>{"upscale", "-m", id,   "--scale",   scale,
                                    "-i",      in,   "-o", out.string()};
  };
  struct Row {
    std::vector<std::string> args;
    std::vector<std::string> expected;  // each must appear in stderr
  };
  const Row rows[] = {
      {{"models"},
       {"  anime-video ", " scales=[\"2\", \"3\", \"4\"] installed\n", "  anime-hq ",
        "  natural "}},
      {{"download", "-m", "natural", "--scale", "4"},
       {"ready: " + (app() / "models/natural/4x-").string(), "  scale: 4  arch: esrgan\n"}},
      {{"download", "-m", "anime-video", "--scale", "4"},
       {"ready: " + (app() / "models/anime-video/4x-").string(), "  scale: 4  arch: esrgan\n"}},
      {upscale("anime-video", "2"),
       {"input 32x24 @ 25/1 \xE2\x86\x92 64x48 (2x)", "done: 2 frames"}},
      {upscale("anime-video", "3"), {"\xE2\x86\x92 96x72 (3x)", "done: 2 frames"}},
      {upscale("anime-video", "4"), {"\xE2\x86\x92 128x96 (4x)", "done: 2 frames"}},
      {upscale("anime-hq", "2"), {"\xE2\x86\x92 128x96 (4x)", "done: 2 frames"}},
      {upscale("natural", "4"), {"\xE2\x86\x92 128x96 (4x)", "done: 2 frames"}},
  };
  for (const Row& row : rows) {
    std::string cmd;
    for (const auto& a : row.args)
      cmd += a + " ";
    SCOPED_TRACE(cmd);
    fs::remove(out);
    auto r = run_lmr(row.args, env(), 600);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    for (const auto& piece : row.expected)
      EXPECT_NE(r.err.find(piece), std::string::npos) << piece << "\nin:\n" << r.err;
    if (row.args[0] == "upscale") {
      EXPECT_GT(fs::exists(out) ? fs::file_size(out) : 0, 0u);
    }
  }
}

}  // namespace
