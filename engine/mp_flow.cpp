#include "engine/mp_flow.h"

#include <array>
#include <vector>

#include "base/clock.h"
#include "base/strfmt.h"
#include "base/thread_flag.h"
#include "base/trace.h"
#include "engine/chip_family.h"
#include "transport/kes_device.h"

namespace drover {

int CMpFlow::MP_OpenDevice(int index) {
  TraceScope scope("CMpFlow::MP_OpenDevice");
  if (StopRequested()) return 0;
  if (m_hDevice != 0) {
    CloseCurrentDevice();
    m_hDevice = 0;
  }
  const DevInst handle = index >= 0 ? OpenDeviceByIndex(static_cast<std::uint32_t>(index)) : 0;
  if (handle == 0) {
    TraceLine(scope, "MP_OpenDevice Fail %d\n", index);
    Clock().Sleep(kOpenFailPauseMs);
    return 0;
  }
  m_hDevice = handle;
  return 1;
}

bool CMpFlow::Guarded(const std::function<bool()>& command, int tries, std::uint32_t pauseMs) {
  for (int i = 0; i < tries; ++i) {
    // The dialog may ask to stop between any two commands; nothing is sent once it has.
    if (StopRequested()) return false;
    if (m_hDevice == 0) return false;
    if (command()) return true;
    if (pauseMs != 0 && i + 1 < tries) Clock().Sleep(pauseMs);
  }
  return false;
}

bool CMpFlow::MP_ReadMem(std::uint32_t address, std::span<std::uint8_t> buffer) {
  return GuardedRetry([&] { return KesReadMem(m_hDevice, m_dwCmdFlags, address, buffer); });
}

bool CMpFlow::MP_WriteMem(std::uint32_t address, std::span<const std::uint8_t> data) {
  return GuardedRetry([&] { return KesWriteMem(m_hDevice, m_dwCmdFlags, address, data); });
}

bool CMpFlow::MP_ReadReg(std::uint32_t address, std::uint8_t& value) {
  std::array<std::uint8_t, 1> b{};
  if (!MP_ReadMem(address, b)) return false;
  value = b[0];
  return true;
}

bool CMpFlow::MP_WriteReg(std::uint32_t address, std::uint8_t value) {
  const std::array<std::uint8_t, 1> b{value};
  return MP_WriteMem(address, b);
}

bool CMpFlow::MP_GetDevStatus(std::span<std::uint8_t> record) {
  return Guarded([&] { return KesGetDevStatus(m_hDevice, m_dwCmdFlags, record); });
}

bool CMpFlow::MP_GetDevStatusFrom(std::uint32_t page, std::span<std::uint8_t> buffer) {
  return Guarded([&] { return KesGetDevStatusFrom(m_hDevice, m_dwCmdFlags, page, buffer); });
}

int CMpFlow::MP_WriteFlashBytes(std::uint32_t address, std::span<const std::uint8_t> data) {
  TraceScope scope("CMpFlow::MP_WriteFlashBytes", false);
  return GuardedRetry([&] { return KesSpiWrite(m_hDevice, m_dwCmdFlags, address, data); }) ? 1 : 0;
}

int CMpFlow::MP_ReadFlashBytes(std::uint32_t address, std::span<std::uint8_t> data) {
  TraceScope scope("CMpFlow::MP_ReadFlashBytes", false);
  return GuardedRetry([&] { return KesSpiRead(m_hDevice, m_dwCmdFlags, address, data); }) ? 1 : 0;
}

bool CMpFlow::MP_ReadFlashSr(std::uint8_t& value) {
  return Guarded([&] { return KesSpiReadSr(m_hDevice, m_dwCmdFlags, value); });
}

bool CMpFlow::MP_WriteFlashSr(std::uint8_t value) {
  return Guarded([&] { return KesSpiWriteSr(m_hDevice, m_dwCmdFlags, value); });
}

bool CMpFlow::MP_ReadChipId(std::uint8_t& b0, std::uint8_t& b1, std::uint8_t fallback) {
  std::array<std::uint8_t, 2> id{};
  b0 = b1 = fallback;
  if (!MP_ReadMem(kChipIdRegister, id)) return false;
  b0 = id[0];
  b1 = id[1];
  return true;
}

int CMpFlow::MP_DisableWriteProtect() {
  TraceScope scope("CMpFlow::MP_DisableWriteProtect");
  return WriteProtect(false);
}

int CMpFlow::MP_EnableWriteProtect() {
  TraceScope scope("CMpFlow::MP_EnableWriteProtect");
  return WriteProtect(true);
}

int CMpFlow::WriteProtect(bool enable) {
  std::uint8_t b0 = 0, b1 = 0;
  if (!MP_ReadChipId(b0, b1, 0)) return 0;
  m_byChipId = {static_cast<std::uint8_t>(b0 & 0xF0), static_cast<std::uint8_t>(b1 & 0xF0)};

  std::vector<WpPass> passes;
  if (WriteProtectKind(b0, b1) == WpKind::Query1010) {
    // The chip tells whether it drives the line through one register pair or two.
    std::uint8_t answer = 0;
    if (!MP_WriteReg(kWp1010SelectReg, kWp1010SelectAsk)) return 0;
    Clock().Sleep(kWp1010QueryPauseMs);
    if (!MP_ReadReg(kWp1010AnswerReg, answer)) return 0;
    if (!MP_WriteReg(kWp1010SelectReg, kWp1010SelectDone)) return 0;
    if (Wp1010HasTwoPairs(answer)) {
      // Such a chip keeps its line released once lifted; restoring touches nothing.
      if (enable) return 1;
      passes = {kWp1010First, kWp1010Second};
    } else {
      passes = {kWp1010Second};
    }
  } else {
    passes = {WpFixedPass(b0, b1)};
  }

  for (const WpPass& p : passes) {
    std::uint8_t a = 0, b = 0;
    if (!MP_ReadReg(p.regA, a) || !MP_ReadReg(p.regB, b)) return 0;
    a = static_cast<std::uint8_t>(a | p.bit);
    b = enable ? static_cast<std::uint8_t>(b & ~p.bit) : static_cast<std::uint8_t>(b | p.bit);
    if (!MP_WriteReg(p.regA, a) || !MP_WriteReg(p.regB, b)) return 0;
  }

  if (!MP_WriteFlashSr(enable ? kSrProtect : kSrUnprotect)) return 0;
  for (int read = 0; read < kSrPollReads; ++read) {
    if (read > 0) Clock().Sleep(kSrPollPauseMs);
    std::uint8_t sr = 0;
    if (!MP_ReadFlashSr(sr)) return 0;
    if ((sr & kSrBusy) == 0) return 1;
  }
  return 0;
}

bool CMpFlow::MP_ReadIdentity(bool withManufacturer) {
  bool ok = false;
  if (withManufacturer) {
    ok = GetDeviceIdsAndManufacturer(m_wVid, m_wPid, m_wRev, m_strManufacturer);
  } else {
    ok = GetDeviceIds(m_wVid, m_wPid, m_wRev);
  }
  m_strVidPid = StrFormat("VID_%04X&PID_%04X", m_wVid, m_wPid);
  m_strVidPidRev = StrFormat("VID_%04X&PID_%04X&REV_%04X", m_wVid, m_wPid, m_wRev);
  return ok;
}

bool CMpFlow::MP_ReadPortAndHub() {
  std::uint32_t port = 0;
  DevInst hub = 0;
  if (m_hDevice == 0 || !GetBusAddressAndParentHub(m_hDevice, port, hub)) return false;
  m_dwPortAddr = port;
  m_dwHubInst = hub;
  return true;
}

}  // namespace drover
