// The command-line front end: texts, option parsing and the commands.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error.h"
#include "pipeline.h"

namespace lmr::cli {

using Args = std::span<const std::string>;

// A command's outcome: the exit status to end with (0, or 1 for the usage
// stops of info and test-model), or an error for main to print.
using CommandResult = std::expected<int, Error>;

// The product's web domain, shown in the banner and the version line.
extern const char* const kWebDomain;
// Reverse-DNS identifier of the desktop application (its data folder name).
extern const char* const kAppIdentifier;

std::string banner();
std::string usage();
std::string version_line();

// All output of the program goes to stderr.
void print(const std::string& text);

// The whole numbers an option accepts and the message that says so.
// `parse_max` is the parser's own limit (the option's integer type).
struct NumberRange {
  uint64_t min = 0;
  uint64_t max = UINT64_MAX;
  const char* rule = "";
  uint64_t parse_max = UINT64_MAX;
};
// Upscale factors of the models there are (2 to 4), with room for 1x
// restoration models and larger factors; beyond 16 no model is made, and at
// 32x even a DVD frame is past ffmpeg's picture size limit.
inline constexpr NumberRange kScaleRange{1, 16, "--scale must be a whole number from 1 to 16"};
// `value` when it is a number in `range`; otherwise the range's rule, caused
// by the parser's own complaint when `value` is not a number it can read.
Result<uint64_t> parse_number(std::string_view value, const NumberRange& range);

// Upscale options as parsed, before the catalogue step and the checks.
struct ParsedUpscale {
  pipeline::UpscaleConfig config;
  std::optional<std::string> catalog_id;  // last -m / --model-name
};
Result<ParsedUpscale> parse_upscale(Args args);
// Banner, parsing, catalogue step, checks, then the matching pipeline.
CommandResult upscale_command(Args args);

// Application folders shared with the desktop application.
struct Dirs {
  std::filesystem::path app_data;
  std::filesystem::path models_dir;
};
Dirs cli_dirs();
// Resolves `id` in the catalogue and overwrites the model fields of `config`.
Status apply_catalog_model(pipeline::UpscaleConfig& config, const std::string& id);

CommandResult download_command(Args args);
CommandResult models_command(Args args);
CommandResult info_command(Args args);
CommandResult test_model_command(Args args);

// Dispatch on the first argument of `args` (args[0] is the program path).
CommandResult dispatch(Args args);

}  // namespace lmr::cli
