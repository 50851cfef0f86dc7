#include "transport/ext_unit.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/debug_channel.h"
#include "base/strfmt.h"

namespace drover {
namespace {

using Fields = CExtUnitBase::Fields;
using Number = CExtUnitBase::Number;
using Command = CExtUnitBase::Command;

constexpr std::uint32_t kRangePiece = 0x8000;
constexpr std::uint32_t kMaxSingle = 0xFFFF;
constexpr std::uint32_t kLongPiece = 64;

// The command table of the extension-unit form: texts for the diagnostics, preset block,
// the fields each command overwrites and the number its data-phase text carries.
constexpr Command kGetDevStatus{"GetDevStatus SetCmd", "GetDevStatus GetData", {0x00, 0xCD, 0, 0, 8, 0, 0, 0}, Fields::AL, Number::AddressPlusDone};
constexpr Command kResetToUpdateFW{"ResetToUpdateFW SetCmd", "", {0x00, 0x07, 0, 0, 0, 0, 0, 0}, Fields::A, Number::AddressPlusDone};
constexpr Command kResetToUpdateFW2{"ResetToUpdateFW SetCmd", "", {0x00, 0x08, 0, 0, 0, 0, 0, 0}, Fields::A, Number::AddressPlusDone};
constexpr Command kResetToRom{"ResetToRom SetCmd", "", {0x00, 0x09, 0, 0, 0, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kReadIMem{"ReadIMem SetCmd", "ReadIMem GetData 0x%X", {0x00, 0xC1, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::AddressPlusDone};
constexpr Command kReadMem{"ReadMem SetCmd", "ReadMem GetData 0x%X", {0x00, 0xC2, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::AddressPlusDone};
constexpr Command kWriteMem{"WriteMem SetCmd", "WriteMem SetData 0x%X", {0x00, 0x82, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::AddressPlusDone};
constexpr Command kReadCode{"ReadCode SetCmd", "ReadCode GetData 0x%X", {0x00, 0xC3, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::AddressPlusDone};
constexpr Command kReadPhy{"ReadPhy SetCmd", "ReadPhy GetData 0x%X", {0x00, 0xCC, 0, 0, 1, 0, 0, 0}, Fields::A, Number::AddressPlusDone};
constexpr Command kWritePhy{"WritePhy SetCmd", "WritePhy SetData 0x%X", {0x00, 0x8C, 0, 0, 1, 0, 0, 0}, Fields::A, Number::AddressPlusDone};
constexpr Command kEraseFlash{"EraseFlash SetCmd", "", {0x00, 0x04, 0, 0, 0, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kNorRead{"NorFlash_Read SetCmd", "NorFlash_Read GetData 0x%X", {0x00, 0xC5, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::AddressPlusDone};
constexpr Command kWriteFlash{"WriteFlash SetCmd", "WriteFlash", {0x00, 0x85, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::AddressPlusDone};
constexpr Command kNorWriteTag{"NorFlash_WriteTag SetCmd", "", {0x00, 0x06, 0, 0, 0, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kSpiReadId{"SPI_SF_ReadID SetCmd failed", "SPI_SF_ReadID GetData", {0x02, 0xC1, 0, 0, 8, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kSpiRead{"SPI_SF_Read SetCmd", "SPI_SF_Read GetData 0x%X", {0x02, 0xC2, 0, 0, 0, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kSpiWrite{"SPI_SF_Write SetCmd", "SPI_SF_Write", {0x02, 0x82, 0, 0, 0, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kSpiReadSr{"SPI_SF_ReadSr SetCmd", "SPI_SF_ReadSr GetData", {0x02, 0xC3, 0, 0, 1, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kSpiWriteSr{"SPI_SF_WriteSr SetCmd", "SPI_SF_WriteSr", {0x02, 0x83, 0, 0, 1, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kSpiEraseChip{"SPI_SF_EraseChip SetCmd", "", {0x02, 0x04, 0, 0, 0, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kSpiEraseSector{"SPI_SF_EraseSector SetCmd", "", {0x02, 0x05, 0, 0, 0, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kSpiWriteTag{"SPI_SF_WriteTag SetCmd", "", {0x02, 0x13, 0, 0, 0, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kEep8Read{"I2C_EEP8_Read SetCmd", "I2C_EEP8_Read GetData 0x%X", {0x02, 0xCB, 0, 0, 0, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kEep8Write{"I2C_EEP8_Write SetCmd", "I2C_EEP8_Write SetData 0x%X", {0x02, 0x8B, 0, 0, 0, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kEep16Read{"I2C_EEP16_Read SetCmd", "I2C_EEP16_Read GetData 0x%X", {0x02, 0xD1, 0, 0, 0, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kEep16Write{"I2C_EEP16_Write SetCmd", "I2C_EEP16_Write SetData 0x%X", {0x02, 0x91, 0, 0, 0, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kI2CReadSlave{"I2CRead SetCmd", "I2CRead GetData SlaveAddr=0x%02X", {0x00, 0xEA, 0, 0, 0, 0, 0, 0}, Fields::SL, Number::Slave};
constexpr Command kI2CRead{"I2CRead SetCmd", "I2CRead GetData 0x%X", {0x00, 0xCA, 0, 0, 2, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kI2CWriteSlave{"I2CWrite SetCmd", "I2CWrite SetData SlaveAddr=0x%02X", {0x00, 0xAA, 0, 0, 0, 0, 0, 0}, Fields::SL, Number::Slave};
constexpr Command kI2CWrite{"I2CWrite SetCmd", "I2CWrite SetData 0x%X", {0x00, 0x8A, 0, 0, 2, 0, 0, 0}, Fields::ALAhi, Number::AddressPlusDone};
constexpr Command kI2CGenRead{"I2CGenRead SetCmd", "I2CGenRead GetData Addr=0x%02X", {0x00, 0xEA, 0, 0, 0, 0, 0, 0}, Fields::SL, Number::Done};
constexpr Command kI2CGenWrite{"I2CGenWrite", "I2CGenWrite SetData Addr=0x%02X", {0x00, 0xAA, 0, 0, 0, 0, 0, 0}, Fields::SL, Number::Done};
constexpr Command kI2CRandomRead{"I2CRandomRead SetCmd", "I2CRandomRead GetData SlaveAddr=0x%02X", {0x00, 0xF1, 0, 0, 0, 0, 0, 0}, Fields::SL, Number::Slave};
constexpr Command kI2CRandomWrite{"I2CRandomWrite", "I2CRandomWrite SetData SlaveAddr=0x%02X", {0x00, 0xB1, 0, 0, 0, 0, 0, 0}, Fields::SL, Number::Slave};
constexpr Command kI2CSuperRead{"I2CSuperRead SetCmd", "I2CSuperRead GetData SlaveAddr=0x%02X", {0x00, 0xF2, 0x08, 0, 0, 0, 0, 0}, Fields::SL, Number::SlavePlusDone};
constexpr Command kI2CSuperWrite{"I2CSuperWrite", "I2CSuperWrite SetData SlaveAddr=0x%02X", {0x00, 0xB2, 0x08, 0, 0, 0, 0, 0}, Fields::SL, Number::SlavePlusDone};
constexpr Command kI2CLongRead{"I2CLongRead", "I2CLongRead GetData 0x%x", {0x00, 0xF0, 0, 0, 0, 0, 0, 0}, Fields::ALP, Number::AddressPlusDone};
constexpr Command kI2CLongWrite{"I2CLongWrite", "I2CLongWrite SetData 0x%x", {0x00, 0xB0, 0, 0, 0, 0, 0, 0}, Fields::ALP, Number::AddressPlusDone};
constexpr Command kOtpWrite{"OTPWrite SetCmd", "OTPWrite SetData 0x%X", {0x02, 0x97, 0, 0, 0, 0, 0, 0}, Fields::ALP, Number::Done};
constexpr Command kOtpRead{"OTPRead SetCmd", "OTPRead GetData 0x%X", {0x02, 0xD7, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::Done};
constexpr Command kOtpBlankCheck{"OTPBlankCheck SetCmd", "OTPBlankCheck GetData 0x%X", {0x02, 0xD8, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::Done};
constexpr Command kOtpAllBlankCheck{"OTPAllBlankCheck SetCmd", "OTPAllBlankCheck GetData 0x%X", {0x02, 0xDF, 0, 0, 8, 0, 0, 0}, Fields::A8P, Number::Done};
constexpr Command kOtpPrgmFailAddr{"OTPPrgmFailAddr SetCmd", "OTPPrgmFailAddr GetData 0x%X", {0x02, 0xDC, 0, 0, 0x13, 0, 0, 0}, Fields::None, Number::Done};
constexpr Command kDevQualify{"DevQualify SetCmd", "DevQualify GetData", {0x00, 0xD0, 0, 0, 8, 0, 0, 0}, Fields::None, Number::AddressPlusDone};
constexpr Command kOtpTestDec{"OTPTestDec SetCmd", "OTPTestDec GetData 0x%x", {0x02, 0xD9, 0, 0, 0, 0, 0, 0}, Fields::AL, Number::Address16PlusDone};
constexpr Command kOtpWriteST{"OTPWriteST SetCmd", "OTPWriteST SetData 0x%x", {0x02, 0x9A, 0, 0, 0, 0, 0, 0}, Fields::ALP, Number::Address16PlusDone};
constexpr CmdBlock kChangeSizePreset{0x00, 0x16, 0, 0, 0, 0, 0, 0};

// Formats a diagnostic with its one number conversion ("%X", "%x" or "%02X"), or the text
// alone when it has none. The texts are fixed tables, never outside input.
std::string WithNumber(const char* text, std::uint32_t number) {
  const char* pct = std::strchr(text, '%');
  if (!pct) return text;
  std::string out(text, pct);
  const char* rest;
  if (std::strncmp(pct, "%02X", 4) == 0) {
    out += StrFormat("%02X", number);
    rest = pct + 4;
  } else if (std::strncmp(pct, "%x", 2) == 0) {
    out += StrFormat("%x", number);
    rest = pct + 2;
  } else {
    out += StrFormat("%X", number);
    rest = pct + 2;
  }
  return out + rest;
}

bool IsFailure(std::uint32_t rc) { return rc != 0; }

// A data phase of `total` bytes in chunks of n: whole(at) moves each whole chunk, last(at,
// rest) the shorter rest. On a failure done holds the bytes moved before the failing chunk.
template <class Whole, class Last>
std::uint32_t MoveInChunks(std::uint32_t total, std::uint32_t n, std::uint32_t& done, const ProgressCallback& progress,
                           Whole whole, Last last) {
  done = 0;
  std::uint32_t at = 0;
  for (; at + n <= total; at += n) {
    if (const std::uint32_t rc = whole(at)) {
      done = at;
      return rc;
    }
    if (progress) progress(n);
  }
  const std::uint32_t rest = total - at;
  if (rest != 0) {
    if (const std::uint32_t rc = last(at, rest)) {
      done = at;
      return rc;
    }
    if (progress) progress(rest);
  }
  done = total;
  return 0;
}

}  // namespace

CExtUnitBase::CExtUnitBase(std::uint8_t unitId) : m_lock(kVendorCmdLockName), m_byUnitId(unitId) {}

CExtUnitBase::~CExtUnitBase() = default;

std::string CExtUnitBase::DataText(const Command& c, std::uint32_t address, std::uint16_t param,
                                   std::uint32_t done) const {
  std::uint32_t n = 0;
  switch (c.number) {
    case Number::AddressPlusDone: n = address + done; break;
    case Number::Done: n = done; break;
    case Number::Slave: n = param & 0xFF; break;
    case Number::SlavePlusDone: n = (param & 0xFF) + done; break;
    case Number::Address16PlusDone: n = (address & 0xFFFF) + done; break;
  }
  return WithNumber(c.dataText, n);
}

void CExtUnitBase::ReportError(const std::string& operationName, std::uint32_t errorCode) {
  m_byLastStatus = 0xFF;
  std::string text;
  if (errorCode == kVcmdDeviceGone) {
    // The device has left the bus: nothing more is sent to it.
    text = operationName + "Device not connected";
  } else {
    std::span<std::uint8_t> status(m_scratch.data(), 8);
    std::fill(status.begin(), status.end(), 0);
    const std::uint32_t rc = GetStatus(status);
    if (rc == 0) {
      text = operationName + StrFormat(" error %x, %s", errorCode, VcmdStatusText(status[0]));
      m_byLastStatus = status[0];
    } else {
      text = operationName + StrFormat(" error %x, and fail to get err_code %x", errorCode, rc);
    }
    SetCmd(kAbortBlock);
  }
  m_strLastDiagnostic = text;
  OutputDebugString(text.empty() || text.back() != '\n' ? text + "\n" : text);
}

std::uint32_t CExtUnitBase::SendCommand(const Command& c, std::uint32_t address, std::uint32_t length,
                                        std::uint16_t param) {
  const auto a = static_cast<std::uint16_t>(address);
  const auto l = static_cast<std::uint16_t>(length);
  std::uint32_t rc = 0;
  switch (c.fields) {
    case Fields::None: rc = SetCmd(c.preset); break;
    case Fields::A: rc = SetCmd(c.preset, a); break;
    case Fields::AL: rc = SetCmd(c.preset, a, l); break;
    case Fields::ALAhi: rc = SetCmd(c.preset, a, l, static_cast<std::uint16_t>(address >> 16)); break;
    case Fields::ALP: rc = SetCmd(c.preset, a, l, param); break;
    case Fields::SL: rc = SetCmd(c.preset, static_cast<std::uint16_t>(param & 0xFF), l); break;
    case Fields::A8P: rc = SetCmd(c.preset, a, 8, l); break;
  }
  if (IsFailure(rc)) ReportError(c.setCmdText, rc);
  return rc;
}

std::uint32_t CExtUnitBase::InPhase(const Command& c, std::uint32_t address, std::uint16_t param,
                                    std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  if (const std::uint32_t rc = SendCommand(c, address, static_cast<std::uint32_t>(buffer.size()), param)) return rc;
  std::uint32_t done = 0;
  const std::uint32_t rc = progress ? GetData(buffer, done, progress) : GetData(buffer, done);
  if (IsFailure(rc)) ReportError(DataText(c, address, param, done), rc);
  return rc;
}

std::uint32_t CExtUnitBase::OutPhase(const Command& c, std::uint32_t address, std::uint16_t param,
                                     std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  if (const std::uint32_t rc = SendCommand(c, address, static_cast<std::uint32_t>(data.size()), param)) return rc;
  std::uint32_t done = 0;
  const std::uint32_t rc = progress ? SetData(data, done, progress) : SetData(data, done);
  if (IsFailure(rc)) ReportError(DataText(c, address, param, done), rc);
  return rc;
}

std::uint32_t CExtUnitBase::RangeIn(const Command& c, std::uint32_t address, std::span<std::uint8_t> buffer,
                                    const ProgressCallback& progress) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  std::size_t at = 0;
  while (buffer.size() - at > kMaxSingle) {
    // Each piece is a command of its own, taking the (re-entrant) lock again.
    const std::uint32_t rc = RangeIn(c, address + static_cast<std::uint32_t>(at), buffer.subspan(at, kRangePiece), progress);
    if (rc) return rc;
    at += kRangePiece;
  }
  if (at == buffer.size()) return 0;
  return InPhase(c, address + static_cast<std::uint32_t>(at), 0, buffer.subspan(at), progress);
}

std::uint32_t CExtUnitBase::RangeOut(const Command& c, std::uint32_t address, std::span<const std::uint8_t> data,
                                     const ProgressCallback& progress) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  std::size_t at = 0;
  while (data.size() - at > kMaxSingle) {
    const std::uint32_t rc = RangeOut(c, address + static_cast<std::uint32_t>(at), data.subspan(at, kRangePiece), progress);
    if (rc) return rc;
    at += kRangePiece;
  }
  if (at == data.size()) return 0;
  return OutPhase(c, address + static_cast<std::uint32_t>(at), 0, data.subspan(at), progress);
}

std::uint32_t CExtUnitBase::SingleIn(const Command& c, std::uint32_t address, std::uint16_t param,
                                     std::span<std::uint8_t> buffer) {
  // One command carries a 16-bit length; a longer buffer would silently be cut.
  if (buffer.size() > kMaxSingle) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  if (buffer.empty()) return 0;
  return InPhase(c, address, param, buffer, {});
}

std::uint32_t CExtUnitBase::SingleOut(const Command& c, std::uint32_t address, std::uint16_t param,
                                      std::span<const std::uint8_t> data) {
  if (data.size() > kMaxSingle) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  if (data.empty()) return 0;
  return OutPhase(c, address, param, data, {});
}

std::uint32_t CExtUnitBase::ChunkIn(const Command& c, std::uint32_t address, std::uint32_t length,
                                    std::uint16_t param, std::span<std::uint8_t> out, std::uint32_t number) {
  // One chunk is all this command's data phase carries: a device that agreed to a chunk
  // smaller than the answer would leave the rest of the caller's buffer as if it were data.
  if (out.size() > m_dwDataCtrlSize) return kVcmdInvalidArg;
  if (const std::uint32_t rc = SendCommand(c, address, length, param)) return rc;
  std::fill(m_scratch.begin(), m_scratch.end(), 0);
  const std::uint32_t rc = GetDataChunk(std::span<std::uint8_t>(m_scratch.data(), m_dwDataCtrlSize));
  if (IsFailure(rc)) {
    ReportError(WithNumber(c.dataText, number), rc);
    return rc;
  }
  std::copy_n(m_scratch.begin(), out.size(), out.begin());
  return 0;
}

std::uint32_t CExtUnitBase::ChunkOut(const Command& c, std::uint32_t address, std::uint32_t length,
                                     std::uint16_t param, std::span<const std::uint8_t> data, std::uint32_t number) {
  if (data.size() > m_dwDataCtrlSize) return kVcmdInvalidArg;  // would be cut short
  if (const std::uint32_t rc = SendCommand(c, address, length, param)) return rc;
  std::fill(m_scratch.begin(), m_scratch.end(), 0);
  std::copy_n(data.begin(), data.size(), m_scratch.begin());
  const std::uint32_t rc = SetDataChunk(std::span<const std::uint8_t>(m_scratch.data(), m_dwDataCtrlSize));
  if (IsFailure(rc)) ReportError(WithNumber(c.dataText, number), rc);
  return rc;
}

std::uint32_t CExtUnitBase::NoData(const Command& c, std::uint32_t address, std::uint32_t length,
                                   std::uint16_t param) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return SendCommand(c, address, length, param);
}

std::uint32_t CExtUnitBase::EepErase(const Command& c, std::uint32_t size) {
  std::vector<std::uint8_t> ones(size, 0xFF);
  // The erase is a write of 0xFF bytes from address 0, split like every range write; the
  // high address half goes with each piece so that an erase past 64 KiB reaches the end.
  return RangeOut(c, 0, ones, {});
}

// ---- the common operations ----

std::uint32_t CExtUnitBase::GetDevStatus(std::uint32_t firstPage, std::span<std::uint8_t> buffer) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  for (std::size_t at = 0, page = firstPage; at < buffer.size(); at += 8, ++page) {
    const std::size_t n = std::min<std::size_t>(8, buffer.size() - at);
    const std::uint32_t rc = ChunkIn(kGetDevStatus, static_cast<std::uint32_t>(page), 8, 0, buffer.subspan(at, n), 0);
    if (rc) return rc;
  }
  return 0;
}

std::uint32_t CExtUnitBase::ResetToUpdateFW(std::uint16_t value) { return NoData(kResetToUpdateFW, value); }
std::uint32_t CExtUnitBase::ResetToUpdateFW2(std::uint16_t value) { return NoData(kResetToUpdateFW2, value); }
std::uint32_t CExtUnitBase::ResetToRom() { return NoData(kResetToRom); }

std::uint32_t CExtUnitBase::ReadIMem(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kReadIMem, address, buffer, progress);
}
std::uint32_t CExtUnitBase::ReadMem(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kReadMem, address, buffer, progress);
}
std::uint32_t CExtUnitBase::WriteMem(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kWriteMem, address, data, progress);
}
std::uint32_t CExtUnitBase::ReadCode(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kReadCode, address, buffer, progress);
}

std::uint32_t CExtUnitBase::ReadPhy(std::uint32_t address, std::span<std::uint8_t> buffer) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    const auto a = address + static_cast<std::uint32_t>(i);
    if (const std::uint32_t rc = ChunkIn(kReadPhy, a, 1, 0, buffer.subspan(i, 1), a)) return rc;
  }
  return 0;
}

std::uint32_t CExtUnitBase::WritePhy(std::uint32_t address, std::span<const std::uint8_t> data) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto a = address + static_cast<std::uint32_t>(i);
    if (const std::uint32_t rc = ChunkOut(kWritePhy, a, 1, 0, data.subspan(i, 1), a)) return rc;
  }
  return 0;
}

std::uint32_t CExtUnitBase::EraseFlash() { return NoData(kEraseFlash); }
std::uint32_t CExtUnitBase::NorFlash_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kNorRead, address, buffer, progress);
}
std::uint32_t CExtUnitBase::WriteFlash(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kWriteFlash, address, data, progress);
}
std::uint32_t CExtUnitBase::NorFlash_WriteTag() { return NoData(kNorWriteTag); }

std::uint32_t CExtUnitBase::SPI_SF_ReadID(std::span<std::uint8_t> id) {
  if (id.size() < 8) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return ChunkIn(kSpiReadId, 0, 0, 0, id.first(8), 0);
}

std::uint32_t CExtUnitBase::SPI_SF_Read(std::uint32_t address, std::span<std::uint8_t> buffer, std::uint8_t,
                                        const ProgressCallback& progress) {
  return RangeIn(kSpiRead, address, buffer, progress);
}
std::uint32_t CExtUnitBase::SPI_SF_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kSpiWrite, address, data, progress);
}

std::uint32_t CExtUnitBase::SPI_SF_ReadSr(std::uint8_t& value) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  std::uint8_t b = 0;
  const std::uint32_t rc = ChunkIn(kSpiReadSr, 0, 0, 0, std::span<std::uint8_t>(&b, 1), 0);
  if (rc == 0) value = b;
  return rc;
}

std::uint32_t CExtUnitBase::SPI_SF_WriteSr(std::uint8_t value) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return ChunkOut(kSpiWriteSr, 0, 0, 0, std::span<const std::uint8_t>(&value, 1), 0);
}

std::uint32_t CExtUnitBase::SPI_SF_EraseChip(std::uint32_t) { return NoData(kSpiEraseChip); }

std::uint32_t CExtUnitBase::SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) {
  if (sectorSize == 0 || address % sectorSize != 0) return kVcmdInvalidArg;
  return NoData(kSpiEraseSector, address, 0);
}

std::uint32_t CExtUnitBase::SPI_SF_EraseBlock(std::uint32_t, std::uint32_t, bool) { return kVcmdNotImplemented; }
std::uint32_t CExtUnitBase::SPI_SF_WriteTag() { return NoData(kSpiWriteTag); }

std::uint32_t CExtUnitBase::I2C_EEP8_Erase(std::uint32_t size) { return EepErase(kEep8Write, size); }
std::uint32_t CExtUnitBase::I2C_EEP8_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kEep8Read, address, buffer, progress);
}
std::uint32_t CExtUnitBase::I2C_EEP8_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kEep8Write, address, data, progress);
}
std::uint32_t CExtUnitBase::I2C_EEP8_WriteTag() {
  const std::uint8_t tag = 0xA5;
  return I2C_EEP8_Write(1, std::span<const std::uint8_t>(&tag, 1));
}
std::uint32_t CExtUnitBase::I2C_EEP16_Erase(std::uint32_t size) { return EepErase(kEep16Write, size); }
std::uint32_t CExtUnitBase::I2C_EEP16_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kEep16Read, address, buffer, progress);
}
std::uint32_t CExtUnitBase::I2C_EEP16_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kEep16Write, address, data, progress);
}
std::uint32_t CExtUnitBase::I2C_EEP16_WriteTag() {
  const std::uint8_t tag = 0xA5;
  return I2C_EEP16_Write(1, std::span<const std::uint8_t>(&tag, 1));
}

std::uint32_t CExtUnitBase::I2C_EEPN_Erase(std::uint32_t) { return kVcmdNotImplemented; }
std::uint32_t CExtUnitBase::I2C_EEPN_Read(std::uint32_t, std::span<std::uint8_t>, std::uint8_t, const ProgressCallback&) {
  return kVcmdNotImplemented;
}
std::uint32_t CExtUnitBase::I2C_EEPN_Write(std::uint32_t, std::span<const std::uint8_t>, std::uint8_t, const ProgressCallback&) {
  return kVcmdNotImplemented;
}
std::uint32_t CExtUnitBase::I2C_EEPN_WriteTag() { return kVcmdNotImplemented; }

std::uint32_t CExtUnitBase::I2CReadSlave(std::uint8_t slave, std::span<std::uint8_t> buffer) {
  // The slave forms carry one chunk at most.
  if (buffer.size() > m_dwDataCtrlSize) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return ChunkIn(kI2CReadSlave, 0, static_cast<std::uint32_t>(buffer.size()), slave, buffer, slave);
}

std::uint32_t CExtUnitBase::I2CRead(std::uint8_t mode, std::uint32_t address, std::uint16_t& value) {
  std::uint8_t b[2] = {0, 0};
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  const std::uint32_t rc = InPhase(kI2CRead, address, 0, std::span<std::uint8_t>(b, 2), {});
  if (rc == 0) value = mode == 1 ? b[0] : static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  return rc;
}

std::uint32_t CExtUnitBase::I2CWriteSlave(std::uint8_t slave, std::span<const std::uint8_t> data) {
  if (data.size() > m_dwDataCtrlSize) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return ChunkOut(kI2CWriteSlave, 0, static_cast<std::uint32_t>(data.size()), slave, data, slave);
}

std::uint32_t CExtUnitBase::I2CWrite(std::uint8_t mode, std::uint32_t address, std::uint16_t value) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(value),
                             mode == 1 ? std::uint8_t{0} : static_cast<std::uint8_t>(value >> 8)};
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return OutPhase(kI2CWrite, address, 0, std::span<const std::uint8_t>(b, 2), {});
}

std::uint32_t CExtUnitBase::I2CGenRead(std::uint8_t slave, std::span<std::uint8_t> buffer) {
  return SingleIn(kI2CGenRead, 0, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CGenWrite(std::uint8_t slave, std::span<const std::uint8_t> data) {
  return SingleOut(kI2CGenWrite, 0, slave, data);
}

std::uint32_t CExtUnitBase::I2CRandomRead(std::uint8_t slave, std::span<std::uint8_t> buffer) {
  if (buffer.size() > m_dwDataCtrlSize) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return ChunkIn(kI2CRandomRead, 0, static_cast<std::uint32_t>(buffer.size()), slave, buffer, slave);
}

std::uint32_t CExtUnitBase::I2CRandomWrite(std::uint8_t slave, std::span<const std::uint8_t> data) {
  if (data.size() > m_dwDataCtrlSize) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  return ChunkOut(kI2CRandomWrite, 0, static_cast<std::uint32_t>(data.size()), slave, data, slave);
}

std::uint32_t CExtUnitBase::I2CSuperRead(std::uint8_t slave, std::span<std::uint8_t> buffer) {
  return SingleIn(kI2CSuperRead, 0, slave, buffer);
}
std::uint32_t CExtUnitBase::I2CSuperWrite(std::uint8_t slave, std::span<const std::uint8_t> data) {
  return SingleOut(kI2CSuperWrite, 0, slave, data);
}

std::uint32_t CExtUnitBase::I2CLongRead(std::uint8_t slave, std::uint16_t address, std::span<std::uint8_t> buffer) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  std::uint32_t a = address;
  for (std::size_t at = 0; at < buffer.size();) {
    const std::size_t n = std::min<std::size_t>(kLongPiece, buffer.size() - at);
    // Each piece lands in an intermediate buffer and reaches the caller only once read whole.
    std::array<std::uint8_t, kLongPiece> piece{};
    const std::uint32_t rc = InPhase(kI2CLongRead, a, slave, std::span<std::uint8_t>(piece.data(), n), {});
    if (rc) return rc;
    std::copy_n(piece.begin(), n, buffer.begin() + static_cast<std::ptrdiff_t>(at));
    at += n;
    a += static_cast<std::uint32_t>(n);
  }
  return 0;
}

std::uint32_t CExtUnitBase::I2CLongWrite(std::uint8_t slave, std::uint16_t address, std::uint16_t,
                                         std::span<const std::uint8_t> data) {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  std::uint32_t a = address;
  std::size_t at = 0;
  while (data.size() - at > kLongPiece) {
    const std::uint32_t rc = OutPhase(kI2CLongWrite, a, slave, data.subspan(at, kLongPiece), {});
    if (rc) return rc;
    at += kLongPiece;
    a += kLongPiece;
  }
  if (at == data.size()) return 0;
  const std::size_t rest = data.size() - at;
  // The final command carries the address masked to 15 bits when pieces went before it or
  // it is shorter than a full piece; a single full piece keeps its address.
  const std::uint32_t field = (at > 0 || rest < kLongPiece) ? (a & 0x7FFF) : a;
  return OutPhase(kI2CLongWrite, field, slave, data.subspan(at), {});
}

std::uint32_t CExtUnitBase::OTPWrite(std::uint32_t address, std::uint16_t param, std::span<const std::uint8_t> data) {
  m_byLastStatus = 0;
  if (data.size() > kMaxSingle) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) {
    m_byLastStatus = 0xFF;
    return kVcmdLockFailed;
  }
  if (data.empty()) return 0;
  return OutPhase(kOtpWrite, address, param, data, {});
}

std::uint32_t CExtUnitBase::OTPRead(std::uint32_t address, std::span<std::uint8_t> buffer) {
  return SingleIn(kOtpRead, address, 0, buffer);
}
std::uint32_t CExtUnitBase::OTPBlankCheck(std::uint32_t address, std::span<std::uint8_t> buffer) {
  return SingleIn(kOtpBlankCheck, address, 0, buffer);
}

std::uint32_t CExtUnitBase::OTPAllBlankCheck(std::uint32_t address, std::span<std::uint8_t> buffer) {
  if (buffer.size() > kMaxSingle) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  if (const std::uint32_t rc = SendCommand(kOtpAllBlankCheck, address, static_cast<std::uint32_t>(buffer.size()), 0)) return rc;
  std::uint32_t done = 0;
  const std::uint32_t rc = GetData(buffer, done);
  if (rc) ReportError(DataText(kOtpAllBlankCheck, address, 0, done), rc);
  return rc;
}

std::uint32_t CExtUnitBase::OTPPrgmFailAddr(std::span<std::uint8_t> buffer) {
  return SingleIn(kOtpPrgmFailAddr, 0, 0, buffer);
}

std::uint32_t CExtUnitBase::VendorCtl70Out(std::uint32_t) { return kVcmdNotImplemented; }
std::uint32_t CExtUnitBase::VendorCtl70In(std::uint8_t, std::span<std::uint8_t>, std::uint32_t&) {
  return kVcmdNotImplemented;
}

bool CExtUnitBase::DevQualify() {
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return false;
  std::array<std::uint8_t, 8> answer{};
  if (ChunkIn(kDevQualify, 0, 0, 0, answer, 0) != 0) return false;
  return answer == kQualifySignature;
}

std::uint32_t CExtUnitBase::OTPTestDec(std::uint32_t address, std::span<std::uint8_t> buffer) {
  if (buffer.size() > kMaxSingle) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  if (buffer.empty()) return 0;
  // Only negative codes (the 0x8007xxxx family) end this command as failures.
  const std::uint32_t rc = InPhase(kOtpTestDec, address, 0, buffer, {});
  return static_cast<std::int32_t>(rc) < 0 ? rc : 0;
}

std::uint32_t CExtUnitBase::OTPWriteST(std::uint32_t address, std::uint16_t param, std::span<const std::uint8_t> data) {
  if (data.size() > kMaxSingle) return kVcmdInvalidArg;
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return kVcmdLockFailed;
  if (data.empty()) return 0;
  const std::uint32_t rc = OutPhase(kOtpWriteST, address, param, data, {});
  return static_cast<std::int32_t>(rc) < 0 ? rc : 0;
}

// ---- CExtUnit: the primitives over class requests ----

CExtUnit::CExtUnit(const DeviceRecord& record, std::uint8_t unitId) : CExtUnitBase(unitId), m_record(record) {}

std::uint32_t CExtUnit::Class(std::uint8_t requestType, std::uint8_t request, std::uint8_t selector,
                              std::span<std::uint8_t> buffer, bool dirIn) {
  std::uint32_t got = 0;
  const std::uint32_t e = ClassRequest(m_record.ref, requestType, request, selector, m_byUnitId,
                                       m_record.byInterfaceNumber, buffer, dirIn, &got, kExtUnitTimeoutMs);
  if (e != 0) return VcmdFromSystemError(e);
  // A short answer would leave stale bytes in the caller's buffer as if they were data.
  if (dirIn && got != buffer.size()) return VcmdFromSystemError(kErrBadLength);
  return 0;
}

std::uint32_t CExtUnit::SendBlock(const CmdBlock& block) {
  CmdBlock copy = block;
  return Class(kReqTypeClassOut, kUacSetCur, kSelectorCommand, copy, false);
}

std::uint32_t CExtUnit::SetCmd(const CmdBlock& preset, std::uint16_t address, std::uint16_t length, std::uint16_t param) {
  CmdBlock b = preset;
  WriteLE16(b, 2, address);
  WriteLE16(b, 4, length);
  WriteLE16(b, 6, param);
  return SendBlock(b);
}
std::uint32_t CExtUnit::SetCmd(const CmdBlock& preset, std::uint16_t address, std::uint16_t length) {
  CmdBlock b = preset;
  WriteLE16(b, 2, address);
  WriteLE16(b, 4, length);
  return SendBlock(b);
}
std::uint32_t CExtUnit::SetCmd(const CmdBlock& preset, std::uint16_t address) {
  CmdBlock b = preset;
  WriteLE16(b, 2, address);
  return SendBlock(b);
}
std::uint32_t CExtUnit::SetCmd(const CmdBlock& preset) { return SendBlock(preset); }

std::uint32_t CExtUnit::GetStatus(std::span<std::uint8_t> status) {
  if (status.size() < 8) return kVcmdInvalidArg;
  return Class(kReqTypeClassIn, kUacGetCur, kSelectorCommand, status.first(8), true);
}

std::uint32_t CExtUnit::GetDataChunk(std::span<std::uint8_t> buffer) {
  if (buffer.size() < m_dwDataCtrlSize) return kVcmdInvalidArg;
  return Class(kReqTypeClassIn, kUacGetCur, kSelectorData, buffer.first(m_dwDataCtrlSize), true);
}

std::uint32_t CExtUnit::SetDataChunk(std::span<const std::uint8_t> buffer) {
  if (buffer.size() < m_dwDataCtrlSize) return kVcmdInvalidArg;
  std::vector<std::uint8_t> copy(buffer.begin(), buffer.begin() + m_dwDataCtrlSize);
  return Class(kReqTypeClassOut, kUacSetCur, kSelectorData, copy, false);
}

std::uint32_t CExtUnit::GetData(std::span<std::uint8_t> buffer, std::uint32_t& done, const ProgressCallback& progress) {
  const std::uint32_t n = m_dwDataCtrlSize;
  const std::uint32_t total = static_cast<std::uint32_t>(buffer.size() & 0xFFFF);
  return MoveInChunks(
      total, n, done, progress, [&](std::uint32_t at) { return GetDataChunk(buffer.subspan(at, n)); },
      [&](std::uint32_t at, std::uint32_t rest) -> std::uint32_t {
        std::fill_n(m_scratch.begin(), n, 0);
        if (const std::uint32_t rc = GetDataChunk(std::span<std::uint8_t>(m_scratch.data(), n))) return rc;
        std::copy_n(m_scratch.begin(), rest, buffer.begin() + at);
        return 0;
      });
}

std::uint32_t CExtUnit::GetData(std::span<std::uint8_t> buffer, std::uint32_t& done) {
  return GetData(buffer, done, ProgressCallback{});
}

std::uint32_t CExtUnit::SetData(std::span<const std::uint8_t> data, std::uint32_t& done, const ProgressCallback& progress) {
  const std::uint32_t n = m_dwDataCtrlSize;
  const std::uint32_t total = static_cast<std::uint32_t>(data.size() & 0xFFFF);
  return MoveInChunks(
      total, n, done, progress, [&](std::uint32_t at) { return SetDataChunk(data.subspan(at, n)); },
      [&](std::uint32_t at, std::uint32_t rest) {
        // The last chunk goes out whole: the remaining data bytes followed by zero bytes.
        std::fill_n(m_scratch.begin(), n, 0);
        std::copy_n(data.begin() + at, rest, m_scratch.begin());
        return SetDataChunk(std::span<const std::uint8_t>(m_scratch.data(), n));
      });
}

std::uint32_t CExtUnit::SetData(std::span<const std::uint8_t> data, std::uint32_t& done) {
  return SetData(data, done, ProgressCallback{});
}

bool CExtUnit::ChangeDataControlSize(std::uint32_t& size) {
  if (size == m_dwDataCtrlSize) return true;
  // Every chunk passes through the 1024-byte scratch buffer: a larger (or zero) size is
  // refused before anything is sent.
  if (size == 0 || size > kScratchSize) {
    size = m_dwDataCtrlSize;
    return false;
  }
  CSyncOperate lock(&m_lock);
  if (!lock.Proceed()) return false;
  if (const std::uint32_t rc = SetCmd(kChangeSizePreset, 0, static_cast<std::uint16_t>(size), 0)) {
    size = m_dwDataCtrlSize;
    ReportError("ChangeDataControlSize SetCmd", rc);
    return false;
  }
  std::uint32_t got = 0;
  std::span<std::uint8_t> reply(m_scratch.data(), 2);
  std::uint32_t e = ClassRequest(m_record.ref, kReqTypeClassIn, kUacGetLen, kSelectorData, m_byUnitId,
                                 m_record.byInterfaceNumber, reply, true, &got, kExtUnitTimeoutMs);
  if (e == 0 && got != 2) e = kErrBadLength;
  if (e != 0) {
    size = m_dwDataCtrlSize;
    ReportError("ChangeDataControlSize SetCmd", e);
    return false;
  }
  const std::uint32_t reported = ReadLE16(reply, 0);
  if (reported == size) {
    m_dwDataCtrlSize = reported;
    return true;
  }
  // The device works with the size it reports; one that does not fit the scratch buffer is
  // clamped, and a zero size (which would stall every transfer) keeps the current one.
  if (reported != 0) m_dwDataCtrlSize = std::min<std::uint32_t>(reported, kScratchSize);
  size = m_dwDataCtrlSize;
  return false;
}

}  // namespace drover
