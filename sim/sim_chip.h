#pragma once
// The codec chip's resident code as the host sees it: standard, extension-unit and vendor
// control requests answered over real memories. Independent of where the state and the
// memories are kept, so tests can drive it directly (sim_bus.h keeps them in files).
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/ic_types.h"
#include "sim/sim_types.h"
#include "transport/usb_backend.h"

namespace drover::sim {

// Status codes of the extension unit's status block.
inline constexpr std::uint8_t kStsCmd = 0;
inline constexpr std::uint8_t kStsDataIn = 1;
inline constexpr std::uint8_t kStsDataOut = 2;
inline constexpr std::uint8_t kStsErrDir = 3;
inline constexpr std::uint8_t kStsNotFinish = 4;
inline constexpr std::uint8_t kStsErrLen = 5;
inline constexpr std::uint8_t kStsUnknownScmd = 6;
inline constexpr std::uint8_t kStsErrOutrange = 7;
inline constexpr std::uint8_t kStsUnknownCmd = 8;
inline constexpr std::uint8_t kStsHwErr = 9;
inline constexpr std::uint8_t kStsRetNoErr = 0xFE;

// Chip addresses the model gives meaning to.
inline constexpr std::uint16_t kRegChipId = 0xFE21;
inline constexpr std::uint16_t kRegBootStatus = 0xC2A8;
inline constexpr std::uint16_t kRegBootStatus1071 = 0xC2A6;
inline constexpr std::uint16_t kRegOtpLock = 0xFD0C;     // bit 3: OTP locked
inline constexpr std::uint16_t kRegResetPrepare = 0xFF92;  // 0x01 before a plain restart
inline constexpr std::uint16_t kRegWpQuery = 0x051B;     // 0x29 selects the pair query at 0x050F
inline constexpr std::uint16_t kRegWpPairs = 0x050F;

inline constexpr std::uint32_t kRegsSize = 0x10000;
inline constexpr std::uint32_t kAuxSize = 0x20000;  // I2C space, then PHY space
inline constexpr std::uint32_t kOtpSize = 0x4000;
inline constexpr std::uint32_t kStatusRecordSize = 104;  // pages 0..12
inline constexpr std::uint32_t kExtendedBlockSize = 32;  // pages 128..131

enum class Phase : std::uint8_t { None, In, Out };

// Everything the chip keeps besides its memories; the bus persists it.
struct ChipState {
  bool runningCode = false;
  std::uint8_t bootStatus = 0;
  std::array<std::uint8_t, 8> version{0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB};
  std::uint8_t statusRegister = 0x8C;
  std::uint32_t srBusy = 0;      // reads left that show write-in-progress
  std::uint32_t eraseBusy = 0;   // block-erase polls left that answer "not done"
  bool eraseStuck = false;       // an erase under the never-completes fault
  std::uint32_t dataControlSize = 8;
  Phase phase = Phase::None;     // extension-unit data phase in progress
  std::uint8_t phGroup = 0, phOpcode = 0;
  std::uint32_t phAddress = 0, phLength = 0, phPosition = 0;
  std::uint16_t phParam = 0;
  std::uint8_t status = kStsCmd;  // status block byte 0
  std::uint8_t lastOpcode = 0;
  std::array<std::uint32_t, 4> resets{};  // type 7, 8, 9, 10
  std::uint64_t transfers = 0;
  bool signatureActive = false;
  std::uint32_t signatureQueries = 0;
  bool otpLocked = false;
  std::uint8_t otpBudget = 8;
  std::uint8_t failCount = 0;            // program-fail record of the last OTP write
  std::array<std::uint16_t, 8> failAddress{};
  std::uint16_t failCurrent = 0;
  bool failStopped = false;
  std::uint16_t ctl70 = 0;
  std::uint16_t lastResetMode = 0;
  // End of the flash range written since the last erase (0: unknown). It tells the length of
  // the image a download left, which decides where its version bytes lie.
  std::uint32_t flashWriteEnd = 0;
};

struct ChipMemories {
  std::span<std::uint8_t> flash;   // empty unless the memory is SPI or NOR flash
  std::span<std::uint8_t> eeprom;  // empty unless an EEPROM
  std::span<std::uint8_t> otp;     // empty unless the chip has OTP
  std::span<std::uint8_t> regs;    // kRegsSize bytes
  std::span<std::uint8_t> aux;     // kAuxSize bytes
};

struct ChipReply {
  std::uint32_t error = usb::kErrSuccess;
  std::uint32_t transferred = 0;
  int resetType = 0;  // 7, 8 or 9: the chip leaves the bus after answering
};

// Where the chip finds code to boot.
struct BootChoice {
  bool bootable = false;
  std::uint32_t base = 0;  // bank or block start in the boot memory
  std::array<std::uint8_t, 8> version{};
};

class SimChip {
 public:
  // The objects must outlive the chip. options.ic must name a known IC type.
  SimChip(const DeviceOptions& options, ChipState& state, Faults& faults, ChipMemories memories);

  // One control transfer; setup.bmRequestType carries the wire direction in bit 7.
  ChipReply Control(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn, std::uint32_t timeoutMs);

  // Power-up: registers at their reset values, then boot stored code or the ROM.
  void PowerOn();
  // Coming back from a reset of type 7 or 8 (update mode) or 9 (restart).
  void CompleteReset(int type);

  BootChoice FindBootableCode() const;
  bool FlashWpReleased() const;
  bool EepromWpReleased() const;
  std::array<std::uint8_t, 2> ChipId() const;
  std::array<std::uint8_t, 2> Tag() const;
  const SimIcType& Ic() const { return *m_ic; }
  // The 8 bytes of status page p (0..12 record, 128..131 extended block, others zero).
  std::array<std::uint8_t, 8> StatusPage(std::uint32_t page) const;
  std::vector<std::uint8_t> StatusRecord() const;   // 104 bytes
  std::vector<std::uint8_t> ExtendedBlock() const;  // 32 bytes

  static const char* BootText(std::uint8_t bootStatus);
  static std::string VersionText(const std::array<std::uint8_t, 8>& e);
  static bool IsBootStatusChip(std::uint8_t b0, std::uint8_t b1);

 private:
  struct Command;
  ChipReply Standard(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn);
  ChipReply Class(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn);
  ChipReply Vendor(const usb::UsbSetup& setup, std::span<std::uint8_t> data, bool dirIn);
  ChipReply FailExt(std::uint8_t status);
  bool FaultHit(std::vector<FaultRule>& rules, FaultTarget target, std::uint8_t code, bool any);

  // Shared by both forms: check and start an operation (commands without data run here);
  // then move data with ReadData/WriteData; FinishWrite after the last byte.
  std::uint8_t Prepare(int op, std::uint32_t address, std::uint32_t length, std::uint16_t param, int& resetType);
  void ReadData(int op, std::uint32_t address, std::uint32_t length, std::uint16_t param, std::uint32_t offset,
                std::span<std::uint8_t> out);
  void WriteData(int op, std::uint32_t address, std::uint16_t param, std::uint32_t offset,
                 std::span<const std::uint8_t> in);
  void FinishWrite(int op, std::uint32_t address, std::uint32_t length);

  bool FlashProtected() const;
  void SetFlashBusy();
  void ResetRegisters();
  void Boot();
  std::span<std::uint8_t> CodeMemory() const;

  const DeviceOptions& m_options;
  ChipState& m_state;
  Faults& m_faults;
  ChipMemories m_mem;
  const SimIcType* m_ic;
  std::array<std::uint8_t, 2> m_chipId;
  std::uint8_t m_acInterface;
};

// The command tables, for the table walk of the tests: one row per extension-unit command
// (group, opcode) and per vendor request (direction, code).
struct ExtCommandRow {
  std::uint8_t group;
  std::uint8_t opcode;
  const char* name;
  bool hasData;  // a data phase follows the command block
  bool dataIn;   // its direction
};
struct VendorRequestRow {
  bool dirIn;
  std::uint8_t request;
  const char* name;
};
std::span<const ExtCommandRow> ExtCommandTable();
std::span<const VendorRequestRow> VendorRequestTable();

}  // namespace drover::sim
