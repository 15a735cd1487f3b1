// Argument vectors (NUL-separated) through the front end's parsing: upscale
// options are parsed but never run; download, models and the usage stops of
// info and test-model run against an empty application-data folder; help,
// version and unknown commands go through dispatch.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "text.h"

namespace {

bool has_value_for(const std::vector<std::string>& args, const std::string& flag) {
  auto it = std::find(args.begin() + 2, args.end(), flag);
  return it != args.end() && it + 1 != args.end();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "lmr-fuzz-cli-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr)
    std::abort();
  setenv("LMR_APP_DATA", tmpl.c_str(), 1);
  // libFuzzer ends with exit(): take the folder along.
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(std::getenv("LMR_APP_DATA"), ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"lmr"};
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0)
    args.push_back(cur);
  for (const std::string& a : args) {
    // main stops on these before any command; the message shows them lossily.
    if (!lmr::text::is_valid_utf8(a)) {
      if (!lmr::text::is_valid_utf8(lmr::text::lossy_utf8(a)))
        std::abort();
      return 0;
    }
  }

  lmr::cli::Args all(args);
  if (args.size() < 2) {
    if (lmr::cli::dispatch(all) != 0)
      std::abort();
    return 0;
  }
  const std::string& cmd = args[1];
  const bool help = cmd == "-h" || cmd == "--help" || cmd == "-V" || cmd == "--version";
  if (cmd == "upscale" || (!help && !cmd.empty() && cmd[0] == '-')) {
    auto parsed = lmr::cli::parse_upscale(all.subspan(cmd == "upscale" ? 2 : 1));
    if (!parsed && parsed.error().message().empty())
      std::abort();
    if (parsed) {
      // What parsing lets through is what the rest of the job may assume.
      const lmr::pipeline::UpscaleConfig& c = parsed->config;
      const bool codec = c.codec == "h264" || c.codec == "h265" || c.codec == "prores";
      const bool tile = !c.tile_w || (*c.tile_w >= 16 && *c.tile_h >= 16 &&
                                      2 * c.overlap < std::min(*c.tile_w, *c.tile_h));
      if (c.quality < 1 || c.quality > 100 || c.scale < 1 || c.scale > 16 || c.max_frames == 0 ||
          !codec || !tile)
        std::abort();
    }
    return 0;
  }
  if (cmd == "info" && has_value_for(args, "-i"))
    return 0;  // would probe a file
  if (cmd == "test-model" && has_value_for(args, "--model"))
    return 0;  // would load a model
  lmr::cli::CommandResult r = lmr::cli::dispatch(all);
  if (r && *r != 0 && *r != 1)
    std::abort();
  return 0;
}
