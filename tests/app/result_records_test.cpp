// "burn_result.txt" and "Result.txt" byte for byte.
#include "app/result_records.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "base/message_box.h"
#include "tests/support/temp_dir.h"

namespace drover {
namespace {

using testing_support::ReadAll;
using testing_support::TempDir;
using testing_support::WriteAll;

std::time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

const std::string kHeader =
    "Update date       Update Time       Serial number              Result   ErrCode\r\n"
    "================  ================  =========================  =======  =======\r\n";

TEST(ResultRecords, LineBreaksBecomeOneCrLfEach) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"a\n", "a\r\n"},
      {"a\r\n", "a\r\n"},
      {"\n\n", "\r\n\r\n"},
      {"\r\n\n\r\n", "\r\n\r\n\r\n"},
      {"a\rb", "a\rb"},
      {"a\r\r\n", "a\r\r\n"},
      {"end\r", "end\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ToCrLf(c.in), c.out);
  }
}

TEST(ResultRecords, RecordColumns) {
  const std::time_t when = LocalTime(2024, 3, 5, 9, 7, 2);
  const std::string stamp = "2024-03-05,       09:07:02,         ";
  const struct {
    std::string serial;
    bool pass;
    std::int32_t status;
    std::string expected;
  } cases[] = {
      {"SN0001", true, 0, stamp + "SN0001," + std::string(20, ' ') + "Pass,    0:\r\n"},
      {"", false, 41511, stamp + "," + std::string(26, ' ') + "Fail,    41511:\r\n"},
      {std::string(30, 'S'), true, 0, stamp + std::string(30, 'S') + ",Pass,    0:\r\n"},
      {std::string(26, 'S'), true, 0, stamp + std::string(26, 'S') + ",Pass,    0:\r\n"},
      {"x", false, -5, stamp + "x," + std::string(25, ' ') + "Fail,    -5:\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.serial);
    EXPECT_EQ(FormatBurnRecord(when, c.serial, c.pass, c.status), c.expected);
  }
  // The line of the worked example: 74 characters before the CR LF.
  EXPECT_EQ(FormatBurnRecord(when, "SN0001", true, 0).size(), 74u + 2u);
}

class BurnFileTest : public ::testing::Test {
 protected:
  BurnFileTest() {
    ::getcwd(m_oldCwd, sizeof m_oldCwd);
    EXPECT_EQ(::chdir(dir.Path().c_str()), 0);
    SetRecordTimeSource([] { return LocalTime(2024, 3, 5, 9, 7, 2); });
  }
  ~BurnFileTest() override {
    SetRecordTimeSource(nullptr);
    SetMessageBox(nullptr);
    ::chdir(m_oldCwd);
  }
  TempDir dir;
  char m_oldCwd[4096] = {};
};

struct RecordingBox final : IMessageBox {
  std::vector<std::string> texts;
  int Show(const std::string& text, const std::string&, unsigned) override {
    texts.push_back(text);
    return IDOK;
  }
};

TEST_F(BurnFileTest, HeaderOnlyForANewFile) {
  const std::string rec = "2024-03-05,       09:07:02,         SN0001," + std::string(20, ' ');
  {
    CBurnRecordFile f;
    ASSERT_TRUE(f.Open());
    f.WriteBurnRecord(true, "SN0001", 0);
  }
  EXPECT_EQ(ReadAll(dir.File("burn_result.txt")), kHeader + rec + "Pass,    0:\r\n");
  {
    CBurnRecordFile f;
    ASSERT_TRUE(f.Open());
    f.WriteBurnRecord(false, "SN0001", 41511);
  }
  EXPECT_EQ(ReadAll(dir.File("burn_result.txt")), kHeader + rec + "Pass,    0:\r\n" + rec + "Fail,    41511:\r\n");
}

TEST_F(BurnFileTest, AnExistingFileIsAppendedWithoutHeader) {
  WriteAll(dir.File("burn_result.txt"), "kept");
  CBurnRecordFile f;
  ASSERT_TRUE(f.Open());
  f.WriteBurnRecord(true, "", 0);
  f.Close();
  EXPECT_EQ(ReadAll(dir.File("burn_result.txt")),
            "kept2024-03-05,       09:07:02,         ," + std::string(26, ' ') + "Pass,    0:\r\n");
}

TEST_F(BurnFileTest, UnopenableFileIsReportedAndWritesNothing) {
  auto box = std::make_shared<RecordingBox>();
  SetMessageBox(box);
  // A directory of that name does not count as the file, and cannot be created over.
  ASSERT_EQ(::mkdir(dir.File("burn_result.txt").c_str(), 0755), 0);
  CBurnRecordFile f;
  EXPECT_FALSE(f.Open());
  EXPECT_FALSE(f.IsOpen());
  f.WriteBurnRecord(true, "SN", 0);  // no handle: nothing happens
  EXPECT_EQ(box->texts, std::vector<std::string>{"Can't Open burn_result.txt"});
}

TEST(ResultFile, CreatedEmptyAtEveryOpen) {
  TempDir dir;
  const std::string path = dir.File("Result.txt");
  WriteAll(path, "old content");
  CResultFile f;
  ASSERT_TRUE(f.Open(path));
  EXPECT_EQ(ReadAll(path), "");
  f.Write("Begin to Erase!\r\nErase pass!\n");
  f.Write("pass");
  f.Close();
  EXPECT_EQ(ReadAll(path), "Begin to Erase!\r\nErase pass!\r\npass");
  // A file that cannot be created: the writer stays closed and writes nothing.
  EXPECT_FALSE(f.Open(dir.File("missing/Result.txt")));
  f.Write("lost");
  EXPECT_FALSE(f.IsOpen());
}

}  // namespace
}  // namespace drover
