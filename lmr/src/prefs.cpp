#include "prefs.h"
#include "fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace lmr::prefs {

namespace {

using json = nlohmann::json;
using namespace json_read;

// Builds the document like nlohmann's own DOM parser, but refuses an object
// key that its object already holds, which the stock parser silently keeps
// the last of.
class StrictBuilder {
 public:
  explicit StrictBuilder(json& root) : root_(root) {}

  bool null() { return add(json(nullptr)) != nullptr; }
  bool boolean(bool v) { return add(json(v)) != nullptr; }
  bool number_integer(json::number_integer_t v) { return add(json(v)) != nullptr; }
  bool number_unsigned(json::number_unsigned_t v) { return add(json(v)) != nullptr; }
  bool number_float(json::number_float_t v, const json::string_t&) {
    return add(json(v)) != nullptr;
  }
  bool string(json::string_t& v) { return add(json(std::move(v))) != nullptr; }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return open(json::object()); }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_array() { return close(); }
  bool key(json::string_t& k) {
    if (open_.empty() || !open_.back()->is_object() || open_.back()->contains(k))
      return false;
    key_ = std::move(k);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

 private:
  // Places `v` in the innermost open container (or as the root); returns
  // where it now lives. Pointers to open containers stay valid: a container
  // only grows while none of its children is open.
  json* add(json v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    json& parent = *open_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(v));
      return &parent.back();
    }
    json& slot = parent[key_];
    slot = std::move(v);
    return &slot;
  }
  bool open(json empty) {
    // Parsing is iterative, but copying or comparing a value recurses once
    // per level: a document nested 100000 deep exhausted the stack when the
    // catalogue copied its "params". Nothing the desktop application writes
    // comes near this depth, and a refused document means the defaults.
    if (open_.size() >= kMaxDepth)
      return false;
    json* where = add(std::move(empty));
    open_.push_back(where);
    return true;
  }
  bool close() {
    if (open_.empty())
      return false;
    open_.pop_back();
    return true;
  }

  static constexpr std::size_t kMaxDepth = 512;

  json& root_;
  std::vector<json*> open_;
  std::string key_;
};

bool read_string_list(const json& v, std::vector<std::string>& out) {
  if (!v.is_array())
    return false;
  std::vector<std::string> list;
  for (const json& item : v) {
    if (!item.is_string())
      return false;
    list.push_back(item.get<std::string>());
  }
  out = std::move(list);
  return true;
}

// A missing key keeps the default already in place.
}  // namespace

namespace json_read {

bool read_string(const json& v, std::string& out) {
  if (!v.is_string())
    return false;
  out = v.get<std::string>();
  return true;
}

bool read_optional_string(const json& v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return true;
  }
  if (!v.is_string())
    return false;
  out = v.get<std::string>();
  return true;
}

bool read_bool(const json& v, bool& out) {
  if (!v.is_boolean())
    return false;
  out = v.get<bool>();
  return true;
}

bool read_u64(const json& v, uint64_t& out) {
  if (!v.is_number_unsigned())
    return false;
  out = v.get<uint64_t>();
  return true;
}

}  // namespace json_read

std::optional<json> parse_json_strict(std::string_view text) {
  // The parser would skip a byte-order mark, which is not JSON white space.
  if (text.starts_with("\xEF\xBB\xBF"))
    return std::nullopt;
  json doc;
  StrictBuilder builder(doc);
  if (!json::sax_parse(text, &builder, json::input_format_t::json, /*strict=*/true))
    return std::nullopt;
  return doc;
}

std::optional<std::string> read_regular_file(const std::filesystem::path& path) {
  // O_NONBLOCK so that a FIFO under this name cannot hang the open.
  int raw = -1;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0)
    return std::nullopt;
  Fd fd(raw);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  std::string content;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return std::nullopt;
    if (n == 0)
      return content;
    content.append(buf, static_cast<size_t>(n));
  }
}

std::optional<Prefs> from_json(const json& doc) {
  if (!doc.is_object())
    return std::nullopt;
  Prefs p;
  bool ok = field(doc, "show_edit_choice", p.show_edit_choice, read_bool) &&
            field(doc, "favourite_presets", p.favourite_presets, read_string_list) &&
            field(doc, "update_snooze_until", p.update_snooze_until, read_optional_string) &&
            field(doc, "default_preview_mode", p.default_preview_mode, read_string) &&
            field(doc, "default_zoom", p.default_zoom, read_string) &&
            field(doc, "show_help_prompts", p.show_help_prompts, read_bool) &&
            field(doc, "models_dir", p.models_dir, read_optional_string) &&
            field(doc, "export_dir", p.export_dir, read_optional_string) &&
            field(doc, "execution_provider", p.execution_provider, read_string) &&
            field(doc, "tile_size", p.tile_size, read_u64) &&
            field(doc, "manifest_url", p.manifest_url, read_string) &&
            field(doc, "releases_url", p.releases_url, read_string) &&
            field(doc, "site_url", p.site_url, read_string) &&
            field(doc, "models_prompt_done", p.models_prompt_done, read_bool) &&
            field(doc, "preview_duration", p.preview_duration, read_string) &&
            field(doc, "language", p.language, read_string) &&
            field(doc, "share_usage_data", p.share_usage_data, read_bool);
  if (!ok)
    return std::nullopt;
  // Any value at all, null included, is kept as it is.
  if (auto it = doc.find("default_codec"); it != doc.end())
    p.default_codec = *it;
  return p;
}

Prefs load(const std::filesystem::path& app_data) {
  auto text = read_regular_file(app_data / "prefs.json");
  if (!text)
    return Prefs::defaults();
  auto doc = parse_json_strict(*text);
  if (!doc)
    return Prefs::defaults();
  return from_json(*doc).value_or(Prefs::defaults());
}

}  // namespace lmr::prefs
