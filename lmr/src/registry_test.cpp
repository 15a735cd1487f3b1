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
  EXPECT_EQ(resolve(app.path(), models.path(), "quelt", 2).error().message(),
            "unknown model 'quelt'");  // no models.json
  // SHA-256("abc"): the file adopt/2x.onnx holds "abc".
  const char* abc = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  const std::string sha2 = "2222222222222222", sha4 = "4444444444444444";
  write_file(
      app / "models.json",
      json{{"version", 1},
           {"models",
            {{{"id", "quelt"},
              {"arch", "esrgan"},
              {"tile", {512, 256}},
              {"files", refs({{"2", sha2.c_str()}, {"4", sha4.c_str()}})}},
             {{"id", "numeric"}, {"files", refs({{"10", ""}, {"2", ""}, {"4", ""}})}},
             {{"id", "bare"}, {"tile", {300, 400}}, {"files", json::object()}},
             {{"id", "half"}, {"files", refs({{"2", sha2.c_str()}, {"4", sha4.c_str()}})}},
             {{"id", "zero"}, {"files", refs({{"04", sha4.c_str()}})}},
             {{"id", "huge"}, {"files", refs({{"99999999999999999999", ""}, {"2", ""}})}},
             {{"id", "dup"}, {"arch", "esrgan"}, {"tile", {64, 64}}, {"files", refs({{"2", ""}})}},
             {{"id", "dup"}, {"tile", {32, 32}}, {"files", refs({{"2", ""}})}},
             {{"id", "Sorvan"}, {"files", refs({{"2", ""}})}},
             {{"id", "adopt"}, {"files", refs({{"2", abc}})}}}}}
          .dump());
  for (const char* file :
       {"quelt/2x-222222222222.onnx", "quelt/4x-444444444444.onnx", "numeric/2x.onnx",
        "numeric/4x.onnx", "numeric/10x.onnx", "bare/2x.onnx", "half/2x-222222222222.onnx",
        "half/4x.onnx", "zero/04x-444444444444.onnx", "zero/4x.onnx", "huge/2x.onnx", "dup/2x.onnx",
        "Sorvan/2x.onnx", "adopt/2x.onnx"}) {
    fs::create_directories((models / file).parent_path());
    write_file(models / file, file == std::string("adopt/2x.onnx") ? "abc" : "not a model");
  }
  const std::string not_installed = "Model not installed. Open File \xE2\x80\xBA Model manager.";
  const std::tuple<const char*, uint64_t, std::string> rows[] = {
      {"quelt", 0, "quelt/2x-222222222222.onnx 2 256 esrgan"},
      {"quelt", 2, "quelt/2x-222222222222.onnx 2 256 esrgan"},
      {"quelt", 3, "quelt/4x-444444444444.onnx 4 256 esrgan"},
      {"quelt", 4, "quelt/4x-444444444444.onnx 4 256 esrgan"},
      {"quelt", 8, "quelt/4x-444444444444.onnx 4 256 esrgan"},
      {"quelt", UINT64_MAX, "quelt/4x-444444444444.onnx 4 256 esrgan"},
      {"numeric", 3, "numeric/4x.onnx 4 288 fgnet"},  // numbers, not texts, ordered
      {"numeric", 5, "numeric/10x.onnx 10 288 fgnet"},
      {"numeric", 11, "numeric/10x.onnx 10 288 fgnet"},
      {"bare", 2, "bare/2x.onnx 2 300 fgnet"},  // no files: the wanted scale
      {"bare", 3, not_installed},
      {"half", 2, "half/2x-222222222222.onnx 2 288 fgnet"},
      {"half", 3, not_installed},               // 4x.onnx is not its digest: not adopted
      {"zero", 4, "zero/4x.onnx 4 288 fgnet"},  // "04" is 4, but only "4" names a file
      {"huge", 3, "huge/2x.onnx 2 288 fgnet"},  // past 2^64 - 1: skipped
      {"dup", 2, "dup/2x.onnx 2 64 esrgan"},    // the first entry of an id
      {"Quelt", 2, "unknown model 'Quelt'"},
      {"Sorvan", 2, "unknown model 'Sorvan'"},  // dropped from the catalogue
      {"", 2, "unknown model ''"},
      {"adopt", 2, "adopt/2x-ba7816bf8f01.onnx 2 288 fgnet"},
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
