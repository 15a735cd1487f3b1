#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "inference.h"
#include "platform.h"
#include "testing.h"

namespace lmr::inference {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

void touch(const fs::path& p) {
  fs::create_directories(p.parent_path());
  testing::write_file(p, "");
}

const std::string kLib = platform::kOrtLibraryName;

#ifdef __APPLE__
const std::string kVersioned = "libonnxruntime.1.29.0.dylib";
#else
const std::string kVersioned = kLib + ".1.29.0";
#endif

// The plain name beside the executable, then in runtime/, then a versioned
// name beside it, then one in the bundle's library folder (joined, not
// resolved); each row takes away the winner of the row before.
TEST(FindOrtLibrary, SearchOrder) {
  const std::string plain = kLib, runtime = "runtime/" + kLib,
                    bundle = std::string(platform::kOrtBundleDir) + "/" + kVersioned;
  struct Row {
    std::vector<std::string> present;
    std::string found;  // empty: nothing
  };
  const Row rows[] = {{{plain, runtime, kVersioned, bundle}, plain},
                      {{runtime, kVersioned, bundle}, runtime},
                      {{kVersioned, bundle}, kVersioned},
                      {{bundle}, bundle},
                      {{}, ""}};
  for (const Row& row : rows) {
    TempDir d;
    const fs::path exe_dir = d.path() / "Bundle" / "Contents" / "MacOS";
    fs::create_directories(exe_dir);
    for (const std::string& f : row.present)
      touch(exe_dir / f);
    const auto found = find_ort_library(exe_dir);
    if (row.found.empty()) {
      EXPECT_FALSE(found.has_value()) << found->string();
    } else {
      ASSERT_TRUE(found.has_value()) << row.found;
      EXPECT_EQ(found->string(), (exe_dir / row.found).string());
    }
  }
  EXPECT_FALSE(find_ort_library(fs::path("/nonexistent/folder")).has_value());
}

TEST(FindOrtLibrary, LookalikeNamesDoNotMatch) {
  TempDir d;
  touch(d / (kLib + ".bak"));
  touch(d / "libonnxruntime-gpu.so");
  touch(d / "libonnxruntime-gpu.dylib");
  touch(d / "libonnxruntime_providers_shared.so");
#ifdef __APPLE__
  EXPECT_FALSE(find_ort_library(d.path()).has_value());
#else
  // "libonnxruntime.so.bak" is a versioned-looking name on Linux; only the
  // prefix rule can reject the others.
  EXPECT_FALSE(platform::is_ort_library_name("libonnxruntime-gpu.so"));
  EXPECT_FALSE(platform::is_ort_library_name("libonnxruntime_providers_shared.so"));
  EXPECT_FALSE(platform::is_ort_library_name("libonnxruntime.sox"));
  EXPECT_TRUE(platform::is_ort_library_name("libonnxruntime.so.1.29.0"));
#endif
}

TEST(InitOrtDylib, PresetValueIsNeverChangedEvenWhenEmpty) {
  EXPECT_EXIT(
      {
        setenv("ORT_DYLIB_PATH", "", 1);
        init_ort_dylib();
        std::exit(std::string(std::getenv("ORT_DYLIB_PATH")).empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(InitOrtDylib, PublishesTheLibraryBesideTheExecutable) {
  EXPECT_EXIT(
      {
        unsetenv("ORT_DYLIB_PATH");
        init_ort_dylib();
        const char* v = std::getenv("ORT_DYLIB_PATH");
        std::exit(v != nullptr && fs::path(v) == testing::bin_dir() / kLib ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(InitOrtDylib, TelemetryOffUnlessTheCallerChose) {
  // Caller's value (nullptr: unset) -> the value the runtime will see.
  const std::pair<const char*, const char*> rows[] = {{nullptr, "1"}, {"0", "0"}, {"", ""}};
  for (const auto& [given, seen] : rows) {
    EXPECT_EXIT(
        {
          if (given != nullptr)
            setenv("ORT_DISABLE_TELEMETRY", given, 1);
          else
            unsetenv("ORT_DISABLE_TELEMETRY");
          init_ort_dylib();
          const char* v = std::getenv("ORT_DISABLE_TELEMETRY");
          std::exit(v != nullptr && std::string(v) == seen ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << (given != nullptr ? given : "unset");
  }
}

// Loading is once per process, so every outcome is checked in a child.
void expect_load_error(const char* dylib_path, const char* message) {
  EXPECT_EXIT(
      {
        setenv("ORT_DYLIB_PATH", dylib_path, 1);
        auto st = load_runtime();
        if (st)
          std::exit(0);
        std::fputs(st.error().message().c_str(), stderr);
        std::exit(3);
      },
      ::testing::ExitedWithCode(3), message);
}

TEST(LoadRuntime, MissingLibrary) {
  expect_load_error("/nonexistent/libonnxruntime.so", "^Failed to load ONNX Runtime dylib$");
}

TEST(LoadRuntime, LibraryWithoutTheEntryPoint) {
  // A relative name not beside the executable goes to the loader unchanged.
  expect_load_error("libz.so.1", "^`OrtGetApiBase` must be present in ONNX Runtime dylib$");
}

TEST(LoadRuntime, RealRuntimeThroughTheDiscoveredPath) {
  EXPECT_EXIT(
      {
        unsetenv("ORT_DYLIB_PATH");
        init_ort_dylib();
        auto env = environment();
        if (!env) {
          std::fputs(env.error().message().c_str(), stderr);
          std::exit(1);
        }
        for (const auto& p : Ort::GetAvailableProviders())
          std::fprintf(stderr, "%s\n", p.c_str());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "CPUExecutionProvider");
}

TEST(LoadRuntime, RelativeNameIsFoundBesideTheExecutable) {
  EXPECT_EXIT(
      {
        setenv("ORT_DYLIB_PATH", platform::kOrtLibraryName, 1);
        std::exit(load_runtime() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace lmr::inference
