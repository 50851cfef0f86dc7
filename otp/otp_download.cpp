// The download and update jobs of COTPInfo, their pre-checks, the command-line downloads,
// the space report and the slots of the OTP leaf.
#include "otp/otp_download.h"

#include <string>

#include "base/file_util.h"
#include "base/message_box.h"
#include "base/status.h"
#include "base/trace.h"
#include "image/image_format.h"
#include "image/serial_number.h"

namespace drover::otp {

namespace {
constexpr unsigned kQuestion = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;

bool Confirmed(const char* text) { return ShowMessageBox(text, "Drover", kQuestion) == IDYES; }
}  // namespace

// ---- pre-checked block update ----

bool COTPInfo::OTP_UpdateChecked(std::span<const std::uint8_t> image) {
  TraceScope scope("COTPInfo::OTP_UpdateChecked");
  const std::uint32_t used = Queries().UsedCodeArea();
  // Unsigned on purpose: a used figure beyond the code area skips the space question.
  const std::uint32_t free = kCodeAreaSize - used;
  const int entries = GetFreeVDEntryCount();

  bool refused = false;
  if (entries == 0) {
    ShowMessageBox(kTextNoVdBlock, "Drover", MB_OK | MB_ICONWARNING);
    refused = true;
  } else if (free <= kSpaceQuestionLimit && !Confirmed(kTextSpaceLow)) {
    refused = true;
  } else if (entries <= kVdQuestionLimit && !Confirmed(kTextVdBlocksLow)) {
    refused = true;
  }
  if (refused) {
    TraceFail(scope, "The operator did not confirm the update\n");
    MP_Reset(kResetToCode, 0);
    PostToDialog(UM_ERROR, status::kWriteOtpFail, 0);
    return false;
  }
  return OTP_UpdateEx_Cmd2(image);
}

// ---- the download of the loaded file ----

bool COTPInfo::OTP_ForNormalDownload() {
  TraceScope scope("COTPInfo::OTP_ForNormalDownload");
  bool result = false;
  bool wroteAny = false;
  for (int part : {kPartCode, kPartConfig}) {
    ClearCurrentBlock();
    const int r = BuildOTPBlockImage(part);
    if (r == kBuildNoPart) continue;
    if (r == kBuildNotUsable) {
      Fail(scope, status::kGetVdCodeFail);
      return false;
    }
    wroteAny = true;
    PostToDialog(UM_STEP, status::kStepDownload, 0);
    result = OTP_UpdateChecked(OtpBlockImage());
    if (!result) return false;
  }
  if (!wroteAny) {
    // Nothing in the image is meant for OTP: that is no successful download.
    Fail(scope, status::kGetVdCodeFail);
    return false;
  }
  if (m_ctx.dwUpdateOptions & kOptResetToCache) {
    PostToDialog(UM_STEP, status::kStepResetToCode, 0);
    if (!MP_Reset(kResetToCode, 0)) {
      Fail(scope, status::kResetDeviceFail);
      return false;
    }
    return true;
  }
  return result;
}

int COTPInfo::OTP_Download() {
  TraceScope scope("COTPInfo::OTP_Download");
  ClearCurrentBlock();
  std::uint32_t err = status::kDownloadOtpOk;
  const int ready = PreActionForAllInOne(PrepareImageState(), m_pFileData, m_strManufacturer, err);
  TakeImageState();
  if (!ready) {
    PostToDialog(UM_ERROR, err, 0);
    return 0;
  }
  if (!MP_OpenRomDevice()) return 0;
  const int r = OTP_ForNormalDownload() ? 1 : 0;
  if (r == 1) {
    PostToDialog(UM_PROGRESS, 100, 0);
    PostToDialog(UM_RESULT, status::kDownloadOtpOk, 0);
  }
  ClearCurrentBlock();
  if (!m_ctx.bCommandLineMode) MP_RefreshVersion();
  return r;
}

// ---- the update with the built-in default image ----

int COTPInfo::OTP_Update() {
  TraceScope scope("COTPInfo::OTP_Update");
  ClearCurrentBlock();
  if (!MP_OpenRomDevice()) return 0;
  int result = 1;
  bool wroteAny = false;
  for (int part : {kPartCode, kPartConfig}) {
    ClearCurrentBlock();
    const int r = BuildOTPBlockImageDefault(part);
    if (r == kBuildNoPart) continue;
    if (r == kBuildNotUsable) {
      Fail(scope, status::kGetVdCodeFail);
      result = 0;
      break;
    }
    wroteAny = true;
    PostToDialog(UM_STEP, status::kStepDownload, 0);
    if (!OTP_UpdateChecked(OtpBlockImage())) {
      result = 0;
      break;
    }
  }
  if (result == 1 && !wroteAny) {
    // Nothing in the default image is meant for OTP: that is no successful update.
    Fail(scope, status::kGetVdCodeFail);
    result = 0;
  }
  if (result == 1 && (m_ctx.dwUpdateOptions & kOptResetToCache)) {
    PostToDialog(UM_STEP, status::kStepResetToCode, 0);
    if (!MP_Reset(kResetToCode, 0)) {
      Fail(scope, status::kResetDeviceFail);
      ClearCurrentBlock();
      return 0;
    }
  }
  if (result == 1) {
    PostToDialog(UM_PROGRESS, 100, 0);
    PostToDialog(UM_RESULT, status::kUpdateOtpOk, 0);
  }
  ClearCurrentBlock();
  MP_RefreshVersion();
  return result;
}

// ---- command-line downloads ----

int COTPInfo::SilentWrite(const TraceScope& scope, const std::string& path) {
  m_strFwFile = path;
  std::vector<std::uint8_t> data;
  if (!LoadFile(path, data)) {
    PostToDialog(UM_ERROR, status::kLoadFileFail, 0);
    TraceFail(scope, "Load File Data Fail!\n");
    return 0;
  }
  m_pFileData = std::move(data);
  m_pFileCopy = m_pFileData;
  m_pFileImage.reset();
  if (!DEV_ParseImage(m_pFileData)) {
    PostToDialog(UM_ERROR, status::kParseFileFail, 0);
    TraceFail(scope, "Parse FW File Fail!\n");
    return 0;
  }
  if (!ChipCodesMatch(m_byChipCode, m_ctx.IcType().ChipCode(), false)) {
    PostToDialog(UM_ERROR, status::kWrongFirmware, 0);
    TraceFail(scope, "Firmware is not for this device\n");
    return 0;
  }
  return OTP_Download();
}

int COTPInfo::Silence_OTPWriteBin(const std::string& path) {
  TraceScope scope("COTPInfo::Silence_OTPWriteBin");
  return SilentWrite(scope, path);
}

int COTPInfo::Silence_OTPWriteSNBin(const std::string& path, const std::string&) {
  TraceScope scope("COTPInfo::Silence_OTPWriteSNBin");
  return SilentWrite(scope, path);
}

// ---- space report ----

OtpSpace COTPInfo::OTP_GetSpace(std::uint64_t imageSize) { return ComputeOtpSpace(Queries(), imageSize); }

// ---- the leaf ----

int COTPInfo_USB::DEV_ReadCode() { return OTP_Read(); }
int COTPInfo_USB::DEV_EraseCode() { return 0; }
int COTPInfo_USB::DEV_UpdateCode() { return OTP_Update(); }
int COTPInfo_USB::DEV_Download() { return OTP_Download(); }
int COTPInfo_USB::DEV_Silence_WriteBin(const std::string& path) { return Silence_OTPWriteBin(path); }
int COTPInfo_USB::DEV_Silence_WriteSNBin(const std::string& path, const std::string& serial) {
  return Silence_OTPWriteSNBin(path, serial);
}
int COTPInfo_USB::DEV_Silence_ReadBin(const std::string& path) { return OTP_ReadToFile(path); }

std::int32_t COTPInfo_USB::DEV_GetOtpUsage() {
  TraceScope scope("COTPInfo_USB::DEV_GetOtpUsage");
  const OtpSpace space = OTP_GetSpace(m_pFileData.size());
  if (!space.bTableRead) {
    TraceFail(scope, "The block table cannot be read\n");
    return 0;
  }
  m_strConnect = OtpSpaceDetectionText(space, !m_pFileData.empty());
  return static_cast<std::int32_t>(space.dwUsed);
}

}  // namespace drover::otp
