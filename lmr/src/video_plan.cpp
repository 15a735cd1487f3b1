#include "video_plan.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "text.h"
#include "video_internal.h"

namespace lmr::video {

namespace {

// A rate text ("30000/1001", "25") as a positive finite number.
std::optional<double> rate_value(std::string_view rate) {
  const size_t slash = rate.find('/');
  auto num = parse_decimal(rate.substr(0, slash));
  auto den = slash == std::string_view::npos ? std::optional<double>(1.0)
                                             : parse_decimal(rate.substr(slash + 1));
  if (!num || !den || !(*num > 0.0) || !(*den > 0.0) || !std::isfinite(*num / *den))
    return std::nullopt;
  return *num / *den;
}

// The extension of the last path component, lower case, without the
// ".part" that the desktop application's downloads-in-progress carry.
std::string extension(std::string_view output) {
  if (output.ends_with(".part"))
    output.remove_suffix(5);
  const size_t slash = output.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? output : output.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? std::string()
                                                   : text::ascii_lower(name.substr(dot + 1));
}

struct Container {
  const char* ext;
  const char* muxer;
  const char* label;
  bool prores;  // can hold ProRes (every container here holds H.264 and HEVC)
};
constexpr Container kContainers[] = {
    {"mp4", "mp4", "MP4", false},       {"m4v", "mp4", "MP4", false},
    {"mov", "mov", "QuickTime", true},  {"mkv", "matroska", "Matroska", true},
    {"ts", "mpegts", "MPEG-TS", false},
};

const Container* container_for(std::string_view muxer) {
  for (const Container& c : kContainers) {
    if (muxer == c.muxer)
      return &c;
  }
  return nullptr;
}

const char* codec_label(std::string_view codec) {
  return codec == "h264" ? "H.264" : codec == "prores" ? "ProRes" : "HEVC";
}

// Audio each muxer takes by stream copy and players play; Matroska takes
// every codec ffmpeg decodes.
bool holds_audio(std::string_view muxer, std::string_view codec) {
  static const std::set<std::string_view> mp4{"aac", "mp3", "mp2", "ac3", "eac3", "alac"};
  static const std::set<std::string_view> ts{"aac", "mp3", "mp2", "ac3", "eac3", "dts"};
  if (muxer == "matroska")
    return true;
  if (muxer == "mov")
    return mp4.contains(codec) || codec.starts_with("pcm_");
  return (muxer == "mpegts" ? ts : mp4).contains(codec);
}

bool text_subtitle(std::string_view codec) {
  static const std::set<std::string_view> text{"subrip", "ass",      "ssa",
                                               "webvtt", "mov_text", "text"};
  return text.contains(codec);
}

// How a subtitle stream goes into a muxer: "copy", the muxer's own text
// format, or nothing when it cannot go in.
std::optional<std::string> subtitle_codec(std::string_view muxer, std::string_view codec) {
  static const std::set<std::string_view> bitmap{"dvd_subtitle", "hdmv_pgs_subtitle",
                                                 "dvb_subtitle"};
  if (muxer == "mp4" || muxer == "mov")
    return text_subtitle(codec) ? std::optional<std::string>("mov_text") : std::nullopt;
  if (muxer == "matroska") {
    if (codec == "mov_text" || codec == "text")
      return "srt";
    if (text_subtitle(codec) || bitmap.contains(codec))
      return "copy";
    return std::nullopt;
  }
  if (muxer == "mpegts" && codec == "dvb_subtitle")
    return "copy";
  return std::nullopt;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items)
    out += (out.empty() ? "" : ", ") + s;
  return out;
}

bool interlaced(std::string_view field_order) {
  return field_order == "tt" || field_order == "bb" || field_order == "tb" || field_order == "bt";
}

// The start offsets of video and audio as the source has them: ffmpeg
// re-bases an input on its earliest stream, but an MPEG-TS input on the
// earliest of the streams it reads, which loses the offset when only the
// video (decoder) or only the audio (encoder) is read. An explicit offset
// from the container's start to the earliest of video and audio (never
// exactly 0, which would let ffmpeg re-base) puts both on one timeline.
std::optional<double> start_offset(const VideoInfo& info, const std::vector<StreamInfo>& streams) {
  if (!info.start_time || !info.format_start_time)
    return std::nullopt;
  const double video = *info.start_time;
  double origin = video;
  bool apart = false;
  for (const StreamInfo& s : streams) {
    if (s.type == "audio" && s.start_time) {
      origin = std::min(origin, *s.start_time);
      apart = apart || std::fabs(*s.start_time - video) > 1e-6;
    }
  }
  const double offset = *info.format_start_time - origin;
  if (std::fabs(offset) > 1e-6)
    return offset;
  return apart ? std::optional<double>(1e-6) : std::nullopt;
}

}  // namespace

std::vector<std::string> streams_probe_args(const std::string& path) {
  return {"-v",
          "error",
          "-protocol_whitelist",
          kProtocolWhitelist,
          "-show_entries",
          "stream=index,codec_type,codec_name,start_time",
          "-of",
          "default=noprint_wrappers=1",
          file_arg(path)};
}

std::vector<StreamInfo> parse_streams_report(std::string_view report) {
  std::map<uint64_t, StreamInfo> by_index;
  std::optional<StreamInfo> current;
  auto flush = [&] {
    if (current)
      by_index.emplace(current->index, *current);
    current.reset();
  };
  for (std::string_view rest = report; !rest.empty();) {
    const size_t nl = rest.find('\n');
    std::string_view line = text::trim(rest.substr(0, nl));
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      continue;
    const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "index") {
      flush();
      if (auto index = text::parse_unsigned(value))
        current = StreamInfo{*index, "", "", std::nullopt};
    } else if (!current) {
      continue;
    } else if (key == "codec_type") {
      current->type = value;
    } else if (key == "codec_name") {
      current->codec = value;
    } else if (key == "start_time") {
      current->start_time = parse_decimal(value);
    }
  }
  flush();
  std::vector<StreamInfo> out;
  for (auto& [index, stream] : by_index)
    out.push_back(std::move(stream));
  return out;
}

Result<std::vector<StreamInfo>> probe_streams(const std::string& path) {
  auto report = ffprobe_report(streams_probe_args(path));
  if (!report)
    return std::unexpected(report.error());
  return parse_streams_report(*report);
}

std::string governing_rate(const VideoInfo& info) {
  const auto r = rate_value(info.r_frame_rate), avg = rate_value(info.avg_frame_rate);
  if (!avg)
    return info.r_frame_rate;
  if (!r)
    return info.avg_frame_rate;
  const bool artefact = *r > 210.0 && *avg < 70.0;
  const bool fields = std::fabs(*r / *avg - 2.0) < 0.02 &&
                      (info.codec_name == "h264" || interlaced(info.field_order));
  return artefact || fields ? info.avg_frame_rate : info.r_frame_rate;
}

Result<std::string> output_muxer(std::string_view output, std::string_view video_codec) {
  const std::string ext = extension(output);
  if (ext.empty())
    return std::string("mp4");
  std::vector<std::string> fitting;
  const Container* found = nullptr;
  for (const Container& c : kContainers) {
    const bool fits = video_codec != "prores" || c.prores;
    if (fits)
      fitting.push_back("." + std::string(c.ext));
    if (ext == c.ext && fits)
      found = &c;
  }
  if (found)
    return std::string(found->muxer);
  return fail(text::format(
      "cannot write %s video into a .%s file (%s); use an output name ending "
      "in %s",
      codec_label(video_codec), ext.c_str(), std::string(output).c_str(), joined(fitting).c_str()));
}

Result<JobPlan> plan_job(const VideoInfo& info,
                         const std::vector<StreamInfo>& streams,
                         const JobRequest& request) {
  JobPlan plan;
  const std::string rate = governing_rate(info);
  plan.timing.rate = rate;
  plan.timing.offset = start_offset(info, streams);

  if (interlaced(info.field_order)) {
    // One frame per frame (not per field), so the rate stays the source's.
    plan.filters.push_back("bwdif=mode=send_frame:parity=auto:deint=all");
    const bool top = info.field_order == "tt" || info.field_order == "tb";
    plan.notes.push_back(
        text::format("interlaced source (%s field first): deinterlacing it (bwdif) "
                     "at %s frames/s; the output is progressive",
                     top ? "top" : "bottom", rate.c_str()));
  }
  for (std::string& f : colour_filters(info))
    plan.filters.push_back(std::move(f));

  // The encoders take even sizes only (4:2:0 and 4:2:2 chroma): an odd side
  // loses its last output pixel, a third of a source pixel at 3x.
  const uint64_t ow = info.width * request.scale, oh = info.height * request.scale;
  const uint64_t ew = ow & ~uint64_t{1}, eh = oh & ~uint64_t{1};
  if (ew == 0 || eh == 0) {
    return fail(
        text::format("output frame size %llux%llu cannot be encoded: the encoders need "
                     "at least 2x2 pixels",
                     static_cast<unsigned long long>(ow), static_cast<unsigned long long>(oh)));
  }
  const std::string codec = video_codec(request.codec, ew, eh);
  auto muxer = output_muxer(request.output, codec);
  if (!muxer)
    return std::unexpected(muxer.error());
  const Container* container = container_for(*muxer);
  const std::string label = container->label;
  if (extension(request.output).empty())
    plan.notes.push_back("output " + request.output + " has no extension: writing MP4");
  if (ew != ow || eh != oh) {
    plan.notes.push_back(
        text::format("output %llux%llu cropped to %llux%llu: the encoder takes "
                     "even sizes only",
                     static_cast<unsigned long long>(ow), static_cast<unsigned long long>(oh),
                     static_cast<unsigned long long>(ew), static_cast<unsigned long long>(eh)));
  }

  std::vector<std::string> unfit_audio;
  std::vector<std::string> left_out;
  EncoderSettings& e = plan.encoder;
  for (const StreamInfo& s : streams) {
    if (s.type == "audio" && !holds_audio(*muxer, s.codec))
      unfit_audio.push_back(s.codec);
    if (s.type != "subtitle")
      continue;
    if (auto how = subtitle_codec(*muxer, s.codec))
      e.subtitles.push_back({s.index, *how});
    else
      left_out.push_back(s.codec);
  }
  e.audio = "copy";
  if (!unfit_audio.empty()) {
    e.audio = "aac";
    plan.notes.push_back("audio: " + joined(unfit_audio) + " cannot go into " + label +
                         "; converting it to AAC");
  }
  if (!left_out.empty()) {
    plan.notes.push_back(text::format("subtitles: %zu stream%s (%s) cannot go into %s; left out",
                                      left_out.size(), left_out.size() == 1 ? "" : "s",
                                      joined(left_out).c_str(), label.c_str()));
  }

  // Audio is cut where the written frames end: the frames the decoder adds
  // before a late video start count too.
  VideoInfo timed = info;
  timed.r_frame_rate = rate;
  if (plan.timing.offset && info.start_time && info.format_start_time && timed.duration > 0.0) {
    const double lead = *info.start_time - *info.format_start_time + *plan.timing.offset;
    const double length = info.duration_is_end ? info.duration - *info.start_time : info.duration;
    timed.duration = std::max(lead, 0.0) + length;
  }
  e.output = request.output;
  e.muxer = *muxer;
  e.source = request.input;
  e.frame_w = ow;
  e.frame_h = oh;
  e.out_w = ew;
  e.out_h = eh;
  e.crop = ew != ow || eh != oh;
  e.rate = rate;
  e.codec = request.codec;
  e.rc = Quality{request.quality};
  e.traits = {info.sar_num, info.sar_den, video_seconds(timed, request.max_frames)};
  e.source_offset = plan.timing.offset;
  return plan;
}

}  // namespace lmr::video
