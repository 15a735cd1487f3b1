#include "catalog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <functional>

#include <gtest/gtest.h>

#include "testing.h"

namespace lmr::catalog {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using lmr::testing::read_file;
using lmr::testing::TempDir;
using lmr::testing::write_file;

// FIPS 180-2 test vector: SHA-256("abc").
constexpr const char* kAbcDigest =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

json file_ref(const std::string& sha) {
  return {{"url", "https://example.invalid/m.onnx"}, {"sha256", sha}, {"bytes", 3}};
}

json manifest(json models) {
  return {{"version", 1}, {"models", std::move(models)}};
}

// An application-data folder with models.json and the models folder inside.
struct AppData {
  TempDir dir;
  fs::path models() const { return dir / "models"; }
  void write_manifest(const std::string& text) const { write_file(dir / "models.json", text); }
  void write_manifest(const json& doc) const { write_manifest(doc.dump()); }
  std::vector<CatalogModel> read() const { return cached(dir.path(), models()); }
  void put(const std::string& id, const std::string& name, const std::string& content) const {
    fs::create_directories(models() / id);
    write_file(models() / id / name, content);
  }
};

std::vector<std::string> ids(const std::vector<CatalogModel>& models) {
  std::vector<std::string> out;
  for (const auto& m : models)
    out.push_back(m.id);
  return out;
}

TEST(CatalogRead, MissingEmptyOrIncompleteDocumentsGiveNoModels) {
  AppData app;
  EXPECT_TRUE(app.read().empty());
  for (const char* text : {"", "{}", R"({"models": []})", R"({"version": 1})", "[]", "null"}) {
    app.write_manifest(std::string(text));
    EXPECT_TRUE(app.read().empty()) << text;
  }
  fs::remove(app.dir / "models.json");
  fs::create_directory(app.dir / "models.json");
  EXPECT_TRUE(app.read().empty());
}

TEST(CatalogRead, ModelWithOnlyAnIdTakesEveryDefault) {
  AppData app;
  app.write_manifest(manifest({{{"id", "quelt"}}}));
  auto models = app.read();
  ASSERT_EQ(models.size(), 1u);
  const CatalogModel& m = models[0];
  EXPECT_EQ(m.id, "quelt");
  EXPECT_EQ(m.name, "");
  EXPECT_EQ(m.description, "");
  EXPECT_EQ(m.cover, "");
  EXPECT_EQ(m.size_bytes, 0u);
  EXPECT_EQ(m.scales, (std::vector<uint64_t>{1, 2, 4}));
  EXPECT_EQ(m.tile, (std::array<uint64_t, 2>{288, 288}));
  EXPECT_TRUE(m.files.empty());
  EXPECT_FALSE(m.featured);
  EXPECT_FALSE(m.badge.has_value());
  EXPECT_FALSE(m.recommended);
  EXPECT_EQ(m.arch, "fgnet");
  EXPECT_TRUE(m.params.is_null());
  EXPECT_FALSE(m.installed);
}

TEST(CatalogRead, EveryKeyIsReadAndStoredInstalledIsIgnored) {
  AppData app;
  json m = {{"id", "sorvan"},
            {"name", "Sorvan"},
            {"description", "d"},
            {"cover", "c.png"},
            {"size_bytes", 123},
            {"scales", {2, 4}},
            {"tile", {512, 256}},
            {"files", {{"4", file_ref("aa")}, {"10", file_ref("bb")}, {"2", file_ref("cc")}}},
            {"featured", true},
            {"badge", "new"},
            {"recommended", true},
            {"arch", "esrgan"},
            {"params", {{"k", 1}}},
            {"installed", true},
            {"future_key", {1, 2}}};
  app.write_manifest(json{{"version", 4294967295u}, {"models", {m}}, {"extra", nullptr}});
  auto models = app.read();
  ASSERT_EQ(models.size(), 1u);
  const CatalogModel& r = models[0];
  EXPECT_EQ(r.name, "Sorvan");
  EXPECT_EQ(r.description, "d");
  EXPECT_EQ(r.cover, "c.png");
  EXPECT_EQ(r.size_bytes, 123u);
  EXPECT_EQ(r.scales, (std::vector<uint64_t>{2, 4}));
  EXPECT_EQ(r.tile, (std::array<uint64_t, 2>{512, 256}));
  EXPECT_TRUE(r.featured);
  EXPECT_EQ(r.badge, "new");
  EXPECT_TRUE(r.recommended);
  EXPECT_EQ(r.arch, "esrgan");
  EXPECT_EQ(r.params, json({{"k", 1}}));
  EXPECT_FALSE(r.installed);  // no file is on disk
  // Keys in ascending byte order: "10" before "2".
  std::vector<std::string> keys;
  for (const auto& [k, ref] : r.files)
    keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"10", "2", "4"}));
  EXPECT_EQ(r.files.at("4"), (FileRef{"https://example.invalid/m.onnx", "aa", 3}));
}

// One bad entry anywhere discards the whole catalogue.
TEST(CatalogRead, AnyInvalidEntryRejectsTheWholeDocument) {
  json good = {{"id", "good"}};
  json ref_without_bytes = {{"url", "u"}, {"sha256", "s"}};
  std::vector<json> bad_models = {
      {{"id", "quelt"}, {"files", {{"2", ref_without_bytes}}}},
      {{"id", "quelt"}, {"files", {{"2", {{"url", "u"}, {"bytes", 1}}}}}},
      {{"id", "quelt"}, {"files", {{"2", {{"sha256", "s"}, {"bytes", 1}}}}}},
      {{"id", "quelt"}, {"files", {{"2", {{"url", "u"}, {"sha256", "s"}, {"bytes", -1}}}}}},
      {{"id", "quelt"}, {"files", {{"2", {{"url", "u"}, {"sha256", nullptr}, {"bytes", 1}}}}}},
      {{"id", "quelt"}, {"files", {{"2", "file"}}}},
      {{"id", "quelt"}, {"files", json::array()}},
      {{"id", 5}},
      {{"id", nullptr}},
      {{"id", "quelt"}, {"name", nullptr}},
      {{"id", "quelt"}, {"tile", {288}}},
      {{"id", "quelt"}, {"tile", {288, 288, 288}}},
      {{"id", "quelt"}, {"tile", {288, -1}}},
      {{"id", "quelt"}, {"tile", {288.5, 288}}},
      {{"id", "quelt"}, {"scales", {2, "4"}}},
      {{"id", "quelt"}, {"scales", nullptr}},
      {{"id", "quelt"}, {"size_bytes", 1.5}},
      {{"id", "quelt"}, {"featured", "yes"}},
      {{"id", "quelt"}, {"badge", 1}},
      {{"id", "quelt"}, {"arch", nullptr}},
      {{"id", "quelt"}, {"installed", "true"}},
      "quelt",
      nullptr,
  };
  AppData app;
  for (const json& bad : bad_models) {
    app.write_manifest(manifest({good, bad}));
    EXPECT_TRUE(app.read().empty()) << bad.dump();
  }
  // The same list without the bad entry is accepted.
  app.write_manifest(manifest({good}));
  EXPECT_EQ(app.read().size(), 1u);
}

TEST(CatalogRead, ManifestLevelTypesAndSyntax) {
  AppData app;
  const char* bad[] = {
      R"({"version": -1, "models": []})",
      R"({"version": 1.0, "models": []})",
      R"({"version": 4294967296, "models": [{"id": "a"}]})",
      R"({"version": "1", "models": [{"id": "a"}]})",
      R"({"version": 1, "models": {}})",
      R"({"version": 1, "models": null})",
      R"({"version": 1, "models": [{"id": "a"}]} [])",
      R"({"version": 1, "models": [{"id": "a"}],})",
      // Repeated keys, at the top, in a model and in "files".
      R"({"version": 1, "version": 1, "models": [{"id": "a"}]})",
      R"({"version": 1, "models": [{"id": "a", "id": "b"}]})",
      R"({"version": 1, "models": [{"id": "a", "files": {
          "2": {"url": "u", "sha256": "s", "bytes": 1},
          "2": {"url": "u", "sha256": "t", "bytes": 1}}}]})",
      R"({"version": 1, "models": [{"id": "a", "params": {"x": 1, "x": 1}}]})",
  };
  for (const char* text : bad) {
    app.write_manifest(std::string(text));
    EXPECT_TRUE(app.read().empty()) << text;
  }
  app.write_manifest(std::string(R"(
    {"version": 0, "models": [{"id": "a", "params": null, "badge": null}]}
  )"));
  EXPECT_EQ(ids(app.read()), (std::vector<std::string>{"a"}));
}

TEST(CatalogRead, DeeplyNestedParamsRejectTheDocumentWithoutExhaustingTheStack) {
  AppData app;
  // "params" takes any value; one nested 100000 deep once overflowed the
  // stack when the model record copied it.
  auto with_params = [](size_t depth) {
    return R"({"version": 1, "models": [{"id": "a", "params": )" + std::string(depth, '[') +
           std::string(depth, ']') + "}]}";
  };
  app.write_manifest(with_params(100000));
  EXPECT_TRUE(app.read().empty());
  app.write_manifest(with_params(400));
  EXPECT_EQ(ids(app.read()), (std::vector<std::string>{"a"}));
}

TEST(CatalogFilter, IdsMustBeLowerCaseLettersDigitsAndDashes) {
  AppData app;
  json models = json::array();
  for (const char* id :
       {"Quelt", "q_1", "", "quelt-2", "a.b", "a/b", "..", "caf\xC3\xA9", "sorvan", "x y", "0-9"})
    models.push_back({{"id", id}});
  app.write_manifest(manifest(models));
  EXPECT_EQ(ids(app.read()), (std::vector<std::string>{"quelt-2", "sorvan", "0-9"}));
}

TEST(CatalogFilter, FileKeysMustBeDigits) {
  AppData app;
  app.write_manifest(manifest({
      {{"id", "twox"}, {"files", {{"2x", file_ref("a")}}}},
      {{"id", "emptykey"}, {"files", {{"", file_ref("a")}}}},
      {{"id", "mixed"}, {"files", {{"2", file_ref("a")}, {"4.0", file_ref("b")}}}},
      {{"id", "slash"}, {"files", {{"../2", file_ref("a")}}}},
      {{"id", "nofiles"}, {"files", json::object()}},
      {{"id", "digits"}, {"files", {{"04", file_ref("a")}, {"10", file_ref("b")}}}},
  }));
  auto models = app.read();
  EXPECT_EQ(ids(models), (std::vector<std::string>{"nofiles", "digits"}));
  EXPECT_FALSE(models[0].installed);
}

// The sha256 text becomes part of a file name: a model whose name would not
// stay one plain name in its own folder is dropped, the others are kept.
TEST(CatalogFilter, DigestTextNeverNamesAPathOutsideTheModelFolder) {
  const std::string huge(100000, 'a');
  const std::pair<std::string, bool> rows[] = {
      {"/../../../vi", false},  // with a folder 2x- beside it: app_data/vi.onnx
      {"../../../../etc/passwd", false},
      {"abcdef/ghijkl", false},
      {std::string("abcdef\0ghijkl", 13), false},
      {std::string(100000, '/'), false},
      {"abcdefghijk/", false},
      {"............", true},
      {"..\\..\\..\\..", true},
      {huge, true},
      {huge.substr(0, 12) + std::string(100000, '/'), true},  // only 12 bytes are used
      {"abcdefghij/\xC3\xA9", true},  // cut inside "é": the older name 2x.onnx
      {"../../../..", true},          // 11 bytes: the older name
      {"", true},
  };
  for (const auto& [sha, kept] : rows) {
    AppData app;
    app.write_manifest(manifest({{{"id", "evil"}, {"files", {{"2", file_ref(sha)}}}},
                                 {{"id", "good"}, {"files", {{"2", file_ref(kAbcDigest)}}}}}));
    fs::create_directories(app.models() / "evil" / "2x-");
    write_file(app.dir / "vi.onnx", "planted");
    auto models = app.read();
    const std::string row = sha.substr(0, 16);
    const std::vector<std::string> want =
        kept ? std::vector<std::string>{"evil", "good"} : std::vector<std::string>{"good"};
    EXPECT_EQ(ids(models), want) << row;
    for (const CatalogModel& m : models) {
      for (const auto& [key, ref] : m.files) {
        fs::path p = file_path(app.models(), m.id, key, ref.sha256);
        EXPECT_EQ(p.lexically_relative(app.models()), fs::path(m.id) / p.filename()) << row;
        EXPECT_EQ(p.native().find('\0'), std::string::npos) << row;
      }
    }
  }
}

TEST(CatalogFilePath, NameRule) {
  fs::path dir = "/m";
  EXPECT_EQ(file_path(dir, "quelt", "4", "ABCDEF0123456789ABCDEF"),
            "/m/quelt/4x-abcdef012345.onnx");
  EXPECT_EQ(file_path(dir, "quelt", "4", "abcdefghijk"), "/m/quelt/4x.onnx");  // 11 bytes
  EXPECT_EQ(file_path(dir, "quelt", "4", ""), "/m/quelt/4x.onnx");
  EXPECT_EQ(file_path(dir, "quelt", "10", "ABCDEFGHIJKL"), "/m/quelt/10x-abcdefghijkl.onnx");
  // The 12th byte ends "é" (2 bytes at 11-12): kept, and only ASCII is lowered.
  EXPECT_EQ(file_path(dir, "q", "2", "ABCDEFGHIJ\xC3\x89xyz"), "/m/q/2x-abcdefghij\xC3\x89.onnx");
  // The 12th byte is the first half of "é" (bytes 12-13): the older name.
  EXPECT_EQ(file_path(dir, "q", "2", "ABCDEFGHIJK\xC3\xA9"), "/m/q/2x.onnx");
  // A 3-byte character ending at byte 12, and one straddling it.
  EXPECT_EQ(file_path(dir, "q", "2", "abcdefghi\xE2\x80\xBA!"),
            "/m/q/2x-abcdefghi\xE2\x80\xBA.onnx");
  EXPECT_EQ(file_path(dir, "q", "2", "abcdefghij\xE2\x80\xBA"), "/m/q/2x.onnx");
  EXPECT_EQ(file_path("", "q", "2", ""), "q/2x.onnx");
}

TEST(CatalogInstalled, EveryFileMustExist) {
  AppData app;
  std::string sha2 = "1111111111111111", sha4 = "2222222222222222";
  app.write_manifest(manifest({
      {{"id", "both"}, {"files", {{"2", file_ref(sha2)}, {"4", file_ref(sha4)}}}},
      {{"id", "half"}, {"files", {{"2", file_ref(sha2)}, {"4", file_ref(sha4)}}}},
      {{"id", "short"}, {"files", {{"2", file_ref("abc")}}}},
  }));
  app.put("both", "2x-111111111111.onnx", "x");
  app.put("both", "4x-222222222222.onnx", "");  // existence is all that counts
  app.put("half", "2x-111111111111.onnx", "x");
  app.put("short", "2x.onnx", "x");
  auto models = app.read();
  ASSERT_EQ(ids(models), (std::vector<std::string>{"both", "half", "short"}));
  EXPECT_TRUE(models[0].installed);
  EXPECT_FALSE(models[1].installed);
  EXPECT_TRUE(models[2].installed);
  // A folder under the file's name also counts as present.
  fs::create_directories(app.models() / "half" / "4x-222222222222.onnx");
  EXPECT_TRUE(app.read()[1].installed);
}

TEST(CatalogMigration, MatchingDigestInEitherCaseIsAdopted) {
  std::string upper = kAbcDigest;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& sha : {std::string(kAbcDigest), upper}) {
    AppData app;
    app.write_manifest(manifest({{{"id", "quelt"}, {"files", {{"4", file_ref(sha)}}}}}));
    app.put("quelt", "4x.onnx", "abc");
    auto models = app.read();
    ASSERT_EQ(models.size(), 1u);
    EXPECT_TRUE(models[0].installed) << sha;
    EXPECT_FALSE(fs::exists(app.models() / "quelt" / "4x.onnx"));
    EXPECT_EQ(read_file(app.models() / "quelt" / "4x-ba7816bf8f01.onnx"), "abc");
    // Idempotent: the file is found under its current name next time.
    EXPECT_TRUE(app.read()[0].installed);
  }
}

TEST(CatalogMigration, DifferentDigestOrUnreadableFileIsLeftAlone) {
  AppData app;
  app.write_manifest(manifest({{{"id", "quelt"}, {"files", {{"4", file_ref(kAbcDigest)}}}}}));
  app.put("quelt", "4x.onnx", "abd");
  auto models = app.read();
  EXPECT_FALSE(models[0].installed);
  EXPECT_EQ(read_file(app.models() / "quelt" / "4x.onnx"), "abd");
  EXPECT_FALSE(fs::exists(app.models() / "quelt" / "4x-ba7816bf8f01.onnx"));

  // A folder under the older name is not a regular file.
  fs::remove(app.models() / "quelt" / "4x.onnx");
  fs::create_directory(app.models() / "quelt" / "4x.onnx");
  EXPECT_FALSE(app.read()[0].installed);
  EXPECT_TRUE(fs::is_directory(app.models() / "quelt" / "4x.onnx"));
}

TEST(CatalogMigration, SymbolicLinkIsFollowedForTheCheckAndRenamedItself) {
  AppData app;
  app.write_manifest(manifest({{{"id", "quelt"}, {"files", {{"4", file_ref(kAbcDigest)}}}}}));
  write_file(app.dir / "real.onnx", "abc");
  fs::create_directories(app.models() / "quelt");
  fs::create_symlink(app.dir / "real.onnx", app.models() / "quelt" / "4x.onnx");
  EXPECT_TRUE(app.read()[0].installed);
  EXPECT_TRUE(fs::is_symlink(app.models() / "quelt" / "4x-ba7816bf8f01.onnx"));
}

TEST(CatalogMigration, ExistingCurrentFileWinsOverAnOlderOne) {
  AppData app;
  app.write_manifest(manifest({{{"id", "quelt"}, {"files", {{"4", file_ref(kAbcDigest)}}}}}));
  app.put("quelt", "4x.onnx", "abc");
  app.put("quelt", "4x-ba7816bf8f01.onnx", "current");
  EXPECT_TRUE(app.read()[0].installed);
  EXPECT_EQ(read_file(app.models() / "quelt" / "4x-ba7816bf8f01.onnx"), "current");
  EXPECT_EQ(read_file(app.models() / "quelt" / "4x.onnx"), "abc");
}

// The "adopt" line goes to stderr; capture it around one call.
std::string stderr_of(const std::function<void()>& fn) {
  ::testing::internal::CaptureStderr();
  fn();
  return ::testing::internal::GetCapturedStderr();
}

TEST(CatalogMigration, FailedRenameInAReadOnlyFolderIsReported) {
  AppData app;
  app.write_manifest(manifest({{{"id", "quelt"}, {"files", {{"4", file_ref(kAbcDigest)}}}}}));
  app.put("quelt", "4x.onnx", "abc");
  fs::path folder = app.models() / "quelt";
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  if (access(folder.c_str(), W_OK) == 0)
    GTEST_SKIP() << "running with permission to write into read-only folders (root); "
                    "FailedRenameOfATooLongNameIsReported covers the failing rename";
  std::vector<CatalogModel> models;
  std::string err = stderr_of([&] { models = app.read(); });
  EXPECT_EQ(err, "adopt " + (folder / "4x.onnx").string() + ": Permission denied (os error 13)\n");
  EXPECT_FALSE(models[0].installed);
  EXPECT_TRUE(fs::exists(folder / "4x.onnx"));
}

// Fails for root as well: the current name is longer than a file name may be
// (so it cannot be found either), while the older one still fits.
TEST(CatalogMigration, FailedRenameOfATooLongNameIsReported) {
  AppData app;
  std::string key(247, '4');
  app.write_manifest(manifest({{{"id", "quelt"}, {"files", {{key, file_ref(kAbcDigest)}}}}}));
  app.put("quelt", key + "x.onnx", "abc");
  std::vector<CatalogModel> models;
  std::string err = stderr_of([&] { models = app.read(); });
  fs::path older = app.models() / "quelt" / (key + "x.onnx");
  EXPECT_EQ(err, "adopt " + older.string() + ": File name too long (os error 36)\n");
  ASSERT_EQ(models.size(), 1u);
  EXPECT_FALSE(models[0].installed);
  EXPECT_EQ(read_file(older), "abc");
}

TEST(Sha256File, KnownVectorsAndBlockBoundaries) {
  TempDir dir;
  write_file(dir / "empty", "");
  write_file(dir / "abc", "abc");
  EXPECT_EQ(sha256_file(dir / "empty").value(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_file(dir / "abc").value(), kAbcDigest);
  // Sizes around the read block, checked against coreutils.
  for (size_t size : {size_t{1} << 20, (size_t{1} << 20) + 1, 3 * (size_t{1} << 20) - 7}) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i)
      content[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    write_file(dir / "big", content);
    auto r = lmr::testing::run({"/usr/bin/sha256sum", (dir / "big").string()});
    ASSERT_EQ(r.exit_code(), 0);
    EXPECT_EQ(sha256_file(dir / "big").value(), r.out.substr(0, 64)) << size;
  }
  auto missing = sha256_file(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "cannot open " + (dir / "missing").string());
  EXPECT_EQ(missing.error().causes(),
            std::vector<std::string>{"No such file or directory (os error 2)"});
}

}  // namespace
}  // namespace lmr::catalog
