#include "base/trace.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/clock.h"
#include "base/strfmt.h"

namespace drover {
namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTraceMask(7);
    SetTraceObserver([this](std::string_view line) { lines.emplace_back(line); });
  }
  void TearDown() override {
    SetTraceObserver(nullptr);
    SetTraceMask(7);
  }
  std::string Prefix(const char* name) const {
    return StrFormat("(%X-%d):%s:> ", static_cast<unsigned>(::syscall(SYS_gettid)), 4321, name);
  }
  ScopedClock clock{std::make_shared<VirtualClock>(4321)};
  std::vector<std::string> lines;
};

TEST_F(TraceTest, ScopeWritesEntryAndExitLines) {
  {
    TraceScope scope("CDevFlow::DEV_CloseDevice");
    TraceLine(scope, "value %d\n", 5);
  }
  const std::string p = Prefix("CDevFlow::DEV_CloseDevice");
  EXPECT_EQ(lines, (std::vector<std::string>{p + "START --->>>\r\n", p + "value 5\r\n", p + "EXIT <<<---\r\n"}));
}

TEST_F(TraceTest, RawLinesAndFailureLines) {
  TraceScope scope("CParseArg::Parse_Arg", false);
  TraceRaw(scope, "no prefix %s", "here");
  TraceFail(scope, "Fail --- Invalid parameter!\r\n");
  // Every final "\n" is widened, also one that already follows a "\r".
  EXPECT_EQ(lines, (std::vector<std::string>{"no prefix here", "----------------: ",
                                             "Fail --- Invalid parameter!\r\r\n"}));
}

TEST_F(TraceTest, CategoryMustShareABitWithTheMask) {
  const struct {
    std::uint32_t mask;
    std::uint32_t category;
    bool written;
  } cases[] = {{7, 1, true}, {7, 2, true}, {7, 4, true}, {7, 8, false}, {2, 1, false}, {2, 6, true}, {0, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(StrFormat("mask %u category %u", c.mask, c.category));
    lines.clear();
    SetTraceMask(c.mask);
    {
      TraceScope scope("X::Y", true, c.category);
      TraceRaw(scope, "r");
    }
    EXPECT_EQ(lines.size(), c.written ? 3u : 0u);
  }
}

TEST_F(TraceTest, LongLinesAreCutAt512Characters) {
  TraceScope scope("S", false);
  const std::string p = Prefix("S");
  // Fits exactly with the "\r": the line end is widened.
  TraceLine(scope, "%s\n", std::string(510 - p.size(), 'a').c_str());
  ASSERT_EQ(lines.back().size(), 512u);
  EXPECT_EQ(lines.back().substr(509), "a\r\n");
  // No room for the extra character: the "\n" stays alone.
  TraceLine(scope, "%s\n", std::string(511 - p.size(), 'a').c_str());
  ASSERT_EQ(lines.back().size(), 512u);
  EXPECT_EQ(lines.back().substr(510), "a\n");
  // Longer text is cut, and the line end is lost with it.
  TraceRaw(scope, "%s\n", std::string(600, 'b').c_str());
  EXPECT_EQ(lines.back(), std::string(512, 'b'));
  // A cut never splits a UTF-8 character: "é" is two bytes and would straddle the limit.
  TraceRaw(scope, "%s\xC3\xA9tail", std::string(511, 'c').c_str());
  EXPECT_EQ(lines.back(), std::string(511, 'c'));
}

TEST_F(TraceTest, NoObserverNoLines) {
  SetTraceObserver(nullptr);
  TraceScope scope("S");
  TraceLine(scope, "x\n");
  EXPECT_TRUE(lines.empty());
}

}  // namespace
}  // namespace drover
