#pragma once
// The extension-unit form of the vendor commands: an 8-byte command block written with
// SET_CUR to the unit's command control (selector 0x0A), a data phase in chunks of the data
// control size on the data control (0x0B), and after a failure the status block read back
// from the command control and an abort block. All traffic of this form, in every Drover
// process, runs under the named lock "ICOperateSync_2014_3_28".
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "transport/enumeration.h"
#include "transport/named_lock.h"
#include "transport/vendor_cmd.h"

namespace drover {

inline constexpr std::uint8_t kUacSetCur = 0x01;
inline constexpr std::uint8_t kUacGetCur = 0x81;
inline constexpr std::uint8_t kUacGetLen = 0x85;
inline constexpr std::uint8_t kReqTypeClassOut = 0x21;  // host to device, class, interface
inline constexpr std::uint8_t kReqTypeClassIn = 0xA1;   // device to host, class, interface
inline constexpr std::uint8_t kSelectorCommand = 0x0A;
inline constexpr std::uint8_t kSelectorData = 0x0B;
inline constexpr std::uint32_t kExtUnitTimeoutMs = 5000;
inline constexpr std::uint32_t kScratchSize = 1024;  // largest data control size
inline constexpr CmdBlock kAbortBlock = {0xFF, 0, 0, 0, 0, 0, 0, 0};

// The common operations of the extension-unit form over eleven primitives.
class CExtUnitBase : public CVendorCmdCommon {
 public:
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

  virtual ~CExtUnitBase();
  // After a failed phase: composes the diagnostic text (to the debug channel), reads the
  // status block into the last status (0xFF when none) and sends the abort block. A device
  // that has gone away (0x8007048F) gets no further traffic.
  virtual void ReportError(const std::string& operationName, std::uint32_t errorCode);
  // True when the device answers the qualification command with "QUORLAN\0".
  virtual bool DevQualify();
  virtual std::uint32_t NotImplemented1() { return kVcmdNotImplemented; }
  virtual std::uint32_t NotImplemented2() { return kVcmdNotImplemented; }
  // Negotiates the data control size; size is in/out. True when the device took the size.
  virtual bool ChangeDataControlSize(std::uint32_t& size) = 0;
  // OTP decode test and OTP write of the special tables; only negative phase codes fail.
  virtual std::uint32_t OTPTestDec(std::uint32_t address, std::span<std::uint8_t> buffer);
  virtual std::uint32_t OTPWriteST(std::uint32_t address, std::uint16_t param, std::span<const std::uint8_t> data);

  // Primitives (0 or a transport status). SetCmd stores the given fields little-endian into
  // bytes 2..3, 4..5 and 6..7 of a copy of the preset and sends it to the command control.
  virtual std::uint32_t SetCmd(const CmdBlock& preset, std::uint16_t address, std::uint16_t length,
                               std::uint16_t param) = 0;
  virtual std::uint32_t SetCmd(const CmdBlock& preset, std::uint16_t address, std::uint16_t length) = 0;
  virtual std::uint32_t SetCmd(const CmdBlock& preset, std::uint16_t address) = 0;
  virtual std::uint32_t SetCmd(const CmdBlock& preset) = 0;
  // Reads the 8-byte status block into status (which must hold 8 bytes).
  virtual std::uint32_t GetStatus(std::span<std::uint8_t> status) = 0;
  // Moves buffer.size() (modulo 65536) bytes in data-control-size chunks; done receives the
  // bytes completed before a failure.
  virtual std::uint32_t GetData(std::span<std::uint8_t> buffer, std::uint32_t& done, const ProgressCallback& progress) = 0;
  virtual std::uint32_t GetData(std::span<std::uint8_t> buffer, std::uint32_t& done) = 0;
  // One chunk of data-control-size bytes (the buffer must hold that many).
  virtual std::uint32_t GetDataChunk(std::span<std::uint8_t> buffer) = 0;
  virtual std::uint32_t SetData(std::span<const std::uint8_t> data, std::uint32_t& done, const ProgressCallback& progress) = 0;
  virtual std::uint32_t SetData(std::span<const std::uint8_t> data, std::uint32_t& done) = 0;
  virtual std::uint32_t SetDataChunk(std::span<const std::uint8_t> buffer) = 0;

  // Status code of the most recent reported failure; 0xFF when no status was obtained.
  std::uint8_t LastStatus() const { return m_byLastStatus; }
  // The diagnostic text ReportError composed last (also sent to the debug channel).
  const std::string& LastDiagnostic() const { return m_strLastDiagnostic; }
  std::uint32_t DataControlSize() const { return m_dwDataCtrlSize; }
  std::uint8_t ExtensionUnitId() const { return m_byUnitId; }

  // Which fields of the preset a command overwrites: A address bits 0..15, L length,
  // Ahi address bits 16..31, P parameter, S slave address (in bytes 2..3).
  enum class Fields { None, A, AL, ALAhi, ALP, SL, A8P };
  // The number a data-phase diagnostic carries.
  enum class Number { AddressPlusDone, Done, Slave, SlavePlusDone, Address16PlusDone };
  struct Command {
    const char* setCmdText;
    const char* dataText;  // printf-like with at most one number conversion
    CmdBlock preset;
    Fields fields;
    Number number;
  };

 protected:
  explicit CExtUnitBase(std::uint8_t unitId);

  // The command sequence without taking the lock (callers hold it): SetCmd, then the data
  // phase. address is the full address of the command; param fills P (or S for slave forms).
  std::uint32_t SendCommand(const Command& c, std::uint32_t address, std::uint32_t length, std::uint16_t param);
  std::uint32_t InPhase(const Command& c, std::uint32_t address, std::uint16_t param, std::span<std::uint8_t> buffer,
                        const ProgressCallback& progress);
  std::uint32_t OutPhase(const Command& c, std::uint32_t address, std::uint16_t param,
                         std::span<const std::uint8_t> data, const ProgressCallback& progress);
  // Range commands: 0x8000-byte commands while more than 0xFFFF bytes remain, then one.
  std::uint32_t RangeIn(const Command& c, std::uint32_t address, std::span<std::uint8_t> buffer,
                        const ProgressCallback& progress);
  std::uint32_t RangeOut(const Command& c, std::uint32_t address, std::span<const std::uint8_t> data,
                         const ProgressCallback& progress);
  // One command with one data phase of at most 0xFFFF bytes (0x80070057 beyond).
  std::uint32_t SingleIn(const Command& c, std::uint32_t address, std::uint16_t param, std::span<std::uint8_t> buffer);
  std::uint32_t SingleOut(const Command& c, std::uint32_t address, std::uint16_t param,
                          std::span<const std::uint8_t> data);
  // One command whose data phase is one chunk; the first out.size() bytes are kept.
  std::uint32_t ChunkIn(const Command& c, std::uint32_t address, std::uint32_t length, std::uint16_t param,
                        std::span<std::uint8_t> out, std::uint32_t number);
  std::uint32_t ChunkOut(const Command& c, std::uint32_t address, std::uint32_t length, std::uint16_t param,
                         std::span<const std::uint8_t> data, std::uint32_t number);
  std::uint32_t NoData(const Command& c, std::uint32_t address = 0, std::uint32_t length = 0, std::uint16_t param = 0);
  std::uint32_t EepErase(const Command& c, std::uint32_t size);
  std::string DataText(const Command& c, std::uint32_t address, std::uint16_t param, std::uint32_t done) const;

  CNamedMutex m_lock;
  std::uint8_t m_byUnitId;
  std::uint8_t m_byLastStatus = 0xFF;
  std::uint32_t m_dwDataCtrlSize = 8;
  std::string m_strLastDiagnostic;
  // Every single-chunk read and the last partial chunk pass through here; its first 8 bytes
  // double as the status block buffer.
  std::array<std::uint8_t, kScratchSize> m_scratch{};
};

// The primitives over ClassRequest to the extension unit of an opened device record.
class CExtUnit final : public CExtUnitBase {
 public:
  // The record must outlive the object (the device object owns both).
  CExtUnit(const DeviceRecord& record, std::uint8_t unitId);
  ~CExtUnit() override = default;

  // A size above 1024 is refused (false, nothing sent); a reported size above 1024 is
  // clamped to 1024 (false).
  bool ChangeDataControlSize(std::uint32_t& size) override;
  using CExtUnitBase::SetCmd;
  std::uint32_t SetCmd(const CmdBlock& preset, std::uint16_t address, std::uint16_t length,
                       std::uint16_t param) override;
  std::uint32_t SetCmd(const CmdBlock& preset, std::uint16_t address, std::uint16_t length) override;
  std::uint32_t SetCmd(const CmdBlock& preset, std::uint16_t address) override;
  std::uint32_t SetCmd(const CmdBlock& preset) override;
  std::uint32_t GetStatus(std::span<std::uint8_t> status) override;
  std::uint32_t GetData(std::span<std::uint8_t> buffer, std::uint32_t& done, const ProgressCallback& progress) override;
  std::uint32_t GetData(std::span<std::uint8_t> buffer, std::uint32_t& done) override;
  std::uint32_t GetDataChunk(std::span<std::uint8_t> buffer) override;
  std::uint32_t SetData(std::span<const std::uint8_t> data, std::uint32_t& done, const ProgressCallback& progress) override;
  std::uint32_t SetData(std::span<const std::uint8_t> data, std::uint32_t& done) override;
  std::uint32_t SetDataChunk(std::span<const std::uint8_t> buffer) override;

 private:
  std::uint32_t SendBlock(const CmdBlock& block);
  std::uint32_t Class(std::uint8_t requestType, std::uint8_t request, std::uint8_t selector,
                      std::span<std::uint8_t> buffer, bool dirIn);
  const DeviceRecord& m_record;
};

}  // namespace drover
