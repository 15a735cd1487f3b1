#include "content.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>

#include "ffbin.h"
#include "text.h"
#include "video.h"

namespace lmr::content {

namespace {

// A line whose luma range is at most this is a uniform border (letterbox).
constexpr int32_t kBorderRange = 6;
// Luma below this is dark and carries no evidence either way.
constexpr int32_t kDarkLuma = 24;
// A pixel is flat when every neighbour's luma is closer than this.
constexpr int32_t kFlatStep = 3;
constexpr size_t kPaletteBins = 8;

struct Box {
  size_t x0, y0, x1, y1;
};

class LumaPlane {
 public:
  LumaPlane(std::span<const uint8_t> rgb, size_t width, size_t height)
      : width_(width), values_(width * height) {
    for (size_t i = 0; i < values_.size(); ++i)
      values_[i] = luma(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
  }
  int32_t at(size_t x, size_t y) const { return values_[y * width_ + x]; }

  int32_t row_range(size_t y) const {
    auto row = std::span(values_).subspan(y * width_, width_);
    auto [lo, hi] = std::minmax_element(row.begin(), row.end());
    return *hi - *lo;
  }
  int32_t column_range(size_t x, size_t y0, size_t y1) const {
    int32_t lo = at(x, y0);
    int32_t hi = lo;
    for (size_t y = y0 + 1; y < y1; ++y) {
      lo = std::min(lo, at(x, y));
      hi = std::max(hi, at(x, y));
    }
    return hi - lo;
  }

 private:
  size_t width_;
  std::vector<int32_t> values_;
};

// The smallest box outside of which every row and column is uniform, or
// nothing when no row has content.
std::optional<Box> content_box(const LumaPlane& plane, size_t width, size_t height) {
  size_t y0 = 0;
  while (y0 < height && plane.row_range(y0) <= kBorderRange)
    ++y0;
  if (y0 == height)
    return std::nullopt;
  size_t y1 = height;
  while (plane.row_range(y1 - 1) <= kBorderRange)  // stops at y0 at the latest
    --y1;
  size_t x0 = 0;
  while (x0 < width && plane.column_range(x0, y0, y1) <= kBorderRange)
    ++x0;
  if (x0 == width)
    return std::nullopt;
  size_t x1 = width;
  while (plane.column_range(x1 - 1, y0, y1) <= kBorderRange)
    --x1;
  return Box{x0, y0, x1, y1};
}

double upper_median(std::array<double, 6> values) {
  std::sort(values.begin(), values.end());
  return values[3];
}

}  // namespace

Features features(std::span<const uint8_t> rgb, uint64_t width, uint64_t height) {
  if (width == 0)
    return {};
  const size_t w = width;
  const size_t h = std::min<uint64_t>(height, rgb.size() / 3 / width);
  const LumaPlane plane(rgb, w, h);

  const std::optional<Box> found = content_box(plane, w, h);
  if (!found || found->y1 - found->y0 < 3 || found->x1 - found->x0 < 3)
    return {};
  const Box box = *found;

  std::vector<uint64_t> bins(4096, 0);
  uint64_t non_dark = 0;
  uint64_t interior = 0;
  uint64_t flat = 0;
  for (size_t y = box.y0; y < box.y1; ++y) {
    for (size_t x = box.x0; x < box.x1; ++x) {
      const int32_t l = plane.at(x, y);
      if (l < kDarkLuma)
        continue;
      ++non_dark;
      const uint8_t* px = &rgb[3 * (y * w + x)];
      ++bins[(px[0] >> 4) * 256 + (px[1] >> 4) * 16 + (px[2] >> 4)];
      if (y > box.y0 && y + 1 < box.y1 && x > box.x0 && x + 1 < box.x1) {
        ++interior;
        const int32_t step =
            std::max({std::abs(l - plane.at(x - 1, y)), std::abs(l - plane.at(x + 1, y)),
                      std::abs(l - plane.at(x, y - 1)), std::abs(l - plane.at(x, y + 1))});
        if (step < kFlatStep)
          ++flat;
      }
    }
  }

  const double area = static_cast<double>((box.x1 - box.x0) * (box.y1 - box.y0));
  if (static_cast<double>(non_dark) < area / 4.0 || interior == 0)
    return {};

  std::partial_sort(bins.begin(), bins.begin() + kPaletteBins, bins.end(), std::greater<>());
  uint64_t top = 0;
  for (size_t i = 0; i < kPaletteBins; ++i)
    top += bins[i];
  return {static_cast<double>(flat) / static_cast<double>(interior),
          static_cast<double>(top) / static_cast<double>(non_dark)};
}

bool is_natural(std::span<const Features, 6> samples) {
  std::array<double, 6> flatness{};
  std::array<double, 6> palette{};
  for (size_t i = 0; i < samples.size(); ++i) {
    flatness[i] = samples[i].flatness;
    palette[i] = samples[i].palette;
  }
  const bool graphic =
      upper_median(flatness) >= kFlatnessThreshold && upper_median(palette) >= kPaletteThreshold;
  return !graphic;
}

std::array<double, 6> sample_times(double duration) {
  std::array<double, 6> times{};
  for (size_t i = 0; i < times.size(); ++i)
    times[i] = duration * (static_cast<double>(i) + 0.5) / 6.0;
  return times;
}

std::vector<std::string> sample_args(const std::string& path, double seconds) {
  return {"-v",
          "error",
          "-protocol_whitelist",
          video::kProtocolWhitelist,
          "-ss",
          text::format("%.3f", seconds),
          "-i",
          video::file_arg(path),
          "-map",
          "0:V:0",
          "-frames:v",
          "1",
          "-vf",
          text::format("scale=%llu:-2:flags=area", static_cast<unsigned long long>(kSampleWidth)),
          "-pix_fmt",
          "rgb24",
          "-f",
          "rawvideo",
          "-"};
}

bool read_whole(const video::VideoInfo& info) {
  if (info.frames > 0)
    return info.frames < kShortClipFrames;
  if (!(info.duration > 0.0))
    return true;
  const std::string_view rate = info.r_frame_rate;
  const size_t slash = rate.find('/');
  const Result<uint64_t> num = text::parse_unsigned(rate.substr(0, slash));
  const Result<uint64_t> den =
      text::parse_unsigned(slash == std::string_view::npos ? "1" : rate.substr(slash + 1));
  // Without a rate, as at 24 frames a second.
  const double fps = num && den && *num > 0 && *den > 0
                         ? static_cast<double>(*num) / static_cast<double>(*den)
                         : 24.0;
  return info.duration * fps < static_cast<double>(kShortClipFrames);
}

std::vector<std::string> whole_clip_args(const std::string& path) {
  return {"-v",
          "error",
          "-protocol_whitelist",
          video::kProtocolWhitelist,
          "-i",
          video::file_arg(path),
          "-map",
          "0:V:0",
          "-frames:v",
          std::to_string(kMaxWholeFrames),
          "-vf",
          text::format("scale=%llu:-2:flags=area", static_cast<unsigned long long>(kSampleWidth)),
          "-pix_fmt",
          "rgb24",
          "-c:v",
          "ppm",
          "-f",
          "image2pipe",
          "-"};
}

Result<std::vector<PpmImage>> split_ppm(std::span<const uint8_t> bytes) {
  std::vector<PpmImage> images;
  size_t at = 0;
  auto space = [&](uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  // A header number after its white space; nothing when there is none.
  auto number = [&]() -> std::optional<uint64_t> {
    while (at < bytes.size() && space(bytes[at]))
      ++at;
    const size_t begin = at;
    uint64_t v = 0;
    while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9' && at - begin < 9)
      v = v * 10 + (bytes[at++] - '0');
    if (at == begin || (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9'))
      return std::nullopt;
    return v;
  };
  while (at < bytes.size()) {
    const size_t start = at;
    auto bad = [&](const char* what) {
      return fail(text::format("image %zu at byte %zu: %s", images.size() + 1, start, what));
    };
    if (bytes.size() - at < 2 || bytes[at] != 'P' || bytes[at + 1] != '6')
      return bad("not a binary PPM image");
    at += 2;
    const std::optional<uint64_t> w = number(), h = number(), max = number();
    if (!w || !h || !max || at >= bytes.size() || !space(bytes[at]))
      return bad("unreadable header");
    if (*max != 255)
      return bad("not 8 bits a channel");
    ++at;
    const uint64_t size = *w * *h * 3;
    if (bytes.size() - at < size)
      return bad("cut short");
    images.push_back({*w, *h, bytes.subspan(at, size)});
    at += size;
  }
  return images;
}

std::array<uint64_t, 6> sample_indices(uint64_t n) {
  std::array<uint64_t, 6> at{};
  for (uint64_t i = 0; i < at.size(); ++i)
    at[i] = (n * (2 * i + 1)) / 12;
  return at;
}

namespace {

// ffmpeg's run with its stdout collected.
Result<ffbin::Output> run_ffmpeg(const std::vector<std::string>& args) {
  Result<ffbin::Command> cmd = ffbin::command("ffmpeg");
  if (!cmd)
    return std::unexpected(cmd.error());
  cmd->args(args)
      .set_stdin(ffbin::Stdio::kNull)
      .set_stdout(ffbin::Stdio::kPipe)
      .set_stderr(ffbin::Stdio::kPipe);
  return cmd->output();
}

// ffmpeg's own words, else `silent` for a run that ended well (it says
// nothing when there was no frame to give), else its exit status.
std::unexpected<Error> extraction_failed(const ffbin::Output& out, const std::string& silent) {
  std::string why = text::lossy_utf8(out.stderr_text);
  if (text::trim(why).empty())
    why = out.success() ? silent : ffbin::exit_status_text(out.wait_status);
  return fail("ffmpeg frame extraction failed: " + why);
}

Features features_of(std::span<const uint8_t> rgb, uint64_t width) {
  return features(rgb, width, rgb.size() / (width * 3));
}

Result<Samples> sample_by_seeks(const std::string& path, const video::VideoInfo& info) {
  Samples samples;
  const std::array<double, 6> times = sample_times(info.duration);
  for (size_t i = 0; i < times.size(); ++i) {
    Result<ffbin::Output> out = run_ffmpeg(sample_args(path, times[i]));
    if (!out)
      return std::unexpected(out.error());
    const std::string& bytes = out->stdout_text;
    if (!out->success() || bytes.size() < kMinSampleBytes) {
      return extraction_failed(
          *out, text::format("no frame at %.3f s (%zu bytes decoded)", times[i], bytes.size()));
    }
    samples.features[i] = features_of(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), kSampleWidth);
  }
  return samples;
}

Result<Samples> sample_whole(const std::string& path) {
  Result<ffbin::Output> out = run_ffmpeg(whole_clip_args(path));
  if (!out)
    return std::unexpected(out.error());
  const std::string& bytes = out->stdout_text;
  Result<std::vector<PpmImage>> images =
      split_ppm(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  if (!out->success() || bytes.empty())
    return extraction_failed(*out, "no frame decoded");
  if (!images)
    return fail("ffmpeg frame extraction failed: " + images.error().message());
  Samples samples;
  const uint64_t n = images->size();
  const std::array<uint64_t, 6> at = sample_indices(n);
  for (size_t i = 0; i < at.size(); ++i) {
    const PpmImage& image = (*images)[at[i]];
    if (image.width == 0 || image.height < 3) {
      return fail(text::format("ffmpeg frame extraction failed: frame %llu is %llux%llu",
                               static_cast<unsigned long long>(at[i] + 1),
                               static_cast<unsigned long long>(image.width),
                               static_cast<unsigned long long>(image.height)));
    }
    samples.features[i] = features(image.rgb, image.width, image.height);
  }
  samples.frames = n < kMaxWholeFrames ? n : 0;
  return samples;
}

}  // namespace

Result<Samples> sample(const std::string& path, const video::VideoInfo& info) {
  return read_whole(info) ? sample_whole(path) : sample_by_seeks(path, info);
}

Result<bool> classify(const std::string& path) {
  Result<video::VideoInfo> info = video::probe(path);
  if (!info)
    return std::unexpected(info.error());
  Result<Samples> samples = sample(path, *info);
  if (!samples)
    return std::unexpected(samples.error());
  return is_natural(samples->features);
}

}  // namespace lmr::content
