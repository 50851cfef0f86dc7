// The EEPROM entry points of CEepromInfo and the slots of the two EEPROM leaves.
#include "base/bytes.h"
#include "base/status.h"
#include "base/trace.h"
#include "engine/eeprom_info.h"
#include "engine/update_rules.h"

namespace drover {

int CEepromInfo::EEU16_Download() {
  TraceScope scope("CEepromInfo::EEU16_Download");
  std::uint32_t err = 0;
  if (!RunPreAction(kIdDownloadEepromOk, err)) {
    PostToDialog(UM_ERROR, err, 0);
    return 0;
  }
  int result = 0;
  if (!AllocateZeroed(m_pReadBuf, m_pFileData.size())) {
    PostToDialog(UM_ERROR, kIdMallocFail, 0);
  } else if (MP_OpenRomDevice()) {
    result = EE16_Update(m_pFileData);
    if (result) {
      SaveSnCountdown();
      PostToDialog(UM_PROGRESS, 100, 0);
      PostToDialog(UM_RESULT, kIdDownloadEepromOk, 0);
    }
  }
  if (!m_ctx.bCommandLineMode) MP_RefreshVersion();
  return result;
}

int CEepromInfo::EEU8_Download() {
  TraceScope scope("CEepromInfo::EEU8_Download");
  std::uint32_t err = 0;
  if (!RunPreAction(kIdDownloadEepromOk, err)) {
    PostToDialog(UM_ERROR, err, 0);
    return 0;
  }
  int result = 0;
  if (!AllocateZeroed(m_pReadBuf, m_pFileData.size())) {
    PostToDialog(UM_ERROR, kIdMallocFail, 0);
  } else if (MP_OpenRomDevice()) {
    result = EE8_UpdateEx_Cmd2(m_pFileData, true);
    if (result) {
      SaveSnCountdown();
      PostToDialog(UM_PROGRESS, 100, 0);
      PostToDialog(UM_RESULT, kIdDownloadEepromOk, 0);
    }
  }
  MP_GetStatusVersion();
  MP_RefreshVersion();
  return result;
}

int CEepromInfo::EEU16_Silence_WriteBin(const std::string& path) {
  TraceScope scope("CEepromInfo::EEU16_Silence_WriteBin");
  if (!SilentLoadAndCheck(scope, path, false, false)) return 0;
  return EEU16_Download();
}

int CEepromInfo::EEU16_Silence_WriteSNBin(const std::string& path, const std::string&) {
  TraceScope scope("CEepromInfo::EEU16_Silence_WriteSNBin");
  if (!SilentLoadAndCheck(scope, path, false, false)) return 0;
  return EEU16_Download();
}

int CEepromInfo::EEU8_Silence_WriteBin(const std::string& path) {
  TraceScope scope("CEepromInfo::EEU8_Silence_WriteBin");
  if (!SilentLoadAndCheck(scope, path, false, false)) return 0;
  return EEU8_Download();
}

int CEepromInfo::EEU8_Silence_WriteSNBin(const std::string& path, const std::string&) {
  TraceScope scope("CEepromInfo::EEU8_Silence_WriteSNBin");
  if (!SilentLoadAndCheck(scope, path, false, false)) return 0;
  return EEU8_Download();
}

int CEepromInfo::EEU16_Silence_VerifyBin(const std::string& path) {
  TraceScope scope("CEepromInfo::EEU16_Silence_VerifyBin");
  if (!SilentLoad(scope, path)) return 0;
  m_ctx.dwDumpSize = static_cast<std::uint32_t>(m_pFileData.size());
  if (!EE_ReadJob(true)) return 0;
  return CompareWithFile();
}

int CEepromInfo::EEU8_Silence_VerifyBin(const std::string& path) {
  TraceScope scope("CEepromInfo::EEU8_Silence_VerifyBin");
  if (!SilentLoad(scope, path)) return 0;
  m_ctx.dwDumpSize = static_cast<std::uint32_t>(m_pFileData.size());
  if (!EE_ReadJob(false)) return 0;
  return CompareWithFile();
}

// ---- slots of the 16-bit leaf ----

int CEepromInfo16_USB::DEV_ReadCode() { return EE_ReadJob(true); }
int CEepromInfo16_USB::DEV_EraseCode() { return EE_EraseJob(true); }

int CEepromInfo16_USB::DEV_UpdateCode() {
  TraceScope scope("CEepromInfo16_USB::DEV_UpdateCode");
  int result = MP_OpenRomDevice();
  if (result) result = EE16_Update(m_pCodeData);
  if (result) {
    PostToDialog(UM_PROGRESS, 100, 0);
    PostToDialog(UM_RESULT, kIdUpdateEepromOk, 0);
  }
  MP_RefreshVersion();
  return result;
}

int CEepromInfo16_USB::DEV_Download() { return EEU16_Download(); }
int CEepromInfo16_USB::DEV_Silence_WriteBin(const std::string& path) { return EEU16_Silence_WriteBin(path); }
int CEepromInfo16_USB::DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  return EEU16_Silence_WriteSNBin(path, serial);
}

int CEepromInfo16_USB::DEV_Silence_ReadBin(const std::string& path) {
  TraceScope scope("CEepromInfo16_USB::DEV_Silence_ReadBin");
  return ReadCodeToFile(path, false, kIdReadEepromFail);
}

int CEepromInfo16_USB::DEV_Silence_VerifyBin(const std::string& path) { return EEU16_Silence_VerifyBin(path); }

int CEepromInfo16_USB::DEV_Silence_ReadText(const std::string& path) {
  TraceScope scope("CEepromInfo16_USB::DEV_Silence_ReadText");
  return ReadCodeToFile(path, true, kIdReadEepromFail);
}

int CEepromInfo16_USB::DEV_Silence_Erase(std::uint32_t resetToCode) {
  SetResetToCode(resetToCode);
  return EE_EraseJob(true);
}

// ---- slots of the 8-bit leaf ----

int CEepromInfo8_USB::DEV_ReadCode() { return EE_ReadJob(false); }
int CEepromInfo8_USB::DEV_EraseCode() { return EE_EraseJob(false); }

int CEepromInfo8_USB::DEV_UpdateCode() {
  TraceScope scope("CEepromInfo8_USB::DEV_UpdateCode");
  if (!MP_OpenRomDevice()) return 0;
  int result = 0;
  if (!AllocateZeroed(m_pReadBuf, m_pCodeData.size())) {
    PostToDialog(UM_ERROR, kIdMallocFail, 0);
  } else {
    result = EE8_UpdateEx_Cmd2(m_pCodeData, false);
  }
  if (result) {
    PostToDialog(UM_PROGRESS, 100, 0);
    PostToDialog(UM_RESULT, kIdUpdateEepromOk, 0);
  }
  MP_RefreshVersion();
  return result;
}

int CEepromInfo8_USB::DEV_Download() { return EEU8_Download(); }
int CEepromInfo8_USB::DEV_Silence_WriteBin(const std::string& path) { return EEU8_Silence_WriteBin(path); }
int CEepromInfo8_USB::DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  return EEU8_Silence_WriteSNBin(path, serial);
}

int CEepromInfo8_USB::DEV_Silence_ReadBin(const std::string& path) {
  TraceScope scope("CEepromInfo8_USB::DEV_Silence_ReadBin");
  return ReadCodeToFile(path, false, kIdReadEepromFail);
}

int CEepromInfo8_USB::DEV_Silence_VerifyBin(const std::string& path) { return EEU8_Silence_VerifyBin(path); }

int CEepromInfo8_USB::DEV_Silence_ReadText(const std::string& path) {
  TraceScope scope("CEepromInfo8_USB::DEV_Silence_ReadText");
  return ReadCodeToFile(path, true, kIdReadEepromFail);
}

int CEepromInfo8_USB::DEV_Silence_Erase(std::uint32_t resetToCode) {
  SetResetToCode(resetToCode);
  return EE_EraseJob(false);
}

}  // namespace drover
