#include <cstdlib>
#include <string_view>

#include "cli.h"
#include "text.h"

namespace lmr::cli {

namespace {

Result<uint64_t> parse_tile_side(std::string_view s) {
  return text::parse_unsigned(s);
}

// The segmented options hang together: a job folder for any of them, a
// task count for an index; the index comes from the scheduler when not
// given. Nothing (no task) for the whole job.
Result<std::optional<uint64_t>> segmented_task(const ParsedUpscale& p) {
  const job::JobOptions& o = p.job;
  if (!p.segmented) {
    const char* given = o.segment_frames ? "--segment-frames"
                        : o.tasks        ? "--tasks"
                                         : "--task-index";
    return fail(std::string(given) + " needs --job <dir>");
  }
  if (o.dir.empty())
    return fail("--job needs a folder path");
  if (o.task_index && !o.tasks)
    return fail("--task-index needs --tasks");
  if (!o.tasks)
    return std::optional<uint64_t>();
  auto index = job::task_index(o, [](std::string_view name) -> std::optional<std::string> {
    const char* v = std::getenv(std::string(name).c_str());
    return v ? std::optional<std::string>(v) : std::nullopt;
  });
  if (!index)
    return std::unexpected(index.error());
  return std::optional<uint64_t>(*index);
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
    static constexpr std::string_view kWithValue[] = {
        "-m",      "--model-name", "--model",   "-i",
        "-o",      "--scale",      "--tile",    "--overlap",
        "--ep",    "--codec",      "--quality", "--max-frames",
        "--div",   "--max-area",   "--job",     "--segment-frames",
        "--tasks", "--task-index"};
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
    } else if (opt == "--job") {
      parsed.job.dir = v;
      parsed.segmented = true;
    } else {
      // --segment-frames, --tasks, --task-index
      auto n = text::parse_unsigned(v);
      if (!n)
        return std::unexpected(n.error());
      if (opt == "--task-index") {
        parsed.job.task_index = *n;
      } else if (*n == 0) {
        return fail(opt + " must be at least 1");
      } else if (opt == "--tasks") {
        parsed.job.tasks = *n;
      } else {
        parsed.job.segment_frames = *n;
      }
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
  if (parsed->segmented || parsed->job.segment_frames || parsed->job.tasks ||
      parsed->job.task_index) {
    auto task = segmented_task(*parsed);
    if (!task)
      return std::unexpected(task.error());
    Status st = pipeline::run_segmented(config, parsed->job, *task);
    if (!st)
      return std::unexpected(st.error());
    return 0;
  }
  Status st = config.fgnet ? pipeline::run_fgnet_upscale(config) : pipeline::run_upscale(config);
  if (!st)
    return std::unexpected(st.error());
  return 0;
}

}  // namespace lmr::cli

namespace lmr::cli {

CommandResult join_command(Args args) {
  std::optional<std::string> dir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--job")
      return std::unexpected(Error("unknown option: " + args[i]));
    if (i + 1 >= args.size())
      return std::unexpected(Error("missing value for --job"));
    dir = args[++i];
  }
  if (!dir || dir->empty())
    return std::unexpected(Error("usage: lmr join --job <dir>"));
  if (auto st = job::join_folder(*dir); !st)
    return std::unexpected(st.error());
  return 0;
}

}  // namespace lmr::cli
