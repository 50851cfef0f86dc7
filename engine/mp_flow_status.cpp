// Device read-outs of CMpFlow: connection, identity, version, boot status and cache mode.
#include <array>

#include "base/strfmt.h"
#include "base/trace.h"
#include "engine/chip_family.h"
#include "engine/mp_flow.h"
#include "transport/kes_device.h"

namespace drover {

namespace {
constexpr const char* kConnected = "USB Audio Connected";
constexpr const char* kNotConnected = "No USB Audio";
constexpr const char* kNotAvailable = "N/A";

// The read-outs with no device open: not connected, nothing to report.
void ShowNotConnected(CMpConfig& config) {
  config.m_strConnect = kNotConnected;
  config.m_strFwVersion = kNotAvailable;
  config.m_strManufacturer = kNotAvailable;
}
}  // namespace

CMpFlow::DeviceReadout CMpFlow::ReadDeviceReadout(bool bootAt1071Rule) {
  // Every field keeps its default when its read fails: a zero record, identity bytes 0xFF and
  // boot status 0xFF ("Unknown", reported as running code).
  DeviceReadout r;
  r.statusRead = MP_GetDevStatus(r.status);
  r.chipIdRead = MP_ReadChipId(r.b0, r.b1, 0xFF);
  const std::uint32_t bootAddr = bootAt1071Rule ? BootStatusAddress(r.b0, r.b1) : kBootStatusRegister;
  MP_ReadReg(bootAddr, r.bootStatus);
  if (BootStatusHasExtVersion(r.bootStatus)) MP_GetDevStatusFrom(kExtVersionPage, r.ext);
  return r;
}

void CMpFlow::ClassifyChip(std::uint8_t b0, std::uint8_t b1) {
  m_bChipFamily0010 = ChipFamily(b0, b1) == 0x0010 ? 1 : 0;
  m_bBootStatusChip = IsBootStatusChip(b0, b1) ? 1 : 0;
  if (!m_bBootStatusChip) return;  // other chips keep the previous status text
  std::uint8_t boot = 0xFF;
  MP_ReadReg(BootStatusAddress(b0, b1), boot);
  m_strDevStatus = std::string(BootStatusText(boot));
}

int CMpFlow::MP_GetDeviceInfo() {
  TraceScope scope("CMpFlow::MP_GetDeviceInfo");
  if (m_hDevice == 0) {
    ShowNotConnected(*this);
    return 1;
  }
  m_strConnect = kConnected;
  const DeviceReadout r = ReadDeviceReadout(true);

  const VersionInfo v = BuildVersion(r.status, r.ext, r.bootStatus, false, 0, 0);
  m_strFwVersion = v.text;
  m_wFwVer = v.numbers;
  m_strFwVersionEx = v.textEx;

  MP_ReadIdentity(true);
  GetSerialNumberString(m_strSerial);
  m_strDeviceKey = StrFormat("%s&%s", GetDevicePath().c_str(), m_strVidPidRev.c_str());

  m_bNotCacheMode = RunsDownloadedCode(r.b0, r.b1, r.status, r.bootStatus) ? 0 : 1;
  MP_ReadPortAndHub();
  ClassifyChip(r.b0, r.b1);
  return 1;
}

int CMpFlow::MP_GetDeviceInfoQuick() {
  TraceScope scope("CMpFlow::MP_GetDeviceInfoQuick");
  if (m_hDevice == 0) {
    ShowNotConnected(*this);
    return 1;
  }
  m_strConnect = kConnected;
  const DeviceReadout r = ReadDeviceReadout(true);
  MP_ReadIdentity(true);
  const VersionInfo v = BuildVersion(r.status, r.ext, r.bootStatus, true, m_wVid, m_wPid);
  m_strFwVersion = v.text;
  m_wFwVer = v.numbers;
  GetDeviceIdsAndManufacturer(m_wVid, m_wPid, m_wRev, m_strManufacturer);
  ClassifyChip(r.b0, r.b1);
  m_bNotCacheMode = RunsDownloadedCode(r.b0, r.b1, r.status, r.bootStatus) ? 0 : 1;
  return 1;
}

int CMpFlow::MP_RefreshVersion() {
  TraceScope scope("CMpFlow::MP_RefreshVersion");
  if (m_hDevice == 0) return 1;
  std::array<std::uint8_t, kStatusRecordSize> status{};
  std::array<std::uint8_t, kExtVersionSize> ext{};
  std::uint8_t boot = 0xFF;
  MP_GetDevStatus(status);
  MP_ReadReg(kBootStatusRegister, boot);
  if (BootStatusHasExtVersion(boot)) MP_GetDevStatusFrom(kExtVersionPage, ext);
  m_strFwVersion = BuildVersion(status, ext, boot, true, m_wVid, m_wPid).text;
  return 1;
}

int CMpFlow::MP_GetCacheMode(std::uint32_t& out) {
  TraceScope scope("CMpFlow::MP_GetCacheMode");
  if (m_hDevice == 0) return 0;
  const DeviceReadout r = ReadDeviceReadout(true);
  // Without the chip identity the rule that decides is unknown, and chips of family 0 and
  // 0x7010 tell their mode only in the status record: a zero record read as "ROM runs"
  // would let a chip that runs its code pass for one waiting in its ROM.
  const std::uint16_t family = ChipFamily(r.b0, r.b1);
  if (!r.chipIdRead || ((family == 0x0000 || family == 0x7010) && !r.statusRead)) return 0;
  out = RunsDownloadedCode(r.b0, r.b1, r.status, r.bootStatus) ? 1 : 0;
  return 1;
}

int CMpFlow::MP_GetVersionFormat(std::uint32_t& out) {
  TraceScope scope("CMpFlow::MP_GetVersionFormat");
  std::array<std::uint8_t, kStatusRecordSize> status{};
  if (!MP_GetDevStatus(status)) return 0;
  out = static_cast<std::uint32_t>(VersionFormat(status));
  return 1;
}

int CMpFlow::MP_GetStatusVersion() {
  TraceScope scope("CMpFlow::MP_GetStatusVersion");
  std::array<std::uint8_t, kStatusRecordSize> status{};
  if (!MP_GetDevStatus(status)) return 0;
  m_byStatusVer = StatusVersionBytes(status);
  return 1;
}

}  // namespace drover
