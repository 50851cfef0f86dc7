// The table side of CMpFlow_OTP: block table entries written with redundancy, failed blocks
// entered, and superseded entries and ECC records retired.
#include <array>
#include <string>

#include "base/status.h"
#include "base/trace.h"
#include "otp/mp_flow_otp.h"

namespace drover::otp {

bool CMpFlow_OTP::WriteTable(std::uint32_t address, std::span<const std::uint8_t> bytes) {
  if (!MP_OTPWriteEnale()) return false;
  const bool sent = Otp().Write(address, kTableWriteBudget, bytes);
  std::array<std::uint8_t, kFailRecordSize> raw{};
  const bool reported = Otp().ReadFailRecord(raw);
  // A write the chip did not take, or whose outcome it cannot report, has failed.
  return sent && reported && raw[0] == 0;
}

bool CMpFlow_OTP::RetireByte(std::uint32_t address) {
  std::array<std::uint8_t, 1> b{};
  if (!Otp().Read(address, b)) return false;
  // Programming the complement sets exactly the bits still clear.
  const std::array<std::uint8_t, 1> complement{static_cast<std::uint8_t>(~b[0])};
  if (complement[0] == 0) return true;
  return WriteTable(address, complement);
}

bool CMpFlow_OTP::WriteSavedEntry(const TraceScope& scope, int index, bool reportLock) {
  if (!MP_OTPWriteEnale()) {
    if (reportLock) {
      Fail(scope, status::kOtpLocked);
    } else {
      TraceFail(scope, std::string(StatusText(status::kOtpLocked)) + "\n");
    }
    return false;
  }
  if (WriteTable(EntryAddress(index), m_bySavedEntry)) return true;
  return MP_OTPReduantVDFlag(index);
}

bool CMpFlow_OTP::MP_OTPWriteBlock(std::uint32_t length) {
  const auto start = static_cast<std::uint16_t>(m_wVDAddress + m_wVDLength);
  TraceScope scope("CMpFlow_OTP::MP_OTPWriteBlock");
  m_bySavedEntry = EncodeEntry(start, static_cast<std::uint16_t>(length), CurrentFlag());
  return WriteSavedEntry(scope, m_iSelBlock, true);
}

bool CMpFlow_OTP::MP_OTPWriteBlockFail(std::uint16_t stopAddress, std::uint32_t length) {
  const auto start = static_cast<std::uint16_t>(m_wVDAddress + m_wVDLength);
  // The entry covers exactly what may have been programmed: up to where the chip stopped,
  // or the whole block when that is not known (or makes no sense).
  std::uint32_t covered = length;
  if (stopAddress != 0xFFFF && stopAddress >= start && stopAddress <= start + length) covered = stopAddress - start;
  TraceScope scope("CMpFlow_OTP::MP_OTPWriteBlockFail");
  m_bySavedEntry = EncodeEntry(start, static_cast<std::uint16_t>(covered), kFlagRetired);
  // Runs after a failure that has been reported already; a lock found here is that failure.
  return WriteSavedEntry(scope, m_iSelBlock, false);
}

bool CMpFlow_OTP::MP_OTPReduantVDFlag(int index) {
  TraceScope scope("CMpFlow_OTP::MP_OTPReduantVDFlag");
  int i = index;
  bool retire = true;
  for (;;) {
    if (retire && MP_OTPWriteEnale()) {
      std::array<std::uint8_t, kBlockEntrySize> entry{};
      if (Otp().Read(EntryAddress(i), entry)) {
        std::array<std::uint8_t, kBlockEntrySize> complement{};
        for (std::size_t b = 0; b < entry.size(); ++b) complement[b] = static_cast<std::uint8_t>(~entry[b]);
        WriteTable(EntryAddress(i), complement);  // FF FF FF FF FF
      }
    }
    ++i;
    m_iSelBlock = i;
    if (i >= kBlockEntries) {
      TraceFail(scope, "No block table entry left\n");
      return false;
    }
    if (!MP_OTPWriteEnale()) return false;
    // An entry that already holds something belongs to another block: it is left alone.
    if (!Queries().ReadEntry(i).bBlank) {
      retire = false;
      continue;
    }
    retire = true;
    if (MP_OTPBlockValid(EntryAddress(i)) && WriteTable(EntryAddress(i), m_bySavedEntry)) return true;
  }
}

bool CMpFlow_OTP::MP_OTPBlockValidAndSet(std::uint32_t entryAddress, int index) {
  ReadEccTable();
  for (int k = 1; k <= kEccRecords; ++k) {
    const EccRecord r = Record(k);
    if (r.InUse() && r.wAddress >= entryAddress && r.wAddress < entryAddress + kBlockEntrySize) {
      // A replacement record points into the entry itself: the entry cannot be trusted.
      RetireByte(EntryAddress(index) + 4);
      RetireByte(RecordAddress(k) + 3);
      return false;
    }
  }
  return true;
}

void CMpFlow_OTP::MP_OTPFailAction(std::uint32_t length) {
  if (!m_bWriteStarted) return;
  MP_OTPWriteBlockFail(m_wCurAddr, length);
  MP_OTPClearCurECC(m_wCurAddr, length);
}

bool CMpFlow_OTP::BelongsTo(std::uint16_t address, std::uint8_t flag) {
  std::array<std::uint8_t, kBlockTableSize> table{};
  if (!Otp().Read(kBlockTableAddress, table)) table.fill(0);
  for (int i = 0; i < kBlockEntries; ++i) {
    const VdEntry e = DecodeEntry(std::span<const std::uint8_t>(table).subspan(kBlockEntrySize * static_cast<std::size_t>(i)));
    if (e.byFlag != flag) continue;
    if (e.wStart == address || (address >= e.wStart && address < static_cast<std::uint32_t>(e.wStart) + e.wLength))
      return true;
  }
  return false;
}

bool CMpFlow_OTP::MP_OTPECCBelongToVDCode(std::uint16_t address) { return BelongsTo(address, kFlagCode); }
bool CMpFlow_OTP::MP_OTPECCBelongToVDConfig(std::uint16_t address) { return BelongsTo(address, kFlagConfig); }

void CMpFlow_OTP::MP_OTPClearECC() {
  for (std::uint8_t k : m_byCleanupList) {
    if (k == 0 || k > kEccRecords) continue;
    if (!MP_OTPWriteEnale()) continue;
    std::array<std::uint8_t, kEccRecordSize> b{};
    if (!Otp().Read(RecordAddress(k), b)) continue;
    const EccRecord r = DecodeRecord(b);
    const bool superseded = CurrentFlag() == kFlagCode ? MP_OTPECCBelongToVDCode(r.wAddress) : MP_OTPECCBelongToVDConfig(r.wAddress);
    if (superseded) RetireByte(RecordAddress(k) + 3);
  }
}

void CMpFlow_OTP::MP_OTPClearCurECC(std::uint16_t stopAddress, std::uint32_t length) {
  ReadEccTable();
  const std::uint32_t start = static_cast<std::uint16_t>(m_wVDAddress + m_wVDLength);
  const std::uint32_t stop = stopAddress == 0xFFFF ? start + length : stopAddress;
  std::array<int, kFailQueueSlots> records{};
  int n = 0;
  for (int k = 1; k <= kEccRecords && n < kFailQueueSlots; ++k) {
    const EccRecord r = Record(k);
    if (r.InUse() && r.wAddress >= start && r.wAddress < stop) records[static_cast<std::size_t>(n++)] = k;
  }
  for (int j = 0; j < n; ++j)
    if (MP_OTPWriteEnale()) RetireByte(RecordAddress(records[static_cast<std::size_t>(j)]) + 3);
}

void CMpFlow_OTP::ClearPreviousEntries(int below) {
  const std::uint8_t flag = CurrentFlag();
  // Writing the other live flag onto a live flag makes it 0xFF.
  const std::uint8_t other = flag == kFlagCode ? kFlagConfig : kFlagCode;
  for (int j = 0; j < below && j < kBlockEntries; ++j) {
    if (Queries().ReadEntry(j).byFlag != flag) continue;
    const std::array<std::uint8_t, 1> b{other};
    WriteTable(EntryAddress(j) + 4, b);
  }
}

void CMpFlow_OTP::MP_OTPClearPreVDBlock() { ClearPreviousEntries(m_iSelBlock); }
void CMpFlow_OTP::MP_OTPClearPrePreVDBlock() { ClearPreviousEntries(m_iPreSelBlock); }

}  // namespace drover::otp
