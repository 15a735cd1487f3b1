// ffprobe's report as the probe receives it: any bytes that are UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text.h"
#include "video.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view report(reinterpret_cast<const char*>(data), size);
  // The probe refuses anything else before it parses.
  if (!lmr::text::is_valid_utf8(report))
    return -1;
  auto info = lmr::video::parse_probe_report(report, "in.mp4");
  if (!info) {
    // A report without a stream says so; any other quotes the whole report.
    const std::string& said = info.error().message();
    if (said != "no video stream in in.mp4" && !said.ends_with(report))
      std::abort();
    return 0;
  }
  if (!(info->duration == info->duration))
    std::abort();
  return 0;
}
