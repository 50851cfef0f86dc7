#include "app/drover_app.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "base/debug_channel.h"
#include "base/file_util.h"
#include "base/settings.h"
#include "base/status.h"
#include "tests/support/temp_dir.h"

namespace drover {
namespace {

using testing_support::ReadAll;
using testing_support::TempDir;
using testing_support::WriteAll;

// Records every call start-up and tear-down make into the seams, in order.
struct Journal {
  std::vector<std::string> events;
  int parseAnswer = 1;
  int prepareAnswer = 1;
  std::uint32_t postOnExecute = 41755;
};

class FakeExecutor final : public ICommandLineExecutor {
 public:
  explicit FakeExecutor(Journal& j) : m_j(j) {}
  ~FakeExecutor() override { m_j.events.push_back("~executor"); }
  int Parse_Arg(const std::vector<std::string>& commandLine) override {
    std::string joined;
    for (const std::string& a : commandLine) joined += "|" + a;
    m_j.events.push_back("parse" + joined);
    return m_j.parseAnswer;
  }
  void AttachParentConsole() override { m_j.events.push_back("console"); }
  void Print(const std::string& text) override { m_j.events.push_back("print:" + text); }
  int PrepareDevice() override {
    m_j.events.push_back("prepare");
    return m_j.prepareAnswer;
  }
  int Excute_Arg() override {
    m_j.events.push_back("execute");
    PostToDialog(UM_RESULT, m_j.postOnExecute, 0);
    return 1;
  }

 private:
  Journal& m_j;
};

AppSeams FakeSeams(Journal& j) {
  AppSeams s;
  s.createIcTypes = [&j](AppContext&) { j.events.push_back("ic types"); };
  s.releaseIcTypes = [&j](AppContext&) { j.events.push_back("release ic types"); };
  s.createExecutor = [&j](AppContext&) {
    j.events.push_back("executor");
    return std::make_unique<FakeExecutor>(j);
  };
  s.createDeviceFlow = [&j](AppContext&) { j.events.push_back("device flow"); };
  s.closeDevice = [&j](AppContext&) { j.events.push_back("close device"); };
  s.startTransport = [&j](std::uint32_t lib) { j.events.push_back("start transport " + std::to_string(lib)); };
  s.stopTransport = [&j](std::uint32_t lib) { j.events.push_back("stop transport " + std::to_string(lib)); };
  s.runDialog = [&j](AppContext& ctx) {
    j.events.push_back(std::string("dialog") + (MainDialogExists() ? " exists" : "") +
                       (ctx.bCommandLineMode ? " command-line" : ""));
  };
  return s;
}

class DroverAppTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, AppOptions options = {}) {
    if (options.programDirectory.empty()) options.programDirectory = dir.Path();
    args.insert(args.begin(), dir.File("drover"));
    CDroverApp app(FakeSeams(journal), options);
    const int code = app.Run(args);
    version = app.Context().strVersion;
    return code;
  }
  TempDir dir;
  Journal journal;
  std::string version;
};

TEST_F(DroverAppTest, CommandLineModeRunsInTheStatedOrder) {
  EXPECT_EQ(Run({"-f", "-write", "a.rfw"}), 0);
  const std::string exe = dir.File("drover");
  const std::vector<std::string> expected = {
      "ic types", "executor", "device flow", "start transport 0",
      "parse|" + exe + "|-f|-write|a.rfw", "console", "print:\n", "prepare", "execute", "close device",
      "release ic types", "~executor", "stop transport 0"};
  EXPECT_EQ(journal.events, expected);
  EXPECT_EQ(version, ReduceVersionText(DROVER_VERSION_TEXT));
}

TEST_F(DroverAppTest, ModeChoice) {
  const struct {
    std::vector<std::string> tail;
    bool dialog;
  } cases[] = {
      {{}, true},
      {{"/forcerestart"}, true},
      {{"/ForceRestart"}, true},
      {{"/FORCERESTART"}, true},
      {{"-f", "x.rfw"}, false},
      {{"nonsense"}, false},
      {{"/forcerestart", "-f"}, false},
      {{"forcerestart"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail.empty() ? "<empty>" : c.tail[0]);
    journal.events.clear();
    EXPECT_EQ(IsDialogModeTail(c.tail), c.dialog);
    Run(c.tail);
    bool ranDialog = false, parsed = false;
    for (const std::string& e : journal.events) {
      if (e == "dialog exists") ranDialog = true;
      if (e.rfind("parse", 0) == 0) parsed = true;
    }
    EXPECT_EQ(ranDialog, c.dialog);
    EXPECT_EQ(parsed, !c.dialog);
    EXPECT_FALSE(MainDialogExists());
  }
}

TEST_F(DroverAppTest, ExitCodeFollowsTheLastStatus) {
  const struct {
    const char* name;
    int parse;
    int prepare;
    std::uint32_t posted;
    int code;
    bool executed;
  } cases[] = {
      {"clearing identifier", 1, 1, 41755, 0, true},
      {"erase passed: not a clearing identifier", 1, 1, 41752, 1, true},
      {"failure identifier", 1, 1, 41705, 1, true},
      {"command line that does not parse", 0, 1, 41705, 0, false},
      {"preparation fails without posting", 1, 0, 41705, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    journal = Journal{};
    journal.parseAnswer = c.parse;
    journal.prepareAnswer = c.prepare;
    journal.postOnExecute = c.posted;
    EXPECT_EQ(Run({"-f", "-erase"}), c.code);
    EXPECT_EQ(GetLastStatus(), static_cast<std::uint32_t>(c.code));
    bool executed = false, closed = false;
    for (const std::string& e : journal.events) {
      executed |= e == "execute";
      closed |= e == "close device";
    }
    EXPECT_EQ(executed, c.executed);
    EXPECT_EQ(closed, c.parse == 1);  // the device is closed whenever an action was parsed
  }
  SetLastStatus(0);
}

TEST_F(DroverAppTest, PartsNotBuiltSaySoAndFail) {
  for (const std::vector<std::string>& tail : {std::vector<std::string>{}, std::vector<std::string>{"-f", "x.rfw"}}) {
    SCOPED_TRACE(tail.size());
    AppOptions options;
    options.programDirectory = dir.Path();
    CDroverApp app(AppSeams{}, options);
    std::vector<std::string> args = tail;
    args.insert(args.begin(), "drover");
    testing::internal::CaptureStderr();
    EXPECT_EQ(app.Run(args), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(tail.empty() ? "dialog mode is not built yet" : "command-line mode is not built yet"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("the transport is not built yet"), std::string::npos);
  }
  SetLastStatus(0);
}

TEST_F(DroverAppTest, SettingsComeFromTheBuiltInTextOnly) {
  // A read-only "config.ini" beside the program is made writable; its content is not read.
  const std::string config = dir.File("config.ini");
  WriteAll(config, "[Drover Config]\r\nAutoRun=1\r\nWait Time=7\r\n");
  ::chmod(config.c_str(), 0444);
  std::vector<std::string> seen;
  AppSeams seams = FakeSeams(journal);
  seams.createIcTypes = [&seen](AppContext& ctx) {
    seen.push_back(std::to_string(ConfigInt("CheckVIDPID_INI", 0)) + " " + std::to_string(ConfigInt("AutoRun", 0)) +
                   " " + std::to_string(ConfigInt("Wait Time", 5000)) + " " + std::to_string(ctx.iIniType));
  };
  AppOptions options;
  options.programDirectory = dir.Path();
  CDroverApp app(seams, options);
  EXPECT_EQ(app.Run({"drover", "-f", "-version"}), 0);
  EXPECT_EQ(seen, std::vector<std::string>{"1 0 5000 0"});
  struct stat st {};
  ASSERT_EQ(::stat(config.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  EXPECT_EQ(ReadAll(config), "[Drover Config]\r\nAutoRun=1\r\nWait Time=7\r\n");
  // After the exit the store is gone: every key reads its default again.
  EXPECT_EQ(ConfigInt("CheckVIDPID_INI", 0), 0u);
}

TEST_F(DroverAppTest, DebugLogSettingCapturesTheRun) {
  AppSeams seams = FakeSeams(journal);
  seams.startTransport = [](std::uint32_t lib) { OutputDebugString("transport " + std::to_string(lib) + ";"); };
  seams.stopTransport = [](std::uint32_t) { OutputDebugString("stopped;"); };
  AppOptions options;
  options.programDirectory = dir.Path();
  options.settingsText = "[Drover Config]\r\nDebug Log=1\r\nLib Type=2\r\nIni Type=1\r\n";
  int iniType = -1;
  seams.createDeviceFlow = [&iniType](AppContext& ctx) { iniType = static_cast<int>(ctx.iIniType); };
  CDroverApp app(seams, options);
  testing::internal::CaptureStdout();
  EXPECT_EQ(app.Run({"drover", "-f", "-version"}), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(DebugCaptureRunning());
  EXPECT_EQ(ReadAll(dir.File("DebugLog.txt")), "transport 2;stopped;");
  EXPECT_EQ(iniType, 1);
}

}  // namespace
}  // namespace drover
