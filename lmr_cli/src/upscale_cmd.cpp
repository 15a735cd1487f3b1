#include <string_view>

#include "cli.h"
#include "text.h"

namespace lmr::cli {

namespace {

Result<uint64_t> parse_tile_side(std::string_view s) {
  return text::parse_unsigned(s);
}

}  // namespace

Result<ParsedUpscale> parse_upscale(Args args) {
  ParsedUpscale parsed;
  pipeline::UpscaleConfig& c = parsed.config;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--fgnet") {
      c.fgnet = true;
      continue;
    }
    if (opt == "--no-reuse") {
      c.reuse = false;
      continue;
    }
    static constexpr std::string_view kWithValue[] = {
        "-m",        "--model-name", "--model",   "-i",        "-o",
        "--scale",   "--tile",       "--overlap", "--ep",      "--codec",
        "--quality", "--max-frames", "--div",     "--max-area"};
    bool known = false;
    for (auto k : kWithValue)
      known = known || opt == k;
    if (!known)
      return fail("unknown option: " + opt);
    if (i + 1 >= args.size())
      return fail("missing value for " + opt);
    const std::string& v = args[++i];
    if (opt == "-m" || opt == "--model-name") {
      parsed.catalog_id = v;
    } else if (opt == "--model") {
      c.model = v;
    } else if (opt == "-i") {
      c.input = v;
    } else if (opt == "-o") {
      c.output = v;
    } else if (opt == "--scale") {
      auto n = text::parse_unsigned(v);
      if (!n)
        return std::unexpected(n.error());
      c.scale = *n;
    } else if (opt == "--tile") {
      size_t x = v.find('x');
      std::string_view w = std::string_view(v).substr(0, x);
      std::string_view h = x == std::string::npos ? w : std::string_view(v).substr(x + 1);
      auto tw = parse_tile_side(w);
      if (!tw)
        return std::unexpected(tw.error());
      auto th = parse_tile_side(h);
      if (!th)
        return std::unexpected(th.error());
      c.tile_w = *tw;
      c.tile_h = *th;
    } else if (opt == "--overlap") {
      auto n = text::parse_unsigned(v);
      if (!n)
        return std::unexpected(n.error());
      c.overlap = *n;
    } else if (opt == "--ep") {
      if (v == "coreml") {
        c.ep = inference::Ep::coreml_all;
      } else if (v == "cpu") {
        c.ep = inference::Ep::cpu;
      } else {
        return fail("unknown ep: " + v);
      }
    } else if (opt == "--codec") {
      c.codec = v;
    } else if (opt == "--quality") {
      auto n = text::parse_unsigned(v, UINT32_MAX);
      if (!n)
        return std::unexpected(n.error());
      if (*n < 1 || *n > 100)
        return fail("--quality must be 1-100");
      c.quality = static_cast<uint32_t>(*n);
    } else if (opt == "--max-frames") {
      auto n = text::parse_unsigned(v);
      if (!n)
        return std::unexpected(n.error());
      c.max_frames = *n;
    } else if (opt == "--div") {
      auto n = text::parse_unsigned(v);
      if (!n)
        return std::unexpected(n.error());
      c.div = *n;
    } else if (opt == "--max-area") {
      auto n = text::parse_unsigned(v);
      if (!n)
        return std::unexpected(n.error());
      c.max_area = *n;
    }
  }
  return parsed;
}

CommandResult upscale_command(Args args) {
  print(banner());
  if (args.empty())
    return std::unexpected(Error("-i and -o are required"));
  auto parsed = parse_upscale(args);
  if (!parsed)
    return std::unexpected(parsed.error());
  pipeline::UpscaleConfig& config = parsed->config;
  if (parsed->catalog_id) {
    if (auto st = apply_catalog_model(config, *parsed->catalog_id); !st) {
      return std::unexpected(st.error());
    }
  }
  if (config.input.empty() || config.output.empty()) {
    return std::unexpected(Error("-i and -o are required"));
  }
  if (config.model.empty()) {
    return std::unexpected(Error("--model <path> or -m <model-name> is required"));
  }
  Status st = config.fgnet ? pipeline::run_fgnet_upscale(config) : pipeline::run_upscale(config);
  if (!st)
    return std::unexpected(st.error());
  return 0;
}

}  // namespace lmr::cli
