// models.json: the manifest parser, then the same bytes through the cached
// catalogue (filters, file names, installed flags) over an empty models folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "catalog.h"
#include "scratch.h"

using lmr::fuzz::scratch_dir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto manifest = lmr::catalog::parse_manifest(text);
  if (manifest) {
    for (const auto& m : manifest->models)
      for (const auto& [key, ref] : m.files)
        (void)lmr::catalog::file_path(scratch_dir() / "models", m.id, key, ref.sha256);
  }

  lmr::fuzz::write_scratch("models.json", text);
  const auto models = lmr::catalog::cached(scratch_dir(), scratch_dir() / "models");
  // Nothing is installed in an empty folder, and only parsed models survive.
  if (!manifest && !models.empty())
    std::abort();
  for (const auto& m : models)
    if (m.installed || m.id.empty())
      std::abort();
  return 0;
}
