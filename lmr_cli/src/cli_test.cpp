// The front end's decisions in process: the texts, the option table of
// upscale, the application folders and the catalogue step.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "cli.h"
#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;
using lmr::testing::write_file;

TEST(CliTexts, BannerIsByteExactAndUsageHidesTheInternalOptions) {
  EXPECT_EQ(
      banner(),
      "\n"
      "\x1b[38;5;33m \xE2\x95\xB2\xE2\x95\xB1  \xE2\x95\xB1\xE2\x95\xB2\x1b[0m\n"
      "\x1b[38;5;33m  \xE2\x95\xB2\xE2\x95\xB1\xE2\x95\xB1\x1b[0m   \x1b[1mLumerant\x1b[0m v0.1.0\n"
      "\x1b[38;5;33m  \xE2\x95\xB1\xE2\x95\xB2\x1b[0m    AI Video Enhancement Engine\n"
      "\x1b[38;5;33m \xE2\x95\xB1  \xE2\x95\xB2\x1b[0m   \x1b[2mlumerant.app\x1b[0m\n"
      "\n");
  const std::string u = usage();
  EXPECT_TRUE(u.starts_with("USAGE:\n  lmr upscale -m <model-name> -i <input> -o <output> [")) << u;
  EXPECT_TRUE(
      u.ends_with("\n  --max-frames <N>   Process at most N frames\n"
                  "  --job <dir>        Run in segments in this folder; resume what it holds\n"
                  "  --segment-frames <N>  Frames per segment (default: about 10 s)\n"
                  "  --tasks <N>        With --job: only this task's share, no join\n"
                  "  --task-index <I>   This task (default: from the scheduler)\n\n"))
      << u;
  EXPECT_NE(u.find("\n  lmr join --job <dir>\n"), std::string::npos) << u;
  for (const char* hidden : {"test-model", "--model-name", "--div", "--max-area", "--fgnet"})
    EXPECT_EQ(u.find(hidden), std::string::npos) << hidden;
}

// "name=value" words, one per field of a parsed command line.
std::string fields(const ParsedUpscale& p) {
  const pipeline::UpscaleConfig& c = p.config;
  auto opt = [](const std::optional<uint64_t>& v) { return v ? std::to_string(*v) : "-"; };
  std::ostringstream s;
  s << "input=" << c.input << " output=" << c.output << " model=" << c.model << " scale=" << c.scale
    << " tile=" << opt(c.tile_w) << "x" << opt(c.tile_h) << " overlap=" << c.overlap
    << " ep=" << static_cast<int>(c.ep) << " codec=" << c.codec << " quality=" << c.quality
    << " max_frames=" << c.max_frames << " div=" << c.div << " max_area=" << opt(c.max_area)
    << " fgnet=" << (c.fgnet ? "yes" : "no") << " model_name=" << c.model_name.value_or("-")
    << " id=" << p.catalog_id.value_or("-");
  return s.str();
}

using Fields = std::map<std::string, std::string>;
Fields words(const std::string& text, Fields into = {}) {
  std::istringstream in(text);
  for (std::string w; in >> w;)
    into[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
  return into;
}

// The defaults, with the fields a row names in their place.
Fields with_defaults(const std::string& changed) {
  return words(changed, words("input= output= model= scale=2 tile=-x- overlap=16 ep=0 codec=h264 "
                              "quality=80 max_frames=18446744073709551615 div=1 max_area=- "
                              "fgnet=no model_name=- id=-"));
}

TEST(ParseUpscale, OptionTable) {
  struct Row {
    std::vector<std::string> args;
    std::string want;
    std::string error = "";
  };
  const Row rows[] = {
      {{}, ""},
      {{"-i",           "-o",        "-o",         "out.mkv",      "--model",
        "m.onnx",       "--scale",   "+3",         "--tile",       "640x360",
        "--overlap",    "8",         "--ep",       "cpu",          "--codec",
        "H265",         "--quality", "100",        "--max-frames", "0",
        "--div",        "8",         "--max-area", "65536",        "--fgnet",
        "--model-name", "a",         "-m",         "quelt"},
       "input=-o output=out.mkv model=m.onnx scale=3 tile=640x360 overlap=8 ep=2 codec=H265 "
       "quality=100 max_frames=0 div=8 max_area=65536 fgnet=yes id=quelt"},
      {{"--ep", "cpu", "--ep", "coreml", "--quality", "1"}, "ep=0 quality=1"},
      {{"--tile", "512"}, "tile=512x512"},
      {{"--tile", "0"}, "tile=0x0"},
      {{"--tile", "1x2", "--tile", "+7x+9"}, "tile=7x9"},
      {{"--scale"}, "", "missing value for --scale"},
      {{"--scale", "-3"}, "", "invalid digit found in string"},
      {{"--scale", "99999999999999999999"}, "", "number too large to fit in target type"},
      {{"--tile", "512x"}, "", "cannot parse integer from empty string"},
      {{"--tile", "512X288"}, "", "invalid digit found in string"},
      {{"--tile", "1x2x3"}, "", "invalid digit found in string"},
      {{"--ep", "CPU"}, "", "unknown ep: CPU"},
      {{"--quality", "0"}, "", "--quality must be 1-100"},
      {{"--quality", "101"}, "", "--quality must be 1-100"},
      {{"--quality", "4294967296"}, "", "number too large to fit in target type"},
      {{"--version"}, "", "unknown option: --version"},
      {{"--fgnet", "x"}, "", "unknown option: x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const Result<ParsedUpscale> p = parse_upscale(row.args);
    if (row.error.empty())
      EXPECT_EQ(words(p ? fields(*p) : "error=" + p.error().message()), with_defaults(row.want));
    else
      EXPECT_EQ(p ? "parsed" : p.error().message(), row.error);
  }
}

TEST(CliDirs, FoldersFromTheEnvironmentAndThePreferences) {
  TempDir dir;
  const std::string app = dir.path().string();
#ifdef __APPLE__
  const std::string home_app = "/home/b/Library/Application Support/app.lumerant.desktop";
#else
  const std::string home_app = "/home/b/.local/share/lumerant";
#endif
  struct Row {
    std::optional<std::string> app_data, home;
    std::string prefs, want_app, want_models;
  };
  const Row rows[] = {
      {app, "/home/b", "", app, app + "/models"},
      {"", "/home/b", "", "", "models"},
      // Not Unicode: as if unset.
      {"/tmp/\xC3(", "/home/b", "", home_app, home_app + "/models"},
      {std::nullopt, "/home/\xFF", "", home_app.substr(8), home_app.substr(8) + "/models"},
      // Taken as they are: a relative folder is not joined to app data.
      {app, "", R"({"models_dir": "/Volumes/ext/models"})", app, "/Volumes/ext/models"},
      {app, "", R"({"models_dir": "rel/models"})", app, "rel/models"},
      {app, "", R"({"models_dir": null})", app, app + "/models"},
  };
  lmr::testing::ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.app_data.value_or("(unset)") + " " + row.prefs);
    lmr::testing::ScopedEnv env_app("LMR_APP_DATA", row.app_data), env_home("HOME", row.home);
    write_file(dir / "prefs.json", row.prefs);
    const Dirs d = cli_dirs();
    EXPECT_EQ(d.app_data.string(), row.want_app);
    EXPECT_EQ(d.models_dir.string(), row.want_models);
  }
}

TEST(CatalogStep, ResolvedModelFillsTheRecord) {
  TempDir app;
  lmr::testing::ScopedEnv env("LMR_APP_DATA", app.path().string());
  write_file(app / "models.json", R"({"version": 1, "models": [
    {"id": "quelt", "arch": "esrgan", "tile": [512, 384], "files": {
      "2": {"url": "u", "sha256": "2222222222222222", "bytes": 1},
      "4": {"url": "u", "sha256": "4444444444444444", "bytes": 1}}},
    {"id": "sorvan", "files": {"2": {"url": "u", "sha256": "", "bytes": 1}}},
    {"id": "other", "arch": "swin", "tile": [96, 128],
     "files": {"2": {"url": "u", "sha256": "", "bytes": 1}}}]})");
  const fs::path models = app / "models";
  for (const char* file : {"quelt/2x-222222222222.onnx", "quelt/4x-444444444444.onnx",
                           "sorvan/2x.onnx", "other/2x.onnx"}) {
    fs::create_directories((models / file).parent_path());
    write_file(models / file, "m");
  }
  struct Row {
    std::string id;
    uint64_t scale;
    std::optional<uint64_t> tile;
    std::string want;
  };
  const std::string m = models.string();
  const Row rows[] = {
      // The catalogue's file, scale, smaller tile side and name replace the line's.
      {"quelt",
       9,
       {},
       "model=" + m +
           "/quelt/4x-444444444444.onnx scale=4 tile=384x384 "
           "model_name=quelt"},
      {"quelt", 3, 256, "model=" + m + "/quelt/4x-444444444444.onnx scale=4 tile=256x256"},
      {"sorvan", 2, {}, "model=" + m + "/sorvan/2x.onnx tile=288x288 fgnet=yes"},
      {"other", 2, {}, "model=" + m + "/other/2x.onnx tile=96x96"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    ParsedUpscale p;
    p.config.model = "a.onnx";
    p.config.scale = row.scale;
    p.config.tile_w = p.config.tile_h = row.tile;
    const Status st = apply_catalog_model(p.config, row.id);
    ASSERT_TRUE(st) << st.error().message();
    EXPECT_EQ(words(fields(p)), with_defaults(row.want));
  }
}

}  // namespace
}  // namespace lmr::cli
