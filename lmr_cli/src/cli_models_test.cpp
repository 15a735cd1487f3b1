// Application folders, the catalogue step of upscale, `models` and
// `download`, against real folders made here.
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "catalog.h"
#include "cli.h"
#include "prefs.h"
#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using lmr::testing::run_lmr;
using lmr::testing::TempDir;
using lmr::testing::write_file;

const std::string kNotInstalled = "Model not installed. Open File \xE2\x80\xBA Model manager.";

// Sets (or unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& v) {
    if (v)
      setenv(name_, v->c_str(), 1);
    else
      unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

json file_ref(const std::string& sha) {
  return {{"url", "https://cdn.lumerant.app/m.onnx"}, {"sha256", sha}, {"bytes", 1}};
}

// A temporary application-data folder with its catalogue and model files.
struct App {
  TempDir dir;
  fs::path models() const { return dir / "models"; }
  void catalogue(const json& model_list) const {
    write_file(dir / "models.json", json{{"version", 1}, {"models", model_list}}.dump(2));
  }
  void put(const std::string& id, const std::string& name, const std::string& content = "m") const {
    fs::create_directories(models() / id);
    write_file(models() / id / name, content);
  }
  lmr::testing::EnvChanges env() const { return {{"LMR_APP_DATA", dir.path().string()}}; }
};

// --- Application folders ---

TEST(CliDirs, AppDataFromTheEnvironment) {
  TempDir dir;
  ScopedEnv app("LMR_APP_DATA", dir.path().string());
  Dirs d = cli_dirs();
  EXPECT_EQ(d.app_data, dir.path());
  EXPECT_EQ(d.models_dir, dir / "models");
}

TEST(CliDirs, EmptyAppDataIsTheCurrentDirectory) {
  ScopedEnv app("LMR_APP_DATA", "");
  Dirs d = cli_dirs();
  EXPECT_EQ(d.app_data, fs::path());
  EXPECT_EQ(d.models_dir, fs::path("models"));
}

// The platform's rule itself is tested in platform_test; here, that the
// environment reaches it, with variables that are not Unicode left out.
TEST(CliDirs, PlatformDefaultWithoutAppData) {
  EXPECT_STREQ(kAppIdentifier, "app.lumerant.desktop");
  ScopedEnv app("LMR_APP_DATA", "/tmp/\xC3(");
  ScopedEnv xdg("XDG_DATA_HOME", std::nullopt);
  {
    ScopedEnv home("HOME", "/home/b");
#ifdef __APPLE__
    const fs::path expected("/home/b/Library/Application Support/app.lumerant.desktop");
#else
    const fs::path expected("/home/b/.local/share/lumerant");
#endif
    EXPECT_EQ(cli_dirs().app_data, expected);
    EXPECT_EQ(cli_dirs().models_dir, expected / "models");
  }
  {
    ScopedEnv home("HOME", "/home/\xFF");
    EXPECT_TRUE(cli_dirs().app_data.is_relative()) << cli_dirs().app_data;
  }
}

TEST(CliDirs, ModelsFolderFromThePreferences) {
  TempDir dir;
  ScopedEnv app("LMR_APP_DATA", dir.path().string());
  write_file(dir / "prefs.json", R"({"models_dir": "/Volumes/ext/models", "language": "en"})");
  Dirs d = cli_dirs();
  EXPECT_EQ(d.app_data, dir.path());
  EXPECT_EQ(d.models_dir, fs::path("/Volumes/ext/models"));
  // Relative: not joined to the application-data folder.
  write_file(dir / "prefs.json", R"({"models_dir": "rel/models"})");
  EXPECT_EQ(cli_dirs().models_dir, fs::path("rel/models"));
  write_file(dir / "prefs.json", R"({"models_dir": null})");
  EXPECT_EQ(cli_dirs().models_dir, dir / "models");
  // A document rejected as a whole loses its models_dir too.
  write_file(dir / "prefs.json", R"({"models_dir": "/Volumes/ext/models", "tile_size": "x"})");
  EXPECT_EQ(cli_dirs().models_dir, dir / "models");
  write_file(dir / "prefs.json", R"({"models_dir": "/a"}{"models_dir": "/b"})");
  EXPECT_EQ(cli_dirs().models_dir, dir / "models");
}

TEST(CliDirs, PreferenceDefaultsUseTheProductsWebDomain) {
  EXPECT_EQ(prefs::Prefs::defaults().site_url, std::string("https://") + kWebDomain);
}

// --- The catalogue step of upscale ---

struct CatalogStep : ::testing::Test {
  App app;
  ScopedEnv env{"LMR_APP_DATA", app.dir.path().string()};
  void SetUp() override {
    app.catalogue(
        {{{"id", "quelt"},
          {"arch", "esrgan"},
          {"tile", {512, 384}},
          {"files", {{"2", file_ref("2222222222222222")}, {"4", file_ref("4444444444444444")}}}},
         {{"id", "sorvan"}, {"files", {{"2", file_ref("")}}}},
         {{"id", "other"},
          {"arch", "swin"},
          {"tile", {96, 128}},
          {"files", {{"2", file_ref("")}}}}});
    app.put("quelt", "2x-222222222222.onnx");
    app.put("quelt", "4x-444444444444.onnx");
    app.put("sorvan", "2x.onnx");
    app.put("other", "2x.onnx");
  }
};

TEST_F(CatalogStep, EsrganModelGetsItsTileAndName) {
  pipeline::UpscaleConfig c;
  c.model = "a.onnx";
  c.scale = 3;
  ASSERT_TRUE(apply_catalog_model(c, "quelt"));
  EXPECT_EQ(c.model, (app.models() / "quelt" / "4x-444444444444.onnx").string());
  EXPECT_EQ(c.scale, 4u);
  EXPECT_EQ(c.tile_w, 384u);
  EXPECT_EQ(c.tile_h, 384u);
  EXPECT_EQ(c.model_name, "quelt");
  EXPECT_FALSE(c.fgnet);
}

TEST_F(CatalogStep, TileFromTheCommandLineStandsAndLeavesTheNameAbsent) {
  pipeline::UpscaleConfig c;
  c.tile_w = 256;
  c.tile_h = 128;
  ASSERT_TRUE(apply_catalog_model(c, "quelt"));
  EXPECT_EQ(c.tile_w, 256u);
  EXPECT_EQ(c.tile_h, 128u);
  EXPECT_FALSE(c.model_name.has_value());
  EXPECT_EQ(c.scale, 2u);
  EXPECT_EQ(c.model, (app.models() / "quelt" / "2x-222222222222.onnx").string());
}

TEST_F(CatalogStep, FgnetModelSelectsTheMultiInputPipeline) {
  pipeline::UpscaleConfig c;
  ASSERT_TRUE(apply_catalog_model(c, "sorvan"));
  EXPECT_TRUE(c.fgnet);
  EXPECT_EQ(c.tile_w, 288u);
  EXPECT_EQ(c.tile_h, 288u);
  EXPECT_FALSE(c.model_name.has_value());  // only "esrgan" models are named
  // Another architecture: neither named nor multi-input.
  pipeline::UpscaleConfig o;
  ASSERT_TRUE(apply_catalog_model(o, "other"));
  EXPECT_FALSE(o.fgnet);
  EXPECT_FALSE(o.model_name.has_value());
  EXPECT_EQ(o.tile_w, 96u);
}

TEST_F(CatalogStep, ResolutionErrors) {
  pipeline::UpscaleConfig c;
  c.model = "a.onnx";
  auto st = apply_catalog_model(c, "nope");
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), "unknown model 'nope'");
  EXPECT_EQ(c.model, "a.onnx");
  fs::remove(app.models() / "sorvan" / "2x.onnx");
  st = apply_catalog_model(c, "sorvan");
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().message(), kNotInstalled);
  EXPECT_FALSE(c.fgnet);
}

// --- `lmr models` ---

TEST(CliModels, NoCatalogueYet) {
  App app;
  // No models.json, an empty one, one without "version".
  for (const char* text : {"-", "", "{\"models\": []}"}) {
    if (std::string(text) != "-")
      write_file(app.dir / "models.json", text);
    auto r = run_lmr({"models", "--ignored", "x"}, app.env());
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "no catalogue yet: open the app once (it downloads the manifest)\n");
  }
}

TEST(CliModels, ListsEveryModelWithPaddingAndInstalledState) {
  App app;
  app.catalogue({
      {{"id", "quelt"},
       {"name", "Quelt"},
       {"files", {{"4", file_ref("4444444444444444")}, {"2", file_ref("2222222222222222")}}}},
      {{"id", "sorvan"}, {"name", "Sorvan Fine Detail"}, {"files", {{"2", file_ref("abc")}}}},
      {{"id", "a-very-long-model-id"},
       {"name", "A display name longer than twenty"},
       {"files", {{"10", file_ref("")}, {"2", file_ref("")}}}},
      {{"id", "bare"}},
      {{"id", "cafe"}, {"name", "Caf\xC3\xA9 \xE2\x80\xBA 2"}, {"files", {{"2", file_ref("")}}}},
      {{"id", "Dropped"}, {"name", "upper case id"}},
  });
  app.put("quelt", "2x-222222222222.onnx");
  app.put("quelt", "4x-444444444444.onnx");
  app.put("sorvan", "2x.onnx");
  app.put("a-very-long-model-id", "2x.onnx");  // 10x.onnx missing
  auto r = run_lmr({"models"}, app.env());
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "  quelt        Quelt                scales=[\"2\", \"4\"] installed\n"
            "  sorvan       Sorvan Fine Detail   scales=[\"2\"] installed\n"
            "  a-very-long-model-id A display name longer than twenty scales=[\"10\", \"2\"] \n"
            "  bare                              scales=[] \n"
            // Padded by characters: "é" and "›" are one each.
            "  cafe         Caf\xC3\xA9 \xE2\x80\xBA 2             scales=[\"2\"] \n");
}

TEST(CliModels, AdoptionFailureIsPrintedBeforeTheList) {
  App app;
  // SHA-256("abc"); a scale key so long that the current file name cannot exist.
  std::string key(247, '3');
  app.catalogue(
      {{{"id", "quelt"},
        {"name", "Quelt"},
        {"files",
         {{key, file_ref("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")}}}}});
  app.put("quelt", key + "x.onnx", "abc");
  auto r = run_lmr({"models"}, app.env());
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.err, "adopt " + (app.models() / "quelt" / (key + "x.onnx")).string() +
                       ": File name too long (os error 36)\n"
                       "  quelt        Quelt                scales=[\"" +
                       key + "\"] \n");
}

TEST(CliModels, AdoptsOlderFileNamesAndShowsThemInstalled) {
  App app;
  app.catalogue(
      {{{"id", "quelt"},
        {"name", "Quelt"},
        {"files",
         {{"2", file_ref("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD")}}}}});
  app.put("quelt", "2x.onnx", "abc");
  auto r = run_lmr({"models"}, app.env());
  EXPECT_EQ(r.err, "  quelt        Quelt                scales=[\"2\"] installed\n");
  EXPECT_TRUE(fs::exists(app.models() / "quelt" / "2x-ba7816bf8f01.onnx"));
}

TEST(CliModels, ModelsFolderFromThePreferences) {
  App app;
  TempDir elsewhere;
  write_file(app.dir / "prefs.json", json{{"models_dir", elsewhere.path().string()}}.dump());
  app.catalogue({{{"id", "quelt"}, {"name", "Quelt"}, {"files", {{"2", file_ref("")}}}}});
  app.put("quelt", "2x.onnx");  // in app_data/models: not where the preference points
  auto r = run_lmr({"models"}, app.env());
  EXPECT_EQ(r.err, "  quelt        Quelt                scales=[\"2\"] \n");
  fs::create_directories(elsewhere / "quelt");
  write_file(elsewhere / "quelt" / "2x.onnx", "m");
  r = run_lmr({"models"}, app.env());
  EXPECT_EQ(r.err, "  quelt        Quelt                scales=[\"2\"] installed\n");
}

// --- `lmr download` ---

struct CliDownload : ::testing::Test {
  App app;
  void SetUp() override {
    app.catalogue(
        {{{"id", "quelt"},
          {"arch", "esrgan"},
          {"tile", {512, 256}},
          {"files", {{"2", file_ref("2222222222222222")}, {"4", file_ref("4444444444444444")}}}},
         {{"id", "sorvan"}, {"files", {{"2", file_ref("")}}}}});
    app.put("quelt", "2x-222222222222.onnx");
    app.put("quelt", "4x-444444444444.onnx");
  }
  lmr::testing::ProcResult run(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {"download"};
    all.insert(all.end(), args.begin(), args.end());
    return run_lmr(all, app.env());
  }
  void expect_error(const std::vector<std::string>& args, const std::string& message) const {
    auto r = run(args);
    EXPECT_EQ(r.exit_code(), 1) << message;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: " + message + "\n");
  }
};

TEST_F(CliDownload, ReportsTheResolvedFile) {
  auto r = run({"-m", "quelt", "--scale", "3"});
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ready: " + (app.models() / "quelt" / "4x-444444444444.onnx").string() +
                       "\n  tile: 256  scale: 4  arch: esrgan\n");
  // Default scale 2; --model names a catalogue id too; the last one wins.
  r = run({"--model", "sorvan", "--model", "quelt"});
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.err, "ready: " + (app.models() / "quelt" / "2x-222222222222.onnx").string() +
                       "\n  tile: 256  scale: 2  arch: esrgan\n");
  r = run({"--scale", "+9", "-m", "quelt"});
  EXPECT_EQ(r.err, "ready: " + (app.models() / "quelt" / "4x-444444444444.onnx").string() +
                       "\n  tile: 256  scale: 4  arch: esrgan\n");
}

TEST_F(CliDownload, UsageAndOptionErrors) {
  expect_error({}, "usage: lmr download -m <model-name> [--scale N]");
  expect_error({"--scale", "2"}, "usage: lmr download -m <model-name> [--scale N]");
  expect_error({"-m", "quelt", "extra"}, "unknown option: extra");
  expect_error({"-m=quelt"}, "unknown option: -m=quelt");
  expect_error({"-i", "quelt"}, "unknown option: -i");
  expect_error({"-m"}, "missing value for -m");
  expect_error({"-m", "quelt", "--scale"}, "missing value for --scale");
  expect_error({"--model"}, "missing value for --model");
  expect_error({"-m", "quelt", "--scale", ""}, "cannot parse integer from empty string");
  expect_error({"-m", "quelt", "--scale", "-2"}, "invalid digit found in string");
  expect_error({"-m", "quelt", "--scale", "99999999999999999999"},
               "number too large to fit in target type");
}

TEST_F(CliDownload, ResolutionErrors) {
  expect_error({"-m", "Quelt"}, "unknown model 'Quelt'");
  expect_error({"-m", "sorvan"}, kNotInstalled);
  fs::remove(app.dir / "models.json");
  expect_error({"-m", "quelt"}, "unknown model 'quelt'");
}

// --- `lmr upscale -m` ---

TEST(CliUpscaleCatalog, UnknownIdIsReportedBeforeTheInputCheck) {
  App app;
  for (auto args : {std::vector<std::string>{"upscale", "-m", "nope", "-o", "out.mp4"},
                    {"--model-name", "nope", "-o", "out.mp4"},
                    {"upscale", "-m", "nope"}}) {
    auto r = run_lmr(args, app.env());
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, banner() + "Error: unknown model 'nope'\n");
  }
}

TEST(CliUpscaleCatalog, MissingModelFileIsReportedBeforeTheInputCheck) {
  App app;
  app.catalogue({{{"id", "quelt"}, {"files", {{"2", file_ref("")}}}}});
  auto r = run_lmr({"upscale", "-m", "quelt", "-o", "out.mp4"}, app.env());
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, banner() + "Error: " + kNotInstalled + "\n");
  // Once present, the missing input is what stops the run.
  app.put("quelt", "2x.onnx");
  r = run_lmr({"upscale", "-m", "quelt", "-o", "out.mp4"}, app.env());
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, banner() + "Error: -i and -o are required\n");
}

// End to end: catalogue entries pointing at generated models, run through
// the real pipelines on a small clip.
struct CliUpscaleCatalogRun : ::testing::Test {
  App app;
  TempDir work;
  fs::path clip = work / "in.mp4";
  void SetUp() override { lmr::testing::make_clip(clip, 96, 64, 3); }

  // Installs `generated` under its current catalogue name (or the older
  // one), with its real digest in the catalogue.
  json entry(const std::string& id,
             const std::string& arch,
             const std::string& generated,
             bool older_name = false) const {
    fs::path source = lmr::testing::model(generated);
    std::string sha = catalog::sha256_file(source).value();
    fs::create_directories(app.models() / id);
    fs::copy_file(
        source, app.models() / id / (older_name ? "2x.onnx" : "2x-" + sha.substr(0, 12) + ".onnx"));
    return {{"id", id}, {"arch", arch}, {"tile", {64, 64}}, {"files", {{"2", file_ref(sha)}}}};
  }
  lmr::testing::ProcResult upscale(const std::vector<std::string>& extra) const {
    std::vector<std::string> args = {"upscale", "-i", clip.string(), "-o",
                                     (work / "out.mp4").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_lmr(args, app.env(), 120);
  }
  std::string output_size() const {
    auto r = lmr::testing::run({(lmr::testing::bin_dir() / "ffprobe").string(), "-v", "error",
                                "-select_streams", "v:0", "-count_frames", "-show_entries",
                                "stream=width,height,nb_read_frames", "-of", "csv=p=0",
                                (work / "out.mp4").string()});
    return r.out;
  }
};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

TEST_F(CliUpscaleCatalogRun, EsrganEntryGetsItsPerModelPlan) {
  json nettra = entry("nettra", "esrgan", "nn2x.onnx", /*older_name=*/true);
  std::string nettra_file =
      (app.models() / "nettra" /
       ("2x-" + nettra["files"]["2"]["sha256"].get<std::string>().substr(0, 12) + ".onnx"))
          .string();
  app.catalogue(
      {nettra, entry("sorvan", "esrgan", "nn2x.onnx"), entry("plainx", "esrgan", "nn2x.onnx")});

  // A whole-frame model: one 96x64 tile instead of the catalogue's 64.
  auto r = upscale({"-m", "nettra", "--scale", "4", "--model", "ignored.onnx"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_TRUE(r.err.starts_with(
      banner() + "input 96x64 @ 25/1 → 192x128 (2x), tiles: 96x64 = 1 (1 cols × 1 rows,"))
      << r.err;
  EXPECT_EQ(count(r.err, "model loaded in "), 1u) << r.err;
  EXPECT_NE(r.err.find("s: " + nettra_file + "\n"), std::string::npos) << r.err;  // adopted name
  EXPECT_FALSE(fs::exists(app.models() / "nettra" / "2x.onnx"));
  EXPECT_NE(r.err.find("\ndone: 3 frames in "), std::string::npos) << r.err;
  EXPECT_EQ(output_size(), "192,128,3\n");

  // With --tile the plan is off: the generic grid of 64x64 tiles.
  r = upscale({"-m", "nettra", "--tile", "64"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.err.find("tiles: 64x64 = 2 (2 cols × 1 rows,"), std::string::npos) << r.err;

  // A two-session model opens a second session beside the first, except on the CPU.
  r = upscale({"-m", "sorvan"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.err.find("tiles: 64x64 = 2 (2 cols × 1 rows,"), std::string::npos) << r.err;
  EXPECT_EQ(count(r.err, "model loaded in "), 2u) << r.err;
  r = upscale({"-m", "sorvan", "--ep", "cpu"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_EQ(count(r.err, "model loaded in "), 1u) << r.err;

  // Any other esrgan model: the catalogue tile, one session.
  r = upscale({"-m", "plainx"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_NE(r.err.find("tiles: 64x64 = 2 (2 cols × 1 rows,"), std::string::npos) << r.err;
  EXPECT_EQ(count(r.err, "model loaded in "), 1u) << r.err;
}

TEST_F(CliUpscaleCatalogRun, FgnetEntryRunsTheMultiInputPipelineWithoutTheFlag) {
  json fg = entry("fgx", "fgnet", "fgnet2x.onnx");
  fg["tile"] = {288, 512};
  app.catalogue(json::array({fg}));
  auto r = upscale({"-m", "fgx", "--scale", "3", "--ep", "cpu"});
  ASSERT_EQ(r.exit_code(), 0) << r.err;
  EXPECT_TRUE(r.err.starts_with(banner() + "fgnet: 96x64 → 192x128 (2x), tile 96x64, 1 tiles\n"))
      << r.err;
  EXPECT_NE(r.err.find("inference: "), std::string::npos);
  EXPECT_NE(r.err.find(" ms/tile avg (3 tiles)\n"), std::string::npos) << r.err;
  EXPECT_EQ(output_size(), "192,128,3\n");
}

}  // namespace
}  // namespace lmr::cli
