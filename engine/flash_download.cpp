// The flash entry points of CFlashInfo and the slots of the SPI flash leaf.
#include <algorithm>
#include <array>
#include <optional>

#include "base/bytes.h"
#include "base/file_util.h"
#include "base/message_box.h"
#include "base/status.h"
#include "base/trace.h"
#include "engine/flash_info.h"
#include "engine/update_rules.h"
#include "image/config_block.h"

namespace drover {

namespace {

// Devices that keep unit data in their flash, which a download would otherwise erase.
constexpr std::uint16_t kUnitItemVid = 0x0B05;
constexpr std::array<std::uint16_t, 2> kUnitItemPids{0x18A6, 0x1965};
constexpr std::uint16_t kUnitSectorVid = 0x0BDA;
constexpr std::uint16_t kUnitSectorPid = 0x4C15;

constexpr std::uint32_t kConfigSector = 0xF000;  // the configuration block of the flash code
constexpr std::uint32_t kUnitSector = 0x1F000;   // 4 KiB of unit data
constexpr std::uint32_t kSectorSize = 0x1000;
constexpr std::uint8_t kCodeMark = 0x55;           // first byte of a configuration block in use
constexpr std::uint8_t kExtendedItem = 0xFF;       // item form: 0xFF, type, total length LE16
constexpr std::uint8_t kUnitItemType = 0x50;
constexpr std::size_t kUnitPayloadMax = 16;
constexpr std::size_t kExtendedHeader = 4;
constexpr std::size_t kItemsStart = 6;

// One item of a configuration block as the unit-data walk sees it.
struct UnitItem {
  std::size_t offset;
  std::size_t length;
  bool unitData;  // the extended item of type 0x50
};

// Walks the block in `block` (its header at 0) by its item count; items must lie inside the
// bytes given. None when the block cannot be walked.
std::optional<std::vector<UnitItem>> WalkUnitItems(std::span<const std::uint8_t> block) {
  if (block.size() < kItemsStart) return std::nullopt;
  std::vector<UnitItem> items;
  std::size_t pos = kItemsStart;
  for (unsigned i = 0; i < block[5]; ++i) {
    if (block.size() - pos < 2) return std::nullopt;
    std::size_t length = block[pos];
    const bool extended = block[pos] == kExtendedItem;
    if (extended) {
      if (block.size() - pos < kExtendedHeader) return std::nullopt;
      length = ReadLE16(block, pos + 2);
    }
    if (length < (extended ? kExtendedHeader : 2) || length > block.size() - pos) return std::nullopt;
    items.push_back({pos, length, extended && block[pos + 1] == kUnitItemType});
    pos += length;
  }
  return items;
}

}  // namespace

bool CFlashInfo::CarryOverConfigItem(std::uint32_t& err) {
  TraceScope scope("CFlashInfo::CarryOverConfigItem", false);
  if (m_wVid != kUnitItemVid || std::find(kUnitItemPids.begin(), kUnitItemPids.end(), m_wPid) == kUnitItemPids.end())
    return true;
  std::vector<std::uint8_t> flash(kSectorSize, 0);
  MP_ReadFlashBytes(kConfigSector, flash);
  if (flash[0] != kCodeMark) {
    ShowMessageBox("SPI code not exist.", "Error", MB_OK);
    return true;
  }
  const auto flashItems = WalkUnitItems(flash);
  if (!flashItems) return true;
  const auto found = std::find_if(flashItems->begin(), flashItems->end(), [](const UnitItem& i) { return i.unitData; });
  if (found == flashItems->end()) return true;

  // The unit's payload; one too long to be the unit data is replaced by 16 zero bytes.
  std::vector<std::uint8_t> payload(kUnitPayloadMax, 0);
  if (found->length - kExtendedHeader <= kUnitPayloadMax) {
    const auto from = flash.begin() + static_cast<std::ptrdiff_t>(found->offset + kExtendedHeader);
    payload.assign(from, from + static_cast<std::ptrdiff_t>(found->length - kExtendedHeader));
  }
  std::vector<std::uint8_t> item{kExtendedItem, kUnitItemType};
  item.push_back(static_cast<std::uint8_t>((payload.size() + kExtendedHeader) & 0xFF));
  item.push_back(static_cast<std::uint8_t>((payload.size() + kExtendedHeader) >> 8));
  item.insert(item.end(), payload.begin(), payload.end());

  // The image's block at the same place must be able to take the item; an image that ends
  // before it, or has no room there, is not for this device: downloading it would lose the
  // unit data.
  const auto refuse = [&](const char* why) {
    TraceFail(scope, why);
    err = kIdWrongFirmware;
    return false;
  };
  if (m_pFileData.size() <= kConfigSector + kItemsStart) return refuse("Image too short for the unit data\n");
  const std::size_t areaSize = std::min<std::size_t>(kSectorSize, m_pFileData.size() - kConfigSector);
  const std::span<std::uint8_t> area(m_pFileData.data() + kConfigSector, areaSize);
  if (area[1] != kBlockSignature) return refuse("No configuration block for the unit data\n");
  const auto items = WalkUnitItems(area);
  if (!items) return refuse("Configuration block of the image cannot be walked\n");
  const std::size_t end = items->empty() ? kItemsStart : items->back().offset + items->back().length;
  const auto existing = std::find_if(items->begin(), items->end(), [](const UnitItem& i) { return i.unitData; });
  const std::size_t at = existing != items->end() ? existing->offset : end;
  const std::size_t oldLength = existing != items->end() ? existing->length : 0;

  // The items after the one replaced move by the change of length; the bytes they grow into
  // must be free (0xFF) so that nothing after the items, such as code, is overwritten.
  const std::size_t newEnd = end - oldLength + item.size();
  if (newEnd > area.size()) return refuse("No room for the unit data item\n");
  if (newEnd > end && !AllBlank(std::span<const std::uint8_t>(area).subspan(end, newEnd - end)))
    return refuse("No room for the unit data item\n");
  std::vector<std::uint8_t> tail(area.begin() + static_cast<std::ptrdiff_t>(at + oldLength),
                                 area.begin() + static_cast<std::ptrdiff_t>(end));
  std::fill(area.begin() + static_cast<std::ptrdiff_t>(at), area.begin() + static_cast<std::ptrdiff_t>(end), 0xFF);
  std::copy(item.begin(), item.end(), area.begin() + static_cast<std::ptrdiff_t>(at));
  std::copy(tail.begin(), tail.end(), area.begin() + static_cast<std::ptrdiff_t>(at + item.size()));
  if (existing == items->end()) area[5] = static_cast<std::uint8_t>(area[5] + 1);
  // The block length follows its items, so that a reader bounded by it still sees them all.
  const std::int64_t grown = static_cast<std::int64_t>(ReadLE16(area, 3)) + static_cast<std::int64_t>(newEnd) -
                            static_cast<std::int64_t>(end);
  const std::uint16_t blockLength = static_cast<std::uint16_t>(std::clamp<std::int64_t>(grown, 0, 0xFFFF));
  area[3] = static_cast<std::uint8_t>(blockLength & 0xFF);
  area[4] = static_cast<std::uint8_t>(blockLength >> 8);
  return true;
}

bool CFlashInfo::CarryOverUnitSector(std::uint32_t& err) {
  TraceScope scope("CFlashInfo::CarryOverUnitSector", false);
  if (m_wVid != kUnitSectorVid || m_wPid != kUnitSectorPid) return true;
  std::vector<std::uint8_t> sector(kSectorSize, 0);
  if (!MP_ReadFlashBytes(kUnitSector, sector)) return true;
  if (m_pFileData.size() < kUnitSector + kSectorSize) {
    TraceFail(scope, "Image too short for the unit data\n");
    err = kIdWrongFirmware;
    return false;
  }
  std::copy(sector.begin(), sector.end(), m_pFileData.begin() + kUnitSector);
  return true;
}

int CFlashInfo::FFU_Download() {
  TraceScope scope("CFlashInfo::FFU_Download");
  MP_ReadIdentity(false);
  std::uint32_t err = 0;
  if (!RunPreAction(kIdFirmwareUpdateOk, err)) {
    PostToDialog(UM_ERROR, err, 0);
    return 0;
  }
  MP_ReadIdentity(false);
  if (!CarryOverConfigItem(err) || !CarryOverUnitSector(err)) {
    PostToDialog(UM_ERROR, err, 0);
    return 0;
  }

  const std::uint8_t chipCode = m_ctx.IcType().ChipCode();
  // Chip codes 23 and 26 write their code beside the running one, without update mode.
  int result = (chipCode == 23 || chipCode == 26) ? 1 : MP_OpenRomDevice();
  if (result) {
    result = FF_Update(m_pFileData);
    const std::uint32_t status = GetLastStatus();
    SaveSnCountdown();
    // The countdown's posts carry no identifier; a failed update keeps its own.
    if (!result) SetLastStatus(status);
    if (result) {
      MP_ReadIdentity(true);
      PostToDialog(UM_PROGRESS, 100, 0);
      PostToDialog(UM_RESULT, kIdFirmwareUpdateOk, 0);
    }
  }
  MP_ReadIdentity(false);
  if (!m_ctx.bCommandLineMode) {
    MP_GetStatusVersion();
    MP_RefreshVersion();
  }
  return result;
}

int CFlashInfo::FFU_Silence_WriteBin(const std::string& path) {
  TraceScope scope("CFlashInfo::FFU_Silence_WriteBin");
  if (!SilentLoadAndCheck(scope, path, true, true)) return 0;
  return FFU_Download();
}

int CFlashInfo::FFU_Silence_WriteSNBin(const std::string& path, const std::string&) {
  TraceScope scope("CFlashInfo::FFU_Silence_WriteSNBin");
  if (!SilentLoadAndCheck(scope, path, false, true)) return 0;
  return FFU_Download();
}

int CFlashInfo::FFU_Silence_VerifyBin(const std::string& path) {
  TraceScope scope("CFlashInfo::FFU_Silence_VerifyBin");
  if (!SilentLoad(scope, path)) return 0;
  const std::uint32_t size = static_cast<std::uint32_t>(m_pFileData.size());
  m_ctx.dwDumpSize = size;
  // The image is read where the download put it: chip codes 23 and 26 keep it above the
  // first bank.
  if (!FF_ReadCode(FlashImageBase(m_ctx.IcType().ChipCode(), size))) return 0;
  return CompareWithFile();
}

// ---- slots of the SPI flash leaf ----

int CSPIFlashInfo_USB::DEV_ReadCode() {
  TraceScope scope("CSPIFlashInfo_USB::DEV_ReadCode");
  return FF_ReadCode(0);
}

int CSPIFlashInfo_USB::DEV_EraseCode() {
  TraceScope scope("CSPIFlashInfo_USB::DEV_EraseCode");
  if (!MP_OpenRomDevice() || !FF_EraseJob()) return 0;
  PostToDialog(UM_PROGRESS, 100, 0);
  PostToDialog(UM_RESULT, kIdEraseFlashOk, 0);
  return 1;
}

int CSPIFlashInfo_USB::DEV_UpdateCode() {
  TraceScope scope("CSPIFlashInfo_USB::DEV_UpdateCode");
  if (!MP_OpenRomDevice() || !FF_Update(m_pCodeData)) return 0;
  PostToDialog(UM_PROGRESS, 100, 0);
  PostToDialog(UM_RESULT, kIdUpdateFlashOk, 0);
  return 1;
}

int CSPIFlashInfo_USB::DEV_Download() { return FFU_Download(); }

int CSPIFlashInfo_USB::DEV_Silence_WriteBin(const std::string& path) { return FFU_Silence_WriteBin(path); }

int CSPIFlashInfo_USB::DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  return FFU_Silence_WriteSNBin(path, serial);
}

int CSPIFlashInfo_USB::DEV_Silence_ReadBin(const std::string& path) {
  TraceScope scope("CSPIFlashInfo_USB::DEV_Silence_ReadBin");
  return ReadCodeToFile(path, false, kIdReadFlashFail);
}

int CSPIFlashInfo_USB::DEV_Silence_VerifyBin(const std::string& path) { return FFU_Silence_VerifyBin(path); }

int CSPIFlashInfo_USB::DEV_Silence_ReadText(const std::string& path) {
  TraceScope scope("CSPIFlashInfo_USB::DEV_Silence_ReadText");
  return ReadCodeToFile(path, true, kIdReadFlashFail);
}

int CSPIFlashInfo_USB::DEV_Silence_Erase(std::uint32_t resetToCode) {
  TraceScope scope("CSPIFlashInfo_USB::DEV_Silence_Erase");
  SetResetToCode(resetToCode);
  if (!FF_EraseJob()) return 0;
  PostToDialog(UM_PROGRESS, 100, 0);
  PostToDialog(UM_RESULT, kIdEraseFlashOk, 0);
  return 1;
}

}  // namespace drover
