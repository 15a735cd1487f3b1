#include "pipeline.h"

namespace lmr::pipeline {

// Placeholders until the pipelines land.
Status run_upscale(const UpscaleConfig&) {
  return fail("upscale pipeline not built yet");
}
Status run_fgnet_upscale(const UpscaleConfig&) {
  return fail("fgnet pipeline not built yet");
}

}  // namespace lmr::pipeline
