#include "engine/mp_flow4.h"

#include <array>

#include "base/status.h"
#include "base/trace.h"
#include "engine/chip_family.h"
#include "transport/kes_device.h"

namespace drover {

namespace {
// Chip registers written on the way into update mode; their meaning is the chip's own.
constexpr std::uint32_t kRegFed0 = 0xFED0;
constexpr std::uint8_t kFed0Value = 30;
constexpr std::uint32_t kRegD6ad = 0xD6AD;
constexpr std::uint8_t kD6adBankCopyBit = 0x02;
constexpr std::uint8_t kD6adNoBankCopyBit = 0x20;
// Flash bytes cleared on a 0xB013/0xB014 chip running SPI code, so that its ROM stays put.
constexpr std::uint32_t kSpiMarkAddress = 0xF000;
constexpr std::uint32_t kSpiTagAddress = 0xEFFE;

constexpr std::uint32_t kStepWaitReset = 41718;   // "Wait device to reset"
constexpr std::uint32_t kErrResetDevice = 41512;  // "Reset Device Fail!"

std::uint8_t BankCopyValue(std::uint8_t v, bool bankCopy) {
  return bankCopy ? static_cast<std::uint8_t>((v | kD6adBankCopyBit) & ~kD6adNoBankCopyBit)
                  : static_cast<std::uint8_t>((v | kD6adNoBankCopyBit) & ~kD6adBankCopyBit);
}
}  // namespace

int CMpFlow4::MP_OpenRomDevice() {
  TraceScope scope("CMpFlow4::MP_OpenRomDevice");
  std::uint8_t b0 = 0, b1 = 0;
  MP_ReadChipId(b0, b1, 0);
  const bool bootStatusChip = IsBootStatusChip(b0, b1);

  if (bootStatusChip && (m_strDevStatus == "ROM" || m_strDevStatus == "ROM&&OTP")) {
    // The chip already waits in its ROM.
    m_bNotCacheMode = 1;
    const std::uint16_t v = static_cast<std::uint16_t>(((b1 & 0xF0) << 8) | b0);
    if (v == 0xD010) {
      MP_WriteReg(kRegFed0, kFed0Value);
    } else if (v == 0xD011) {
      std::uint8_t reg = 0;
      if (MP_ReadReg(kRegD6ad, reg)) MP_WriteReg(kRegD6ad, BankCopyValue(reg, m_bBankCopy));
    }
    return 1;
  }

  if (bootStatusChip && m_strDevStatus == "SPI") {
    m_dwCmdFlags |= kCmdFlagRoute;
    MP_ReadChipId(b0, b1, 0);
    const std::uint16_t r = ChipRawSwapped(b0, b1);
    if (r == 0xB013 || r == 0xB014) {
      const std::array<std::uint8_t, 1> one{0};
      const std::array<std::uint8_t, 2> two{0, 0};
      MP_DisableWriteProtect();
      const bool cleared = MP_WriteFlashBytes(kSpiMarkAddress, one) && MP_WriteFlashBytes(kSpiTagAddress, two);
      MP_EnableWriteProtect();
      if (!cleared) {
        // With its marks intact the restart only starts the old code again; the chip would
        // never reach update mode although the reset succeeded.
        m_dwCmdFlags &= ~kCmdFlagRoute;
        TraceFail(scope, "Device ResetToUpdateFW Fail\n");
        PostToDialog(UM_ERROR, kErrResetDevice, 0);
        return 0;
      }
    }
    m_dwCmdFlags &= ~kCmdFlagRoute;
  }

  PostToDialog(UM_STEP, kStepWaitReset, 0);
  const int result = MP_ResetToRomCode();
  if (result) {
    if (b1 >= 0xD0 && b1 <= 0xDF && b0 == 0x11 && m_bBankCopy) {
      std::uint8_t reg = 0;
      if (MP_ReadReg(kRegD6ad, reg)) MP_WriteReg(kRegD6ad, BankCopyValue(reg, true));
    }
    return result;
  }
  TraceFail(scope, "Device ResetToUpdateFW Fail\n");
  PostToDialog(UM_ERROR, kErrResetDevice, 0);
  return 0;
}

}  // namespace drover
