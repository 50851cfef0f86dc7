#include "app/kes_thread.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "base/clock.h"
#include "base/status.h"

namespace drover {
namespace {

class RecordingSink final : public IPostSink {
 public:
  void OnPost(std::uint32_t message, std::uintptr_t, std::intptr_t) override {
    std::lock_guard<std::mutex> g(lock);
    messages.push_back(message);
  }
  std::mutex lock;
  std::vector<std::uint32_t> messages;
};

TEST(KesThread, RunsJobsOneAtATimeInOrderAndEndsOnQuit) {
  RecordingSink sink;
  SetPostSink(&sink);
  std::vector<std::pair<std::uint32_t, std::uintptr_t>> done;
  int running = 0;
  int overlap = 0;
  CKesThread worker;
  for (std::uint32_t msg : {TM_DOWNLOAD, TM_REFRESH_DEVICES, TM_RESELECT_DEVICE, TM_CLOSE_DEVICE}) {
    worker.SetJob(msg, [&](CKesThread&, const Message& m) {
      if (++running > 1) ++overlap;
      Clock().Sleep(1);
      done.emplace_back(m.uMsg, m.wParam);
      --running;
    });
  }
  EXPECT_FALSE(worker.PostThreadMessage(TM_DOWNLOAD));  // not started yet
  ASSERT_TRUE(worker.Start());
  EXPECT_FALSE(worker.Start());
  worker.PostThreadMessage(TM_DOWNLOAD, 1);
  worker.PostThreadMessage(TM_REFRESH_DEVICES, 2);
  worker.PostThreadMessage(0x432, 3);  // reserved: no job
  worker.PostThreadMessage(TM_RESELECT_DEVICE, 4);
  worker.PostThreadMessage(TM_CLOSE_DEVICE, 5);
  worker.PostThreadMessage(WM_QUIT);
  worker.PostThreadMessage(TM_DOWNLOAD, 6);  // behind the quit: never runs
  worker.Join();
  EXPECT_FALSE(worker.Running());
  EXPECT_FALSE(worker.PostThreadMessage(TM_DOWNLOAD, 7));
  const std::vector<std::pair<std::uint32_t, std::uintptr_t>> expected = {
      {TM_DOWNLOAD, 1}, {TM_REFRESH_DEVICES, 2}, {TM_RESELECT_DEVICE, 4}, {TM_CLOSE_DEVICE, 5}};
  EXPECT_EQ(done, expected);
  EXPECT_EQ(overlap, 0);
  EXPECT_EQ(sink.messages, std::vector<std::uint32_t>{UM_WORKER_EXIT});
  SetPostSink(nullptr);
}

TEST(KesThread, ExitAppliesTheClearingRuleAndKeepsOtherStatus) {
  for (std::uint32_t status : {41755u, 41752u}) {
    SCOPED_TRACE(status);
    CKesThread worker;
    worker.SetJob(TM_DOWNLOAD, [](CKesThread&, const Message& m) {
      SetLastStatus(static_cast<std::uint32_t>(m.wParam));  // a raw store, as a direct write would
    });
    worker.Start();
    worker.PostThreadMessage(TM_DOWNLOAD, status);
    worker.PostThreadMessage(WM_QUIT);
    worker.Join();
    EXPECT_EQ(GetLastStatus(), status == 41755u ? 0u : status);
  }
  SetLastStatus(0);
}

TEST(KesThread, AJobNotBuiltSaysSoAndLeavesNotSupport) {
  SetLastStatus(0);
  {
    CKesThread worker;
    worker.Start();
    testing::internal::CaptureStderr();
    worker.PostThreadMessage(TM_DOWNLOAD);
    worker.PostThreadMessage(WM_QUIT);
    worker.Join();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("not built yet"), std::string::npos);
  }
  EXPECT_EQ(GetLastStatus(), 41500u);
  SetLastStatus(0);
  // A worker destroyed while running is ended and joined.
  { CKesThread worker; worker.Start(); }
}

}  // namespace
}  // namespace drover
