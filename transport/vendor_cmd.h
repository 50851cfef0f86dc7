#pragma once
// The vendor command interface shared by the two ways a command reaches the chip: the
// extension-unit form (command block + chunked data phase over class requests) and the
// vendor-request form (one vendor control request per piece).
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace drover {

// Transport status values: 0 success, a system error e > 0 as 0x80070000 | (e & 0xFFFF).
inline constexpr std::uint32_t kVcmdOk = 0;
inline constexpr std::uint32_t kVcmdLockFailed = 1;               // the command lock was not obtained
inline constexpr std::uint32_t kVcmdNotImplemented = 0x80004001u;  // the form has no such command
inline constexpr std::uint32_t kVcmdFail = 0x80004005u;            // unspecified failure
inline constexpr std::uint32_t kVcmdInvalidArg = 0x80070057u;      // bad argument (alignment, size)
inline constexpr std::uint32_t kVcmdDeviceGone = 0x8007048Fu;      // device not connected (1167)

// Turns a system error code of a failed control transfer into the transport status form.
constexpr std::uint32_t VcmdFromSystemError(std::uint32_t e) {
  return static_cast<std::int32_t>(e) <= 0 ? e : (0x80070000u | (e & 0xFFFFu));
}

// Status codes of the 8-byte status block the chip answers after a failed command.
enum VcmdStatus : std::uint8_t {
  VCMD_STS_CMD = 0,
  VCMD_STS_DATA_IN = 1,
  VCMD_STS_DATA_OUT = 2,
  VCMD_STS_ERR_DIR = 3,
  VCMD_STS_NOT_FINISH = 4,
  VCMD_STS_ERR_LEN = 5,
  VCMD_STS_UNKNOWN_SCMD = 6,
  VCMD_STS_ERR_OUTRANGE = 7,
  VCMD_STS_UNKNOWN_CMD = 8,
  VCMD_STS_HW_ERR = 9,
  VCMD_STS_RET_NO_ERR = 0xFE,
};
// The code's name ("VCMD_STS_HW_ERR"), or "Undefined ExtUnit error code\n" for other values.
const char* VcmdStatusText(std::uint8_t status);

// Progress of a range command: the number of bytes just moved.
using ProgressCallback = std::function<void(std::uint32_t bytesMoved)>;

// The device's identity word: the answer of the qualification command and bytes 24..31 of
// its status area, "QUORLAN" and a NUL byte.
inline constexpr std::array<std::uint8_t, 8> kQualifySignature = {'Q', 'U', 'O', 'R', 'L', 'A', 'N', 0};

// An 8-byte command block: group, opcode, address LE16, length LE16, parameter LE16.
using CmdBlock = std::array<std::uint8_t, 8>;

// Contract: every operation sends one vendor command (range commands: several) to the device
// the object was built for and answers 0 or a transport status value (see above). Buffers
// give the length of the transfer; nothing is read or written outside them. The operations
// keep the interface's slot order; slots 39..48 are reserved.
class CVendorCmdCommon {
 public:
  // 0: status pages of 8 bytes from firstPage; buffer.size() bytes (the last page is cut).
  virtual std::uint32_t GetDevStatus(std::uint32_t firstPage, std::span<std::uint8_t> buffer) = 0;
  // 1, 2: reset into update firmware with a mode value.
  virtual std::uint32_t ResetToUpdateFW(std::uint16_t value) = 0;
  virtual std::uint32_t ResetToUpdateFW2(std::uint16_t value) = 0;
  // 3: restart into the boot ROM.
  virtual std::uint32_t ResetToRom() = 0;
  // 4..7: chip memory ranges.
  virtual std::uint32_t ReadIMem(std::uint32_t address, std::span<std::uint8_t> buffer,
                                 const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t ReadMem(std::uint32_t address, std::span<std::uint8_t> buffer,
                                const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t WriteMem(std::uint32_t address, std::span<const std::uint8_t> data,
                                 const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t ReadCode(std::uint32_t address, std::span<std::uint8_t> buffer,
                                 const ProgressCallback& progress = {}) = 0;
  // 8, 9: PHY registers, one byte per command on the extension unit.
  virtual std::uint32_t ReadPhy(std::uint32_t address, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t WritePhy(std::uint32_t address, std::span<const std::uint8_t> data) = 0;
  // 10..13: NOR flash.
  virtual std::uint32_t EraseFlash() = 0;
  virtual std::uint32_t NorFlash_Read(std::uint32_t address, std::span<std::uint8_t> buffer,
                                      const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t WriteFlash(std::uint32_t address, std::span<const std::uint8_t> data,
                                   const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t NorFlash_WriteTag() = 0;
  // 14..22: SPI flash. ReadID fills the first 8 bytes (the buffer must hold 8).
  virtual std::uint32_t SPI_SF_ReadID(std::span<std::uint8_t> id) = 0;
  virtual std::uint32_t SPI_SF_Read(std::uint32_t address, std::span<std::uint8_t> buffer, std::uint8_t param,
                                    const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t SPI_SF_Write(std::uint32_t address, std::span<const std::uint8_t> data,
                                     const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t SPI_SF_ReadSr(std::uint8_t& value) = 0;
  virtual std::uint32_t SPI_SF_WriteSr(std::uint8_t value) = 0;
  virtual std::uint32_t SPI_SF_EraseChip(std::uint32_t timeoutMs) = 0;
  // The address must be a multiple of the sector / block size (else 0x80070057, nothing sent).
  virtual std::uint32_t SPI_SF_EraseSector(std::uint32_t address, std::uint32_t sectorSize) = 0;
  virtual std::uint32_t SPI_SF_EraseBlock(std::uint32_t address, std::uint32_t blockSize, bool wait) = 0;
  virtual std::uint32_t SPI_SF_WriteTag() = 0;
  // 23..26: I2C EEPROM with 8-bit addressing; Erase writes size bytes of 0xFF from address 0,
  // WriteTag writes 0xA5 at address 1.
  virtual std::uint32_t I2C_EEP8_Erase(std::uint32_t size) = 0;
  virtual std::uint32_t I2C_EEP8_Read(std::uint32_t address, std::span<std::uint8_t> buffer,
                                      const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t I2C_EEP8_Write(std::uint32_t address, std::span<const std::uint8_t> data,
                                       const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t I2C_EEP8_WriteTag() = 0;
  // 27..30: the same with 16-bit addressing.
  virtual std::uint32_t I2C_EEP16_Erase(std::uint32_t size) = 0;
  virtual std::uint32_t I2C_EEP16_Read(std::uint32_t address, std::span<std::uint8_t> buffer,
                                       const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t I2C_EEP16_Write(std::uint32_t address, std::span<const std::uint8_t> data,
                                        const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t I2C_EEP16_WriteTag() = 0;
  // 31..34: EEPROM with an N-byte address (vendor-request form only).
  virtual std::uint32_t I2C_EEPN_Erase(std::uint32_t size) = 0;
  virtual std::uint32_t I2C_EEPN_Read(std::uint32_t address, std::span<std::uint8_t> buffer,
                                      std::uint8_t addressWidth, const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t I2C_EEPN_Write(std::uint32_t address, std::span<const std::uint8_t> data,
                                       std::uint8_t addressWidth, const ProgressCallback& progress = {}) = 0;
  virtual std::uint32_t I2C_EEPN_WriteTag() = 0;
  // 35..38: I2C slave access; the slave forms carry at most one data chunk. mode 1: 8-bit
  // register (read: high byte cleared; write: low byte then 0); other modes: both bytes.
  virtual std::uint32_t I2CReadSlave(std::uint8_t slave, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t I2CRead(std::uint8_t mode, std::uint32_t address, std::uint16_t& value) = 0;
  virtual std::uint32_t I2CWriteSlave(std::uint8_t slave, std::span<const std::uint8_t> data) = 0;
  virtual std::uint32_t I2CWrite(std::uint8_t mode, std::uint32_t address, std::uint16_t value) = 0;
  // 39..48: reserved; no command in either form.
  virtual std::uint32_t Reserved39() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved40() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved41() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved42() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved43() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved44() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved45() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved46() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved47() { return kVcmdNotImplemented; }
  virtual std::uint32_t Reserved48() { return kVcmdNotImplemented; }
  // 49..56: general, random, super and long I2C forms.
  virtual std::uint32_t I2CGenRead(std::uint8_t slave, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t I2CGenWrite(std::uint8_t slave, std::span<const std::uint8_t> data) = 0;
  virtual std::uint32_t I2CRandomRead(std::uint8_t slave, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t I2CRandomWrite(std::uint8_t slave, std::span<const std::uint8_t> data) = 0;
  virtual std::uint32_t I2CSuperRead(std::uint8_t slave, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t I2CSuperWrite(std::uint8_t slave, std::span<const std::uint8_t> data) = 0;
  virtual std::uint32_t I2CLongRead(std::uint8_t slave, std::uint16_t address, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t I2CLongWrite(std::uint8_t slave, std::uint16_t address, std::uint16_t ignored,
                                     std::span<const std::uint8_t> data) = 0;
  // 57..61: OTP. OTPWrite's param is the ECC budget the chip may consume.
  virtual std::uint32_t OTPWrite(std::uint32_t address, std::uint16_t param, std::span<const std::uint8_t> data) = 0;
  virtual std::uint32_t OTPRead(std::uint32_t address, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t OTPBlankCheck(std::uint32_t address, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t OTPAllBlankCheck(std::uint32_t address, std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t OTPPrgmFailAddr(std::span<std::uint8_t> buffer) = 0;
  // 62, 63: vendor request 0x70 pair; count is in/out (bytes asked, bytes transferred).
  virtual std::uint32_t VendorCtl70Out(std::uint32_t ignored) = 0;
  virtual std::uint32_t VendorCtl70In(std::uint8_t value, std::span<std::uint8_t> buffer, std::uint32_t& count) = 0;

 protected:
  CVendorCmdCommon() = default;
  ~CVendorCmdCommon() = default;
  CVendorCmdCommon(const CVendorCmdCommon&) = delete;
  CVendorCmdCommon& operator=(const CVendorCmdCommon&) = delete;
};

}  // namespace drover
