// The command line as users see it: the built executable, whole outputs.
#include <gtest/gtest.h>

#include "cli.h"
#include "testing.h"

namespace lmr::cli {
namespace {

using testing::run_lmr;

const std::string kBanner =
    "\n"
    "\x1b[38;5;33m \u2572\u2571  \u2571\u2572\x1b[0m\n"
    "\x1b[38;5;33m  \u2572\u2571\u2571\x1b[0m   \x1b[1mLumerant\x1b[0m v0.1.0\n"
    "\x1b[38;5;33m  \u2571\u2572\x1b[0m    AI Video Enhancement Engine\n"
    "\x1b[38;5;33m \u2571  \u2572\x1b[0m   \x1b[2mlumerant.app\x1b[0m\n"
    "\n";

TEST(CliTexts, BannerIsByteExact) {
  EXPECT_EQ(banner(), kBanner);
  // The glyphs are U+2572 and U+2571 in UTF-8.
  EXPECT_NE(banner().find("\xE2\x95\xB2\xE2\x95\xB1"), std::string::npos);
}

TEST(CliTexts, UsageEndsWithAnEmptyLineAndHidesInternalOptions) {
  std::string u = usage();
  EXPECT_TRUE(u.starts_with("USAGE:\n  lmr upscale -m <model-name>"));
  EXPECT_TRUE(u.ends_with("  --max-frames <N>   Process at most N frames\n\n"));
  for (const char* hidden : {"test-model", "--model-name", "--div", "--max-area", "--fgnet"}) {
    EXPECT_EQ(u.find(hidden), std::string::npos) << hidden;
  }
}

TEST(CliDispatch, NoArgumentsAndHelpPrintBannerAndUsage) {
  for (auto args : {std::vector<std::string>{}, {"-h"}, {"--help"}, {"--help", "x", "--bogus"}}) {
    auto r = run_lmr(args);
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kBanner + usage());
  }
}

TEST(CliDispatch, VersionOnly) {
  for (const char* flag : {"-V", "--version"}) {
    auto r = run_lmr({flag, "upscale"});
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "lmr 0.1.0 (lumerant.app)\n");
  }
}

TEST(CliDispatch, UnknownCommands) {
  for (const std::string cmd : {"foo", "", "Upscale", "version"}) {
    auto r = run_lmr({cmd, "-i", "x"});
    EXPECT_EQ(r.exit_code(), 1) << cmd;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "unknown command: " + cmd + "\n" + kBanner + usage() + "Error: unknown command\n");
  }
}

TEST(CliDispatch, ImplicitUpscaleTakesTheFirstArgumentAsAnOption) {
  auto r = run_lmr({"-"});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, kBanner + "Error: unknown option: -\n");
  r = run_lmr({"-v"});
  EXPECT_EQ(r.err, kBanner + "Error: unknown option: -v\n");
  // Same outcome as the explicit command.
  auto implicit = run_lmr({"-i", "in.mp4", "-o", "out.mp4"});
  auto explicit_ = run_lmr({"upscale", "-i", "in.mp4", "-o", "out.mp4"});
  EXPECT_EQ(implicit.err, explicit_.err);
  EXPECT_EQ(implicit.err, kBanner + "Error: --model <path> or -m <model-name> is required\n");
}

TEST(CliDispatch, NonUtf8ArgumentStopsBeforeAnyCommand) {
  auto r = run_lmr({"upscale", "-i", "a\xFF"});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, "Error: argument 3 is not valid UTF-8: a\xEF\xBF\xBD\n");
}

struct UpscaleCase {
  std::vector<std::string> args;
  std::string error;
};

TEST(CliUpscale, OptionErrorsPrintBannerThenError) {
  const std::vector<UpscaleCase> cases = {
      {{"upscale"}, "-i and -o are required"},
      {{"upscale", "--scale"}, "missing value for --scale"},
      {{"upscale", "--scale", "-3"}, "invalid digit found in string"},
      {{"upscale", "--scale", "99999999999999999999"}, "number too large to fit in target type"},
      {{"upscale", "--tile", "512x"}, "cannot parse integer from empty string"},
      {{"upscale", "--tile", "512X288"}, "invalid digit found in string"},
      {{"upscale", "--tile", "1x2x3"}, "invalid digit found in string"},
      {{"upscale", "--ep", "CPU"}, "unknown ep: CPU"},
      {{"upscale", "--quality", "0"}, "--quality must be 1-100"},
      {{"upscale", "--quality", "101"}, "--quality must be 1-100"},
      {{"upscale", "--quality", "4294967296"}, "number too large to fit in target type"},
      {{"upscale", "--version"}, "unknown option: --version"},
      {{"upscale", "--fgnet", "x"}, "unknown option: x"},
      {{"upscale", "-i", "", "-o", "o.mp4", "--model", "m.onnx"}, "-i and -o are required"},
      {{"upscale", "-i", "in.mp4", "-o", "out.mp4"},
       "--model <path> or -m <model-name> is required"},
      {{"upscale", "-i", "-o"}, "-i and -o are required"},
  };
  for (const auto& c : cases) {
    auto r = run_lmr(c.args);
    EXPECT_EQ(r.exit_code(), 1) << c.args.back();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kBanner + "Error: " + c.error + "\n") << c.args.back();
  }
}

ParsedUpscale parse(std::vector<std::string> args) {
  auto p = parse_upscale(args);
  EXPECT_TRUE(p.has_value()) << (p ? "" : p.error().message());
  return p.value_or(ParsedUpscale{});
}

TEST(CliUpscale, DefaultsOfTheJobRecord) {
  auto c = parse({"-i", "a", "-o", "b", "--model", "m"}).config;
  EXPECT_EQ(c.scale, 2u);
  EXPECT_EQ(c.overlap, 16u);
  EXPECT_EQ(c.div, 1u);
  EXPECT_EQ(c.quality, 80u);
  EXPECT_EQ(c.max_frames, UINT64_MAX);
  EXPECT_EQ(c.codec, "h264");
  EXPECT_EQ(c.ep, lmr::inference::Ep{0});
  EXPECT_FALSE(c.fgnet);
  EXPECT_FALSE(c.tile_w || c.tile_h || c.max_area || c.model_name);
}

TEST(CliUpscale, EveryOptionFillsItsField) {
  auto p = parse({"-i",           "-o",        "-o",         "out.mkv",      "--model",
                  "m.onnx",       "--scale",   "+3",         "--tile",       "640x360",
                  "--overlap",    "8",         "--ep",       "cpu",          "--codec",
                  "H265",         "--quality", "100",        "--max-frames", "0",
                  "--div",        "8",         "--max-area", "65536",        "--fgnet",
                  "--model-name", "a",         "-m",         "quelt"});
  const auto& c = p.config;
  EXPECT_EQ(c.input, "-o");
  EXPECT_EQ(c.output, "out.mkv");
  EXPECT_EQ(c.model, "m.onnx");
  EXPECT_EQ(c.scale, 3u);
  EXPECT_EQ(c.tile_w, 640u);
  EXPECT_EQ(c.tile_h, 360u);
  EXPECT_EQ(c.overlap, 8u);
  EXPECT_EQ(c.ep, lmr::inference::Ep{2});
  EXPECT_EQ(c.codec, "H265");
  EXPECT_EQ(c.quality, 100u);
  EXPECT_EQ(c.max_frames, 0u);
  EXPECT_EQ(c.div, 8u);
  EXPECT_EQ(c.max_area, 65536u);
  EXPECT_TRUE(c.fgnet);
  EXPECT_EQ(p.catalog_id, "quelt");
  EXPECT_FALSE(c.model_name.has_value());
}

TEST(CliUpscale, EpNamesTheirProviderBytes) {
  EXPECT_EQ(parse({"--ep", "cpu", "--ep", "coreml"}).config.ep, lmr::inference::Ep{0});
  EXPECT_EQ(parse({"--ep", "coreml", "--ep", "cpu"}).config.ep, lmr::inference::Ep{2});
}

TEST(CliUpscale, TileForms) {
  auto c = parse({"--tile", "512"}).config;
  EXPECT_EQ(c.tile_w, 512u);
  EXPECT_EQ(c.tile_h, 512u);
  c = parse({"--tile", "0"}).config;
  EXPECT_EQ(c.tile_w, 0u);
  c = parse({"--tile", "1x2", "--tile", "+7x+9"}).config;  // last one wins
  EXPECT_EQ(c.tile_w, 7u);
  EXPECT_EQ(c.tile_h, 9u);
}

}  // namespace
}  // namespace lmr::cli
