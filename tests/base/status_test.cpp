#include "base/status.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace drover {
namespace {

class RecordingSink final : public IPostSink {
 public:
  void OnPost(std::uint32_t message, std::uintptr_t first, std::intptr_t second) override {
    posts.push_back({message, first, second});
  }
  struct Post {
    std::uint32_t message;
    std::uintptr_t first;
    std::intptr_t second;
  };
  std::vector<Post> posts;
};

TEST(Status, TableRowsAreOrderedUniqueAndNamed) {
  const auto table = StatusTable();
  EXPECT_EQ(table.size(), 61u);
  EXPECT_EQ(table.front().id, 41500u);
  EXPECT_EQ(table.back().id, 42042u);
  std::uint32_t prev = 0;
  for (const StatusEntry& e : table) {
    SCOPED_TRACE(e.id);
    EXPECT_GT(e.id, prev);
    prev = e.id;
    EXPECT_FALSE(e.text.empty());
    EXPECT_EQ(StatusText(e.id), e.text);
  }
  EXPECT_EQ(StatusText(41500), "Not Support!");
  EXPECT_EQ(StatusText(41802), "Read EERPOM Fail!");
  EXPECT_EQ(StatusText(41501), "");
}

TEST(Status, PostingRecordsTheLastStatusWithTheClearingRule) {
  const std::set<std::uint32_t> clearing = {41751, 41755, 41851, 41854, 41910, 41913, 41931};
  for (const StatusEntry& e : StatusTable()) {
    SCOPED_TRACE(e.id);
    SetLastStatus(1);
    PostToDialog(UM_RESULT, e.id, 0);
    EXPECT_EQ(GetLastStatus(), clearing.count(e.id) ? 0u : e.id);
    EXPECT_EQ(IsClearingStatus(e.id), clearing.count(e.id) == 1);
  }
  SetLastStatus(0);
}

TEST(Status, SequencesOfPosts) {
  RecordingSink sink;
  SetPostSink(&sink);
  SetLastStatus(0);
  PostToDialog(UM_RESULT, 41755, 0);  // a flash download passed
  EXPECT_EQ(GetLastStatus(), 0u);
  PostToDialog(UM_RESULT, 41752, 0);  // an erase passed: not a clearing identifier
  EXPECT_EQ(GetLastStatus(), 41752u);
  PostToDialog(UM_ERROR, 41705, 0);
  EXPECT_EQ(GetLastStatus(), 41705u);
  PostToDialog(UM_WORKER_EXIT, 0, 0);  // leaves the last status alone
  EXPECT_EQ(GetLastStatus(), 41705u);
  PostToDialog(UM_STATUS, 0, 0);  // a read-out without device clears it
  EXPECT_EQ(GetLastStatus(), 0u);
  PostToDialog(UM_STATUS, 41906, 3);
  EXPECT_EQ(GetLastStatus(), 41906u);
  PostToDialog(UM_PROGRESS, 42, 0);  // progress is a post like any other
  EXPECT_EQ(GetLastStatus(), 42u);
  SetPostSink(nullptr);
  PostToDialog(UM_ERROR, 41511, 0);  // no observer: the status is still recorded
  EXPECT_EQ(GetLastStatus(), 41511u);
  ASSERT_EQ(sink.posts.size(), 7u);
  EXPECT_EQ(sink.posts[5].message, UM_STATUS);
  EXPECT_EQ(sink.posts[5].first, 41906u);
  EXPECT_EQ(sink.posts[5].second, 3);
  SetLastStatus(0);
}

TEST(Status, MainDialogExistsIsSeparateFromObservingPosts) {
  RecordingSink sink;
  SetPostSink(&sink);
  EXPECT_FALSE(MainDialogExists());
  PostToDialog(UM_STEP, 41719, 0);
  EXPECT_EQ(sink.posts.size(), 1u);
  EXPECT_FALSE(MainDialogExists());
  SetMainDialogExists(true);
  EXPECT_TRUE(MainDialogExists());
  SetMainDialogExists(false);
  SetPostSink(nullptr);
  SetLastStatus(0);
}

TEST(Status, MessageNumbers) {
  const struct {
    std::uint32_t value;
    std::uint32_t expected;
  } cases[] = {{UM_WORKER_EXIT, 0x412}, {UM_PROGRESS, 0x413}, {UM_ERROR, 0x414}, {UM_RESULT, 0x416},
               {UM_STEP, 0x417},        {UM_STATUS, 0x418},   {UM_DEVICE_OPENED, 0x41F}, {TM_DOWNLOAD, 0x431},
               {TM_REFRESH_DEVICES, 0x43C}, {TM_RESELECT_DEVICE, 0x43D}, {TM_CLOSE_DEVICE, 0x441}};
  for (const auto& c : cases) EXPECT_EQ(c.value, c.expected);
}

}  // namespace
}  // namespace drover
