#pragma once
// IC-type definitions: the INI text that names a chip, its bus, its default firmware image,
// the register bytes that recognise it and the place of the configuration block in its
// memory; plus the four name tables of the built-in data.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/ini_file.h"

namespace drover {

// A name and its number: one row of the name tables.
struct NameNumber {
  std::string_view name;
  int number = 0;
};

// Resource types and the numbers of the built-in data that are not IC types.
inline constexpr std::string_view kIcIniResourceType = "ICINI";
inline constexpr std::string_view kFirmwareResourceType = "BINARY";
inline constexpr int kSettingsResource = 3032;
inline constexpr int kVidPidListResource = 3034;

// Sections and keys of a definition (compared without regard to case).
inline constexpr const char* kIcConfigSection = "Drover Config";
inline constexpr const char* kVendorInfoSection = "Vendor Info M1";
inline constexpr int kRegisterSectionCount = 16;  // [Camera_Register_00] .. [Camera_Register_0F]

// The MemoryType values by name.
inline constexpr std::array<NameNumber, 5> kMemoryTypeNames{{
    {"FLASH", 0}, {"EEPROM8", 2}, {"EEPROM16", 3}, {"MTP", 4}, {"OTP", 6}}};
// The BusType values by name.
inline constexpr std::array<NameNumber, 3> kBusNames{{{"USB", 0}, {"PCIE", 1}, {"MIPI", 2}}};
// Built-in IC-type definitions, in search order: IC name and ICINI resource number.
inline constexpr std::array<NameNumber, 6> kIcNames{{{"VQ7332", 2032},
                                                     {"VQ7370", 2035},
                                                     {"VQ7340", 2033},
                                                     {"VQ7310", 2030},
                                                     {"VQ7322", 2034},
                                                     {"VQ7330", 2031}}};
// Built-in firmware images: name and BINARY resource number. "FFU_" plus a chip model, or
// "FFU_" plus the USB vendor and product id (four upper-case hexadecimal digits each).
inline constexpr std::array<NameNumber, 55> kFirmwareNames{{
    {"FFU_7310", 3012},      {"FFU_7330", 3018},      {"FFU_7332", 3020},      {"FFU_7340", 3023},
    {"FFU_7322", 3045},      {"FFU_7370", 3046},      {"FFU_282B_001F", 3021}, {"FFU_282B_0033", 3022},
    {"FFU_17AA_1046", 3035}, {"FFU_17AA_104D", 3038}, {"FFU_0BDA_4C15", 3039}, {"FFU_0B05_1984", 3044},
    {"FFU_0B05_1996", 3040}, {"FFU_0B05_1998", 3041}, {"FFU_0B05_1999", 3042}, {"FFU_0B05_19AC", 3043},
    {"FFU_0B05_1A16", 3047}, {"FFU_0B05_1A20", 3048}, {"FFU_0B05_1A27", 3076}, {"FFU_0B05_1A52", 3077},
    {"FFU_0B05_1A53", 3078}, {"FFU_0B05_1A5C", 3079}, {"FFU_0B05_1A97", 3085}, {"FFU_0DB0_1BCA", 3049},
    {"FFU_0DB0_1D34", 3050}, {"FFU_0DB0_1FEB", 3051}, {"FFU_0DB0_005A", 3052}, {"FFU_0DB0_5F5D", 3053},
    {"FFU_0DB0_6CC9", 3054}, {"FFU_0DB0_7B3D", 3080}, {"FFU_0DB0_8AF7", 3055}, {"FFU_0DB0_80A5", 3056},
    {"FFU_0DB0_82C7", 3081}, {"FFU_0DB0_95BB", 3057}, {"FFU_0DB0_124B", 3058}, {"FFU_0DB0_151F", 3059},
    {"FFU_0DB0_419C", 3060}, {"FFU_0DB0_3130", 3082}, {"FFU_0DB0_4240", 3061}, {"FFU_0DB0_A7C2", 3083},
    {"FFU_0DB0_A47C", 3062}, {"FFU_0DB0_A073", 3063}, {"FFU_0DB0_A228", 3064}, {"FFU_0DB0_B202", 3065},
    {"FFU_0DB0_BB5A", 3066}, {"FFU_0DB0_E06C", 3067}, {"FFU_0414_A00B", 3074}, {"FFU_0414_A00D", 3068},
    {"FFU_0414_A00E", 3069}, {"FFU_0414_A00F", 3070}, {"FFU_0414_A010", 3071}, {"FFU_0414_A011", 3072},
    {"FFU_0414_A012", 3073}, {"FFU_0414_A014", 3075}, {"FFU_26CE_0A06", 3084}}};

// Exact (case-sensitive) lookup in a name table.
std::optional<int> LookUpName(std::span<const NameNumber> table, std::string_view name);

// The firmware image name of a device identity "VID_vvvv&PID_pppp&REV_rrrr": the text before
// the last "&", with "VID" and "&PID" removed and "FFU" in front ("FFU_vvvv_pppp").
std::string FirmwareNameFromIdentity(const std::string& vidPidRev);

// The INI layer of the user's data; adds nothing to the reader.
class CUserIni : public CIniFile {
 public:
  using CIniFile::CIniFile;
};

// The active IC-type definition with the name tables. "Ini Type" 1 reads the definitions from
// the "*.INI" files of the program directory, any other value from the built-in set.
class CICTypeIni : public CUserIni {
 public:
  // One entry of the definition list: the upper-cased name and the file it is opened from
  // (for built-in definitions the two are the same).
  struct DefinitionEntry {
    std::string name;
    std::string fileName;
  };

  explicit CICTypeIni(std::uint32_t iniType = 0);

  std::uint32_t IniType() const { return m_uIniType; }
  bool FromFiles() const { return m_uIniType == 1; }

  // Empties the definition list and fills it: the built-in names, or the "*.INI" files of the
  // program directory ("config.ini" skipped), sorted by their upper-cased names.
  void BuildDefinitionList();
  // Loads the selected definition (built-in: the one named "VQ7330.INI" by default).
  void SelectDefaultDefinition();
  // Loads definition i of the list (built-in: of kIcNames); an index beyond loads nothing.
  void SelectDefinitionByIndex(std::size_t i);
  // SelectDefinitionByIndex(i), then MatchRegisters; true on a match.
  bool SelectAndMatchRegisters(std::uint8_t reg1, std::uint8_t reg2, std::size_t i);
  // 1 when one of [Camera_Register_00..0F] has ICRegister1/ICRegister2 whose low bytes equal
  // reg1/reg2 (chip code and matched registers then set), else 0.
  int MatchRegisters(std::uint8_t reg1, std::uint8_t reg2);
  // ChipInfo of [Camera_Register_00] into out (unchanged without the section); sets the chip
  // code to out; returns 1.
  int ReadFirstChipInfo(std::uint8_t& out);
  // Reads "Bus Type" (busType takes its number when the name is in kBusNames, else stays)
  // and "Ic Name".
  void ReadDefinitionHeader(std::uint32_t& busType);
  void ReadIcName();
  // Number `key` of [Vendor Info M1] ("ConfigAddress", "TagAddress"); 0 only when out is null.
  int GetVendorNumber(const std::string& key, std::uint32_t* out) const;
  // "ConfigSize" of [Vendor Info M1]; 0 only when out is null.
  int GetConfigSize(std::uint32_t* out) const;
  // "Def Bin" looked up in kFirmwareNames; true with the resource number when found.
  bool GetDefaultFirmwareId(int& out) const;
  // name looked up in kFirmwareNames; with an empty definition list out is 0 and false.
  bool FindFirmwareId(const std::string& name, int& out) const;
  // Clears the loaded sections and parses the built-in ICINI resource `resourceId` (also the
  // allow-list 3034); false when the program carries no such resource or it is empty.
  bool LoadBuiltInDefinition(int resourceId);

  // Shorthands for the keys of [Vendor Info M1] (0 when missing).
  std::uint32_t ConfigAddress() const;
  std::uint32_t ConfigSize() const;
  std::uint32_t TagAddress() const;

  std::uint8_t ChipCode() const { return m_byChipCode; }
  std::uint8_t MatchedRegister1() const { return m_byMatchedReg1; }
  std::uint8_t MatchedRegister2() const { return m_byMatchedReg2; }
  const std::string& SelectedName() const { return m_strSelectedName; }
  void SetSelectedName(std::string name) { m_strSelectedName = std::move(name); }
  const std::vector<DefinitionEntry>& DefinitionList() const { return m_definitionList; }
  const std::string& IcName() const { return m_strIcName; }
  // The text of the last built-in definition loaded (the allow-list reads its lines here).
  const std::string& DefinitionText() const { return m_strDefinitionText; }
  // Definitions a device search walks: the list length (files) or kIcNames' length.
  std::size_t DefinitionCount() const;

 private:
  void ClearDefinition();
  void LoadFromFile(const std::string& listName);

  std::uint32_t m_uIniType = 0;
  std::uint8_t m_byChipCode = 0;
  std::uint8_t m_byMatchedReg1 = 0xFF;
  std::uint8_t m_byMatchedReg2 = 0xFF;
  std::string m_strSelectedName = "VQ7330.INI";
  std::vector<DefinitionEntry> m_definitionList;
  std::string m_strIcName;
  std::string m_strDefinitionText;
};

// Start-up: construct, build the list, select the default definition and read its header.
std::unique_ptr<CICTypeIni> CreateIcTypeLayer(std::uint32_t iniType, std::uint32_t& busType);

// The device search over all definitions: for each index, a fresh CICTypeIni replaces
// `active` and tries SelectAndMatchRegisters; the first match ends the search (true) with that
// definition active. Without a match `active` holds the last definition tried (or stays as it
// was when there is no definition to try).
bool SearchIcTypeByRegisters(std::unique_ptr<CICTypeIni>& active, std::uint32_t iniType, std::uint8_t reg1,
                             std::uint8_t reg2);

}  // namespace drover
