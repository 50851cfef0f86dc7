// The download of the NOR leaf: erase, blank check, write, read back, compare, tag, restart.
#include <algorithm>
#include <array>

#include "base/bytes.h"
#include "base/status.h"
#include "base/trace.h"
#include "engine/flash_info.h"
#include "engine/update_rules.h"
#include "image/config_block.h"
#include "transport/kes_device.h"

namespace drover {

int CMpFlow_Flash::NOR_Update() {
  TraceScope scope("CMpFlow_Flash::NOR_Update");
  const auto fail = [&](std::uint32_t id) {
    PostToDialog(UM_ERROR, id, 0);
    return 0;
  };
  const auto run = [&]() -> int {
    const std::size_t len = m_pFileData.size();
    if (!AllocateZeroed(m_pReadBuf, len)) return fail(kIdMallocFail);
    // Nothing to write: refused before the erase would take the code the device has.
    if (len == 0) return fail(kIdUpdateFlashFail);
    if (!MP_OpenRomDevice()) return 0;

    const bool erased = GuardedErase([&] { return KesEraseFlash(m_hDevice, m_dwCmdFlags); });
    PostToDialog(UM_PROGRESS, 30, 0);
    if (!erased) return fail(kIdEraseFlashFail);

    if (m_ctx.dwUpdateOptions & kOptBlankCheck) {
      PostToDialog(UM_STEP, kIdStepCheckEmpty, 0);
      for (std::size_t o = 0; o < len; o += kFlashPiece) {
        const std::size_t n = std::min<std::size_t>(kFlashPiece, len - o);
        if (!MP_ReadFlashBytes(static_cast<std::uint32_t>(o), std::span(m_pReadBuf).subspan(o, n)))
          return fail(kIdCheckEmptyFail);
        PostToDialog(UM_PROGRESS, PieceProgress(30, 20, o + n, len), 0);
      }
      if (!AllBlank(m_pReadBuf)) return fail(kIdCheckEmptyFail);
    }

    if (m_ctx.dwUpdateOptions & kOptVerify) {
      // The tag bytes are held back until the read-back matched, so that an update cut off
      // before never leaves a valid tag on part of an image.
      std::vector<std::uint8_t> image = m_pFileData;
      const std::size_t tag = m_ctx.IcType().TagAddress();
      const bool holdTag = !m_bTagInImage && tag <= len && len - tag >= 2;
      if (holdTag) {
        image[tag] = 0xFF;
        image[tag + 1] = 0xFF;
      }
      // An image with its block at the start marks itself valid by the block's signature
      // byte: held blank the same way and written once the read-back matched.
      const bool holdSignature = m_bTagInImage && !m_bBootStatusChip && len > 1 && image[1] == kBlockSignature;
      if (holdSignature) image[1] = 0xFF;
      PostToDialog(UM_STEP, kIdStepDownload, 0);
      for (std::size_t o = 0; o < len; o += kFlashPiece) {
        const std::size_t n = std::min<std::size_t>(kFlashPiece, len - o);
        const std::span<const std::uint8_t> piece = std::span<const std::uint8_t>(image).subspan(o, n);
        if (!GuardedRetry([&] { return KesWriteFlash(m_hDevice, m_dwCmdFlags, static_cast<std::uint32_t>(o), piece); }))
          return fail(kIdUpdateFlashFail);
        PostToDialog(UM_PROGRESS, PieceProgress(50, 20, o + n, len), 0);
      }
      PostToDialog(UM_STEP, kIdStepVerify, 0);
      for (std::size_t o = 0; o < len; o += kFlashPiece) {
        const std::size_t n = std::min<std::size_t>(kFlashPiece, len - o);
        if (!MP_ReadFlashBytes(static_cast<std::uint32_t>(o), std::span(m_pReadBuf).subspan(o, n)))
          return fail(kIdReadFlashFail);
        PostToDialog(UM_PROGRESS, PieceProgress(70, 20, o + n, len), 0);
      }
      if (image != m_pReadBuf) return fail(kIdCompareFail);
      if (holdSignature) {
        const std::array<std::uint8_t, 1> signature{kBlockSignature};
        if (!GuardedRetry([&] { return KesWriteFlash(m_hDevice, m_dwCmdFlags, 1, signature); }))
          return fail(kIdWriteTagFail);
      }
      if (!m_bTagInImage) {
        PostToDialog(UM_STEP, kIdStepWriteTag, 0);
        if (!Guarded([&] { return KesNorFlashWriteTag(m_hDevice, m_dwCmdFlags); })) return fail(kIdWriteTagFail);
      }
    }

    if (m_ctx.dwUpdateOptions & kOptResetToCache) {
      PostToDialog(UM_STEP, kIdStepResetToCode, 0);
      if (!MP_Reset(kResetToCode, 0)) return fail(kIdResetFail);
    }
    PostToDialog(UM_PROGRESS, 100, 0);
    PostToDialog(UM_RESULT, kIdFirmwareUpdateOk, 0);
    return 1;
  };
  const int result = run();
  MP_GetStatusVersion();
  MP_RefreshVersion();
  return result;
}

int CNORFlashInfo_USB::DEV_Download() { return NOR_Update(); }

}  // namespace drover
