#include "catalog.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

#include "fd.h"
#include "prefs.h"
#include "text.h"

namespace lmr::catalog {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace prefs::json_read;

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

bool stat_ok(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool regular_file_at(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string file_name(std::string_view key, std::string_view sha256) {
  // Cutting inside a multi-byte character would leave a broken name.
  bool whole = sha256.size() >= 12 &&
               (sha256.size() == 12 || (static_cast<unsigned char>(sha256[12]) & 0xC0) != 0x80);
  std::string name(key);
  if (whole)
    name += "x-" + text::ascii_lower(sha256.substr(0, 12)) + ".onnx";
  else
    name += "x.onnx";
  return name;
}

// --- Typed reading of the manifest; any mismatch rejects the document. ---

bool read_u64_list(const json& v, std::vector<uint64_t>& out) {
  if (!v.is_array())
    return false;
  std::vector<uint64_t> list;
  for (const json& item : v) {
    uint64_t n = 0;
    if (!read_u64(item, n))
      return false;
    list.push_back(n);
  }
  out = std::move(list);
  return true;
}

bool read_tile(const json& v, std::array<uint64_t, 2>& out) {
  if (!v.is_array() || v.size() != 2)
    return false;
  return read_u64(v[0], out[0]) && read_u64(v[1], out[1]);
}

bool read_any(const json& v, json& out) {
  out = v;
  return true;
}

bool read_file_ref(const json& v, FileRef& out) {
  if (!v.is_object())
    return false;
  auto url = v.find("url");
  auto sha = v.find("sha256");
  auto bytes = v.find("bytes");
  if (url == v.end() || sha == v.end() || bytes == v.end())
    return false;
  return read_string(*url, out.url) && read_string(*sha, out.sha256) && read_u64(*bytes, out.bytes);
}

bool read_files(const json& v, std::map<std::string, FileRef>& out) {
  if (!v.is_object())
    return false;
  std::map<std::string, FileRef> files;
  for (const auto& [key, ref] : v.items()) {
    if (!read_file_ref(ref, files[key]))
      return false;
  }
  out = std::move(files);
  return true;
}

std::optional<CatalogModel> read_model(const json& v) {
  if (!v.is_object())
    return std::nullopt;
  CatalogModel m;
  bool ok =
      field(v, "id", m.id, read_string) && field(v, "name", m.name, read_string) &&
      field(v, "description", m.description, read_string) &&
      field(v, "cover", m.cover, read_string) && field(v, "size_bytes", m.size_bytes, read_u64) &&
      field(v, "scales", m.scales, read_u64_list) && field(v, "tile", m.tile, read_tile) &&
      field(v, "files", m.files, read_files) && field(v, "featured", m.featured, read_bool) &&
      field(v, "badge", m.badge, read_optional_string) &&
      field(v, "recommended", m.recommended, read_bool) && field(v, "arch", m.arch, read_string) &&
      field(v, "params", m.params, read_any) && field(v, "installed", m.installed, read_bool);
  if (!ok)
    return std::nullopt;
  m.installed = false;
  return m;
}

// The id names a folder: only a-z, 0-9 and "-".
bool safe_id(std::string_view id) {
  if (id.empty())
    return false;
  for (char c : id) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
  }
  return true;
}

bool safe_key(std::string_view key) {
  if (key.empty())
    return false;
  for (char c : key) {
    if (c < '0' || c > '9')
      return false;
  }
  return true;
}

// Keys are digits, and the sha256 text is part of the file name: a "/" or NUL
// in its first 12 bytes would name another folder (or cut the name short),
// reaching outside the model's own folder.
bool safe_files(const CatalogModel& m) {
  for (const auto& [key, ref] : m.files) {
    if (!safe_key(key) ||
        file_name(key, ref.sha256).find_first_of(std::string_view("/\0", 2)) != std::string::npos)
      return false;
  }
  return true;
}

}  // namespace

std::optional<Manifest> parse_manifest(std::string_view text) {
  auto doc = prefs::parse_json_strict(text);
  if (!doc || !doc->is_object())
    return std::nullopt;
  auto version = doc->find("version");
  auto models = doc->find("models");
  if (version == doc->end() || models == doc->end())
    return std::nullopt;
  uint64_t v = 0;
  if (!read_u64(*version, v) || v > UINT32_MAX || !models->is_array())
    return std::nullopt;
  Manifest manifest;
  manifest.version = static_cast<uint32_t>(v);
  for (const json& item : *models) {
    auto m = read_model(item);
    if (!m)
      return std::nullopt;
    manifest.models.push_back(std::move(*m));
  }
  return manifest;
}

std::vector<CatalogModel> cached(const fs::path& app_data, const fs::path& models_dir) {
  auto text = prefs::read_regular_file(app_data / "models.json");
  if (!text)
    return {};
  auto manifest = parse_manifest(*text);
  if (!manifest)
    return {};
  std::vector<CatalogModel> models;
  for (CatalogModel& m : manifest->models) {
    if (safe_id(m.id) && safe_files(m))
      models.push_back(std::move(m));
  }
  mark_installed(models, models_dir);
  return models;
}

fs::path file_path(const fs::path& models_dir,
                   std::string_view id,
                   std::string_view key,
                   std::string_view sha256) {
  return models_dir / fs::path(id) / fs::path(file_name(key, sha256));
}

Result<std::string> sha256_file(const fs::path& path) {
  int raw = -1;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0)
    return std::unexpected(Error("cannot open " + path.string(), Error(os_error_text(errno))));
  Fd fd(raw);
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    return fail("SHA-256 is not available");
  // Model files run to hundreds of megabytes: one block at a time.
  std::vector<unsigned char> block(1 << 20);
  for (;;) {
    ssize_t n = ::read(fd.get(), block.data(), block.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return std::unexpected(Error("cannot read " + path.string(), Error(os_error_text(errno))));
    if (n == 0)
      break;
    if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n)) != 1)
      return fail("SHA-256 failed");
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
    return fail("SHA-256 failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < len; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

void mark_installed(std::vector<CatalogModel>& models, const fs::path& models_dir) {
  for (const CatalogModel& m : models) {
    for (const auto& [key, ref] : m.files) {
      fs::path older = models_dir / fs::path(m.id) / fs::path(key + "x.onnx");
      fs::path current = file_path(models_dir, m.id, key, ref.sha256);
      if (older == current || stat_ok(current) || !regular_file_at(older))
        continue;
      auto digest = sha256_file(older);
      if (!digest || *digest != text::ascii_lower(ref.sha256))
        continue;
      if (std::rename(older.c_str(), current.c_str()) != 0) {
        int err = errno;
        text::write_stderr("adopt " + older.string() + ": " + os_error_text(err) + "\n");
      }
    }
  }
  for (CatalogModel& m : models) {
    bool all = !m.files.empty();
    for (const auto& [key, ref] : m.files) {
      if (!all)
        break;
      all = stat_ok(file_path(models_dir, m.id, key, ref.sha256));
    }
    m.installed = all;
  }
}

}  // namespace lmr::catalog
