// The main of a benchmark tool that loads the runtime: arguments parsed,
// the tool run, any error (a bad number from std::stoi included) printed
// with its causes; exit 1 on failure.
#pragma once

#include <cstdio>
#include <exception>
#include <string>

#include "error.h"
#include "inference.h"

namespace bench {

template <typename Parse, typename Run>
int main_of(const char* name, int argc, char** argv, Parse parse, Run run) {
  lmr::inference::init_ort_dylib();
  lmr::Status st;
  try {
    auto args = parse(argc, argv);
    st = args ? run(*args) : lmr::Status(std::unexpected(args.error()));
  } catch (const std::exception& e) {
    st = lmr::fail(std::string(name) + ": " + e.what());
  }
  if (!st) {
    std::fputs(lmr::report(st.error()).c_str(), stderr);
    return 1;
  }
  return 0;
}

}  // namespace bench
