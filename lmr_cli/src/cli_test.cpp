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
    << " id=" << p.catalog_id.value_or("-") << " reuse=" << (c.reuse ? "yes" : "no");
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
                              "fgnet=no model_name=- id=- reuse=yes"));
}

// An error as "message <- cause <- ...".
std::string error_text(const Error& e) {
  std::string out = e.message();
  for (const std::string& cause : e.causes())
    out += " <- " + cause;
  return out;
}

TEST(ParseUpscale, OptionTable) {
  struct Row {
    std::vector<std::string> args;
    std::string want;
    std::string error = "";
  };
  const std::string scale = "--scale must be a whole number from 1 to 16";
  const std::string tile = "--tile must be WxH or N, whole numbers from 16 to 65536";
  const std::string overlap =
      "--overlap must be a whole number from 0 to 32767, less than half the tile side";
  const std::string frames = "--max-frames must be a whole number, at least 1";
  const std::string area = "--max-area must be a whole number of pixels from 256 to 4294967296";
  const std::string div = "--div must be a whole number from 0 to 65536";
  const std::string codecs = "--codec must be h264, h265 or prores, not ";
  const std::string digit = " <- invalid digit found in string";
  const std::string empty = " <- cannot parse integer from empty string";
  const std::string large = " <- number too large to fit in target type";
  const Row rows[] = {
      {{}, ""},
      {{"-i",           "-o",        "-o",         "out.mkv",      "--model",
        "m.onnx",       "--scale",   "+3",         "--tile",       "640x360",
        "--overlap",    "8",         "--ep",       "cpu",          "--codec",
        "H265",         "--quality", "100",        "--max-frames", "1",
        "--div",        "8",         "--max-area", "65536",        "--fgnet",
        "--model-name", "a",         "-m",         "quelt"},
       "input=-o output=out.mkv model=m.onnx scale=3 tile=640x360 overlap=8 ep=2 codec=h265 "
       "quality=100 max_frames=1 div=8 max_area=65536 fgnet=yes id=quelt"},
      {{"--ep", "cpu", "--ep", "coreml", "--quality", "1"}, "ep=0 quality=1"},
      {{"--no-reuse", "--max-frames", "3", "--no-reuse"}, "reuse=no max_frames=3"},
      {{"--scale"}, "", "missing value for --scale"},
      {{"--ep", "CPU"}, "", "unknown ep: CPU"},
      {{"--version"}, "", "unknown option: --version"},
      {{"--fgnet", "x"}, "", "unknown option: x"},
      // Every number: its range, with the parser's complaint when it is no number.
      {{"--scale", "1", "--scale", "16"}, "scale=16"},
      {{"--scale", "0"}, "", scale},
      {{"--scale", "17"}, "", scale},
      {{"--scale", "-3"}, "", scale + digit},
      {{"--scale", "2.5"}, "", scale + digit},
      {{"--scale", "99999999999999999999"}, "", scale + large},
      {{"--overlap", "0"}, "overlap=0"},
      {{"--overlap", "32767"}, "overlap=32767"},
      {{"--overlap", "32768"}, "", overlap},
      {{"--overlap", "-1"}, "", overlap + digit},
      {{"--max-frames", "18446744073709551615"}, ""},
      {{"--max-frames", "0"}, "", frames},
      {{"--max-frames", "-1"}, "", frames + digit},
      {{"--max-frames", "18446744073709551616"}, "", frames + large},
      {{"--quality", "0"}, "", "--quality must be 1-100"},
      {{"--quality", "101"}, "", "--quality must be 1-100"},
      {{"--quality", "4294967296"}, "", "--quality must be 1-100" + large},
      {{"--quality", ""}, "", "--quality must be 1-100" + empty},
      {{"--div", "0"}, "div=0"},
      {{"--div", "65537"}, "", div},
      {{"--max-area", "256", "--max-area", "4294967296"}, "max_area=4294967296"},
      {{"--max-area", "255"}, "", area},
      {{"--max-area", "4294967297"}, "", area},
      // Tiles: both sides in range, the overlap under half the smaller one.
      {{"--tile", "512"}, "tile=512x512"},
      {{"--tile", "16x20", "--tile", "+70x+90"}, "tile=70x90"},
      {{"--tile", "16", "--overlap", "7"}, "tile=16x16 overlap=7"},
      {{"--overlap", "16", "--tile", "33x65536"}, "tile=33x65536"},
      {{"--tile", "0"}, "", tile},
      {{"--tile", "1"}, "", tile},
      {{"--tile", "2"}, "", tile},
      {{"--tile", "8x0"}, "", tile},
      {{"--tile", "15x512"}, "", tile},
      {{"--tile", "65537"}, "", tile},
      {{"--tile", "10x"}, "", tile + empty},
      {{"--tile", "512x"}, "", tile + empty},
      {{"--tile", "512X288"}, "", tile + digit},
      {{"--tile", "1x2x3"}, "", tile + digit},
      {{"--tile", "32"},
       "",
       "--overlap 16 is too large for --tile 32x32: tiles may overlap by less than half their "
       "side (at most 15)"},
      {{"--tile", "512x31", "--overlap", "15"}, "tile=512x31 overlap=15"},
      {{"--tile", "512x31", "--overlap", "16"},
       "",
       "--overlap 16 is too large for --tile 512x31: tiles may overlap by less than half their "
       "side (at most 15)"},
      // The documented codecs in any case, passed on in lower case; nothing else.
      {{"--codec", "PRORES"}, "codec=prores"},
      {{"--codec", "HEVC"}, "codec=h265"},
      {{"--codec", "h264", "--codec", "H264"}, "codec=h264"},
      {{"--codec", "x264"}, "", codecs + "\"x264\""},
      {{"--codec", "vp9"}, "", codecs + "\"vp9\""},
      {{"--codec", "h264 "}, "", codecs + "\"h264 \""},
      {{"--codec", ""}, "", codecs + "\"\""},
      {{"--no-reuse", "no"}, "", "unknown option: no"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    const Result<ParsedUpscale> p = parse_upscale(row.args);
    if (row.error.empty())
      EXPECT_EQ(words(p ? fields(*p) : "error=" + error_text(p.error())), with_defaults(row.want));
    else
      EXPECT_EQ(p ? "parsed" : error_text(p.error()), row.error);
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
