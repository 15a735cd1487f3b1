// The info and test-model commands through the built executable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <regex>

#include "testing.h"

namespace lmr::cli {
namespace {

namespace fs = std::filesystem;
using lmr::testing::ProcResult;
using lmr::testing::run_lmr;
using lmr::testing::TempDir;

const std::string kInfoUsage = "usage: lmr info -i <video>\n";
const std::string kTestModelUsage = "usage: lmr test-model --model <path.onnx>\n";

TEST(InfoCommand, UsageStopsWithStatusOne) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"info"},
                                             {"info", "-i"},
                                             {"info", "a.mp4"},
                                             {"info", "--input", "a.mp4"},
                                             {"info", "-I", "a.mp4"}}) {
    const ProcResult r = run_lmr(args);
    EXPECT_EQ(r.exit_code(), 1) << args.back();
    EXPECT_EQ(r.err, kInfoUsage) << args.back();
    EXPECT_EQ(r.out, "");
  }
}

TEST(InfoCommand, DescribesARealClip) {
  TempDir dir;
  const std::string clip = (dir / "a.mp4").string();
  lmr::testing::make_animation(clip);
  const std::string expected = "480x270 @ 25/1 fps, 2.0s, ~50 frames\ncontent: graphic\n";

  const ProcResult r = run_lmr({"info", "-i", clip});
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(r.out, "");

  // Other arguments are ignored and the first -i wins.
  const ProcResult extra = run_lmr({"info", "x", "-i", clip});
  EXPECT_EQ(extra.exit_code(), 0);
  EXPECT_EQ(extra.err, expected);
  const ProcResult twice = run_lmr({"info", "-i", clip, "-i", (dir / "absent.mp4").string()});
  EXPECT_EQ(twice.exit_code(), 0);
  EXPECT_EQ(twice.err, expected);
}

TEST(InfoCommand, FractionalRateAsProbed) {
  TempDir dir;
  const std::string clip = (dir / "ntsc.mp4").string();
  lmr::testing::make_clip(clip, 64, 48, 30, "30000/1001");
  const ProcResult r = run_lmr({"info", "-i", clip});
  EXPECT_EQ(r.exit_code(), 0);
  const std::string facts = "64x48 @ 30000/1001 fps, 1.0s, ~30 frames\n";
  EXPECT_EQ(r.err.substr(0, facts.size()), facts);
  EXPECT_TRUE(
      std::regex_match(r.err.substr(facts.size()), std::regex("content: (graphic|natural)\n")))
      << r.err;
}

// The container's 10 s are the audio's: the video lasts 1 s, and its
// samples are taken within it.
TEST(InfoCommand, MatroskaWithLongerAudioGivesTheVideosDuration) {
  TempDir dir;
  const std::string clip = (dir / "a.mkv").string();
  lmr::testing::run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=1", "-f",
                            "lavfi", "-i", "sine=duration=10", "-c:v", "libx264", "-c:a", "flac",
                            clip});
  const ProcResult r = run_lmr({"info", "-i", clip});
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("64x48 @ 25/1 fps, 1\\.0s, ~25 frames\ncontent: (graphic|natural)\n")))
      << r.err;
}

TEST(InfoCommand, ProbeErrorEndsWithStatusOne) {
  TempDir dir;
  const ProcResult r = run_lmr({"info", "-i", (dir / "absent.mp4").string()});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err.rfind("Error: ffprobe failed: ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("content:"), std::string::npos);
}

TEST(InfoCommand, UndecodableClipIsUnknownContentWithStatusZero) {
  TempDir dir;
  lmr::testing::make_undecodable_clip(dir.path(), dir / "cut.mp4");

  const ProcResult r = run_lmr({"info", "-i", (dir / "cut.mp4").string()});
  EXPECT_EQ(r.exit_code(), 0);
  const std::string facts = "320x180 @ 25/1 fps, 2.0s, ~50 frames\n";
  const std::string unknown = "content: unknown (ffmpeg frame extraction failed: ";
  EXPECT_EQ(r.err.substr(0, facts.size() + unknown.size()), facts + unknown) << r.err;
  EXPECT_TRUE(r.err.ends_with(")\n"));
  EXPECT_EQ(r.err.find("Error: "), std::string::npos);
}

// Stand-in ffprobe and ffmpeg in a folder named by LMR_FFMPEG_DIR.
class InfoStandIns : public ::testing::Test {
 protected:
  void tool(const std::string& name, const std::string& body) {
    lmr::testing::write_file(dir_ / name, "#!/bin/sh\n" + body);
    ASSERT_EQ(chmod((dir_ / name).c_str(), 0755), 0);
  }
  ProcResult info() { return run_lmr({"info", "-i", "v.mp4"}, {{"LMR_FFMPEG_DIR", dir_.path()}}); }
  TempDir dir_;
};

TEST_F(InfoStandIns, FactsLineRoundsToOneDecimal) {
  tool("ffprobe",
       "printf 'width=1920\\nheight=1080\\nr_frame_rate=24000/1001\\nnb_frames=240\\n"
       "duration=10.010000\\nduration=10.020000\\n'\n");
  tool("ffmpeg", "head -c 2880 /dev/zero\n");
  const ProcResult r = info();
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.err, "1920x1080 @ 24000/1001 fps, 10.0s, ~240 frames\ncontent: natural\n");
}

TEST_F(InfoStandIns, EstimatedFrameCountAndLongDuration) {
  tool("ffprobe", "printf 'width=640\\nheight=360\\nr_frame_rate=25/1\\nduration=120.000000\\n'\n");
  tool("ffmpeg", "head -c 2880 /dev/zero\n");
  const ProcResult r = info();
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.err, "640x360 @ 25/1 fps, 120.0s, ~3000 frames\ncontent: natural\n");
}

TEST_F(InfoStandIns, ClassificationFailureStillSucceeds) {
  tool("ffprobe", "printf 'width=640\\nheight=360\\nr_frame_rate=25/1\\nduration=4.25\\n'\n");
  tool("ffmpeg", "printf 'Invalid data found when processing input' >&2\nexit 1\n");
  const ProcResult r = info();
  EXPECT_EQ(r.exit_code(), 0);
  EXPECT_EQ(r.err,
            "640x360 @ 25/1 fps, 4.2s, ~106 frames\n"
            "content: unknown (ffmpeg frame extraction failed: Invalid data found when "
            "processing input)\n");
}

TEST(TestModelCommand, UsageStopsWithStatusOne) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"test-model"},
                                             {"test-model", "--model"},
                                             {"test-model", "-m", "m.onnx"},
                                             {"test-model", "m.onnx"}}) {
    const ProcResult r = run_lmr(args);
    EXPECT_EQ(r.exit_code(), 1) << args.back();
    EXPECT_EQ(r.err, kTestModelUsage) << args.back();
  }
}

// `head` + the timing line + `tail`, with the seconds as any three decimals.
void expect_report(const ProcResult& r, const std::string& head, const std::string& tail) {
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  ASSERT_EQ(r.err.substr(0, head.size()), head) << r.err;
  const std::string rest = r.err.substr(head.size());
  std::smatch m;
  ASSERT_TRUE(std::regex_search(rest, m, std::regex("^\ninference done in [0-9]+\\.[0-9]{3}s\n")))
      << r.err;
  EXPECT_EQ(rest.substr(static_cast<size_t>(m.length(0))), tail);
}

TEST(TestModelCommand, MultiInputModel) {
  const std::string path = lmr::testing::model("fgnet2x.onnx").string();
  const ProcResult r = run_lmr({"test-model", "x", "--model", path});
  expect_report(r,
                "model loaded: " + path +
                    "\n"
                    "  input:  input float32 [1, 288, 288, 18]\n"
                    "  output: output float32 [1, 576, 576, 3]\n",
                "  output shape: [1, 576, 576, 3]\n"
                "  range: 0.5000 to 0.5000, mean: 0.5000\n");
}

TEST(TestModelCommand, FreeDimensionsShownByName) {
  const std::string path = lmr::testing::model("fgnet2x_dyn.onnx").string();
  const ProcResult r = run_lmr({"test-model", "--model", path});
  expect_report(r,
                "model loaded: " + path +
                    "\n"
                    "  input:  input float32 [1, h, w, 18]\n"
                    "  output: output float32 [1, oh, ow, 3]\n",
                "  output shape: [1, 576, 576, 3]\n"
                "  range: 0.5000 to 0.5000, mean: 0.5000\n");
}

TEST(TestModelCommand, NanIsIgnoredByTheRangeButNotByTheMean) {
  const std::string path = lmr::testing::model("nan.onnx").string();
  const ProcResult r = run_lmr({"test-model", "--model", path});
  expect_report(r,
                "model loaded: " + path +
                    "\n"
                    "  input:  input float32 [1, 288, 288, 18]\n"
                    "  output: output float32 [1, 288, 288, 18]\n",
                "  output shape: [1, 288, 288, 18]\n"
                "  range: 1.0000 to 1.0000, mean: NaN\n");
}

TEST(TestModelCommand, SingleFrameModelFailsToRun) {
  const std::string path = lmr::testing::model("nn2x.onnx").string();
  const ProcResult r = run_lmr({"test-model", "--model", path});
  EXPECT_EQ(r.exit_code(), 1);
  const std::string head = "model loaded: " + path +
                           "\n"
                           "  input:  input float32 [1, 3, h, w]\n"
                           "  output: output float32 [1, 3, oh, ow]\n"
                           "Error: ";
  EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
  EXPECT_GT(r.err.size(), head.size() + 1) << "the runtime's reason follows";
  EXPECT_EQ(r.err.find("inference done"), std::string::npos);
}

TEST(TestModelCommand, ModelWithoutInputsIsRefused) {
  const std::string path = lmr::testing::model("noinput.onnx").string();
  const ProcResult r = run_lmr({"test-model", "--model", path});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err,
            "model loaded: " + path +
                "\n"
                "  output: output float32 [1, 3, 2, 2]\n"
                "Error: the model has no inputs: test-model feeds its tensor to the first input\n");
}

TEST(TestModelCommand, ModelWithoutOutputsIsRefused) {
  const std::string path = lmr::testing::model("nooutput.onnx").string();
  const ProcResult r = run_lmr({"test-model", "--model", path});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_EQ(r.err, "model loaded: " + path +
                       "\n"
                       "  input:  input float32 [1, 3, h, w]\n"
                       "Error: the model has no outputs: test-model reports on the first output\n");
}

TEST(TestModelCommand, UnreadableModelFileIsTheRuntimesError) {
  TempDir dir;
  lmr::testing::write_file(dir / "junk.onnx", "not a model");
  for (const fs::path& p : {dir / "junk.onnx", dir / "absent.onnx"}) {
    const ProcResult r = run_lmr({"test-model", "--model", p.string()});
    EXPECT_EQ(r.exit_code(), 1);
    EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("model loaded"), std::string::npos);
  }
}

// Models written for these tests only, by the same ONNX tooling as the
// build's test models.
class GeneratedModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::string script = R"(
import sys
from onnx import TensorProto, helper, save
out = sys.argv[1]
def model(name, nodes, inputs, outputs):
    graph = helper.make_graph(nodes, name, inputs, outputs)
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]),
         out + "/" + name + ".onnx")
# Mean over everything but the channel axis: shows the test tensor's layout.
model("chanmean",
      [helper.make_node("ReduceMean", ["x"], ["y"], axes=[0, 1, 2], keepdims=1)],
      [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, None, "w", 18])],
      [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 1, 1, 18])])
model("half",
      [helper.make_node("Cast", ["x"], ["y"], to=TensorProto.FLOAT16)],
      [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 288, 288, 18])],
      [helper.make_tensor_value_info("y", TensorProto.FLOAT16, [1, 288, 288, 18])])
model("firstonly",
      [helper.make_node("Add", ["a", "b"], ["y"])],
      [helper.make_tensor_value_info("a", TensorProto.FLOAT, [1, 288, 288, 18]),
       helper.make_tensor_value_info("b", TensorProto.FLOAT, [1])],
      [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 288, 288, 18])])
)";
    const ProcResult r =
        lmr::testing::run({"/usr/bin/python3", "-c", script, dir_->path().string()}, {}, 120);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string path(const std::string& name) { return (*dir_ / (name + ".onnx")).string(); }
  static TempDir* dir_;
};
TempDir* GeneratedModels::dir_ = nullptr;

TEST_F(GeneratedModels, TestTensorIsHalfExceptTheLastSixChannels) {
  const ProcResult r = run_lmr({"test-model", "--model", path("chanmean")});
  expect_report(r,
                "model loaded: " + path("chanmean") +
                    "\n"
                    "  input:  x float32 [1, ?, w, 18]\n"
                    "  output: y float32 [1, 1, 1, 18]\n",
                "  output shape: [1, 1, 1, 18]\n"
                "  range: 0.0000 to 0.5000, mean: 0.3333\n");
}

TEST_F(GeneratedModels, NonFloatOutputIsRefused) {
  const ProcResult r = run_lmr({"test-model", "--model", path("half")});
  EXPECT_EQ(r.exit_code(), 1);
  EXPECT_TRUE(r.err.ends_with("\nError: output 'y' holds float16 values, not float32\n")) << r.err;
}

TEST_F(GeneratedModels, OnlyTheFirstInputIsFed) {
  const ProcResult r = run_lmr({"test-model", "--model", path("firstonly")});
  EXPECT_EQ(r.exit_code(), 1);
  const std::string head = "model loaded: " + path("firstonly") +
                           "\n"
                           "  input:  a float32 [1, 288, 288, 18]\n"
                           "  input:  b float32 [1]\n"
                           "  output: y float32 [1, 288, 288, 18]\n";
  EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
  // The runtime may log the failure itself before the error line.
  const size_t error = r.err.find("\nError: ", head.size() - 1);
  ASSERT_NE(error, std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Missing Input: b", error), std::string::npos) << r.err;
}

}  // namespace
}  // namespace lmr::cli
