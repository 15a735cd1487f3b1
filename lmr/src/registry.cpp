#include "registry.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "catalog.h"
#include "text.h"

namespace lmr::registry {

Result<Resolved> resolve(const std::filesystem::path& app_data,
                         const std::filesystem::path& models_dir,
                         const std::string& id,
                         uint64_t wanted_scale) {
  std::vector<catalog::CatalogModel> models = catalog::cached(app_data, models_dir);
  auto model = std::find_if(models.begin(), models.end(),
                            [&](const catalog::CatalogModel& m) { return m.id == id; });
  if (model == models.end())
    return fail("unknown model '" + id + "'");

  // Numeric order: "10" is above "2".
  std::vector<uint64_t> scales;
  for (const auto& [key, ref] : model->files) {
    if (auto n = text::parse_unsigned(key))
      scales.push_back(*n);
  }
  std::sort(scales.begin(), scales.end());
  uint64_t scale = wanted_scale;
  if (!scales.empty()) {
    auto at_least = std::lower_bound(scales.begin(), scales.end(), wanted_scale);
    scale = at_least != scales.end() ? *at_least : scales.back();
  }

  // Only the plain decimal key names the file ("04" does not).
  std::string key = std::to_string(scale);
  auto ref = model->files.find(key);
  std::string sha256 = ref != model->files.end() ? ref->second.sha256 : std::string();
  std::filesystem::path path = catalog::file_path(models_dir, id, key, sha256);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return fail("Model not installed. Open File \u203A Model manager.");
  return Resolved{std::move(path), model->arch, std::min(model->tile[0], model->tile[1]), scale};
}

}  // namespace lmr::registry
