// Number reading and writing shared by the video module's files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace lmr::video {

// Decimal floating-point syntax only: optional sign, digits with an optional
// fraction, optional exponent. No white space, no "inf", "nan" or hex.
std::optional<double> parse_decimal(std::string_view s);
// Fixed-point with three decimals, as ffmpeg's time options take it.
std::string fixed3(double v);
// ffprobe's report (stdout) for `args`, or why there is none.
Result<std::string> ffprobe_report(const std::vector<std::string>& args);

}  // namespace lmr::video
