#include "cli.h"

namespace lmr::cli {

// Placeholders until the info and test-model commands land.
CommandResult info_command(Args) {
  return std::unexpected(Error("info not built yet"));
}
CommandResult test_model_command(Args) {
  return std::unexpected(Error("test-model not built yet"));
}

}  // namespace lmr::cli
