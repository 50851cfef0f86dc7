// CParseArg: device preparation, the IC-type search for the firmware file and the actions.
#include <algorithm>

#include "app/parse_arg.h"
#include "base/file_util.h"
#include "base/settings.h"
#include "base/status.h"
#include "base/strfmt.h"
#include "base/trace.h"
#include "engine/dev_flow.h"
#include "engine/devflow_factory.h"
#include "image/ic_type.h"
#include "resources/resource.h"
#include "transport/kes_device.h"

namespace drover {

namespace {

constexpr std::uint32_t kStatusLoadFileFail = 41530;   // "Load File Data Fail!"
constexpr std::uint32_t kStatusWrongFirmware = 41715;  // "Firmware is not for the device!"

constexpr const char* kLoadFileFailText = "Load File Data Fail!\n";
constexpr const char* kGetIcInfoFailText = "Get IC Info Fail\n";

// Configuration block header: image kind byte, then the signature byte.
constexpr std::uint8_t kBlockSignature = 0xA5;
// The image kinds a firmware file for the command line may carry.
constexpr std::uint8_t kAcceptableKinds[] = {0x55, 0x12, 0x11, 0x40, 0x60};

enum class BlockLook { NoMarker, Acceptable, OtherKind };

// The block header at offset of the image; bytes beyond the image (or beyond the 2 MiB a work
// copy holds) are not there, so a header cut off by the end is no block.
BlockLook LookAtBlock(std::span<const std::uint8_t> image, std::size_t offset) {
  if (offset >= image.size()) return BlockLook::NoMarker;
  const std::size_t available = std::min(image.size() - offset, kSearchCopyLimit);
  if (available < 2) return BlockLook::NoMarker;
  const std::uint8_t kind = image[offset];
  if (image[offset + 1] != kBlockSignature) return BlockLook::NoMarker;
  const bool acceptable = std::find(std::begin(kAcceptableKinds), std::end(kAcceptableKinds), kind) !=
                          std::end(kAcceptableKinds);
  return acceptable ? BlockLook::Acceptable : BlockLook::OtherKind;
}

// Whether definition (with its ConfigAddress) sees an acceptable block in the image: at
// ConfigAddress, else at the image start.
bool BlockFits(std::span<const std::uint8_t> image, std::uint32_t configAddress) {
  if (image.size() < configAddress) {
    switch (LookAtBlock(image, 0)) {
      case BlockLook::NoMarker: return false;
      case BlockLook::Acceptable: return true;
      case BlockLook::OtherKind: break;  // the look at ConfigAddress decides
    }
  }
  BlockLook look = LookAtBlock(image, configAddress);
  if (look == BlockLook::NoMarker) look = LookAtBlock(image, 0);
  return look == BlockLook::Acceptable;
}

}  // namespace

bool CParseArg::LoadFileArgument(CDevFlow& flow, const std::string& path) {
  flow.m_strFwFile = path;
  std::vector<std::uint8_t> data;
  if (!LoadFile(path, data)) return false;
  flow.m_pFileData = std::move(data);
  flow.m_pFileCopy = flow.m_pFileData;
  flow.m_pFileImage.reset();
  return true;
}

bool CParseArg::TakeBuiltInImage(CDevFlow& flow) {
  const CICTypeIni& ic = m_ctx.engine.IcType();
  int id = 0;
  std::span<const std::uint8_t> data;
  if (ic.FindFirmwareId(FirmwareNameFromIdentity(flow.m_strVidPidRev), id))
    data = res::FindResource(kFirmwareResourceType, id);
  if (data.empty() && ic.GetDefaultFirmwareId(id)) data = res::FindResource(kFirmwareResourceType, id);
  if (data.empty()) return false;
  flow.m_pFileData.assign(data.begin(), data.end());
  flow.m_pFileCopy = flow.m_pFileData;
  flow.m_pFileImage.reset();
  return true;
}

bool CParseArg::FindFittingIcType(CDevFlow& flow) {
  EngineContext& engine = m_ctx.engine;
  if (!engine.pIcType) {
    engine.pIcType = std::make_unique<CICTypeIni>(engine.uIniType);
    engine.pIcType->BuildDefinitionList();
  }
  const std::size_t count = engine.pIcType->DefinitionCount();
  for (std::size_t i = 0; i < count; ++i) {
    // The image parse reads the active definition, so definition i becomes the active one.
    if (!engine.pIcType->SelectAndMatchRegisters(flow.m_byChipId[0], flow.m_byChipId[1], i)) continue;
    if (!BlockFits(flow.m_pFileData, engine.pIcType->ConfigAddress())) continue;
    if (!flow.m_pFileData.empty() && flow.DEV_ParseImage(flow.m_pFileData)) return true;
  }
  return false;
}

bool CParseArg::RecreateDeviceFlow() {
  TraceScope scope("CParseArg::RecreateDeviceFlow");
  const DevInst handle = m_ctx.pDevFlow ? m_ctx.pDevFlow->m_hDevice : 0;
  RecreateDevFlow(m_ctx.pDevFlow, m_ctx.engine, true, true);
  if (m_ctx.pDevFlow) return true;
  // No device-flow object serves this memory: nobody would close the device later.
  if (handle != 0) CloseCurrentDevice();
  TraceFail(scope, StrFormat("No device flow for memory type %u\n", m_ctx.engine.uMemoryType));
  SetLastStatus(kStatusNotSupport);
  return false;
}

int CParseArg::PrepareDevice() {
  TraceScope scope("CParseArg::PrepareDevice");
  OpenResultFile();
  if (LoadICTypeIni()) {
    m_ctx.pDevFlow->DEV_RefreshDeviceInfo();
    SetLastStatus(0);
    return 1;
  }
  m_resultFile.Write("fail");
  m_resultFile.Close();
  Print(kGetIcInfoFailText);
  PrintPrompt();
  return 0;
}

int CParseArg::LoadICTypeIni() {
  TraceScope scope("CParseArg::LoadICTypeIni");
  if (!m_ctx.pDevFlow) {
    TraceFail(scope, "No device flow\n");
    SetLastStatus(kStatusNotSupport);
    return 0;
  }
  CDevFlow* flow = m_ctx.pDevFlow.get();

  // 1. The device.
  if (ConfigInt("CheckVIDPID_INI", 0) != 0) {
    if (!flow->DEV_OpenDeviceByVIDPID()) return 0;
  } else {
    if (m_iFirstDevice < 0) {
      // No index is tried at all; the run must still end as a failure.
      TraceFail(scope, StrFormat("Invalid device index %d\n", m_iFirstDevice));
      SetLastStatus(kStatusDetectFail);
      return 0;
    }
    bool opened = false;
    for (std::int64_t i = m_iFirstDevice; i < static_cast<std::int64_t>(m_iFirstDevice) + 3 && i <= INT32_MAX; ++i) {
      if (flow->DEV_OpenDeviceByICIni(static_cast<int>(i))) {
        opened = true;
        break;
      }
    }
    if (!opened) return 0;
  }

  // 2. Actions that need no firmware file.
  if (m_cAction == kActionVersion || m_cAction == kActionDumpSpi || m_cAction == kActionErase) return 1;
  if (m_cAction == kActionDumpOtp) {
    m_ctx.engine.uMemoryType = kMemoryOtp;
    return RecreateDeviceFlow() ? 1 : 0;
  }

  // 3. The firmware file, else the built-in image of the device.
  int loadResult = LoadFileArgument(*flow, m_strFileArg) ? 1 : 0;
  if (!loadResult) TakeBuiltInImage(*flow);
  if (flow->m_pFileData.size() < kMinimumImageSize) {
    PostToDialog(UM_ERROR, kStatusLoadFileFail, 0);
    TraceFail(scope, kLoadFileFailText);
    Print(kLoadFileFailText);
    return 0;
  }

  // 4. The IC type that fits the image.
  if (!FindFittingIcType(*flow)) {
    if (loadResult == 0) {
      // The built-in image fits no IC type either: a failure, not a quiet 0.
      TraceFail(scope, "No IC type fits the image\n");
      SetLastStatus(kStatusWrongFirmware);
    }
    return loadResult;
  }

  // 5. Another memory than SPI flash needs its own device-flow object.
  if (m_ctx.engine.uMemoryType != kMemorySpiFlash) {
    std::vector<std::uint8_t> image = flow->m_pFileData;
    if (!RecreateDeviceFlow()) return 0;
    flow = m_ctx.pDevFlow.get();
    if (!LoadFileArgument(*flow, flow->m_strFwFile)) {
      // The image came from the program itself: it goes over to the new object.
      flow->m_pFileData = std::move(image);
      flow->m_pFileCopy = flow->m_pFileData;
    }
  }
  return 1;
}

int CParseArg::Excute_Arg_Normal() {
  TraceScope scope("CParseArg::Excute_Arg_Normal");
  CDevFlow* flow = m_ctx.pDevFlow.get();
  if (flow) flow->m_dwCmdFlags = 0x40;

  const ActionRow* row = FindAction(m_cAction);
  if (row && !row->startText.empty()) Print(std::string(row->startText));

  if (m_cAction == kActionVersion) {
    Print(StrFormat("Current FW Version: %s!\r\n", flow ? flow->m_strFwVersion.c_str() : ""));
    PrintPrompt();
    return 0;
  }

  SetLastStatus(0);
  int result = 0;
  if (!flow || !row) {
    SetLastStatus(kStatusNotSupport);
  } else {
    switch (m_cAction) {
      case kActionWrite: result = flow->DEV_Silence_WriteBin(m_strFileArg); break;
      case kActionVerify: result = flow->DEV_Silence_VerifyBin(m_strFileArg); break;
      case kActionErase: result = flow->DEV_Silence_Erase(1); break;
      case kActionDumpOtp:
      case kActionDumpSpi: result = flow->DEV_Silence_ReadBin(m_strFileArg); break;
      case kActionDetect:
        result = LoadFileArgument(*flow, m_strFileArg) ? 1 : 0;
        if (!result) {
          // Nothing else reports the missing file, and a failed run must not end as 0.
          PostToDialog(UM_ERROR, kStatusLoadFileFail, 0);
          TraceFail(scope, kLoadFileFailText);
        } else {
          if (m_ctx.seams.reportOtpSpace) {
            // A report that could not read the OTP has no usage text to show: it fails.
            result = m_ctx.seams.reportOtpSpace(m_ctx, *flow) ? 1 : 0;
          } else {
            ReportNotBuilt("the OTP space report");
            result = 0;
          }
        }
        break;
      default: SetLastStatus(kStatusNotSupport); break;
    }
  }

  if (result) {
    Print(std::string(row->passText));
    if (m_cAction == kActionDetect) Print(flow->m_strConnect + "\r\n");
  } else if (row && !row->failText.empty()) {
    Print(std::string(row->failText));
  }
  PrintPrompt();
  return result;
}

}  // namespace drover
