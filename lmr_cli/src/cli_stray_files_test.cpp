// Every command, run as a new user would, writes nothing but the requested
// output: not in HOME, not in TMPDIR, not in the working folder, not beside
// the input or the models (the runtime's telemetry and ffmpeg's encoder
// statistics or logs included).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "catalog.h"
#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using lmr::testing::TempDir;

// Every entry under `root` (hidden ones too) with its size; folders as -1.
std::map<std::string, intmax_t> listing(const fs::path& root) {
  std::map<std::string, intmax_t> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const bool dir = e.is_directory() && !e.is_symlink();
    out[e.path().lexically_relative(root).string()] =
        dir ? -1
            : static_cast<intmax_t>(
                  e.symlink_status().type() == fs::file_type::regular ? e.file_size() : 0);
  }
  return out;
}

// What differs between two listings: new, changed or removed entries.
std::vector<std::string> changes(const std::map<std::string, intmax_t>& before,
                                 const std::map<std::string, intmax_t>& after) {
  std::vector<std::string> out;
  for (const auto& [path, size] : after) {
    auto it = before.find(path);
    if (it == before.end() || it->second != size)
      out.push_back(path);
  }
  for (const auto& [path, size] : before) {
    if (!after.contains(path))
      out.push_back(path + " (removed)");
  }
  return out;
}

struct Row {
  std::string name;
  std::vector<std::string> args;
  int status;
  // Relative to the working folder; the one entry allowed to appear there.
  std::string output;
  // The catalogue's application-data folder, else HOME's (empty).
  bool catalogue = false;
};

TEST(StrayFiles, EveryCommandWritesOnlyItsOutput) {
  TempDir fixtures;
  const fs::path clip = fixtures / "in.mp4";
  lmr::testing::make_clip(clip, 96, 64, 3);
  const fs::path cut = fixtures / "cut.mp4";
  lmr::testing::make_undecodable_clip(fixtures.path(), cut);

  // A catalogue with one entry of each family, installed under its name.
  const fs::path app = fixtures / "app";
  json models = json::array();
  for (const auto& [id, arch, generated] :
       {std::tuple{"nettra", "esrgan", "nn2x.onnx"}, std::tuple{"fgx", "fgnet", "fgnet2x.onnx"}}) {
    const fs::path source = lmr::testing::model(generated);
    const std::string sha = catalog::sha256_file(source).value();
    fs::create_directories(app / "models" / id);
    fs::copy_file(source, app / "models" / id / ("2x-" + sha.substr(0, 12) + ".onnx"));
    models.push_back({{"id", id},
                      {"arch", arch},
                      {"tile", {288, 288}},
                      {"files", {{"2", {{"url", "u"}, {"sha256", sha}, {"bytes", 1}}}}}});
  }
  lmr::testing::write_file(app / "models.json", json{{"version", 1}, {"models", models}}.dump());

  const std::string in = clip.string(), nn = lmr::testing::model("nn2x.onnx").string();
  auto up = [&](std::vector<std::string> extra) {
    std::vector<std::string> a{"upscale", "-i", in, "--ep", "cpu"};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  const Row rows[] = {
      {"h264", up({"--model", nn, "-o", "out.mp4", "--codec", "h264"}), 0, "out.mp4"},
      {"h265", up({"--model", nn, "-o", "out.mp4", "--codec", "h265"}), 0, "out.mp4"},
      {"prores", up({"--model", nn, "-o", "out.mov", "--codec", "prores"}), 0, "out.mov"},
      {"catalogue single-frame", up({"-m", "nettra", "-o", "out.mp4"}), 0, "out.mp4", true},
      {"catalogue multi-input", up({"-m", "fgx", "-o", "out.mp4", "--codec", "h265"}), 0, "out.mp4",
       true},
      {"info", {"info", "-i", in}, 0, ""},
      {"models", {"models"}, 0, "", true},
      {"models, none yet", {"models"}, 0, ""},
      {"download", {"download", "-m", "fgx"}, 0, "", true},
      {"test-model",
       {"test-model", "x", "--model", lmr::testing::model("fgnet2x.onnx").string()},
       0,
       ""},
      // Failures, early and late: a job that stops mid-run leaves at most its
      // output behind.
      {"missing input", {"upscale", "--model", nn, "-i", "gone.mp4", "-o", "out.mp4"}, 1, ""},
      {"output folder missing", up({"--model", nn, "-o", "missing/out.mp4", "--codec", "h265"}), 1,
       ""},
      {"wrong model",
       up({"--model", lmr::testing::model("identity.onnx").string(), "-o", "out.mp4", "--codec",
           "h265"}),
       1, "out.mp4"},
      {"multi-input, wrong model",
       up({"--fgnet", "--model", nn, "-o", "out.mov", "--codec", "prores"}), 1, "out.mov"},
      {"unknown catalogue model", up({"-m", "absent", "-o", "out.mp4"}), 1, "", true},
      {"info, missing input", {"info", "-i", "gone.mp4"}, 1, ""},
      {"info, nothing decodes", {"info", "-i", cut.string()}, 0, ""},
      {"download, unknown", {"download", "-m", "absent"}, 1, "", true},
      {"test-model, fails to run", {"test-model", "--model", nn}, 1, ""},
  };
  for (const Row& row : rows) {
    TempDir run;  // home/, tmp/ and cwd/, all empty
    for (const char* d : {"home", "tmp", "cwd"})
      fs::create_directory(run / d);
    const auto fixtures_before = listing(fixtures.path());
    std::vector<std::string> argv{"/usr/bin/env", "-C", (run / "cwd").string(),
                                  (lmr::testing::bin_dir() / "lmr").string()};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    // The engine must turn the runtime's telemetry off by itself.
    lmr::testing::EnvChanges env{{"HOME", (run / "home").string()},
                                 {"TMPDIR", (run / "tmp").string()},
                                 {"ORT_DISABLE_TELEMETRY", std::nullopt},
                                 {"LMR_APP_DATA", std::nullopt}};
    if (row.catalogue)
      env.emplace_back("LMR_APP_DATA", app.string());
    const auto r = lmr::testing::run(argv, env, 120);
    EXPECT_EQ(r.exit_code(), row.status) << row.name << "\n" << r.err;

    std::vector<std::string> created =
        changes({{"home", -1}, {"tmp", -1}, {"cwd", -1}}, listing(run.path()));
    std::erase(created, "cwd/" + row.output);
    EXPECT_EQ(created, std::vector<std::string>{}) << row.name;
    if (row.status == 0 && !row.output.empty()) {
      EXPECT_TRUE(fs::is_regular_file(run / "cwd" / row.output)) << row.name;
    }
    EXPECT_EQ(changes(fixtures_before, listing(fixtures.path())), std::vector<std::string>{})
        << row.name;
  }
}

}  // namespace
}  // namespace lmr::cli
