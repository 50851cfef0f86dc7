#include "base/file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/message_box.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_doubles.h"

namespace drover {
namespace {

using testing_support::ReadAll;
using testing_support::RecordingBox;
using testing_support::TempDir;
using testing_support::WriteAll;

TEST(FileUtil, ResolvePathKeepsRelativePathsRelative) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"fw\\a.bin", "fw/a.bin"},       {"fw/a.bin", "fw/a.bin"},   {"/opt/x\\y.rfw", "/opt/x/y.rfw"},
      {"\\\\server\\share", "//server/share"}, {"", ""},           {"C:/x/a.bin", "C:/x/a.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ResolvePath(c.in), c.out);
  }
}

TEST(FileUtil, ModuleDirectoryIsTheExecutablesOrTheOverride) {
  SetModuleDirectoryOverride("");
  const std::string real = GetModuleDirectory(false);
  EXPECT_EQ(real, std::filesystem::canonical("/proc/self/exe").parent_path().string());
  EXPECT_EQ(GetModuleDirectory(true), real + "/");
  SetModuleDirectoryOverride("/srv/drover/");
  EXPECT_EQ(GetModuleDirectory(false), "/srv/drover");
  EXPECT_EQ(GetModuleDirectory(true), "/srv/drover/");
  SetModuleDirectoryOverride("");
  EXPECT_EQ(GetModuleDirectory(false), real);
}

TEST(FileUtil, HexDumpFormat) {
  TempDir dir;
  const struct {
    std::size_t n;
    std::string expected;
  } cases[] = {
      {1, "00 "},
      {16, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F "},
      {17, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \r\n10 "},
      {32, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \r\n"
           "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    std::vector<std::uint8_t> data(c.n);
    for (std::size_t i = 0; i < c.n; ++i) data[i] = static_cast<std::uint8_t>(i);
    const std::string path = dir.File("dump.txt");
    ASSERT_EQ(WriteHexDump(path, data), 1);
    EXPECT_EQ(ReadAll(path), c.expected);
  }
  const std::vector<std::uint8_t> high = {0xAB, 0xFF};
  ASSERT_EQ(WriteHexDump(dir.File("h.txt"), high), 1);
  EXPECT_EQ(ReadAll(dir.File("h.txt")), "AB FF ");
  EXPECT_EQ(WriteHexDump(dir.File("empty.txt"), {}), 0);
  EXPECT_EQ(WriteHexDump("", high), 0);
  EXPECT_EQ(WriteHexDump(dir.File("no/such/dir.txt"), high), 0);
}

TEST(FileUtil, WriteAndReadBytes) {
  TempDir dir;
  const std::string path = dir.File("image.bin");
  const std::vector<std::uint8_t> data = {1, 2, 3, 4, 5};
  EXPECT_EQ(WriteFileBytes("", data), 0);
  EXPECT_EQ(WriteFileBytes(path, {}), 0);
  EXPECT_EQ(WriteFileBytes(dir.File("missing/x.bin"), data), 0);
  ASSERT_EQ(WriteFileBytes(path, data), 1);
  EXPECT_EQ(GetFileLength(path), 5u);
  EXPECT_EQ(GetFileLength(dir.File("none")), 0u);
  EXPECT_EQ(GetFileLength(dir.Path()), 0u);

  std::vector<std::uint8_t> buf = {9};
  EXPECT_FALSE(ReadFileBytes(path, buf, 6));  // more than the file holds: nothing read
  EXPECT_EQ(buf, std::vector<std::uint8_t>{9});
  ASSERT_TRUE(ReadFileBytes(path, buf, 3));
  EXPECT_EQ(buf, (std::vector<std::uint8_t>{1, 2, 3}));

  // A shorter second write truncates.
  ASSERT_EQ(WriteFileBytes(path, std::vector<std::uint8_t>{7}), 1);
  EXPECT_EQ(ReadAll(path), "\x07");
}

TEST(FileUtil, FileExistsAndLoadFile) {
  TempDir dir;
  WriteAll(dir.File("a.rfw"), "xyz");
  WriteAll(dir.File("empty.rfw"), "");
  std::string p = dir.File("a.rfw");
  EXPECT_TRUE(FileExists(p));
  std::string d = dir.Path();
  EXPECT_FALSE(FileExists(d));
  std::string none = dir.File("none");
  EXPECT_FALSE(FileExists(none));

  // A relative name is taken from the working directory and becomes absolute.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  std::string rel = "a.rfw";
  EXPECT_TRUE(FileExists(rel));
  EXPECT_EQ(rel, std::filesystem::current_path().string() + "/a.rfw");
  std::vector<std::uint8_t> data;
  EXPECT_TRUE(LoadFile(".\\a.rfw", data));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(data, (std::vector<std::uint8_t>{'x', 'y', 'z'}));

  std::vector<std::uint8_t> untouched = {1};
  EXPECT_FALSE(LoadFile("", untouched));
  EXPECT_FALSE(LoadFile(dir.File("empty.rfw"), untouched));
  EXPECT_FALSE(LoadFile(dir.File("none"), untouched));
  EXPECT_EQ(untouched, std::vector<std::uint8_t>{1});
}

TEST(FileUtil, CreateDirectoryChainCreatesParentsNotTheFile) {
  TempDir dir;
  auto box = std::make_shared<RecordingBox>();
  SetMessageBox(box);
  EXPECT_TRUE(CreateDirectoryChain(dir.File("dump/a//b/out.bin")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("dump/a/b")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("dump/a/b/out.bin")));
  EXPECT_TRUE(CreateDirectoryChain(dir.File("dump/a/b/out.bin")));  // all present already

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  EXPECT_TRUE(CreateDirectoryChain("rel/x/out.bin"));
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("rel/x")));
  EXPECT_TRUE(box->texts.empty());

  // A file where a directory must go: the failing directory is named with a trailing "/".
  WriteAll(dir.File("blocker"), "");
  EXPECT_FALSE(CreateDirectoryChain(dir.File("blocker/sub/out.bin")));
  ASSERT_EQ(box->texts.size(), 1u);
  EXPECT_EQ(box->texts[0], "Create Directory (" + dir.File("blocker") + "/) : Failed !");
  SetMessageBox(nullptr);
}

TEST(FileUtil, VersionTextReduction) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"3.0.0.22", "3.0.22"},
      {"10.2.1.305", "10.2.305"},
      {"3.0.0.1", "3.0.1"},
      {"1234567.1234567.1.1234567", "1234567.1234567"},  // cut to 15 characters
      {"3.0", "3.0"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(ReduceVersionText(c.in), c.out);
  }
  ReadProgramVersion();
  EXPECT_EQ(ProgramVersionText(), ReduceVersionText(DROVER_VERSION_TEXT));
  EXPECT_FALSE(ProgramVersionText().empty());
}

}  // namespace
}  // namespace drover
