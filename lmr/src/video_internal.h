// Number reading and writing shared by the video module's files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lmr::video {

// Decimal floating-point syntax only: optional sign, digits with an optional
// fraction, optional exponent. No white space, no "inf", "nan" or hex.
std::optional<double> parse_decimal(std::string_view s);
// Fixed-point with three decimals, as ffmpeg's time options take it.
std::string fixed3(double v);

}  // namespace lmr::video
