// The classifier's statistics on arbitrary images: a width and a height of
// any size, then whatever bytes follow (rows beyond them are ignored).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "content.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Mostly small sides, sometimes any 64-bit value.
  const bool huge = in.ConsumeBool();
  const uint64_t width =
      huge ? in.ConsumeIntegral<uint64_t>() : in.ConsumeIntegralInRange<uint64_t>(0, 400);
  const uint64_t height =
      huge ? in.ConsumeIntegral<uint64_t>() : in.ConsumeIntegralInRange<uint64_t>(0, 400);
  const std::vector<uint8_t> rgb = in.ConsumeRemainingBytes<uint8_t>();
  const lmr::content::Features f = lmr::content::features(rgb, width, height);
  if (!(f.flatness >= 0.0 && f.flatness <= 1.0 && f.palette >= 0.0 && f.palette <= 1.0))
    std::abort();
  return 0;
}
