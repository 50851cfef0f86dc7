// The switches of command-line mode, the console copy and "Result.txt" of a run that never
// reaches a device.
#include "app/parse_arg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/status.h"
#include "base/trace.h"
#include "tests/support/temp_dir.h"

namespace drover {
namespace {

using testing_support::ReadAll;
using testing_support::TempDir;
using testing_support::WriteAll;

class ParseArgTest : public ::testing::Test {
 protected:
  ParseArgTest() : ctx(AppSeams{}), parse(ctx) {
    SetModuleDirectoryOverride(dir.Path());
    parse.SetConsoleWriter([this](std::string_view t) { console += t; });
  }
  ~ParseArgTest() override { SetModuleDirectoryOverride(std::string()); }

  int Parse(std::vector<std::string> args, const std::string& program = "/opt/drover/drover") {
    args.insert(args.begin(), program);
    return parse.Parse_Arg(args);
  }
  bool ResultFileExists() {
    std::string p = dir.File("Result.txt");
    return FileExists(p);
  }

  TempDir dir;
  AppContext ctx;
  CParseArg parse;
  std::string console;
};

TEST_F(ParseArgTest, ArgumentTable) {
  const struct {
    std::vector<std::string> args;
    int answer;
    char action;
    std::string file;
    int firstDevice;
  } cases[] = {
      {{"-f", "fw.rfw"}, 1, 'W', "fw.rfw", 0},
      {{"-f", "fw.rfw", "-write"}, 1, 'W', "fw.rfw", 0},  // the fourth argument is ignored
      {{"-f", "-verify", "fw.rfw"}, 1, 'V', "fw.rfw", 0},
      {{"-f", "fw.rfw", "-verify"}, 1, 'W', "fw.rfw", 0},
      {{"-F", "fw.rfw"}, 1, 'W', "fw.rfw", 0},
      {{"-f", "-WRITE", "fw.rfw"}, 1, 'W', "-WRITE", 0},  // keywords choose by exact case
      {{"-f", "-write", "a.bin"}, 1, 'W', "a.bin", 0},
      {{"-f", "-erase"}, 1, 'E', "", 0},
      {{"-f", "-version"}, 1, 'D', "", 0},
      {{"-f", "-detect", "fw.rfw"}, 1, 'C', "fw.rfw", 0},
      {{"-f", "-dumpotp"}, 1, 'Y', "", 0},
      {{"-f", "-dumpspi", "out.bin"}, 1, 'Z', "out.bin", 0},
      {{"-f", "nonsense"}, 1, 'W', "nonsense", 0},  // traced, then written as a file
      {{"-x", "fw.rfw", "my-file"}, 1, 'W', "fw.rfw", 0},  // "-f" inside another argument
      {{"-f", "fw.rfw", "-write", "-d", "2"}, 1, 'W', "fw.rfw", 2},
      {{"-f", "fw.rfw", "-write", "-D", "-1"}, 1, 'W', "fw.rfw", -1},
      {{"-f", "fw.rfw", "-write", "-d"}, 1, 'W', "fw.rfw", 0},
      {{"-f", "fw.rfw", "-write", "-d", "x7"}, 1, 'W', "fw.rfw", 0},
      {{"-f", "fw.rfw", "-write", "-d", "99999999999"}, 1, 'W', "fw.rfw", INT32_MAX},
      {{"-f", "fw.rfw", "-write", "-e", "2"}, 1, 'W', "fw.rfw", 0},
      {{"-f"}, 0, char(0xFF), "", 0},                                     // too few
      {{"-f", "a", "b", "c", "d", "e"}, 0, char(0xFF), "", 0},             // seven arguments
  };
  for (const auto& c : cases) {
    std::string name;
    for (const std::string& a : c.args) name += a + " ";
    SCOPED_TRACE(name);
    CParseArg p(ctx);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "/opt/drover/drover");
    EXPECT_EQ(p.Parse_Arg(args), c.answer);
    EXPECT_EQ(p.Action(), c.action);
    if (c.answer == 1) {
      EXPECT_EQ(p.FileArgument(), c.file);
      EXPECT_EQ(p.SecondArgument(), c.args[1]);
    }
    EXPECT_EQ(p.FirstDeviceIndex(), c.firstDevice);
    EXPECT_EQ(p.ProgramDirectory(), dir.Path());
    EXPECT_FALSE(ResultFileExists());
  }
}

TEST_F(ParseArgTest, SmallSpiDumpSizeIsChosenByTheKeyword) {
  EXPECT_EQ(ctx.engine.dwDumpSize, 0x40000u);
  ASSERT_EQ(Parse({"-f", "-dumpspi", "out.bin"}), 1);
  EXPECT_EQ(ctx.engine.dwDumpSize, 0x10000u);
}

TEST_F(ParseArgTest, InvalidArgumentsAreTracedOnly) {
  // Keywords and the switch are checked ignoring case, the ".rfw" test is case-sensitive; a
  // failed check is one trace line and changes nothing else.
  const struct {
    std::vector<std::string> args;
    int answer;
    int traced;
  } cases[] = {
      {{"-f", "-Bogus", "x"}, 1, 1},
      {{"-f", "a", "b", "c", "d", "e"}, 0, 1},  // seven arguments
      {{"-f"}, 0, 1},                           // two arguments
      {{"-F", "fw.rfw"}, 1, 0},
      {{"-f", "-WRITE", "fw.rfw"}, 1, 0},
      {{"-f", "-DumpSpi", "out.bin"}, 1, 0},
      {{"-f", "my.rfw.bak"}, 1, 0},
      {{"-f", "FW.RFW"}, 1, 1},
      {{"-x", "fw.rfw", "my-file"}, 1, 1},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const std::string& a : c.args) name += a + " ";
    SCOPED_TRACE(name);
    int invalid = 0;
    SetTraceObserver([&invalid](std::string_view l) {
      invalid += l.find("Fail --- Invalid parameter!") != std::string_view::npos;
    });
    EXPECT_EQ(Parse(c.args), c.answer);
    SetTraceObserver(nullptr);
    EXPECT_EQ(invalid, c.traced);
  }
}

TEST_F(ParseArgTest, WithoutTheSwitchOnlyFailIsRecorded) {
  EXPECT_EQ(Parse({"-write", "fw.rfw"}), 0);
  EXPECT_EQ(ReadAll(dir.File("Result.txt")), "fail");
  EXPECT_EQ(console, "");
  // A program path holding the switch satisfies the search by itself.
  EXPECT_EQ(Parse({"fw.rfw", "-write"}, "/opt/drover-f/drover"), 1);
}

TEST_F(ParseArgTest, WrongArgumentCountLeavesAnEarlierResultAlone) {
  WriteAll(dir.File("Result.txt"), "earlier\r\npass");
  EXPECT_EQ(Parse({"-f", "1", "2", "3", "4", "5"}), 0);
  EXPECT_EQ(ReadAll(dir.File("Result.txt")), "earlier\r\npass");
}

TEST_F(ParseArgTest, HelpAloneWritesNoResultFile) {
  for (const char* h : {"-h", "--help"}) {
    SCOPED_TRACE(h);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Parse({h}), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    for (const char* word : {"-write", "-verify", "-erase", "-version", "-detect", "-dumpotp", "-dumpspi",
                             "-d N", "DROVER_SIM", "Result.txt"})
      EXPECT_NE(out.find(word), std::string::npos) << word;
    EXPECT_FALSE(ResultFileExists());
  }
  // Not alone: the usual rules.
  testing::internal::CaptureStdout();
  EXPECT_EQ(Parse({"-h", "x"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ReadAll(dir.File("Result.txt")), "fail");
}

TEST_F(ParseArgTest, PrintCutsTheConsoleCopyOnly) {
  ASSERT_EQ(Parse({"-f", "-erase"}), 1);
  parse.Print("before the console is on\n");
  EXPECT_EQ(console, "");
  parse.AttachParentConsole();
  parse.OpenResultFile();
  const std::string longText(300, 'x');
  parse.Print(longText);
  EXPECT_EQ(console, std::string(259, 'x'));
  console.clear();
  parse.Print("one\ntwo\r\nthree\r");
  parse.PrintPrompt();
  EXPECT_EQ(console, "one\ntwo\r\nthree\r" + dir.Path() + ">");
  parse.OpenResultFile();  // a second open truncates
  parse.Print("Load File Data Fail!\n");
  parse.Print(longText);
  parse.PrintPrompt();
  EXPECT_EQ(ReadAll(dir.File("Result.txt")), "Load File Data Fail!\r\n" + longText + dir.Path() + ">");
}

TEST_F(ParseArgTest, ActionTableTexts) {
  const struct {
    char code;
    const char* start;
    const char* pass;
    const char* fail;
  } rows[] = {
      {'W', "Begin to Write fw!\r\n", "Write fw pass!\r\n", "Write fw fail!\r\n"},
      {'V', "Begin to Verify fw!\r\n", "Verify fw pass!\r\n", "Verify fw fail!\r\n"},
      {'E', "Begin to Erase!\r\n", "Erase pass!\r\n", "Erase fail!\r\n"},
      {'Y', "Begin to Dump OTP!\r\n", "Dump OTP pass!\r\n", "Dump OTP fail!\r\n"},
      {'Z', "Begin to Dump SPI!\r\n", "Dump SPI pass!\r\n", "Dump SPI fail!\r\n"},
      {'C', "", "Begin to Check OTP Status!\r\n", ""},
      {'D', "Begin to Get FW Ver!\r\n", "", ""},
  };
  EXPECT_EQ(ActionTable().size(), std::size(rows));
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    const ActionRow* row = FindAction(r.code);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->startText, r.start);
    EXPECT_EQ(row->passText, r.pass);
    EXPECT_EQ(row->failText, r.fail);
  }
  EXPECT_EQ(FindAction('Q'), nullptr);
}

}  // namespace
}  // namespace drover
