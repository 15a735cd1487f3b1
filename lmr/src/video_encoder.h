// The frame encoder: raw rgb24 frames into the output file, with the
// source's audio, through one ffmpeg child.
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
#include "video.h"

namespace lmr::video {

struct Quality {
  uint32_t value = 80;
};
struct Bitrate {
  uint64_t bits_per_second = 0;
};
using RateControl = std::variant<Quality, Bitrate>;

// What the output carries over from its source besides the frames.
struct SourceTraits {
  uint64_t sar_num = 1;  // pixel shape of the written frames
  uint64_t sar_den = 1;
  // The video's length: copied audio is cut there (nothing: not cut).
  std::optional<double> audio_seconds;
};

// Frames between forced key frames for a frame-rate text (about 2 s).
uint64_t key_interval(std::string_view rate);
// Muxer name from the output path ("mp4", "mov", "matroska", "webm").
std::string container_name(std::string_view output);

// The video codec the encoder writes for a codec text and output size:
// "h264" (within 4096x2304 either way), "prores", or "hevc" for the rest.
std::string video_codec(std::string_view codec, uint64_t out_w, uint64_t out_h);

// A subtitle stream of the source, by its index there, written with
// `codec` ("copy", or a text format the container holds).
struct SubtitleStream {
  uint64_t index = 0;
  std::string codec;
  bool operator==(const SubtitleStream&) const = default;
};

// Everything one encoder run is made from.
struct EncoderSettings {
  std::string output;  // the path ffmpeg writes
  // The muxer, decided from the name the user gave (the path written may be
  // a temporary one without that extension); empty: from `output`.
  std::string muxer;
  std::string source;  // the job's input, for its audio
  std::optional<TimeRange> range;
  uint64_t frame_w = 0;  // the frames written
  uint64_t frame_h = 0;
  uint64_t out_w = 0;  // the output's size
  uint64_t out_h = 0;
  std::string rate;  // frame-rate text
  std::string codec;
  // "copy" copies the source's audio, "aac" converts it, anything else drops it.
  std::string audio = "copy";
  RateControl rc = Quality{};
  SourceTraits traits;
  // The output size is reached by cropping the right and bottom edges, not
  // by resizing.
  bool crop = false;
  std::optional<double> source_offset;  // -itsoffset of the source (see InputTiming)
  std::vector<SubtitleStream> subtitles;
};

// What the output takes from the source, as input 1 after the frames (input
// 0): its audio (cut, offset, copied or converted) and subtitles, and the
// frames' video map. The join of a segmented job muxes the same.
std::vector<std::string> source_args(const EncoderSettings& settings);

// Input rgb24 frames are converted to BT.709 limited range and the output is
// tagged so. Audio is never allowed to end the output: every frame written
// is kept (-shortest would stop reading frames once the audio ends). `family` picks VideoToolbox
// (quality as -q:v) or the software encoders (quality as -crf; libx265 told to log errors only).
std::vector<std::string> encoder_args(const EncoderSettings& settings,
                                      platform::EncoderFamily family);

// One running ffmpeg that encodes rgb24 frames written to its stdin into
// `output`, with the audio of `source`. Dropping it without finish() kills
// and reaps the child.
class Encoder {
 public:
  static Result<Encoder> create(const EncoderSettings& settings);
  Status write_frame(std::span<const uint8_t> frame);
  // Ends the input and waits for ffmpeg; the only way to a complete file.
  Status finish() &&;
  // The child's stderr (drained all along), trimmed, once it has ended;
  // nothing when empty; bytes that are not UTF-8 shown as U+FFFD. Waits for
  // the child's stderr to close.
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
