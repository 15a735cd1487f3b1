#include "cli.h"

#include <unistd.h>

#include <cerrno>
#include "text.h"

namespace lmr::cli {

const char* const kWebDomain = "lumerant.app";
const char* const kAppIdentifier = "app.lumerant.desktop";

std::string banner() {
  const std::string esc = "\x1b";
  const std::string logo = esc + "[38;5;33m";
  const std::string reset = esc + "[0m";
  return "\n" + logo + " \u2572\u2571  \u2571\u2572" + reset + "\n" + logo +
         "  \u2572\u2571\u2571" + reset + "   " + esc + "[1mLumerant" + reset + " v0.1.0\n" + logo +
         "  \u2571\u2572" + reset + "    AI Video Enhancement Engine\n" + logo + " \u2571  \u2572" +
         reset + "   " + esc + "[2m" + kWebDomain + reset + "\n\n";
}

std::string usage() {
  return "USAGE:\n"
         "  lmr upscale -m <model-name> -i <input> -o <output> [options]\n"
         "  lmr upscale --model <path.onnx> -i <input> -o <output> [options]\n"
         "  lmr download -m <model-name> [--scale N]\n"
         "  lmr models\n"
         "  lmr info -i <video>\n"
         "  lmr --version\n"
         "\n"
         "UPSCALE OPTIONS:\n"
         "  -m <name>          Catalogue model id (e.g. quelt, sorvan); must be downloaded in the "
         "app\n"
         "  --model <path>     Direct path to ONNX model or .tz archive\n"
         "  -i <input>         Input video\n"
         "  -o <output>        Output video\n"
         "  --scale <N>        Scale factor (default: 2)\n"
         "  --tile <WxH>       Tile size (default: auto from model)\n"
         "  --overlap <N>      Overlap pixels (default: 16)\n"
         "  --ep <name>        Execution provider: coreml, cpu (default: coreml)\n"
         "  --codec <name>     h264, h265, prores (default: h264)\n"
         "  --quality <N>      Encoder quality 1-100 (default: 80)\n"
         "  --max-frames <N>   Process at most N frames\n"
         "\n";
}

std::string version_line() {
  return std::string("lmr 0.1.0 (") + kWebDomain + ")\n";
}

void print(const std::string& text) {
  text::write_stderr(text);
}

Result<uint64_t> parse_number(std::string_view value, const NumberRange& range) {
  Result<uint64_t> n = text::parse_unsigned(value, range.parse_max);
  if (!n)
    return std::unexpected(Error(range.rule, n.error()));
  if (*n < range.min || *n > range.max)
    return fail(range.rule);
  return *n;
}

CommandResult dispatch(Args args) {
  if (args.size() < 2) {
    print(banner() + usage());
    return 0;
  }
  const std::string& cmd = args[1];
  Args rest = args.subspan(2);
  if (cmd == "-h" || cmd == "--help") {
    print(banner() + usage());
    return 0;
  }
  if (cmd == "-V" || cmd == "--version") {
    print(version_line());
    return 0;
  }
  if (cmd == "upscale")
    return upscale_command(rest);
  if (!cmd.empty() && cmd[0] == '-')
    return upscale_command(args.subspan(1));
  if (cmd == "download")
    return download_command(rest);
  if (cmd == "models")
    return models_command(rest);
  if (cmd == "info")
    return info_command(rest);
  if (cmd == "test-model")
    return test_model_command(rest);
  print("unknown command: " + cmd + "\n" + banner() + usage());
  return std::unexpected(Error("unknown command"));
}

}  // namespace lmr::cli
