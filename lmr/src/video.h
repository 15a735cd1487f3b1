// Video I/O through ffmpeg: probing an input, decoding it to raw rgb24
// frames, encoding raw frames into the output with the source's audio.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.h"
#include "ffbin.h"
#include "platform.h"

namespace lmr::video {

struct VideoInfo {
  uint64_t width = 0;
  uint64_t height = 0;
  std::string r_frame_rate;  // as ffprobe printed it, e.g. "30000/1001"
  uint64_t frames = 0;       // 0 when unknown
  double duration = 0.0;     // seconds
  std::string codec_name;
  std::string profile;
  std::string pix_fmt;
  std::string format_name;
};

// The eleven ffprobe arguments for `path`.
std::vector<std::string> probe_args(const std::string& path);
// Parses ffprobe's key=value report (already checked to be UTF-8).
Result<VideoInfo> parse_probe_report(std::string_view report);
Result<VideoInfo> probe(const std::string& path);

struct TimeRange {
  double start = 0.0;
  double end = 0.0;
};

std::vector<std::string> decoder_args(const std::string& input,
                                      const std::optional<TimeRange>& range,
                                      const std::vector<std::string>& filters);

// One running ffmpeg (stdin null) that decodes `input` into width x height
// rgb24 frames. A zero width or height, or a frame too large to represent or
// allocate, is refused before anything starts. Dropping it kills (SIGKILL)
// and reaps the child unless already reaped.
class Decoder {
 public:
  static Result<Decoder> create(const std::string& input,
                                uint64_t width,
                                uint64_t height,
                                const std::optional<TimeRange>& range,
                                const std::vector<std::string>& filters);
  // The next frame (a view valid until the next call), or nothing at end of
  // stream (an incomplete last frame is dropped). When ffmpeg did not exit
  // with status 0 the end is the error "decoder failed: <status>[: <its
  // stderr>]" instead; later calls repeat the end or the error.
  Result<std::optional<std::span<const uint8_t>>> next_frame();

  Decoder(Decoder&&) noexcept;
  Decoder& operator=(Decoder&&) noexcept;
  ~Decoder();

 private:
  struct State;
  explicit Decoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

struct Quality {
  uint32_t value = 80;
};
struct Bitrate {
  uint64_t bits_per_second = 0;
};
using RateControl = std::variant<Quality, Bitrate>;

// Frames between forced key frames for a frame-rate text (about 2 s).
uint64_t key_interval(std::string_view rate);
// Muxer name from the output path ("mp4", "mov", "matroska", "webm").
std::string container_name(std::string_view output);

// Input rgb24 frames are converted to BT.709 limited range and the output is
// tagged so. `family` picks VideoToolbox (quality as -q:v) or the software
// encoders (quality as -crf; libx265 told to log errors only).
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
                                      platform::EncoderFamily family);

// One running ffmpeg that encodes rgb24 frames written to its stdin into
// `output`, with the audio of `source`. Dropping it without finish() kills
// and reaps the child.
class Encoder {
 public:
  static Result<Encoder> create(const std::string& output,
                                const std::string& source,
                                const std::optional<TimeRange>& range,
                                uint64_t frame_w,
                                uint64_t frame_h,
                                uint64_t out_w,
                                uint64_t out_h,
                                const std::string& rate,
                                const std::string& codec,
                                const std::string& audio,
                                const RateControl& rc);
  Status write_frame(std::span<const uint8_t> frame);
  // Ends the input and waits for ffmpeg; the only way to a complete file.
  Status finish() &&;
  // The child's stderr (drained all along), trimmed, once it has ended;
  // nothing when empty or not UTF-8. Waits for the child's stderr to close.
  std::optional<std::string> stderr_text();

  Encoder(Encoder&&) noexcept;
  Encoder& operator=(Encoder&&) noexcept;
  ~Encoder();

 private:
  struct State;
  explicit Encoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace lmr::video
