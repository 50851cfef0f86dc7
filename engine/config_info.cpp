#include "engine/config_info.h"

#include "base/trace.h"

namespace drover {

ImageState& CEepromConfigInfo::PrepareImageState() {
  m_imageState.pIcType = m_ctx.pIcType.get();
  m_imageState.dwMemorySize = m_ctx.dwDumpSize;
  m_imageState.uMemoryType = m_ctx.uMemoryType;
  return m_imageState;
}

void CEepromConfigInfo::TakeImageState() {
  m_ctx.uMemoryType = m_imageState.uMemoryType;
  m_imageState.pIcType = nullptr;  // the definition may be replaced before the next read
}

int CEepromConfigInfo::DEV_ParseImage(std::span<const std::uint8_t> image) {
  TraceScope scope("CEepromConfigInfo::DEV_ParseImage");
  const auto same = [&](const std::vector<std::uint8_t>& buffer) {
    return !buffer.empty() && image.data() == buffer.data() && image.size() == buffer.size();
  };
  const bool isCode = same(m_pCodeData);
  const bool isFile = !isCode && same(m_pFileData);
  if (!isCode && !isFile) return 0;

  const std::optional<std::size_t> region = LocateConfigBlock(PrepareImageState(), image);
  TakeImageState();
  m_byChipCode = m_imageState.byChipCode;
  m_bTagInImage = m_imageState.bTagInImage;
  // The readers only ever set these two; a flag once seen stays with the flow.
  if (m_imageState.bBankCopy) m_bBankCopy = true;
  if (m_imageState.bForceUpdateA) m_bForceUpdateA = true;
  m_bForceUpdateB = m_imageState.bForceUpdateB;
  if (isCode) {
    m_pCodeImage = region;
  } else {
    m_pFileImage = region;
  }
  return region ? 1 : 0;
}

}  // namespace drover
