#include "cli.h"

namespace lmr::cli {

// Placeholders until the catalogue commands land.
Dirs cli_dirs() {
  return {};
}
Status apply_catalog_model(pipeline::UpscaleConfig&, const std::string&) {
  return fail("model catalogue not built yet");
}
CommandResult download_command(Args) {
  return std::unexpected(Error("download not built yet"));
}
CommandResult models_command(Args) {
  return std::unexpected(Error("models not built yet"));
}

}  // namespace lmr::cli
