#include "error.h"

#include <gtest/gtest.h>

namespace lmr {
namespace {

TEST(ErrorReport, MessageAlone) {
  EXPECT_EQ(report(Error("unknown command")), "Error: unknown command\n");
}

TEST(ErrorReport, OneCauseIsIndentedByFourSpaces) {
  Error e("load failed", Error("file missing"));
  EXPECT_EQ(report(e), "Error: load failed\n\nCaused by:\n    file missing\n");
}

TEST(ErrorReport, SeveralCausesAreNumberedAndMultiLineCausesAligned) {
  Error e("top", Error("middle", Error("bottom line 1\nline 2")));
  EXPECT_EQ(report(e),
            "Error: top\n\nCaused by:\n"
            "    0: middle\n"
            "    1: bottom line 1\n"
            "       line 2\n");
}

TEST(ErrorReport, SingleMultiLineCause) {
  Error e("top", Error("a\nb"));
  EXPECT_EQ(report(e), "Error: top\n\nCaused by:\n    a\n    b\n");
}

TEST(ErrorReport, OsErrorText) {
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace lmr
