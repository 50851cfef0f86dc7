#include "sim/sim_chip.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/strfmt.h"
#include "sim/usb_identity.h"

namespace drover::sim {

namespace {

// The chip's operations, shared by the two command forms.
enum Op : int {
  kOpNone = 0,
  kOpStatusPage,
  kOpQualify,
  kOpDcsChange,
  kOpResetUpdate,
  kOpResetUpdate2,
  kOpResetRom,
  kOpReadIMem,
  kOpReadMem,
  kOpWriteMem,
  kOpReadCode,
  kOpReadPhy,
  kOpWritePhy,
  kOpNorErase,
  kOpNorRead,
  kOpNorWrite,
  kOpNorTag,
  kOpSpiReadId,
  kOpSpiRead,
  kOpSpiWrite,
  kOpSpiReadSr,
  kOpSpiWriteSr,
  kOpSpiEraseChip,
  kOpSpiEraseSector,
  kOpSpiEraseBlock,
  kOpSpiBlockPoll,
  kOpSpiTag,
  kOpEep8Read,
  kOpEep8Write,
  kOpEep16Read,
  kOpEep16Write,
  kOpEepNRead,
  kOpEepNWrite,
  kOpI2cRead,
  kOpI2cWrite,
  kOpI2cSlaveRead,
  kOpI2cSlaveWrite,
  kOpI2cLongRead,
  kOpI2cLongWrite,
  kOpOtpWrite,
  kOpOtpRead,
  kOpOtpBlank,
  kOpOtpAllBlank,
  kOpOtpFailRecord,
  kOpOtpTestDec,
  kOpCtl70Out,
  kOpCtl70In,
  kOpReadByte06,
  kOpCommand10,
  kOpAltReset,
};

// Extension-unit commands: group, opcode, operation, whether bytes 6..7 carry address bits
// 16..31, and the data phase.
struct ExtRow {
  ExtCommandRow row;
  int op;
  bool addressHigh;
};

constexpr ExtRow kExtRows[] = {
    {{0x00, 0xCD, "GetDevStatus", true, true}, kOpStatusPage, false},
    {{0x00, 0xD0, "DevQualify", true, true}, kOpQualify, false},
    {{0x00, 0x16, "ChangeDataControlSize", false, false}, kOpDcsChange, false},
    {{0x00, 0x07, "ResetToUpdateFW", false, false}, kOpResetUpdate, false},
    {{0x00, 0x08, "ResetToUpdateFW2", false, false}, kOpResetUpdate2, false},
    {{0x00, 0x09, "ResetToRom", false, false}, kOpResetRom, false},
    {{0x00, 0xC1, "ReadIMem", true, true}, kOpReadIMem, false},
    {{0x00, 0xC2, "ReadMem", true, true}, kOpReadMem, false},
    {{0x00, 0x82, "WriteMem", true, false}, kOpWriteMem, false},
    {{0x00, 0xC3, "ReadCode", true, true}, kOpReadCode, false},
    {{0x00, 0xCC, "ReadPhy", true, true}, kOpReadPhy, false},
    {{0x00, 0x8C, "WritePhy", true, false}, kOpWritePhy, false},
    {{0x00, 0x04, "EraseFlash", false, false}, kOpNorErase, false},
    {{0x00, 0xC5, "NorFlash_Read", true, true}, kOpNorRead, false},
    {{0x00, 0x85, "WriteFlash", true, false}, kOpNorWrite, false},
    {{0x00, 0x06, "NorFlash_WriteTag", false, false}, kOpNorTag, false},
    {{0x00, 0xCA, "I2CRead", true, true}, kOpI2cRead, true},
    {{0x00, 0x8A, "I2CWrite", true, false}, kOpI2cWrite, true},
    {{0x00, 0xEA, "I2CReadSlave", true, true}, kOpI2cSlaveRead, false},
    {{0x00, 0xAA, "I2CWriteSlave", true, false}, kOpI2cSlaveWrite, false},
    {{0x00, 0xF1, "I2CRandomRead", true, true}, kOpI2cSlaveRead, false},
    {{0x00, 0xB1, "I2CRandomWrite", true, false}, kOpI2cSlaveWrite, false},
    {{0x00, 0xF2, "I2CSuperRead", true, true}, kOpI2cSlaveRead, false},
    {{0x00, 0xB2, "I2CSuperWrite", true, false}, kOpI2cSlaveWrite, false},
    {{0x00, 0xF0, "I2CLongRead", true, true}, kOpI2cLongRead, false},
    {{0x00, 0xB0, "I2CLongWrite", true, false}, kOpI2cLongWrite, false},
    {{0x02, 0xC1, "SPI_SF_ReadID", true, true}, kOpSpiReadId, false},
    {{0x02, 0xC2, "SPI_SF_Read", true, true}, kOpSpiRead, true},
    {{0x02, 0x82, "SPI_SF_Write", true, false}, kOpSpiWrite, true},
    {{0x02, 0xC3, "SPI_SF_ReadSr", true, true}, kOpSpiReadSr, false},
    {{0x02, 0x83, "SPI_SF_WriteSr", true, false}, kOpSpiWriteSr, false},
    {{0x02, 0x04, "SPI_SF_EraseChip", false, false}, kOpSpiEraseChip, false},
    {{0x02, 0x05, "SPI_SF_EraseSector", false, false}, kOpSpiEraseSector, true},
    {{0x02, 0x13, "SPI_SF_WriteTag", false, false}, kOpSpiTag, false},
    {{0x02, 0xCB, "I2C_EEP8_Read", true, true}, kOpEep8Read, true},
    {{0x02, 0x8B, "I2C_EEP8_Write", true, false}, kOpEep8Write, true},
    {{0x02, 0xD1, "I2C_EEP16_Read", true, true}, kOpEep16Read, true},
    {{0x02, 0x91, "I2C_EEP16_Write", true, false}, kOpEep16Write, true},
    {{0x02, 0x97, "OTPWrite", true, false}, kOpOtpWrite, false},
    {{0x02, 0xD7, "OTPRead", true, true}, kOpOtpRead, false},
    {{0x02, 0xD8, "OTPBlankCheck", true, true}, kOpOtpBlank, false},
    {{0x02, 0xDF, "OTPAllBlankCheck", true, true}, kOpOtpAllBlank, false},
    {{0x02, 0xDC, "OTPPrgmFailAddr", true, true}, kOpOtpFailRecord, false},
    {{0x02, 0xD9, "OTPTestDec", true, true}, kOpOtpTestDec, false},
    {{0x02, 0x9A, "OTPWriteST", true, false}, kOpOtpWrite, false},
};

// How a vendor request carries its address and length.
enum class Enc : std::uint8_t {
  Std,        // wIndex address bits 0..15, wValue bits 8..11 address bits 16..19
  Spi,        // wValue high byte address bits 16..23, low byte a parameter
  Page,       // wValue low byte a status page
  Value,      // wValue the argument, no address
  Slave,      // Std with the slave address as the address
  AltReset,   // wValue mode, wIndex reset type
};

struct VendorRow {
  VendorRequestRow row;
  int op;
  Enc enc;
};

constexpr VendorRow kVendorRows[] = {
    {{true, 0x07, "GetDevStatus"}, kOpStatusPage, Enc::Page},
    {{false, 0x20, "ResetToUpdateFW"}, kOpResetUpdate, Enc::Value},
    {{false, 0x21, "ResetToUpdateFW2"}, kOpResetUpdate2, Enc::Value},
    {{false, 0x22, "ResetToRom"}, kOpResetRom, Enc::Value},
    {{false, 0x01, "Reset"}, kOpAltReset, Enc::AltReset},
    {{true, 0x23, "ReadIMem"}, kOpReadIMem, Enc::Std},
    {{true, 0x25, "ReadMem"}, kOpReadMem, Enc::Std},
    {{false, 0x24, "WriteMem"}, kOpWriteMem, Enc::Std},
    {{true, 0x26, "ReadCode"}, kOpReadCode, Enc::Std},
    {{true, 0x27, "ReadPhy"}, kOpReadPhy, Enc::Std},
    {{false, 0x28, "WritePhy"}, kOpWritePhy, Enc::Std},
    {{false, 0x29, "EraseFlash"}, kOpNorErase, Enc::Std},
    {{true, 0x2B, "NorFlash_Read"}, kOpNorRead, Enc::Std},
    {{false, 0x2A, "WriteFlash"}, kOpNorWrite, Enc::Std},
    {{false, 0x2C, "NorFlash_WriteTag"}, kOpNorTag, Enc::Std},
    {{true, 0x2D, "SPI_SF_ReadID"}, kOpSpiReadId, Enc::Std},
    {{true, 0x2E, "SPI_SF_Read"}, kOpSpiRead, Enc::Spi},
    {{false, 0x2F, "SPI_SF_Write"}, kOpSpiWrite, Enc::Spi},
    {{true, 0x30, "SPI_SF_ReadSr"}, kOpSpiReadSr, Enc::Std},
    {{false, 0x31, "SPI_SF_WriteSr"}, kOpSpiWriteSr, Enc::Std},
    {{false, 0x32, "SPI_SF_EraseChip"}, kOpSpiEraseChip, Enc::Std},
    {{false, 0x33, "SPI_SF_EraseSector"}, kOpSpiEraseSector, Enc::Std},
    {{false, 0x35, "SPI_SF_EraseBlock"}, kOpSpiEraseBlock, Enc::Std},
    {{true, 0x36, "SPI_SF_EraseBlock poll"}, kOpSpiBlockPoll, Enc::Std},
    {{false, 0x34, "SPI_SF_WriteTag"}, kOpSpiTag, Enc::Std},
    {{true, 0x35, "I2C_EEP8_Read"}, kOpEep8Read, Enc::Std},
    {{false, 0x36, "I2C_EEP8_Write"}, kOpEep8Write, Enc::Std},
    {{true, 0x37, "I2C_EEP16_Read"}, kOpEep16Read, Enc::Std},
    {{false, 0x38, "I2C_EEP16_Write"}, kOpEep16Write, Enc::Std},
    {{true, 0x39, "I2C_EEPN_Read"}, kOpEepNRead, Enc::Std},
    {{false, 0x3A, "I2C_EEPN_Write"}, kOpEepNWrite, Enc::Std},
    {{true, 0x50, "I2CRead"}, kOpI2cRead, Enc::Std},
    {{false, 0x51, "I2CWrite"}, kOpI2cWrite, Enc::Std},
    {{true, 0x3D, "I2CGenRead"}, kOpI2cSlaveRead, Enc::Slave},
    {{false, 0x3E, "I2CGenWrite"}, kOpI2cSlaveWrite, Enc::Slave},
    {{true, 0x59, "I2CRandomRead"}, kOpI2cSlaveRead, Enc::Slave},
    {{false, 0x58, "I2CRandomWrite"}, kOpI2cSlaveWrite, Enc::Slave},
    {{false, 0x70, "VendorCtl70Out"}, kOpCtl70Out, Enc::Value},
    {{true, 0x70, "VendorCtl70In"}, kOpCtl70In, Enc::Value},
    {{true, 0x06, "ReadByte06"}, kOpReadByte06, Enc::Value},
    {{false, 0x10, "Command10"}, kOpCommand10, Enc::Value},
};

constexpr ExtCommandRow kExtTable[] = {
#define ROW(i) kExtRows[i].row
    ROW(0),  ROW(1),  ROW(2),  ROW(3),  ROW(4),  ROW(5),  ROW(6),  ROW(7),  ROW(8),  ROW(9),  ROW(10), ROW(11),
    ROW(12), ROW(13), ROW(14), ROW(15), ROW(16), ROW(17), ROW(18), ROW(19), ROW(20), ROW(21), ROW(22), ROW(23),
    ROW(24), ROW(25), ROW(26), ROW(27), ROW(28), ROW(29), ROW(30), ROW(31), ROW(32), ROW(33), ROW(34), ROW(35),
    ROW(36), ROW(37), ROW(38), ROW(39), ROW(40), ROW(41), ROW(42), ROW(43), ROW(44),
#undef ROW
};
static_assert(std::size(kExtTable) == std::size(kExtRows));

constexpr VendorRequestRow kVendorTable[] = {
#define ROW(i) kVendorRows[i].row
    ROW(0),  ROW(1),  ROW(2),  ROW(3),  ROW(4),  ROW(5),  ROW(6),  ROW(7),  ROW(8),  ROW(9),  ROW(10),
    ROW(11), ROW(12), ROW(13), ROW(14), ROW(15), ROW(16), ROW(17), ROW(18), ROW(19), ROW(20), ROW(21),
    ROW(22), ROW(23), ROW(24), ROW(25), ROW(26), ROW(27), ROW(28), ROW(29), ROW(30), ROW(31), ROW(32),
    ROW(33), ROW(34), ROW(35), ROW(36), ROW(37), ROW(38), ROW(39), ROW(40),
#undef ROW
};
static_assert(std::size(kVendorTable) == std::size(kVendorRows));

constexpr std::uint8_t kQualify[8] = {'Q', 'U', 'O', 'R', 'L', 'A', 'N', 0};

constexpr std::uint8_t kReqSetCur = 0x01;
constexpr std::uint8_t kReqGetCur = 0x81;
constexpr std::uint8_t kReqGetLen = 0x85;
constexpr std::uint8_t kSelCommand = 0x0A;
constexpr std::uint8_t kSelData = 0x0B;

constexpr std::uint32_t kBank = 0x10000;
constexpr std::uint32_t kSector = 0x1000;

// OTP tables the test decode applies.
constexpr std::uint32_t kEccTable = 0x3FBC;

bool InRange(std::uint64_t address, std::uint64_t length, std::size_t size) {
  return address <= size && length <= size - address;
}

}  // namespace

std::span<const ExtCommandRow> ExtCommandTable() { return kExtTable; }
std::span<const VendorRequestRow> VendorRequestTable() { return kVendorTable; }

SimChip::SimChip(const DeviceOptions& options, ChipState& state, Faults& faults, ChipMemories memories)
    : m_options(options), m_state(state), m_faults(faults), m_mem(memories) {
  m_ic = FindSimIcType(options.ic);
  if (!m_ic) m_ic = FindSimIcType("VQ7330");
  m_chipId = options.chipIdSet ? options.chipId : m_ic->chipId;
  m_acInterface = AudioControlInterface(options);
}

bool SimChip::IsBootStatusChip(std::uint8_t b0, std::uint8_t b1) {
  const unsigned f = ((b1 & 0xF0u) << 8) | (b0 & 0xF0u);
  const unsigned r = (static_cast<unsigned>(b0) << 8) | b1;
  return f == 0xB010 || f == 0xC010 || f == 0xD010 || f == 0xE010 || f == 0xF010 || f == 0x1010 ||
         (f == 0x7010 && b0 != 0x11) || r == 0x56FF || f == 0x8050;
}

const char* SimChip::BootText(std::uint8_t bootStatus) {
  switch (bootStatus) {
    case 0: return "ROM";
    case 8: return "SPI";
    case 16: return "ROM&&OTP";
    case 24: return "SPI&&OTP";
    case 32: return "ROM&&SPI";
    default: return "Unknown";
  }
}

std::string SimChip::VersionText(const std::array<std::uint8_t, 8>& e) {
  return StrFormat("%01X.%01X%02X.%04X-%04X.%04X", e[0] >> 4, e[0] & 0xF, e[1], (e[2] << 8) | e[3],
                   (e[4] << 8) | e[5], (e[6] << 8) | e[7]);
}

std::array<std::uint8_t, 2> SimChip::ChipId() const { return m_chipId; }

std::array<std::uint8_t, 2> SimChip::Tag() const {
  const std::uint32_t t = m_ic->tagAddress;
  if (m_mem.flash.size() < t + 2) return {0xFF, 0xFF};
  return {m_mem.flash[t], m_mem.flash[t + 1]};
}

// The flash write-protect line follows register B of the pair the chip identity selects; it is
// released only while B's bit is set.
bool SimChip::FlashWpReleased() const {
  const std::uint8_t b0 = m_chipId[0], b1 = m_chipId[1];
  const unsigned f = ((b1 & 0xF0u) << 8) | (b0 & 0xF0u);
  const unsigned r = (static_cast<unsigned>(b0) << 8) | b1;
  auto bit = [this](std::uint16_t reg, std::uint8_t mask) { return (m_mem.regs[reg] & mask) != 0; };
  if (r == 0x56FF || f == 0x8050) return bit(0x0406, 0x01);
  if (f == 0x7010 && b0 != 0x11) return bit(0x0652, 0x01);
  if (f == 0xE010) return bit(0x0507, 0x01);
  if (f == 0x1010) {
    if (m_options.dualWpPairs) return bit(0x0510, 0x80) && bit(0x0512, 0x10);
    return bit(0x0512, 0x10);
  }
  if (f == 0xB010 || f == 0xC010 || f == 0xD010 || f == 0xF010) return bit(0xFEC6, 0x01);
  return bit(0xFEA6, 0x01);
}

// The EEPROM's WP line is released by the lift pattern of its four registers.
bool SimChip::EepromWpReleased() const {
  const auto& g = m_mem.regs;
  return (g[0xFEA0] & 0x20) && (g[0xFEA1] & 0x02) && !(g[0xFEA6] & 0x20) && !(g[0xFEA7] & 0x02);
}

bool SimChip::FlashProtected() const {
  return !FlashWpReleased() || (m_state.statusRegister & 0x0C) != 0;
}

void SimChip::SetFlashBusy() { m_state.srBusy = m_options.srBusyReads; }

std::span<std::uint8_t> SimChip::CodeMemory() const {
  if (!m_mem.flash.empty()) return m_mem.flash;
  if (!m_mem.eeprom.empty()) return m_mem.eeprom;
  return m_mem.otp;
}

BootChoice SimChip::FindBootableCode() const {
  BootChoice choice;
  auto versionAt = [](std::span<const std::uint8_t> mem, std::uint32_t at, std::array<std::uint8_t, 8>& out) {
    out.fill(0xFF);
    for (std::uint32_t i = 0; i < 8; ++i)
      if (at + i < mem.size()) out[i] = mem[at + i];
  };
  const bool flash = m_options.memory == MemoryKind::Spi || m_options.memory == MemoryKind::Nor;
  if (flash && !m_mem.flash.empty()) {
    const auto mem = m_mem.flash;
    const std::uint32_t banks = static_cast<std::uint32_t>(std::max<std::size_t>(1, mem.size() / kBank));
    // Chip codes 23 and 26 keep their code above the first bank: look there first.
    std::vector<std::uint32_t> order;
    const bool above = m_ic->chipCode == 23 || m_ic->chipCode == 26;
    if (above)
      for (std::uint32_t b = 1; b < banks; ++b) order.push_back(b);
    order.push_back(0);
    if (!above)
      for (std::uint32_t b = 1; b < banks; ++b) order.push_back(b);
    const bool bootStatusChip = IsBootStatusChip(m_chipId[0], m_chipId[1]);
    const auto tag = Tag();
    if (tag[0] == 0x00 && tag[1] == 0x00) return choice;
    for (std::uint32_t b : order) {
      const std::uint32_t base = b * kBank;
      bool atConfig = base + m_ic->configAddress + 1 < mem.size() && mem[base + m_ic->configAddress + 1] == 0xA5;
      bool atZero = base + 1 < mem.size() && mem[base + 1] == 0xA5;
      if (!atConfig && !atZero) continue;
      const bool blockAtZero = !atConfig || m_ic->configAddress == 0;
      if (!bootStatusChip && !blockAtZero && !(tag[0] == 0x55 && tag[1] == 0xAA)) continue;
      choice.bootable = true;
      choice.base = base;
      // An image shorter than 64 KiB carries its version at 0x11B, a longer one at 0x100C; when
      // the length is not known, 0x100C unless it is blank.
      const std::uint32_t end = m_state.flashWriteEnd;
      if (end > base && end - base < kBank) {
        versionAt(mem, base + 0x11B, choice.version);
        return choice;
      }
      versionAt(mem, base + 0x100C, choice.version);
      if (end <= base && AllBlank(choice.version)) versionAt(mem, base + 0x11B, choice.version);
      return choice;
    }
    return choice;
  }
  if ((m_options.memory == MemoryKind::Eeprom8 || m_options.memory == MemoryKind::Eeprom16) &&
      m_mem.eeprom.size() > 1 && m_mem.eeprom[1] == 0xA5) {
    // EEPROM images are shorter than 64 KiB: their version bytes sit at 0x11B.
    choice.bootable = true;
    versionAt(m_mem.eeprom, 0x11B, choice.version);
    return choice;
  }
  if (m_options.memory == MemoryKind::Otp && m_mem.otp.size() >= kOtpSize) {
    // The highest live code entry of the block table.
    for (int i = 15; i >= 0; --i) {
      const std::uint32_t e = 0x3F70 + 5 * static_cast<std::uint32_t>(i);
      if (m_mem.otp[e + 4] != 0x55) continue;
      const std::uint32_t start = ReadBE16(m_mem.otp, e);
      const std::uint32_t length = ReadBE16(m_mem.otp, e + 2);
      if (length == 0 || start + length > 0x3F60) continue;
      choice.bootable = true;
      choice.base = start;
      std::array<std::uint8_t, 8> v{};
      v.fill(0xFF);
      for (std::uint32_t k = 0; k < 8; ++k)
        if (0x11B + k < length) v[k] = m_mem.otp[start + 0x11B + k];
      choice.version = v;
      return choice;
    }
  }
  return choice;
}

void SimChip::ResetRegisters() {
  std::fill(m_mem.regs.begin(), m_mem.regs.end(), std::uint8_t{0});
  m_mem.regs[kRegChipId] = m_chipId[0];
  m_mem.regs[kRegChipId + 1] = m_chipId[1];
  if (m_state.otpLocked) m_mem.regs[kRegOtpLock] |= 0x08;
  m_state.phase = Phase::None;
  m_state.status = kStsCmd;
  m_state.dataControlSize = 8;
  m_state.srBusy = 0;
  m_state.eraseBusy = 0;
  m_state.eraseStuck = false;
  m_state.signatureActive = false;
}

void SimChip::Boot() {
  const BootChoice choice = FindBootableCode();
  m_state.runningCode = choice.bootable;
  const bool hasOtp = !m_mem.otp.empty();
  if (choice.bootable) {
    m_state.version = choice.version;
    m_state.bootStatus = hasOtp ? 24 : 8;
  } else {
    m_state.version.fill(0xBB);
    m_state.bootStatus = m_options.romBootStatus;
  }
  const bool raw1071 = m_chipId[0] == 0x10 && m_chipId[1] == 0x71;
  m_mem.regs[raw1071 ? kRegBootStatus1071 : kRegBootStatus] = m_state.bootStatus;
}

void SimChip::PowerOn() {
  ResetRegisters();
  Boot();
}

void SimChip::CompleteReset(int type) {
  ResetRegisters();
  if (type == 9) {
    Boot();
  } else {
    // Update mode: the ROM runs whatever the memory holds.
    m_state.runningCode = false;
    m_state.version.fill(0xBB);
    m_state.bootStatus = m_options.romBootStatus;
    const bool raw1071 = m_chipId[0] == 0x10 && m_chipId[1] == 0x71;
    m_mem.regs[raw1071 ? kRegBootStatus1071 : kRegBootStatus] = m_state.bootStatus;
  }
}

std::vector<std::uint8_t> SimChip::StatusRecord() const {
  std::vector<std::uint8_t> s(kStatusRecordSize, 0);
  const auto& e = m_state.version;
  s[0] = m_state.bootStatus;
  s[1] = m_state.runningCode ? 1 : 0;
  s[2] = m_chipId[0];
  s[3] = m_chipId[1];
  WriteLE16(s, 4, m_options.rev);
  s[6] = m_ic->chipCode;
  WriteLE16(s, 8, m_options.vid);
  WriteLE16(s, 10, m_options.pid);
  std::memcpy(&s[24], kQualify, 8);
  // Version format 2 in slot A; slot B holds 0xBB so that the host keeps to slot A.
  s[64] = m_state.runningCode ? 0x31 : 0x30;
  std::fill(s.begin() + 72, s.begin() + 84, std::uint8_t{0xBB});
  if (m_state.runningCode) {
    s[79] = e[0];
    s[78] = e[1];
    s[77] = e[2];
    s[76] = e[3];
    s[83] = e[4];
    s[82] = e[5];
    s[81] = e[6];
    s[80] = e[7];
  }
  return s;
}

std::vector<std::uint8_t> SimChip::ExtendedBlock() const {
  std::vector<std::uint8_t> t(kExtendedBlockSize, 0);
  for (std::size_t i = 0; i < 8; ++i) t[12 + i] = m_state.runningCode ? m_state.version[i] : 0xBB;
  return t;
}

std::array<std::uint8_t, 8> SimChip::StatusPage(std::uint32_t page) const {
  std::array<std::uint8_t, 8> out{};
  if (page < kStatusRecordSize / 8) {
    const auto s = StatusRecord();
    std::copy_n(s.begin() + page * 8, 8, out.begin());
  } else if (page >= 128 && page < 128 + kExtendedBlockSize / 8) {
    const auto t = ExtendedBlock();
    std::copy_n(t.begin() + (page - 128) * 8, 8, out.begin());
  }
  return out;
}

bool SimChip::FaultHit(std::vector<FaultRule>& rules, FaultTarget target, std::uint8_t code, bool any) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    FaultRule& r = rules[i];
    const bool match = r.target == FaultTarget::Any ? any
                       : r.target == target && (target == FaultTarget::Status || target == FaultTarget::GetLen ||
                                                r.code == code);
    if (!match) continue;
    if (r.skip > 0) {
      --r.skip;
      continue;
    }
    if (r.times == 1) {
      rules.erase(rules.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (r.times > 1) {
      --r.times;
    }
    return true;
  }
  return false;
}

ChipReply SimChip::Control(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn,
                           std::uint32_t timeoutMs) {
  ++m_state.transfers;
  // Which fault target this transfer is.
  FaultTarget target = FaultTarget::Any;
  std::uint8_t code = 0;
  const std::uint8_t type = (setup.bmRequestType >> 5) & 3;
  const std::uint8_t selector = static_cast<std::uint8_t>(setup.wValue >> 8);
  if (type == 1) {
    if (selector == kSelCommand && setup.bRequest == kReqSetCur) {
      target = FaultTarget::Command;
      code = data.size() >= 2 ? data[1] : 0;
    } else if (selector == kSelCommand && setup.bRequest == kReqGetCur) {
      target = FaultTarget::Status;
    } else if (selector == kSelData && setup.bRequest == kReqGetLen) {
      target = FaultTarget::GetLen;
    } else if (selector == kSelData) {
      target = FaultTarget::Data;
      code = m_state.phOpcode;
    }
  } else if (type == 2) {
    target = FaultTarget::Vendor;
    code = setup.bRequest;
  }
  if (FaultHit(m_faults.timeout, target, code, true)) {
    Clock().Sleep(timeoutMs);
    return {usb::kErrTimeout, 0, 0};
  }
  if (FaultHit(m_faults.stall, target, code, true)) {
    if (type == 1) return FailExt(kStsHwErr);
    return {usb::kErrGenFailure, 0, 0};
  }
  if (type == 0) return Standard(setup, data, dirIn);
  if (type == 1) return Class(setup, data, dirIn);
  if (type == 2) return Vendor(setup, data, dirIn);
  return {usb::kErrGenFailure, 0, 0};
}

ChipReply SimChip::Standard(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn) {
  auto answer = [&](const std::vector<std::uint8_t>& bytes) {
    const std::size_t n = std::min(bytes.size(), data.size());
    std::copy_n(bytes.begin(), n, data.begin());
    return ChipReply{usb::kErrSuccess, static_cast<std::uint32_t>(n), 0};
  };
  const std::uint8_t recipient = setup.bmRequestType & 0x1F;
  if (dirIn) {
    switch (setup.bRequest) {
      case 0x06: {  // GET_DESCRIPTOR
        const std::uint8_t descType = static_cast<std::uint8_t>(setup.wValue >> 8);
        const std::uint8_t index = static_cast<std::uint8_t>(setup.wValue);
        if (recipient != 0) break;
        if (descType == 1) return answer(BuildDeviceDescriptor(m_options));
        if (descType == 2 && index == 0) return answer(BuildConfigDescriptor(m_options));
        std::vector<std::uint8_t> s;
        if (descType == 3 && BuildStringDescriptor(m_options, index, s)) return answer(s);
        break;
      }
      case 0x00: return answer({0, 0});  // GET_STATUS
      case 0x08: return answer({1});     // GET_CONFIGURATION
      case 0x0A: return answer({0});     // GET_INTERFACE
      default: break;
    }
    return {usb::kErrGenFailure, 0, 0};
  }
  switch (setup.bRequest) {
    case 0x01:  // CLEAR_FEATURE
    case 0x03:  // SET_FEATURE
    case 0x09:  // SET_CONFIGURATION
    case 0x0B:  // SET_INTERFACE
      return {usb::kErrSuccess, 0, 0};
    default:
      return {usb::kErrGenFailure, 0, 0};
  }
}

ChipReply SimChip::FailExt(std::uint8_t status) {
  m_state.phase = Phase::None;
  m_state.status = m_faults.statusAfterFailure >= 0 ? static_cast<std::uint8_t>(m_faults.statusAfterFailure) : status;
  return {usb::kErrGenFailure, 0, 0};
}

ChipReply SimChip::Class(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn) {
  const std::uint8_t selector = static_cast<std::uint8_t>(setup.wValue >> 8);
  const std::uint8_t unit = static_cast<std::uint8_t>(setup.wIndex >> 8);
  const std::uint8_t iface = static_cast<std::uint8_t>(setup.wIndex);
  if (m_options.form == CommandForm::VendorRequest || (setup.bmRequestType & 0x1F) != 1 ||
      unit != m_options.unitId || iface != m_acInterface)
    return {usb::kErrGenFailure, 0, 0};
  const std::size_t w = data.size();

  if (selector == kSelCommand && setup.bRequest == kReqSetCur && !dirIn) {
    if (w != 8) return FailExt(kStsErrLen);
    const std::uint8_t group = data[0], opcode = data[1];
    const std::uint16_t a = ReadLE16(data, 2), l = ReadLE16(data, 4), p = ReadLE16(data, 6);
    if (group == 0xFF) {  // abort block
      m_state.phase = Phase::None;
      m_state.status = kStsCmd;
      return {usb::kErrSuccess, 8, 0};
    }
    // A new command replaces a data phase left unfinished (the host aborts after failures).
    m_state.phase = Phase::None;
    m_state.lastOpcode = opcode;
    const ExtRow* row = nullptr;
    bool groupKnown = false;
    for (const ExtRow& r : kExtRows) {
      if (r.row.group == group) groupKnown = true;
      if (r.row.group == group && r.row.opcode == opcode) row = &r;
    }
    if (!row) return FailExt(groupKnown ? kStsUnknownScmd : kStsUnknownCmd);
    std::uint32_t address = row->addressHigh ? (static_cast<std::uint32_t>(p) << 16) | a : a;
    // Slave commands carry the slave address in the address field.
    if (row->op == kOpI2cSlaveRead || row->op == kOpI2cSlaveWrite) address = (address & 0xFF) << 8;
    // The all-blank check answers as many bytes as its parameter names.
    const std::uint32_t length = row->op == kOpOtpAllBlank ? p : l;
    int resetType = 0;
    const std::uint8_t sts = Prepare(row->op, address, length, p, resetType);
    if (sts != 0) return FailExt(sts);
    if (row->row.hasData && length > 0) {
      m_state.phase = row->row.dataIn ? Phase::In : Phase::Out;
      m_state.phGroup = group;
      m_state.phOpcode = opcode;
      m_state.phAddress = address;
      m_state.phLength = length;
      m_state.phParam = p;
      m_state.phPosition = 0;
      m_state.status = row->row.dataIn ? kStsDataIn : kStsDataOut;
    } else {
      if (row->row.hasData && !row->row.dataIn) FinishWrite(row->op, address, 0);
      m_state.status = kStsRetNoErr;
    }
    return {usb::kErrSuccess, 8, resetType};
  }

  if (selector == kSelCommand && setup.bRequest == kReqGetCur && dirIn) {
    std::uint8_t block[8] = {m_state.status, m_state.lastOpcode, m_state.phGroup, 0, 0, 0, 0, 0};
    const std::size_t n = std::min<std::size_t>(8, w);
    std::memcpy(data.data(), block, n);
    return {usb::kErrSuccess, static_cast<std::uint32_t>(n), 0};
  }

  if (selector == kSelData && setup.bRequest == kReqGetLen && dirIn) {
    std::uint8_t len[2] = {static_cast<std::uint8_t>(m_state.dataControlSize),
                           static_cast<std::uint8_t>(m_state.dataControlSize >> 8)};
    const std::size_t n = std::min<std::size_t>(2, w);
    std::memcpy(data.data(), len, n);
    return {usb::kErrSuccess, static_cast<std::uint32_t>(n), 0};
  }

  if (selector == kSelData && (setup.bRequest == kReqGetCur || setup.bRequest == kReqSetCur)) {
    const bool wantIn = setup.bRequest == kReqGetCur;
    if (wantIn != dirIn) return FailExt(kStsErrDir);
    if (m_state.phase == Phase::None) return FailExt(kStsErrLen);
    if ((m_state.phase == Phase::In) != dirIn) return FailExt(kStsErrDir);
    if (w == 0 || w > m_state.dataControlSize) return FailExt(kStsErrLen);
    const ExtRow* row = nullptr;
    for (const ExtRow& r : kExtRows)
      if (r.row.group == m_state.phGroup && r.row.opcode == m_state.phOpcode) row = &r;
    if (!row) return FailExt(kStsUnknownCmd);
    const std::uint32_t pos = m_state.phPosition;
    const std::uint32_t remaining = m_state.phLength - pos;
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(w, remaining));
    if (dirIn) {
      std::fill(data.begin(), data.end(), std::uint8_t{0});
      ReadData(row->op, m_state.phAddress, m_state.phLength, m_state.phParam, pos, data.first(n));
    } else {
      WriteData(row->op, m_state.phAddress, m_state.phParam, pos, data.first(n));
    }
    // A last transfer longer than what is left ends the phase; the position stays within it.
    m_state.phPosition = std::min<std::uint32_t>(pos + static_cast<std::uint32_t>(w), m_state.phLength);
    if (m_state.phPosition >= m_state.phLength) {
      if (!dirIn) FinishWrite(row->op, m_state.phAddress, m_state.phLength);
      m_state.phase = Phase::None;
      m_state.status = kStsRetNoErr;
    }
    return {usb::kErrSuccess, static_cast<std::uint32_t>(w), 0};
  }
  return {usb::kErrGenFailure, 0, 0};
}

ChipReply SimChip::Vendor(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn) {
  if (m_options.form == CommandForm::ExtensionUnit) return {usb::kErrGenFailure, 0, 0};
  const VendorRow* row = nullptr;
  for (const VendorRow& r : kVendorRows)
    if (r.row.dirIn == dirIn && r.row.request == setup.bRequest) row = &r;
  if (!row) return {usb::kErrGenFailure, 0, 0};
  const std::uint32_t length = static_cast<std::uint32_t>(data.size());
  std::uint32_t address = 0;
  std::uint16_t param = 0;
  switch (row->enc) {
    case Enc::Std:
    case Enc::Slave:
      address = setup.wIndex | (static_cast<std::uint32_t>((setup.wValue >> 8) & 0x0F) << 16);
      param = static_cast<std::uint16_t>(setup.wValue & 0xFF);
      break;
    case Enc::Spi:
      address = setup.wIndex | (static_cast<std::uint32_t>(setup.wValue >> 8) << 16);
      param = static_cast<std::uint16_t>(setup.wValue & 0xFF);
      break;
    case Enc::Page:
      address = setup.wValue & 0xFF;
      break;
    case Enc::Value:
      param = setup.wValue;
      address = setup.wValue;
      break;
    case Enc::AltReset:
      param = setup.wValue;
      address = setup.wValue;
      break;
  }
  int op = row->op;
  if (row->enc == Enc::AltReset) {
    if (setup.wIndex == 7) op = kOpResetUpdate;
    else if (setup.wIndex == 8) op = kOpResetUpdate2;
    else if (setup.wIndex == 9) op = kOpResetRom;
    else return {usb::kErrGenFailure, 0, 0};
  }
  if (row->enc == Enc::Slave) address = (address & 0xFF) << 8;
  int resetType = 0;
  // Status pages read a fixed 8 bytes; everything else moves the request's own length.
  if (Prepare(op, address, length, param, resetType) != 0) return {usb::kErrGenFailure, 0, 0};
  if (dirIn) {
    std::fill(data.begin(), data.end(), std::uint8_t{0});
    ReadData(op, address, length, param, 0, data);
  } else {
    WriteData(op, address, param, 0, data);
    FinishWrite(op, address, length);
  }
  return {usb::kErrSuccess, length, resetType};
}

// Checks an operation before any data moves; commands without data run here. Answers 0 or a
// status code.
std::uint8_t SimChip::Prepare(int op, std::uint32_t address, std::uint32_t length, std::uint16_t param,
                              int& resetType) {
  const bool spi = m_options.memory == MemoryKind::Spi && !m_mem.flash.empty();
  const bool nor = m_options.memory == MemoryKind::Nor && !m_mem.flash.empty();
  const auto flashRange = [&](std::uint32_t a, std::uint32_t l) -> std::uint8_t {
    return InRange(a, l, m_mem.flash.size()) ? 0 : kStsErrOutrange;
  };
  const auto eeprom = [&](bool wantWide, bool anyWidth, bool write) -> std::uint8_t {
    const bool wide = m_options.memory == MemoryKind::Eeprom16;
    const bool narrow = m_options.memory == MemoryKind::Eeprom8;
    if (m_mem.eeprom.empty() || !(wide || narrow)) return kStsHwErr;
    if (!anyWidth && wide != wantWide) return kStsHwErr;  // no EEPROM answers that addressing
    if (!InRange(address, length, m_mem.eeprom.size())) return kStsErrOutrange;
    if (write && !EepromWpReleased()) return kStsHwErr;
    return 0;
  };
  const auto otp = [&]() -> std::uint8_t {
    if (m_mem.otp.empty()) return kStsHwErr;
    return InRange(address, length, m_mem.otp.size()) ? 0 : kStsErrOutrange;
  };
  switch (op) {
    case kOpStatusPage:
    case kOpQualify:
    case kOpSpiReadSr:
    case kOpI2cRead:
    case kOpI2cWrite:
    case kOpI2cSlaveRead:
    case kOpI2cSlaveWrite:
    case kOpI2cLongRead:
    case kOpI2cLongWrite:
    case kOpReadPhy:
    case kOpWritePhy:
    case kOpCtl70In:
    case kOpReadByte06:
    case kOpOtpFailRecord:
      if (op == kOpSpiReadSr && !spi) return kStsHwErr;
      if (op == kOpOtpFailRecord && m_mem.otp.empty()) return kStsHwErr;
      return 0;
    case kOpSpiReadId:
      return spi ? 0 : kStsHwErr;
    case kOpDcsChange:
      // The chip agrees to sizes up to its maximum; zero keeps the current size.
      if (length != 0) m_state.dataControlSize = std::min<std::uint32_t>(length, m_options.maxDataControlSize);
      return 0;
    case kOpResetUpdate:
    case kOpResetUpdate2:
    case kOpResetRom: {
      m_state.lastResetMode = static_cast<std::uint16_t>(address);
      if (op == kOpResetUpdate) {
        resetType = 7;
        ++m_state.resets[0];
      } else if (op == kOpResetUpdate2) {
        resetType = 8;
        ++m_state.resets[1];
      } else {
        resetType = 9;
        // A restart sent without the host's preparation write counts as the vendor-path
        // restart (type 10 of the host).
        if (m_mem.regs[kRegResetPrepare] == 0x01) ++m_state.resets[2];
        else ++m_state.resets[3];
      }
      return 0;
    }
    case kOpReadIMem:
    case kOpReadMem:
    case kOpWriteMem:
      return InRange(address, length, m_mem.regs.size()) ? 0 : kStsErrOutrange;
    case kOpReadCode: {
      const auto mem = CodeMemory();
      if (mem.empty()) return kStsHwErr;
      return InRange(address, length, mem.size()) ? 0 : kStsErrOutrange;
    }
    case kOpNorErase:
      if (!nor) return kStsHwErr;
      if (!m_faults.eraseNeverCompletes) {
        std::fill(m_mem.flash.begin(), m_mem.flash.end(), std::uint8_t{0xFF});
        m_state.flashWriteEnd = 0;
      }
      return 0;
    case kOpNorRead:
      if (!nor) return kStsHwErr;
      return flashRange(address, length);
    case kOpNorWrite:
      if (!nor) return kStsHwErr;
      return flashRange(address, length);
    case kOpNorTag: {
      if (!nor) return kStsHwErr;
      const std::uint32_t t = m_ic->tagAddress;
      if (flashRange(t, 2)) return kStsErrOutrange;
      m_mem.flash[t] &= 0x55;
      m_mem.flash[t + 1] &= 0xAA;
      return 0;
    }
    case kOpSpiRead:
      // The chip's flash controller reads a NOR flash through the SPI read as well (the
      // host reads a NOR download back this way); writing and erasing keep their own forms.
      if (!spi && !nor) return kStsHwErr;
      return flashRange(address, length);
    case kOpSpiWrite:
      if (!spi) return kStsHwErr;
      if (flashRange(address, length)) return kStsErrOutrange;
      return FlashProtected() ? kStsHwErr : 0;
    case kOpSpiWriteSr:
      if (!spi) return kStsHwErr;
      // With SRWD set, the register is frozen while the write-protect line is asserted.
      if ((m_state.statusRegister & 0x80) && !FlashWpReleased()) return kStsHwErr;
      return 0;
    case kOpSpiEraseChip:
    case kOpSpiEraseSector:
    case kOpSpiEraseBlock: {
      if (!spi) return kStsHwErr;
      std::uint32_t start = 0, size = static_cast<std::uint32_t>(m_mem.flash.size());
      if (op != kOpSpiEraseChip) {
        size = op == kOpSpiEraseSector ? kSector : kBank;
        start = address & ~(size - 1);
        if (flashRange(start, size)) return kStsErrOutrange;
      }
      if (FlashProtected()) return kStsHwErr;
      SetFlashBusy();
      if (m_faults.eraseNeverCompletes) {
        m_state.eraseStuck = true;
        return 0;
      }
      std::fill_n(m_mem.flash.begin() + start, size, std::uint8_t{0xFF});
      m_state.flashWriteEnd = 0;
      if (op == kOpSpiEraseBlock) m_state.eraseBusy = m_options.eraseBusyPolls;
      return 0;
    }
    case kOpSpiBlockPoll:
      return spi ? 0 : kStsHwErr;
    case kOpSpiTag: {
      if (!spi) return kStsHwErr;
      const std::uint32_t t = m_ic->tagAddress;
      if (flashRange(t, 2)) return kStsErrOutrange;
      if (FlashProtected()) return kStsHwErr;
      m_mem.flash[t] &= 0x55;
      m_mem.flash[t + 1] &= 0xAA;
      SetFlashBusy();
      return 0;
    }
    case kOpEep8Read: return eeprom(false, false, false);
    case kOpEep8Write: return eeprom(false, false, true);
    case kOpEep16Read: return eeprom(true, false, false);
    case kOpEep16Write: return eeprom(true, false, true);
    case kOpEepNRead: return eeprom(false, true, false);
    case kOpEepNWrite: return eeprom(false, true, true);
    case kOpOtpWrite: {
      if (const std::uint8_t s = otp()) return s;
      // A new program-fail record; the chip stops once more bytes fail than the budget allows.
      m_state.otpBudget = static_cast<std::uint8_t>(std::min<std::uint16_t>(param, 8));
      m_state.failCount = 0;
      m_state.failAddress.fill(0);
      m_state.failCurrent = static_cast<std::uint16_t>(address);
      m_state.failStopped = false;
      if (m_state.otpLocked || (m_mem.regs[kRegOtpLock] & 0x08)) {
        // Locked: no byte takes its bits, and the record says so, so that a host reading only
        // the record does not take the refused write for a clean one.
        const std::uint32_t failed = std::min<std::uint32_t>(length, m_state.otpBudget + 1u);
        m_state.failCount = static_cast<std::uint8_t>(failed);
        for (std::uint32_t j = 0; j < failed && j < 8; ++j)
          m_state.failAddress[j] = static_cast<std::uint16_t>(address + j);
        m_state.failStopped = failed > m_state.otpBudget;
        m_state.failCurrent = static_cast<std::uint16_t>(m_state.failStopped ? address + m_state.otpBudget
                                                                             : address + length);
        return kStsHwErr;
      }
      return 0;
    }
    case kOpOtpRead:
    case kOpOtpBlank:
    case kOpOtpAllBlank:
    case kOpOtpTestDec:
      return otp();
    case kOpCtl70Out:
      m_state.ctl70 = param;
      return 0;
    case kOpCommand10:
      if (param == 1) {
        m_state.signatureActive = true;
        m_state.signatureQueries = 0;
      } else if (param == 0) {
        m_state.signatureActive = false;
      }
      return 0;
    default:
      return kStsUnknownScmd;
  }
}

void SimChip::ReadData(int op, std::uint32_t address, std::uint32_t length, std::uint16_t param, std::uint32_t offset,
                       std::span<std::uint8_t> out) {
  auto fromBytes = [&](std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::size_t k = offset + i;
      out[i] = k < bytes.size() ? bytes[k] : 0;
    }
  };
  auto fromMemory = [&](std::span<const std::uint8_t> mem) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      const std::size_t k = static_cast<std::size_t>(address) + offset + i;
      out[i] = k < mem.size() ? mem[k] : 0;
    }
  };
  auto fromAux = [&](std::uint32_t base, std::uint32_t start) {
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = m_mem.aux[base + ((start + offset + i) & 0xFFFF)];
  };
  switch (op) {
    case kOpStatusPage: {
      const auto page = StatusPage(address);
      fromBytes(page);
      break;
    }
    case kOpQualify: fromBytes(kQualify); break;
    case kOpReadIMem:
    case kOpReadMem: fromMemory(m_mem.regs); break;
    case kOpReadCode: fromMemory(CodeMemory()); break;
    case kOpNorRead:
    case kOpSpiRead: fromMemory(m_mem.flash); break;
    case kOpSpiReadId: {
      unsigned log2 = 0;
      while ((std::size_t{1} << (log2 + 1)) <= m_mem.flash.size()) ++log2;
      const std::uint8_t id[8] = {0xEF, 0x40, static_cast<std::uint8_t>(log2), 0, 0, 0, 0, 0};
      fromBytes(id);
      break;
    }
    case kOpSpiReadSr: {
      const bool busy = m_state.eraseStuck || m_state.srBusy > 0;
      if (m_state.srBusy > 0 && offset == 0) --m_state.srBusy;
      const std::uint8_t sr = static_cast<std::uint8_t>(m_state.statusRegister | (busy ? 0x01 : 0x00));
      fromBytes(std::span<const std::uint8_t>(&sr, 1));
      break;
    }
    case kOpSpiBlockPoll: {
      std::uint8_t done = 1;
      if (m_state.eraseStuck) {
        done = 0;
      } else if (m_state.eraseBusy > 0) {
        --m_state.eraseBusy;
        done = 0;
      }
      fromBytes(std::span<const std::uint8_t>(&done, 1));
      break;
    }
    case kOpEep8Read:
    case kOpEep16Read:
    case kOpEepNRead: fromMemory(m_mem.eeprom); break;
    case kOpI2cRead: fromAux(0, address & 0xFFFF); break;
    case kOpI2cSlaveRead: fromAux(0, address); break;
    case kOpI2cLongRead: fromAux(0, ((param & 0xFFu) << 8) + address); break;
    case kOpReadPhy: fromAux(0x10000, address); break;
    case kOpOtpRead: fromMemory(m_mem.otp); break;
    case kOpOtpBlank:
      for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t k = static_cast<std::size_t>(address) + offset + i;
        out[i] = k < m_mem.otp.size() && m_mem.otp[k] ? 1 : 0;
      }
      break;
    case kOpOtpAllBlank: {
      std::uint8_t used = 0;
      for (std::uint32_t i = 0; i < length && address + i < m_mem.otp.size(); ++i) used |= m_mem.otp[address + i];
      const std::uint8_t answer = used ? 1 : 0;
      fromBytes(std::span<const std::uint8_t>(&answer, 1));
      break;
    }
    case kOpOtpTestDec: {
      // The OTP as the chip decodes it: ECC records in use replace their bytes.
      std::vector<std::uint8_t> decoded(m_mem.otp.begin(), m_mem.otp.end());
      for (std::uint32_t k = 1; k <= 16; ++k) {
        const std::uint32_t r = kEccTable + 4 * k;
        if (decoded[r + 3] != 0x5A) continue;
        const std::uint16_t at = ReadBE16(m_mem.otp, r);
        if (at < decoded.size()) decoded[at] = m_mem.otp[r + 2];
      }
      fromMemory(decoded);
      break;
    }
    case kOpOtpFailRecord: {
      std::uint8_t rec[19] = {};
      rec[0] = m_state.failCount;
      for (std::size_t j = 0; j < 8; ++j) WriteBE16(rec, 1 + 2 * j, m_state.failAddress[j]);
      WriteBE16(rec, 17, m_state.failCurrent);
      if (m_faults.otpFailRecord.size() == sizeof rec) {
        std::copy(m_faults.otpFailRecord.begin(), m_faults.otpFailRecord.end(), rec);
        // The data phase may come in pieces; the record is used up with its last one.
        if (offset + out.size() >= sizeof rec) m_faults.otpFailRecord.clear();
      }
      fromBytes(rec);
      break;
    }
    case kOpReadByte06: {
      std::uint8_t v = m_state.runningCode ? 1 : 0;
      if (m_state.signatureActive) {
        const std::uint32_t q = m_state.signatureQueries++;
        if (m_faults.signature == SignatureResult::Busy || q < m_options.signatureBusyQueries) v = 1;
        else v = m_faults.signature == SignatureResult::Pass ? 2 : 4;
      }
      fromBytes(std::span<const std::uint8_t>(&v, 1));
      break;
    }
    case kOpCtl70In:
    default:
      std::fill(out.begin(), out.end(), std::uint8_t{0});
      break;
  }
}

void SimChip::WriteData(int op, std::uint32_t address, std::uint16_t param, std::uint32_t offset,
                        std::span<const std::uint8_t> in) {
  (void)param;
  switch (op) {
    case kOpWriteMem:
      for (std::size_t i = 0; i < in.size(); ++i) {
        const std::uint32_t a = address + offset + static_cast<std::uint32_t>(i);
        if (a >= m_mem.regs.size()) break;
        // Identity and boot status are read-only.
        if (a == kRegChipId || a == kRegChipId + 1 || a == kRegBootStatus || a == kRegBootStatus1071) continue;
        m_mem.regs[a] = in[i];
        if (a == kRegWpQuery && in[i] == 0x29) m_mem.regs[kRegWpPairs] = m_options.dualWpPairs ? 0x20 : 0x00;
        if (a == kRegOtpLock && (in[i] & 0x08)) m_state.otpLocked = true;
      }
      break;
    case kOpNorWrite:
    case kOpSpiWrite:
      // NOR semantics: programming only clears bits.
      for (std::size_t i = 0; i < in.size() && address + offset + i < m_mem.flash.size(); ++i)
        m_mem.flash[address + offset + i] &= in[i];
      if (!in.empty())
        m_state.flashWriteEnd =
            std::max(m_state.flashWriteEnd, address + offset + static_cast<std::uint32_t>(in.size()));
      break;
    case kOpSpiWriteSr:
      if (offset == 0 && !in.empty()) m_state.statusRegister = static_cast<std::uint8_t>(in[0] & 0xFC);
      break;
    case kOpEep8Write:
    case kOpEep16Write:
    case kOpEepNWrite:
      for (std::size_t i = 0; i < in.size() && address + offset + i < m_mem.eeprom.size(); ++i)
        m_mem.eeprom[address + offset + i] = in[i];
      break;
    case kOpI2cWrite:
    case kOpI2cSlaveWrite:
      for (std::size_t i = 0; i < in.size(); ++i) m_mem.aux[(address + offset + i) & 0xFFFF] = in[i];
      break;
    case kOpI2cLongWrite:
      for (std::size_t i = 0; i < in.size(); ++i)
        m_mem.aux[(((param & 0xFFu) << 8) + address + offset + i) & 0xFFFF] = in[i];
      break;
    case kOpWritePhy:
      for (std::size_t i = 0; i < in.size(); ++i) m_mem.aux[0x10000 + ((address + offset + i) & 0xFFFF)] = in[i];
      break;
    case kOpOtpWrite: {
      for (std::size_t i = 0; i < in.size(); ++i) {
        if (m_state.failStopped) return;
        const std::uint32_t a = address + offset + static_cast<std::uint32_t>(i);
        if (a >= m_mem.otp.size()) return;
        const std::uint8_t want = in[i];
        const bool bad = std::find(m_faults.otpBad.begin(), m_faults.otpBad.end(), a) != m_faults.otpBad.end();
        if (!bad) {
          m_mem.otp[a] |= want;
          continue;
        }
        if ((want & ~m_mem.otp[a]) == 0) continue;  // nothing left to program
        if (m_state.failCount < 8) m_state.failAddress[m_state.failCount] = static_cast<std::uint16_t>(a);
        ++m_state.failCount;
        if (m_state.failCount > m_state.otpBudget) {
          m_state.failStopped = true;
          m_state.failCurrent = static_cast<std::uint16_t>(a);
          return;
        }
      }
      break;
    }
    default:
      break;
  }
}

void SimChip::FinishWrite(int op, std::uint32_t address, std::uint32_t length) {
  switch (op) {
    case kOpSpiWrite:
    case kOpSpiWriteSr:
      SetFlashBusy();
      break;
    case kOpOtpWrite:
      if (!m_state.failStopped) m_state.failCurrent = static_cast<std::uint16_t>(address + length);
      break;
    default:
      break;
  }
}

}  // namespace drover::sim
