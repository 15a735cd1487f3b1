// Pure functions of the video module: the ffprobe report, the argument lists
// of the three ffmpeg roles and the decisions behind them, colour rules.
#include "video.h"
#include "video_encoder.h"
#include "video_plan.h"

#include <gtest/gtest.h>

#include <sstream>

#include "text.h"

#if defined(__SANITIZE_ADDRESS__)
// The decoder must see a failed allocation as the C library reports it (a
// null pointer), not as a sanitizer abort.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace lmr::video {
namespace {

using platform::EncoderFamily;

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  for (std::string w; in >> w;)
    out.push_back(w);
  return out;
}

// Size, pixel shape, rate, frames, duration, then the texts when any is set.
std::string summary(const Result<VideoInfo>& r) {
  if (!r)
    return r.error().message();
  const VideoInfo& i = *r;
  std::string s = text::format("%llux%llu %llu:%llu %s %llu %.9g", (unsigned long long)i.width,
                               (unsigned long long)i.height, (unsigned long long)i.sar_num,
                               (unsigned long long)i.sar_den, i.r_frame_rate.c_str(),
                               (unsigned long long)i.frames, i.duration);
  if (!(i.codec_name + i.profile + i.pix_fmt + i.format_name).empty())
    s += " " + i.codec_name + "|" + i.profile + "|" + i.pix_fmt + "|" + i.format_name;
  return s;
}

TEST(ProbeArgs, PinnedWithThePathAsAFile) {
  EXPECT_EQ(
      probe_args("/in/my clip.mov"),
      (std::vector<std::string>{
          "-v", "error", "-protocol_whitelist", "file,pipe", "-select_streams", "V:0",
          "-show_entries",
          "stream=width,height,r_frame_rate,avg_frame_rate,nb_frames,duration,start_time,"
          "codec_name,profile,pix_fmt,field_order,sample_aspect_ratio,color_range,color_space,"
          "color_transfer,color_primaries:stream_tags=DURATION:stream_side_data=rotation",
          "-show_entries", "format=duration,start_time,format_name", "-of",
          "default=noprint_wrappers=1", "file:/in/my clip.mov"}));
  EXPECT_EQ(
      streams_probe_args("-x:2.mkv"),
      (std::vector<std::string>{"-v", "error", "-protocol_whitelist", "file,pipe", "-show_entries",
                                "stream=index,codec_type,codec_name,start_time", "-of",
                                "default=noprint_wrappers=1", "file:-x:2.mkv"}));
  // Names ffmpeg would read as a protocol or an option; "file:" kept as given.
  for (auto [name, arg] : {std::pair{"clip:2.mp4", "file:clip:2.mp4"},
                           {"-report", "file:-report"},
                           {"file:a.mp4", "file:a.mp4"},
                           {"http://h/a.mp4", "file:http://h/a.mp4"}})
    EXPECT_EQ(file_arg(name), arg);
}

TEST(ParseProbeReport, Table) {
  const std::string wh = "width=96\nheight=64\n", r25 = wh + "r_frame_rate=25/1\n";
  auto rate = [&](const std::string& r, const std::string& duration) {
    return wh + "r_frame_rate=" + r + "\nduration=" + duration + "\n";
  };
  const std::string bad = "ffprobe unexpected output: ";
  struct Row {
    std::string report, expected;  // expected: summary(), or bad + the report
  } rows[] = {
      // The frame estimate: halves away from zero, fallbacks, saturation.
      {r25 + "duration=N/A\nduration=12.5\n", "96x64 1:1 25/1 313 12.5"},
      {rate("0/0", "10"), "96x64 1:1 0/0 0 10"},
      {rate("30", "10"), "96x64 1:1 30 0 10"},
      {rate("abc/1", "2"), "96x64 1:1 abc/1 60 2"},
      {rate("25/1", "-4"), "96x64 1:1 25/1 0 -4"},
      {rate("25/1", "1e300"), "96x64 1:1 25/1 18446744073709551615 1e+300"},
      {rate("30/1", "0.05"), "96x64 1:1 30/1 2 0.05"},
      {rate("+25/1", ".5E1"), "96x64 1:1 +25/1 125 5"},
      {r25, "96x64 1:1 25/1 0 0"},
      {r25 + "nb_frames=0\nduration=10\n", "96x64 1:1 25/1 0 10"},
      {r25 + "nb_frames=7\nnb_frames=N/A\nduration=10\n", "96x64 1:1 25/1 250 10"},
      // Durations in decimal notation only; the first that reads counts.
      {r25 + "duration=inf\nduration=nan\nduration=0x10\nduration= 5\nduration=1e\n"
             "duration=--1\nduration=\nduration=.\nduration=7\n",
       "96x64 1:1 25/1 175 7"},
      // CRLF, white space, unknown and upper-case keys, no "=", a value
      // holding "=", the last text wins, empty texts.
      {"  width=320 \r\nheight=240\r\nWIDTH=999\r\nnonsense\r\nr_frame_rate=24000/1001\r\n"
       "codec_name=a=b\r\nprofile=first\r\nprofile=\r\npix_fmt=yuv420p\r\nduration=1.001\r\n",
       "320x240 1:1 24000/1001 24 1.001 a=b||yuv420p|"},
      {"width=+640\nheight=480\nr_frame_rate=25/1\n", "640x480 1:1 25/1 0 0"},
      // What a player shows: a quarter turn swaps the size and pixel shape.
      {r25 + "rotation=90\n", "64x96 1:1 25/1 0 0"},
      {r25 + "rotation=-90\nsample_aspect_ratio=2:1\n", "64x96 1:2 25/1 0 0"},
      {r25 + "rotation=-180\nsample_aspect_ratio=4:3\n", "96x64 4:3 25/1 0 0"},
      {r25 + "rotation=270.4\n", "64x96 1:1 25/1 0 0"},
      {r25 + "sample_aspect_ratio=2:1\nsample_aspect_ratio=0:1\n", "96x64 1:1 25/1 0 0"},
      // The stream's own length (Matroska: its DURATION tag) before the
      // container's, which may hold longer audio.
      {r25 + "duration=N/A\nTAG:DURATION=00:00:01.000000000\nduration=10.0\n",
       "96x64 1:1 25/1 25 1"},
      {r25 + "TAG:DURATION=01:02:03.5\n", "96x64 1:1 25/1 93088 3723.5"},
      {r25 + "duration=2.0\nTAG:DURATION=00:00:09.0\nduration=10.0\n", "96x64 1:1 25/1 50 2"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.report);
    EXPECT_EQ(summary(parse_probe_report(row.report)), row.expected);
  }
  // An audio file: no stream keys at all.
  for (const char* report : {"", "duration=3.0\nformat_name=wav\n"})
    EXPECT_EQ(summary(parse_probe_report(report, "a b.m4a")), "no video stream in a b.m4a");
  // Start times: the stream's (MPEG-TS programs repeat it), the container's
  // last; the Matroska tag marks the duration as an end time.
  auto timing = [](const std::string& report) {
    auto i = parse_probe_report("width=2\nheight=2\nr_frame_rate=1/1\n" + report);
    return text::format("%g %g %d", i->start_time.value_or(-1), i->format_start_time.value_or(-1),
                        int(i->duration_is_end));
  };
  EXPECT_EQ(timing("start_time=1.921\nstart_time=1.921\nstart_time=1.400\n"), "1.921 1.4 0");
  EXPECT_EQ(timing("start_time=N/A\nTAG:DURATION=00:00:02.5\nstart_time=0\n"), "-1 0 1");
  EXPECT_EQ(timing("start_time=0.5\nduration=2\nTAG:DURATION=00:00:02.5\n"), "-1 -1 0");
  for (const std::string& report :
       std::vector<std::string>{"height=2\nr_frame_rate=1/1\n", "width=2\nr_frame_rate=1/1\n",
                                "width=2\nheight=2\n", "width= 640\nheight=4\nr_frame_rate=1/1\n",
                                "width=18446744073709551616\nheight=4\nr_frame_rate=1/1\n",
                                "width=640\nheight=480\nwidth=N/A\nr_frame_rate=25/1\n"}) {
    EXPECT_EQ(summary(parse_probe_report(report)), bad + report);
  }
}

TEST(SourceColours, UntaggedHdReadAsBt709WideGamutAndHdrRefused) {
  struct Row {
    uint64_t w, h;
    std::string space;
    double rotation;
    bool bt709;
  } rows[] = {{1280, 720, "", 0, true},           {1280, 544, "unknown", 0, true},
              {960, 720, "unknown", 0, true},     {720, 1280, "", 90, true},  // coded 1280x720
              {1024, 576, "", 0, false},          {576, 1024, "", -90, false},
              {1920, 1080, "smpte170m", 0, false}};
  for (const Row& row : rows) {
    VideoInfo info;
    info.width = row.w, info.height = row.h, info.rotation = row.rotation;
    info.color_space = row.space;
    EXPECT_EQ(colour_filters(info), row.bt709
                                        ? std::vector<std::string>{"scale=in_color_matrix=bt709"}
                                        : std::vector<std::string>{})
        << row.w << "x" << row.h << " " << row.space;
  }
  auto refused = [](std::string primaries, std::string trc, std::string space) {
    VideoInfo info;
    info.color_primaries = primaries, info.color_transfer = trc, info.color_space = space;
    Status st = check_colours(info);
    return st ? std::string("accepted") : st.error().message();
  };
  EXPECT_EQ(refused("bt709", "bt709", "bt709"), "accepted");
  EXPECT_EQ(refused("", "", ""), "accepted");
  EXPECT_EQ(refused("bt2020", "smpte2084", "bt2020nc"),
            "HDR video is not supported: its colours (primaries bt2020, transfer smpte2084, "
            "matrix bt2020nc) would come out wrong in the BT.709 output; convert it to SDR "
            "BT.709 first");
  EXPECT_EQ(refused("bt709", "arib-std-b67", "bt709").substr(0, 4), "HDR ");
  for (auto [p, s] : {std::pair{"bt2020", "bt709"}, {"bt709", "bt2020nc"}, {"bt709", "bt2020c"}})
    EXPECT_EQ(refused(p, "bt709", s).substr(0, 11), "wide-gamut ") << p << " " << s;
}

// The length the copied audio is cut at.
TEST(VideoSeconds, TheFramesThatWillBeWritten) {
  auto seconds = [](std::string rate, uint64_t frames, double duration, uint64_t max) {
    VideoInfo info;
    info.r_frame_rate = rate, info.frames = frames, info.duration = duration;
    return video_seconds(info, max);
  };
  EXPECT_EQ(seconds("25/1", 400, 99.0, 10), 0.4);
  EXPECT_EQ(seconds("30000/1001", 300, 0.0, UINT64_MAX), 10.01);
  EXPECT_EQ(seconds("30/1", 290, 10.0, UINT64_MAX), 10.0);  // variable rate: the duration
  EXPECT_EQ(seconds("0/0", 10, 0.0, 5), std::nullopt);
}

TEST(Decoder, PinnedArgumentsAndRefusedFrameSizes) {
  EXPECT_EQ(decoder_args("in put.mp4", std::nullopt, {}),
            (std::vector<std::string>{"-v", "error", "-protocol_whitelist", "file,pipe", "-i",
                                      "file:in put.mp4", "-map", "0:V:0", "-f", "rawvideo",
                                      "-pix_fmt", "rgb24", "-"}));
  EXPECT_EQ(
      decoder_args("a.mov", TimeRange{0.0005, 3.25}, {"scale=640:360", "fps=10"}, {"25/1", -0.5}),
      words("-v error -protocol_whitelist file,pipe -ss 0.001 -to 3.250 -itsoffset "
            "-0.500000 -i file:a.mov -map 0:V:0 -vf scale=640:360,fps=10 -r 25/1 -f "
            "rawvideo -pix_fmt rgb24 -"));
  // Refused before anything starts; 3 x 3074457345618258602 is 2^63 - 2.
  struct Row {
    uint64_t w, h;
    std::string why;
  } rows[] = {{0, 480, "width and height must be at least 1"},
              {1ull << 32, 1ull << 32, "a frame would be too large"},
              {3074457345618258603ull, 1, "a frame would be too large"},
              {3074457345618258602ull, 1, "cannot allocate 9223372036854775806 bytes for a frame"}};
  for (const Row& row : rows) {
    auto dec = Decoder::create("in.mp4", row.w, row.h, std::nullopt, {});
    EXPECT_EQ(dec ? "started" : dec.error().message(),
              text::format("cannot decode to a frame size of %llux%llu: ",
                           (unsigned long long)row.w, (unsigned long long)row.h) +
                  row.why);
  }
}

TEST(KeyIntervalAndContainer, Tables) {
  const struct {
    const char* rate;
    uint64_t gop;
  } gops[] = {{"25/1", 50},    {"24000/1001", 48}, {"30000/1001", 60}, {"60/1", 120},
              {"1000/1", 480}, {"1/2", 2},         {"0/0", 60},        {"30", 60},
              {"50", 100},     {"abc/1", 60},      {"25/abc", 50},     {"-25/1", 60},
              {"25/-1", 480},  {"1e999/1", 60},    {"12.25/1", 25}};
  for (auto [rate, gop] : gops)
    EXPECT_EQ(key_interval(rate), gop) << rate;
  const struct {
    const char *path, *muxer;
  } muxers[] = {{"out.mp4", "mp4"},        {"clip.MOV", "mov"},
                {"movie.mkv", "matroska"}, {"movie.mkv.part", "matroska"},
                {"movie.mkv.PART", "mp4"}, {"a.WebM", "webm"},
                {"movie.avi", "mp4"},      {"movie", "mp4"},
                {"dir.mov/movie", "mp4"},  {"mov", "mov"},
                {".part", "mp4"}};
  for (auto [path, muxer] : muxers)
    EXPECT_EQ(container_name(path), muxer) << path;
}

const std::string kSetParams =
    ",setparams=range=tv:color_primaries=bt709:color_trc=bt709:colorspace=bt709";
const std::string kConvert = "scale=out_color_matrix=bt709:out_range=tv" + kSetParams;

struct Job {
  std::string output = "out.mp4";
  std::optional<TimeRange> range = {};
  uint64_t w = 3840, h = 2160, out_w = 0, out_h = 0;  // 0: the frame size
  std::string rate = "30000/1001", codec = "h264", audio = "copy";
  RateControl rc = Quality{80};
  EncoderFamily family = EncoderFamily::kVideoToolbox;
  uint64_t sar = 1;  // pixel shape sar:1
  std::optional<double> audio_seconds = {};
  bool crop = false;
  std::optional<double> offset = {};
  std::vector<SubtitleStream> subtitles = {};

  std::vector<std::string> args() const {
    const SourceTraits traits{sar, 1, audio_seconds};
    EncoderSettings s;
    s.output = output, s.source = "source", s.range = range;
    s.frame_w = w, s.frame_h = h, s.out_w = out_w ? out_w : w, s.out_h = out_h ? out_h : h;
    s.rate = rate, s.codec = codec, s.audio = audio, s.rc = rc, s.traits = traits;
    s.crop = crop, s.source_offset = offset, s.subtitles = subtitles;
    return encoder_args(s, family);
  }
};

// The plain case the pipelines use, pinned whole once.
TEST(EncoderArgs, PinnedForThePlainCase) {
  EXPECT_EQ(Job{}.args(),
            words("-v error -y -f rawvideo -pix_fmt rgb24 -s 3840x2160 -r 30000/1001 "
                  "-protocol_whitelist file,pipe -i - -protocol_whitelist file,pipe -i "
                  "file:source -map 0:v -map 1:a? -c:a copy -vf " +
                  kConvert +
                  " -c:v h264_videotoolbox -q:v 80 -profile:v high -g 60 -pix_fmt yuv420p "
                  "-colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv "
                  "-f mp4 file:out.mp4"));
}

bool has_run(const std::vector<std::string>& args, const std::string& run) {
  const auto w = words(run);
  return std::search(args.begin(), args.end(), w.begin(), w.end()) != args.end();
}

// Each decision as the arguments it gives (in a run) and does not give.
TEST(EncoderArgs, Decisions) {
  const auto sw = EncoderFamily::kSoftware;
  const std::string scale = "-vf scale=90:50:flags=lanczos:" + kConvert.substr(6) + " -c:v";
  struct Row {
    Job job;
    std::string has, lacks = {};
  } rows[] = {
      {{.w = 2304, .h = 4096}, "-c:v h264_videotoolbox"},
      {{.w = 4097, .h = 2304}, "-c:v hevc_videotoolbox"},
      {{.w = 4096, .h = 2305}, "-c:v hevc_videotoolbox"},
      {{.w = 2400, .h = 2400}, "-c:v hevc_videotoolbox"},
      {{.codec = "H264"}, "-c:v hevc_videotoolbox -q:v 80 -g 60 -tag:v hvc1", "-profile:v"},
      {{.codec = "h265", .family = sw}, "-c:v libx265 -crf 18 -x265-params log-level=error -g"},
      {{.codec = "prores", .family = sw}, "-c:v prores_ks -profile:v 3 -colorspace", "-crf -g"},
      // The software encoders' quality: 100 is crf 10, each step 0.4 worse.
      {{.family = sw}, "-c:v libx264 -crf 18 -profile:v high", "-q:v"},
      {{.rc = Quality{96}, .family = sw}, "-crf 12"},
      {{.rc = Quality{1}, .family = sw}, "-crf 50"},
      {{.rc = Quality{500}, .family = sw}, "-crf 0"},
      {{.rc = Bitrate{8000000}}, "-b:v 8000000 -maxrate 8000000 -bufsize 16000000", "-q:v"},
      {{.rc = Bitrate{UINT64_MAX / 2 + 1}}, "-bufsize 18446744073709551615"},
      {{.range = TimeRange{10, 20}, .audio_seconds = 2.5},
       "-i - -ss 10.000 -to 20.000 -protocol_whitelist",
       "-t"},
      {{.w = 100, .h = 50, .out_w = 90}, scale},
      {{.w = 90, .h = 25, .out_h = 50}, scale},
      {{.audio = "none", .audio_seconds = 2.5}, "-i file:source -map 0:v -an -vf", "-c:a -t"},
      {{.audio_seconds = 2.56}, "-i - -t 2.560000 -protocol_whitelist", "-shortest"},
      {{.audio = "aac", .audio_seconds = 2.5}, "-t 2.500000", "copy"},
      {{.audio = "aac"}, "-map 0:v -map 1:a? -c:a aac -vf"},
      // Odd sizes lose their last column or row instead of being resized.
      {{.w = 99, .h = 63, .out_w = 98, .out_h = 62, .crop = true},
       "-vf crop=98:62:0:0," + kConvert + " -c:v",
       "lanczos"},
      {{.offset = -0.5}, "-i - -itsoffset -0.500000 -protocol_whitelist file,pipe -i file:source"},
      {{.subtitles = {{2, "mov_text"}, {5, "copy"}}},
       "-c:a copy -map 1:2 -c:s:0 mov_text -map 1:5 -c:s:1 copy -vf"},
      {{.sar = 2}, "-vf " + kConvert + ",setsar=2/1 -c:v"},
  };
  for (const Row& row : rows) {
    const auto args = row.job.args();
    std::string all;
    for (const auto& a : args)
      all += a + " ";
    EXPECT_TRUE(has_run(args, row.has)) << row.has << " not in " << all;
    for (const std::string& no : words(row.lacks))
      EXPECT_FALSE(has_run(args, no)) << no << " in " << all;
  }
}

}  // namespace
}  // namespace lmr::video
