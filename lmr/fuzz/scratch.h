// A scratch folder for the files a fuzz target reads back, removed when
// libFuzzer exits.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace lmr::fuzz {

inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lmr-fuzz-XXXXXX").string();
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

// Replaces the scratch file `name` with `text`.
inline void write_scratch(const std::string& name, std::string_view text) {
  std::ofstream f(scratch_dir() / name, std::ios::binary | std::ios::trunc);
  f.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace lmr::fuzz
