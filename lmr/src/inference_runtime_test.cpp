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

TEST(FindOrtLibrary, PlainNameBesideTheExecutableWinsOverRuntimeFolder) {
  TempDir d;
  touch(d / kLib);
  touch(d.path() / "runtime" / kLib);
  EXPECT_EQ(find_ort_library(d.path()), d.path() / kLib);
}

TEST(FindOrtLibrary, RuntimeFolder) {
  TempDir d;
  touch(d.path() / "runtime" / kLib);
  EXPECT_EQ(find_ort_library(d.path()), d.path() / "runtime" / kLib);
}

TEST(FindOrtLibrary, VersionedNameOnly) {
  TempDir d;
  std::string versioned = kLib + ".1.29.0";
#ifdef __APPLE__
  versioned = "libonnxruntime.1.29.0.dylib";
#endif
  touch(d / versioned);
  EXPECT_EQ(find_ort_library(d.path()), d.path() / versioned);
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

TEST(FindOrtLibrary, BundleLibraryFolderIsJoinedUnresolved) {
  TempDir d;
  fs::path macos = d.path() / "Bundle" / "Contents" / "MacOS";
  fs::create_directories(macos);
  std::string name = kLib + ".1.29.0";
#ifdef __APPLE__
  name = "libonnxruntime.1.29.0.dylib";
#endif
  touch(macos / platform::kOrtBundleDir / name);
  EXPECT_EQ(find_ort_library(macos)->string(), (macos / platform::kOrtBundleDir / name).string());
}

TEST(FindOrtLibrary, NothingFound) {
  TempDir d;
  EXPECT_FALSE(find_ort_library(d.path()).has_value());
  EXPECT_FALSE(find_ort_library(d.path() / "missing").has_value());
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
