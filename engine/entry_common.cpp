// What the download entry points of every family share: loading and checking the firmware
// file, the serial-number pre-action, the countdown of dialog mode, the verify compare, the
// silent read to a file and the erase's restart option.
#include <algorithm>

#include "base/clock.h"
#include "base/file_util.h"
#include "base/settings.h"
#include "base/status.h"
#include "engine/config_info.h"
#include "engine/update_rules.h"
#include "image/serial_number.h"

namespace drover {

namespace {
constexpr std::size_t kFallBackMinimum = 0x10000;  // an image already loaded that may stand in
constexpr std::uint32_t kCountdownStepMs = 1000;
}  // namespace

bool CEepromConfigInfo::LoadFirmwareFile(const std::string& path) {
  std::vector<std::uint8_t> data;
  if (!LoadFile(path, data)) return false;
  m_pFileData = std::move(data);
  m_pFileCopy = m_pFileData;
  m_pFileImage.reset();
  return true;
}

int CEepromConfigInfo::SilentLoad(const TraceScope& scope, const std::string& path) {
  m_strFwFile = path;
  if (LoadFirmwareFile(path)) return 1;
  PostToDialog(UM_ERROR, kIdLoadFileFail, 0);
  TraceFail(scope, "Load File Data Fail!\n");
  return 0;
}

int CEepromConfigInfo::SilentLoadAndCheck(const TraceScope& scope, const std::string& path, bool fallBack,
                                          bool allow8and9) {
  m_strFwFile = path;
  if (!LoadFirmwareFile(path) && !(fallBack && m_pFileData.size() >= kFallBackMinimum)) {
    PostToDialog(UM_ERROR, kIdLoadFileFail, 0);
    TraceFail(scope, "Load File Data Fail!\n");
    return 0;
  }
  if (!DEV_ParseImage(m_pFileData)) {
    PostToDialog(UM_ERROR, kIdParseFileFail, 0);
    TraceFail(scope, "Parse FW File Fail!\n");
    return 0;
  }
  if (!ChipCodesMatch(m_byChipCode, m_ctx.IcType().ChipCode(), allow8and9)) {
    PostToDialog(UM_ERROR, kIdWrongFirmware, 0);
    TraceFail(scope, "Firmware is not for this device\n");
    return 0;
  }
  return 1;
}

int CEepromConfigInfo::RunPreAction(std::uint32_t initial, std::uint32_t& err) {
  err = initial;
  const int ok = PreActionForAllInOne(PrepareImageState(), m_pFileData, m_strManufacturer, err);
  TakeImageState();
  return ok;
}

void CEepromConfigInfo::SaveSnCountdown() {
  if (m_ctx.bCommandLineMode || ConfigInt("SaveSN", 0) == 0) return;
  for (const char* text : {"2", "1"}) {
    if (m_ctx.setVerdictText) m_ctx.setVerdictText(text);
    PostToDialog(UM_STEP, 0, 0);
    Clock().Sleep(kCountdownStepMs);
  }
}

int CEepromConfigInfo::CompareWithFile() {
  if (m_pReadBuf.size() >= m_pFileData.size() && std::equal(m_pFileData.begin(), m_pFileData.end(), m_pReadBuf.begin()))
    return 1;
  SetLastStatus(kIdCompareFail);
  return 0;
}

int CEepromConfigInfo::ReadCodeToFile(const std::string& path, bool asText, std::uint32_t saveFailId) {
  TraceScope scope("CEepromConfigInfo::ReadCodeToFile", false);
  if (!DEV_ReadCode()) return 0;
  CreateDirectoryChain(path);
  if (asText ? WriteHexDump(path, m_pReadBuf) : WriteFileBytes(path, m_pReadBuf)) return 1;
  TraceFail(scope, "Save dump file fail\n");
  PostToDialog(UM_ERROR, saveFailId, 0);
  return 0;
}

void CEepromConfigInfo::SetResetToCode(std::uint32_t resetToCode) {
  if (resetToCode) {
    m_ctx.dwUpdateOptions |= kOptResetToCache;
  } else {
    m_ctx.dwUpdateOptions &= ~kOptResetToCache;
  }
}

}  // namespace drover
