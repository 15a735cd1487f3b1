// The commands that read the desktop application's data: the application
// folders, the catalogue step of upscale, `download` and `models`.
#include <cstdlib>

#include "catalog.h"
#include "cli.h"
#include "platform.h"
#include "prefs.h"
#include "registry.h"
#include "text.h"

namespace lmr::cli {

namespace fs = std::filesystem;

namespace {

// Pads to `width` characters (code points, not bytes: names may be any text).
std::string pad(const std::string& s, size_t width) {
  size_t chars = 0;
  for (char c : s)
    chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return chars >= width ? s : s + std::string(width - chars, ' ');
}

std::optional<std::string> unicode_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || !text::is_valid_utf8(v))
    return std::nullopt;
  return std::string(v);
}

}  // namespace

Dirs cli_dirs() {
  Dirs dirs;
  if (auto env = unicode_env("LMR_APP_DATA")) {
    dirs.app_data = *env;
  } else {
    dirs.app_data = platform::default_app_data(unicode_env, kAppIdentifier);
  }
  prefs::Prefs p = prefs::load(dirs.app_data);
  // Taken as it is: a relative folder is relative to the working directory.
  dirs.models_dir = p.models_dir ? fs::path(*p.models_dir) : dirs.app_data / "models";
  return dirs;
}

Status apply_catalog_model(pipeline::UpscaleConfig& config, const std::string& id) {
  Dirs dirs = cli_dirs();
  auto resolved = registry::resolve(dirs.app_data, dirs.models_dir, id, config.scale);
  if (!resolved)
    return std::unexpected(resolved.error());
  config.model = text::lossy_utf8(resolved->path.native());
  config.scale = resolved->scale;
  // A tile from the command line stands, and with it the generic tiling.
  if (!config.tile_w) {
    config.tile_w = resolved->tile;
    config.tile_h = resolved->tile;
    if (resolved->arch == "esrgan")
      config.model_name = id;
  }
  if (resolved->arch == "fgnet")
    config.fgnet = true;
  return {};
}

CommandResult download_command(Args args) {
  std::optional<std::string> id;
  uint64_t scale = 2;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt != "-m" && opt != "--model" && opt != "--scale")
      return std::unexpected(Error("unknown option: " + opt));
    if (i + 1 >= args.size())
      return std::unexpected(Error("missing value for " + opt));
    const std::string& v = args[++i];
    if (opt == "--scale") {
      auto n = parse_number(v, kScaleRange);
      if (!n)
        return std::unexpected(n.error());
      scale = *n;
    } else {
      id = v;
    }
  }
  if (!id)
    return std::unexpected(Error("usage: lmr download -m <model-name> [--scale N]"));
  Dirs dirs = cli_dirs();
  auto r = registry::resolve(dirs.app_data, dirs.models_dir, *id, scale);
  if (!r)
    return std::unexpected(r.error());
  print("ready: " + r->path.string() + "\n  tile: " + std::to_string(r->tile) +
        "  scale: " + std::to_string(r->scale) + "  arch: " + r->arch + "\n");
  return 0;
}

CommandResult models_command(Args) {
  Dirs dirs = cli_dirs();
  std::vector<catalog::CatalogModel> models = catalog::cached(dirs.app_data, dirs.models_dir);
  if (models.empty()) {
    print("no catalogue yet: open the app once (it downloads the manifest)\n");
    return 0;
  }
  std::string out;
  for (const catalog::CatalogModel& m : models) {
    std::string scales;
    for (const auto& [key, ref] : m.files)
      scales += (scales.empty() ? "\"" : ", \"") + key + "\"";
    out += "  " + pad(m.id, 12) + " " + pad(m.name, 20) + " scales=[" + scales + "] " +
           (m.installed ? "installed" : "") + "\n";
  }
  print(out);
  return 0;
}

}  // namespace lmr::cli
