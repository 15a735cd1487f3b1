// The model catalogue the desktop application keeps (models.json) and the
// model files it downloads: filtering, file locations, adoption of files
// stored under the older naming scheme, the installed flag.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "error.h"

namespace lmr::catalog {

// One downloadable model file.
struct FileRef {
  std::string url;
  std::string sha256;
  uint64_t bytes = 0;
  bool operator==(const FileRef&) const = default;
};

struct CatalogModel {
  std::string id;
  std::string name;
  std::string description;
  std::string cover;
  uint64_t size_bytes = 0;
  std::vector<uint64_t> scales = {1, 2, 4};
  std::array<uint64_t, 2> tile = {288, 288};
  // Scale key (decimal text) to file, in ascending byte order of the keys.
  std::map<std::string, FileRef> files;
  bool featured = false;
  std::optional<std::string> badge;
  bool recommended = false;
  std::string arch = "fgnet";
  nlohmann::json params;
  // Recomputed by mark_installed; the stored value is ignored.
  bool installed = false;
};

struct Manifest {
  uint32_t version = 0;
  std::vector<CatalogModel> models;
};

// Parses a models.json document. nullopt on malformed JSON, trailing data, a
// key repeated in any object, a missing "version"/"models"/FileRef key or a
// wrong type anywhere: one bad entry rejects the whole document.
std::optional<Manifest> parse_manifest(std::string_view text);

// Reads app_data/models.json, keeps the models whose id, file keys and file
// names are safe to store (each file one plain name in the model's folder),
// adopts older file names and marks the installed models.
// Empty when the file is missing or invalid; never fails.
std::vector<CatalogModel> cached(const std::filesystem::path& app_data,
                                 const std::filesystem::path& models_dir);

// models_dir/id/<key>x-<first 12 bytes of sha256, lower case>.onnx, or
// models_dir/id/<key>x.onnx when sha256 is shorter or its 12th byte is
// inside a multi-byte character. Pure.
std::filesystem::path file_path(const std::filesystem::path& models_dir,
                                std::string_view id,
                                std::string_view key,
                                std::string_view sha256);

// Renames <key>x.onnx files whose SHA-256 matches to their current name
// (printing "adopt <path>: <error>" to stderr when a rename fails), then sets
// each model's `installed`: it has files and every one exists.
void mark_installed(std::vector<CatalogModel>& models, const std::filesystem::path& models_dir);

// SHA-256 of a file's content as 64 lower-case hex digits, read in blocks
// (memory use does not grow with the file).
Result<std::string> sha256_file(const std::filesystem::path& path);

}  // namespace lmr::catalog
