#include "video.h"

#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>

#include "text.h"
#include "video_internal.h"

namespace lmr::video {

// Decimal floating-point syntax only: optional sign, digits with an optional
// fraction, optional exponent. No white space, no "inf", "nan" or hex.
std::optional<double> parse_decimal(std::string_view s) {
  // from_chars reads the form but takes no '+' and does read "inf" and "nan".
  const std::string_view body = s.starts_with('+') ? s.substr(1) : s;
  if ((s.starts_with('+') && body.starts_with('-')) ||
      body.find_first_not_of("0123456789.eE+-") != std::string_view::npos)
    return std::nullopt;
  double v = 0.0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
  if (end != body.data() + body.size() ||
      (ec != std::errc() && ec != std::errc::result_out_of_range))
    return std::nullopt;
  // Out of range: infinity or zero, as strtod gives.
  return ec == std::errc() ? v : std::strtod(std::string(body).c_str(), nullptr);
}

std::string fixed3(double v) {
  return text::format("%.3f", v);
}

Result<std::string> ffprobe_report(const std::vector<std::string>& args) {
  auto cmd = ffbin::command("ffprobe");
  if (!cmd)
    return std::unexpected(cmd.error());
  cmd->args(args);
  auto out = cmd->output();
  if (!out)
    return std::unexpected(out.error());
  if (!out->success())
    return fail("ffprobe failed: " + text::lossy_utf8(out->stderr_text));
  if (!text::is_valid_utf8(out->stdout_text))
    return fail("ffprobe output is not valid UTF-8");
  return std::move(out->stdout_text);
}

namespace {

// Rounds half away from zero and saturates into uint64: NaN and negatives
// give 0, values beyond the range the largest value.
uint64_t round_saturating(double v) {
  if (std::isnan(v) || v <= 0.0)
    return 0;
  double r = std::round(v);
  if (r >= 18446744073709551616.0)
    return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(r);
}

// Matroska's per-stream DURATION tag: "HH:MM:SS.fraction".
std::optional<double> parse_clock(std::string_view s) {
  size_t a = s.find(':');
  size_t b = a == std::string_view::npos ? a : s.find(':', a + 1);
  if (b == std::string_view::npos)
    return std::nullopt;
  auto h = text::parse_unsigned(s.substr(0, a));
  auto m = text::parse_unsigned(s.substr(a + 1, b - a - 1));
  auto sec = parse_decimal(s.substr(b + 1));
  if (!h || !m || !sec || *sec < 0.0)
    return std::nullopt;
  return static_cast<double>(*h) * 3600.0 + static_cast<double>(*m) * 60.0 + *sec;
}

// "N:D" with both parts non-zero; anything else (0:1, N/A) is unknown.
std::optional<std::pair<uint64_t, uint64_t>> parse_ratio(std::string_view s) {
  size_t colon = s.find(':');
  if (colon == std::string_view::npos)
    return std::nullopt;
  auto n = text::parse_unsigned(s.substr(0, colon));
  auto d = text::parse_unsigned(s.substr(colon + 1));
  if (!n || !d || *n == 0 || *d == 0)
    return std::nullopt;
  return std::pair{*n, *d};
}

// A display rotation of a quarter turn either way swaps width and height.
bool quarter_turn(double degrees) {
  double r = std::fmod(std::fabs(degrees), 180.0);
  return std::fabs(r - 90.0) < 1.0;
}

bool untagged(std::string_view tag) {
  return tag.empty() || tag == "unknown" || tag == "unspecified" || tag == "reserved";
}

}  // namespace

// ---------------------------------------------------------------------------
// Probe

std::string file_arg(const std::string& path) {
  return path.starts_with("file:") ? path : "file:" + path;
}

std::vector<std::string> probe_args(const std::string& path) {
  // "V" skips cover art stored as a video stream; the decoder maps the same.
  return {"-v",
          "error",
          "-protocol_whitelist",
          kProtocolWhitelist,
          "-select_streams",
          "V:0",
          "-show_entries",
          "stream=width,height,r_frame_rate,avg_frame_rate,nb_frames,duration,start_time,"
          "codec_name,profile,pix_fmt,field_order,sample_aspect_ratio,color_range,color_space,"
          "color_transfer,color_primaries:stream_tags=DURATION:stream_side_data=rotation",
          "-show_entries",
          "format=duration,start_time,format_name",
          "-of",
          "default=noprint_wrappers=1",
          file_arg(path)};
}

Result<VideoInfo> parse_probe_report(std::string_view report, std::string_view source) {
  VideoInfo info;
  std::optional<uint64_t> width, height, frames;
  std::optional<std::string> rate;
  std::pair<uint64_t, uint64_t> sar{1, 1};
  // In report order: the stream's duration, its DURATION tag (Matroska
  // gives no other), then the container's, which may span longer audio.
  std::vector<double> durations;
  std::optional<size_t> tag_at;  // where the DURATION tag's entry is
  // The stream's start (MPEG-TS programs repeat it), then the container's
  // last (N/A included).
  std::vector<std::optional<double>> starts;
  bool stream_keys = false;
  // Taken as they are; the last one wins.
  static const std::map<std::string_view, std::string VideoInfo::*> texts{
      {"codec_name", &VideoInfo::codec_name},
      {"profile", &VideoInfo::profile},
      {"pix_fmt", &VideoInfo::pix_fmt},
      {"format_name", &VideoInfo::format_name},
      {"avg_frame_rate", &VideoInfo::avg_frame_rate},
      {"field_order", &VideoInfo::field_order},
      {"color_space", &VideoInfo::color_space},
      {"color_primaries", &VideoInfo::color_primaries},
      {"color_transfer", &VideoInfo::color_transfer},
      {"color_range", &VideoInfo::color_range}};

  size_t pos = 0;
  while (pos <= report.size()) {
    size_t nl = report.find('\n', pos);
    std::string_view line =
        report.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? report.size() + 1 : nl + 1;
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    line = text::trim(line);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      continue;
    std::string_view key = line.substr(0, eq);
    std::string_view value = line.substr(eq + 1);

    auto read_count = [&](std::optional<uint64_t>& field) {
      auto v = text::parse_unsigned(value);
      field = v ? std::optional<uint64_t>(*v) : std::nullopt;
    };
    stream_keys = stream_keys || key == "width" || key == "height" || key == "r_frame_rate";
    if (key == "width") {
      read_count(width);
    } else if (key == "height") {
      read_count(height);
    } else if (key == "nb_frames") {
      read_count(frames);
    } else if (key == "r_frame_rate") {
      rate = std::string(value);
    } else if (auto field = texts.find(key); field != texts.end()) {
      info.*(field->second) = value;
    } else if (key == "duration") {
      if (auto d = parse_decimal(value))
        durations.push_back(*d);
    } else if (key == "TAG:DURATION") {
      if (auto d = parse_clock(value)) {
        tag_at = durations.size();
        durations.push_back(*d);
      }
    } else if (key == "start_time") {
      starts.push_back(parse_decimal(value));
    } else if (key == "rotation") {
      info.rotation = parse_decimal(value).value_or(0.0);
    } else if (key == "sample_aspect_ratio") {
      sar = parse_ratio(value).value_or(std::pair<uint64_t, uint64_t>{1, 1});
    }
  }

  // An audio file, or a playlist of pictures ffmpeg cannot see as video.
  if (!stream_keys)
    return fail("no video stream in " + std::string(source));
  if (!width || !height || !rate)
    return fail("ffprobe unexpected output: " + std::string(report));
  if (starts.size() >= 2) {
    info.start_time = starts[0];
    info.format_start_time = starts.back();
  }
  info.width = *width;
  info.height = *height;
  info.sar_num = sar.first;
  info.sar_den = sar.second;
  if (quarter_turn(info.rotation)) {
    std::swap(info.width, info.height);
    std::swap(info.sar_num, info.sar_den);
  }
  info.r_frame_rate = *rate;
  info.duration = durations.empty() ? 0.0 : durations.front();
  info.duration_is_end = tag_at == size_t{0};
  if (frames) {
    info.frames = *frames;
  } else {
    size_t slash = info.r_frame_rate.find('/');
    if (slash != std::string::npos) {
      std::string_view r = info.r_frame_rate;
      double num = parse_decimal(r.substr(0, slash)).value_or(30.0);
      double den = parse_decimal(r.substr(slash + 1)).value_or(1.0);
      info.frames = round_saturating(info.duration * num / den);
    }
  }
  return info;
}

Result<VideoInfo> probe(const std::string& path) {
  auto report = ffprobe_report(probe_args(path));
  if (!report)
    return std::unexpected(report.error());
  return parse_probe_report(*report, path);
}

std::optional<double> video_seconds(const VideoInfo& info, uint64_t max_frames) {
  std::optional<double> fps;
  std::string_view r = info.r_frame_rate;
  if (size_t slash = r.find('/'); slash != std::string_view::npos) {
    auto num = parse_decimal(r.substr(0, slash));
    auto den = parse_decimal(r.substr(slash + 1));
    if (num && den && *num > 0.0 && *den > 0.0 && std::isfinite(*num / *den))
      fps = *num / *den;
  }
  // The duration first: the decoder delivers frames at the constant rate
  // over it, also when a variable-rate stream counts fewer frames.
  if (info.duration > 0.0)
    return fps ? std::min(info.duration, static_cast<double>(max_frames) / *fps) : info.duration;
  if (fps && info.frames > 0)
    return static_cast<double>(std::min(info.frames, max_frames)) / *fps;
  return std::nullopt;
}

Status check_colours(const VideoInfo& info) {
  const std::string& trc = info.color_transfer;
  const bool hdr = trc == "smpte2084" || trc == "arib-std-b67";
  const bool wide = info.color_primaries == "bt2020" || info.color_space == "bt2020nc" ||
                    info.color_space == "bt2020c";
  if (!hdr && !wide)
    return {};
  return fail(std::string(hdr ? "HDR" : "wide-gamut") +
              " video is not supported: its colours (primaries " + info.color_primaries +
              ", transfer " + trc + ", matrix " + info.color_space +
              ") would come out wrong in the BT.709 output; convert it to SDR BT.709 first");
}

std::vector<std::string> colour_filters(const VideoInfo& info) {
  if (!untagged(info.color_space))
    return {};
  const bool turned = quarter_turn(info.rotation);
  const uint64_t w = turned ? info.height : info.width;
  const uint64_t h = turned ? info.width : info.height;
  // SD formats end at 720x576 (1024x576 with square pixels) and HD starts
  // at 1280x720; players draw the line there. ffmpeg alone would read
  // every untagged picture as BT.601.
  if (w >= 1280 || h > 576)
    return {"scale=in_color_matrix=bt709"};
  return {};
}

// ---------------------------------------------------------------------------
// Decoder

std::vector<std::string> decoder_args(const std::string& input,
                                      const std::optional<TimeRange>& range,
                                      const std::vector<std::string>& filters,
                                      const InputTiming& timing) {
  std::vector<std::string> args{"-v", "error", "-protocol_whitelist", kProtocolWhitelist};
  if (range)
    args.insert(args.end(), {"-ss", fixed3(range->start), "-to", fixed3(range->end)});
  if (timing.offset)
    args.insert(args.end(), {"-itsoffset", text::format("%.6f", *timing.offset)});
  args.insert(args.end(), {"-i", file_arg(input), "-map", "0:V:0"});
  if (!filters.empty()) {
    std::string joined = filters.front();
    for (size_t i = 1; i < filters.size(); ++i)
      joined += "," + filters[i];
    args.insert(args.end(), {"-vf", joined});
  }
  // The rate the encoder stamps: frames are duplicated or dropped to it.
  if (!timing.rate.empty())
    args.insert(args.end(), {"-r", timing.rate});
  args.insert(args.end(), {"-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  return args;
}

namespace {

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

// "decoder failed: <status>" with ffmpeg's own words when it left any.
Error decoder_failure(int wait_status, ffbin::PipeDrain* diagnostics) {
  std::string msg = "decoder failed: " + ffbin::exit_status_text(wait_status);
  if (diagnostics != nullptr) {
    std::string_view said = text::trim(diagnostics->text());
    if (!said.empty())
      msg += ": " + text::lossy_utf8(said);
  }
  return Error(std::move(msg));
}

}  // namespace

struct Decoder::State {
  ffbin::Child child;
  std::optional<ffbin::PipeDrain> diagnostics;
  std::unique_ptr<uint8_t[], FreeDeleter> buffer;
  size_t frame_size = 0;
  bool ended = false;
  std::optional<Error> failure;
};

Decoder::Decoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Decoder::Decoder(Decoder&&) noexcept = default;
Decoder& Decoder::operator=(Decoder&&) noexcept = default;
Decoder::~Decoder() = default;

Result<Decoder> Decoder::create(const std::string& input,
                                uint64_t width,
                                uint64_t height,
                                const std::optional<TimeRange>& range,
                                const std::vector<std::string>& filters,
                                const InputTiming& timing) {
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  // A zero-sized frame would be "read" forever without consuming anything.
  if (width == 0 || height == 0)
    return fail("cannot decode to a frame size of " + size +
                ": width and height must be at least 1");
  constexpr uint64_t kMaxBytes = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (width > kMaxBytes / 3 / height)
    return fail("cannot decode to a frame size of " + size + ": a frame would be too large");
  uint64_t bytes = width * height * 3;
  if (bytes > std::numeric_limits<size_t>::max())
    return fail("cannot decode to a frame size of " + size + ": a frame would be too large");
  // calloc: zero-filled without touching the pages, and NULL (not an abort)
  // when the size cannot be had.
  std::unique_ptr<uint8_t[], FreeDeleter> buffer(
      static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1)));
  if (!buffer)
    return fail("cannot decode to a frame size of " + size + ": cannot allocate " +
                std::to_string(bytes) + " bytes for a frame");

  auto cmd = ffbin::command("ffmpeg");
  if (!cmd)
    return std::unexpected(cmd.error());
  // A null stdin: ffmpeg would otherwise read the user's terminal for its
  // keyboard commands and leave it in raw mode when killed.
  cmd->args(decoder_args(input, range, filters, timing))
      .set_stdin(ffbin::Stdio::kNull)
      .set_stdout(ffbin::Stdio::kPipe)
      .set_stderr(ffbin::Stdio::kPipe);
  auto child = cmd->spawn();
  if (!child)
    return std::unexpected(child.error());
  auto state = std::make_unique<State>(State{std::move(*child), std::nullopt, std::move(buffer),
                                             static_cast<size_t>(bytes), false, std::nullopt});
  auto drain = ffbin::PipeDrain::start(std::move(state->child.stderr_pipe()));
  if (!drain)
    return std::unexpected(drain.error());
  state->diagnostics = std::move(*drain);
  return Decoder(std::move(state));
}

Result<std::optional<std::span<const uint8_t>>> Decoder::next_frame() {
  State& s = *state_;
  if (s.failure)
    return std::unexpected(*s.failure);
  if (s.ended)
    return std::nullopt;
  ffbin::Fd& out = s.child.stdout_pipe();
  if (!out.valid())
    return fail("decoder stdout");
  auto got = ffbin::read_full(out.get(), std::span<uint8_t>(s.buffer.get(), s.frame_size));
  if (!got) {
    s.failure = got.error();
    return std::unexpected(got.error());
  }
  if (*got == s.frame_size)
    return std::span<const uint8_t>(s.buffer.get(), s.frame_size);

  // End of the stream (an incomplete last frame is dropped): it is a clean
  // end only if ffmpeg says so.
  out.reset();
  // An ffmpeg that closed its output but never exits must not hang the job.
  auto waited = s.child.wait_for(std::chrono::seconds(10));
  if (!waited) {
    s.failure = waited.error();
    return std::unexpected(waited.error());
  }
  if (!*waited) {
    s.child.kill_and_reap();
    s.failure = Error("decoder failed: ffmpeg did not exit after the end of its output");
    return std::unexpected(*s.failure);
  }
  const std::optional<int>& status = *waited;
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
    s.ended = true;
    return std::nullopt;
  }
  s.failure = decoder_failure(*status, s.diagnostics ? &*s.diagnostics : nullptr);
  return std::unexpected(*s.failure);
}

}  // namespace lmr::video
