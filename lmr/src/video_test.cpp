// Pure functions of the video module: ffprobe report parsing, the argument
// lists of the three ffmpeg roles, key interval and container rules.
#include "video.h"

#include <gtest/gtest.h>

#include <sstream>

namespace lmr::video {
namespace {

using platform::EncoderFamily;

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> out;
  std::string w;
  while (in >> w)
    out.push_back(w);
  return out;
}

// --- probe -----------------------------------------------------------------

// Changed from the plain list: "V:0" (not cover art), and the pixel shape,
// colour tags, Matroska's DURATION tag and the display rotation.
TEST(ProbeArgs, ElevenArgumentsEndingWithThePathUnchanged) {
  auto args = probe_args("/in/my clip.mov");
  std::vector<std::string> expected{
      "-v",
      "error",
      "-select_streams",
      "V:0",
      "-show_entries",
      "stream=width,height,r_frame_rate,nb_frames,duration,codec_name,profile,pix_fmt,"
      "sample_aspect_ratio,color_range,color_space,color_transfer,color_primaries"
      ":stream_tags=DURATION:stream_side_data=rotation",
      "-show_entries",
      "format=duration,format_name",
      "-of",
      "default=noprint_wrappers=1",
      "/in/my clip.mov"};
  EXPECT_EQ(args, expected);
}

TEST(ParseProbeReport, FullReportWithEstimatedFrameCount) {
  auto info = parse_probe_report(
      "width=1920\nheight=1080\nr_frame_rate=30000/1001\nnb_frames=N/A\n"
      "duration=10.010000\ncodec_name=h264\nprofile=High\npix_fmt=yuv420p\n"
      "duration=10.020000\nformat_name=mov,mp4,m4a,3gp,3g2,mj2\n");
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->width, 1920u);
  EXPECT_EQ(info->height, 1080u);
  EXPECT_EQ(info->r_frame_rate, "30000/1001");
  EXPECT_EQ(info->frames, 300u);
  EXPECT_DOUBLE_EQ(info->duration, 10.01);
  EXPECT_EQ(info->codec_name, "h264");
  EXPECT_EQ(info->profile, "High");
  EXPECT_EQ(info->pix_fmt, "yuv420p");
  EXPECT_EQ(info->format_name, "mov,mp4,m4a,3gp,3g2,mj2");
}

TEST(ParseProbeReport, ContainerDurationServesAndHalvesRoundAwayFromZero) {
  auto info =
      parse_probe_report("width=64\nheight=48\nr_frame_rate=25/1\nduration=N/A\nduration=12.5\n");
  ASSERT_TRUE(info);
  EXPECT_DOUBLE_EQ(info->duration, 12.5);
  EXPECT_EQ(info->frames, 313u);
  EXPECT_EQ(info->codec_name, "");
  EXPECT_EQ(info->format_name, "");
}

TEST(ParseProbeReport, FrameEstimateEdgeCases) {
  auto frames = [](const std::string& rate, const std::string& duration) {
    auto info = parse_probe_report("width=2\nheight=2\nr_frame_rate=" + rate +
                                   "\nduration=" + duration + "\n");
    EXPECT_TRUE(info) << rate;
    return info ? info->frames : 12345u;
  };
  EXPECT_EQ(frames("0/0", "10"), 0u);     // not a number
  EXPECT_EQ(frames("30", "10"), 0u);      // no "/"
  EXPECT_EQ(frames("abc/1", "2"), 60u);   // numerator falls back to 30
  EXPECT_EQ(frames("25/abc", "2"), 50u);  // denominator falls back to 1
  EXPECT_EQ(frames("25/1", "-4"), 0u);    // negative saturates at 0
  EXPECT_EQ(frames("25/1", "1e300"), UINT64_MAX);
  EXPECT_EQ(frames("1/0", "1"), UINT64_MAX);  // infinity
  EXPECT_EQ(frames("30/1", "0.05"), 2u);      // 1.5 rounds up
  EXPECT_EQ(frames("30/1", "0.0499"), 1u);
  EXPECT_EQ(frames("+25/1", "+2"), 50u);
  EXPECT_EQ(frames("25/1", ".5E1"), 125u);

  auto none = parse_probe_report("width=2\nheight=2\nr_frame_rate=25/1\n");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->frames, 0u);
  EXPECT_EQ(none->duration, 0.0);
}

TEST(ParseProbeReport, DurationAcceptsOnlyDecimalNotation) {
  for (const char* bad : {"inf", "nan", "0x10", " 5", "1e", "--1", "", "."}) {
    auto info = parse_probe_report(std::string("width=2\nheight=2\nr_frame_rate=1/1\nduration=") +
                                   bad + "\nduration=7\n");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->duration, 7.0) << "'" << bad << "'";
  }
}

TEST(ParseProbeReport, NbFramesZeroIsARealCount) {
  auto info =
      parse_probe_report("width=2\nheight=2\nr_frame_rate=25/1\nnb_frames=0\nduration=10\n");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->frames, 0u);
  auto later = parse_probe_report(
      "width=2\nheight=2\nr_frame_rate=25/1\nnb_frames=7\nnb_frames=N/A\nduration=10\n");
  ASSERT_TRUE(later);
  EXPECT_EQ(later->frames, 250u);  // the unreadable second value unset the first
}

TEST(ParseProbeReport, IntegerSyntax) {
  auto plus = parse_probe_report("width=+640\nheight=480\nr_frame_rate=25/1\n");
  ASSERT_TRUE(plus);
  EXPECT_EQ(plus->width, 640u);

  for (const char* bad : {"width= 640", "width=-640", "width=64x",
                          "width=", "width=18446744073709551616", "width=N/A"}) {
    std::string report = std::string(bad) + "\nheight=480\nr_frame_rate=25/1\n";
    auto info = parse_probe_report(report);
    ASSERT_FALSE(info) << bad;
    EXPECT_EQ(info.error().message(), "ffprobe unexpected output: " + report);
  }
  // A later unreadable value unsets an earlier good one.
  std::string report = "width=640\nheight=480\nwidth=N/A\nr_frame_rate=25/1\n";
  auto unset = parse_probe_report(report);
  ASSERT_FALSE(unset);
  EXPECT_EQ(unset.error().message(), "ffprobe unexpected output: " + report);
  auto max = parse_probe_report("width=18446744073709551615\nheight=1\nr_frame_rate=1/1\n");
  ASSERT_TRUE(max);
  EXPECT_EQ(max->width, UINT64_MAX);
}

TEST(ParseProbeReport, LineHandling) {
  // CRLF, surrounding white space, unknown and upper-case keys, no "=", a
  // value holding "=", the last of repeated text keys wins, empty texts.
  auto info = parse_probe_report(
      "  width=320 \r\nheight=240\r\nWIDTH=999\r\nnonsense\r\nr_frame_rate=24000/1001\r\n"
      "codec_name=a=b\r\nprofile=first\r\nprofile=\r\npix_fmt=yuv420p\r\n"
      "duration=1.001\r\n");
  ASSERT_TRUE(info) << info.error().message();
  EXPECT_EQ(info->width, 320u);
  EXPECT_EQ(info->height, 240u);
  EXPECT_EQ(info->r_frame_rate, "24000/1001");
  EXPECT_EQ(info->codec_name, "a=b");
  EXPECT_EQ(info->profile, "");
  EXPECT_EQ(info->pix_fmt, "yuv420p");
  EXPECT_EQ(info->frames, 24u);
}

// What a player shows: rotation turns the size and the pixel shape; the
// stream's own length wins over a container that holds longer audio.
TEST(ParseProbeReport, DisplayedShapeAndTheStreamsOwnDuration) {
  struct Row {
    std::string extra;
    uint64_t w, h, sar_num, sar_den;
    double duration;
    uint64_t frames;
  };
  const std::string head = "width=96\nheight=64\nr_frame_rate=25/1\nduration=N/A\n";
  for (const Row& row : std::vector<Row>{
           {"sample_aspect_ratio=1:1\nduration=10.0\n", 96, 64, 1, 1, 10.0, 250},
           {"rotation=90\n", 64, 96, 1, 1, 0.0, 0},
           {"rotation=-90\nsample_aspect_ratio=2:1\n", 64, 96, 1, 2, 0.0, 0},
           {"rotation=-180\nsample_aspect_ratio=4:3\n", 96, 64, 4, 3, 0.0, 0},
           {"rotation=270.4\n", 64, 96, 1, 1, 0.0, 0},
           {"sample_aspect_ratio=0:1\n", 96, 64, 1, 1, 0.0, 0},
           {"sample_aspect_ratio=N/A\n", 96, 64, 1, 1, 0.0, 0},
           {"TAG:DURATION=00:00:01.000000000\nduration=10.0\n", 96, 64, 1, 1, 1.0, 25},
           {"TAG:DURATION=01:02:03.5\n", 96, 64, 1, 1, 3723.5, 93088},
           {"TAG:DURATION=1.5\nduration=10.0\n", 96, 64, 1, 1, 10.0, 250},
       }) {
    auto info = parse_probe_report(head + row.extra);
    ASSERT_TRUE(info) << row.extra;
    EXPECT_EQ(std::vector<uint64_t>({info->width, info->height, info->sar_num, info->sar_den}),
              std::vector<uint64_t>({row.w, row.h, row.sar_num, row.sar_den}))
        << row.extra;
    EXPECT_DOUBLE_EQ(info->duration, row.duration) << row.extra;
    EXPECT_EQ(info->frames, row.frames) << row.extra;
  }
  // A stream that knows its own duration keeps it.
  auto own = parse_probe_report(
      "width=2\nheight=2\nr_frame_rate=25/1\nduration=2.0\nTAG:DURATION=00:00:09.0\n"
      "duration=10.0\n");
  ASSERT_TRUE(own);
  EXPECT_DOUBLE_EQ(own->duration, 2.0);
}

TEST(SourceColours, UntaggedHdReadAsBt709AndHdrRefused) {
  auto filters = [](uint64_t w, uint64_t h, const std::string& space, double rotation = 0) {
    VideoInfo info;
    info.width = w;
    info.height = h;
    info.color_space = space;
    info.rotation = rotation;
    return colour_filters(info);
  };
  const std::vector<std::string> bt709{"scale=in_color_matrix=bt709"};
  EXPECT_EQ(filters(1280, 720, ""), bt709);
  EXPECT_EQ(filters(1280, 544, "unknown"), bt709);
  EXPECT_EQ(filters(960, 720, "unknown"), bt709);
  EXPECT_EQ(filters(720, 1280, "", 90), bt709);  // coded 1280x720
  EXPECT_EQ(filters(1024, 576, ""), std::vector<std::string>{});
  EXPECT_EQ(filters(720, 576, ""), std::vector<std::string>{});
  EXPECT_EQ(filters(576, 1024, "", -90), std::vector<std::string>{});       // coded 1024x576
  EXPECT_EQ(filters(1920, 1080, "smpte170m"), std::vector<std::string>{});  // its tag holds
  EXPECT_EQ(filters(640, 480, "bt709"), std::vector<std::string>{});

  auto refused = [](const std::string& primaries, const std::string& trc,
                    const std::string& space) {
    VideoInfo info;
    info.color_primaries = primaries;
    info.color_transfer = trc;
    info.color_space = space;
    auto st = check_colours(info);
    return st ? std::string() : st.error().message();
  };
  EXPECT_EQ(refused("bt709", "bt709", "bt709"), "");
  EXPECT_EQ(refused("", "", ""), "");
  EXPECT_EQ(refused("bt2020", "smpte2084", "bt2020nc"),
            "HDR video is not supported: its colours (primaries bt2020, transfer smpte2084, "
            "matrix bt2020nc) would come out wrong in the BT.709 output; convert it to SDR "
            "BT.709 first");
  EXPECT_EQ(refused("bt709", "arib-std-b67", "bt709").substr(0, 4), "HDR ");
  EXPECT_EQ(refused("bt2020", "bt2020-10", "bt2020nc").substr(0, 11), "wide-gamut ");
}

TEST(VideoSeconds, TheFramesThatWillBeWritten) {
  auto secs = [](const std::string& rate, uint64_t frames, double duration, uint64_t max) {
    VideoInfo info;
    info.r_frame_rate = rate;
    info.frames = frames;
    info.duration = duration;
    return video_seconds(info, max);
  };
  EXPECT_EQ(secs("25/1", 400, 16.0, UINT64_MAX), 16.0);
  EXPECT_EQ(secs("25/1", 400, 99.0, 10), 0.4);
  EXPECT_EQ(secs("30000/1001", 300, 0.0, UINT64_MAX), 10.01);
  EXPECT_EQ(secs("30/1", 290, 10.0, UINT64_MAX), 10.0);  // variable rate: the duration
  EXPECT_EQ(secs("25/1", 0, 2.0, UINT64_MAX), 2.0);
  EXPECT_EQ(secs("25/1", 0, 2.0, 5), 0.2);
  EXPECT_EQ(secs("0/0", 0, 3.0, 5), 3.0);
  EXPECT_EQ(secs("0/0", 10, 0.0, 5), std::nullopt);
}

TEST(ParseProbeReport, MissingFieldsFailWithTheWholeReport) {
  for (const std::string& report :
       {std::string(""), std::string("height=2\nr_frame_rate=1/1\n"),
        std::string("width=2\nr_frame_rate=1/1\n"), std::string("width=2\nheight=2\n"),
        std::string("duration=3.0\nformat_name=wav\n")}) {
    auto info = parse_probe_report(report);
    ASSERT_FALSE(info);
    EXPECT_EQ(info.error().message(), "ffprobe unexpected output: " + report);
  }
}

// --- decoder arguments -----------------------------------------------------

// Changed from the plain list: "-map 0:V:0", the stream the probe describes.
TEST(DecoderArgs, PlainRangeAndFilters) {
  EXPECT_EQ(decoder_args("in put.mp4", std::nullopt, {}),
            (std::vector<std::string>{"-v", "error", "-i", "in put.mp4", "-map", "0:V:0", "-f",
                                      "rawvideo", "-pix_fmt", "rgb24", "-"}));
  EXPECT_EQ(decoder_args("a.mov", TimeRange{1.5, 3.25}, {"scale=640:360", "fps=10"}),
            words("-v error -ss 1.500 -to 3.250 -i a.mov -map 0:V:0 -vf scale=640:360,fps=10 -f "
                  "rawvideo -pix_fmt rgb24 -"));
  EXPECT_EQ(decoder_args("a.mov", TimeRange{0.0005, 10}, {"x"}),
            words("-v error -ss 0.001 -to 10.000 -i a.mov -map 0:V:0 -vf x -f rawvideo -pix_fmt "
                  "rgb24 -"));
}

// --- encoder rules ---------------------------------------------------------

TEST(KeyInterval, AboutTwoSecondsClamped) {
  EXPECT_EQ(key_interval("25/1"), 50u);
  EXPECT_EQ(key_interval("24000/1001"), 48u);
  EXPECT_EQ(key_interval("30000/1001"), 60u);
  EXPECT_EQ(key_interval("60/1"), 120u);
  EXPECT_EQ(key_interval("1000/1"), 480u);
  EXPECT_EQ(key_interval("1/2"), 2u);
  EXPECT_EQ(key_interval("0/0"), 60u);
  EXPECT_EQ(key_interval("30"), 60u);
  EXPECT_EQ(key_interval("50"), 100u);
  EXPECT_EQ(key_interval("abc/1"), 60u);   // numerator falls back to 30
  EXPECT_EQ(key_interval("25/abc"), 50u);  // denominator falls back to 1
  EXPECT_EQ(key_interval("-25/1"), 60u);
  EXPECT_EQ(key_interval("25/-1"), 480u);  // denominator raised to 1e-9
  EXPECT_EQ(key_interval("1e999/1"), 60u);
  EXPECT_EQ(key_interval("12.25/1"), 25u);  // 24.5 rounds away from zero
}

TEST(ContainerName, FromTheExtension) {
  EXPECT_EQ(container_name("out.mp4"), "mp4");
  EXPECT_EQ(container_name("clip.MOV"), "mov");
  EXPECT_EQ(container_name("movie.mkv"), "matroska");
  EXPECT_EQ(container_name("movie.mkv.part"), "matroska");
  EXPECT_EQ(container_name("movie.mkv.PART"), "mp4");
  EXPECT_EQ(container_name("a.WebM"), "webm");
  EXPECT_EQ(container_name("movie.avi"), "mp4");
  EXPECT_EQ(container_name("movie"), "mp4");
  EXPECT_EQ(container_name("dir.mov/movie"), "mp4");
  EXPECT_EQ(container_name("mov"), "mov");  // no dot: the whole text
  EXPECT_EQ(container_name(".part"), "mp4");
}

const std::string kColour =
    " -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv ";
const std::string kSetParams =
    ",setparams=range=tv:color_primaries=bt709:color_trc=bt709:colorspace=bt709";
const std::string kConvert = "-vf scale=out_color_matrix=bt709:out_range=tv" + kSetParams + " ";
// Changed from the plain list: no "-shortest" (the audio is cut by "-t"
// when the pipeline knows the video's length; see SourceTraitsAddOnlyWhatDiffers).
const std::string kHead =
    "-v error -y -f rawvideo -pix_fmt rgb24 -s 3840x2160 -r 30000/1001 -i - -i source "
    "-map 0:v -map 1:a? -c:a copy ";

std::vector<std::string> args_for(uint64_t w,
                                  uint64_t h,
                                  const std::string& codec,
                                  EncoderFamily family,
                                  const std::string& output = "out.mp4",
                                  const RateControl& rc = Quality{80}) {
  return encoder_args(output, "source", std::nullopt, w, h, w, h, "30000/1001", codec, "copy", rc,
                      family);
}

TEST(EncoderArgs, H264BothFamilies) {
  EXPECT_EQ(args_for(3840, 2160, "h264", EncoderFamily::kVideoToolbox),
            words(kHead + kConvert +
                  "-c:v h264_videotoolbox -q:v 80 -profile:v high -g 60 -pix_fmt yuv420p" +
                  kColour + "-f mp4 out.mp4"));
  EXPECT_EQ(args_for(3840, 2160, "h264", EncoderFamily::kSoftware),
            words(kHead + kConvert + "-c:v libx264 -crf 18 -profile:v high -g 60 -pix_fmt yuv420p" +
                  kColour + "-f mp4 out.mp4"));
}

TEST(EncoderArgs, HevcBothFamilies) {
  std::string head8k = kHead;
  head8k.replace(head8k.find("3840x2160"), 9, "7680x4320");
  EXPECT_EQ(args_for(7680, 4320, "h264", EncoderFamily::kVideoToolbox),
            words(head8k + kConvert +
                  "-c:v hevc_videotoolbox -q:v 80 -g 60 -tag:v hvc1 -pix_fmt yuv420p" + kColour +
                  "-f mp4 out.mp4"));
  EXPECT_EQ(args_for(7680, 4320, "h264", EncoderFamily::kSoftware),
            words(head8k + kConvert +
                  "-c:v libx265 -crf 18 -x265-params log-level=error -g 60 -tag:v hvc1 "
                  "-pix_fmt yuv420p" +
                  kColour + "-f mp4 out.mp4"));
}

TEST(EncoderArgs, ProresBothFamilies) {
  for (auto family : {EncoderFamily::kVideoToolbox, EncoderFamily::kSoftware}) {
    EXPECT_EQ(
        args_for(3840, 2160, "prores", family, "clip.MOV"),
        words(kHead + kConvert + "-c:v prores_ks -profile:v 3" + kColour + "-f mov clip.MOV"));
  }
}

TEST(EncoderArgs, CodecChoiceBySizeAndName) {
  auto codec_of = [](uint64_t w, uint64_t h, const std::string& codec) {
    auto a = args_for(w, h, codec, EncoderFamily::kVideoToolbox);
    for (size_t i = 0; i + 1 < a.size(); ++i) {
      if (a[i] == "-c:v")
        return a[i + 1];
    }
    return std::string();
  };
  EXPECT_EQ(codec_of(2304, 4096, "h264"), "h264_videotoolbox");
  EXPECT_EQ(codec_of(4096, 2304, "h264"), "h264_videotoolbox");
  EXPECT_EQ(codec_of(4097, 2304, "h264"), "hevc_videotoolbox");
  EXPECT_EQ(codec_of(4096, 2305, "h264"), "hevc_videotoolbox");
  EXPECT_EQ(codec_of(2400, 2400, "h264"), "hevc_videotoolbox");
  EXPECT_EQ(codec_of(1280, 720, "H264"), "hevc_videotoolbox");
  EXPECT_EQ(codec_of(1280, 720, "h265"), "hevc_videotoolbox");
  EXPECT_EQ(codec_of(1280, 720, "av1"), "hevc_videotoolbox");
  EXPECT_EQ(codec_of(1280, 720, "PRORES"), "hevc_videotoolbox");
  EXPECT_EQ(codec_of(1280, 720, ""), "hevc_videotoolbox");
}

TEST(EncoderArgs, QualityMapsToCrfOnTheSoftwareEncoders) {
  auto crf = [](uint32_t q) {
    auto a = args_for(640, 360, "h264", EncoderFamily::kSoftware, "o.mp4", Quality{q});
    for (size_t i = 0; i + 1 < a.size(); ++i) {
      if (a[i] == "-crf")
        return a[i + 1];
    }
    return std::string("none");
  };
  EXPECT_EQ(crf(100), "10");
  EXPECT_EQ(crf(80), "18");
  EXPECT_EQ(crf(1), "50");   // 49.6
  EXPECT_EQ(crf(99), "10");  // 10.4
  EXPECT_EQ(crf(96), "12");  // 11.6
  EXPECT_EQ(crf(0), "50");
  EXPECT_EQ(crf(500), "0");  // never negative
  auto vt = args_for(640, 360, "h264", EncoderFamily::kVideoToolbox, "o.mp4", Quality{37});
  EXPECT_NE(std::find(vt.begin(), vt.end(), "37"), vt.end());
  EXPECT_EQ(std::find(vt.begin(), vt.end(), "-crf"), vt.end());
}

TEST(EncoderArgs, BitrateRangeScaleAndAudio) {
  for (auto family : {EncoderFamily::kVideoToolbox, EncoderFamily::kSoftware}) {
    bool vt = family == EncoderFamily::kVideoToolbox;
    auto a = encoder_args("o.mkv.part", "my source.mov", TimeRange{10, 20}, 3840, 2160, 1920, 1080,
                          "25/1", "h264", "none", Bitrate{8000000}, family);
    std::vector<std::string> expected = words(
        "-v error -y -f rawvideo -pix_fmt rgb24 -s 3840x2160 -r 25/1 -i - -ss 10.000 -to "
        "20.000 -i SOURCE -map 0:v -an "
        "-vf scale=1920:1080:flags=lanczos:out_color_matrix=bt709:out_range=tv" +
        kSetParams + " -c:v " + std::string(vt ? "h264_videotoolbox" : "libx264") +
        " -b:v 8000000 -maxrate 8000000 -bufsize 16000000 -profile:v high -g 50 -pix_fmt "
        "yuv420p" +
        kColour + "-f matroska o.mkv.part");
    *std::find(expected.begin(), expected.end(), "SOURCE") = "my source.mov";
    EXPECT_EQ(a, expected);
  }
  auto huge =
      args_for(64, 64, "h264", EncoderFamily::kVideoToolbox, "o.mp4", Bitrate{UINT64_MAX / 2 + 1});
  EXPECT_NE(std::find(huge.begin(), huge.end(), std::to_string(UINT64_MAX)), huge.end());
  // Only the width differs: still scaled.
  auto narrow = encoder_args("o.mp4", "s", std::nullopt, 100, 50, 90, 50, "25/1", "prores", "copy",
                             Quality{1}, EncoderFamily::kSoftware);
  EXPECT_NE(std::find(narrow.begin(), narrow.end(),
                      "scale=90:50:flags=lanczos:out_color_matrix=bt709:out_range=tv" + kSetParams),
            narrow.end());
}

TEST(EncoderArgs, SourceTraitsAddOnlyWhatDiffers) {
  auto with = [](const SourceTraits& t, const std::string& audio = "copy",
                 std::optional<TimeRange> range = std::nullopt) {
    return encoder_args("o.mp4", "s.mp4", range, 64, 48, 64, 48, "25/1", "prores", audio,
                        Quality{80}, EncoderFamily::kSoftware, t);
  };
  const std::string tail = " -c:v prores_ks -profile:v 3" + kColour + "-f mp4 o.mp4";
  const std::string head = "-v error -y -f rawvideo -pix_fmt rgb24 -s 64x48 -r 25/1 -i - ";
  EXPECT_EQ(with({}), words(head + "-i s.mp4 -map 0:v -map 1:a? -c:a copy " + kConvert + tail));
  EXPECT_EQ(with({1, 1, 2.56}),
            words(head + "-t 2.560000 -i s.mp4 -map 0:v -map 1:a? -c:a copy " + kConvert + tail));
  EXPECT_EQ(with({2, 1, std::nullopt}), words(head + "-i s.mp4 -map 0:v -map 1:a? -c:a copy " +
                                              "-vf scale=out_color_matrix=bt709:out_range=tv" +
                                              kSetParams + ",setsar=2/1" + tail));
  EXPECT_EQ(with({1, 1, 2.5}, "none"), words(head + "-i s.mp4 -map 0:v -an " + kConvert + tail));
  EXPECT_EQ(
      with({1, 1, 2.5}, "copy", TimeRange{1, 2}),
      words(head + "-ss 1.000 -to 2.000 -i s.mp4 -map 0:v -map 1:a? -c:a copy " + kConvert + tail));
}

}  // namespace
}  // namespace lmr::video
