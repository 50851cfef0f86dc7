// The built-in default image of the open device: which one, its version and its flags.
#include <algorithm>
#include <array>

#include "base/trace.h"
#include "engine/chip_family.h"
#include "engine/dev_flow.h"
#include "image/config_block.h"
#include "resources/resource.h"

namespace drover {

namespace {

// Where the 8 version bytes e0..e7 sit in a built-in image, by its length.
constexpr std::size_t kVersionOffsetSmall = 0x11B;
constexpr std::size_t kVersionOffsetLarge = 0x100C;
// The block whose leading items carry the bank copy and force update flags of the image.
constexpr std::size_t kDefaultBlockOffset = 5120;
constexpr std::size_t kDefaultBlockBytes = 4096;
constexpr const char* kUpdateVersionPrefix = "Update FW version:";

}  // namespace

bool CDevFlow::DEV_LoadBuiltInImage(int resourceId) {
  const std::span<const std::uint8_t> data = res::FindResource(kFirmwareResourceType, resourceId);
  if (data.empty()) return false;
  m_pCodeData.assign(data.begin(), data.end());
  m_pCodeImage.reset();
  return true;
}

int CDevFlow::DEV_SelectDefaultImage() {
  TraceScope scope("CDevFlow::DEV_SelectDefaultImage");
  DEV_ReadChipIdentity();
  // The IC type of the chip becomes the active definition when one matches; this step does
  // not depend on whether one did.
  SearchIcTypeByRegisters(m_ctx.pIcType, m_ctx.uIniType, m_byChipId[0], m_byChipId[1]);

  MP_GetDeviceInfo();
  if (m_ctx.uMemoryType == kMemoryOtp) m_iOtpInfo = DEV_GetOtpUsage();

  int resourceId = 0;
  const std::string name = FirmwareNameFromIdentity(m_strVidPidRev);
  const CICTypeIni& ic = m_ctx.IcType();
  bool loaded = ic.FindFirmwareId(name, resourceId) && DEV_LoadBuiltInImage(resourceId);
  if (!loaded) loaded = ic.GetDefaultFirmwareId(resourceId) && DEV_LoadBuiltInImage(resourceId);
  if (!loaded) {
    m_pCodeData.clear();
    m_pCodeImage.reset();
  }

  // Bytes an image too short to hold them does not have read as zero.
  std::array<std::uint8_t, 8> e{};
  const std::size_t at = m_pCodeData.size() < kFlashImageSize ? kVersionOffsetSmall : kVersionOffsetLarge;
  if (m_pCodeData.size() >= at + e.size()) std::copy_n(m_pCodeData.begin() + static_cast<std::ptrdiff_t>(at), e.size(), e.begin());
  const ImageVersion v = DecodeImageVersion(e);
  m_wImageVer = v.numbers;
  m_strUpdateVersion = kUpdateVersionPrefix + v.text;
  m_strFwFile = m_strUpdateVersion;

  m_bBankCopy = false;
  m_bForceUpdateA = false;
  m_bForceUpdateB = false;
  if (m_pCodeData.size() >= kDefaultBlockOffset + kBlockHeaderSize) {
    const std::size_t n = std::min(kDefaultBlockBytes, m_pCodeData.size() - kDefaultBlockOffset);
    ConfigBlockParser parser;
    parser.LoadBlock(std::span<const std::uint8_t>(m_pCodeData).subspan(kDefaultBlockOffset, n));
    if (parser.ReadHeader() != nullptr) {
      const LeadingItems& lead = parser.Leading();
      m_bBankCopy = lead.bBankCopy && lead.byBankCopy == 0x5A;
      m_bForceUpdateA = lead.bForceUpdate && (lead.byForceUpdate & 0x10) != 0;
      m_bForceUpdateB = lead.bForceUpdate && (lead.byForceUpdate & 0x40) != 0;
    }
  }

  m_pCodeData.clear();
  m_pCodeImage.reset();
  m_pFileData.clear();
  m_pFileImage.reset();
  return 1;
}

}  // namespace drover
