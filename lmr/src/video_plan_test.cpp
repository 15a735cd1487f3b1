// The job's decisions taken from the probe: one rate, the container for a
// name, the streams report, and the plan as a table of decisions.
#include "video_plan.h"

#include <gtest/gtest.h>

#include "text.h"

namespace lmr::video {
namespace {

TEST(GoverningRate, Table) {
  struct Row {
    const char *r, *avg, *codec, *field, *rate;
  } rows[] = {
      {"25/1", "25/1", "h264", "progressive", "25/1"},
      // Field-coded H.264 counts fields: "25 fps, 50 tbr".
      {"50/1", "25/1", "h264", "progressive", "25/1"},
      {"60000/1001", "30000/1001", "mpeg2video", "tt", "30000/1001"},
      {"60/1", "30/1", "hevc", "progressive", "60/1"},
      // A timestamp artefact: r_frame_rate above 210, the average below 70.
      {"1000/1", "24000/1001", "h264", "", "24000/1001"},
      {"240/1", "100/1", "h264", "", "240/1"},
      // A phone's variable rate keeps its nominal rate.
      {"30/1", "2997/100", "h264", "progressive", "30/1"},
      {"90000/1", "0/0", "h264", "", "90000/1"},
      {"0/0", "25/1", "h264", "", "25/1"},
  };
  for (const Row& row : rows) {
    VideoInfo info;
    info.r_frame_rate = row.r, info.avg_frame_rate = row.avg;
    info.codec_name = row.codec, info.field_order = row.field;
    EXPECT_EQ(governing_rate(info), row.rate) << row.r << " " << row.avg;
  }
}

TEST(OutputMuxer, ExtensionsAndCodecs) {
  const std::string all = "; use an output name ending in .mp4, .m4v, .mov, .mkv, .ts";
  const std::string prores = "; use an output name ending in .mov, .mkv";
  struct Row {
    const char *name, *codec;
    std::string muxer;  // or the error
  } rows[] = {
      {"a.mp4", "h264", "mp4"},
      {"a.M4V", "hevc", "mp4"},
      {"dir.mkv/a.mov", "prores", "mov"},
      {"a.mkv.part", "hevc", "matroska"},
      {"x:2.ts", "h264", "mpegts"},
      {"a", "h264", "mp4"},
      {".hidden", "h264", "mp4"},
      {"a.webm", "h264", "cannot write H.264 video into a .webm file (a.webm)" + all},
      {"a.avi", "hevc", "cannot write HEVC video into a .avi file (a.avi)" + all},
      {"a.gif", "h264", "cannot write H.264 video into a .gif file (a.gif)" + all},
      {"a.mp4", "prores", "cannot write ProRes video into a .mp4 file (a.mp4)" + prores},
      {"a.ts", "prores", "cannot write ProRes video into a .ts file (a.ts)" + prores},
  };
  for (const Row& row : rows) {
    auto m = output_muxer(row.name, row.codec);
    EXPECT_EQ(m ? *m : m.error().message(), row.muxer) << row.name;
  }
}

TEST(StreamsReport, EachStreamOnceInIndexOrder) {
  const std::string ts =
      "index=1\ncodec_name=ac3\ncodec_type=audio\nstart_time=1.400000\n"
      "index=0\ncodec_name=h264\ncodec_type=video\nstart_time=N/A\n"
      "index=1\ncodec_name=ac3\ncodec_type=audio\nstart_time=1.400000\n"
      "nonsense\nindex=x\ncodec_type=data\n";
  std::string seen;
  for (const StreamInfo& s : parse_streams_report(ts))
    seen += text::format("%llu %s %s %g; ", static_cast<unsigned long long>(s.index),
                         s.type.c_str(), s.codec.c_str(), s.start_time.value_or(-1));
  EXPECT_EQ(seen, "0 video h264 -1; 1 audio ac3 1.4; ");
}

struct Source {
  uint64_t w = 96, h = 64;
  std::string field = "progressive";
  double video_start = 0, format_start = 0;
  std::vector<StreamInfo> streams = {{1, "audio", "aac", 0.0}};
};

// The decisions of a plan, one line: rate, offset, filters, sizes, audio,
// subtitles, muxer, audio cut, then the notes.
std::string decisions(const Source& src, const std::string& output, uint64_t scale = 2) {
  VideoInfo info;
  info.width = src.w, info.height = src.h, info.r_frame_rate = "25/1";
  info.avg_frame_rate = "25/1", info.codec_name = "h264", info.field_order = src.field;
  info.duration = 2.0, info.start_time = src.video_start;
  info.format_start_time = src.format_start;
  auto plan = plan_job(info, src.streams, {"in.ts", output, "h264", scale, UINT64_MAX, 80});
  if (!plan)
    return plan.error().message();
  const EncoderSettings& e = plan->encoder;
  std::string s = plan->timing.rate + " " +
                  (plan->timing.offset ? text::format("%.6f", *plan->timing.offset) : "-");
  for (const std::string& f : plan->filters)
    s += " " + f;
  s += text::format(" %llux%llu%s %s", static_cast<unsigned long long>(e.out_w),
                    static_cast<unsigned long long>(e.out_h), e.crop ? " crop" : "",
                    e.audio.c_str());
  for (const SubtitleStream& sub : e.subtitles)
    s += text::format(" s%llu:%s", static_cast<unsigned long long>(sub.index), sub.codec.c_str());
  s += " " + e.muxer + " " + e.output + text::format(" %.3f", e.traits.audio_seconds.value_or(-1));
  for (const std::string& note : plan->notes)
    s += " | " + note;
  return s;
}

TEST(PlanJob, Decisions) {
  const std::vector<StreamInfo> subs{{1, "audio", "aac", 0.0},
                                     {2, "subtitle", "subrip", 0.0},
                                     {3, "subtitle", "hdmv_pgs_subtitle", 0.0},
                                     {4, "subtitle", "mov_text", 0.0}};
  struct Row {
    Source src;
    std::string output;
    std::string plan;
    uint64_t scale = 2;
  } rows[] = {
      {{}, "o.mp4", "25/1 - 192x128 copy mp4 o.mp4 2.000"},
      // MPEG-TS, video 0.521 s after the audio: one timeline for both ends,
      // the audio cut where the frames (with the lead-in) end.
      {{.video_start = 1.921, .format_start = 1.4, .streams = {{1, "audio", "ac3", 1.4}}},
       "o.mkv",
       "25/1 0.000001 192x128 copy matroska o.mkv 2.521"},
      // Audio 0.479 s after the video.
      {{.video_start = 1.48, .format_start = 1.48, .streams = {{1, "audio", "mp2", 1.959}}},
       "o.ts",
       "25/1 0.000001 192x128 copy mpegts o.ts 2.000"},
      // A data stream starts first: the earliest of video and audio is 0.
      {{.video_start = 1.0, .format_start = 0.5, .streams = {{1, "audio", "aac", 1.0}}},
       "o.mp4",
       "25/1 -0.500000 192x128 copy mp4 o.mp4 2.000"},
      {{.field = "bb", .streams = {}},
       "o.mov",
       "25/1 - bwdif=mode=send_frame:parity=auto:deint=all 192x128 copy mov o.mov 2.000 | "
       "interlaced source (bottom field first): deinterlacing it (bwdif) at 25/1 frames/s; the "
       "output is progressive"},
      {{.streams = {{1, "audio", "pcm_s16le", 0.0}, {2, "audio", "aac", 0.0}}},
       "o.mp4",
       "25/1 - 192x128 aac mp4 o.mp4 2.000 | audio: pcm_s16le cannot go into MP4; converting it "
       "to AAC"},
      {{.streams = {{1, "audio", "pcm_s24le", 0.0}}},
       "o.mov",
       "25/1 - 192x128 copy mov o.mov 2.000"},
      {{.streams = {{1, "audio", "wmav2", 0.0}}},
       "o.mkv",
       "25/1 - 192x128 copy matroska o.mkv 2.000"},
      {{.streams = subs},
       "o.mp4",
       "25/1 - 192x128 copy s2:mov_text s4:mov_text mp4 o.mp4 2.000 | subtitles: 1 stream "
       "(hdmv_pgs_subtitle) cannot go into MP4; left out"},
      {{.streams = subs},
       "o.mkv",
       "25/1 - 192x128 copy s2:copy s3:copy s4:srt matroska o.mkv 2.000"},
      {{.streams = subs},
       "o.ts",
       "25/1 - 192x128 copy mpegts o.ts 2.000 | subtitles: 3 streams (subrip, hdmv_pgs_subtitle, "
       "mov_text) cannot go into MPEG-TS; left out"},
      {{.w = 33, .h = 21},
       "o.mp4",
       "25/1 - 98x62 crop copy mp4 o.mp4 2.000 | output 99x63 cropped to 98x62: the encoder takes "
       "even sizes only",
       3},
      {{.w = 853, .h = 480},
       "o.mp4",
       "25/1 - 2558x1440 crop copy mp4 o.mp4 2.000 | output 2559x1440 cropped to 2558x1440: the "
       "encoder takes even sizes only",
       3},
      {{.w = 1, .h = 9},
       "o.mp4",
       "output frame size 1x9 cannot be encoded: the encoders need at least 2x2 pixels",
       1},
      {{},
       "clip",
       "25/1 - 192x128 copy mp4 clip 2.000 | output clip has no extension: writing MP4"},
      {{},
       "o.webm",
       "cannot write H.264 video into a .webm file (o.webm); use an output name ending in .mp4, "
       ".m4v, .mov, .mkv, .ts"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(decisions(row.src, row.output, row.scale), row.plan) << row.output;
}

}  // namespace
}  // namespace lmr::video
