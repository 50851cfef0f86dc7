#pragma once
// The vendor-request form of the vendor commands: one USB vendor control request per
// command piece, the opcode as bRequest, address and length packed into wValue, wIndex and
// wLength. No lock and no status read: errors are the transfer's own.
#include <cstdint>
#include <span>

#include "transport/enumeration.h"
#include "transport/vendor_cmd.h"

namespace drover {

inline constexpr std::uint8_t kReqTypeVendorOut = 0x40;
inline constexpr std::uint8_t kReqTypeVendorIn = 0xC0;
inline constexpr std::uint32_t kVendorPiece = 4096;  // bytes per request of a range command

// A fixed request descriptor: requestType, request code, timeout.
struct VendorRequestDesc {
  std::uint8_t requestType;
  std::uint8_t request;
  std::uint32_t timeoutMs;
};

class CVendorRequestV2 final : public CVendorCmdCommon {
 public:
  // The record must outlive the object.
  explicit CVendorRequestV2(const DeviceRecord& record) : m_record(record) {}
  ~CVendorRequestV2() = default;

  std::uint32_t GetDevStatus(std::uint32_t firstPage, std::span<std::uint8_t> buffer) override;
  std::uint32_t ResetToUpdateFW(std::uint16_t value) override;
  std::uint32_t ResetToUpdateFW2(std::uint16_t value) override;
  std::uint32_t ResetToRom() override;
  std::uint32_t ReadIMem(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress = {}) override;
  std::uint32_t ReadMem(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress = {}) override;
  std::uint32_t WriteMem(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress = {}) override;
  std::uint32_t ReadCode(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress = {}) override;
  std::uint32_t ReadPhy(std::uint32_t address, std::span<std::uint8_t> buffer) override;
  std::uint32_t WritePhy(std::uint32_t address, std::span<const std::uint8_t> data) override;
  std::uint32_t EraseFlash() override;
  std::uint32_t NorFlash_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress = {}) override;
  std::uint32_t WriteFlash(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress = {}) override;
  std::uint32_t NorFlash_WriteTag() override;
  std::uint32_t SPI_SF_ReadID(std::span<std::uint8_t> id) override;
  std::uint32_t SPI_SF_Read(std::uint32_t address, std::span<std::uint8_t> buffer, std::uint8_t param,
                            const ProgressCallback& progress = {}) override;
  std::uint32_t SPI_SF_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress = {}) override;
  std::uint32_t SPI_SF_ReadSr(std::uint8_t& value) override;
  std::uint32_t SPI_SF_WriteSr(std::uint8_t value) override;
  std::uint32_t SPI_SF_EraseChip(std::uint32_t timeoutMs) override;
  std::uint32_t SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) override;
  // With wait: up to 20 polls of request 0xC0/0x36, 500 ms apart, until a non-zero byte.
  std::uint32_t SPI_SF_EraseBlock(std::uint32_t address, std::uint32_t blockSize, bool wait) override;
  std::uint32_t SPI_SF_WriteTag() override;
  std::uint32_t I2C_EEP8_Erase(std::uint32_t size) override;
  std::uint32_t I2C_EEP8_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress = {}) override;
  std::uint32_t I2C_EEP8_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress = {}) override;
  std::uint32_t I2C_EEP8_WriteTag() override;
  std::uint32_t I2C_EEP16_Erase(std::uint32_t size) override;
  std::uint32_t I2C_EEP16_Read(std::uint32_t address, std::span<std::uint8_t> buffer, const ProgressCallback& progress = {}) override;
  std::uint32_t I2C_EEP16_Write(std::uint32_t address, std::span<const std::uint8_t> data, const ProgressCallback& progress = {}) override;
  std::uint32_t I2C_EEP16_WriteTag() override;
  std::uint32_t I2C_EEPN_Erase(std::uint32_t size) override;
  std::uint32_t I2C_EEPN_Read(std::uint32_t address, std::span<std::uint8_t> buffer, std::uint8_t addressWidth,
                              const ProgressCallback& progress = {}) override;
  std::uint32_t I2C_EEPN_Write(std::uint32_t address, std::span<const std::uint8_t> data, std::uint8_t addressWidth,
                               const ProgressCallback& progress = {}) override;
  std::uint32_t I2C_EEPN_WriteTag() override;
  std::uint32_t I2CReadSlave(std::uint8_t slave, std::span<std::uint8_t> buffer) override;
  std::uint32_t I2CRead(std::uint8_t mode, std::uint32_t address, std::uint16_t& value) override;
  std::uint32_t I2CWriteSlave(std::uint8_t slave, std::span<const std::uint8_t> data) override;
  std::uint32_t I2CWrite(std::uint8_t mode, std::uint32_t address, std::uint16_t value) override;
  std::uint32_t I2CGenRead(std::uint8_t slave, std::span<std::uint8_t> buffer) override;
  std::uint32_t I2CGenWrite(std::uint8_t slave, std::span<const std::uint8_t> data) override;
  std::uint32_t I2CRandomRead(std::uint8_t slave, std::span<std::uint8_t> buffer) override;
  std::uint32_t I2CRandomWrite(std::uint8_t slave, std::span<const std::uint8_t> data) override;
  std::uint32_t I2CSuperRead(std::uint8_t slave, std::span<std::uint8_t> buffer) override;
  std::uint32_t I2CSuperWrite(std::uint8_t slave, std::span<const std::uint8_t> data) override;
  std::uint32_t I2CLongRead(std::uint8_t slave, std::uint16_t address, std::span<std::uint8_t> buffer) override;
  std::uint32_t I2CLongWrite(std::uint8_t slave, std::uint16_t address, std::uint16_t ignored,
                             std::span<const std::uint8_t> data) override;
  std::uint32_t OTPWrite(std::uint32_t address, std::uint16_t param, std::span<const std::uint8_t> data) override;
  std::uint32_t OTPRead(std::uint32_t address, std::span<std::uint8_t> buffer) override;
  std::uint32_t OTPBlankCheck(std::uint32_t address, std::span<std::uint8_t> buffer) override;
  std::uint32_t OTPAllBlankCheck(std::uint32_t address, std::span<std::uint8_t> buffer) override;
  std::uint32_t OTPPrgmFailAddr(std::span<std::uint8_t> buffer) override;
  std::uint32_t VendorCtl70Out(std::uint32_t ignored) override;
  std::uint32_t VendorCtl70In(std::uint8_t value, std::span<std::uint8_t> buffer, std::uint32_t& count) override;

  // One byte in with request 0x06 (the check-state query).
  std::uint32_t ReadByte06(std::uint8_t& value);
  // Request 0x10 with wValue = argument (the signature-check request), no data.
  std::uint32_t Command10(std::uint8_t argument);

 private:
  std::uint32_t Send(const VendorRequestDesc& desc, std::uint16_t value, std::uint16_t index,
                     std::span<std::uint8_t> buffer, std::uint32_t* transferred = nullptr);
  std::uint32_t RangeIn(const VendorRequestDesc& desc, std::uint32_t address, std::span<std::uint8_t> buffer,
                        const ProgressCallback& progress, std::uint8_t low = 0, bool pieces = true);
  std::uint32_t RangeOut(const VendorRequestDesc& desc, std::uint32_t address, std::span<const std::uint8_t> data,
                         const ProgressCallback& progress, std::uint8_t low = 0, bool pieces = true);
  const DeviceRecord& m_record;
};

// wValue of the standard encoding: address bits 16..19 in bits 8..11, length bits 16..19 in
// bits 12..15, low byte given.
constexpr std::uint16_t VendorValue(std::uint32_t address, std::uint32_t length, std::uint8_t low = 0) {
  return static_cast<std::uint16_t>((((address >> 16) & 0xF) << 8) | (((length >> 16) & 0xF) << 12) | low);
}

}  // namespace drover
