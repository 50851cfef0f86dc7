#pragma once
// The data of the flash and EEPROM updates: where an image lands in the flash by chip code,
// how each chip code erases, the devices rebooted without asking, the EEPROM's write-protect
// registers, and the step and status identifiers the sequences post.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace drover {

// ---- identifiers the update sequences post (string-table numbers) ----
inline constexpr std::uint32_t kIdNotSupport = 41500;       // "Not Support!"
inline constexpr std::uint32_t kIdResetFail = 41512;        // "Reset Device Fail!"
inline constexpr std::uint32_t kIdLoadFileFail = 41530;     // "Load File Data Fail!"
inline constexpr std::uint32_t kIdParseFileFail = 41531;    // "Parse FW File Fail!"
inline constexpr std::uint32_t kIdCodeSizeFail = 41702;     // "Get Code Size Fail!"
inline constexpr std::uint32_t kIdReadFlashFail = 41704;    // "Read Flash Fail!"
inline constexpr std::uint32_t kIdEraseFlashFail = 41705;   // "Erase Flash Fail!"
inline constexpr std::uint32_t kIdUpdateFlashFail = 41706;  // "Update Flash Fail!"
inline constexpr std::uint32_t kIdMallocFail = 41708;       // "Malloc Data Fail!"
inline constexpr std::uint32_t kIdCompareFail = 41709;      // "Compare Data Fail!"
inline constexpr std::uint32_t kIdDisableWpFail = 41710;    // "Disable Write Protect Fail!"
inline constexpr std::uint32_t kIdEnableWpFail = 41711;     // "Enable Write Protect Fail!"
inline constexpr std::uint32_t kIdWriteTagFail = 41712;     // "Write Tag Fail!"
inline constexpr std::uint32_t kIdWrongFirmware = 41715;    // "Firmware is not for the device!"
inline constexpr std::uint32_t kIdCheckEmptyFail = 41717;   // "Check Empty Fail!"
inline constexpr std::uint32_t kIdStepErasing = 41719;      // "Erasing"
inline constexpr std::uint32_t kIdStepCheckEmpty = 41720;   // "Check empty"
inline constexpr std::uint32_t kIdStepDownload = 41721;     // "Download"
inline constexpr std::uint32_t kIdStepVerify = 41722;       // "Verify"
inline constexpr std::uint32_t kIdStepWriteTag = 41723;     // "Write Tag"
inline constexpr std::uint32_t kIdStepResetToCode = 41724;  // "Reset to new code"
inline constexpr std::uint32_t kIdStepRead = 41735;         // "Read"
inline constexpr std::uint32_t kIdReadFlashOk = 41751;      // "Read Flash Code Succeed."
inline constexpr std::uint32_t kIdEraseFlashOk = 41752;     // "Erase Flash Code Succeed."
inline constexpr std::uint32_t kIdUpdateFlashOk = 41753;    // "Update Flash Code Succeed."
inline constexpr std::uint32_t kIdFirmwareUpdateOk = 41755; // "Firmware Update Succeed."
inline constexpr std::uint32_t kIdReadEepromFail = 41802;   // "Read EERPOM Fail!"
inline constexpr std::uint32_t kIdEraseEepromFail = 41803;  // "Erase EEPROM Fail!"
inline constexpr std::uint32_t kIdUpdateEepromFail = 41804; // "Update EEPROM Data Fail!"
inline constexpr std::uint32_t kIdReadEepromOk = 41851;     // "Read EEPROM Code Succeed."
inline constexpr std::uint32_t kIdEraseEepromOk = 41852;    // "Erase EEPROM Code Succeed."
inline constexpr std::uint32_t kIdUpdateEepromOk = 41853;   // "Update EEPROM Code Succeed."
inline constexpr std::uint32_t kIdDownloadEepromOk = 41854; // "Download EEPROM Code Succeed."
inline constexpr std::uint32_t kIdNotCacheMode = 41935;     // "Device is not in cache mode."
inline constexpr std::uint32_t kIdSignatureFail = 42042;    // "ECDSA Check Fail!"

// The progress of a piece loop: base + done * span / len, in integer arithmetic (len > 0).
inline std::uintptr_t PieceProgress(std::uint32_t base, std::uint32_t span, std::size_t done, std::size_t len) {
  return static_cast<std::uintptr_t>(base + static_cast<std::uint64_t>(done) * span / len);
}

// ---- flash geometry ----
inline constexpr std::uint32_t kFlashPiece = 4096;     // bytes per transfer
inline constexpr std::uint32_t kFlashBlock = 0x10000;  // erase block
inline constexpr std::uint32_t kSecondBank = 0x10000;  // where chip code 23 keeps its code
// The blank check of chips without a second bank reads only the piece at the start of every
// 16 KiB: pieces whose offset has bit 12 or 13 set are taken as blank.
inline constexpr std::uint32_t kSkippedPieceMask = 0x3000;

// Where a chip code keeps the image in its flash.
enum class FlashBank : std::uint8_t {
  kFromZero,    // image offset o at flash address o
  kSecondBank,  // o + 0x10000
  kAboveImage,  // o + the image's length
};
struct FlashBankRow {
  std::uint8_t chipCode;
  FlashBank bank;
};
inline constexpr std::array<FlashBankRow, 2> kFlashBankTable{{
    {23, FlashBank::kSecondBank},
    {26, FlashBank::kAboveImage},
}};
FlashBank FlashBankOf(std::uint8_t chipCode);
// The flash address of the image's first byte for an image of len bytes.
std::uint32_t FlashImageBase(std::uint8_t chipCode, std::uint32_t len);
// Chip codes whose image lies above the first bank read back and blank-check every piece.
bool HasSecondBank(std::uint8_t chipCode);

// How the update erases (the stand-alone erase job always erases the whole chip).
enum class EraseKind : std::uint8_t {
  kChip,             // SPI_SF_EraseChip with the "EraseTimeOut" setting
  kSecondBankBlock,  // the 64 KiB block at 0x10000, not waiting for completion
  kBlocksAboveImage, // len / 64 KiB blocks from address len, each waited for
  kByRegister0409,   // bit 7 of register 0x0409: the block at 0 (no wait), else the chip
};
struct EraseRow {
  std::uint8_t chipCode;
  EraseKind kind;
};
inline constexpr std::array<EraseRow, 3> kEraseTable{{
    {23, EraseKind::kSecondBankBlock},
    {26, EraseKind::kBlocksAboveImage},
    {30, EraseKind::kByRegister0409},
}};
EraseKind EraseKindOf(std::uint8_t chipCode, bool whole);
inline constexpr std::uint32_t kEraseSelectRegister = 0x0409;
inline constexpr std::uint8_t kEraseSelectBlockBit = 0x80;

// Devices restarted into their new code without the reboot question.
struct VidPid {
  std::uint16_t vid;
  std::uint16_t pid;
};
inline constexpr std::array<VidPid, 44> kRebootWithoutAsking{{
    {0x0B05, 0x1984}, {0x0B05, 0x19AC}, {0x0B05, 0x1996}, {0x0B05, 0x1998}, {0x0B05, 0x1999},
    {0x0B05, 0x1A16}, {0x0B05, 0x1A20}, {0x0B05, 0x1A27}, {0x0B05, 0x1A52}, {0x0B05, 0x1A53},
    {0x0B05, 0x1A5C}, {0x0B05, 0x1A97},
    {0x0DB0, 0x1BCA}, {0x0DB0, 0x1D34}, {0x0DB0, 0x1FEB}, {0x0DB0, 0x005A}, {0x0DB0, 0x5F5D},
    {0x0DB0, 0x6CC9}, {0x0DB0, 0x7B3D}, {0x0DB0, 0x8AF7}, {0x0DB0, 0x80A5}, {0x0DB0, 0x82C7},
    {0x0DB0, 0x95BB}, {0x0DB0, 0x124B}, {0x0DB0, 0x151F}, {0x0DB0, 0x419C}, {0x0DB0, 0x3130},
    {0x0DB0, 0x4240}, {0x0DB0, 0xA7C2}, {0x0DB0, 0xA47C}, {0x0DB0, 0xA073}, {0x0DB0, 0xA228},
    {0x0DB0, 0xB202}, {0x0DB0, 0xBB5A}, {0x0DB0, 0xE06C},
    {0x0414, 0xA00B}, {0x0414, 0xA00D}, {0x0414, 0xA00E}, {0x0414, 0xA00F}, {0x0414, 0xA010},
    {0x0414, 0xA011}, {0x0414, 0xA012}, {0x0414, 0xA014},
    {0x26CE, 0x0A06},
}};
bool RebootsWithoutAsking(std::uint16_t vid, std::uint16_t pid);

// The restart that some chip codes need before the reset to cache: set bit 0 of each
// register, 20 ms, clear it again.
struct RebootRegisters {
  std::uint8_t chipCode;
  std::array<std::uint16_t, 2> regs;
  std::uint8_t count;
};
inline constexpr std::array<RebootRegisters, 3> kRegisterReboot{{
    {26, {0xF970, 0xF971}, 2},
    {23, {0x0000, 0x0000}, 1},
    {30, {0x0000, 0x0000}, 0},  // nothing to write
}};
// Null for a chip code that is not asked about a reboot at all.
const RebootRegisters* RegisterRebootOf(std::uint8_t chipCode);
inline constexpr std::uint32_t kRegisterRebootPauseMs = 20;

// ---- signature check ----
inline constexpr std::uint32_t kBootStatusRunningSpi = 8;  // boot status byte "SPI"
inline constexpr int kSignatureQueries = 8;
inline constexpr std::uint32_t kSignatureBusyPauseMs = 5000;
inline constexpr std::uint8_t kSignatureBusy = 1;
inline constexpr std::uint8_t kSignaturePassed = 2;
inline constexpr std::uint8_t kSignatureFailed = 4;
// Written at the tag after a failed check: the first two bytes spoil the tag; the other two
// are all ones, which leaves the flash bytes after the tag (the configuration block's first
// bytes) as they are.
inline constexpr std::array<std::uint8_t, 4> kSignatureFailPattern{0x00, 0x00, 0xFF, 0xFF};
// Force update flag A: these four flash bytes are cleared after the update.
inline constexpr std::uint32_t kForceUpdateAddress = 0x1010;

// ---- EEPROM ----
inline constexpr std::uint32_t kEepPiece = 8;          // bytes per command
inline constexpr std::uint32_t kEep8EraseSize = 64;    // what the 8-bit update erases and checks
inline constexpr std::size_t kEepTagOffset = 1;        // 0xA5 at EEPROM address 1

// One register of the EEPROM's WP line and what lifting and restoring do to it.
struct EepWpRow {
  std::uint16_t reg;
  std::uint8_t liftSet, liftClear;
  std::uint8_t restoreSet, restoreClear;
};
// Read all four, then written in this order.
inline constexpr std::array<EepWpRow, 4> kEepWpTable{{
    {0xFEA0, 0x20, 0x00, 0x00, 0x20},
    {0xFEA6, 0x00, 0x20, 0x01, 0x00},
    {0xFEA1, 0x02, 0x00, 0x00, 0x02},
    {0xFEA7, 0x00, 0x02, 0x01, 0x00},
}};

// ---- the 16 KiB image of chips that emulate OTP in flash ----
inline constexpr std::size_t kSimOtpImageSize = 0x4000;
inline constexpr std::size_t kSimOtpTable = 0x3F60;       // 160 bytes cleared to 0
inline constexpr std::size_t kSimOtpTableSize = 160;
inline constexpr std::size_t kSimOtpCodeOffset = 15;      // header and the two leading items

// Rearranges an EEPROM-style image (configuration block at 0) into the flash layout of an
// OTP-emulating chip: a code block made of the small cache code item, a configuration block
// with the other items, and the block table. False, with the image unchanged, when it cannot
// be done soundly (no block, a small cache code item anywhere but right after the header and
// the two leading items, a walk that runs out of the block, blocks that would not fit).
// chipCode is the image's (kNoChipCode: taken from the block header).
bool RearrangeSimulatedOtpImage(std::vector<std::uint8_t>& image, std::uint8_t chipCode);

}  // namespace drover
