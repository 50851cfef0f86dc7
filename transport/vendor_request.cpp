#include "transport/vendor_request.h"

#include <algorithm>
#include <vector>

#include "base/clock.h"

namespace drover {
namespace {

constexpr std::uint32_t kTimeout = 5000;
constexpr std::uint32_t kMaxRequest = 0xFFFF;
constexpr std::uint32_t kEraseBlockPolls = 20;
constexpr std::uint32_t kEraseBlockPollMs = 500;

// The request descriptors of the vendor-request form: direction and type, request code,
// timeout.
constexpr VendorRequestDesc kGetDevStatus{kReqTypeVendorIn, 0x07, kTimeout};
constexpr VendorRequestDesc kResetToUpdateFW{kReqTypeVendorOut, 0x20, kTimeout};
constexpr VendorRequestDesc kResetToUpdateFW2{kReqTypeVendorOut, 0x21, kTimeout};
constexpr VendorRequestDesc kResetToRom{kReqTypeVendorOut, 0x22, kTimeout};
constexpr VendorRequestDesc kReadIMem{kReqTypeVendorIn, 0x23, kTimeout};
constexpr VendorRequestDesc kWriteMem{kReqTypeVendorOut, 0x24, kTimeout};
constexpr VendorRequestDesc kReadMem{kReqTypeVendorIn, 0x25, kTimeout};
constexpr VendorRequestDesc kReadCode{kReqTypeVendorIn, 0x26, kTimeout};
constexpr VendorRequestDesc kReadPhy{kReqTypeVendorIn, 0x27, kTimeout};
constexpr VendorRequestDesc kWritePhy{kReqTypeVendorOut, 0x28, kTimeout};
constexpr VendorRequestDesc kEraseFlash{kReqTypeVendorOut, 0x29, kTimeout};
constexpr VendorRequestDesc kWriteFlash{kReqTypeVendorOut, 0x2A, kTimeout};
constexpr VendorRequestDesc kNorRead{kReqTypeVendorIn, 0x2B, kTimeout};
constexpr VendorRequestDesc kNorWriteTag{kReqTypeVendorOut, 0x2C, kTimeout};
constexpr VendorRequestDesc kSpiReadId{kReqTypeVendorIn, 0x2D, kTimeout};
constexpr VendorRequestDesc kSpiRead{kReqTypeVendorIn, 0x2E, kTimeout};
constexpr VendorRequestDesc kSpiWrite{kReqTypeVendorOut, 0x2F, kTimeout};
constexpr VendorRequestDesc kSpiReadSr{kReqTypeVendorIn, 0x30, kTimeout};
constexpr VendorRequestDesc kSpiWriteSr{kReqTypeVendorOut, 0x31, kTimeout};
constexpr VendorRequestDesc kSpiEraseChip{kReqTypeVendorOut, 0x32, kTimeout};
constexpr VendorRequestDesc kSpiEraseSector{kReqTypeVendorOut, 0x33, kTimeout};
constexpr VendorRequestDesc kSpiWriteTag{kReqTypeVendorOut, 0x34, kTimeout};
constexpr VendorRequestDesc kSpiEraseBlock{kReqTypeVendorOut, 0x35, kTimeout};
constexpr VendorRequestDesc kSpiEraseBlockPoll{kReqTypeVendorIn, 0x36, kTimeout};
constexpr VendorRequestDesc kEep8Read{kReqTypeVendorIn, 0x35, kTimeout};
constexpr VendorRequestDesc kEep8Write{kReqTypeVendorOut, 0x36, kTimeout};
constexpr VendorRequestDesc kEep16Read{kReqTypeVendorIn, 0x37, kTimeout};
constexpr VendorRequestDesc kEep16Write{kReqTypeVendorOut, 0x38, kTimeout};
constexpr VendorRequestDesc kEepNRead{kReqTypeVendorIn, 0x39, kTimeout};
constexpr VendorRequestDesc kEepNWrite{kReqTypeVendorOut, 0x3A, kTimeout};
constexpr VendorRequestDesc kI2CGenRead{kReqTypeVendorIn, 0x3D, kTimeout};
constexpr VendorRequestDesc kI2CGenWrite{kReqTypeVendorOut, 0x3E, kTimeout};
constexpr VendorRequestDesc kI2CRead{kReqTypeVendorIn, 0x50, kTimeout};
constexpr VendorRequestDesc kI2CWrite{kReqTypeVendorOut, 0x51, kTimeout};
constexpr VendorRequestDesc kI2CRandomWrite{kReqTypeVendorOut, 0x58, kTimeout};
constexpr VendorRequestDesc kI2CRandomRead{kReqTypeVendorIn, 0x59, kTimeout};
constexpr VendorRequestDesc kVendorCtl70Out{kReqTypeVendorOut, 0x70, kTimeout};
constexpr VendorRequestDesc kVendorCtl70In{kReqTypeVendorIn, 0x70, kTimeout};
constexpr VendorRequestDesc kReadByte06{kReqTypeVendorIn, 0x06, kTimeout};
constexpr VendorRequestDesc kCommand10{kReqTypeVendorOut, 0x10, kTimeout};

constexpr std::uint16_t Low16(std::uint32_t v) { return static_cast<std::uint16_t>(v); }
// wValue of the SPI forms: address bits 16..23 in the high byte.
constexpr std::uint16_t SpiValue(std::uint32_t address, std::uint8_t low) {
  return static_cast<std::uint16_t>((((address >> 16) & 0xFF) << 8) | low);
}

}  // namespace

std::uint32_t CVendorRequestV2::Send(const VendorRequestDesc& desc, std::uint16_t value, std::uint16_t index,
                                     std::span<std::uint8_t> buffer, std::uint32_t* transferred) {
  const bool in = (desc.requestType & 0x80) != 0;
  std::uint32_t got = 0;
  const std::uint32_t e =
      VendorRequest(m_record.ref, desc.requestType, desc.request, value, index, buffer, in, &got, desc.timeoutMs);
  if (transferred) *transferred = got;
  if (e != 0) return VcmdFromSystemError(e);
  // Only a caller that takes the count may accept a short answer; elsewhere the missing
  // bytes would pass for data.
  if (in && !transferred && got != buffer.size()) return VcmdFromSystemError(kErrBadLength);
  return 0;
}

std::uint32_t CVendorRequestV2::RangeIn(const VendorRequestDesc& desc, std::uint32_t address,
                                        std::span<std::uint8_t> buffer, const ProgressCallback& progress,
                                        std::uint8_t low, bool pieces) {
  if (!pieces && buffer.size() > kMaxRequest) return kVcmdInvalidArg;
  const std::size_t piece = pieces ? kVendorPiece : kMaxRequest;
  for (std::size_t at = 0; at < buffer.size();) {
    const std::size_t n = std::min(piece, buffer.size() - at);
    const std::uint32_t a = address + static_cast<std::uint32_t>(at);
    const std::uint32_t rc = Send(desc, VendorValue(a, static_cast<std::uint32_t>(n), low), Low16(a), buffer.subspan(at, n));
    if (rc) return rc;
    if (progress) progress(static_cast<std::uint32_t>(n));
    at += n;
  }
  return 0;
}

std::uint32_t CVendorRequestV2::RangeOut(const VendorRequestDesc& desc, std::uint32_t address,
                                         std::span<const std::uint8_t> data, const ProgressCallback& progress,
                                         std::uint8_t low, bool pieces) {
  if (!pieces && data.size() > kMaxRequest) return kVcmdInvalidArg;
  const std::size_t piece = pieces ? kVendorPiece : kMaxRequest;
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t n = std::min(piece, data.size() - at);
    const std::uint32_t a = address + static_cast<std::uint32_t>(at);
    std::vector<std::uint8_t> copy(data.begin() + static_cast<std::ptrdiff_t>(at),
                                   data.begin() + static_cast<std::ptrdiff_t>(at + n));
    const std::uint32_t rc = Send(desc, VendorValue(a, static_cast<std::uint32_t>(n), low), Low16(a), copy);
    if (rc) return rc;
    if (progress) progress(static_cast<std::uint32_t>(n));
    at += n;
  }
  return 0;
}

std::uint32_t CVendorRequestV2::GetDevStatus(std::uint32_t firstPage, std::span<std::uint8_t> buffer) {
  std::uint32_t page = firstPage;
  for (std::size_t at = 0; at < buffer.size(); at += 8, ++page) {
    // A last partial page is read whole and cut.
    std::uint8_t raw[8] = {};
    if (const std::uint32_t rc = Send(kGetDevStatus, static_cast<std::uint16_t>(page & 0xFF), 0, raw)) return rc;
    std::copy_n(raw, std::min<std::size_t>(8, buffer.size() - at), buffer.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return 0;
}

std::uint32_t CVendorRequestV2::ResetToUpdateFW(std::uint16_t value) {
  return Send(kResetToUpdateFW, value & 0xFF, 0, {});
}
std::uint32_t CVendorRequestV2::ResetToUpdateFW2(std::uint16_t value) {
  return Send(kResetToUpdateFW2, value & 0xFF, 0, {});
}
std::uint32_t CVendorRequestV2::ResetToRom() { return Send(kResetToRom, 0, 0, {}); }

std::uint32_t CVendorRequestV2::ReadIMem(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kReadIMem, address, buffer, progress);
}
std::uint32_t CVendorRequestV2::ReadMem(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kReadMem, address, buffer, progress);
}
std::uint32_t CVendorRequestV2::WriteMem(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kWriteMem, address, data, progress);
}
std::uint32_t CVendorRequestV2::ReadCode(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kReadCode, address, buffer, progress);
}
std::uint32_t CVendorRequestV2::ReadPhy(std::uint32_t address, std::span<std::uint8_t> buffer) {
  return RangeIn(kReadPhy, address, buffer, {}, 0, false);
}
std::uint32_t CVendorRequestV2::WritePhy(std::uint32_t address, std::span<const std::uint8_t> data) {
  return RangeOut(kWritePhy, address, data, {}, 0, false);
}
std::uint32_t CVendorRequestV2::EraseFlash() { return Send(kEraseFlash, 0, 0, {}); }
std::uint32_t CVendorRequestV2::NorFlash_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kNorRead, address, buffer, progress);
}
std::uint32_t CVendorRequestV2::WriteFlash(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kWriteFlash, address, data, progress);
}
std::uint32_t CVendorRequestV2::NorFlash_WriteTag() { return Send(kNorWriteTag, 0, 0, {}); }

std::uint32_t CVendorRequestV2::SPI_SF_ReadID(std::span<std::uint8_t> id) {
  if (id.size() < 8) return kVcmdInvalidArg;
  return Send(kSpiReadId, 0, 0, id.first(8));
}

std::uint32_t CVendorRequestV2::SPI_SF_Read(std::uint32_t address, std::span<std::uint8_t> buffer, std::uint8_t param,
                                            const ProgressCallback& progress) {
  for (std::size_t at = 0; at < buffer.size();) {
    const std::size_t n = std::min<std::size_t>(kVendorPiece, buffer.size() - at);
    const std::uint32_t a = address + static_cast<std::uint32_t>(at);
    if (const std::uint32_t rc = Send(kSpiRead, SpiValue(a, param), Low16(a), buffer.subspan(at, n))) return rc;
    if (progress) progress(static_cast<std::uint32_t>(n));
    at += n;
  }
  return 0;
}

std::uint32_t CVendorRequestV2::SPI_SF_Write(std::uint32_t address, std::span<const std::uint8_t> data,
                                             const ProgressCallback& progress) {
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t n = std::min<std::size_t>(kVendorPiece, data.size() - at);
    const std::uint32_t a = address + static_cast<std::uint32_t>(at);
    std::vector<std::uint8_t> copy(data.begin() + static_cast<std::ptrdiff_t>(at),
                                   data.begin() + static_cast<std::ptrdiff_t>(at + n));
    if (const std::uint32_t rc = Send(kSpiWrite, SpiValue(a, 0), Low16(a), copy)) return rc;
    if (progress) progress(static_cast<std::uint32_t>(n));
    at += n;
  }
  return 0;
}

std::uint32_t CVendorRequestV2::SPI_SF_ReadSr(std::uint8_t& value) {
  std::uint8_t b = 0;
  const std::uint32_t rc = Send(kSpiReadSr, 0, 0, std::span<std::uint8_t>(&b, 1));
  if (rc == 0) value = b;
  return rc;
}
std::uint32_t CVendorRequestV2::SPI_SF_WriteSr(std::uint8_t value) {
  return Send(kSpiWriteSr, 0, 0, std::span<std::uint8_t>(&value, 1));
}
std::uint32_t CVendorRequestV2::SPI_SF_EraseChip(std::uint32_t timeoutMs) {
  return Send({kSpiEraseChip.requestType, kSpiEraseChip.request, timeoutMs}, 0, 0, {});
}

std::uint32_t CVendorRequestV2::SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) {
  if (sectorSize == 0 || address % sectorSize != 0) return kVcmdInvalidArg;
  return Send(kSpiEraseSector, VendorValue(address, 0), Low16(address), {});
}

std::uint32_t CVendorRequestV2::SPI_SF_EraseBlock(std::uint32_t address, std::uint32_t blockSize, bool wait) {
  if (blockSize == 0 || address % blockSize != 0) return kVcmdInvalidArg;
  if (const std::uint32_t rc = Send(kSpiEraseBlock, VendorValue(address, 0), Low16(address), {})) return rc;
  if (!wait) return 0;
  for (std::uint32_t poll = 0; poll < kEraseBlockPolls; ++poll) {
    if (poll != 0) Clock().Sleep(kEraseBlockPollMs);
    std::uint8_t done = 0;
    if (const std::uint32_t rc = Send(kSpiEraseBlockPoll, 0, 0, std::span<std::uint8_t>(&done, 1))) return rc;
    if (done != 0) return 0;
  }
  return 0;
}

std::uint32_t CVendorRequestV2::SPI_SF_WriteTag() { return Send(kSpiWriteTag, 0, 0, {}); }

std::uint32_t CVendorRequestV2::I2C_EEP8_Erase(std::uint32_t size) {
  const std::vector<std::uint8_t> ones(size, 0xFF);
  return I2C_EEP8_Write(0, ones);
}
std::uint32_t CVendorRequestV2::I2C_EEP8_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kEep8Read, address, buffer, progress);
}
std::uint32_t CVendorRequestV2::I2C_EEP8_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kEep8Write, address, data, progress);
}
std::uint32_t CVendorRequestV2::I2C_EEP8_WriteTag() {
  const std::uint8_t tag = 0xA5;
  return I2C_EEP8_Write(1, std::span<const std::uint8_t>(&tag, 1));
}
std::uint32_t CVendorRequestV2::I2C_EEP16_Erase(std::uint32_t size) {
  const std::vector<std::uint8_t> ones(size, 0xFF);
  return I2C_EEP16_Write(0, ones);
}
std::uint32_t CVendorRequestV2::I2C_EEP16_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress) {
  return RangeIn(kEep16Read, address, buffer, progress);
}
std::uint32_t CVendorRequestV2::I2C_EEP16_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress) {
  return RangeOut(kEep16Write, address, data, progress);
}
std::uint32_t CVendorRequestV2::I2C_EEP16_WriteTag() {
  const std::uint8_t tag = 0xA5;
  return I2C_EEP16_Write(1, std::span<const std::uint8_t>(&tag, 1));
}

std::uint32_t CVendorRequestV2::I2C_EEPN_Erase(std::uint32_t size) {
  const std::vector<std::uint8_t> ones(size, 0xFF);
  return I2C_EEPN_Write(0, ones, 3);
}
std::uint32_t CVendorRequestV2::I2C_EEPN_Read(std::uint32_t address, std::span<std::uint8_t> buffer, std::uint8_t,
                                              const ProgressCallback& progress) {
  return RangeIn(kEepNRead, address, buffer, progress);
}
std::uint32_t CVendorRequestV2::I2C_EEPN_Write(std::uint32_t address, std::span<const std::uint8_t> data,
                                               std::uint8_t addressWidth, const ProgressCallback& progress) {
  return RangeOut(kEepNWrite, address, data, progress, addressWidth);
}
std::uint32_t CVendorRequestV2::I2C_EEPN_WriteTag() {
  const std::uint8_t tag = 0xA5;
  return I2C_EEPN_Write(1, std::span<const std::uint8_t>(&tag, 1), 3);
}

std::uint32_t CVendorRequestV2::I2CReadSlave(std::uint8_t, std::span<std::uint8_t>) { return kVcmdNotImplemented; }

std::uint32_t CVendorRequestV2::I2CRead(std::uint8_t mode, std::uint32_t address, std::uint16_t& value) {
  std::uint8_t b[2] = {0, 0};
  const auto v = static_cast<std::uint16_t>(((address >> 16) & 0xF) << 8);
  const std::uint32_t rc = Send(kI2CRead, v, Low16(address), std::span<std::uint8_t>(b, 2));
  if (rc == 0) value = mode == 1 ? b[0] : static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  return rc;
}

std::uint32_t CVendorRequestV2::I2CWriteSlave(std::uint8_t, std::span<const std::uint8_t>) { return kVcmdNotImplemented; }

std::uint32_t CVendorRequestV2::I2CWrite(std::uint8_t mode, std::uint32_t address, std::uint16_t value) {
  std::uint8_t b[2] = {static_cast<std::uint8_t>(value),
                       mode == 1 ? std::uint8_t{0} : static_cast<std::uint8_t>(value >> 8)};
  const auto v = static_cast<std::uint16_t>(((address >> 16) & 0xF) << 8);
  return Send(kI2CWrite, v, Low16(address), std::span<std::uint8_t>(b, 2));
}

std::uint32_t CVendorRequestV2::I2CGenRead(std::uint8_t slave, std::span<std::uint8_t> buffer) {
  return RangeIn(kI2CGenRead, slave, buffer, {}, 0, false);
}
std::uint32_t CVendorRequestV2::I2CGenWrite(std::uint8_t slave, std::span<const std::uint8_t> data) {
  return RangeOut(kI2CGenWrite, slave, data, {}, 0, false);
}
std::uint32_t CVendorRequestV2::I2CRandomRead(std::uint8_t slave, std::span<std::uint8_t> buffer) {
  return RangeIn(kI2CRandomRead, slave, buffer, {}, 0, false);
}
std::uint32_t CVendorRequestV2::I2CRandomWrite(std::uint8_t slave, std::span<const std::uint8_t> data) {
  return RangeOut(kI2CRandomWrite, slave, data, {}, 0, false);
}

std::uint32_t CVendorRequestV2::I2CSuperRead(std::uint8_t, std::span<std::uint8_t>) { return kVcmdNotImplemented; }
std::uint32_t CVendorRequestV2::I2CSuperWrite(std::uint8_t, std::span<const std::uint8_t>) { return kVcmdNotImplemented; }
std::uint32_t CVendorRequestV2::I2CLongRead(std::uint8_t, std::uint16_t, std::span<std::uint8_t>) {
  return kVcmdNotImplemented;
}
std::uint32_t CVendorRequestV2::I2CLongWrite(std::uint8_t, std::uint16_t, std::uint16_t, std::span<const std::uint8_t>) {
  return kVcmdNotImplemented;
}
std::uint32_t CVendorRequestV2::OTPWrite(std::uint32_t, std::uint16_t, std::span<const std::uint8_t>) {
  return kVcmdNotImplemented;
}
std::uint32_t CVendorRequestV2::OTPRead(std::uint32_t, std::span<std::uint8_t>) { return kVcmdNotImplemented; }
std::uint32_t CVendorRequestV2::OTPBlankCheck(std::uint32_t, std::span<std::uint8_t>) { return kVcmdNotImplemented; }
std::uint32_t CVendorRequestV2::OTPAllBlankCheck(std::uint32_t, std::span<std::uint8_t>) { return kVcmdNotImplemented; }
std::uint32_t CVendorRequestV2::OTPPrgmFailAddr(std::span<std::uint8_t>) { return kVcmdNotImplemented; }

std::uint32_t CVendorRequestV2::VendorCtl70Out(std::uint32_t) { return Send(kVendorCtl70Out, 5, 0, {}); }

std::uint32_t CVendorRequestV2::VendorCtl70In(std::uint8_t value, std::span<std::uint8_t> buffer, std::uint32_t& count) {
  if (count > buffer.size() || count > kMaxRequest) return kVcmdInvalidArg;
  std::uint32_t got = 0;
  const std::uint32_t rc = Send(kVendorCtl70In, value, 0, buffer.first(count), &got);
  count = got;
  return rc;
}

std::uint32_t CVendorRequestV2::ReadByte06(std::uint8_t& value) {
  std::uint8_t b = 0;
  const std::uint32_t rc = Send(kReadByte06, 0, 0, std::span<std::uint8_t>(&b, 1));
  if (rc == 0) value = b;
  return rc;
}

std::uint32_t CVendorRequestV2::Command10(std::uint8_t argument) { return Send(kCommand10, argument, 0, {}); }

}  // namespace drover
