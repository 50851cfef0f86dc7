#pragma once
// The current device of the process and the flat device access functions the engine calls:
// at most one opened codec device, its record and capabilities, its extension-unit and
// vendor-request transports, the resets that send the chip into another mode and wait for it
// to come back, and the raw command path used while no transport object exists.
//
// Every access function takes the engine's open-device handle (the DevInst that
// OpenDeviceByIndex answered) and its command flag word, and answers true when the command
// returned 0; false when it failed, when there is no current device, when the handle is not
// the current device's, or when no transport serves it.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/clock.h"
#include "transport/enumeration.h"
#include "transport/ext_unit.h"
#include "transport/vendor_request.h"

namespace drover {

// Command flag bits read by the transport.
inline constexpr std::uint32_t kCmdFlagKnownCaps = 0x01;  // reset: use the known capabilities
inline constexpr std::uint32_t kCmdFlagRoute = 0x20;      // use the extension-unit transport
inline constexpr std::uint32_t kCmdFlagDownload = 0x40;   // accepted, no effect here

inline constexpr std::uint32_t kResetTimeLimitMs = 15000;
inline constexpr std::uint32_t kStatusAreaSize = 104;  // 13 pages from page 0
inline constexpr std::uint32_t kOtpFailRecordSize = 19;

// An opened device: its own record and copy of the capability record.
class CCamDev {
 public:
  // Reopens the device from the source record's instance into its own record and copies the
  // source's capabilities (or queries them when it has none). Check Status() afterwards.
  explicit CCamDev(const DeviceRecord& source);
  virtual ~CCamDev() = default;
  CCamDev(const CCamDev&) = delete;
  CCamDev& operator=(const CCamDev&) = delete;

  std::uint32_t Status() const { return m_dwStatus; }  // 0 when the reopen succeeded
  DeviceRecord& Record() { return m_record; }
  const DeviceRecord& Record() const { return m_record; }
  const CapabilityRecord* Capabilities() const { return m_record.pCapabilities.get(); }

 protected:
  DeviceRecord m_record;
  std::uint32_t m_dwStatus = 0;
};

// A device with its transports and the removal event.
class CKesCam final : public CCamDev {
 public:
  explicit CKesCam(const DeviceRecord& source);
  ~CKesCam() override;

  // Sets the removal event (the dialog calls this when the open device leaves the bus).
  virtual void SignalRemoval();
  CEvent& RemovalEvent() { return m_removal; }

  // Rebuilds both transports from the record's capability record (queried when missing).
  void RebuildTransports();
  CExtUnit* ExtUnit() { return m_pExtUnit.get(); }
  CVendorRequestV2* VendorReq() { return m_pVendor.get(); }

  // The transport choice: the vendor-request transport when the capabilities report it and
  // it exists, else the extension unit; with the route flag the extension unit.
  CVendorCmdCommon* Choose(std::uint32_t flags);
  // The extension-unit transport only (nullptr without a unit or readable capabilities).
  CExtUnit* ExtUnitOnly();

 private:
  std::unique_ptr<CExtUnit> m_pExtUnit;
  std::unique_ptr<CVendorRequestV2> m_pVendor;
  CEvent m_removal{true, false};
};

// ---- open and close ----
// Opens candidate n as the current device and answers its device instance, or 0. With a
// current device it answers the remembered instance and does nothing else.
DevInst OpenDeviceByIndex(std::uint32_t n);
// Destroys the current device, if any. Always true.
bool CloseCurrentDevice();
// The current device object (nullptr when none); for the engine's diagnostics and tests.
CCamDev* CurrentDevice();
// Device instance of the current device (0 when none).
DevInst CurrentDeviceInstance();
// Number of candidates (low 8 bits); 0 when none or on error.
std::uint8_t GetDeviceCount();

// ---- identity of the current device ----
bool GetDeviceIds(std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev);
bool GetDeviceIdsAndManufacturer(std::uint16_t& vid, std::uint16_t& pid, std::uint16_t& rev,
                                 std::string& manufacturer);
// Only without a current device: opens candidate 0 for the question and closes it again;
// with a device open the result is left unchanged (false).
bool GetManufacturerString(std::string& manufacturer);
bool GetSerialNumberString(std::string& serial);
bool GetDeviceName(std::string& name);
// The current device's USB device instance ID ("" when none), e.g. for the removal match.
std::string GetDevicePath();
// Bus address (port) and parent hub instance of a device instance.
bool GetBusAddressAndParentHub(DevInst inst, std::uint32_t& busAddress, DevInst& hubInst);

// ---- device access functions ----
bool KesGetDevStatus(DevInst h, std::uint32_t flags, std::span<std::uint8_t> buffer104);
bool KesGetDevStatusFrom(DevInst h, std::uint32_t flags, std::uint32_t page, std::span<std::uint8_t> buffer);
bool KesReadMem(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer);
bool KesWriteMem(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data);
bool KesEraseFlash(DevInst h, std::uint32_t flags);
bool KesWriteFlash(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data);
bool KesNorFlashWriteTag(DevInst h, std::uint32_t flags);
bool KesSpiRead(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer);
bool KesSpiWrite(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data);
bool KesSpiReadSr(DevInst h, std::uint32_t flags, std::uint8_t& value);
bool KesSpiWriteSr(DevInst h, std::uint32_t flags, std::uint8_t value);
bool KesSpiEraseChip(DevInst h, std::uint32_t flags, std::uint32_t timeoutMs);
// Block size 0x10000; the route flag is not honoured.
bool KesSpiEraseBlock(DevInst h, std::uint32_t flags, std::uint32_t address, bool wait);
bool KesSpiWriteTag(DevInst h, std::uint32_t flags);
bool KesEep8Erase(DevInst h, std::uint32_t flags, std::uint32_t size);
bool KesEep8Read(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer);
bool KesEep8Write(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data);
bool KesEep8WriteTag(DevInst h, std::uint32_t flags);
// The EEPROM-16 functions use the extension unit only.
bool KesEep16Fill(DevInst h, std::uint32_t flags, std::uint32_t size);  // size bytes of 0xFF from 0
bool KesEep16Read(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer);
bool KesEep16Write(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<const std::uint8_t> data);
bool KesEep16WriteTag(DevInst h, std::uint32_t flags);
// Extension unit only; size in/out.
bool KesChangeDataControlSize(DevInst h, std::uint32_t flags, std::uint32_t& size);
// OTP: extension unit only.
bool KesOtpRead(DevInst h, std::uint32_t flags, std::uint32_t address, std::span<std::uint8_t> buffer);
bool KesOtpPrgmFailAddr(DevInst h, std::uint32_t flags, std::span<std::uint8_t> record19);
bool KesOtpWrite(DevInst h, std::uint32_t flags, std::uint32_t address, std::uint16_t param,
                 std::span<const std::uint8_t> data);
// Restart into the ROM without waiting for the device.
bool KesResetToRom(DevInst h, std::uint32_t flags);
bool KesCommand10(DevInst h, std::uint32_t flags, std::uint8_t argument);
bool KesReadByte06(DevInst h, std::uint32_t flags, std::uint8_t& value);
bool KesVendorCtl70Out(DevInst h, std::uint32_t flags, std::uint32_t argument);
bool KesVendorCtl70In(DevInst h, std::uint32_t flags, std::uint8_t value, std::span<std::uint8_t> buffer,
                      std::uint32_t& count);
// Sets the current device's removal event (any thread).
bool KesSignalRemoval(DevInst h);

// ---- resets with wait ----
// Type 7 (update firmware, with a mode value), type 9 (restart), type 10 (restart through
// vendor requests). On success the transports are rebuilt and outInst receives the device
// instance; on failure the current device is destroyed, candidate 0 becomes current (its
// instance, or 0, goes to outInst) and the answer is false.
bool KesResetToUpdateFW(std::uint16_t value, std::uint32_t flags, std::uint32_t waitTimeMs, DevInst& outInst);
bool KesResetToRomWait(std::uint32_t flags, std::uint32_t waitTimeMs, DevInst& outInst);
bool KesResetToRomByVendor(std::uint32_t flags, std::uint32_t waitTimeMs, DevInst& outInst);

// Capabilities the caller already knows (skips the probe).
struct KnownCapabilities {
  std::uint8_t byExtensionUnitId = 0;
  bool bVendorRequests = false;
  bool bOneByteProbe = false;
};

// Sends reset type t with mode v to the record's device, releases it, waits for it to leave
// (removal event or waitTimeMs) and finds it again by location path within timeLimitMs as a
// whole. On 0 the record holds the rediscovered device. Errors: 87 invalid record,
// 0x80004005 probe failed, 1460 time limit, else the failing request's error.
std::uint32_t ResetAndReopen(DeviceRecord& record, std::uint16_t v, std::uint8_t t, const KnownCapabilities* known,
                             bool forceExtUnit, std::uint32_t timeLimitMs, CEvent* removal, std::uint32_t waitTimeMs);

// ---- raw command path (no transport object; the extension-unit form takes the lock
// "ICOperateSyncUac_2022" and proceeds even without it) ----
namespace raw {
bool ExtQualify(const DeviceRecord& record, std::uint8_t unitId);
std::uint32_t ExtGetDevStatus(const DeviceRecord& record, std::uint8_t unitId, std::uint16_t page,
                              std::span<std::uint8_t> buffer8);
std::uint32_t ExtReadMem(const DeviceRecord& record, std::uint8_t unitId, std::uint16_t address,
                         std::span<std::uint8_t> buffer);
std::uint32_t ExtWriteMem(const DeviceRecord& record, std::uint8_t unitId, std::uint16_t address,
                          std::span<const std::uint8_t> data);
std::uint32_t ExtReset(const DeviceRecord& record, std::uint8_t unitId, std::uint8_t type, std::uint16_t mode);
std::uint32_t VendorStatusPages(const DeviceRecord& record, std::uint32_t pages, std::span<std::uint8_t> buffer);
std::uint32_t VendorReadMem(const DeviceRecord& record, std::uint16_t address, std::span<std::uint8_t> buffer);
std::uint32_t VendorWriteMem(const DeviceRecord& record, std::uint16_t address, std::span<const std::uint8_t> data);
std::uint32_t VendorReset(const DeviceRecord& record, std::uint8_t type, std::uint16_t mode);
std::uint32_t VendorQuery06(const DeviceRecord& record, std::uint16_t value, std::uint8_t& out);
std::uint32_t VendorAltReset(const DeviceRecord& record, std::uint8_t type, std::uint16_t mode);
}  // namespace raw

}  // namespace drover
