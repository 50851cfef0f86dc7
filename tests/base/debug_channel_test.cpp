#include "base/debug_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/clock.h"
#include "tests/support/temp_dir.h"

namespace drover {
namespace {

using testing_support::ReadAll;
using testing_support::TempDir;

TEST(DebugCapture, AppendsOwnStringsRawAndSkipsOtherProcesses) {
  TempDir dir;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(DebugCaptureStart(dir.Path() + "/"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Tracing PID: " + std::to_string(::getpid()) + "\n");
  EXPECT_TRUE(DebugCaptureRunning());
  OutputDebugString("abc");
  PostDebugString(static_cast<std::uint32_t>(::getpid()) + 1, "other process");
  OutputDebugString("def\r\n");
  OutputDebugString(std::string_view("gh\0ignored", 10));
  OutputDebugString("");
  DebugCaptureStop();
  EXPECT_FALSE(DebugCaptureRunning());
  EXPECT_EQ(ReadAll(dir.File("DebugLog.txt")), "abcdef\r\ngh");
  // After the stop nothing more is written.
  OutputDebugString("late");
  EXPECT_EQ(ReadAll(dir.File("DebugLog.txt")), "abcdef\r\ngh");
}

TEST(DebugCapture, StopIsPromptWithoutFurtherOutput) {
  TempDir dir;
  // A virtual clock must not make the stop give up early: strings come from real threads.
  ScopedClock clock(std::make_shared<VirtualClock>());
  testing::internal::CaptureStdout();
  ASSERT_TRUE(DebugCaptureStart(dir.Path() + "/"));
  testing::internal::GetCapturedStdout();
  const auto t0 = std::chrono::steady_clock::now();
  DebugCaptureStop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(ReadAll(dir.File("DebugLog.txt")), "");
  DebugCaptureStop();  // a second stop has nothing to end
}

TEST(DebugCapture, StringsFromOtherThreadsBeforeTheStopAreKept) {
  TempDir dir;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(DebugCaptureStart(dir.Path() + "/"));
  testing::internal::GetCapturedStdout();
  std::thread a([] { for (int i = 0; i < 100; ++i) OutputDebugString("a"); });
  std::thread b([] { for (int i = 0; i < 100; ++i) OutputDebugString("bb"); });
  a.join();
  b.join();
  DebugCaptureStop();
  const std::string log = ReadAll(dir.File("DebugLog.txt"));
  EXPECT_EQ(log.size(), 300u);
  EXPECT_EQ(std::count(log.begin(), log.end(), 'a'), 100);
}

TEST(DebugCapture, RestartTruncatesAndUnwritableDirectoryMeansNoCapture) {
  TempDir dir;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(DebugCaptureStart(dir.Path() + "/"));
  OutputDebugString("first run");
  ASSERT_TRUE(DebugCaptureStart(dir.Path() + "/"));  // closes the previous capture first
  OutputDebugString("second");
  DebugCaptureStop();
  EXPECT_FALSE(DebugCaptureStart(dir.Path() + "/missing/"));
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(DebugCaptureRunning());
  EXPECT_EQ(ReadAll(dir.File("DebugLog.txt")), "second");
  OutputDebugString("dropped");  // no capture: nothing happens
  DebugCaptureStop();
}

}  // namespace
}  // namespace drover
