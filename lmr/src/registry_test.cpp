#include "registry.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing.h"

namespace lmr::registry {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using lmr::testing::TempDir;
using lmr::testing::write_file;

// Spelled out byte by byte: the separator is U+203A.
constexpr const char* kNotInstalled = "Model not installed. Open File \xE2\x80\xBA Model manager.";

json file_ref(const std::string& sha) {
  return {{"url", "u"}, {"sha256", sha}, {"bytes", 1}};
}

// The catalogue lives in app_data; the models folder is elsewhere, as a
// models_dir preference would place it.
struct Catalogue {
  TempDir app;
  TempDir models;
  void write(const json& model_list) const {
    write_file(app / "models.json", json{{"version", 1}, {"models", model_list}}.dump());
  }
  void put(const std::string& id, const std::string& name) const {
    fs::create_directories(models / id);
    write_file(models / id / name, "not really a model");
  }
  Result<Resolved> resolve(const std::string& id, uint64_t wanted) const {
    return registry::resolve(app.path(), models.path(), id, wanted);
  }
};

TEST(Resolve, ScaleChoiceWithFilesTwoAndFour) {
  Catalogue c;
  c.write(
      {{{"id", "quelt"},
        {"arch", "esrgan"},
        {"tile", {512, 256}},
        {"files", {{"2", file_ref("2222222222222222")}, {"4", file_ref("4444444444444444")}}}}});
  c.put("quelt", "2x-222222222222.onnx");
  c.put("quelt", "4x-444444444444.onnx");
  struct Case {
    uint64_t wanted, scale;
  };
  for (Case k : {Case{0, 2}, Case{1, 2}, Case{2, 2}, Case{3, 4}, Case{4, 4}, Case{8, 4},
                 Case{UINT64_MAX, 4}}) {
    auto r = c.resolve("quelt", k.wanted);
    ASSERT_TRUE(r) << k.wanted << ": " << r.error().message();
    EXPECT_EQ(r->scale, k.scale) << k.wanted;
    EXPECT_EQ(r->path, c.models / "quelt" /
                           (k.scale == 2 ? "2x-222222222222.onnx" : "4x-444444444444.onnx"));
    EXPECT_EQ(r->arch, "esrgan");
    EXPECT_EQ(r->tile, 256u);
  }
}

TEST(Resolve, ScalesAreOrderedAsNumbers) {
  Catalogue c;
  // Byte order would be "10", "2", "4".
  c.write({{{"id", "quelt"},
            {"files", {{"10", file_ref("")}, {"2", file_ref("")}, {"4", file_ref("")}}}},
           {{"id", "sorvan"}, {"files", {{"10", file_ref("")}, {"2", file_ref("")}}}}});
  for (const char* id : {"quelt", "sorvan"}) {
    c.put(id, "2x.onnx");
    c.put(id, "10x.onnx");
  }
  c.put("quelt", "4x.onnx");
  EXPECT_EQ(c.resolve("sorvan", 3)->scale, 10u);
  for (auto [wanted, scale] :
       {std::pair<uint64_t, uint64_t>{1, 2}, {2, 2}, {3, 4}, {4, 4}, {5, 10}, {10, 10}, {11, 10}}) {
    auto r = c.resolve("quelt", wanted);
    ASSERT_TRUE(r) << wanted;
    EXPECT_EQ(r->scale, scale) << wanted;
    EXPECT_EQ(r->path, c.models / "quelt" / (std::to_string(scale) + "x.onnx"));
  }
}

TEST(Resolve, ModelWithoutFilesUsesTheWantedScale) {
  Catalogue c;
  c.write({{{"id", "quelt"}, {"tile", {300, 400}}, {"files", json::object()}}});
  auto r = c.resolve("quelt", 2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), kNotInstalled);
  c.put("quelt", "2x.onnx");
  r = c.resolve("quelt", 2);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->path, c.models / "quelt" / "2x.onnx");
  EXPECT_EQ(r->scale, 2u);
  EXPECT_EQ(r->arch, "fgnet");
  EXPECT_EQ(r->tile, 300u);
  EXPECT_FALSE(c.resolve("quelt", 3));  // 3x.onnx is not there
}

TEST(Resolve, MissingFileForTheChosenScale) {
  Catalogue c;
  c.write(
      {{{"id", "quelt"},
        {"files", {{"2", file_ref("2222222222222222")}, {"4", file_ref("4444444444444444")}}}}});
  c.put("quelt", "2x-222222222222.onnx");
  EXPECT_TRUE(c.resolve("quelt", 2));
  auto r = c.resolve("quelt", 3);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), kNotInstalled);
  // The older name does not stand in for the current one unless adopted.
  c.put("quelt", "4x.onnx");
  EXPECT_EQ(c.resolve("quelt", 4).error().message(), kNotInstalled);
}

TEST(Resolve, UnknownIds) {
  Catalogue c;
  EXPECT_EQ(c.resolve("quelt", 2).error().message(), "unknown model 'quelt'");  // no models.json
  write_file(c.app / "models.json", "{not json");
  EXPECT_EQ(c.resolve("quelt", 2).error().message(), "unknown model 'quelt'");
  c.write({{{"id", "quelt"}, {"files", {{"2", file_ref("")}}}},
           {{"id", "Sorvan"}, {"files", {{"2", file_ref("")}}}}});
  c.put("quelt", "2x.onnx");
  EXPECT_EQ(c.resolve("Quelt", 2).error().message(), "unknown model 'Quelt'");
  // Dropped by the id filter.
  EXPECT_EQ(c.resolve("Sorvan", 2).error().message(), "unknown model 'Sorvan'");
  EXPECT_EQ(c.resolve("", 2).error().message(), "unknown model ''");
  EXPECT_TRUE(c.resolve("quelt", 2));
}

TEST(Resolve, FirstOfTwoEntriesWithTheSameIdWins) {
  Catalogue c;
  c.write(
      {{{"id", "quelt"}, {"arch", "esrgan"}, {"tile", {64, 64}}, {"files", {{"2", file_ref("")}}}},
       {{"id", "quelt"}, {"arch", "fgnet"}, {"tile", {32, 32}}, {"files", {{"2", file_ref("")}}}}});
  c.put("quelt", "2x.onnx");
  auto r = c.resolve("quelt", 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->arch, "esrgan");
  EXPECT_EQ(r->tile, 64u);
}

TEST(Resolve, KeysWithLeadingZerosOrTooLargeForNumbers) {
  Catalogue c;
  c.write(
      {{{"id", "zero"}, {"files", {{"04", file_ref("4444444444444444")}}}},
       {{"id", "huge"}, {"files", {{"99999999999999999999", file_ref("")}, {"2", file_ref("")}}}}});
  // "04" counts as 4, but the file is then looked for as 4x.onnx.
  c.put("zero", "04x-444444444444.onnx");
  EXPECT_EQ(c.resolve("zero", 4).error().message(), kNotInstalled);
  c.put("zero", "4x.onnx");
  auto r = c.resolve("zero", 4);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->path, c.models / "zero" / "4x.onnx");
  EXPECT_EQ(r->scale, 4u);
  // The key past 2^64 - 1 is skipped: wanting 3 gets the largest left, 2.
  c.put("huge", "2x.onnx");
  r = c.resolve("huge", 3);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->scale, 2u);
}

TEST(Resolve, AdoptsAnOlderFileNameAndIgnoresContent) {
  Catalogue c;
  // SHA-256("abc"); the file content is "abc".
  std::string sha = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  c.write({{{"id", "quelt"}, {"files", {{"2", file_ref(sha)}}}}});
  fs::create_directories(c.models / "quelt");
  write_file(c.models / "quelt" / "2x.onnx", "abc");
  auto r = c.resolve("quelt", 2);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->path, c.models / "quelt" / "2x-ba7816bf8f01.onnx");
  EXPECT_TRUE(fs::exists(r->path));
  // A present file with the wrong content still resolves.
  write_file(r->path, "something else");
  EXPECT_TRUE(c.resolve("quelt", 2));
}

}  // namespace
}  // namespace lmr::registry
