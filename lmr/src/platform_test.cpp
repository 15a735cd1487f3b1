#include "platform.h"

#include <malloc.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace lmr::platform {
namespace {

TEST(KeepFreedMemory, ThreadsOfEveryFrameShareOneHeap) {
  keep_freed_memory();
  // As the frame loop does: rounds of short-lived threads that allocate and
  // free big blocks at the same time.
  for (int round = 0; round < 4; ++round) {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([] {
        std::vector<char> block(4 << 20, 1);
        volatile char sink = block[block.size() / 2];
        (void)sink;
      });
    }
  }
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  ASSERT_NE(f, nullptr);
  malloc_info(0, f);
  fclose(f);
  const std::string xml(text, size);
  free(text);
  EXPECT_NE(xml.find("<heap nr=\"0\">"), std::string::npos);
  EXPECT_EQ(xml.find("<heap nr=\"1\">"), std::string::npos) << xml;
}

TEST(DefaultAppData, FromTheEnvironment) {
  struct Row {
    std::map<std::string, std::string> env;  // absent: unset
    std::string expected;
  };
#ifdef __APPLE__
  const Row rows[] = {
      {{{"HOME", "/Users/a"}}, "/Users/a/Library/Application Support/app.id"},
      {{{"HOME", "/Users/a/"}, {"XDG_DATA_HOME", "/x"}},
       "/Users/a/Library/Application Support/app.id"},
      {{}, "Library/Application Support/app.id"},
  };
#else
  const Row rows[] = {
      {{{"HOME", "/home/a/"}}, "/home/a/.local/share/lumerant"},
      {{{"HOME", "/home/a"}, {"XDG_DATA_HOME", "/data/"}}, "/data/lumerant"},
      {{{"XDG_DATA_HOME", "/data"}}, "/data/lumerant"},
      // Empty or relative values are not a folder the user chose.
      {{{"HOME", "/home/a"}, {"XDG_DATA_HOME", ""}}, "/home/a/.local/share/lumerant"},
      {{{"HOME", "/home/a"}, {"XDG_DATA_HOME", "data"}}, "/home/a/.local/share/lumerant"},
      {{{"HOME", ""}}, ".local/share/lumerant"},
      {{}, ".local/share/lumerant"},
  };
#endif
  for (const Row& row : rows) {
    auto env = [&](const char* name) -> std::optional<std::string> {
      auto it = row.env.find(name);
      return it == row.env.end() ? std::nullopt : std::optional(it->second);
    };
    EXPECT_EQ(default_app_data(env, "app.id"), std::filesystem::path(row.expected))
        << testing::PrintToString(row.env);
  }
}

}  // namespace
}  // namespace lmr::platform
