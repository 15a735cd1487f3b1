#include "error.h"

#include <gtest/gtest.h>

namespace lmr {
namespace {

TEST(ErrorReport, CausesIndentedAndNumberedWhenSeveral) {
  const std::pair<Error, std::string> rows[] = {
      {Error("unknown command"), "Error: unknown command\n"},
      {Error("load failed", Error("file missing")),
       "Error: load failed\n\nCaused by:\n    file missing\n"},
      {Error("top", Error("a\nb")), "Error: top\n\nCaused by:\n    a\n    b\n"},
      {Error("top", Error("middle", Error("bottom line 1\nline 2"))),
       "Error: top\n\nCaused by:\n    0: middle\n    1: bottom line 1\n       line 2\n"},
  };
  for (const auto& [error, printed] : rows)
    EXPECT_EQ(report(error), printed);
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace lmr
