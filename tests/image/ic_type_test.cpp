#include "image/ic_type.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "base/file_util.h"
#include "base/strfmt.h"
#include "resources/resource.h"
#include "image_test_util.h"

namespace drover {
namespace {

using image_test::TempDir;

// The program directory placed in a temporary directory for one test.
class ProgramDir {
 public:
  ProgramDir() { SetModuleDirectoryOverride(m_dir.Path()); }
  ~ProgramDir() { SetModuleDirectoryOverride(""); }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(m_dir.Path() + "/" + name, std::ios::binary) << text;
  }
  void MakeDir(const std::string& name) const { std::filesystem::create_directory(m_dir.Path() + "/" + name); }

 private:
  TempDir m_dir;
};

std::vector<std::string> ListNames(const CICTypeIni& ic) {
  std::vector<std::string> names;
  for (const auto& e : ic.DefinitionList()) names.push_back(e.name);
  return names;
}

TEST(IcType, EveryBuiltInDefinition) {
  struct Row {
    int resource;
    const char* listed;
    const char* icName;
    const char* defBin;
    std::vector<std::array<std::uint8_t, 3>> registers;  // reg1, reg2, ChipInfo
    std::uint32_t configAddress, configSize, tagAddress;
  };
  const Row rows[] = {
      {2030, "VQ7310.INI", "VQ7310", "FFU_7310", {{0x00, 0x00, 17}, {0x10, 0x70, 17}}, 0xAE00, 512, 0xEFFE},
      {2031, "VQ7330.INI", "VQ7330", "FFU_7330", {{0x10, 0xB0, 21}}, 0xF000, 4096, 0xEFFE},
      {2032, "VQ7332.INI", "VQ7330", "FFU_7332", {{0x10, 0xF0, 24}, {0x10, 0xC0, 24}}, 0xF000, 4096, 0xEFFE},
      {2033, "VQ7340.INI", "VQ7330", "FFU_7340", {{0x10, 0xD0, 25}}, 0xF000, 4096, 0xEFFE},
      {2034, "VQ7322.INI", "VQ7330", "FFU_7322", {{0x10, 0xE0, 23}}, 0xF000, 4096, 0xEFFE},
      {2035, "VQ7370.INI", "VQ7330", "FFU_7370", {{0x10, 0x10, 26}}, 0xF000, 4096, 0xEFFE},
  };
  ASSERT_EQ(std::size(rows), kIcNames.size());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.listed);
    const auto ic_row = std::find_if(kIcNames.begin(), kIcNames.end(), [&](const NameNumber& n) {
      return AsciiUpper(std::string(n.name) + ".ini") == r.listed;
    });
    ASSERT_NE(ic_row, kIcNames.end());
    EXPECT_EQ(ic_row->number, r.resource);

    CICTypeIni ic(0);
    ic.BuildDefinitionList();
    ASSERT_TRUE(ic.LoadBuiltInDefinition(r.resource));
    std::uint32_t bus = 7;
    ic.ReadDefinitionHeader(bus);
    EXPECT_EQ(bus, 0u);
    EXPECT_EQ(ic.IcName(), r.icName);
    EXPECT_EQ(ic.GetValue(kIcConfigSection, "Project Type", ""), "FLASH");
    EXPECT_EQ(ic.GetValue(kIcConfigSection, "Def Bin", ""), r.defBin);
    int fw = 0;
    ASSERT_TRUE(ic.GetDefaultFirmwareId(fw));
    EXPECT_EQ(fw, *LookUpName(kFirmwareNames, r.defBin));
    EXPECT_EQ(ic.ConfigAddress(), r.configAddress);
    EXPECT_EQ(ic.ConfigSize(), r.configSize);
    EXPECT_EQ(ic.TagAddress(), r.tagAddress);
    std::uint32_t n = 0;
    EXPECT_EQ(ic.GetVendorNumber("TagAddress", &n), 1);
    EXPECT_EQ(n, r.tagAddress);
    EXPECT_EQ(ic.GetConfigSize(&n), 1);
    EXPECT_EQ(n, r.configSize);
    EXPECT_EQ(ic.GetConfigSize(nullptr), 0);
    // An unread key with its trailing blank, still a number.
    EXPECT_EQ(ic.GetValue(kVendorInfoSection, "PPAddress", ""), "0x10000 ");
    EXPECT_EQ(ic.GetValueInt(kVendorInfoSection, "PPAddress", 0), 0x10000u);
    for (const auto& reg : r.registers) {
      CICTypeIni fresh(0);
      fresh.LoadBuiltInDefinition(r.resource);
      EXPECT_EQ(fresh.MatchRegisters(reg[0], reg[1]), 1);
      EXPECT_EQ(fresh.ChipCode(), reg[2]);
      EXPECT_EQ(fresh.MatchedRegister1(), reg[0]);
      EXPECT_EQ(fresh.MatchedRegister2(), reg[1]);
    }
    std::uint8_t chip = 0;
    EXPECT_EQ(ic.ReadFirstChipInfo(chip), 1);
    EXPECT_EQ(chip, r.registers.front()[2]);
  }
}

TEST(IcType, StartUpLoadsTheVq7330ByDefault) {
  std::uint32_t bus = 2;
  auto ic = CreateIcTypeLayer(0, bus);
  EXPECT_EQ(ListNames(*ic), (std::vector<std::string>{"VQ7332.INI", "VQ7370.INI", "VQ7340.INI", "VQ7310.INI",
                                                      "VQ7322.INI", "VQ7330.INI"}));
  EXPECT_EQ(ic->SelectedName(), "VQ7330.INI");
  EXPECT_EQ(ic->GetValue(kIcConfigSection, "Def Bin", ""), "FFU_7330");
  EXPECT_EQ(ic->IcName(), "VQ7330");
  EXPECT_EQ(bus, 0u);
  EXPECT_EQ(ic->ChipCode(), 0);
  EXPECT_EQ(ic->MatchedRegister1(), 0xFF);
  EXPECT_EQ(ic->MatchedRegister2(), 0xFF);
  EXPECT_NE(ic->DefinitionText().find("Ic Name=VQ7330"), std::string::npos);

  // A selected name no built-in definition carries falls back to resource 2030.
  ic->SetSelectedName("NOPE.INI");
  ic->SelectDefaultDefinition();
  EXPECT_EQ(ic->IcName(), "");  // cleared by the selection
  ic->ReadIcName();
  EXPECT_EQ(ic->IcName(), "VQ7310");

  // An index beyond the built-in set loads nothing.
  ic->SelectDefinitionByIndex(kIcNames.size());
  EXPECT_EQ(ic->SectionCount(), 0u);
  EXPECT_EQ(ic->ConfigAddress(), 0u);
  EXPECT_EQ(ic->MatchRegisters(0x10, 0xB0), 0);
}

TEST(IcType, DeviceSearchOverTheBuiltInDefinitions) {
  struct Case {
    std::uint8_t reg1, reg2;
    bool found;
    const char* defBin;
    std::uint8_t chip;
  };
  const Case cases[] = {
      {0x10, 0xC0, true, "FFU_7332", 24},  // through the second register section
      {0x10, 0xF0, true, "FFU_7332", 24}, {0x00, 0x00, true, "FFU_7310", 17}, {0x10, 0x70, true, "FFU_7310", 17},
      {0x10, 0xB0, true, "FFU_7330", 21}, {0x10, 0x10, true, "FFU_7370", 26}, {0x20, 0x30, false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.reg1) << " " << int(c.reg2));
    std::unique_ptr<CICTypeIni> active;
    EXPECT_EQ(SearchIcTypeByRegisters(active, 0, c.reg1, c.reg2), c.found);
    ASSERT_NE(active, nullptr);
    if (!c.found) continue;
    EXPECT_EQ(active->GetValue(kIcConfigSection, "Def Bin", ""), c.defBin);
    EXPECT_EQ(active->ChipCode(), c.chip);
  }
}

TEST(IcType, RegisterMatchComparesLowBytesAndReadsNumbersWithTheirBase) {
  CICTypeIni ic(0);
  ic.ReadFromText(
      "[Camera_Register_00]\nICRegister1=0x110\nICRegister2=0x2B0\nChipInfo=017\n"
      "[Camera_Register_0F]\nICRegister1=0x33\nICRegister2=0x44\nChipInfo=0x15\n"
      "[Camera_Register_10]\nICRegister1=0x55\nICRegister2=0x66\nChipInfo=9\n");
  EXPECT_EQ(ic.MatchRegisters(0x10, 0xB0), 1);
  EXPECT_EQ(ic.ChipCode(), 15);  // 017 is octal
  EXPECT_EQ(ic.MatchRegisters(0x33, 0x44), 1);
  EXPECT_EQ(ic.ChipCode(), 0x15);
  EXPECT_EQ(ic.MatchRegisters(0x55, 0x66), 0);  // only sections 00 to 0F are consulted
  std::uint8_t chip = 99;
  ic.ReadFirstChipInfo(chip);
  EXPECT_EQ(chip, 15);

  CICTypeIni none(0);
  chip = 42;
  EXPECT_EQ(none.ReadFirstChipInfo(chip), 1);
  EXPECT_EQ(chip, 42);  // unchanged without the section
  EXPECT_EQ(none.ChipCode(), 42);
}

TEST(IcType, HeaderReadsBusTypeByName) {
  struct Case {
    const char* bus;
    std::uint32_t expected;
  };
  const Case cases[] = {{"USB", 0}, {"PCIE", 1}, {"MIPI", 2}, {"usb", 9}, {"USB ", 9}, {"", 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bus);
    CICTypeIni ic(0);
    ic.ReadFromText(std::string("[Drover Config]\nBus Type=") + c.bus + "\nIc Name=VQ7340\n");
    std::uint32_t bus = 9;
    ic.ReadDefinitionHeader(bus);
    EXPECT_EQ(bus, c.expected);
    EXPECT_EQ(ic.IcName(), "VQ7340");
  }
  EXPECT_EQ(LookUpName(kMemoryTypeNames, "EEPROM16"), 3);
  EXPECT_EQ(LookUpName(kMemoryTypeNames, "otp"), std::nullopt);
}

TEST(IcType, DefinitionFilesBesideTheProgram) {
  ProgramDir dir;
  dir.Write("x.ini", "[Drover Config]\nIc Name=X\n");
  dir.Write("config.ini", "[Drover Config]\nIc Name=SETTINGS\n");
  dir.Write("VQ7310.ini",
            "[Drover Config]\r\nIc Name=VQ7310\r\n[Camera_Register_00]\r\nICRegister1=0x10\r\nICRegister2=0x70\r\n"
            "ChipInfo=17\r\n[Vendor Info M1]\r\nConfigAddress=0xAE00\r\n");
  dir.Write("Config.ini", "[Drover Config]\nIc Name=C\n");
  dir.Write("b.INI", "[Drover Config]\nIc Name=B\n");
  dir.Write("notes.txt", "[Drover Config]\n");
  dir.MakeDir("folder.ini");

  CICTypeIni ic(1);
  ic.BuildDefinitionList();
  EXPECT_EQ(ListNames(ic), (std::vector<std::string>{"B.INI", "CONFIG.INI", "VQ7310.INI", "X.INI"}));
  EXPECT_EQ(ic.DefinitionCount(), 4u);

  // More than one entry and the selected name not among them: the first entry.
  ic.SelectDefaultDefinition();
  EXPECT_EQ(ic.SelectedName(), "B.INI");
  ic.ReadIcName();
  EXPECT_EQ(ic.IcName(), "B");

  // The upper-cased list name opens the file under its real name.
  ic.SetSelectedName("VQ7310.INI");
  ic.SelectDefaultDefinition();
  EXPECT_EQ(ic.SelectedName(), "VQ7310.INI");
  EXPECT_EQ(ic.ConfigAddress(), 0xAE00u);

  ic.SelectDefinitionByIndex(3);
  EXPECT_EQ(ic.SelectedName(), "X.INI");
  ic.ReadIcName();
  EXPECT_EQ(ic.IcName(), "X");
  ic.SelectDefinitionByIndex(9);
  EXPECT_EQ(ic.SelectedName(), "");
  EXPECT_EQ(ic.SectionCount(), 0u);

  std::unique_ptr<CICTypeIni> active;
  ASSERT_TRUE(SearchIcTypeByRegisters(active, 1, 0x10, 0x70));
  EXPECT_EQ(active->SelectedName(), "VQ7310.INI");
  EXPECT_EQ(active->ChipCode(), 17);
  int fw = 0;
  EXPECT_TRUE(active->FindFirmwareId("FFU_0B05_1996", fw));
  EXPECT_EQ(fw, 3040);
}

TEST(IcType, NoDefinitionFileBesidesConfigIni) {
  ProgramDir dir;
  dir.Write("config.ini", "[Drover Config]\nIc Name=SETTINGS\n[Vendor Info M1]\nConfigAddress=0xF000\n");
  std::uint32_t bus = 5;
  auto ic = CreateIcTypeLayer(1, bus);
  EXPECT_TRUE(ic->DefinitionList().empty());
  EXPECT_EQ(ic->SelectedName(), "");
  EXPECT_EQ(ic->ConfigAddress(), 0u);
  EXPECT_EQ(ic->IcName(), "");
  EXPECT_EQ(bus, 5u);
  int fw = 77;
  EXPECT_FALSE(ic->FindFirmwareId("FFU_7330", fw));
  EXPECT_EQ(fw, 0);
  std::unique_ptr<CICTypeIni> active;
  EXPECT_FALSE(SearchIcTypeByRegisters(active, 1, 0x10, 0xB0));
}

TEST(IcType, OneDefinitionFileIsSelectedWhateverItsName) {
  ProgramDir dir;
  dir.Write("mine.Ini", "[Drover Config]\nIc Name=MINE\n");
  CICTypeIni ic(1);
  ic.BuildDefinitionList();
  ic.SelectDefaultDefinition();
  EXPECT_EQ(ic.SelectedName(), "MINE.INI");
  ic.ReadIcName();
  EXPECT_EQ(ic.IcName(), "MINE");
}

TEST(IcType, FirmwareNames) {
  EXPECT_EQ(FirmwareNameFromIdentity("VID_0B05&PID_1996&REV_0000"), "FFU_0B05_1996");
  EXPECT_EQ(FirmwareNameFromIdentity("VID_0BDA&PID_4C15&REV_0100"), "FFU_0BDA_4C15");
  CICTypeIni ic(0);
  ic.BuildDefinitionList();
  int fw = 0;
  EXPECT_TRUE(ic.FindFirmwareId("FFU_0B05_1A97", fw));
  EXPECT_EQ(fw, 3085);
  EXPECT_FALSE(ic.FindFirmwareId("ffu_0b05_1a97", fw));  // names compare exactly

  std::set<std::string_view> names;
  std::set<int> ids;
  for (const NameNumber& row : kFirmwareNames) {
    SCOPED_TRACE(std::string(row.name));
    EXPECT_TRUE(names.insert(row.name).second);
    EXPECT_TRUE(ids.insert(row.number).second);
    ASSERT_EQ(row.name.substr(0, 4), "FFU_");
    const std::string_view rest = row.name.substr(4);
    const bool model = rest.size() == 4;
    const bool usbId = rest.size() == 9 && rest[4] == '_';
    EXPECT_TRUE(model || usbId);
    for (char c : rest) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '_');
    EXPECT_FALSE(res::FindResource(kFirmwareResourceType, row.number).empty());
  }
}

TEST(IcType, BuiltInAllowList) {
  CICTypeIni list(0);
  ASSERT_TRUE(list.LoadBuiltInDefinition(kVidPidListResource));
  const std::string& text = list.DefinitionText();
  ASSERT_FALSE(text.empty());
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "every line ends with CR LF";
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  std::vector<std::string> active;
  std::size_t commented = 0;
  std::size_t groups = 1;
  std::set<std::string> vendors;
  for (const std::string& line : lines) {
    if (line.empty()) {
      ++groups;
      continue;
    }
    ASSERT_EQ(line.find('\n'), std::string::npos);
    const std::string entry = line.rfind("//", 0) == 0 ? line.substr(2) : line;
    ASSERT_EQ(entry.size(), 26u) << line;
    EXPECT_EQ(entry.substr(0, 4), "VID_");
    EXPECT_EQ(entry.substr(8, 5), "&PID_");
    EXPECT_EQ(entry.substr(17, 5), "&REV_");
    vendors.insert(entry.substr(4, 4));
    if (line.rfind("//", 0) == 0) ++commented;
    else active.push_back(line);
  }
  EXPECT_EQ(active, (std::vector<std::string>{"VID_0B05&PID_1996&REV_0000", "VID_0B05&PID_1A52&REV_0000",
                                              "VID_0B05&PID_1A97&REV_0000"}));
  EXPECT_EQ(commented, 70u);
  EXPECT_EQ(groups, 9u);
  EXPECT_EQ(vendors, (std::set<std::string>{"0B05", "0BDA", "0DB0", "0414", "17AA", "282B", "0909", "1038", "26CE"}));
  // Through the INI reader every entry is a key of the nameless section.
  EXPECT_EQ(list.KeyNames(list.FindSection("")).size(), 73u);
}

}  // namespace
}  // namespace drover
