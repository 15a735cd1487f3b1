#include "prefs.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "testing.h"

namespace lmr::prefs {
namespace {

using lmr::testing::TempDir;
using lmr::testing::write_file;
using json = nlohmann::json;

Prefs load_text(const std::string& text) {
  TempDir dir;
  write_file(dir / "prefs.json", text);
  return load(dir.path());
}

TEST(PrefsDefaults, EveryKeyHasTheApplicationsDefault) {
  Prefs p = Prefs::defaults();
  EXPECT_TRUE(p.show_edit_choice);
  EXPECT_TRUE(p.favourite_presets.empty());
  EXPECT_FALSE(p.update_snooze_until.has_value());
  EXPECT_EQ(p.default_preview_mode, "single");
  EXPECT_EQ(p.default_zoom, "fit");
  EXPECT_TRUE(p.show_help_prompts);
  EXPECT_FALSE(p.models_dir.has_value());
  EXPECT_FALSE(p.export_dir.has_value());
  EXPECT_EQ(p.execution_provider, "auto");
  EXPECT_EQ(p.tile_size, 0u);
  EXPECT_EQ(p.default_codec, json::object());
  EXPECT_EQ(p.manifest_url, "https://cdn.lumerant.app/models/manifest.json");
  EXPECT_EQ(p.releases_url, "https://cdn.lumerant.app/desktop/releases.json");
  EXPECT_EQ(p.site_url, "https://lumerant.app");
  EXPECT_FALSE(p.models_prompt_done);
  EXPECT_EQ(p.preview_duration, "2s");
  EXPECT_EQ(p.language, "system");
  EXPECT_TRUE(p.share_usage_data);
}

TEST(PrefsLoad, MissingFileOrFolderGivesDefaults) {
  TempDir dir;
  EXPECT_EQ(load(dir.path()), Prefs::defaults());
  EXPECT_EQ(load(dir / "does-not-exist"), Prefs::defaults());
  // A folder named prefs.json cannot be read as a file.
  std::filesystem::create_directory(dir / "prefs.json");
  EXPECT_EQ(load(dir.path()), Prefs::defaults());
}

TEST(PrefsLoad, FifoDoesNotHang) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "prefs.json").c_str(), 0600), 0);
  EXPECT_EQ(load(dir.path()), Prefs::defaults());
}

TEST(PrefsLoad, EveryKeyIsRead) {
  Prefs p = load_text(R"({
    "show_edit_choice": false,
    "favourite_presets": ["a", "b"],
    "update_snooze_until": "2030-01-01",
    "default_preview_mode": "split",
    "default_zoom": "100",
    "show_help_prompts": false,
    "models_dir": "/data/models",
    "export_dir": "/data/out",
    "execution_provider": "cpu",
    "tile_size": 18446744073709551615,
    "default_codec": {"name": "h265", "q": [1, 2.5]},
    "manifest_url": "m",
    "releases_url": "r",
    "site_url": "s",
    "models_prompt_done": true,
    "preview_duration": "5s",
    "language": "fr",
    "share_usage_data": false
  })");
  EXPECT_FALSE(p.show_edit_choice);
  EXPECT_EQ(p.favourite_presets, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(p.update_snooze_until, "2030-01-01");
  EXPECT_EQ(p.default_preview_mode, "split");
  EXPECT_EQ(p.default_zoom, "100");
  EXPECT_FALSE(p.show_help_prompts);
  EXPECT_EQ(p.models_dir, "/data/models");
  EXPECT_EQ(p.export_dir, "/data/out");
  EXPECT_EQ(p.execution_provider, "cpu");
  EXPECT_EQ(p.tile_size, UINT64_MAX);
  EXPECT_EQ(p.default_codec, json::parse(R"({"name": "h265", "q": [1, 2.5]})"));
  EXPECT_EQ(p.manifest_url, "m");
  EXPECT_EQ(p.releases_url, "r");
  EXPECT_EQ(p.site_url, "s");
  EXPECT_TRUE(p.models_prompt_done);
  EXPECT_EQ(p.preview_duration, "5s");
  EXPECT_EQ(p.language, "fr");
  EXPECT_FALSE(p.share_usage_data);
}

TEST(PrefsLoad, UnknownKeysAreSkippedAndMissingKeysDefault) {
  Prefs p = load_text(R"(  {"models_dir": "/data/models", "colour": 3, "nested": {"x": [null]}}
)");
  Prefs expected = Prefs::defaults();
  expected.models_dir = "/data/models";
  EXPECT_EQ(p, expected);
}

TEST(PrefsLoad, NullMeansAbsentWhereAllowed) {
  Prefs p = load_text(
      R"({"models_dir": null, "export_dir": null, "update_snooze_until": null, "language": "de"})");
  EXPECT_FALSE(p.models_dir.has_value());
  EXPECT_FALSE(p.export_dir.has_value());
  EXPECT_FALSE(p.update_snooze_until.has_value());
  EXPECT_EQ(p.language, "de");  // the document was accepted
}

TEST(PrefsLoad, DefaultCodecTakesAnyValueIncludingNull) {
  EXPECT_EQ(load_text(R"({"default_codec": null, "language": "de"})").default_codec, json());
  EXPECT_EQ(load_text(R"({"default_codec": "prores"})").default_codec, json("prores"));
  EXPECT_EQ(load_text(R"({"default_codec": -1.5})").default_codec, json(-1.5));
}

// Each document is rejected as a whole: even its valid models_dir is lost.
TEST(PrefsLoad, RejectedDocumentsGiveTheFullDefaults) {
  const char* bad[] = {
      "",
      "   ",
      "null",
      "[]",
      "\"text\"",
      R"({"models_dir": "/data/models", "tile_size": "512"})",
      R"({"models_dir": "/data/models", "tile_size": -1})",
      R"({"models_dir": "/data/models", "tile_size": 1.5})",
      R"({"models_dir": "/data/models", "tile_size": 1.0})",
      R"({"models_dir": "/data/models", "tile_size": 18446744073709551616})",
      R"({"models_dir": "/data/models", "language": null})",
      R"({"models_dir": "/data/models", "favourite_presets": ["a", 1]})",
      R"({"models_dir": "/data/models", "favourite_presets": "a"})",
      R"({"models_dir": "/data/models", "show_edit_choice": 1})",
      R"({"models_dir": 5})",
      R"({"models_dir": "/a", "models_dir": "/b"})",
      R"({"models_dir": "/data/models"} {})",
      R"({"models_dir": "/data/models"} x)",
      R"({"models_dir": "/data/models"},)",
      R"({"models_dir": "/data/models",})",
      R"({"models_dir": "/data/models")",
      "{\"models_dir\": \"/data/models\"} // note",
      "\xEF\xBB\xBF{\"models_dir\": \"/data/models\"}",
      "{\"models_dir\": \"/data/\xFF\"}",
  };
  for (const char* text : bad) {
    EXPECT_EQ(load_text(text), Prefs::defaults()) << text;
  }
}

TEST(PrefsLoad, DuplicateKeysAreRejectedAtAnyDepth) {
  // Inside a value the record does not look at, and in an ignored key.
  EXPECT_EQ(load_text(R"({"models_dir": "/m", "default_codec": {"a": 1, "a": 2}})"),
            Prefs::defaults());
  EXPECT_EQ(load_text(R"({"models_dir": "/m", "x": [{"k": 1}, {"k": 2, "k": 3}]})"),
            Prefs::defaults());
  // The same key in sibling objects is not a duplicate.
  EXPECT_EQ(
      load_text(R"({"models_dir": "/m", "x": [{"k": 1}, {"k": 2}], "y": {"k": 3}})").models_dir,
      "/m");
}

TEST(ParseJsonStrict, ValuesAndRejections) {
  EXPECT_EQ(parse_json_strict(" [1, {\"a\": [true, null]}, \"x\"] \n"),
            json::parse(R"([1, {"a": [true, null]}, "x"])"));
  EXPECT_EQ(parse_json_strict("-3"), json(-3));
  EXPECT_FALSE(parse_json_strict("1 2"));
  EXPECT_FALSE(parse_json_strict("{} {}"));
  EXPECT_FALSE(parse_json_strict(""));
  EXPECT_FALSE(parse_json_strict(R"({"a": {"b": 1, "b": 1}})"));
  // Deep nesting is parsed without recursion, up to a depth whose values can
  // still be copied and compared on any thread's stack.
  auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_json_strict(nested(512)));
  EXPECT_FALSE(parse_json_strict(nested(513)));
  EXPECT_FALSE(parse_json_strict(nested(100000)));
}

TEST(PrefsLoad, DeeplyNestedValueGivesTheDefaultsWithoutExhaustingTheStack) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(load_text(R"({"models_dir": "/m", "default_codec": )" + deep + "}"), Prefs::defaults());
  const std::string fine = std::string(500, '[') + std::string(500, ']');
  EXPECT_EQ(load_text(R"({"models_dir": "/m", "default_codec": )" + fine + "}").models_dir, "/m");
}

}  // namespace
}  // namespace lmr::prefs
