// Video I/O through ffmpeg: probing an input, decoding it to raw rgb24
// frames (the encoder is in video_encoder.h).
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

// The first video stream that is real video (not cover art), as a player
// shows it: width, height and pixel shape after the display rotation, which
// ffmpeg's decoder applies to the frames it delivers.
struct VideoInfo {
  uint64_t width = 0;
  uint64_t height = 0;
  std::string r_frame_rate;  // as ffprobe printed it, e.g. "30000/1001"
  uint64_t frames = 0;       // 0 when unknown
  double duration = 0.0;     // seconds: the stream's own when known
  // The duration is Matroska's DURATION tag: where the stream ends, counted
  // from 0 rather than from its start.
  bool duration_is_end = false;
  std::string codec_name;
  std::string profile;
  std::string pix_fmt;
  std::string format_name;
  double rotation = 0.0;  // degrees, as the display matrix says
  uint64_t sar_num = 1;   // sample aspect ratio of the displayed frames
  uint64_t sar_den = 1;
  // Colour tags as ffprobe names them; empty or "unknown" when untagged.
  std::string color_space;
  std::string color_primaries;
  std::string color_transfer;
  std::string color_range;
  std::string avg_frame_rate;               // as ffprobe printed it
  std::string field_order;                  // "progressive", "tt", "bb", "tb", "bt" or unknown
  std::optional<double> start_time;         // the stream's first timestamp, seconds
  std::optional<double> format_start_time;  // the container's (the earliest stream's)
};

// Local files and pipes only: a playlist must never make ffmpeg fetch a URL.
inline constexpr const char* kProtocolWhitelist = "file,pipe";
// The name ffmpeg opens as that file whatever it looks like (a colon, a
// leading "-"); names already given with "file:" are kept.
std::string file_arg(const std::string& path);

// The ffprobe arguments for `path`.
std::vector<std::string> probe_args(const std::string& path);
// Parses ffprobe's key=value report (already checked to be UTF-8) of
// `source`, named in the message when the report holds no video stream.
Result<VideoInfo> parse_probe_report(std::string_view report, std::string_view source = {});
Result<VideoInfo> probe(const std::string& path);

// Seconds of video that the first `max_frames` decoded frames span: the
// stream's duration, shortened to `max_frames` at its frame rate (the frame
// count serves when the duration is unknown), or nothing when unknown.
std::optional<double> video_seconds(const VideoInfo& info, uint64_t max_frames);

// Refuses sources whose colours would come out wrong once tagged BT.709:
// HDR (PQ, HLG) and BT.2020 wide gamut.
Status check_colours(const VideoInfo& info);
// Decoder filters that read the source's colours as players do: an
// untagged matrix is BT.709 when the coded picture is HD (width 1280 or
// more, or height above 576), BT.601 otherwise; tags are honoured as they
// are (ffmpeg's own conversion reads them).
std::vector<std::string> colour_filters(const VideoInfo& info);

struct TimeRange {
  double start = 0.0;
  double end = 0.0;
};

// The timeline of a job's input, shared by its decoder and encoder.
struct InputTiming {
  // Frames per second of the decoded frames (they come at this constant
  // rate); empty: the rate ffmpeg picks.
  std::string rate;
  // -itsoffset for the input: keeps the streams' start offsets where ffmpeg
  // would otherwise re-base an MPEG-TS input on the streams it reads.
  std::optional<double> offset;
};

// Decodes the stream the probe describes ("0:V:0", the first that is not
// cover art), auto-rotated as players show it.
std::vector<std::string> decoder_args(const std::string& input,
                                      const std::optional<TimeRange>& range,
                                      const std::vector<std::string>& filters,
                                      const InputTiming& timing = {});

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
                                const std::vector<std::string>& filters,
                                const InputTiming& timing = {});
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

}  // namespace lmr::video
