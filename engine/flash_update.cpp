// The flash update: the flash primitives of CMpFlow and CMpFlow2 and the update, erase and
// read sequences of CMpFlow_Flash.
#include <algorithm>
#include <array>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/file_util.h"
#include "base/message_box.h"
#include "base/settings.h"
#include "base/status.h"
#include "base/thread_flag.h"
#include "base/trace.h"
#include "engine/chip_family.h"
#include "engine/flash_info.h"
#include "engine/update_rules.h"
#include "image/config_block.h"
#include "transport/kes_device.h"

namespace drover {

namespace {

constexpr std::uint32_t kDefaultEraseTimeOutMs = 10000;
constexpr std::uint32_t kDataControlWide = 64;
constexpr std::uint32_t kDataControlNormal = 8;
constexpr std::size_t kDumpSizeNeedsReset = 0x4000;
constexpr const char* kRebootQuestion = "Reboot the device to launch new FW?";
constexpr const char* kRebootCaption = "Warning";

// The configuration block's signature byte within the block.
constexpr std::uint32_t kSignatureOffset = 1;

// Whether the update's erase has surely blanked the flash up to image offset `end`: the
// register-selected erase of chip code 30 may have taken only the block at 0, and a piece
// beyond it that is taken as blank unread could keep old bytes under a passed verify.
bool ErasedForSure(std::uint8_t chipCode, std::size_t end) {
  return EraseKindOf(chipCode, false) != EraseKind::kByRegister0409 || end <= kFlashBlock;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Primitives of CMpFlow and CMpFlow2
// ---------------------------------------------------------------------------------------

std::uint32_t CMpFlow::MP_FlashAddress(std::uint32_t o, std::uint32_t len) const {
  return FlashImageBase(m_ctx.IcType().ChipCode(), len) + o;
}

bool CMpFlow::MP_ChangeDataControlSize(std::uint32_t size) {
  return Guarded([&] {
    std::uint32_t s = size;
    return KesChangeDataControlSize(m_hDevice, m_dwCmdFlags, s);
  });
}

int CMpFlow::MP_EraseFlash(int whole, std::uint32_t len) {
  TraceScope scope("CMpFlow::MP_EraseFlash");
  const std::uint32_t timeoutMs = ConfigInt("EraseTimeOut", static_cast<std::int32_t>(kDefaultEraseTimeOutMs));
  const std::uint32_t extraWaitMs = ConfigInt("EraseCommandTime", 0);
  PostToDialog(UM_STEP, kIdStepErasing, 0);

  const std::uint8_t chipCode = m_ctx.IcType().ChipCode();
  const auto eraseChip = [&] {
    return Guarded([&] { return KesSpiEraseChip(m_hDevice, m_dwCmdFlags, timeoutMs); });
  };
  const auto eraseBlock = [&](std::uint32_t address, bool wait) {
    return Guarded([&] { return KesSpiEraseBlock(m_hDevice, m_dwCmdFlags, address, wait); });
  };
  const auto eraseOnce = [&]() -> bool {
    switch (EraseKindOf(chipCode, whole != 0)) {
      case EraseKind::kChip:
        return eraseChip();
      case EraseKind::kSecondBankBlock:
        return eraseBlock(kSecondBank, false);
      case EraseKind::kBlocksAboveImage: {
        // The image's own bank above its length; an image shorter than a block leaves no
        // block to erase, which is a failed erase rather than an unerased flash.
        const std::uint32_t blocks = len / kFlashBlock;
        if (blocks == 0) return false;
        for (std::uint32_t b = 0; b < blocks; ++b)
          if (!eraseBlock(len + b * kFlashBlock, true)) return false;
        return true;
      }
      case EraseKind::kByRegister0409: {
        std::uint8_t select = 0;
        if (!MP_ReadReg(kEraseSelectRegister, select)) return false;
        return (select & kEraseSelectBlockBit) != 0 ? eraseBlock(0, false) : eraseChip();
      }
    }
    return false;
  };

  bool ok = false;
  for (int attempt = 0; attempt < kEraseTries; ++attempt) {
    if (StopRequested()) break;
    if (eraseOnce()) {
      ok = true;
      break;
    }
    if (attempt + 1 < kEraseTries) Clock().Sleep(kErasePauseMs);
  }
  if (!ok) TraceLine(scope, "Erase fail, chip code %u\n", chipCode);
  if (extraWaitMs != 0) Clock().Sleep(extraWaitMs);
  PostToDialog(UM_PROGRESS, 5, 0);
  return ok ? 1 : 0;
}

int CMpFlow::MP_WriteFlashCode(std::span<const std::uint8_t> image) {
  TraceScope scope("CMpFlow::MP_WriteFlashCode");
  PostToDialog(UM_STEP, kIdStepDownload, 0);
  const std::size_t len = image.size();
  if (len == 0) return 0;
  const std::uint32_t len32 = static_cast<std::uint32_t>(len);
  for (std::size_t o = 0; o < len; o += kFlashPiece) {
    if (StopRequested()) return 0;
    const std::size_t n = std::min<std::size_t>(kFlashPiece, len - o);
    if (!MP_WriteFlashBytes(MP_FlashAddress(static_cast<std::uint32_t>(o), len32), image.subspan(o, n))) {
      TraceLine(scope, "Write piece 0x%zX fail\n", o);
      return 0;
    }
    PostToDialog(UM_PROGRESS, PieceProgress(35, 30, o + n, len), 0);
  }
  return 1;
}

int CMpFlow2::MP_CheckSPIFlashEmpty(std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow2::MP_CheckSPIFlashEmpty");
  PostToDialog(UM_STEP, kIdStepCheckEmpty, 0);
  const std::size_t len = buffer.size();
  const std::uint32_t len32 = static_cast<std::uint32_t>(len);
  const std::uint8_t chipCode = m_ctx.IcType().ChipCode();
  const bool everyPiece = HasSecondBank(chipCode);
  for (std::size_t o = 0; o < len; o += kFlashPiece) {
    const std::size_t n = std::min<std::size_t>(kFlashPiece, len - o);
    const std::span<std::uint8_t> piece = buffer.subspan(o, n);
    if (!everyPiece && (o & kSkippedPieceMask) != 0 && ErasedForSure(chipCode, o + n)) {
      std::fill(piece.begin(), piece.end(), std::uint8_t{0xFF});
    } else if (!MP_ReadFlashBytes(MP_FlashAddress(static_cast<std::uint32_t>(o), len32), piece)) {
      TraceFail(scope, "Read Flash Code Fail\n");
      return 0;
    }
    PostToDialog(UM_PROGRESS, PieceProgress(5, 30, o + n, len), 0);
  }
  return AllBlank(buffer) ? 1 : 0;
}

int CMpFlow::MP_ReadBackFlashCode(std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow::MP_ReadBackFlashCode");
  PostToDialog(UM_STEP, kIdStepVerify, 0);
  const std::size_t len = buffer.size();
  const std::uint32_t len32 = static_cast<std::uint32_t>(len);
  const std::uint8_t chipCode = m_ctx.IcType().ChipCode();
  const bool everyPiece = HasSecondBank(chipCode);
  for (std::size_t o = 0; o < len; o += kFlashPiece) {
    const std::size_t n = std::min<std::size_t>(kFlashPiece, len - o);
    const std::span<std::uint8_t> piece = buffer.subspan(o, n);
    // A piece blank in the image is blank on the erased flash too.
    const bool skip = !everyPiece && ErasedForSure(chipCode, o + n) && AllBlank(piece);
    if (!skip && !MP_ReadFlashBytes(MP_FlashAddress(static_cast<std::uint32_t>(o), len32), piece)) return 0;
    PostToDialog(UM_PROGRESS, PieceProgress(65, 30, o + n, len), 0);
  }
  return 1;
}

int CMpFlow::MP_ReadFlash(std::span<std::uint8_t> buffer) { return MP_ReadFlashFrom(0, buffer); }

int CMpFlow::MP_ReadFlashFrom(std::uint32_t address, std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow::MP_ReadFlash");
  PostToDialog(UM_STEP, kIdStepRead, 0);
  const std::size_t len = buffer.size();
  for (std::size_t o = 0; o < len; o += kFlashPiece) {
    const std::size_t n = std::min<std::size_t>(kFlashPiece, len - o);
    if (!MP_ReadFlashBytes(address + static_cast<std::uint32_t>(o), buffer.subspan(o, n))) return 0;
    PostToDialog(UM_PROGRESS, PieceProgress(10, 80, o + n, len), 0);
  }
  return 1;
}

// ---------------------------------------------------------------------------------------
// CMpFlow_Flash
// ---------------------------------------------------------------------------------------

int CMpFlow_Flash::FF_Update(std::vector<std::uint8_t>& image) {
  TraceScope scope("CMpFlow_Flash::FF_Update");
  if (!AllocateZeroed(m_pReadBuf, image.size())) {
    PostToDialog(UM_ERROR, kIdMallocFail, 0);
    return 0;
  }
  const bool simulatedOtp = image.size() == kSimOtpImageSize && m_bBootStatusChip;
  if (StopRequested()) {
    PostToDialog(UM_ERROR, kIdResetFail, 0);
    return 0;
  }
  if (simulatedOtp && !RearrangeSimulatedOtpImage(image, m_byChipCode)) {
    TraceFail(scope, "Get Code Size Fail\n");
    PostToDialog(UM_ERROR, kIdCodeSizeFail, 0);
    return 0;
  }
  std::uint32_t err = 0;
  const int result = simulatedOtp ? FF_UpdateEx_ForSimulateOTP(image, err) : FF_UpdateEx_Standard(image, err);
  if (result) return result;
  MP_ChangeDataControlSize(kDataControlNormal);
  MP_EnableWriteProtect();
  PostToDialog(UM_ERROR, err, 0);
  return 0;
}

int CMpFlow_Flash::FF_UpdateEx_Standard(std::vector<std::uint8_t>& image, std::uint32_t& err) {
  TraceScope scope("CMpFlow_Flash::FF_UpdateEx_Standard");
  const auto fail = [&](const char* text, std::uint32_t id) {
    TraceFail(scope, text);
    err = id;
    return 0;
  };
  const std::size_t len = image.size();
  const std::uint32_t len32 = static_cast<std::uint32_t>(len);
  const CICTypeIni& ic = m_ctx.IcType();
  const std::uint8_t chipCode = ic.ChipCode();
  const std::size_t tag = ic.TagAddress();
  // The tag bytes are patched in the image below; an IC type whose tag lies beyond the image
  // cannot be served by it, and nothing is touched.
  if (tag > len || len - tag < 2) return fail("Tag Address beyond the image\n", kIdParseFileFail);
  if (m_pReadBuf.size() != len && !AllocateZeroed(m_pReadBuf, len)) return fail("Malloc Data Fail\n", kIdMallocFail);

  if (m_bBootStatusChip) {
    image[tag] = 0xFF;
    image[tag + 1] = 0xFF;
  }
  if (!MP_DisableWriteProtect()) return fail("Disable Write Protect Fail\n", kIdDisableWpFail);
  if (!MP_EraseFlash(0, len32)) return fail("Erase Flash Fail\n", kIdEraseFlashFail);
  if ((m_ctx.dwUpdateOptions & kOptBlankCheck) && !MP_CheckSPIFlashEmpty(m_pReadBuf))
    return fail("Check Flash Empty Fail\n", kIdCheckEmptyFail);

  if (m_ctx.dwUpdateOptions & kOptVerify) {
    // The tag goes last, so that an update cut off anywhere before never boots. An image
    // that marks itself valid (configuration block at its start) has no separate tag: its
    // bytes there are ordinary image bytes and are written as they are.
    const bool separateTag = !m_bTagInImage && !m_bBootStatusChip;
    const std::array<std::uint8_t, 2> saved{image[tag], image[tag + 1]};
    // The loaded image gets its tag bytes back however this ends: a later run on the same
    // buffer would otherwise write 0xFF 0xFF as the tag and pass with code that never boots.
    struct TagRestore {
      std::vector<std::uint8_t>& image;
      std::size_t at;
      std::array<std::uint8_t, 2> bytes;
      bool armed;
      ~TagRestore() {
        if (armed) std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
      }
    } restore{image, tag, saved, separateTag};
    if (separateTag) {
      image[tag] = 0xFF;
      image[tag + 1] = 0xFF;
    }
    // An image with its block at the start marks itself valid by the block's signature byte,
    // which a chip outside the boot-status set starts whatever follows it: that byte is held
    // blank the same way and written once the read-back matched.
    const bool heldSignature = m_bTagInImage && !m_bBootStatusChip && len > kSignatureOffset &&
                               image[kSignatureOffset] == kBlockSignature;
    struct SignatureRestore {
      std::vector<std::uint8_t>& image;
      bool armed;
      ~SignatureRestore() {
        if (armed) image[kSignatureOffset] = kBlockSignature;
      }
    } signatureRestore{image, heldSignature};
    if (heldSignature) image[kSignatureOffset] = 0xFF;
    if (!MP_WriteFlashCode(image)) return fail("Write Flash Code Fail\n", kIdUpdateFlashFail);
    std::copy(image.begin(), image.end(), m_pReadBuf.begin());
    if (!MP_ReadBackFlashCode(m_pReadBuf)) return fail("Read Flash Code Fail\n", kIdReadFlashFail);
    if (!std::equal(image.begin(), image.end(), m_pReadBuf.begin()))
      return fail("Check Flash Code Fail\n", kIdCompareFail);
    if (separateTag) {
      image[tag] = saved[0];
      image[tag + 1] = saved[1];
      restore.armed = false;
      if (!MP_WriteFlashBytes(static_cast<std::uint32_t>(tag), std::span<const std::uint8_t>(saved)))
        return fail("Write Tag Fail\n", kIdWriteTagFail);
    }
    if (heldSignature) {
      image[kSignatureOffset] = kBlockSignature;
      signatureRestore.armed = false;
      const std::array<std::uint8_t, 1> signature{kBlockSignature};
      if (!MP_WriteFlashBytes(MP_FlashAddress(kSignatureOffset, len32), signature))
        return fail("Write Tag Fail\n", kIdWriteTagFail);
    }
  }
  if (!MP_EnableWriteProtect()) return fail("Enable Write Protect Fail\n", kIdEnableWpFail);
  int result = 1;

  // Signature check of chips that verify their code before running it.
  std::uint8_t boot = 0;
  MP_ReadReg(kBootStatusRegister, boot);
  if (chipCode == 26 && m_bForceUpdateB && boot == kBootStatusRunningSpi) {
    Guarded([&] { return KesCommand10(m_hDevice, m_dwCmdFlags, 1); });
    bool passed = false;
    for (int q = 0; q < kSignatureQueries; ++q) {
      std::uint8_t state = 0;
      if (!Guarded([&] { return KesReadByte06(m_hDevice, m_dwCmdFlags, state); })) continue;
      if (state == kSignaturePassed) {
        passed = true;
        break;
      }
      if (state == kSignatureFailed) break;
      if (state == kSignatureBusy) Clock().Sleep(kSignatureBusyPauseMs);
    }
    Guarded([&] { return KesCommand10(m_hDevice, m_dwCmdFlags, 0); });
    if (!passed) {
      // The code stays, but its tag is spoilt so that the chip does not start it.
      MP_DisableWriteProtect();
      Guarded([&] { return KesSpiWrite(m_hDevice, m_dwCmdFlags, static_cast<std::uint32_t>(tag), kSignatureFailPattern); });
      MP_EnableWriteProtect();
      return fail("ECDSA Check Fail\n", kIdSignatureFail);
    }
  }

  if ((chipCode == 23 || chipCode == 26) && m_bForceUpdateA) {
    const std::array<std::uint8_t, 4> zeros{};
    MP_DisableWriteProtect();
    MP_WriteFlashBytes(kForceUpdateAddress, zeros);
    MP_EnableWriteProtect();
  }

  if (m_ctx.dwUpdateOptions & kOptResetToCache) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    const RebootRegisters* reboot = RegisterRebootOf(chipCode);
    if (ConfigInt("Disable Reboot Check", 0) == 0 && reboot != nullptr) {
      if (m_ctx.bCommandLineMode) return 1;  // the operator restarts the device
      bool doReboot = false;
      if (ConfigInt("Loop Test", 0) != 0) {
        if (ConfigInt("Loop Test Reboot", 0) == 0) return 1;
        doReboot = true;
      } else if (RebootsWithoutAsking(m_wVid, m_wPid)) {
        doReboot = true;
      } else {
        const int answer = ShowMessageBox(kRebootQuestion, kRebootCaption, MB_YESNO | MB_ICONWARNING | MB_SYSTEMMODAL);
        if (answer != IDYES) return 1;
        doReboot = true;
      }
      if (doReboot) {
        std::array<std::uint8_t, 2> v{};
        for (std::uint8_t i = 0; i < reboot->count; ++i) MP_ReadReg(reboot->regs[i], v[i]);
        for (std::uint8_t i = 0; i < reboot->count; ++i) MP_WriteReg(reboot->regs[i], static_cast<std::uint8_t>(v[i] | 0x01));
        if (reboot->count != 0) Clock().Sleep(kRegisterRebootPauseMs);
        for (std::uint8_t i = 0; i < reboot->count; ++i) MP_WriteReg(reboot->regs[i], static_cast<std::uint8_t>(v[i] & ~0x01));
      }
    }
    if (!MP_Reset(kResetToCode, 0)) return fail("Devcie ResetToCache Fail\n", kIdResetFail);
    result = 1;
    if (m_ctx.dwUpdateOptions & kOptVerify) {
      std::uint32_t cache = 0;
      // The identifier is handed to FF_Update, which posts it once; posting it here as well
      // would be followed by a post of no identifier that clears the failure.
      if (!MP_GetCacheMode(cache) || cache == 0) return fail("Device is not in cache mode\n", kIdNotCacheMode);
    }
  }
  return result;
}

int CMpFlow_Flash::FF_UpdateEx_ForSimulateOTP(std::vector<std::uint8_t>& image, std::uint32_t& err) {
  TraceScope scope("CMpFlow_Flash::FF_UpdateEx_ForSimulateOTP");
  const auto fail = [&](const char* text, std::uint32_t id) {
    TraceFail(scope, text);
    err = id;
    return 0;
  };
  if (m_pReadBuf.size() != image.size() && !AllocateZeroed(m_pReadBuf, image.size()))
    return fail("Malloc Data Fail\n", kIdMallocFail);
  if (!MP_DisableWriteProtect()) return fail("Disable Write Protect Fail\n", kIdDisableWpFail);
  if (!MP_EraseFlash(0, 0)) return fail("Erase Flash Fail\n", kIdEraseFlashFail);
  if (!MP_WriteFlashCode(image)) return fail("Write Flash Code Fail\n", kIdUpdateFlashFail);
  // The read-back buffer holds no image bytes here, so every piece is read.
  std::fill(m_pReadBuf.begin(), m_pReadBuf.end(), std::uint8_t{0});
  if (!MP_ReadBackFlashCode(m_pReadBuf)) return fail("Read Flash Code Fail\n", kIdReadFlashFail);
  if (!std::equal(image.begin(), image.end(), m_pReadBuf.begin(), m_pReadBuf.end()))
    return fail("Check Flash Code Fail\n", kIdCompareFail);
  if (!MP_EnableWriteProtect()) return fail("Enable Write Protect Fail\n", kIdEnableWpFail);
  int result = 1;
  if (m_ctx.dwUpdateOptions & kOptResetToCache) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    const bool known = m_bNotCacheMode == 1;
    if (known) m_dwCmdFlags |= kCmdFlagKnownCaps;
    result = MP_Reset(kResetToCode, 0);
    if (known) m_dwCmdFlags &= ~kCmdFlagKnownCaps;
    if (!result) return fail("Devcie ResetToCache Fail\n", kIdResetFail);
  }
  return result;
}

int CMpFlow_Flash::FF_EraseJob() {
  TraceScope scope("CMpFlow_Flash::FF_EraseJob");
  const auto fail = [&](std::uint32_t id) {
    PostToDialog(UM_ERROR, id, 0);
    return 0;
  };
  const bool chipSpecific = m_bBootStatusChip && (m_strDevStatus == "ROM&&SPI" || m_strDevStatus == "ROM&&OTP");
  if (!MP_DisableWriteProtect()) return fail(kIdDisableWpFail);
  if (!MP_EraseFlash(chipSpecific ? 0 : 1, 0)) return fail(kIdEraseFlashFail);
  if (!MP_EnableWriteProtect()) return fail(kIdEnableWpFail);
  if (chipSpecific) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    m_dwCmdFlags |= kCmdFlagKnownCaps;
    const int ok = MP_Reset(kResetToCode, 0);
    m_dwCmdFlags &= ~kCmdFlagKnownCaps;
    if (!ok) return fail(kIdResetFail);
  } else if (m_ctx.dwUpdateOptions & kOptResetToCache) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    if (!MP_Reset(kResetToCode, 0)) return fail(kIdResetFail);
  }
  return 1;
}

int CMpFlow_Flash::FF_ReadJob(std::uint32_t address) {
  TraceScope scope("CMpFlow_Flash::FF_ReadJob");
  const std::size_t size = m_ctx.dwDumpSize;
  if (!AllocateZeroed(m_pReadBuf, size)) {
    PostToDialog(UM_ERROR, kIdMallocFail, 0);
    return 0;
  }
  m_dwCmdFlags |= kCmdFlagRoute;
  MP_ChangeDataControlSize(kDataControlWide);
  int result = MP_ReadFlashFrom(address, m_pReadBuf);
  if (!result) {
    PostToDialog(UM_ERROR, kIdReadFlashFail, 0);
  } else if (m_bBootStatusChip && size == kDumpSizeNeedsReset && m_bNotCacheMode) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    m_dwCmdFlags |= kCmdFlagKnownCaps;
    result = MP_Reset(kResetToCode, 0);
    m_dwCmdFlags &= ~kCmdFlagKnownCaps;
    if (!result) PostToDialog(UM_ERROR, kIdResetFail, 0);
  }
  MP_ChangeDataControlSize(kDataControlNormal);
  m_dwCmdFlags &= ~kCmdFlagRoute;
  return result;
}

int CMpFlow_Flash::FF_ReadCode(std::uint32_t address) {
  if (!FF_ReadJob(address)) return 0;
  SaveDumpFile();
  PostToDialog(UM_PROGRESS, 100, 0);
  PostToDialog(UM_RESULT, kIdReadFlashOk, 0);
  return 1;
}

}  // namespace drover
