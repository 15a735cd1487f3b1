// Resolution of a catalogue model id to the model file to load.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "error.h"

namespace lmr::registry {

struct Resolved {
  std::filesystem::path path;  // the model file
  std::string arch;            // the entry's "arch", e.g. "esrgan" or "fgnet"
  uint64_t tile = 0;           // the smaller of the entry's two tile numbers
  uint64_t scale = 0;          // the upscale factor chosen
};

// Reads the catalogue (adopting older file names), takes the first entry
// with exactly this id and chooses the smallest available scale that is at
// least `wanted_scale`, else the largest (or `wanted_scale` without files).
// Errors: "unknown model '<id>'", "Model not installed. Open File › Model
// manager." when the chosen file is not on disk.
Result<Resolved> resolve(const std::filesystem::path& app_data,
                         const std::filesystem::path& models_dir,
                         const std::string& id,
                         uint64_t wanted_scale);

}  // namespace lmr::registry
