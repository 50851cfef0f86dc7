#include "image/ic_type.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "base/file_util.h"
#include "base/strfmt.h"
#include "base/trace.h"
#include "resources/resource.h"

namespace drover {

namespace {

constexpr int kDefaultBuiltInResource = 2030;
constexpr std::size_t kMaxIcNameChars = 259;
constexpr const char* kSkippedIniFile = "config.ini";  // the settings file beside the program, never an IC type

bool HasIniExtension(const std::string& name) {
  return name.size() >= 4 && EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".ini");
}

std::string RegisterSectionName(int n) { return StrFormat("Camera_%s_%02X", "Register", n); }

}  // namespace

std::optional<int> LookUpName(std::span<const NameNumber> table, std::string_view name) {
  for (const NameNumber& row : table) {
    if (row.name == name) return row.number;
  }
  return std::nullopt;
}

std::string FirmwareNameFromIdentity(const std::string& vidPidRev) {
  const std::size_t amp = vidPidRev.rfind('&');
  std::string name = "FFU" + (amp == std::string::npos ? vidPidRev : vidPidRev.substr(0, amp));
  for (const char* cut : {"VID", "&PID"}) {
    for (std::size_t at = name.find(cut); at != std::string::npos; at = name.find(cut)) {
      name.erase(at, std::char_traits<char>::length(cut));
    }
  }
  return name;
}

CICTypeIni::CICTypeIni(std::uint32_t iniType) : m_uIniType(iniType) {}

void CICTypeIni::BuildDefinitionList() {
  m_definitionList.clear();
  if (!FromFiles()) {
    for (const NameNumber& ic : kIcNames) {
      std::string name = AsciiUpper(std::string(ic.name) + ".ini");
      m_definitionList.push_back({name, name});
    }
    return;
  }
  const std::filesystem::path dir(GetModuleDirectory(false));
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fileEc;
    if (!it->is_regular_file(fileEc)) continue;
    const std::string fileName = it->path().filename().string();
    if (fileName == "." || fileName == ".." || !HasIniExtension(fileName)) continue;
    if (fileName == kSkippedIniFile) continue;  // exactly: "Config.ini" is an IC type like any other
    m_definitionList.push_back({AsciiUpper(fileName), fileName});
  }
  // Directory order is arbitrary; the list order decides the default and the search order.
  std::sort(m_definitionList.begin(), m_definitionList.end(), [](const DefinitionEntry& a, const DefinitionEntry& b) {
    return a.name != b.name ? a.name < b.name : a.fileName < b.fileName;
  });
}

std::size_t CICTypeIni::DefinitionCount() const { return FromFiles() ? m_definitionList.size() : kIcNames.size(); }

void CICTypeIni::ClearDefinition() {
  Clear();
  m_strIcName.clear();
}

bool CICTypeIni::LoadBuiltInDefinition(int resourceId) {
  ClearDefinition();
  std::span<const std::uint8_t> data = res::FindResource(kIcIniResourceType, resourceId);
  if (data.empty()) return false;
  m_strDefinitionText.assign(data.begin(), data.end());
  ReadFromText(m_strDefinitionText);
  return true;
}

void CICTypeIni::LoadFromFile(const std::string& listName) {
  ClearDefinition();
  if (listName.empty()) return;
  for (const DefinitionEntry& e : m_definitionList) {
    if (e.name == listName) {
      SetPath(GetModuleDirectory(true) + e.fileName);
      ReadIniFile();
      return;
    }
  }
}

void CICTypeIni::SelectDefaultDefinition() {
  if (!FromFiles()) {
    int resource = kDefaultBuiltInResource;
    for (const NameNumber& ic : kIcNames) {
      if (AsciiUpper(std::string(ic.name) + ".ini") == m_strSelectedName) {
        resource = ic.number;
        break;
      }
    }
    LoadBuiltInDefinition(resource);
    return;
  }
  if (m_definitionList.empty()) {
    m_strSelectedName.clear();
    ClearDefinition();
    return;
  }
  if (m_definitionList.size() == 1) {
    m_strSelectedName = m_definitionList.front().name;
  } else {
    if (m_strSelectedName.empty()) m_strSelectedName = m_definitionList.front().name;
    const bool listed = std::any_of(m_definitionList.begin(), m_definitionList.end(),
                                    [&](const DefinitionEntry& e) { return e.name == m_strSelectedName; });
    if (!listed) m_strSelectedName = m_definitionList.front().name;
  }
  LoadFromFile(m_strSelectedName);
}

void CICTypeIni::SelectDefinitionByIndex(std::size_t i) {
  if (!FromFiles()) {
    // An index beyond the vector names no resource, so nothing is loaded.
    const int resource = i < kIcNames.size() ? kIcNames[i].number : static_cast<int>(kIcNames.size());
    LoadBuiltInDefinition(resource);
    return;
  }
  if (m_definitionList.empty()) {
    m_strSelectedName.clear();
    ClearDefinition();
    return;
  }
  m_strSelectedName = i < m_definitionList.size() ? m_definitionList[i].name : std::string();
  LoadFromFile(m_strSelectedName);
}

bool CICTypeIni::SelectAndMatchRegisters(std::uint8_t reg1, std::uint8_t reg2, std::size_t i) {
  SelectDefinitionByIndex(i);
  return MatchRegisters(reg1, reg2) != 0;
}

int CICTypeIni::MatchRegisters(std::uint8_t reg1, std::uint8_t reg2) {
  for (int n = 0; n < kRegisterSectionCount; ++n) {
    const int section = FindSection(RegisterSectionName(n));
    if (section < 0) continue;
    const std::uint32_t r1 = GetValueInt(section, "ICRegister1", 0);
    const std::uint32_t r2 = GetValueInt(section, "ICRegister2", 0);
    if ((r1 & 0xFF) == reg1 && (r2 & 0xFF) == reg2) {
      m_byMatchedReg1 = reg1;
      m_byMatchedReg2 = reg2;
      m_byChipCode = static_cast<std::uint8_t>(GetValueInt(section, "ChipInfo", 0) & 0xFF);
      return 1;
    }
  }
  return 0;
}

int CICTypeIni::ReadFirstChipInfo(std::uint8_t& out) {
  const int section = FindSection(RegisterSectionName(0));
  if (section >= 0) out = static_cast<std::uint8_t>(GetValueInt(section, "ChipInfo", 0) & 0xFF);
  m_byChipCode = out;
  return 1;
}

void CICTypeIni::ReadDefinitionHeader(std::uint32_t& busType) {
  const std::string bus = GetValue(kIcConfigSection, "Bus Type", "");
  if (std::optional<int> number = LookUpName(kBusNames, bus)) busType = static_cast<std::uint32_t>(*number);
  ReadIcName();
}

void CICTypeIni::ReadIcName() {
  m_strIcName = CutUtf8(NarrowToWide(GetValue(kIcConfigSection, "Ic Name", "")), kMaxIcNameChars);
}

int CICTypeIni::GetVendorNumber(const std::string& key, std::uint32_t* out) const {
  if (!out) return 0;
  *out = GetValueInt(kVendorInfoSection, key, 0);
  return 1;
}

int CICTypeIni::GetConfigSize(std::uint32_t* out) const { return GetVendorNumber("ConfigSize", out); }

std::uint32_t CICTypeIni::ConfigAddress() const { return GetValueInt(kVendorInfoSection, "ConfigAddress", 0); }
std::uint32_t CICTypeIni::ConfigSize() const { return GetValueInt(kVendorInfoSection, "ConfigSize", 0); }
std::uint32_t CICTypeIni::TagAddress() const { return GetValueInt(kVendorInfoSection, "TagAddress", 0); }

bool CICTypeIni::GetDefaultFirmwareId(int& out) const {
  std::optional<int> id = LookUpName(kFirmwareNames, GetValue(kIcConfigSection, "Def Bin", ""));
  if (!id) return false;
  out = *id;
  return true;
}

bool CICTypeIni::FindFirmwareId(const std::string& name, int& out) const {
  if (m_definitionList.empty()) {
    out = 0;
    return false;
  }
  std::optional<int> id = LookUpName(kFirmwareNames, WideToNarrow(name));
  if (!id) return false;
  out = *id;
  return true;
}

std::unique_ptr<CICTypeIni> CreateIcTypeLayer(std::uint32_t iniType, std::uint32_t& busType) {
  TraceScope scope("CreateIcTypeLayer");
  auto ic = std::make_unique<CICTypeIni>(iniType);
  ic->BuildDefinitionList();
  ic->SelectDefaultDefinition();
  ic->ReadDefinitionHeader(busType);
  return ic;
}

bool SearchIcTypeByRegisters(std::unique_ptr<CICTypeIni>& active, std::uint32_t iniType, std::uint8_t reg1,
                             std::uint8_t reg2) {
  TraceScope scope("SearchIcTypeByRegisters");
  std::size_t count = kIcNames.size();
  if (iniType == 1) {
    CICTypeIni probe(iniType);
    probe.BuildDefinitionList();
    count = probe.DefinitionList().size();
  }
  for (std::size_t i = 0; i < count; ++i) {
    active.reset();
    active = std::make_unique<CICTypeIni>(iniType);
    active->BuildDefinitionList();
    if (active->SelectAndMatchRegisters(reg1, reg2, i)) return true;
  }
  TraceLine(scope, "No IC type for registers 0x%02X 0x%02X\n", reg1, reg2);
  return false;
}

}  // namespace drover
