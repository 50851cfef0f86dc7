// The EEPROM update: the EEPROM primitives of CMpFlow and the update, read and erase
// sequences of CMpFlow_Eeprom.
#include <algorithm>
#include <array>
#include <functional>

#include "base/bytes.h"
#include "base/file_util.h"
#include "base/status.h"
#include "base/thread_flag.h"
#include "base/trace.h"
#include "engine/config_info.h"
#include "engine/update_rules.h"
#include "transport/kes_device.h"

namespace drover {

namespace {

constexpr std::uint32_t kDataControlNormal = 8;

}  // namespace

// ---------------------------------------------------------------------------------------
// Primitives of CMpFlow
// ---------------------------------------------------------------------------------------

namespace {

// Lifts or restores the EEPROM's WP line: all four registers are read first, then written
// in table order; any failed read or write ends it.
int EepWriteProtect(CMpFlow& flow, bool restore) {
  std::array<std::uint8_t, kEepWpTable.size()> v{};
  for (std::size_t i = 0; i < kEepWpTable.size(); ++i)
    if (!flow.MP_ReadReg(kEepWpTable[i].reg, v[i])) return 0;
  for (std::size_t i = 0; i < kEepWpTable.size(); ++i) {
    const EepWpRow& r = kEepWpTable[i];
    const std::uint8_t set = restore ? r.restoreSet : r.liftSet;
    const std::uint8_t clear = restore ? r.restoreClear : r.liftClear;
    if (!flow.MP_WriteReg(r.reg, static_cast<std::uint8_t>((v[i] | set) & ~clear))) return 0;
  }
  return 1;
}

}  // namespace

int CMpFlow::MP_EepDisableWriteProtect() {
  TraceScope scope("CMpFlow::MP_EepDisableWriteProtect");
  return EepWriteProtect(*this, false);
}

int CMpFlow::MP_EepEnableWriteProtect() {
  TraceScope scope("CMpFlow::MP_EepEnableWriteProtect");
  return EepWriteProtect(*this, true);
}

namespace {

using PieceWrite = std::function<bool(std::uint32_t offset, std::span<const std::uint8_t> piece)>;
using PieceRead = std::function<bool(std::uint32_t offset, std::span<std::uint8_t> piece)>;

// 8-byte pieces of `data` to EEPROM address 0 upwards; progress 50 + done * 20 / len.
int WritePieces(std::span<const std::uint8_t> data, const PieceWrite& write) {
  PostToDialog(UM_STEP, kIdStepDownload, 0);
  const std::size_t len = data.size();
  if (len == 0) return 0;
  for (std::size_t o = 0; o < len; o += kEepPiece) {
    if (StopRequested()) return 0;
    const std::size_t n = std::min<std::size_t>(kEepPiece, len - o);
    if (!write(static_cast<std::uint32_t>(o), data.subspan(o, n))) return 0;
    PostToDialog(UM_PROGRESS, PieceProgress(50, 20, o + n, len), 0);
  }
  return 1;
}

// 8-byte pieces from EEPROM address 0 into buffer; progress base + done * span / len.
int ReadPieces(std::span<std::uint8_t> buffer, std::uint32_t step, std::uint32_t base, std::uint32_t span,
               const PieceRead& read) {
  PostToDialog(UM_STEP, step, 0);
  const std::size_t len = buffer.size();
  for (std::size_t o = 0; o < len; o += kEepPiece) {
    if (StopRequested()) return 0;
    const std::size_t n = std::min<std::size_t>(kEepPiece, len - o);
    if (!read(static_cast<std::uint32_t>(o), buffer.subspan(o, n))) return 0;
    PostToDialog(UM_PROGRESS, PieceProgress(base, span, o + n, len), 0);
  }
  return 1;
}

}  // namespace

int CMpFlow::MP_Eep16Write(std::span<const std::uint8_t> data) {
  TraceScope scope("CMpFlow::MP_Eep16Write");
  return WritePieces(data, [&](std::uint32_t o, std::span<const std::uint8_t> p) {
    return GuardedRetry([&] { return KesEep16Write(m_hDevice, m_dwCmdFlags, o, p); });
  });
}

int CMpFlow::MP_Eep8Write(std::span<const std::uint8_t> data) {
  TraceScope scope("CMpFlow::MP_Eep8Write");
  return WritePieces(data, [&](std::uint32_t o, std::span<const std::uint8_t> p) {
    return GuardedRetry([&] { return KesEep8Write(m_hDevice, m_dwCmdFlags, o, p); });
  });
}

int CMpFlow::MP_Eep16ReadBack(std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow::MP_Eep16ReadBack");
  return ReadPieces(buffer, kIdStepVerify, 70, 20, [&](std::uint32_t o, std::span<std::uint8_t> p) {
    return GuardedRetry([&] { return KesEep16Read(m_hDevice, m_dwCmdFlags, o, p); });
  });
}

int CMpFlow::MP_Eep16Read(std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow::MP_Eep16Read");
  return ReadPieces(buffer, kIdStepRead, 10, 80, [&](std::uint32_t o, std::span<std::uint8_t> p) {
    return GuardedRetry([&] { return KesEep16Read(m_hDevice, m_dwCmdFlags, o, p); });
  });
}

int CMpFlow::MP_Eep8Read(std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow::MP_Eep8Read");
  return ReadPieces(buffer, kIdStepRead, 10, 80, [&](std::uint32_t o, std::span<std::uint8_t> p) {
    return GuardedRetry([&] { return KesEep8Read(m_hDevice, m_dwCmdFlags, o, p); });
  });
}

int CMpFlow::MP_Eep8CheckEmpty(std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow::MP_Eep8CheckEmpty");
  if (buffer.size() < kEep8EraseSize) return 0;
  const auto first = buffer.first(kEep8EraseSize);
  const int read = ReadPieces(first, kIdStepCheckEmpty, 30, 20, [&](std::uint32_t o, std::span<std::uint8_t> p) {
    return GuardedRetry([&] { return KesEep8Read(m_hDevice, m_dwCmdFlags, o, p); });
  });
  return read && AllBlank(first) ? 1 : 0;
}

int CMpFlow::MP_Eep16Erase(std::uint32_t size) {
  TraceScope scope("CMpFlow::MP_Eep16Erase");
  const bool ok = GuardedErase([&] { return KesEep16Fill(m_hDevice, m_dwCmdFlags, size); });
  PostToDialog(UM_PROGRESS, 30, 0);
  return ok ? 1 : 0;
}

int CMpFlow::MP_Eep8Erase(std::uint32_t size) {
  TraceScope scope("CMpFlow::MP_Eep8Erase");
  const bool ok = GuardedErase([&] { return KesEep8Erase(m_hDevice, m_dwCmdFlags, size); });
  PostToDialog(UM_PROGRESS, 30, 0);
  return ok ? 1 : 0;
}

int CMpFlow::MP_Eep16WriteTag() {
  TraceScope scope("CMpFlow::MP_Eep16WriteTag");
  PostToDialog(UM_STEP, kIdStepWriteTag, 0);
  return GuardedRetry([&] { return KesEep16WriteTag(m_hDevice, m_dwCmdFlags); }) ? 1 : 0;
}

int CMpFlow::MP_Eep8WriteTag() {
  TraceScope scope("CMpFlow::MP_Eep8WriteTag");
  PostToDialog(UM_STEP, kIdStepWriteTag, 0);
  return GuardedRetry([&] { return KesEep8WriteTag(m_hDevice, m_dwCmdFlags); }) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// CMpFlow_Eeprom
// ---------------------------------------------------------------------------------------

int CMpFlow_Eeprom::EE16_Update(std::vector<std::uint8_t>& image) {
  TraceScope scope("CMpFlow_Eeprom::EE16_Update");
  if (!AllocateZeroed(m_pReadBuf, image.size())) {
    PostToDialog(UM_ERROR, kIdMallocFail, 0);
    return 0;
  }
  if (StopRequested()) {
    PostToDialog(UM_ERROR, kIdResetFail, 0);
    return 0;
  }
  std::uint32_t err = 0;
  const int result = EE16_UpdateEx_Cmd2(image, err);
  if (result) return result;
  MP_ChangeDataControlSize(kDataControlNormal);
  MP_EepEnableWriteProtect();
  PostToDialog(UM_ERROR, err, 0);
  return 0;
}

int CMpFlow_Eeprom::EE16_UpdateEx_Cmd2(std::vector<std::uint8_t>& image, std::uint32_t& err) {
  TraceScope scope("CMpFlow_Eeprom::EE16_UpdateEx_Cmd2");
  const auto fail = [&](const char* text, std::uint32_t id) {
    TraceFail(scope, text);
    err = id;
    return 0;
  };
  // Byte 1 is the tag; an image too short to carry it is no EEPROM image.
  if (image.size() <= kEepTagOffset) return fail("Image too short for the tag\n", kIdParseFileFail);
  if (m_pReadBuf.size() != image.size() && !AllocateZeroed(m_pReadBuf, image.size()))
    return fail("Malloc Data Fail\n", kIdMallocFail);

  if (!MP_EepDisableWriteProtect()) return fail("Disable Write Protect Fail\n", kIdDisableWpFail);
  if (m_ctx.dwUpdateOptions & kOptVerify) {
    image[kEepTagOffset] = 0xFF;  // the tag is written last
    if (!MP_Eep16Write(image)) return fail("Write I2CEEP Fail\n", kIdUpdateEepromFail);
    if (!MP_Eep16ReadBack(m_pReadBuf)) return fail("Read I2CEEP Fail\n", kIdReadEepromFail);
    if (image != m_pReadBuf) return fail("Check I2CEEP Fail\n", kIdCompareFail);
    if (!MP_Eep16WriteTag()) return fail("Write I2CEEP Tag Fail\n", kIdWriteTagFail);
  }
  if (!MP_EepEnableWriteProtect()) return fail("Enable Write Protect Fail\n", kIdEnableWpFail);
  int result = 1;
  if (m_ctx.dwUpdateOptions & kOptResetToCache) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    result = MP_Reset(kResetToCode, 0);
    if (!result) return fail("Device ResetToRom Fail\n", kIdResetFail);
  }
  return result;
}

int CMpFlow_Eeprom::EE8_UpdateEx_Cmd2(std::span<const std::uint8_t> image, bool fromDownload) {
  TraceScope scope("CMpFlow_Eeprom::EE8_UpdateEx_Cmd2");
  const auto fail = [&](std::uint32_t id) {
    PostToDialog(UM_ERROR, id, 0);
    return 0;
  };
  const std::uint32_t options = fromDownload ? m_ctx.dwUpdateOptions : (kOptVerify | kOptResetToCache);
  if (image.size() <= kEepTagOffset) return fail(kIdParseFileFail);
  if (m_pReadBuf.size() != image.size() && !AllocateZeroed(m_pReadBuf, image.size())) return fail(kIdMallocFail);

  if (!MP_EepDisableWriteProtect()) return fail(kIdDisableWpFail);
  if (!MP_Eep8Erase(kEep8EraseSize)) return fail(kIdEraseEepromFail);
  if (fromDownload && (options & kOptBlankCheck)) {
    std::array<std::uint8_t, kEep8EraseSize> first{};
    if (!MP_Eep8CheckEmpty(first)) return fail(kIdCheckEmptyFail);
  }
  if (options & kOptVerify) {
    // Byte 1 (the tag) stays erased until the read-back matched, so that an update cut off
    // before never leaves a valid tag on part of an image; the tag command then writes it.
    std::vector<std::uint8_t> held(image.begin(), image.end());
    held[kEepTagOffset] = 0xFF;
    if (!MP_Eep8Write(held)) return fail(kIdUpdateEepromFail);
    if (!MP_Eep8Read(m_pReadBuf)) return fail(kIdReadEepromFail);
    if (held != m_pReadBuf) return fail(kIdCompareFail);
    if (!MP_Eep8WriteTag()) return fail(kIdWriteTagFail);
  }
  if (!MP_EepEnableWriteProtect()) return fail(kIdEnableWpFail);
  if (options & kOptResetToCache) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    if (!MP_Reset(kResetToCode, 0)) return fail(kIdResetFail);
  }
  return 1;
}

void CMpFlow_Eeprom::SaveDumpFile() {
  TraceScope scope("CMpFlow_Eeprom::SaveDumpFile", false);
  if (m_ctx.bCommandLineMode || m_strDumpFile.empty()) return;
  if (!CreateDirectoryChain(m_strDumpFile) || !WriteFileBytes(m_strDumpFile, m_pReadBuf))
    TraceLine(scope, "Save dump to %s fail\n", m_strDumpFile.c_str());
}

int CMpFlow_Eeprom::EE_ReadJob(bool wide) {
  TraceScope scope("CMpFlow_Eeprom::EE_ReadJob");
  if (!MP_OpenRomDevice()) return 0;
  if (!AllocateZeroed(m_pReadBuf, m_ctx.dwDumpSize)) {
    PostToDialog(UM_ERROR, kIdMallocFail, 0);
    return 0;
  }
  if (!(wide ? MP_Eep16Read(m_pReadBuf) : MP_Eep8Read(m_pReadBuf))) {
    PostToDialog(UM_ERROR, kIdReadEepromFail, 0);
    return 0;
  }
  PostToDialog(UM_STEP, kIdStepResetToCode, 0);
  if (!MP_Reset(kResetToCode, 0)) {
    PostToDialog(UM_ERROR, kIdResetFail, 0);
    return 0;
  }
  SaveDumpFile();
  PostToDialog(UM_PROGRESS, 100, 0);
  PostToDialog(UM_RESULT, kIdReadEepromOk, 0);
  return 1;
}

int CMpFlow_Eeprom::EE_EraseJob(bool wide) {
  TraceScope scope("CMpFlow_Eeprom::EE_EraseJob");
  if (!MP_OpenRomDevice()) return 0;
  bool erased = false;
  if (wide) {
    if (!MP_EepDisableWriteProtect()) {
      PostToDialog(UM_ERROR, kIdDisableWpFail, 0);
      return 0;
    }
    erased = MP_Eep16Erase(m_ctx.dwDumpSize) != 0;
    MP_EepEnableWriteProtect();
  } else {
    // The 8-bit erase leaves the WP line as it finds it.
    erased = MP_Eep8Erase(m_ctx.dwDumpSize) != 0;
  }
  if (!erased) {
    PostToDialog(UM_ERROR, kIdEraseEepromFail, 0);
    return 0;
  }
  if (m_ctx.dwUpdateOptions & kOptResetToCache) {
    PostToDialog(UM_STEP, kIdStepResetToCode, 0);
    if (!MP_Reset(kResetToCode, 0)) {
      PostToDialog(UM_ERROR, kIdResetFail, 0);
      return 0;
    }
  }
  PostToDialog(UM_PROGRESS, 100, 0);
  PostToDialog(UM_RESULT, kIdEraseEepromOk, 0);
  return 1;
}

}  // namespace drover
