// The resets of CMpFlow: the guarded reset-and-reopen and the way into update mode.
#include <array>

#include "base/settings.h"
#include "base/thread_flag.h"
#include "base/trace.h"
#include "engine/chip_family.h"
#include "engine/mp_flow.h"
#include "transport/kes_device.h"

namespace drover {

namespace {
// Written before a restart of an OTP chip still in its ROM (the chip's own meaning).
constexpr std::uint32_t kOtpRestartRegister = 0xFFC6;
constexpr std::uint8_t kOtpRestartValue = 0x2A;

bool IsRomStatus(const std::string& s) { return s == "ROM" || s == "ROM&&OTP"; }
}  // namespace

int CMpFlow::MP_Reset(int type, std::uint32_t arg) {
  TraceScope scope("CMpFlow::MP_Reset");
  if (StopRequested()) return 0;
  const std::uint32_t waitMs = ConfigInt("Wait Time", static_cast<std::int32_t>(kDefaultWaitTimeMs));
  DevInst handle = 0;
  bool ok = false;
  switch (type) {
    case kResetUpdateFw:
      ok = KesResetToUpdateFW(static_cast<std::uint16_t>(arg), m_dwCmdFlags, waitMs, handle);
      break;
    case kResetToCode:
      if (m_bBootStatusChip && m_ctx.uMemoryType == kMemoryOtp && IsRomStatus(m_strDevStatus))
        MP_WriteReg(kOtpRestartRegister, kOtpRestartValue);
      ok = KesResetToRomWait(m_dwCmdFlags, waitMs, handle);
      break;
    case kResetByVendor:
      ok = KesResetToRomByVendor(m_dwCmdFlags, waitMs, handle);
      break;
    default:
      return 0;
  }
  // After a failed reset the transport holds candidate 0 (or nothing); the handle follows it,
  // so that the flow never believes in a device the transport no longer has.
  m_hDevice = handle;
  return ok ? 1 : 0;
}

int CMpFlow::MP_ResetToRomCode() {
  TraceScope scope("CMpFlow::MP_ResetToRomCode");
  std::uint32_t runsCode = 0;
  if (!MP_GetCacheMode(runsCode)) return 0;
  std::uint8_t b0 = 0, b1 = 0;
  MP_ReadChipId(b0, b1, 0);

  if (IsBootStatusChip(b0, b1)) {
    if (m_byResetMode == 0) return 1;
    m_bNotCacheMode = 0;
    const std::uint16_t r = ChipRawSwapped(b0, b1);
    if (r == 0xB013 || r == 0xB014) {
      if (m_strDevStatus == "ROM&&SPI") {
        // Spoil the first code byte so that the ROM does not start the flash code again.
        m_dwCmdFlags |= kCmdFlagRoute;
        MP_DisableWriteProtect();
        const std::array<std::uint8_t, 1> zero{0};
        const bool spoiled = MP_WriteFlashBytes(0, zero) != 0;
        m_dwCmdFlags &= ~kCmdFlagRoute;
        // With the code byte intact the restart would only start the old code again: the
        // chip would not be in update mode although the reset succeeded.
        if (!spoiled) return 0;
        return MP_Reset(kResetByVendor, 0);
      }
      return MP_Reset(kResetToCode, 0);
    }
    return MP_Reset(kResetUpdateFw, m_byResetMode);
  }

  if (!runsCode) {
    m_bNotCacheMode = 1;
    MP_ReadChipId(b0, b1, 0);
    if (ChipFamily(b0, b1) != 0x3000) return 1;
  }
  m_bNotCacheMode = 0;
  const bool alternate = (m_ctx.dwUpdateOptions & kOptAlternateReset) != 0 || m_byResetMode == 5;
  return MP_Reset(kResetUpdateFw, alternate ? 2 : m_ctx.uMemoryType);
}

}  // namespace drover
