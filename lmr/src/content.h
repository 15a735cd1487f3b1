// Content classification: graphic footage (flat areas, few dominant colours)
// versus natural camera footage, judged from six small sample frames.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.h"

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

// Probes `path`, extracts the six samples with ffmpeg and decides: true =
// natural, false = graphic. Errors: the probe's, ffmpeg's start failure, or
// "ffmpeg frame extraction failed: " + ffmpeg's stderr (or, when it said
// nothing, the missing frame's time or its exit status).
Result<bool> classify(const std::string& path);

}  // namespace lmr::content
