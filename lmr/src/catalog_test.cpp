#include "catalog.h"

#include <sys/resource.h>

#include <iterator>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "testing.h"

namespace lmr::catalog {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using lmr::testing::read_file;
using lmr::testing::TempDir;
using lmr::testing::write_file;

constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

json ref(const std::string& sha) {
  return {{"url", "u"}, {"sha256", sha}, {"bytes", 3}};
}
std::string doc(const json& models) {
  return json{{"version", 1}, {"models", models}}.dump();
}
// A document of a good model and `m`.
std::string with(const json& m) {
  return doc({{{"id", "good"}}, m});
}
json evil(const std::string& sha) {
  return {{"id", "evil"}, {"files", {{"2", ref(sha)}}}};
}

// Models whose id or file name is not one plain name in their own folder
// are dropped; one entry that does not parse discards the whole document.
TEST(Catalog, DocumentsToTheModelsKept) {
  const std::vector<std::string> good{"good"}, none{};
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      {with({{"id", "quelt-2"}, {"files", {{"04", ref("a")}, {"10", ref("b")}}}}),
       {"good", "quelt-2"}},
      {with({{"id", "Quelt"}}), good},
      {with({{"id", "a/b"}}), good},
      {with({{"id", "q"}, {"files", {{"2x", ref("a")}}}}), good},
      {with({{"id", "q"}, {"files", {{"2", ref("a")}, {"", ref("b")}}}}), good},
      {with(evil("abcdefghijk/")), good},
      {with(evil(std::string("abcdef\0ghijkl", 13))), good},
      {with(evil("abcdefghijkl" + std::string(100000, '/'))), {"good", "evil"}},
      {with(evil("abcdefghij/\xC3\xA9")), {"good", "evil"}},  // cut in "é": the name 2x.onnx
      {with(evil("../../../..")), {"good", "evil"}},          // 11 bytes: 2x.onnx
      {R"({"models": []})", none},
      {R"({"version": 1})", none},
      {R"({"version": 4294967296, "models": []})", none},
      {with({{"id", "q"}, {"files", {{"2", {{"url", "u"}, {"sha256", "s"}}}}}}), none},
      {with({{"id", "q"}, {"tile", {288}}}), none},
      {with({{"id", 5}}), none},
      {with("quelt"), none},
      {R"({"version": 1, "models": [{"id": "a", "params": )" + std::string(100000, '[') +
           std::string(100000, ']') + "}]}",
       none},
  };
  TempDir app;
  for (const auto& [text, ids] : rows) {
    SCOPED_TRACE(text.substr(0, 100));
    write_file(app / "models.json", text);
    std::vector<std::string> kept;
    for (const CatalogModel& m : cached(app.path(), app / "models"))
      kept.push_back(m.id);
    EXPECT_EQ(kept, ids);
  }
}

TEST(Catalog, FileNames) {
  const std::tuple<const char*, std::string, const char*> rows[] = {
      {"4", "ABCDEF0123456789ABCDEF", "4x-abcdef012345.onnx"},
      {"2", "ABCDEFGHIJ\xC3\x89xyz", "2x-abcdefghij\xC3\x89.onnx"},  // "É" ends at byte 12
      {"2", "ABCDEFGHIJK\xC3\xA9", "2x.onnx"},                       // "é" straddles it
  };
  for (const auto& [key, sha, name] : rows)
    EXPECT_EQ(file_path("/m", "q", key, sha), fs::path("/m/q") / name) << sha;
}

// The files of one model before and after one read (name=content, or name/
// for a folder), whether it is installed, and why a rename failed.
TEST(Catalog, AdoptionOfOlderNamesAndTheInstalledFlag) {
  const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  const std::string long_key(247, '4'), cur = "4x-ba7816bf8f01.onnx";
  struct Row {
    json files;
    std::string before;
    bool installed;
    std::string error = "";
    std::string after = "=";  // "=": as before
  };
  const Row rows[] = {
      {{{"4", ref(kAbc)}}, "4x.onnx=abc", true, "", cur + "=abc"},
      {{{"4", ref(upper)}}, "4x.onnx=abc", true, "", cur + "=abc"},
      {{{"4", ref(kAbc)}}, "4x.onnx=abd", false},
      {{{"4", ref(kAbc)}}, "4x.onnx=abc " + cur + "=new", true},
      {{{"2", ref(kAbc)}, {"4", ref("1")}}, "2x-ba7816bf8f01.onnx/ 4x.onnx=", true},
      {{{"2", ref(kAbc)}, {"4", ref(kAbc)}}, cur + "=", false},
      {json::object(), "", false},
      {{{long_key, ref(kAbc)}}, long_key + "x.onnx=abc", false, "File name too long (os error 36)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.files.dump().substr(0, 60) + " " + row.before.substr(0, 40));
    TempDir app;
    const fs::path dir = app / "models" / "quelt";
    fs::create_directories(dir);
    std::istringstream before(row.before);
    for (std::string entry; before >> entry;) {
      const size_t eq = entry.find('=');
      if (eq != std::string::npos)
        write_file(dir / entry.substr(0, eq), entry.substr(eq + 1));
      else
        fs::create_directory(dir / entry.substr(0, entry.size() - 1));
    }
    write_file(app / "models.json", doc({{{"id", "quelt"}, {"files", row.files}}}));
    ::testing::internal::CaptureStderr();
    const auto models = cached(app.path(), app / "models");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(models.at(0).installed, row.installed);
    std::set<std::string> after;
    for (const auto& e : fs::directory_iterator(dir))
      after.insert(e.path().filename().string() +
                   (e.is_directory() ? "/" : "=" + read_file(e.path())));
    std::istringstream expected(row.after == "=" ? row.before : row.after);
    EXPECT_EQ(after, std::set<std::string>(std::istream_iterator<std::string>(expected), {}));
    EXPECT_EQ(err, row.error.empty() ? ""
                                     : "adopt " + (dir / (long_key + "x.onnx")).string() + ": " +
                                           row.error + "\n");
  }
}

// Model files run to hundreds of megabytes: adopting one hashes all of it
// in a memory that does not grow with the file.
TEST(Catalog, AdoptingALargeFileHashesItInBoundedMemory) {
  TempDir app;
  fs::create_directories(app / "models" / "big");
  write_file(app / "models" / "big" / "2x.onnx", "");
  fs::resize_file(app / "models" / "big" / "2x.onnx", 100000000);  // zeros
  const char* zeros = "a993f8c574e0fea8c1cdcbcd9408d9e2e107ee6e4d120edcfa11decd53fa0cae";
  write_file(app / "models.json", doc({{{"id", "big"}, {"files", {{"2", ref(zeros)}}}}}));
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  EXPECT_TRUE(cached(app.path(), app / "models").at(0).installed);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_TRUE(fs::exists(app / "models" / "big" / "2x-a993f8c574e0.onnx"));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "KiB";
}

}  // namespace
}  // namespace lmr::catalog
