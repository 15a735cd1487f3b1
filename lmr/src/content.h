// Content classification: graphic footage (flat areas, few dominant colours)
// versus natural camera footage, judged from six small sample frames.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "video.h"

namespace lmr::content {

// Width of every sample frame; ffmpeg picks the height to keep the aspect.
inline constexpr uint64_t kSampleWidth = 320;
// A sample shorter than three rows is an extraction failure.
inline constexpr uint64_t kMinSampleBytes = 3 * kSampleWidth * 3;
// A sample is graphic-looking at or above both thresholds.
inline constexpr double kFlatnessThreshold = 0.7;
inline constexpr double kPaletteThreshold = 0.75;

// Integer luma, 0 to 255.
constexpr int32_t luma(uint8_t r, uint8_t g, uint8_t b) {
  return (77 * r + 150 * g + 29 * b) >> 8;
}

struct Features {
  double flatness = 0.0;  // share of interior non-dark pixels with flat neighbours
  double palette = 0.0;   // share of non-dark pixels in the 8 fullest colour bins
};

// Statistics of a width x height rgb24 image (rows beyond the bytes given are
// ignored). (0, 0) when there is no content box or the box is mostly dark.
Features features(std::span<const uint8_t> rgb, uint64_t width, uint64_t height);

// The verdict from six samples' statistics: true = natural, false = graphic
// (both upper medians at or above their thresholds).
bool is_natural(std::span<const Features, 6> samples);

// The six seek times (seconds) spread over `duration`.
std::array<double, 6> sample_times(double duration);
// ffmpeg's arguments extracting one sample of `path` at `seconds`.
std::vector<std::string> sample_args(const std::string& path, double seconds);

// A clip of fewer frames than this is read whole from its start: its last
// seeks would land past its last frame, where ffmpeg finds none.
inline constexpr uint64_t kShortClipFrames = 24;
// Frames decoded at most when a clip is read whole (twice the short limit,
// for counts that were only estimated).
inline constexpr uint64_t kMaxWholeFrames = 48;

// Whether the clip `info` describes is read whole rather than by seeks: fewer
// than kShortClipFrames frames, counted or estimated from its duration and
// rate, or a length that is unknown (a still image has none).
bool read_whole(const video::VideoInfo& info);
// ffmpeg's arguments decoding at most kMaxWholeFrames frames of `path` from
// its start into binary PPM images of the samples' width.
std::vector<std::string> whole_clip_args(const std::string& path);

// One binary PPM image (P6, maximum 255) of a stream of them.
struct PpmImage {
  uint64_t width = 0;
  uint64_t height = 0;
  std::span<const uint8_t> rgb;
};
// The images of `bytes`, in order, viewing its bytes; an error for anything
// else, or for an image cut short.
Result<std::vector<PpmImage>> split_ppm(std::span<const uint8_t> bytes);
// Which of `n` frames stand for the six equal slices of a clip: the frames
// at their centres (the same frame several times when n < 6).
std::array<uint64_t, 6> sample_indices(uint64_t n);

struct Samples {
  std::array<Features, 6> features{};
  // The clip's frame count when it was read whole to its end; 0 when it was
  // sampled by seeks or had more than kMaxWholeFrames - 1 frames.
  uint64_t frames = 0;
};
// The six samples of `path`, whose probe is `info`: by seeks to the slice
// centres, or from the frames of a clip read whole. Errors: ffmpeg's start
// failure, or "ffmpeg frame extraction failed: " + ffmpeg's stderr (or, when
// it said nothing, the missing frame's time, the count of frames decoded, or
// its exit status).
Result<Samples> sample(const std::string& path, const video::VideoInfo& info);

// Probes `path`, takes the six samples and decides: true = natural, false =
// graphic. Errors: the probe's, or the sampling's.
Result<bool> classify(const std::string& path);

}  // namespace lmr::content
