// prefs.json: the strict parser and the record, then the same bytes through
// prefs::load from a real file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "prefs.h"

namespace {

std::filesystem::path app_data() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lmr-fuzz-prefs-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
      std::abort();
    return std::filesystem::path(tmpl);
  }();
  // libFuzzer ends with exit(): take the folder along (registered after
  // `dir` is made, so it runs before `dir` is destroyed).
  static const bool cleanup = std::atexit([] {
                                std::error_code ec;
                                std::filesystem::remove_all(dir, ec);
                              }) == 0;
  (void)cleanup;
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<lmr::prefs::Prefs> parsed;
  if (auto doc = lmr::prefs::parse_json_strict(text))
    parsed = lmr::prefs::from_json(*doc);

  {
    std::ofstream f(app_data() / "prefs.json", std::ios::binary | std::ios::trunc);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  const lmr::prefs::Prefs loaded = lmr::prefs::load(app_data());
  // load is exactly "the parsed record, or the full defaults".
  if (loaded != parsed.value_or(lmr::prefs::Prefs::defaults()))
    std::abort();
  return 0;
}
