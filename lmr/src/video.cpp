#include "video.h"

#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "text.h"

namespace lmr::video {

namespace {

// Decimal floating-point syntax only: optional sign, digits with an optional
// fraction, optional exponent. No white space, no "inf", "nan" or hex.
std::optional<double> parse_decimal(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    ++i;
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    ++i;
    ++digits;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      ++i;
      ++digits;
    }
  }
  if (digits == 0)
    return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
      ++i;
    size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      ++i;
      ++exp_digits;
    }
    if (exp_digits == 0)
      return std::nullopt;
  }
  if (i != s.size())
    return std::nullopt;
  // strtod gives infinity or zero where the value is out of range.
  std::string copy(s);
  return std::strtod(copy.c_str(), nullptr);
}

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

std::string fixed3(double v) {
  return text::format("%.3f", v);
}

}  // namespace

// ---------------------------------------------------------------------------
// Probe

std::vector<std::string> probe_args(const std::string& path) {
  return {"-v",
          "error",
          "-select_streams",
          "v:0",
          "-show_entries",
          "stream=width,height,r_frame_rate,nb_frames,duration,codec_name,profile,pix_fmt",
          "-show_entries",
          "format=duration,format_name",
          "-of",
          "default=noprint_wrappers=1",
          path};
}

Result<VideoInfo> parse_probe_report(std::string_view report) {
  VideoInfo info;
  std::optional<uint64_t> width, height, frames;
  std::optional<std::string> rate;
  std::vector<double> durations;

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
    if (key == "width") {
      read_count(width);
    } else if (key == "height") {
      read_count(height);
    } else if (key == "nb_frames") {
      read_count(frames);
    } else if (key == "r_frame_rate") {
      rate = std::string(value);
    } else if (key == "codec_name") {
      info.codec_name = value;
    } else if (key == "profile") {
      info.profile = value;
    } else if (key == "pix_fmt") {
      info.pix_fmt = value;
    } else if (key == "format_name") {
      info.format_name = value;
    } else if (key == "duration") {
      if (auto d = parse_decimal(value))
        durations.push_back(*d);
    }
  }

  if (!width || !height || !rate)
    return fail("ffprobe unexpected output: " + std::string(report));
  info.width = *width;
  info.height = *height;
  info.r_frame_rate = *rate;
  info.duration = durations.empty() ? 0.0 : durations.front();
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
  auto cmd = ffbin::command("ffprobe");
  if (!cmd)
    return std::unexpected(cmd.error());
  cmd->args(probe_args(path));
  auto out = cmd->output();
  if (!out)
    return std::unexpected(out.error());
  if (!out->success())
    return fail("ffprobe failed: " + text::lossy_utf8(out->stderr_text));
  if (!text::is_valid_utf8(out->stdout_text))
    return fail("ffprobe output is not valid UTF-8");
  return parse_probe_report(out->stdout_text);
}

// ---------------------------------------------------------------------------
// Decoder

std::vector<std::string> decoder_args(const std::string& input,
                                      const std::optional<TimeRange>& range,
                                      const std::vector<std::string>& filters) {
  std::vector<std::string> args{"-v", "error"};
  if (range)
    args.insert(args.end(), {"-ss", fixed3(range->start), "-to", fixed3(range->end)});
  args.insert(args.end(), {"-i", input});
  if (!filters.empty()) {
    std::string joined;
    for (size_t i = 0; i < filters.size(); ++i) {
      if (i > 0)
        joined += ',';
      joined += filters[i];
    }
    args.insert(args.end(), {"-vf", joined});
  }
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
                                const std::vector<std::string>& filters) {
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
  cmd->args(decoder_args(input, range, filters))
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

// ---------------------------------------------------------------------------
// Encoder

uint64_t key_interval(std::string_view rate) {
  size_t slash = rate.find('/');
  std::string_view num_text = slash == std::string_view::npos ? rate : rate.substr(0, slash);
  std::string_view den_text = slash == std::string_view::npos ? "1" : rate.substr(slash + 1);
  double num = parse_decimal(num_text).value_or(30.0);
  double den = 1.0;
  if (auto d = parse_decimal(den_text))
    den = std::isnan(*d) ? 1e-9 : std::max(*d, 1e-9);
  double fps = num / den;
  if (!std::isfinite(fps) || !(fps > 0.0))
    return 60;
  return static_cast<uint64_t>(std::round(2.0 * std::clamp(fps, 1.0, 240.0)));
}

std::string container_name(std::string_view output) {
  if (output.ends_with(".part"))
    output.remove_suffix(5);
  size_t dot = output.rfind('.');
  std::string ext(dot == std::string_view::npos ? output : output.substr(dot + 1));
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  if (ext == "mov")
    return "mov";
  if (ext == "mkv")
    return "matroska";
  if (ext == "webm")
    return "webm";
  return "mp4";
}

namespace {

// The software encoders' constant-quality scale: q 100 is crf 10, each
// quality step 0.4 crf steps worse.
uint64_t crf_for_quality(uint32_t q) {
  double crf = 10.0 + (100.0 - static_cast<double>(q)) * 0.4;
  return static_cast<uint64_t>(std::round(std::clamp(crf, 0.0, 51.0)));
}

void add_rate_control(std::vector<std::string>& args,
                      const RateControl& rc,
                      platform::EncoderFamily family) {
  if (const auto* q = std::get_if<Quality>(&rc)) {
    if (family == platform::EncoderFamily::kVideoToolbox)
      args.insert(args.end(), {"-q:v", std::to_string(q->value)});
    else
      args.insert(args.end(), {"-crf", std::to_string(crf_for_quality(q->value))});
    return;
  }
  uint64_t b = std::get<Bitrate>(rc).bits_per_second;
  uint64_t buf =
      b > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max() : 2 * b;
  args.insert(args.end(), {"-b:v", std::to_string(b), "-maxrate", std::to_string(b), "-bufsize",
                           std::to_string(buf)});
}

}  // namespace

std::vector<std::string> encoder_args(const std::string& output,
                                      const std::string& source,
                                      const std::optional<TimeRange>& range,
                                      uint64_t frame_w,
                                      uint64_t frame_h,
                                      uint64_t out_w,
                                      uint64_t out_h,
                                      const std::string& rate,
                                      const std::string& codec,
                                      const std::string& audio,
                                      const RateControl& rc,
                                      platform::EncoderFamily family) {
  const bool vt = family == platform::EncoderFamily::kVideoToolbox;
  std::vector<std::string> args{
      "-v",    "error",    "-y",
      "-f",    "rawvideo", "-pix_fmt",
      "rgb24", "-s",       std::to_string(frame_w) + "x" + std::to_string(frame_h),
      "-r",    rate,       "-i",
      "-"};
  if (range)
    args.insert(args.end(), {"-ss", fixed3(range->start), "-to", fixed3(range->end)});
  args.insert(args.end(), {"-i", source, "-map", "0:v"});
  if (audio == "copy")
    args.insert(args.end(), {"-map", "1:a?", "-c:a", "copy", "-shortest"});
  else
    args.push_back("-an");

  // Frames are RGB: convert them with the BT.709 matrix into limited range
  // (ffmpeg's default would be BT.601, which players do not assume for HD),
  // in the same scaler pass as any resize. setparams marks the frames too:
  // some encoders (prores_ks) write the frames' colour fields, not the
  // stream options below.
  std::string filter = "scale=";
  if (out_w != frame_w || out_h != frame_h)
    filter += std::to_string(out_w) + ":" + std::to_string(out_h) + ":flags=lanczos:";
  filter +=
      "out_color_matrix=bt709:out_range=tv,"
      "setparams=range=tv:color_primaries=bt709:color_trc=bt709:colorspace=bt709";
  args.insert(args.end(), {"-vf", filter});

  const uint64_t long_side = std::max(out_w, out_h);
  const uint64_t short_side = std::min(out_w, out_h);
  const std::string gop = std::to_string(key_interval(rate));
  if (codec == "h264" && long_side <= 4096 && short_side <= 2304) {
    args.insert(args.end(), {"-c:v", vt ? "h264_videotoolbox" : "libx264"});
    add_rate_control(args, rc, family);
    args.insert(args.end(), {"-profile:v", "high", "-g", gop, "-pix_fmt", "yuv420p"});
  } else if (codec == "prores") {
    args.insert(args.end(), {"-c:v", "prores_ks", "-profile:v", "3"});
  } else {
    args.insert(args.end(), {"-c:v", vt ? "hevc_videotoolbox" : "libx265"});
    add_rate_control(args, rc, family);
    // libx265 prints its banner and statistics whatever "-v" says; keep the
    // diagnostics to errors like every other child.
    if (!vt)
      args.insert(args.end(), {"-x265-params", "log-level=error"});
    args.insert(args.end(), {"-g", gop, "-tag:v", "hvc1", "-pix_fmt", "yuv420p"});
  }
  // Say what the conversion above did, so players do not guess.
  args.insert(args.end(), {"-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc",
                           "bt709", "-color_range", "tv"});

  args.insert(args.end(), {"-f", container_name(output), output});
  return args;
}

struct Encoder::State {
  ffbin::Child child;
  std::optional<ffbin::PipeDrain> diagnostics;
};

Encoder::Encoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Encoder::Encoder(Encoder&&) noexcept = default;
Encoder& Encoder::operator=(Encoder&&) noexcept = default;
Encoder::~Encoder() = default;

Result<Encoder> Encoder::create(const std::string& output,
                                const std::string& source,
                                const std::optional<TimeRange>& range,
                                uint64_t frame_w,
                                uint64_t frame_h,
                                uint64_t out_w,
                                uint64_t out_h,
                                const std::string& rate,
                                const std::string& codec,
                                const std::string& audio,
                                const RateControl& rc) {
  auto args = encoder_args(output, source, range, frame_w, frame_h, out_w, out_h, rate, codec,
                           audio, rc, platform::encoder_family());
  auto cmd = ffbin::command("ffmpeg");
  if (!cmd)
    return std::unexpected(cmd.error());
  cmd->args(args).set_stdin(ffbin::Stdio::kPipe).set_stderr(ffbin::Stdio::kPipe);
  auto child = cmd->spawn();
  if (!child)
    return std::unexpected(child.error());
  auto state = std::make_unique<State>(State{std::move(*child), std::nullopt});
  // Read all along, so a talkative encoder never blocks on a full pipe.
  auto drain = ffbin::PipeDrain::start(std::move(state->child.stderr_pipe()));
  if (!drain)
    return std::unexpected(drain.error());
  state->diagnostics = std::move(*drain);
  return Encoder(std::move(state));
}

Status Encoder::write_frame(std::span<const uint8_t> frame) {
  ffbin::Fd& in = state_->child.stdin_pipe();
  if (!in.valid())
    return fail("encoder stdin");
  if (frame.empty())
    return {};
  auto written = ffbin::write_all(in.get(), frame);
  if (written)
    return {};
  in.reset();
  (void)state_->child.wait();
  auto said = stderr_text();
  return fail("encoder failed: " + (said ? *said : written.error().message()));
}

Status Encoder::finish() && {
  state_->child.stdin_pipe().reset();
  auto status = state_->child.wait();
  if (!status)
    return std::unexpected(status.error());
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
    return {};
  return fail("encoder exited with " + ffbin::exit_status_text(*status) + ": " +
              stderr_text().value_or(""));
}

std::optional<std::string> Encoder::stderr_text() {
  if (!state_->diagnostics)
    return std::nullopt;
  const std::string& said = state_->diagnostics->text();
  if (!text::is_valid_utf8(said))
    return std::nullopt;
  std::string_view trimmed = text::trim(said);
  if (trimmed.empty())
    return std::nullopt;
  return std::string(trimmed);
}

}  // namespace lmr::video
