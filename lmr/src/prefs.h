// The desktop application's preferences (prefs.json), read-only, and the
// strict JSON reading shared with the model catalogue.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace lmr::prefs {

// Host names behind the URL defaults.
inline constexpr const char* kStorageHost = "cdn.lumerant.app";
inline constexpr const char* kWebDomain = "lumerant.app";

// The preferences record with the desktop application's defaults.
struct Prefs {
  bool show_edit_choice = true;
  std::vector<std::string> favourite_presets;
  std::optional<std::string> update_snooze_until;
  std::string default_preview_mode = "single";
  std::string default_zoom = "fit";
  bool show_help_prompts = true;
  std::optional<std::string> models_dir;
  std::optional<std::string> export_dir;
  std::string execution_provider = "auto";
  uint64_t tile_size = 0;
  nlohmann::json default_codec = nlohmann::json::object();
  std::string manifest_url = std::string("https://") + kStorageHost + "/models/manifest.json";
  std::string releases_url = std::string("https://") + kStorageHost + "/desktop/releases.json";
  std::string site_url = std::string("https://") + kWebDomain;
  bool models_prompt_done = false;
  std::string preview_duration = "2s";
  std::string language = "system";
  bool share_usage_data = true;

  // The full defaults (`default` is a keyword).
  static Prefs defaults() { return Prefs(); }
  bool operator==(const Prefs&) const = default;
};

// Reads app_data/prefs.json. Any failure (missing, unreadable, not one
// well-typed JSON object, a key given twice, trailing text) gives the full
// defaults; never fails, prints nothing.
Prefs load(const std::filesystem::path& app_data);

// Parses the fields of `doc`; nullopt when it does not match the record.
std::optional<Prefs> from_json(const nlohmann::json& doc);

// Exactly one JSON value, optionally surrounded by white space; nullopt on a
// syntax error, trailing data, or an object (at any depth) repeating a key.
std::optional<nlohmann::json> parse_json_strict(std::string_view text);

// The whole content of a regular file; nullopt when it is missing, not a
// regular file (a folder, a FIFO) or cannot be read.
std::optional<std::string> read_regular_file(const std::filesystem::path& path);

// Typed readers shared by the files of the desktop application: each stores
// the value in `out` and returns true only when its JSON type matches.
namespace json_read {
bool read_string(const nlohmann::json& v, std::string& out);
// null counts as absent.
bool read_optional_string(const nlohmann::json& v, std::optional<std::string>& out);
bool read_bool(const nlohmann::json& v, bool& out);
// Non-negative integers arrive as unsigned; negatives, fractions and values
// past 2^64 - 1 (which the parser turns into floats) do not.
bool read_u64(const nlohmann::json& v, uint64_t& out);

// A missing key keeps the default already in `out`.
template <class T, class Reader>
bool field(const nlohmann::json& obj, const char* key, T& out, Reader read) {
  auto it = obj.find(key);
  return it == obj.end() || read(*it, out);
}
}  // namespace json_read

}  // namespace lmr::prefs
