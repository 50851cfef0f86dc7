#pragma once
// Firmware images: raw memory images with one configuration block inside. These readers find
// and validate the block and take from it what the download needs: chip code, memory kind,
// identity texts and the region a rewrite of the block covers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace drover {

class CICTypeIni;

// MemoryType values.
inline constexpr std::uint32_t kMemorySpiFlash = 0;
inline constexpr std::uint32_t kMemoryNorFlash = 1;
inline constexpr std::uint32_t kMemoryEeprom8 = 2;
inline constexpr std::uint32_t kMemoryEeprom16 = 3;
inline constexpr std::uint32_t kMemoryMtp = 4;
inline constexpr std::uint32_t kMemoryOtp = 6;

inline constexpr std::uint8_t kNoChipCode = 255;           // no valid configuration block
inline constexpr std::uint32_t kDefaultDumpSize = 0x40000;  // the device flow's dump size at start
inline constexpr std::size_t kEepromImageSize = 0x4000;     // a 16 KB VQ7330 image is an EEPROM image
inline constexpr std::size_t kFlashImageSize = 0x10000;
inline constexpr std::size_t kConfigSectorOffset = 0xF000;
inline constexpr std::size_t kCodeIdentityMinLength = 0x1020;  // images longer than this carry it
inline constexpr const char* kConfigCorruptedText = "Config file corrupted";

// Everything the image readers take from and give back to the device flow. The flow owns one
// and keeps it for the life of its loaded images.
struct ImageState {
  // In: the active IC-type definition ("ConfigAddress", "Ic Name"; the serial-number rewrite
  // also "ConfigSize", "TagAddress"); null reads as an empty definition.
  const CICTypeIni* pIcType = nullptr;
  // In: the device flow's memory size, the dump size (0x40000 at start, 0x10000 for the small
  // SPI dump, the file length during a silent verify).
  std::uint32_t dwMemorySize = kDefaultDumpSize;
  // In and out: MemoryType; ApplyImageKind changes it while a block is read.
  std::uint32_t uMemoryType = kMemorySpiFlash;

  // Out: chip code of the block found by LocateConfigBlock (255 for none).
  std::uint8_t byChipCode = kNoChipCode;
  // Out: configuration block at image start (m_bTagInImage): found at offset 0, or
  // ConfigAddress is 0; the update then writes no separate tag.
  bool bTagInImage = false;
  // Out: bank copy byte 0x5A seen; force update bits 4 (A) and 6 (B). A and the bank copy flag
  // are only ever set by these readers, never cleared.
  bool bBankCopy = false;
  bool bForceUpdateA = false;
  bool bForceUpdateB = false;
  // Out: the region a rewrite of the block covers.
  std::uint32_t dwConfigStart = 0;
  std::uint32_t dwConfigLength = 0;
  // Out: block length as read by ReadImageIdentity; after a rewrite, the new block's total.
  std::uint32_t dwBlockLength = 0;
  // Out: identity texts, cleared at the start of every ReadImageIdentity.
  std::string strManufacturer;  // item type 1
  std::string strSerial;        // item type 3
  std::string strIAD;           // item type 7
  std::string strVidPid;        // "VID_%04X&PID_%04X" from item type 4
  std::string strRevision;      // "%04x" from item type 4
  std::string strCodeIdentity;  // "0x%02X%02X%02X%02X%02X" from image bytes 0x1003..0x1007
};

// Offset of the configuration region inside the image, or none when no block is found (chip
// code 255). Sets the chip code, configuration-at-start, bank copy, force update and region
// fields, and runs ReadImageIdentity and ReadImageSettings.
std::optional<std::size_t> LocateConfigBlock(ImageState& state, std::span<const std::uint8_t> image);
// 0 for a blank image, a missing block or a corrupt one ("Config file corrupted" shown); else
// 1 with the identity texts and block length filled.
int ReadImageIdentity(ImageState& state, std::span<const std::uint8_t> image);
// Walks the block at the settings offset and applies its image kind; 1 when the walk
// completed ("Config file corrupted" shown for a corrupt block).
int ReadImageSettings(ImageState& state, std::span<const std::uint8_t> image);
// The offset from the block start just past the last small cache code item (type 39), 0
// without one; none for a blank image, a missing block or a corrupt one.
std::optional<std::size_t> FindSmallCacheCodeEnd(ImageState& state, std::span<const std::uint8_t> image);
// Sets the memory type from the image kind byte: 0x11 EEPROM8, 0x12 EEPROM16, 0x30/0x55/0x61
// SPI flash, 0x40 MTP, 0x60 OTP; any other byte leaves it.
void ApplyImageKind(ImageState& state, std::uint8_t imageKind);
// The memory type of an image kind byte, none for a byte that selects none.
std::optional<std::uint32_t> MemoryTypeOfImageKind(std::uint8_t imageKind);

// True when every byte is 0xFF (an empty image counts as blank).
bool IsBlankImage(std::span<const std::uint8_t> image);

// The chip rule of the download entry points: equal codes, or (with allow8and9, the flash
// entry points and the all-in-one device search) 8 against 9 either way. 255 matches nothing.
bool ChipCodesMatch(std::uint8_t imageChipCode, std::uint8_t icTypeChipCode, bool allow8and9);

}  // namespace drover
