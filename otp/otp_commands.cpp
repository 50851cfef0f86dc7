#include "otp/otp_commands.h"

#include <array>

#include "base/thread_flag.h"
#include "transport/kes_device.h"

namespace drover::otp {

namespace {
constexpr int kTries = 8;
}  // namespace

bool COtpCommands::Send(const std::function<bool()>& command) {
  for (int i = 0; i < kTries; ++i) {
    if (!m_bBookkeeping && StopRequested()) return false;
    if (m_flow.m_hDevice == 0) return false;
    if (command()) return true;
  }
  return false;
}

bool COtpCommands::Read(std::uint32_t address, std::span<std::uint8_t> buffer) {
  return Send([&] { return KesOtpRead(m_flow.m_hDevice, m_flow.m_dwCmdFlags, address, buffer); });
}

bool COtpCommands::Write(std::uint32_t address, std::uint16_t budget, std::span<const std::uint8_t> data) {
  return Send([&] { return KesOtpWrite(m_flow.m_hDevice, m_flow.m_dwCmdFlags, address, budget, data); });
}

bool COtpCommands::ReadFailRecord(std::span<std::uint8_t> record19) {
  return Send([&] { return KesOtpPrgmFailAddr(m_flow.m_hDevice, m_flow.m_dwCmdFlags, record19); });
}

bool COtpCommands::ReadLockRegister(std::uint8_t& value) {
  std::array<std::uint8_t, 1> b{};
  if (!Send([&] { return KesReadMem(m_flow.m_hDevice, m_flow.m_dwCmdFlags, kOtpLockRegister, b); })) return false;
  value = b[0];
  return true;
}

VdEntry CBlockTableQueries::ReadEntry(int i) {
  std::array<std::uint8_t, kBlockEntrySize> b;
  b.fill(0xFF);
  if (!m_otp.Read(EntryAddress(i), b)) {
    b.fill(0xFF);
    m_bReadFailed = true;
  }
  return DecodeEntry(b);
}

bool CBlockTableQueries::MP_OTPBlockValid(std::uint32_t entryAddress) {
  std::array<std::uint8_t, kEccTableSize> table;
  table.fill(0xFF);
  if (!m_otp.Read(kEccTableAddress, table)) {
    table.fill(0xFF);
    m_bReadFailed = true;
  }
  for (int k = 1; k <= kEccRecords; ++k) {
    const EccRecord r = DecodeRecord(std::span<const std::uint8_t>(table).subspan(kEccRecordSize * static_cast<std::size_t>(k - 1)));
    if (r.wAddress >= entryAddress && r.wAddress < entryAddress + kBlockEntrySize) return false;
  }
  return true;
}

std::uint16_t CBlockTableQueries::GetLastVDBlockLength() {
  for (int i = kBlockEntries - 1; i >= 0; --i) {
    const VdEntry e = ReadEntry(i);
    if (e.Used()) return e.wLength;
  }
  return 0;
}

std::uint16_t CBlockTableQueries::GetVDBlockAddrByLength(std::uint16_t length) {
  for (int i = kBlockEntries - 1; i >= 0; --i) {
    const VdEntry e = ReadEntry(i);
    if (e.Used() && e.wLength == length) return e.wStart;
  }
  return 0;
}

int CBlockTableQueries::GetFreeVDEntryCount() {
  for (int i = kBlockEntries - 1; i >= 0; --i) {
    if (ReadEntry(i).Used()) return kBlockEntries - 1 - i;
  }
  return kBlockEntries;
}

int CBlockTableQueries::FindLastValidVDEntry() {
  for (int i = kBlockEntries - 1; i >= 0; --i) {
    if (ReadEntry(i).byFlag != kFlagBlank && MP_OTPBlockValid(EntryAddress(i))) return i;
  }
  return 0;
}

std::uint32_t CBlockTableQueries::UsedCodeArea() {
  const std::uint16_t length = GetLastVDBlockLength();
  return static_cast<std::uint32_t>(length) + GetVDBlockAddrByLength(length);
}

}  // namespace drover::otp
