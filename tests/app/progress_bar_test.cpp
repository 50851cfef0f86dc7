// The progress bar follows the engine's posts and never draws off a terminal.
#include "app/progress_bar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/status.h"

namespace drover {
namespace {

std::string Drain(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string out;
  for (int c; (c = std::fgetc(f)) != EOF;) out += static_cast<char>(c);
  return out;
}

TEST(ProgressBar, FollowsProgressAndStepPosts) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  CConsoleProgress bar(f, true);
  {
    ScopedProgressSink sink(bar);
    PostToDialog(UM_STEP, 41719, 0);  // "Erasing"
    EXPECT_EQ(bar.Line(), "[" + std::string(30, '.') + "]   0% Erasing");
    PostToDialog(UM_PROGRESS, 50, 0);
    EXPECT_EQ(bar.Line(), "[" + std::string(15, '#') + std::string(15, '.') + "]  50% Erasing");
    PostToDialog(UM_STEP, 0, 0);  // a redraw only
    PostToDialog(UM_PROGRESS, 250, 0);
    EXPECT_EQ(bar.Line(), "[" + std::string(30, '#') + "] 100% Erasing");
    PostToDialog(UM_STATUS, 41906, 0);  // other posts are not the bar's
    EXPECT_EQ(bar.Line(), "[" + std::string(30, '#') + "] 100% Erasing");
  }
  const std::string out = Drain(f);
  EXPECT_NE(out.find("\r[###"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 4), "\r\x1b[K");  // wiped at the end of the job
  PostToDialog(UM_PROGRESS, 10, 0);  // the sink is gone
  EXPECT_EQ(bar.Line(), "[" + std::string(30, '#') + "] 100% Erasing");
  std::fclose(f);
  SetLastStatus(0);
}

TEST(ProgressBar, DisabledBarWritesNothing) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  CConsoleProgress bar(f, false);
  {
    ScopedProgressSink sink(bar);
    PostToDialog(UM_STEP, 41721, 0);
    PostToDialog(UM_PROGRESS, 40, 0);
  }
  EXPECT_EQ(Drain(f), "");
  EXPECT_FALSE(bar.Enabled());
  std::fclose(f);
  SetLastStatus(0);
}

}  // namespace
}  // namespace drover
