#pragma once
// The OTP memory map: 16 KiB that can only be programmed (bits set, never cleared), code
// blocks appended one after another from address 0, a block table of 16 five-byte entries
// and an ECC table of 16 four-byte replacement records at the top. Decoding helpers for the
// entries, the records and the chip's program-fail record; no helper reads outside the bytes
// it is given.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace drover::otp {

inline constexpr std::uint32_t kOtpSize = 0x4000;
// No block may end beyond this address (16224); 0x3F60..0x3F6F is not used.
inline constexpr std::uint32_t kCodeAreaEnd = 0x3F60;

// Block table: entry i (0..15) at 0x3F70 + 5 i: start (BE), length (BE), flag.
inline constexpr std::uint32_t kBlockTableAddress = 0x3F70;
inline constexpr std::uint32_t kBlockEntrySize = 5;
inline constexpr int kBlockEntries = 16;
inline constexpr std::uint32_t kBlockTableSize = kBlockEntrySize * kBlockEntries;  // 80
inline constexpr std::uint8_t kFlagBlank = 0x00;
inline constexpr std::uint8_t kFlagCode = 0x55;     // live code block
inline constexpr std::uint8_t kFlagConfig = 0xAA;   // live configuration block
inline constexpr std::uint8_t kFlagRetired = 0xFF;  // retired or failed block

// ECC table: record k (1..16) at 0x3FBC + 4 k: address (BE), replacement value, mark.
inline constexpr std::uint32_t kEccTableAddress = 0x3FC0;
inline constexpr std::uint32_t kEccRecordBase = 0x3FBC;
inline constexpr std::uint32_t kEccRecordSize = 4;
inline constexpr int kEccRecords = 16;
inline constexpr std::uint32_t kEccTableSize = kEccRecordSize * kEccRecords;  // 64
inline constexpr std::uint8_t kMarkBlank = 0x00;
inline constexpr std::uint8_t kMarkInUse = 0x5A;
inline constexpr std::uint8_t kMarkRetired = 0xFF;

// Write-lock register of the chip; bit 3 set means the OTP refuses programming.
inline constexpr std::uint32_t kOtpLockRegister = 0xFD0C;
inline constexpr std::uint8_t kOtpLockBit = 0x08;

// The chip's report on the last OTPWrite: count, up to 8 failing addresses, stop address.
inline constexpr std::size_t kFailRecordSize = 19;
inline constexpr int kFailRecordAddresses = 8;

// Code-area data goes to the chip in pieces of this size, each followed by its fail record.
inline constexpr std::uint32_t kOtpChunk = 4096;
// Table bytes are always written with the full replacement budget.
inline constexpr std::uint16_t kTableWriteBudget = 8;
// The failure queue holds this many bytes that still need a replacement record.
inline constexpr int kFailQueueSlots = 8;

// Bytes 0..14 of every OTP block: the 6-byte header with the HW/AP version and EEPROM info
// items; the small cache code item of a code block follows at this offset.
inline constexpr std::size_t kOtpBlockPrefix = 15;

constexpr std::uint32_t EntryAddress(int i) { return kBlockTableAddress + kBlockEntrySize * static_cast<std::uint32_t>(i); }
constexpr std::uint32_t RecordAddress(int k) { return kEccRecordBase + kEccRecordSize * static_cast<std::uint32_t>(k); }

struct VdEntry {
  std::uint16_t wStart = 0;
  std::uint16_t wLength = 0;
  std::uint8_t byFlag = 0;
  bool bBlank = false;  // all five bytes zero
  // A flag the end of the used code area counts (live or failed).
  bool Used() const { return byFlag == kFlagCode || byFlag == kFlagConfig || byFlag == kFlagRetired; }
};
// bytes must hold at least 5 bytes.
VdEntry DecodeEntry(std::span<const std::uint8_t> bytes);
std::array<std::uint8_t, kBlockEntrySize> EncodeEntry(std::uint16_t start, std::uint16_t length, std::uint8_t flag);

struct EccRecord {
  std::uint16_t wAddress = 0;
  std::uint8_t byValue = 0;
  std::uint8_t byMark = 0;
  bool InUse() const { return byMark == kMarkInUse; }
  // Known to be bad, value not programmed yet.
  bool Reserved() const { return byMark == kMarkInUse && byValue == 0; }
  bool Blank() const { return wAddress == 0 && byValue == 0 && byMark == kMarkBlank; }
};
// bytes must hold at least 4 bytes.
EccRecord DecodeRecord(std::span<const std::uint8_t> bytes);
std::array<std::uint8_t, kEccRecordSize> EncodeRecord(std::uint16_t address, std::uint8_t value, std::uint8_t mark);

struct FailRecord {
  std::uint8_t byCount = 0;  // bytes that failed to program in the last write
  std::array<std::uint16_t, kFailRecordAddresses> wAddress{};
  std::uint16_t wCurrent = 0;  // where the chip stopped
};
// bytes must hold at least 19 bytes.
FailRecord DecodeFailRecord(std::span<const std::uint8_t> bytes);

// Status identifiers of the OTP flows.
namespace status {
inline constexpr std::uint32_t kResetDeviceFail = 41512;
inline constexpr std::uint32_t kLoadFileFail = 41530;
inline constexpr std::uint32_t kParseFileFail = 41531;
inline constexpr std::uint32_t kMallocFail = 41708;
inline constexpr std::uint32_t kCompareFail = 41709;
inline constexpr std::uint32_t kWrongFirmware = 41715;
inline constexpr std::uint32_t kStepDownload = 41721;
inline constexpr std::uint32_t kStepResetToCode = 41724;
inline constexpr std::uint32_t kStepRead = 41735;
inline constexpr std::uint32_t kWriteOtpFail = 41914;
inline constexpr std::uint32_t kNotEnoughVdBlock = 41916;
inline constexpr std::uint32_t kCodeExceedMax = 41917;
inline constexpr std::uint32_t kOtpLocked = 41918;
inline constexpr std::uint32_t kErrorNumExceed = 41919;
inline constexpr std::uint32_t kReduantFail = 41922;
inline constexpr std::uint32_t kEccLowerThanErrors = 41923;
inline constexpr std::uint32_t kVdBlockNotFound = 41924;
inline constexpr std::uint32_t kGetVdCodeFail = 41925;
inline constexpr std::uint32_t kFailAddress = 41926;
inline constexpr std::uint32_t kWriteBlockFail = 41927;
inline constexpr std::uint32_t kReadOtpFail = 41928;
inline constexpr std::uint32_t kReadOtpOk = 41929;
inline constexpr std::uint32_t kUpdateOtpOk = 41930;
inline constexpr std::uint32_t kDownloadOtpOk = 41931;
inline constexpr std::uint32_t kOtpCodeNotExist = 41933;
inline constexpr std::uint32_t kLastWriteAbnormal = 41937;
}  // namespace status

struct OtpStatusRow {
  std::uint32_t id;
  std::string_view text;
};
// Every identifier the OTP flows report, with the text the string table must give it.
inline constexpr std::array<OtpStatusRow, 26> kOtpStatusTable{{
    {status::kResetDeviceFail, "Reset Device Fail!"},
    {status::kLoadFileFail, "Load File Data Fail!"},
    {status::kParseFileFail, "Parse FW File Fail!"},
    {status::kMallocFail, "Malloc Data Fail!"},
    {status::kCompareFail, "Compare Data Fail!"},
    {status::kWrongFirmware, "Firmware is not for the device!"},
    {status::kStepDownload, "Download"},
    {status::kStepResetToCode, "Reset to new code"},
    {status::kStepRead, "Read"},
    {status::kWriteOtpFail, "Write OTP Fail!"},
    {status::kNotEnoughVdBlock, "Not Enough VD Block"},
    {status::kCodeExceedMax, "Code Exceed Max Length!"},
    {status::kOtpLocked, "OTP Locked,Can't Program!"},
    {status::kErrorNumExceed, "Error Num Exceed 8!"},
    {status::kReduantFail, "Reduant Fail!"},
    {status::kEccLowerThanErrors, "ECC Num lower than Error Num!"},
    {status::kVdBlockNotFound, "Not Find VDBlock!"},
    {status::kGetVdCodeFail, "Get VD Code Fail!"},
    {status::kFailAddress, "Fail Address!"},
    {status::kWriteBlockFail, "Write Block Fail!"},
    {status::kReadOtpFail, "Read OTP Fail!"},
    {status::kReadOtpOk, "ReadOTP Succeed."},
    {status::kUpdateOtpOk, "UpdateOTP Succeed."},
    {status::kDownloadOtpOk, "DownloadOTP Succeed."},
    {status::kOtpCodeNotExist, "OTP Code Not Exist!"},
    {status::kLastWriteAbnormal, "Last OTP Write Abnormal!"},
}};

}  // namespace drover::otp
