#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

#include "cli.h"
#include "text.h"

namespace lmr::cli {

namespace {

using ull = unsigned long long;

// A tile side below 16 pixels is mostly blended border: a 1080p frame would
// take over 8000 tiles. Above 65536 a tile is wider than any frame worth
// upscaling.
constexpr NumberRange kTileSide{16, 65536,
                                "--tile must be WxH or N, whole numbers from 16 to 65536"};
// Less than half the largest tile's side; the tile at hand bounds it further.
constexpr NumberRange kOverlap{0, 32767,
                               "--overlap must be a whole number from 0 to 32767, less than half "
                               "the tile side"};
// Nothing to write is no job: an output without its video stream.
constexpr NumberRange kMaxFrames{1, UINT64_MAX, "--max-frames must be a whole number, at least 1"};
// 0 and 1 both mean no rounding; a tile side never needs more.
constexpr NumberRange kDiv{0, 65536, "--div must be a whole number from 0 to 65536"};
// A 16x16 to a 65536x65536 tile.
constexpr NumberRange kMaxArea{256, uint64_t{1} << 32,
                               "--max-area must be a whole number of pixels from 256 to "
                               "4294967296"};
constexpr NumberRange kQuality{1, 100, "--quality must be 1-100", UINT32_MAX};
// A segment of no frames, or no task at all, is no job.
constexpr NumberRange kSegmentFrames{1, UINT64_MAX,
                                     "--segment-frames must be a whole number, at least 1"};
constexpr NumberRange kTasks{1, UINT64_MAX, "--tasks must be a whole number, at least 1"};
constexpr NumberRange kTaskIndex{0, UINT64_MAX, "--task-index must be a whole number from 0"};

// The codecs the encoder knows, as it names them.
constexpr std::string_view kCodecs[] = {"h264", "h265", "prores"};

Result<std::string> parse_codec(const std::string& v) {
  const std::string lower = text::ascii_lower(v);
  // HEVC's other name, which the encoder always took for it.
  if (lower == "hevc")
    return std::string("h265");
  if (std::find(std::begin(kCodecs), std::end(kCodecs), lower) == std::end(kCodecs))
    return fail("--codec must be h264, h265 or prores, not \"" + v + "\"");
  return lower;
}

// Tiles that overlap by half their side or more step by less than half a
// tile, and by a single pixel once the overlap reaches the side.
Status check_overlap(const pipeline::UpscaleConfig& c) {
  if (!c.tile_w || !c.tile_h)
    return {};
  const uint64_t side = std::min(*c.tile_w, *c.tile_h);
  if (2 * c.overlap < side)
    return {};
  return fail(text::format(
      "--overlap %llu is too large for --tile %llux%llu: tiles may overlap by less than half "
      "their side (at most %llu)",
      ull(c.overlap), ull(*c.tile_w), ull(*c.tile_h), ull((side - 1) / 2)));
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
    if (opt == "--no-reuse") {
      c.reuse = false;
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
    // Every number is read the same way: in range, or the option's rule.
    auto number = [&v](uint64_t& field, const NumberRange& range) -> Status {
      auto n = parse_number(v, range);
      if (!n)
        return std::unexpected(n.error());
      field = *n;
      return {};
    };
    Status st;
    if (opt == "-m" || opt == "--model-name") {
      parsed.catalog_id = v;
    } else if (opt == "--model") {
      c.model = v;
    } else if (opt == "-i") {
      c.input = v;
    } else if (opt == "-o") {
      c.output = v;
    } else if (opt == "--scale") {
      st = number(c.scale, kScaleRange);
    } else if (opt == "--tile") {
      size_t x = v.find('x');
      std::string_view w = std::string_view(v).substr(0, x);
      std::string_view h = x == std::string::npos ? w : std::string_view(v).substr(x + 1);
      // Both sides read before either is judged: "10x" lacks its height.
      auto tw = text::parse_unsigned(w), th = text::parse_unsigned(h);
      if (!tw || !th)
        return std::unexpected(Error(kTileSide.rule, tw ? th.error() : tw.error()));
      for (uint64_t side : {*tw, *th}) {
        if (side < kTileSide.min || side > kTileSide.max)
          return fail(kTileSide.rule);
      }
      c.tile_w = *tw;
      c.tile_h = *th;
    } else if (opt == "--overlap") {
      st = number(c.overlap, kOverlap);
    } else if (opt == "--ep") {
      if (v == "coreml") {
        c.ep = inference::Ep::coreml_all;
      } else if (v == "cpu") {
        c.ep = inference::Ep::cpu;
      } else {
        return fail("unknown ep: " + v);
      }
    } else if (opt == "--codec") {
      auto codec = parse_codec(v);
      if (!codec)
        return std::unexpected(codec.error());
      c.codec = *codec;
    } else if (opt == "--quality") {
      uint64_t q = 0;
      st = number(q, kQuality);
      c.quality = static_cast<uint32_t>(q);
    } else if (opt == "--max-frames") {
      st = number(c.max_frames, kMaxFrames);
    } else if (opt == "--div") {
      st = number(c.div, kDiv);
    } else if (opt == "--max-area") {
      uint64_t area = 0;
      st = number(area, kMaxArea);
      c.max_area = area;
    } else if (opt == "--job") {
      parsed.job.dir = v;
      parsed.segmented = true;
    } else if (opt == "--segment-frames") {
      uint64_t n = 0;
      st = number(n, kSegmentFrames);
      parsed.job.segment_frames = n;
    } else if (opt == "--tasks") {
      uint64_t n = 0;
      st = number(n, kTasks);
      parsed.job.tasks = n;
    } else if (opt == "--task-index") {
      uint64_t n = 0;
      st = number(n, kTaskIndex);
      parsed.job.task_index = n;
    }
    if (!st)
      return std::unexpected(st.error());
  }
  if (Status st = check_overlap(c); !st)
    return std::unexpected(st.error());
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
