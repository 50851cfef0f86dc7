// CDevFlow: the base answers of the virtual operations, device open and close.
#include "engine/dev_flow.h"

#include <array>

#include "base/settings.h"
#include "base/status.h"
#include "base/trace.h"
#include "engine/chip_family.h"
#include "engine/device_list_host.h"
#include "transport/kes_device.h"

namespace drover {

CDevFlow::~CDevFlow() { FreeBuffers(); }

// ---- base answers ----
int CDevFlow::DEV_ParseImage(std::span<const std::uint8_t>) { return 0; }
int CDevFlow::DEV_ReadCode() { return 0; }
int CDevFlow::DEV_EraseCode() { return 0; }
int CDevFlow::DEV_UpdateCode() { return 0; }
int CDevFlow::DEV_Download() { return 0; }

int CDevFlow::DEV_Silence_WriteBin(const std::string&) {
  SetLastStatus(kStatusNotSupport);
  return 0;
}
int CDevFlow::DEV_Silence_WriteSNBin(const std::string&, const std::string&) {
  SetLastStatus(kStatusNotSupport);
  return 0;
}
int CDevFlow::DEV_Silence_ReadBin(const std::string&) {
  SetLastStatus(kStatusNotSupport);
  return 0;
}
int CDevFlow::DEV_Silence_VerifyBin(const std::string&) {
  SetLastStatus(kStatusNotSupport);
  return 0;
}
int CDevFlow::DEV_Silence_ReadText(const std::string&) {
  SetLastStatus(kStatusNotSupport);
  return 0;
}
int CDevFlow::DEV_Silence_Erase(std::uint32_t) {
  SetLastStatus(kStatusNotSupport);
  return 0;
}

std::int32_t CDevFlow::DEV_GetOtpUsage() { return 0; }

// ---- helpers ----
void CDevFlow::DEV_ReadChipIdentity() {
  m_byChipId = {0, 0};
  std::array<std::uint8_t, 2> id{};
  if (MP_ReadMem(kChipIdRegister, id)) {
    m_byChipId = {static_cast<std::uint8_t>(id[0] & 0xF0), static_cast<std::uint8_t>(id[1] & 0xF0)};
  }
}

void CDevFlow::DEV_RefreshIcType() {
  const std::uint32_t iniType = ConfigInt("Ini Type", 0);
  m_ctx.uIniType = iniType;
  if (!m_ctx.pIcType || m_ctx.pIcType->IniType() != iniType) {
    // A change of "Ini Type" needs a definition object of the other kind; the selected
    // name carries over.
    std::string selected = m_ctx.pIcType ? m_ctx.pIcType->SelectedName() : std::string("VQ7330.INI");
    m_ctx.pIcType = std::make_unique<CICTypeIni>(iniType);
    m_ctx.pIcType->SetSelectedName(std::move(selected));
  }
  m_ctx.pIcType->BuildDefinitionList();
  m_ctx.pIcType->SelectDefaultDefinition();
  m_ctx.pIcType->ReadDefinitionHeader(m_ctx.uBusType);
}

void CDevFlow::DEV_HandPortToDialog() {
  if (m_ctx.pDeviceList) m_ctx.pDeviceList->SetRememberedPort(m_dwPortAddr, m_dwHubInst);
}

// ---- open and close ----
int CDevFlow::DEV_OpenDevice() {
  TraceScope scope("CDevFlow::DEV_OpenDevice");
  if (m_hDevice != 0) return 1;
  for (int i = 0; i < 3; ++i)
    if (MP_OpenDevice(i)) return 1;
  PostToDialog(UM_STATUS, kStatusDetectFail, 0);
  SetLastStatus(kStatusDetectFail);
  return 0;
}

int CDevFlow::DEV_OpenDeviceByICIni() {
  TraceScope scope("CDevFlow::DEV_OpenDeviceByICIni");
  if (m_hDevice != 0) return 1;
  for (int i = 0; i < 3; ++i) {
    if (!MP_OpenDevice(i)) continue;
    MP_ReadIdentity(true);
    MP_ReadPortAndHub();
    DEV_HandPortToDialog();
    DEV_ReadChipIdentity();
    DEV_RefreshIcType();
    PostToDialog(UM_DEVICE_OPENED, 0, 0);
    SetLastStatus(0);
    return 1;
  }
  PostToDialog(UM_STATUS, kStatusDetectFail, 0);
  SetLastStatus(kStatusDetectFail);
  return 0;
}

int CDevFlow::DEV_OpenDeviceByICIni(int index) {
  TraceScope scope("CDevFlow::DEV_OpenDeviceByICIni");
  if (m_hDevice != 0) return 1;
  if (!MP_OpenDevice(index)) {
    PostToDialog(UM_STATUS, kStatusDetectFail, 0);
    return 0;
  }
  MP_ReadPortAndHub();
  DEV_HandPortToDialog();
  DEV_ReadChipIdentity();
  MP_ReadIdentity(true);
  DEV_RefreshIcType();
  PostToDialog(UM_DEVICE_OPENED, 0, 0);
  return 1;
}

int CDevFlow::DEV_OpenDeviceByVIDPID() {
  TraceScope scope("CDevFlow::DEV_OpenDeviceByVIDPID");
  if (m_hDevice != 0) return 1;
  const std::uint32_t lockPort = ConfigInt("LockPort", 0);
  const std::uint32_t portNo = ConfigInt("PortNo", 0);

  const int count = GetDeviceCount();
  if (count == 0) {
    PostToDialog(UM_STATUS, kStatusDetectFail, 0);
    SetLastStatus(kStatusDetectFail);
    TraceFail(scope, kTextNoDevice);
    m_ctx.PrintToConsole(kTextNoDevice);
    return 0;
  }

  bool accepted = false;
  for (int i = 0; i < count && !accepted; ++i) {
    if (!MP_OpenDevice(i)) continue;
    MP_ReadPortAndHub();
    DEV_HandPortToDialog();
    MP_ReadIdentity(true);
    if (DEV_CheckVidPidBuiltIn(m_strVidPidRev)) {
      if (lockPort == 0 || portNo == m_dwPortAddr) {
        accepted = true;
      } else if (portNo == 0) {
        // The first accepted device's port is remembered; from now on only that port counts.
        Settings().SetInt(kConfigSection, "PortNo", static_cast<std::int32_t>(m_dwPortAddr));
        accepted = true;
      }
    }
    if (!accepted) DEV_CloseDevice();
  }

  if (!accepted) {
    PostToDialog(UM_ERROR, kStatusVidPidMismatch, 0);
    SetLastStatus(kStatusVidPidMismatch);
    TraceFail(scope, kTextVidPidMismatch);
    m_ctx.PrintToConsole(kTextVidPidMismatch);
    return 0;
  }
  DEV_ReadChipIdentity();
  DEV_RefreshIcType();
  PostToDialog(UM_DEVICE_OPENED, 0, 0);
  SetLastStatus(0);
  return 1;
}

int CDevFlow::DEV_CloseDevice() {
  TraceScope scope("CDevFlow::DEV_CloseDevice");
  if (m_hDevice != 0) CloseCurrentDevice();
  m_hDevice = 0;
  return 1;
}

int CDevFlow::DEV_RefreshDeviceInfo() {
  TraceScope scope("CDevFlow::DEV_RefreshDeviceInfo");
  MP_GetDeviceInfo();
  PostToDialog(UM_STATUS, 0, 0);
  SetLastStatus(0);
  return 1;
}

}  // namespace drover
