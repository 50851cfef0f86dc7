#pragma once
// Pure rules about the codec chip: its family from the two identity register bytes, the
// boot status texts, the two version slots of the status record and the version texts
// built from them, and the write-protect register pairs of the flash's WP line.
// Nothing here talks to a device; the device-flow layers feed these functions what they read.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace drover {

// Registers and records of the chip (addresses in the chip's memory map).
inline constexpr std::uint32_t kChipIdRegister = 0xFE21;      // 2 bytes (b0, b1)
inline constexpr std::uint32_t kBootStatusRegister = 0xC2A8;  // 1 byte
inline constexpr std::uint32_t kBootStatusRegister1071 = 0xC2A6;  // the same on the chip b0 = 0x10, b1 = 0x71
inline constexpr std::uint32_t kStatusRecordSize = 104;       // status pages from page 0
inline constexpr std::uint32_t kExtVersionPage = 128;         // extended version block
inline constexpr std::uint32_t kExtVersionSize = 32;

// Family value F = ((b1 & 0xF0) << 8) | (b0 & 0xF0).
constexpr std::uint16_t ChipFamily(std::uint8_t b0, std::uint8_t b1) {
  return static_cast<std::uint16_t>(((b1 & 0xF0) << 8) | (b0 & 0xF0));
}
// Raw value R = (b0 << 8) | b1.
constexpr std::uint16_t ChipRaw(std::uint8_t b0, std::uint8_t b1) {
  return static_cast<std::uint16_t>((b0 << 8) | b1);
}
// The reset paths compare R' = (b1 << 8) | b0.
constexpr std::uint16_t ChipRawSwapped(std::uint8_t b0, std::uint8_t b1) {
  return static_cast<std::uint16_t>((b1 << 8) | b0);
}
// Chips that report their boot mode in the boot status register.
bool IsBootStatusChip(std::uint8_t b0, std::uint8_t b1);
// The boot status register of a chip: 0xC2A6 for b0 = 0x10, b1 = 0x71, else 0xC2A8.
std::uint32_t BootStatusAddress(std::uint8_t b0, std::uint8_t b1);

// Device status text of a boot status byte ("ROM", "SPI", ..., "Unknown").
std::string_view BootStatusText(std::uint8_t bootStatus);
// Boot status 16, 24 and 32 carry the version in the extended version block.
constexpr bool BootStatusHasExtVersion(std::uint8_t bootStatus) {
  return bootStatus == 16 || bootStatus == 24 || bootStatus == 32;
}

// The status record carries two version slots: A at s[64..71], B at s[72..79].
inline constexpr std::size_t kSlotA = 64;
inline constexpr std::size_t kSlotB = 72;
// Offset of the chosen slot: B when the low nibble of s[64] is 0 and that of s[72] is
// neither 0 nor 0xB. status must hold kStatusRecordSize bytes.
std::size_t ChooseVersionSlot(std::span<const std::uint8_t> status);
// Version format from the chosen slot's first byte: high nibble 2 gives 1, 3 gives 2, else 0.
int VersionFormat(std::span<const std::uint8_t> status);
// Mode nibble of the chosen slot: 1 when the chip runs its downloaded code.
std::uint8_t SlotModeNibble(std::span<const std::uint8_t> status);
// Whether the device runs its downloaded code ("cache mode"): for F = 0 and F = 0x7010 the
// slot's mode nibble is 1; for every other family the boot status byte is not 0.
bool RunsDownloadedCode(std::uint8_t b0, std::uint8_t b1, std::span<const std::uint8_t> status,
                        std::uint8_t bootStatus);

// The version read from a device: text, the six numbers, and the extended text.
struct VersionInfo {
  std::string text;
  std::array<std::uint16_t, 6> numbers{};
  std::string textEx;
};
// Builds the version from the status record s (104 bytes), the extended block t (32 bytes,
// read only when the boot status asks for it) and the boot status byte. With withIds the
// texts carry "-VID%04X&&PID%04X" of vid and pid (the quick read and the version refresh).
VersionInfo BuildVersion(std::span<const std::uint8_t> status, std::span<const std::uint8_t> ext,
                         std::uint8_t bootStatus, bool withIds, std::uint16_t vid, std::uint16_t pid);
// The eight status version bytes kept after a download.
std::array<std::uint8_t, 8> StatusVersionBytes(std::span<const std::uint8_t> status);

// The six numbers and text of an image version from the 8 bytes e0..e7.
struct ImageVersion {
  std::array<std::uint16_t, 6> numbers{};
  std::string text;
};
ImageVersion DecodeImageVersion(std::span<const std::uint8_t> e);

// One pass over a pair of write-protect registers (A, B) with the bit that drives the line.
struct WpPass {
  std::uint16_t regA;
  std::uint16_t regB;
  std::uint8_t bit;
};
// How the write-protect registers of a chip are found.
enum class WpKind {
  Fixed,       // one fixed pair, see WpFixedPass
  Query1010,   // F = 0x1010: the chip is asked whether it has two pairs
};
WpKind WriteProtectKind(std::uint8_t b0, std::uint8_t b1);
// The pair of a chip of kind Fixed (raw identity bytes b0, b1).
WpPass WpFixedPass(std::uint8_t b0, std::uint8_t b1);
// The 0x1010 chip: registers and values of the pair question, and its passes.
inline constexpr std::uint16_t kWp1010SelectReg = 0x051B;
inline constexpr std::uint8_t kWp1010SelectAsk = 0x29;
inline constexpr std::uint8_t kWp1010SelectDone = 0x15;
inline constexpr std::uint16_t kWp1010AnswerReg = 0x050F;
inline constexpr WpPass kWp1010First{0x050A, 0x0510, 0x80};
inline constexpr WpPass kWp1010Second{0x050C, 0x0512, 0x10};
// The answer read from 0x050F: two pairs when bits 6..5 equal 1.
constexpr bool Wp1010HasTwoPairs(std::uint8_t answer) { return ((answer >> 5) & 0x03) == 1; }
// Flash status register: value to unprotect, value to protect, write-in-progress bit.
inline constexpr std::uint8_t kSrUnprotect = 0x00;
inline constexpr std::uint8_t kSrProtect = 0x8C;
inline constexpr std::uint8_t kSrBusy = 0x01;

}  // namespace drover
