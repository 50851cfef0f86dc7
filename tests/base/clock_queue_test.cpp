#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/message_box.h"
#include "base/msg_queue.h"
#include "base/thread_flag.h"

namespace drover {
namespace {

TEST(VirtualClock, SleepsAndExpiredWaitsAdvanceTimeAtOnce) {
  auto vc = std::make_shared<VirtualClock>(1000);
  ScopedClock scoped(vc);
  EXPECT_TRUE(Clock().IsVirtual());
  Clock().Sleep(250);
  EXPECT_EQ(Clock().NowMs(), 1250u);
  EXPECT_EQ(vc->SleptMs(), 250u);
  CEvent event(false, false);
  EXPECT_FALSE(Clock().WaitForEvent(event, 5000));
  EXPECT_EQ(Clock().NowMs(), 6250u);
  event.Set();
  EXPECT_TRUE(Clock().WaitForEvent(event, 5000));  // an auto-reset event is taken once
  EXPECT_EQ(Clock().NowMs(), 6250u);
  EXPECT_FALSE(event.IsSet());
  // A wait without time-out is ended by another thread.
  std::thread setter([&] { event.Set(); });
  EXPECT_TRUE(Clock().WaitForEvent(event, kInfinite));
  setter.join();
  EXPECT_EQ(Clock().TickCount(), 6250u);
}

TEST(MessageQueue, KeepsOrderAcrossThreads) {
  CMessageQueue<Message> queue;
  std::thread producer([&] {
    for (std::uint32_t i = 0; i < 1000; ++i) queue.Post(Message{i, i, 0});
  });
  for (std::uint32_t i = 0; i < 1000; ++i) {
    Message m = queue.Take();
    ASSERT_EQ(m.uMsg, i);
  }
  producer.join();
  EXPECT_FALSE(queue.TryTake().has_value());
}

TEST(MessageBox, DefaultButtonsAndTheConsoleForm) {
  const struct {
    unsigned type;
    int expected;
  } cases[] = {{MB_OK, IDOK}, {MB_OKCANCEL, IDOK}, {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
               {MB_YESNO | MB_ICONQUESTION, IDYES}, {MB_YESNO | MB_DEFBUTTON2, IDNO}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    EXPECT_EQ(DefaultButton(c.type), c.expected);
  }
  ConsoleMessageBox box;
  testing::internal::CaptureStderr();
  EXPECT_EQ(box.Show("Create Directory (/x/) : Failed !", "Drover", MB_OK | MB_ICONERROR), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Drover] Create Directory (/x/) : Failed !\n");
}

TEST(ThreadFlag, StopIsSeenOnlyWhileTheDialogFlagIsInstalled) {
  CThreadFlag flag;
  EXPECT_FALSE(StopRequested());
  flag.SetStopFlag(1);
  EXPECT_FALSE(StopRequested());  // no dialog: nothing to stop
  SetMainDialogThreadFlag(&flag);
  EXPECT_TRUE(StopRequested());
  flag.SetStopFlag(0);
  EXPECT_FALSE(StopRequested());
  SetMainDialogThreadFlag(nullptr);
}

}  // namespace
}  // namespace drover
