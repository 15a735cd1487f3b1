// prefs.json: the strict parser and the record, then the same bytes through
// prefs::load from a real file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "prefs.h"
#include "scratch.h"

using lmr::fuzz::scratch_dir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<lmr::prefs::Prefs> parsed;
  if (auto doc = lmr::prefs::parse_json_strict(text))
    parsed = lmr::prefs::from_json(*doc);

  lmr::fuzz::write_scratch("prefs.json", text);
  const lmr::prefs::Prefs loaded = lmr::prefs::load(scratch_dir());
  // load is exactly "the parsed record, or the full defaults".
  if (loaded != parsed.value_or(lmr::prefs::Prefs::defaults()))
    std::abort();
  return 0;
}
