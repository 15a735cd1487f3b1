#include "platform.h"

#include <malloc.h>
#include <stdio.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace lmr::platform {
namespace {

// Number of malloc heaps (arenas) glibc reports.
int heaps() {
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  if (f == nullptr)
    return -1;
  malloc_info(0, f);
  fclose(f);
  std::string xml(text, size);
  free(text);
  int n = 0;
  for (size_t at = xml.find("<heap nr="); at != std::string::npos;
       at = xml.find("<heap nr=", at + 1))
    ++n;
  return n;
}

TEST(KeepFreedMemory, ThreadsOfEveryFrameShareOneHeap) {
  keep_freed_memory();
  // As the frame loop does: rounds of short-lived threads that allocate and
  // free big blocks at the same time.
  for (int round = 0; round < 4; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([] {
        std::vector<char> block(4 << 20, 1);
        volatile char sink = block[block.size() / 2];
        (void)sink;
      });
    }
    for (auto& t : threads)
      t.join();
  }
  EXPECT_EQ(heaps(), 1);
}

}  // namespace
}  // namespace lmr::platform
