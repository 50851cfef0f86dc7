#pragma once
// CMpFlow: the production-flow layer of the device-flow object. It opens a device by
// candidate number, wraps every vendor command in the guarded form (stop flag, open device,
// retries), lifts and restores the flash write protection, moves flash bytes, and reads the
// device's identity, version and mode; the resets that switch the chip between its modes
// live here too.
#include <cstdint>
#include <functional>
#include <span>

#include "engine/engine_context.h"
#include "engine/mp_config.h"

namespace drover {

// Tries of the guarded commands.
inline constexpr int kMemTries = 8;          // memory reads and writes, back to back
inline constexpr int kEraseTries = 3;        // erases ...
inline constexpr std::uint32_t kErasePauseMs = 128;  // ... this far apart
inline constexpr std::uint32_t kOpenFailPauseMs = 128;
inline constexpr int kSrPollReads = 20;      // status register reads while write is in progress
inline constexpr std::uint32_t kSrPollPauseMs = 50;
inline constexpr std::uint32_t kWp1010QueryPauseMs = 5;
inline constexpr std::uint32_t kDefaultWaitTimeMs = 5000;  // "Wait Time"

// Reset types of the transport's reset-and-reopen.
inline constexpr int kResetUpdateFw = 7;  // enter update mode, with an argument
inline constexpr int kResetToCode = 9;    // restart: run the downloaded code ("reset to cache")
inline constexpr int kResetByVendor = 10; // the same restart through vendor requests

class CMpFlow : public CKesLibExternalUse, public CMpConfig {
 public:
  explicit CMpFlow(EngineContext& context) : m_ctx(context) {}
  CMpFlow(const CMpFlow&) = delete;
  CMpFlow& operator=(const CMpFlow&) = delete;

  EngineContext& Context() const { return m_ctx; }

  // ---- device open ----
  // Opens candidate `index` (closing an open device first). One attempt; 0 when the stop
  // flag is set or the open fails (after a 128 ms pause).
  int MP_OpenDevice(int index);

  // ---- guarded commands ----
  // Each checks the stop flag before every try and fails without a device; memory reads and
  // writes try up to 8 times in a row.
  bool MP_ReadMem(std::uint32_t address, std::span<std::uint8_t> buffer);
  bool MP_WriteMem(std::uint32_t address, std::span<const std::uint8_t> data);
  bool MP_ReadReg(std::uint32_t address, std::uint8_t& value);
  bool MP_WriteReg(std::uint32_t address, std::uint8_t value);
  // Status pages: the 104-byte record from page 0, or `buffer.size()` bytes from a page.
  bool MP_GetDevStatus(std::span<std::uint8_t> record);
  bool MP_GetDevStatusFrom(std::uint32_t page, std::span<std::uint8_t> buffer);
  // SPI flash bytes (SPI_SF_Write / SPI_SF_Read), up to 8 tries.
  int MP_WriteFlashBytes(std::uint32_t address, std::span<const std::uint8_t> data);
  int MP_ReadFlashBytes(std::uint32_t address, std::span<std::uint8_t> data);
  // The flash's status register, one try.
  bool MP_ReadFlashSr(std::uint8_t& value);
  bool MP_WriteFlashSr(std::uint8_t value);

  // ---- chip identity ----
  // The two raw bytes of the chip identity register; on failure both keep `fallback`.
  bool MP_ReadChipId(std::uint8_t& b0, std::uint8_t& b1, std::uint8_t fallback);

  // ---- flash write protection ----
  int MP_DisableWriteProtect();
  int MP_EnableWriteProtect();

  // ---- flash update primitives (flash_update.cpp) ----
  // The flash address of image offset `o` for an image of `len` bytes, by the IC type's chip
  // code: the second 64 KiB bank (23), the bank above the image (26), else from 0.
  std::uint32_t MP_FlashAddress(std::uint32_t o, std::uint32_t len) const;
  // Erases per the chip code's strategy (`whole`: the stand-alone erase job); up to 3 tries.
  int MP_EraseFlash(int whole, std::uint32_t len);
  // Writes the image in 4 KiB pieces to the mapped addresses.
  int MP_WriteFlashCode(std::span<const std::uint8_t> image);
  // Reads the image's range over `buffer`, which holds a copy of the image on entry; pieces
  // blank in the image are not read on chips without a second bank.
  int MP_ReadBackFlashCode(std::span<std::uint8_t> buffer);
  // Reads buffer.size() bytes from flash address 0 (dumps).
  int MP_ReadFlash(std::span<std::uint8_t> buffer);
  // The same from another start address (the bank an image of chip code 23 or 26 lies in).
  int MP_ReadFlashFrom(std::uint32_t address, std::span<std::uint8_t> buffer);
  // The transport's data-control size (extension unit); one guarded try.
  bool MP_ChangeDataControlSize(std::uint32_t size);

  // ---- EEPROM primitives (eeprom_update.cpp) ----
  // The EEPROM's WP line through its four registers.
  int MP_EepDisableWriteProtect();
  int MP_EepEnableWriteProtect();
  // 8-byte transfers from EEPROM address 0 upwards, each guarded with up to 8 tries.
  int MP_Eep16Write(std::span<const std::uint8_t> data);
  int MP_Eep16ReadBack(std::span<std::uint8_t> buffer);
  int MP_Eep16Read(std::span<std::uint8_t> buffer);
  int MP_Eep16Erase(std::uint32_t size);
  int MP_Eep16WriteTag();
  int MP_Eep8Write(std::span<const std::uint8_t> data);
  int MP_Eep8Read(std::span<std::uint8_t> buffer);
  int MP_Eep8Erase(std::uint32_t size);
  // Reads the first 64 bytes into buffer (which must hold 64) and requires them blank.
  int MP_Eep8CheckEmpty(std::span<std::uint8_t> buffer);
  int MP_Eep8WriteTag();

  // ---- device information ----
  // The full read: connection, identity, version, status, port. Always 1.
  int MP_GetDeviceInfo();
  // The quick read after downloads (version texts with the device's ids). Always 1.
  int MP_GetDeviceInfoQuick();
  // Rebuilds only the version text (with the device's ids). Always 1.
  int MP_RefreshVersion();
  // out = 1 when the device runs its downloaded code. 0 without an open device or when the
  // reads that decide it (chip identity, and the status record for families 0 and 0x7010) fail.
  int MP_GetCacheMode(std::uint32_t& out);
  // out = version format 0, 1 or 2 of the status record. 0 when the record cannot be read.
  int MP_GetVersionFormat(std::uint32_t& out);
  // Reads the status record and keeps its eight version bytes in m_byStatusVer.
  int MP_GetStatusVersion();

  // ---- resets ----
  // Guarded reset of type 7 (with arg), 9 or 10; the device's new handle becomes m_hDevice.
  int MP_Reset(int type, std::uint32_t arg);
  // Brings the chip into update mode.
  int MP_ResetToRomCode();

  // ---- identity reads of the open device ----
  // Vendor, product and release numbers (and the manufacturer string), with m_strVidPid and
  // m_strVidPidRev formatted from them.
  bool MP_ReadIdentity(bool withManufacturer);
  // Port address and hub instance into m_dwPortAddr, m_dwHubInst.
  bool MP_ReadPortAndHub();

 protected:
  // The guarded form around one command: stop flag and open device are checked before each
  // of `tries` attempts; `pauseMs` passes on the clock between two failed attempts.
  bool Guarded(const std::function<bool()>& command, int tries = 1, std::uint32_t pauseMs = 0);
  bool GuardedRetry(const std::function<bool()>& command) { return Guarded(command, kMemTries, 0); }
  bool GuardedErase(const std::function<bool()>& command) { return Guarded(command, kEraseTries, kErasePauseMs); }

  // Status record, chip identity and boot status as the device reports them now.
  struct DeviceReadout {
    std::array<std::uint8_t, 104> status{};
    std::array<std::uint8_t, 32> ext{};
    std::uint8_t b0 = 0xFF;
    std::uint8_t b1 = 0xFF;
    std::uint8_t bootStatus = 0xFF;
    bool statusRead = false;  // the status record answered
    bool chipIdRead = false;  // the chip identity answered
  };
  // Status record, chip identity (b0, b1 start as 0xFF) and boot status byte; the extended
  // version block too when the boot status asks for it.
  DeviceReadout ReadDeviceReadout(bool bootAt1071Rule);
  // Chip family classification of b0, b1: m_bChipFamily0010, m_bBootStatusChip and, for a
  // boot-status chip, m_strDevStatus from a fresh read of its boot status byte.
  void ClassifyChip(std::uint8_t b0, std::uint8_t b1);

  EngineContext& m_ctx;

 private:
  int WriteProtect(bool enable);
};

}  // namespace drover
