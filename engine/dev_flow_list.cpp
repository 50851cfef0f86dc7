// The device list operations of CDevFlow: survey every candidate, fill the dialog's device
// list, choose one device and find it again after a reset. Each leaves the device closed
// except where stated.
#include "base/settings.h"
#include "base/status.h"
#include "base/trace.h"
#include "engine/chip_family.h"
#include "engine/dev_flow.h"
#include "engine/device_list_host.h"
#include "transport/kes_device.h"

namespace drover {

namespace {

bool AutoRunSet() { return ConfigInt("AutoRun", 0) != 0; }

}  // namespace

int CDevFlow::DEV_GetDefaultDeviceForAllInOne() {
  TraceScope scope("CDevFlow::DEV_GetDefaultDeviceForAllInOne");
  if (m_hDevice != 0) return 1;
  IDeviceListHost* list = m_ctx.pDeviceList;
  const bool autoRun = AutoRunSet();
  if (autoRun && list) list->ResetAutoRunEvent();

  const int count = GetDeviceCount();
  m_iSelDevice = -1;
  m_iSelRow = -1;
  if (list) list->ClearDeviceList();
  int row = -1;
  int opened = 0;
  const bool checks = DEV_ChecksEnabled();

  for (int i = 0; i < count; ++i) {
    if (!MP_OpenDevice(i)) continue;
    MP_ReadIdentity(false);
    if (DEV_CheckVidPidBuiltIn(m_strVidPidRev)) {
      ++row;
      if (list) list->InsertDeviceRow(row, m_strVidPidRev);
    }
    if (m_iSelDevice == -1) {
      if (!checks) {
        // Without checks the first device that opens is chosen, listed or not.
        DEV_SelectDefaultImage();
        MP_ReadPortAndHub();
        DEV_HandPortToDialog();
        m_iSelDevice = opened;
      } else {
        m_bVidPidAllowed = DEV_CheckAllowed();
        if (m_bVidPidAllowed) {
          DEV_SelectDefaultImage();
          m_iSelDevice = opened;
          m_iSelRow = row;
          MP_ReadPortAndHub();
          DEV_HandPortToDialog();
        }
      }
    }
    ++opened;
    DEV_CloseDevice();
  }

  if (m_iSelDevice == -1) {
    PostToDialog(UM_STATUS, kStatusDetectFail, 0);
    SetLastStatus(kStatusDetectFail);
  } else {
    if (list) list->SelectDeviceRow(m_iSelRow);
    PostToDialog(UM_STATUS, kStatusDeviceInfoOk, 0);
    SetLastStatus(kStatusDeviceInfoOk);
  }
  if (autoRun && list) list->SetAutoRunEvent();
  return 1;
}

int CDevFlow::DEV_GetDeviceListForAllInOne(std::intptr_t param) {
  TraceScope scope("CDevFlow::DEV_GetDeviceListForAllInOne");
  if (m_hDevice != 0) return 1;
  IDeviceListHost* list = m_ctx.pDeviceList;
  const bool autoRun = AutoRunSet();
  if (autoRun && list) list->ResetAutoRunEvent();
  const int count = GetDeviceCount();
  m_iSelDevice = -1;
  if (list) list->ClearDeviceList();

  // First pass: list the allowed devices and choose the one on the remembered port.
  int row = -1;
  int opened = 0;
  for (int i = 0; i < count; ++i) {
    if (!MP_OpenDevice(i)) continue;
    MP_ReadPortAndHub();
    MP_ReadIdentity(false);
    if (DEV_CheckVidPidBuiltIn(m_strVidPidRev)) {
      ++row;
      if (list) list->InsertDeviceRow(row, m_strVidPidRev);
      if (list && m_dwPortAddr == list->RememberedPortAddr() && m_dwHubInst == list->RememberedHubInst()) {
        m_iSelDevice = opened;
        m_iSelRow = row;
        // The remembered port may now hold another device: Start follows this one's check,
        // not the one of the device chosen before.
        if (DEV_ChecksEnabled()) m_bVidPidAllowed = DEV_CheckAllowed();
        DEV_SelectDefaultImage();
      }
    }
    DEV_CloseDevice();
    if (autoRun && list) list->SetAutoRunEvent();
    ++opened;
  }

  // Second pass: the remembered port is gone; take the first device that may be used.
  if (m_iSelDevice == -1) {
    if (list) list->SetRememberedPort(0, 0);
    const bool checks = DEV_ChecksEnabled();
    opened = 0;
    for (int i = 0; i < count; ++i) {
      if (!MP_OpenDevice(i)) continue;
      MP_ReadIdentity(false);
      MP_ReadPortAndHub();
      DEV_HandPortToDialog();
      bool chosen = false;
      if (!checks) {
        m_iSelDevice = opened;
        DEV_SelectDefaultImage();
        chosen = true;
      } else {
        m_bVidPidAllowed = DEV_CheckAllowed();
        m_iSelDevice = opened;
        if (m_bVidPidAllowed) {
          DEV_SelectDefaultImage();
          m_iSelRow = 0;
          chosen = true;
        }
      }
      DEV_CloseDevice();
      ++opened;
      if (chosen) break;
    }
  }

  if (m_iSelDevice != -1 && list && list->DeviceRowCount() > 0) {
    list->SelectDeviceRow(m_iSelRow);
    PostToDialog(UM_STATUS, kStatusDeviceInfoOk, param);
    SetLastStatus(kStatusDeviceInfoOk);
  } else {
    PostToDialog(UM_STATUS, kStatusDetectFail, 0);
    SetLastStatus(kStatusDetectFail);
  }
  return 1;
}

int CDevFlow::DEV_GetDeviceListAfterReset() {
  TraceScope scope("CDevFlow::DEV_GetDeviceListAfterReset");
  if (m_hDevice != 0) return 1;
  if (m_iSelDevice == -1) {
    PostToDialog(UM_STATUS, kStatusDetectFail, 0);
    return 0;
  }
  IDeviceListHost* list = m_ctx.pDeviceList;
  const std::string selected = list ? list->SelectedDeviceText() : std::string();
  const int count = GetDeviceCount();
  int opened = 0;
  for (int i = 0; i < count; ++i) {
    if (!MP_OpenDevice(i)) continue;
    MP_ReadIdentity(false);
    if (m_strVidPidRev == selected) {
      m_iSelDevice = opened;
      MP_ReadPortAndHub();
      DEV_HandPortToDialog();
      if (AutoRunSet() && list) list->SetAutoRunEvent();
      DEV_SelectDefaultImage();
      if (DEV_ChecksEnabled()) m_bVidPidAllowed = DEV_CheckAllowed();
      DEV_CloseDevice();
      PostToDialog(UM_STATUS, kStatusDeviceInfoOk, 0);
      return 1;
    }
    DEV_CloseDevice();
    ++opened;
  }
  PostToDialog(UM_STATUS, kStatusDetectFail, 0);
  return 1;
}

int CDevFlow::Dev_OpenDeviceForMultiCamera() {
  TraceScope scope("CDevFlow::Dev_OpenDeviceForMultiCamera");
  if (m_hDevice != 0) return 1;
  if (m_iSelDevice == -1) {
    PostToDialog(UM_STATUS, kStatusDetectFail, 0);
    return 0;
  }
  IDeviceListHost* list = m_ctx.pDeviceList;
  const int count = GetDeviceCount();
  for (int i = m_iSelDevice; i < count; ++i) {
    if (!MP_OpenDevice(i)) continue;
    MP_ReadPortAndHub();
    if (list && m_dwPortAddr == list->RememberedPortAddr() && m_dwHubInst == list->RememberedHubInst()) return 1;
    DEV_CloseDevice();
  }
  // The chosen device is gone: the dialog learns it the same way as of a missing choice, so
  // that a job which ends here does not end unreported.
  PostToDialog(UM_STATUS, kStatusDetectFail, 0);
  return 0;
}

int CDevFlow::DEV_GetDeviceListExist() {
  TraceScope scope("CDevFlow::DEV_GetDeviceListExist");
  m_bFamilyF000Present = false;
  m_bFamily1010Present = false;
  const int count = GetDeviceCount();
  for (int i = 0; i < count; ++i) {
    if (!MP_OpenDevice(i)) continue;
    DEV_ReadChipIdentity();
    const std::uint16_t family = static_cast<std::uint16_t>(m_byChipId[0] | (m_byChipId[1] << 8));
    if (family == 0xF000) m_bFamilyF000Present = true;
    if (family == 0x1010) m_bFamily1010Present = true;
  }
  PostToDialog(UM_STATUS, kStatusDeviceInfoOk, 0);
  return 1;
}

}  // namespace drover
