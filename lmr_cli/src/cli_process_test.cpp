// The built lmr as a user's shell or the desktop application starts it: one
// table of command lines with their exit status and stderr, among them the
// fault rows (stand-in ffprobe and ffmpeg that die, stop reading, flood or
// lie; broken models; unwritable outputs). Every row runs with an empty HOME,
// TMPDIR and working folder, the runtime's telemetry not turned off by the
// caller, and a descriptor handed to lmr that no child may inherit. After
// each row lmr and every child it started have ended, no child was handed a
// stray descriptor, the input is unchanged, and nothing was written but the
// requested output.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "catalog.h"
#include "cli.h"
#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using lmr::testing::TempDir;

constexpr int kW = 160, kH = 120;
// Upscaled frames of 320x240: a dozen overflow any pipe buffer.
const std::string kOutFrame = std::to_string(2 * kW * 2 * kH * 3);

// The clip and the catalogue every row reads. A row's texts name them "{in}"
// and "{app}", and the folder of the generated models "{m}".
struct Fixture {
  TempDir dir;
  fs::path in = dir / "in.mp4", app = dir / "app";
  Fixture() {
    lmr::testing::make_clip(in, kW, kH, 12);
    std::string entries;
    for (auto [id, name, arch, model, tile] :
         {std::tuple{"nettra", "Nettra", "esrgan", "nn2x.onnx", "288"},
          std::tuple{"fgx", "Caf\xC3\xA9 \xE2\x80\xBA 2", "fgnet", "fgnet2x.onnx", "288"},
          std::tuple{"fgtiny", "Tiny tiles", "fgnet", "fgnet2x.onnx", "8"}}) {
      const std::string sha = catalog::sha256_file(lmr::testing::model(model)).value();
      fs::create_directories(app / "models" / id);
      fs::copy_file(lmr::testing::model(model),
                    app / "models" / id / ("2x-" + sha.substr(0, 12) + ".onnx"));
      entries += std::string(R"({"id": ")") + id + R"(", "name": ")" + name + R"(", "arch": ")" +
                 arch + R"(", "tile": [)" + tile + ", " + tile +
                 R"(], "files": {"2": {"url": "u", "sha256": ")" + sha + R"(", "bytes": 1}}}, )";
    }
    // The listing pads by characters, not bytes; an id with capitals is left out.
    lmr::testing::write_file(app / "models.json", R"({"version": 1, "models": [)" + entries + R"(
      {"id": "a-very-long-model-id", "name": "A display name longer than twenty",
       "files": {"2": {"url": "u", "sha256": "", "bytes": 1},
                 "10": {"url": "u", "sha256": "", "bytes": 1}}},
      {"id": "bare"}, {"id": "Dropped"}]})");
  }
  std::string fill(std::string text) const {
    for (auto [key, value] : {std::pair{"{in}", in.string()},
                              {"{app}", app.string()},
                              {"{m}", lmr::testing::models_dir().string()}}) {
      for (size_t at; (at = text.find(key)) != std::string::npos;)
        text.replace(at, std::string(key).size(), value);
    }
    return text;
  }
};

// Every entry under `root` with its size (folders: -1).
std::map<std::string, intmax_t> listing(const fs::path& root) {
  std::map<std::string, intmax_t> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    out[e.path().lexically_relative(root).string()] =
        e.is_regular_file() ? static_cast<intmax_t>(e.file_size()) : -1;
  }
  return out;
}

struct Row {
  std::string name;
  std::vector<std::string> args;
  int status;
  std::string err;  // the whole stderr; with `search`, a regular expression found in it
  bool search = false;
  std::string output = "";  // the one file the run may leave in its working folder
  std::string decoder = "", encoder = "", probe = "";  // stand-in bodies; "" runs the real tool
  lmr::testing::EnvChanges env = {};
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class Lmr : public ::testing::TestWithParam<Row> {};

TEST_P(Lmr, ExitsAsExpectedAndLeavesNothingBehind) {
  const Row& row = GetParam();
  static const Fixture fx;
  lmr::testing::StandIns tools;
  if (!row.probe.empty())
    tools.probe(row.probe);
  if (!row.decoder.empty())
    tools.decoder(row.decoder);
  if (!row.encoder.empty())
    tools.encoder(row.encoder);
  TempDir run;
  for (const char* d : {"home", "tmp", "cwd"})
    fs::create_directory(run / d);
  const auto fixture_before = listing(fx.dir.path());
  // A careless parent's descriptor 9 (the working folder): lmr must not pass it on.
  std::vector<std::string> argv{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\" 9<\"$0\"",
                                (run / "cwd").string(), (lmr::testing::bin_dir() / "lmr").string()};
  for (const std::string& a : row.args)
    argv.push_back(fx.fill(a));
  lmr::testing::EnvChanges env{{"HOME", (run / "home").string()},
                               {"TMPDIR", (run / "tmp").string()},
                               {"ORT_DISABLE_TELEMETRY", std::nullopt},
                               {"XDG_DATA_HOME", std::nullopt},
                               {"LMR_APP_DATA", fx.app.string()}};
  env.insert(env.end(), row.env.begin(), row.env.end());
  // What a failed job finds at its output path stays there, byte for byte.
  const bool keeps = row.status != 0 && !row.output.empty();
  const std::string before = "what the output path held before\n";
  if (keeps)
    lmr::testing::write_file(run / "cwd" / row.output, before);
  lmr::testing::ProcResult r;
  {
    lmr::testing::Hygiene hygiene(&tools, {fx.in});
    r = lmr::testing::run(argv, env, 120);
  }
  EXPECT_EQ(r.exit_code(), row.status) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string want = fx.fill(row.err);
  if (row.search) {
    EXPECT_TRUE(std::regex_search(r.err, std::regex(want))) << want << "\nnot in:\n" << r.err;
  } else {
    EXPECT_EQ(r.err, want);
  }
  EXPECT_TRUE(row.status == 0 || r.err.find("\ndone: ") == std::string::npos) << "shown as done";
  // Not in HOME, TMPDIR, the working folder, beside the input or the models.
  auto written = listing(run.path());
  const bool output_left = !row.output.empty() && written.erase("cwd/" + row.output) == 1;
  EXPECT_EQ(written, (std::map<std::string, intmax_t>{{"cwd", -1}, {"home", -1}, {"tmp", -1}}));
  if (keeps)
    EXPECT_EQ(lmr::testing::read_file(run / "cwd" / row.output), before);
  else
    EXPECT_TRUE(row.status != 0 || output_left == !row.output.empty());
  EXPECT_EQ(listing(fx.dir.path()), fixture_before);
}

std::vector<std::string> up(const std::string& model, std::vector<std::string> more = {}) {
  std::vector<std::string> args{"upscale", "-i",           "{in}", "-o", "out.mp4",
                                "--model", "{m}/" + model, "--ep", "cpu"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

const std::string kUsage = banner() + usage();
std::string unknown(const std::string& cmd) {
  return "unknown command: " + cmd + "\n" + kUsage + "Error: unknown command\n";
}
const std::string kFacts = "printf 'width=640\\nheight=360\\nr_frame_rate=25/1\\nduration=4.25\\n'";
const std::string kModelsList =
    "  nettra       Nettra               scales=[\"2\"] installed\n"
    "  fgx          Caf\xC3\xA9 \xE2\x80\xBA 2             scales=[\"2\"] installed\n"
    "  fgtiny       Tiny tiles           scales=[\"2\"] installed\n"
    "  a-very-long-model-id A display name longer than twenty scales=[\"10\", \"2\"] \n"
    "  bare                              scales=[] \n";

const Row kRows[] = {
    // Dispatch, help and version.
    {"no_command", {}, 0, kUsage},
    {"help_ignores_the_rest", {"--help", "x", "--bogus"}, 0, kUsage},
    {"short_help", {"-h"}, 0, kUsage},
    {"version", {"-V", "upscale"}, 0, "lmr 0.1.0 (lumerant.app)\n"},
    {"long_version", {"--version"}, 0, "lmr 0.1.0 (lumerant.app)\n"},
    {"unknown_command", {"foo", "-i", "x"}, 1, unknown("foo")},
    {"empty_command", {""}, 1, unknown("")},
    {"commands_are_case_sensitive", {"Upscale"}, 1, unknown("Upscale")},
    {"not_utf8",
     {"upscale", "-i", "a\xFF"},
     1,
     "Error: argument 3 is not valid UTF-8: a\xEF\xBF\xBD\n"},
    // Upscale: the banner first, then its own stops; an implicit upscale
    // starts its options at the first argument.
    {"implicit_dash", {"-"}, 1, banner() + "Error: unknown option: -\n"},
    {"implicit_lower_v", {"-v"}, 1, banner() + "Error: unknown option: -v\n"},
    {"implicit_upscale",
     {"-i", "in.mp4", "-o", "out.mp4"},
     1,
     banner() + "Error: --model <path> or -m <model-name> is required\n"},
    {"upscale_alone", {"upscale"}, 1, banner() + "Error: -i and -o are required\n"},
    {"empty_input",
     {"upscale", "-i", "", "-o", "o.mp4", "--model", "m.onnx"},
     1,
     banner() + "Error: -i and -o are required\n"},
    {"option_error", {"upscale", "--scale"}, 1, banner() + "Error: missing value for --scale\n"},
    {"catalogue_before_input",
     {"upscale", "-m", "absent", "-o", "out.mp4"},
     1,
     banner() + "Error: unknown model 'absent'\n"},
    // models and download.
    {"models", {"models", "--ignored"}, 0, kModelsList},
    {"models_none_yet",
     {"models"},
     0,
     "no catalogue yet: open the app once (it downloads the manifest)\n",
     false,
     "",
     "",
     "",
     "",
     {{"LMR_APP_DATA", std::nullopt}}},
    {"download",
     {"download", "--model", "fgx", "-m", "nettra", "--scale", "+3"},
     0,
     "^ready: {app}/models/nettra/2x-[0-9a-f]{12}\\.onnx\n  tile: 288  scale: 2  arch: esrgan\n$",
     true},
    {"download_usage",
     {"download", "--scale", "2"},
     1,
     "Error: usage: lmr download -m <model-name> [--scale N]\n"},
    {"download_stray_value",
     {"download", "-m", "nettra", "extra"},
     1,
     "Error: unknown option: extra\n"},
    {"download_missing_value", {"download", "-m"}, 1, "Error: missing value for -m\n"},
    {"download_bad_scale",
     {"download", "-m", "nettra", "--scale", "-2"},
     1,
     "Error: --scale must be a whole number from 1 to 16\n\nCaused by:\n    invalid digit found in "
     "string\n"},
    {"download_scale_zero",
     {"download", "-m", "nettra", "--scale", "0"},
     1,
     "Error: --scale must be a whole number from 1 to 16\n"},
    // info and test-model: their usage stops print no "Error: " line.
    {"info_usage", {"info", "-i"}, 1, "usage: lmr info -i <video>\n"},
    {"info",
     {"info", "x", "-i", "v.mp4"},
     0,
     "1920x1080 @ 24000/1001 fps, 10.0s, ~240 frames\ncontent: natural\n",
     false,
     "",
     "head -c 2880 /dev/zero",
     "",
     "printf 'width=1920\\nheight=1080\\nr_frame_rate=24000/1001\\nnb_frames=240\\n"
     "duration=10.010000\\nduration=10.020000\\n'"},
    {"info_content_unknown",
     {"info", "-i", "v.mp4"},
     0,
     "640x360 @ 25/1 fps, 4.2s, ~106 frames\ncontent: unknown (ffmpeg frame extraction failed: "
     "Invalid data found when processing input)\n",
     false,
     "",
     "printf 'Invalid data found when processing input' >&2; exit 1",
     "",
     kFacts},
    {"info_missing_input", {"info", "-i", "gone.mp4"}, 1, "^Error: ffprobe failed: ", true},
    {"test_model_usage",
     {"test-model", "m.onnx"},
     1,
     "usage: lmr test-model --model <path.onnx>\n"},
    {"test_model_no_inputs",
     {"test-model", "--model", "{m}/noinput.onnx"},
     1,
     "model loaded: {m}/noinput.onnx\n  output: output float32 [1, 3, 2, 2]\n"
     "Error: the model has no inputs: test-model feeds its tensor to the first input\n"},
    {"test_model_no_outputs",
     {"test-model", "--model", "{m}/nooutput.onnx"},
     1,
     "model loaded: {m}/nooutput.onnx\n  input:  input float32 [1, 3, h, w]\n"
     "Error: the model has no outputs: test-model reports on the first output\n"},
    {"test_model_run_fails",
     {"test-model", "--model", "{m}/nn2x.onnx"},
     1,
     "^model loaded: [\\s\\S]*\nError: \\S",
     true},
    {"test_model_float16_output",
     {"test-model", "--model", "{m}/halfout.onnx"},
     1,
     "\nError: output 'y' holds float16 values, not float32\n$",
     true},
    {"test_model_feeds_the_first_input_only",
     {"test-model", "--model", "{m}/firstonly.onnx"},
     1,
     "^model loaded: .*\n  input:  a float32 \\[1, 288, 288, 18\\]\n  input:  b float32 "
     "\\[1\\]\n[\\s\\S]*\nError: [\\s\\S]*Missing Input: b",
     true},
    {"test_model_absent", {"test-model", "--model", "gone.onnx"}, 1, "^Error: \\S", true},
    // Upscale runs: each codec, each family, catalogue models of both.
    {"h264", up("nn2x.onnx"), 0, "\ndone: 12 frames in ", true, "out.mp4"},
    {"h265", up("nn2x.onnx", {"--codec", "h265"}), 0, "\ndone: 12 frames in ", true, "out.mp4"},
    {"prores", up("nn2x.onnx", {"-o", "out.mov", "--codec", "ProRes"}), 0, "\ndone: 12 frames",
     true, "out.mov"},
    {"multi_input", up("fgnet2x.onnx", {"--fgnet"}), 0,
     "\nfgnet: 160x120 [\\s\\S]*\ndone: 12 frames", true, "out.mp4"},
    {"catalogue_single_frame",
     {"upscale", "-m", "nettra", "-i", "{in}", "-o", "out.mp4"},
     0,
     "tiles: 160x120 = 1 \\(1 cols[\\s\\S]*\ndone: 12 frames",
     true,
     "out.mp4"},
    {"catalogue_multi_input",
     {"-m", "fgx", "-i", "{in}", "-o", "out.mp4", "--ep", "cpu"},
     0,
     "\nfgnet: 160x120 [\\s\\S]*\ndone: 12 frames",
     true,
     "out.mp4"},
    // Values that make no sense end the job before anything starts: no
    // start line, no session, nothing written.
    {"max_frames_zero", up("nn2x.onnx", {"--max-frames", "0"}), 1,
     banner() + "Error: --max-frames must be a whole number, at least 1\n"},
    {"codec_unknown", up("nn2x.onnx", {"--codec", "vp9"}), 1,
     banner() + "Error: --codec must be h264, h265 or prores, not \"vp9\"\n"},
    {"scale_not_whole", up("nn2x.onnx", {"--scale", "2.5"}), 1,
     banner() +
         "Error: --scale must be a whole number from 1 to 16\n\nCaused by:\n    invalid digit "
         "found in string\n"},
    {"tile_too_small", up("nn2x.onnx", {"--tile", "2"}), 1,
     banner() + "Error: --tile must be WxH or N, whole numbers from 16 to 65536\n"},
    {"grid_overlap_refused", up("nn2x.onnx", {"--max-area", "1024"}), 1,
     banner() +
         "Error: overlap 16 is too large for tiles of 32x31 (63 tiles, 9 cols × 7 rows, for a "
         "160x120 frame): tiles may overlap by less than half their side (at most 15)\n"},
    {"grid_refused_multi_input",
     {"upscale", "-m", "fgtiny", "-i", "{in}", "-o", "out.mp4", "--ep", "cpu"},
     1,
     banner() +
         "Error: tiles of 8x8 (17289 tiles, 153 cols × 113 rows, for a 160x120 frame) are too "
         "small: a tile side must be at least 16 pixels\n"},
    // A damaged input that ends early still gives what it has, and says so.
    {"input_ends_early", up("nn2x.onnx"), 0,
     "\nwarning: the input ended after 3 of the 12 frames it announces; it may be truncated\n\n"
     "done: 3 frames",
     true, "out.mp4", "head -c " + std::to_string(3 * kW * kH * 3) + " /dev/zero"},
    // Faults.
    {"decoder_killed", up("nn2x.onnx"), 1, "\nError: decoder failed: signal: 9 \\(SIGKILL\\)\n$",
     true, "out.mp4", "head -c " + std::to_string(3 * kW * kH * 3) + " /dev/zero; kill -9 $$"},
    {"encoder_killed", up("nn2x.onnx"), 1, "\nError: encoder failed: encoder gave up\n$", true,
     "out.mp4", "",
     "head -c $((2 * " + kOutFrame + ")) >/dev/null; echo 'encoder gave up' >&2; kill -9 $$"},
    {"encoder_killed_multi_input", up("fgnet2x.onnx", {"--fgnet"}), 1,
     "\nError: encoder failed: encoder gave up\n$", true, "out.mp4", "",
     "head -c $((2 * " + kOutFrame + ")) >/dev/null; echo 'encoder gave up' >&2; kill -9 $$"},
    {"probe_huge_frame", up("nn2x.onnx"), 1,
     "\nError: output frame size 100000x100000 at 2x is too large\n$", true, "", "", "",
     "printf 'width=100000\\nheight=100000\\nr_frame_rate=25/1\\nnb_frames=10\\n'"},
    {"probe_no_pixels", up("nn2x.onnx"), 1, "\nError: input frame size 0x48 has no pixels\n$", true,
     "", "", "", "printf 'width=0\\nheight=48\\nr_frame_rate=25/1\\nnb_frames=10\\n'"},
    {"probe_floods_and_fails", up("nn2x.onnx"), 1, "\nError: ffprobe failed: w{100}", true, "", "",
     "", "head -c 1048576 /dev/zero | tr '\\0' 'w' >&2; exit 1"},
    {"missing_input", up("nn2x.onnx", {"-i", "gone.mp4"}), 1, "\nError: ffprobe failed: ", true},
    {"model_not_onnx", up("nn2x.onnx", {"--model", "{in}"}), 1, "\nError: \\S", true},
    {"model_output_wrong_size", up("identity.onnx"), 1,
     "\nError: model output for a 160x120 tile has ", true, "out.mp4"},
    {"multi_input_wrong_model", up("nn2x.onnx", {"--fgnet"}), 1, "\nError: \\S", true, "out.mp4"},
    // Found before the model loads.
    {"output_folder_missing", up("nn2x.onnx", {"-o", "missing/out.mp4"}), 1,
     "\nError: cannot write the output missing/out.mp4: No such file or directory \\(os error "
     "2\\)\n$",
     true},
    // The output is the input, as ffmpeg would open it: refused, the input kept.
    {"output_is_input", up("nn2x.onnx", {"-o", "file:{in}"}), 1,
     "\nError: the output file:{in} is the input file itself", true},
    {"output_is_input_multi_input",
     up("fgnet2x.onnx", {"--fgnet", "-i", "file:{in}", "-o", "{in}"}), 1,
     "\nError: the output {in} is the input file itself", true},
};

INSTANTIATE_TEST_SUITE_P(Rows, Lmr, ::testing::ValuesIn(kRows), [](const auto& row) {
  return row.param.name;
});

}  // namespace
}  // namespace lmr::cli
