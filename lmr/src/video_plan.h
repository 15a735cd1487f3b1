// The decisions of one upscale job that the probe already settles, taken
// before any model loads: the frame rate that governs decoder and encoder,
// deinterlacing, the container for the output's name, what happens to the
// audio and subtitles, the output size the encoder can take, and the start
// offsets. A job the encoder could not write is refused here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "video.h"
#include "video_encoder.h"

namespace lmr::video {

// One stream of the input as ffprobe lists it.
struct StreamInfo {
  uint64_t index = 0;
  std::string type;  // "video", "audio", "subtitle", "data", ...
  std::string codec;
  std::optional<double> start_time;
};

std::vector<std::string> streams_probe_args(const std::string& path);
// Parses the report of streams_probe_args (streams listed twice, as MPEG-TS
// programs list them, are kept once).
std::vector<StreamInfo> parse_streams_report(std::string_view report);
Result<std::vector<StreamInfo>> probe_streams(const std::string& path);

// What the user asked for that the plan depends on.
struct JobRequest {
  std::string input;
  std::string output;  // the name the user gave: its extension picks the container
  std::string codec;
  uint64_t scale = 2;
  uint64_t max_frames = UINT64_MAX;
  uint32_t quality = 80;
};

struct JobPlan {
  InputTiming timing;                // the decoder's rate and start offset
  std::vector<std::string> filters;  // the decoder's filters
  EncoderSettings encoder;           // written to the user's output name
  std::vector<std::string> notes;    // one line each, for the user
};

// The rate both ends use: the stream's r_frame_rate, or its average rate
// where r_frame_rate counts fields (field-coded H.264 and interlaced
// sources at twice the average) or is a timestamp artefact (above 210 with
// the average below 70).
std::string governing_rate(const VideoInfo& info);

// The muxer for an output name ("mp4", "mov", "matroska", "mpegts"), or the
// error naming the extensions that work for `video_codec` ("h264", "hevc",
// "prores"). No extension: MP4.
Result<std::string> output_muxer(std::string_view output, std::string_view video_codec);

Result<JobPlan> plan_job(const VideoInfo& info,
                         const std::vector<StreamInfo>& streams,
                         const JobRequest& request);

}  // namespace lmr::video
