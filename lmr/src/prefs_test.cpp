#include "prefs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <tuple>

#include "fd.h"
#include "testing.h"

namespace lmr::prefs {
namespace {

namespace fs = std::filesystem;

// A document is read whole or not at all: every rejected one gives the full
// defaults, even its valid models_dir. Rows: the document, then models_dir
// ("-" when absent) and language as read.
TEST(PrefsLoad, DocumentsToPrefs) {
  enum Kind { kFile, kNoFile, kFolder, kFifo };
  const std::string defaults = "- system", models = "/data/models system";
  const std::string nested = std::string(500, '[') + std::string(500, ']');
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const std::tuple<std::string, std::string, Kind> rows[] = {
      {R"({"models_dir": "/data/models", "tile_size": 18446744073709551615, "language": "fr"})",
       "/data/models fr", kFile},
      {" {\"models_dir\": \"/data/models\", \"colour\": 3, \"x\": {\"y\": [null]}}\n", models,
       kFile},
      {R"({"models_dir": null, "export_dir": null, "update_snooze_until": null, "language": "de"})",
       "- de", kFile},
      {R"({"default_codec": null, "language": "de"})", "- de", kFile},
      {R"({"models_dir": "/data/models", "x": [{"k": 1}, {"k": 2}], "y": {"k": 3}})", models,
       kFile},
      {R"({"models_dir": "/data/models", "default_codec": )" + nested + "}", models, kFile},
      {"", defaults, kNoFile},
      {"", defaults, kFolder},
      {R"({"models_dir": "/data/models"})", defaults, kFifo},
      {"", defaults, kFile},
      {R"({"models_dir": "/data/models", "tile_size": "512"})", defaults, kFile},
      {R"({"models_dir": "/data/models", "tile_size": -1})", defaults, kFile},
      {R"({"models_dir": "/data/models", "tile_size": 18446744073709551616})", defaults, kFile},
      {R"({"models_dir": "/data/models", "language": null})", defaults, kFile},
      {R"({"models_dir": "/data/models", "favourite_presets": ["a", 1]})", defaults, kFile},
      {R"({"models_dir": 5})", defaults, kFile},
      {R"({"models_dir": "/a", "models_dir": "/b"})", defaults, kFile},
      {R"({"models_dir": "/data/models", "default_codec": {"a": 1, "a": 2}})", defaults, kFile},
      {R"({"models_dir": "/data/models"} {})", defaults, kFile},
      {"\xEF\xBB\xBF{\"models_dir\": \"/data/models\"}", defaults, kFile},
      {"{\"models_dir\": \"/data/\xFF\"}", defaults, kFile},
      {R"({"models_dir": "/data/models", "default_codec": )" + deep + "}", defaults, kFile},
  };
  for (const auto& [doc, want, kind] : rows) {
    SCOPED_TRACE(doc.substr(0, 60) + " (kind " + std::to_string(kind) + ")");
    lmr::testing::TempDir dir;
    const fs::path file = dir / "prefs.json";
    Fd fifo;
    if (kind == kFolder)
      fs::create_directory(file);
    if (kind == kFifo) {
      // A pipe holding the whole document, its writer gone: readable to the end.
      ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
      fifo = Fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK));
    }
    if (kind == kFile || kind == kFifo)
      lmr::testing::write_file(file, doc);
    const Prefs p = load(dir.path());
    EXPECT_EQ(p.models_dir.value_or("-") + " " + p.language, want);
    EXPECT_TRUE(want != defaults || p == Prefs::defaults()) << "not the full defaults";
  }
}

}  // namespace
}  // namespace lmr::prefs
