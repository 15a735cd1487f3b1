// The info and test-model commands.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

#include "cli.h"
#include "content.h"
#include "inference.h"
#include "text.h"
#include "video.h"

namespace lmr::cli {

namespace {

// The value after the first `flag` in `args`, if there is one.
std::optional<std::string> option_value(Args args, const std::string& flag) {
  auto it = std::find(args.begin(), args.end(), flag);
  if (it == args.end() || it + 1 == args.end())
    return std::nullopt;
  return *(it + 1);
}

const char* element_type_name(ONNXTensorElementDataType type) {
  switch (type) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
      return "float32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
      return "uint8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8:
      return "int8";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16:
      return "uint16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16:
      return "int16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
      return "int32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64:
      return "int64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_STRING:
      return "string";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL:
      return "bool";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
      return "float16";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE:
      return "float64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32:
      return "uint32";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64:
      return "uint64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64:
      return "complex64";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128:
      return "complex128";
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
      return "bfloat16";
    default:
      return "other element type";
  }
}

// "float32 [1, 3, h, w]": free dimensions by their name, "?" when unnamed.
std::string tensor_description(const Ort::ConstTensorTypeAndShapeInfo& info) {
  const std::vector<int64_t> shape = info.GetShape();
  const std::vector<const char*> names = info.GetSymbolicDimensions();
  std::string out = std::string(element_type_name(info.GetElementType())) + " [";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i > 0)
      out += ", ";
    if (shape[i] >= 0)
      out += std::to_string(shape[i]);
    else if (i < names.size() && names[i] != nullptr && names[i][0] != '\0')
      out += names[i];
    else
      out += "?";
  }
  return out + "]";
}

std::string type_description(const Ort::TypeInfo& info) {
  switch (info.GetONNXType()) {
    case ONNX_TYPE_TENSOR:
      return tensor_description(info.GetTensorTypeAndShapeInfo());
    case ONNX_TYPE_SPARSETENSOR:
      return "sparse " + tensor_description(info.GetTensorTypeAndShapeInfo());
    case ONNX_TYPE_SEQUENCE:
      return "sequence";
    case ONNX_TYPE_MAP:
      return "map";
    case ONNX_TYPE_OPTIONAL:
      return "optional";
    case ONNX_TYPE_OPAQUE:
      return "opaque";
    default:
      return "unknown type";
  }
}

std::string shape_text(const std::vector<int64_t>& shape) {
  std::string out = "[";
  for (size_t i = 0; i < shape.size(); ++i)
    out += (i > 0 ? ", " : "") + std::to_string(shape[i]);
  return out + "]";
}

// Four decimals; NaN spelled the same whatever its sign bit.
std::string four_decimals(double v) {
  return std::isnan(v) ? std::string("NaN") : text::format("%.4f", v);
}

constexpr int64_t kTestSide = 288;
constexpr int64_t kTestChannels = 18;
// Channels 12 to 17 carry the previous output, which a first frame lacks.
constexpr int64_t kFirstZeroChannel = 12;

Result<int> run_test_model(const std::string& path) {
  Result<Ort::Env*> env = inference::environment();
  if (!env)
    return std::unexpected(env.error());

  Ort::Session session(**env, path.c_str(), Ort::SessionOptions());
  Ort::AllocatorWithDefaultOptions allocator;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::string block = "model loaded: " + path + "\n";
  for (size_t i = 0; i < session.GetInputCount(); ++i) {
    inputs.emplace_back(session.GetInputNameAllocated(i, allocator).get());
    block +=
        "  input:  " + inputs.back() + " " + type_description(session.GetInputTypeInfo(i)) + "\n";
  }
  for (size_t i = 0; i < session.GetOutputCount(); ++i) {
    outputs.emplace_back(session.GetOutputNameAllocated(i, allocator).get());
    block +=
        "  output: " + outputs.back() + " " + type_description(session.GetOutputTypeInfo(i)) + "\n";
  }
  print(block);
  if (inputs.empty())
    return fail("the model has no inputs: test-model feeds its tensor to the first input");
  if (outputs.empty())
    return fail("the model has no outputs: test-model reports on the first output");

  const std::vector<int64_t> shape = {1, kTestSide, kTestSide, kTestChannels};
  std::vector<float> data(static_cast<size_t>(kTestSide * kTestSide * kTestChannels), 0.5f);
  for (size_t i = 0; i < data.size(); ++i) {
    if (static_cast<int64_t>(i % kTestChannels) >= kFirstZeroChannel)
      data[i] = 0.0f;
  }
  const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const Ort::Value tensor =
      Ort::Value::CreateTensor<float>(memory, data.data(), data.size(), shape.data(), shape.size());

  const char* input_name = inputs.front().c_str();
  std::vector<const char*> output_names;
  for (const std::string& name : outputs)
    output_names.push_back(name.c_str());
  const auto start = std::chrono::steady_clock::now();
  std::vector<Ort::Value> results = session.Run(Ort::RunOptions{nullptr}, &input_name, &tensor, 1,
                                                output_names.data(), output_names.size());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const Ort::Value& first = results.front();
  if (!first.IsTensor())
    return fail("output '" + outputs.front() + "' is not a tensor");
  const Ort::TensorTypeAndShapeInfo info = first.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    return fail("output '" + outputs.front() + "' holds " +
                element_type_name(info.GetElementType()) + " values, not float32");
  }
  const size_t count = info.GetElementCount();
  const float* values = first.GetTensorData<float>();
  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  float sum = 0.0f;
  for (size_t i = 0; i < count; ++i) {
    const float v = values[i];
    // Comparisons with NaN are false, so NaN never becomes an extreme.
    if (v < lo)
      lo = v;
    if (v > hi)
      hi = v;
    sum += v;
  }
  const float mean = sum / static_cast<float>(count);

  print(text::format("\ninference done in %.3fs\n", seconds) +
        "  output shape: " + shape_text(info.GetShape()) + "\n" + "  range: " + four_decimals(lo) +
        " to " + four_decimals(hi) + ", mean: " + four_decimals(mean) + "\n");
  return 0;
}

}  // namespace

CommandResult info_command(Args args) {
  const std::optional<std::string> path = option_value(args, "-i");
  if (!path) {
    print("usage: lmr info -i <video>\n");
    return 1;
  }
  Result<video::VideoInfo> info = video::probe(*path);
  if (!info)
    return std::unexpected(info.error());
  // A clip read whole is read first: its frames count when the prober had no
  // count (a still image has one frame).
  std::optional<Result<content::Samples>> samples;
  if (content::read_whole(*info))
    samples = content::sample(*path, *info);
  uint64_t frames = info->frames;
  if (frames == 0 && samples && *samples)
    frames = (*samples)->frames;
  print(text::format("%llux%llu @ %s fps, %.1fs, ~%llu frames\n",
                     static_cast<unsigned long long>(info->width),
                     static_cast<unsigned long long>(info->height), info->r_frame_rate.c_str(),
                     info->duration, static_cast<unsigned long long>(frames)));
  if (!samples)
    samples = content::sample(*path, *info);
  if (*samples)
    print(std::string("content: ") +
          (content::is_natural((*samples)->features) ? "natural" : "graphic") + "\n");
  else
    print("content: unknown (" + samples->error().message() + ")\n");
  return 0;
}

CommandResult test_model_command(Args args) {
  const std::optional<std::string> path = option_value(args, "--model");
  if (!path) {
    print("usage: lmr test-model --model <path.onnx>\n");
    return 1;
  }
  try {
    return run_test_model(*path);
  } catch (const Ort::Exception& e) {
    return std::unexpected(Error(e.what()));
  }
}

}  // namespace lmr::cli
