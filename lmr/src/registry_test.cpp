#include "registry.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing.h"

namespace lmr::registry {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using lmr::testing::write_file;

json refs(std::initializer_list<std::pair<const char*, const char*>> key_sha) {
  json files = json::object();
  for (auto [key, sha] : key_sha)
    files[key] = {{"url", "u"}, {"sha256", sha}, {"bytes", 1}};
  return files;
}

// Rows resolve against one catalogue in app_data, with its models folder
// elsewhere (as a models_dir preference places it).
TEST(Resolve, IdAndWantedScaleToFileScaleTileAndArch) {
  lmr::testing::TempDir app, models;
  const char *sha2 = "2222222222222222", *sha4 = "4444444444444444";
  write_file(app / "models.json",
             json{{"version", 1},
                  {"models",
                   {{{"id", "quelt"},
                     {"arch", "esrgan"},
                     {"tile", {512, 256}},
                     {"files", refs({{"2", sha2}, {"4", sha4}, {"10", ""}})}},
                    {{"id", "half"}, {"files", refs({{"2", sha2}, {"4", sha4}})}},
                    {{"id", "bare"}, {"tile", {300, 400}}},
                    {{"id", "zero"}, {"files", refs({{"04", sha4}})}},
                    {{"id", "huge"}, {"files", refs({{"99999999999999999999", ""}, {"2", ""}})}},
                    {{"id", "dup"}, {"arch", "esrgan"}, {"tile", {64, 64}}},
                    {{"id", "dup"}, {"tile", {32, 32}}}}}}
                 .dump());
  for (const char* file :
       {"quelt/2x-222222222222.onnx", "quelt/4x-444444444444.onnx", "quelt/10x.onnx",
        "half/2x-222222222222.onnx", "half/4x.onnx", "bare/2x.onnx", "zero/04x-444444444444.onnx",
        "zero/4x.onnx", "huge/2x.onnx", "dup/2x.onnx"}) {
    fs::create_directories((models / file).parent_path());
    write_file(models / file, "not a model");  // existence is all that counts
  }
  const std::tuple<const char*, uint64_t, std::string> rows[] = {
      {"quelt", 1, "quelt/2x-222222222222.onnx 2 256 esrgan"},
      {"quelt", 3, "quelt/4x-444444444444.onnx 4 256 esrgan"},
      {"quelt", 5, "quelt/10x.onnx 10 256 esrgan"},  // numbers, not texts, in order
      {"quelt", 11, "quelt/10x.onnx 10 256 esrgan"},
      {"half", 3, "Model not installed. Open File \xE2\x80\xBA Model manager."},
      {"bare", 2, "bare/2x.onnx 2 300 fgnet"},  // no files: the wanted scale
      {"zero", 4, "zero/4x.onnx 4 288 fgnet"},  // "04" is 4, but only "4" names a file
      {"huge", 3, "huge/2x.onnx 2 288 fgnet"},  // past 2^64 - 1: skipped
      {"dup", 2, "dup/2x.onnx 2 64 esrgan"},    // the first entry of an id
      {"Quelt", 2, "unknown model 'Quelt'"},
  };
  for (const auto& [id, wanted, outcome] : rows) {
    auto r = resolve(app.path(), models.path(), id, wanted);
    EXPECT_EQ(r ? r->path.lexically_relative(models.path()).string() + " " +
                      std::to_string(r->scale) + " " + std::to_string(r->tile) + " " + r->arch
                : r.error().message(),
              outcome)
        << id << " " << wanted;
  }
}

}  // namespace
}  // namespace lmr::registry
