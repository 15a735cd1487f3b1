#include "video_encoder.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "text.h"
#include "video_internal.h"

namespace lmr::video {

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
  const std::string ext =
      text::ascii_lower(dot == std::string_view::npos ? output : output.substr(dot + 1));
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

std::string video_codec(std::string_view codec, uint64_t out_w, uint64_t out_h) {
  if (codec == "h264" && std::max(out_w, out_h) <= 4096 && std::min(out_w, out_h) <= 2304)
    return "h264";
  return codec == "prores" ? "prores" : "hevc";
}

std::vector<std::string> source_args(const EncoderSettings& s) {
  const auto& [source, range, audio, traits, source_offset, subtitles] =
      std::tie(s.source, s.range, s.audio, s.traits, s.source_offset, s.subtitles);
  std::vector<std::string> args;
  const bool with_audio = audio == "copy" || audio == "aac";
  if (range)
    args.insert(args.end(), {"-ss", fixed3(range->start), "-to", fixed3(range->end)});
  else if (with_audio && traits.audio_seconds)
    args.insert(args.end(), {"-t", text::format("%.6f", *traits.audio_seconds)});
  if (source_offset)
    args.insert(args.end(), {"-itsoffset", text::format("%.6f", *source_offset)});
  args.insert(args.end(),
              {"-protocol_whitelist", kProtocolWhitelist, "-i", file_arg(source), "-map", "0:v"});
  if (with_audio)
    args.insert(args.end(), {"-map", "1:a?", "-c:a", audio});
  else
    args.push_back("-an");
  for (size_t k = 0; k < subtitles.size(); ++k) {
    args.insert(args.end(), {"-map", "1:" + std::to_string(subtitles[k].index),
                             "-c:s:" + std::to_string(k), subtitles[k].codec});
  }
  return args;
}

std::vector<std::string> encoder_args(const EncoderSettings& s, platform::EncoderFamily family) {
  const auto& [output, muxer, frame_w, frame_h, out_w, out_h, rate, codec, rc, traits, crop] =
      std::tie(s.output, s.muxer, s.frame_w, s.frame_h, s.out_w, s.out_h, s.rate, s.codec, s.rc,
               s.traits, s.crop);
  const bool vt = family == platform::EncoderFamily::kVideoToolbox;
  std::vector<std::string> args{"-v",
                                "error",
                                "-y",
                                "-f",
                                "rawvideo",
                                "-pix_fmt",
                                "rgb24",
                                "-s",
                                std::to_string(frame_w) + "x" + std::to_string(frame_h),
                                "-r",
                                rate,
                                "-protocol_whitelist",
                                kProtocolWhitelist,
                                "-i",
                                "-"};
  const std::vector<std::string> from_source = source_args(s);
  args.insert(args.end(), from_source.begin(), from_source.end());

  // Frames are RGB: convert them with the BT.709 matrix into limited range
  // (ffmpeg's default would be BT.601, which players do not assume for HD),
  // in the same scaler pass as any resize. setparams marks the frames too:
  // some encoders (prores_ks) write the frames' colour fields, not the
  // stream options below.
  const std::string size = std::to_string(out_w) + ":" + std::to_string(out_h);
  const bool resized = out_w != frame_w || out_h != frame_h;
  std::string filter = resized && crop ? "crop=" + size + ":0:0,scale=" : "scale=";
  if (resized && !crop)
    filter += size + ":flags=lanczos:";
  filter +=
      "out_color_matrix=bt709:out_range=tv,"
      "setparams=range=tv:color_primaries=bt709:color_trc=bt709:colorspace=bt709";
  // Non-square pixels keep their shape, so the picture keeps its aspect.
  if (traits.sar_num != traits.sar_den && traits.sar_num != 0 && traits.sar_den != 0)
    filter += text::format(",setsar=%llu/%llu", static_cast<unsigned long long>(traits.sar_num),
                           static_cast<unsigned long long>(traits.sar_den));
  args.insert(args.end(), {"-vf", filter});

  const std::string gop = std::to_string(key_interval(rate));
  const std::string chosen = video_codec(codec, out_w, out_h);
  if (chosen == "h264") {
    args.insert(args.end(), {"-c:v", vt ? "h264_videotoolbox" : "libx264"});
    add_rate_control(args, rc, family);
    args.insert(args.end(), {"-profile:v", "high", "-g", gop, "-pix_fmt", "yuv420p"});
  } else if (chosen == "prores") {
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

  args.insert(args.end(), {"-f", muxer.empty() ? container_name(output) : muxer, file_arg(output)});
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

Result<Encoder> Encoder::create(const EncoderSettings& settings) {
  auto args = encoder_args(settings, platform::encoder_family());
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
  // An ffmpeg that stopped reading its frames but never exits must not hang
  // the job: it has had its chance to say why.
  auto waited = state_->child.wait_for(std::chrono::seconds(10));
  if (waited && !*waited)
    state_->child.kill_and_reap();
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
  // A message in another encoding still says more than none.
  const std::string said = text::lossy_utf8(state_->diagnostics->text());
  std::string_view trimmed = text::trim(said);
  if (trimmed.empty())
    return std::nullopt;
  return std::string(trimmed);
}

}  // namespace lmr::video
