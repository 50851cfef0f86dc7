#include "image/ini_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace drover {
namespace {

struct Lookup {
  const char* section;
  const char* key;
  const char* expected;  // nullptr: the key must be missing
};

struct GrammarCase {
  const char* name;
  const char* text;
  std::vector<Lookup> lookups;
};

TEST(IniFile, LineGrammar) {
  const GrammarCase cases[] = {
      {"names compare without case", "[Drover Config]\r\nIc Name=VQ7330\r\n",
       {{"drover config", "IC NAME", "VQ7330"}}},
      {"nothing is trimmed", "[S]\nPPAddress=0x10000 \na = b\n",
       {{"S", "PPAddress", "0x10000 "}, {"S", "a ", " b"}, {"S", "a", nullptr}}},
      {"blanks inside brackets stay in the name", "[ Drover Config ]\nk=v\n",
       {{" Drover Config ", "k", "v"}, {"Drover Config", "k", nullptr}}},
      {"section line without closing bracket is ignored", "[A]\nx=1\n[B\ny=2\n",
       {{"A", "y", "2"}, {"B", "y", nullptr}}},
      {"a duplicate section feeds the first", "[A]\nx=1\n[B]\n[A]\ny=2\n",
       {{"A", "x", "1"}, {"A", "y", "2"}}},
      {"a line without any marker is a key", "[L]\n//VID_0B05&PID_1996&REV_0000\n",
       {{"L", "//VID_0B05&PID_1996&REV_0000", ""}}},
      {"equals first: the semicolon is part of the value", "[S]\nkey=value;note\n", {{"S", "key", "value;note"}}},
      {"semicolon first: a comment", "[S]\nkey;note=value\n", {{"S", "key", nullptr}, {"S", "key;note", nullptr}}},
      {"a key before any section lands in the empty-named one", "k=1\n[S]\n", {{"", "k", "1"}}},
      {"a repeated key keeps the last value", "[S]\nk=1\nk=2\n", {{"S", "k", "2"}}},
      {"blank lines and CRLF are skipped", "\r\n\n[S]\r\n\r\n\nk=v\r\n", {{"S", "k", "v"}}},
      {"the last ] closes the name", "[a]b]\nk=v\n", {{"a]b", "k", "v"}}},
      {"a ] before the [ does not close it", "[A]\nk=1\nx]y[z\nm=2\n", {{"A", "m", "2"}, {"x]y[z", "m", nullptr}}},
      {"text after the last line end is read", "[S]\nk=v", {{"S", "k", "v"}}},
  };
  for (const GrammarCase& c : cases) {
    SCOPED_TRACE(c.name);
    CIniFile ini;
    ini.ReadFromText(c.text);
    for (const Lookup& l : c.lookups) {
      SCOPED_TRACE(std::string(l.section) + "/" + l.key);
      if (l.expected) {
        EXPECT_EQ(ini.GetValue(l.section, l.key, "<missing>"), l.expected);
      } else {
        EXPECT_EQ(ini.GetValue(l.section, l.key, "<missing>"), "<missing>");
      }
    }
  }
}

TEST(IniFile, DuplicateSectionsStayInTheVectors) {
  CIniFile ini;
  ini.ReadFromText("[A]\n[B]\n[a]\n");
  EXPECT_EQ(ini.SectionCount(), 3u);
  EXPECT_EQ(ini.FindSection("A"), 0);
  EXPECT_EQ(ini.FindSection("b"), 1);
  EXPECT_EQ(ini.FindSection("C"), -1);
}

TEST(IniFile, CommentsGoToHeaderOrCurrentSection) {
  CIniFile ini;
  ini.ReadFromText("; first\n# second\n[S]\n;in S\n");
  ASSERT_EQ(ini.HeaderComments().size(), 2u);
  EXPECT_EQ(ini.HeaderComments()[0], " first");
  EXPECT_EQ(ini.HeaderComments()[1], " second");
  // A key stored before any section makes the comment a section comment, not a header one.
  CIniFile keyed;
  keyed.ReadFromText("k=1\n;after key\n");
  EXPECT_TRUE(keyed.HeaderComments().empty());
  EXPECT_FALSE(keyed.AddSectionComment("missing", "x"));
  EXPECT_TRUE(keyed.AddSectionComment("", "x"));
}

TEST(IniFile, NonPrintableFirstCharacterStopsReading) {
  struct Case {
    const char* name;
    std::string text;
    const char* message;
    std::size_t sections;
  };
  const Case cases[] = {
      {"tab on the first line", "\t[A]\n[B]\n", "Failing on char 9\n", 0},
      {"byte-order mark", "\xEF\xBB\xBF[A]\n", "Failing on char -17\n", 0},
      {"later line keeps what was read", "[A]\nk=1\n\x7F\n[B]\n", "Failing on char 127\n", 1},
      {"a control character", std::string("[A]\n\x01x=1\n"), "Failing on char 1\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CIniFile ini;
    testing::internal::CaptureStdout();
    ini.ReadFromText(c.text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    EXPECT_EQ(ini.SectionCount(), c.sections);
  }
  CIniFile ini;
  ini.ReadFromText("[A]\nk=1\n\x7F\n[B]\n");
  EXPECT_EQ(ini.GetValue("A", "k", ""), "1");
  EXPECT_EQ(ini.FindSection("B"), -1);
}

TEST(IniFile, GetValueIntWithAutomaticBase) {
  struct Case {
    const char* value;  // nullptr: key missing, the default applies
    std::int32_t def;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"0x10000 ", 0, 0x10000},  {"0X1f", 0, 31},       {"010", 0, 8},           {"08", 0, 0},
      {"0x", 0, 0},              {"0xg", 0, 0},         {"", 5, 0},              {"abc", 5, 0},
      {"  42", 0, 42},           {"\t7z", 0, 7},        {"-1", 0, 0xFFFFFFFFu},  {"-0x10", 0, 0xFFFFFFF0u},
      {"+12", 0, 12},            {"4294967295", 0, 0xFFFFFFFFu},               {"4294967296", 0, 0xFFFFFFFFu},
      {"0x123456789", 0, 0xFFFFFFFFu},                  {nullptr, 5000, 5000},   {nullptr, -1, 0xFFFFFFFFu},
      {"5000", 1, 5000},         {"0", 9, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "<missing>");
    CIniFile ini;
    if (c.value) ini.SetValue("S", "k", c.value, true);
    EXPECT_EQ(ini.GetValueInt("S", "k", c.def), c.expected);
    EXPECT_EQ(ini.GetValueInt(ini.FindSection("S"), "k", c.def), c.expected);
  }
}

TEST(IniFile, SetValueCreatesOnlyWhenAsked) {
  CIniFile ini;
  EXPECT_FALSE(ini.SetValue("S", "k", "v", false));
  EXPECT_EQ(ini.SectionCount(), 0u);
  EXPECT_TRUE(ini.SetValue("S", "k", "v", true));
  EXPECT_FALSE(ini.SetValue("S", "other", "v", false));
  EXPECT_TRUE(ini.SetValue("s", "K", "w", false));
  EXPECT_EQ(ini.GetValue("S", "k", ""), "w");
  EXPECT_TRUE(ini.SetValueInt("S", "n", -5, true));
  EXPECT_EQ(ini.GetValue("S", "n", ""), "-5");
  EXPECT_EQ(ini.FindKey(7, "k"), -1);
  EXPECT_EQ(ini.FindKey(-1, "k"), -1);
  EXPECT_EQ(ini.GetValue(-1, "k", "d"), "d");
  EXPECT_EQ(ini.KeyNames(0), (std::vector<std::string>{"k", "n"}));
  ini.Clear();
  EXPECT_EQ(ini.SectionCount(), 0u);
  EXPECT_EQ(ini.GetValue("S", "k", "gone"), "gone");
}

TEST(IniFile, ReadsAFileAndIgnoresAMissingOne) {
  char dir[] = "/tmp/drover-ini-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/VQ7330.INI";
  {
    std::ofstream out(path, std::ios::binary);
    out << "[Vendor Info M1]\r\nConfigAddress=0xF000\r\n\r\nConfigSize=4096\r\n";
  }
  CIniFile ini(path);
  ini.ReadIniFile();
  EXPECT_EQ(ini.GetValueInt("vendor info m1", "configaddress", 0), 0xF000u);
  EXPECT_EQ(ini.GetValueInt("Vendor Info M1", "ConfigSize", 0), 4096u);

  ini.SetPath(std::string(dir) + "/missing.INI");
  ini.ReadIniFile();
  EXPECT_EQ(ini.GetValueInt("Vendor Info M1", "ConfigSize", 0), 4096u);
  std::remove(path.c_str());
  ::rmdir(dir);
}

}  // namespace
}  // namespace drover
