// models.json: the manifest parser, then the same bytes through the cached
// catalogue (filters, file names, installed flags) over an empty models folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "catalog.h"

namespace {

std::filesystem::path app_data() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lmr-fuzz-models-XXXXXX").string();
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
  auto manifest = lmr::catalog::parse_manifest(text);
  if (manifest) {
    for (const auto& m : manifest->models)
      for (const auto& [key, ref] : m.files)
        (void)lmr::catalog::file_path(app_data() / "models", m.id, key, ref.sha256);
  }

  {
    std::ofstream f(app_data() / "models.json", std::ios::binary | std::ios::trunc);
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  const auto models = lmr::catalog::cached(app_data(), app_data() / "models");
  // Nothing is installed in an empty folder, and only parsed models survive.
  if (!manifest && !models.empty())
    std::abort();
  for (const auto& m : models)
    if (m.installed || m.id.empty())
      std::abort();
  return 0;
}
