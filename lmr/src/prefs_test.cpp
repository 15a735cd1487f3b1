#include "prefs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "fd.h"
#include "testing.h"

namespace lmr::prefs {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// A document is read whole or not at all: every rejected one gives the full
// defaults, even its valid models_dir.
TEST(PrefsLoad, DocumentsToPrefs) {
  enum Kind { kFile, kNoFile, kFolder, kFifo };
  struct Row {
    std::string doc;
    std::function<void(Prefs&)> edit;  // of the defaults; none: rejected
    Kind kind = kFile;
  };
  auto models = [](Prefs& p) { p.models_dir = "/data/models"; };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::string nested = std::string(500, '[') + std::string(500, ']');
  const Row rows[] = {
      {R"({"show_edit_choice": false, "favourite_presets": ["a", "b"],
           "update_snooze_until": "2030-01-01", "default_preview_mode": "split",
           "default_zoom": "100", "show_help_prompts": false, "models_dir": "/data/models",
           "export_dir": "/data/out", "execution_provider": "cpu",
           "tile_size": 18446744073709551615, "default_codec": {"name": "h265", "q": [1, 2.5]},
           "manifest_url": "m", "releases_url": "r", "site_url": "s", "models_prompt_done": true,
           "preview_duration": "5s", "language": "fr", "share_usage_data": false})",
       [](Prefs& p) {
         p = {.show_edit_choice = false,
              .favourite_presets = {"a", "b"},
              .update_snooze_until = "2030-01-01",
              .default_preview_mode = "split",
              .default_zoom = "100",
              .show_help_prompts = false,
              .models_dir = "/data/models",
              .export_dir = "/data/out",
              .execution_provider = "cpu",
              .tile_size = UINT64_MAX,
              .default_codec = json::parse(R"({"name": "h265", "q": [1, 2.5]})"),
              .manifest_url = "m",
              .releases_url = "r",
              .site_url = "s",
              .models_prompt_done = true,
              .preview_duration = "5s",
              .language = "fr",
              .share_usage_data = false};
       }},
      {"  {\"models_dir\": \"/data/models\", \"colour\": 3, \"nested\": {\"x\": [null]}}\n",
       models},
      {R"({"models_dir": null, "export_dir": null, "update_snooze_until": null, "language": "de"})",
       [](Prefs& p) { p.language = "de"; }},
      {R"({"default_codec": null})", [](Prefs& p) { p.default_codec = nullptr; }},
      {R"({"default_codec": -1.5})", [](Prefs& p) { p.default_codec = -1.5; }},
      {R"({"models_dir": "/data/models", "x": [{"k": 1}, {"k": 2}], "y": {"k": 3}})", models},
      {R"({"models_dir": "/data/models", "default_codec": )" + nested + "}",
       [&](Prefs& p) {
         p.models_dir = "/data/models";
         p.default_codec = json::parse(nested);
       }},
      {"", nullptr, kNoFile},
      {"", nullptr, kFolder},
      {R"({"models_dir": "/data/models"})", nullptr, kFifo},
      {"", nullptr},
      {"   ", nullptr},
      {"null", nullptr},
      {"[]", nullptr},
      {R"({"models_dir": "/data/models", "tile_size": "512"})", nullptr},
      {R"({"models_dir": "/data/models", "tile_size": -1})", nullptr},
      {R"({"models_dir": "/data/models", "tile_size": 1.0})", nullptr},
      {R"({"models_dir": "/data/models", "tile_size": 18446744073709551616})", nullptr},
      {R"({"models_dir": "/data/models", "language": null})", nullptr},
      {R"({"models_dir": "/data/models", "favourite_presets": ["a", 1]})", nullptr},
      {R"({"models_dir": "/data/models", "show_edit_choice": 1})", nullptr},
      {R"({"models_dir": 5})", nullptr},
      {R"({"models_dir": "/a", "models_dir": "/b"})", nullptr},
      {R"({"models_dir": "/data/models", "default_codec": {"a": 1, "a": 2}})", nullptr},
      {R"({"models_dir": "/data/models", "x": [{"k": 1}, {"k": 2, "k": 3}]})", nullptr},
      {R"({"models_dir": "/data/models"} {})", nullptr},
      {R"({"models_dir": "/data/models",})", nullptr},
      {R"({"models_dir": "/data/models")", nullptr},
      {"{\"models_dir\": \"/data/models\"} // note", nullptr},
      {"\xEF\xBB\xBF{\"models_dir\": \"/data/models\"}", nullptr},
      {"{\"models_dir\": \"/data/\xFF\"}", nullptr},
      {R"({"models_dir": "/data/models", "default_codec": )" + deep + "}", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.doc.substr(0, 60) + " (kind " + std::to_string(row.kind) + ")");
    lmr::testing::TempDir dir;
    const fs::path file = dir / "prefs.json";
    Fd fifo;
    if (row.kind == kFile)
      lmr::testing::write_file(file, row.doc);
    if (row.kind == kFolder)
      fs::create_directory(file);
    if (row.kind == kFifo) {
      // A pipe holding the whole document, its writer gone: readable to the end.
      ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
      fifo = Fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK));
      lmr::testing::write_file(file, row.doc);
    }
    Prefs want;
    if (row.edit)
      row.edit(want);
    EXPECT_EQ(load(dir.path()), want);
  }
}

}  // namespace
}  // namespace lmr::prefs
