// The block update of CMpFlow_OTP: where the block goes, the chunk writes with their failure
// analysis, the ECC records for the failures and the read-back.
#include "otp/mp_flow_otp.h"

#include <algorithm>
#include <new>
#include <string>

#include "base/status.h"
#include "base/thread_flag.h"
#include "base/trace.h"

namespace drover::otp {

namespace {

// Ends the bookkeeping phase of the commands when the block update returns, whichever way.
class BookkeepingGuard {
 public:
  explicit BookkeepingGuard(COtpCommands& otp) : m_otp(otp) {}
  ~BookkeepingGuard() { m_otp.SetBookkeeping(false); }
  BookkeepingGuard(const BookkeepingGuard&) = delete;
  BookkeepingGuard& operator=(const BookkeepingGuard&) = delete;

 private:
  COtpCommands& m_otp;
};

// An abnormal area: this many non-zero bytes in a row.
constexpr std::uint32_t kAbnormalRun = 8;
constexpr std::uint32_t kAbnormalWindow = 0x100;

}  // namespace

CMpFlow_OTP::CMpFlow_OTP(EngineContext& context)
    : ::drover::COTPInfo_USB(context), m_otp(*this), m_queries(m_otp) {
  m_wFailAddr.fill(0xFFFF);
}

void CMpFlow_OTP::Fail(const TraceScope& scope, std::uint32_t id) {
  PostToDialog(UM_ERROR, id, 0);
  TraceFail(scope, std::string(StatusText(id)) + "\n");
}

void CMpFlow_OTP::SetCurrentBlock(std::uint8_t kind, std::span<const std::uint8_t> image) {
  m_byOtpBlockKind = kind;
  m_OtpBlockImage.assign(image.begin(), image.end());
  m_wOtpBlockLength = static_cast<std::uint16_t>(image.size());
}

void CMpFlow_OTP::ClearCurrentBlock() {
  m_byOtpBlockKind = kKindConfig;
  m_OtpBlockImage.clear();
  m_wOtpBlockLength = 0;
}

void CMpFlow_OTP::ReadEccTable() {
  m_byEccTable.fill(0xFF);
  if (!m_otp.Read(kEccTableAddress, m_byEccTable)) m_byEccTable.fill(0xFF);
}

void CMpFlow_OTP::ReadBlockTable() {
  m_byBlockTable.fill(0xFF);
  if (!m_otp.Read(kBlockTableAddress, m_byBlockTable)) m_byBlockTable.fill(0xFF);
}

EccRecord CMpFlow_OTP::Record(int k) const {
  return DecodeRecord(std::span<const std::uint8_t>(m_byEccTable).subspan(kEccRecordSize * static_cast<std::size_t>(k - 1)));
}

VdEntry CMpFlow_OTP::TableEntry(int i) const {
  return DecodeEntry(std::span<const std::uint8_t>(m_byBlockTable).subspan(kBlockEntrySize * static_cast<std::size_t>(i)));
}

// ---- block update ----

bool CMpFlow_OTP::OTP_UpdateEx_Cmd2(std::span<const std::uint8_t> image) {
  TraceScope scope("CMpFlow_OTP::OTP_UpdateEx_Cmd2");
  BookkeepingGuard bookkeeping(m_otp);
  m_bWriteStarted = false;
  if (StopRequested()) {
    Fail(scope, status::kResetDeviceFail);
    return false;
  }
  // A block length is 16 bits; no longer image can be a block.
  if (image.size() > 0xFFFF) {
    Fail(scope, status::kCodeExceedMax);
    return false;
  }
  const auto length = static_cast<std::uint16_t>(image.size());
  std::vector<std::uint8_t> readBack;
  try {
    readBack.assign(length, 0);
  } catch (const std::bad_alloc&) {
    Fail(scope, status::kMallocFail);
    return false;
  }

  if (!MP_OTPWrite(length, image)) {
    MP_OTPFailAction(length);
    return false;
  }

  // The comparison sees the data as the ECC table corrects it; a read that did not complete
  // is a difference like any other.
  const bool read = OTP_Veriry_Cmd2(m_wStartAddr, length, readBack) &&
                    MP_OTPGetCorrectCodeData(m_wStartAddr, length, readBack);
  if (!read || !std::equal(readBack.begin(), readBack.end(), image.begin(), image.end())) {
    Fail(scope, status::kCompareFail);
    MP_OTPFailAction(length);
    return false;
  }

  if (!MP_OTPWriteBlock(length)) {
    MP_OTPClearCurECC(m_wCurAddr, length);
    Fail(scope, status::kWriteBlockFail);
    return false;
  }

  if (m_iSelBlock != m_iPreSelBlock) {
    MP_OTPClearECC();
    const VdEntry pre = m_queries.ReadEntry(m_iPreSelBlock);
    if (pre.byFlag == kFlagCode || pre.byFlag == kFlagConfig) {
      MP_OTPClearPreVDBlock();
    } else {
      MP_OTPClearPrePreVDBlock();
    }
  }
  return true;
}

bool CMpFlow_OTP::OTP_Veriry_Cmd2(std::uint16_t start, std::uint16_t length, std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow_OTP::OTP_Veriry_Cmd2");
  PostToDialog(UM_STEP, status::kStepRead, 0);
  if (buffer.size() < length) return false;
  for (std::uint32_t offset = 0; offset < length; offset += kOtpChunk) {
    if (StopRequested()) return false;
    const std::uint32_t n = std::min<std::uint32_t>(kOtpChunk, length - offset);
    if (!m_otp.Read(start + offset, buffer.subspan(offset, n))) {
      TraceFail(scope, "OTPRead Fail\n");
      return false;
    }
  }
  return true;
}

bool CMpFlow_OTP::MP_OTPWrite(std::uint16_t length, std::span<const std::uint8_t> data) {
  TraceScope scope("CMpFlow_OTP::MP_OTPWrite");
  m_uTotalErrorNum = 0;
  m_wCurAddr = 0xFFFF;
  m_bWriteStarted = false;
  m_otp.SetBookkeeping(false);
  if (data.size() < length) return false;

  if (MP_CheckVDNUM() == 0) {
    Fail(scope, status::kNotEnoughVdBlock);
    return false;
  }
  if (!MP_CheckVDInfo(length)) return false;
  m_wStartAddr = static_cast<std::uint16_t>(m_wVDAddress + m_wVDLength);
  if (MP_CheckOTPWriteInValid(m_wStartAddr)) {
    Fail(scope, status::kLastWriteAbnormal);
    return false;
  }

  MP_OTPInit();
  MP_OTPGetTotalErrorNum(m_wStartAddr, length);
  // The chip may consume the free records, less those that reserved records beyond the block
  // still need; the unsigned difference wraps when more than 8 are reserved there.
  m_uExecECCNum = std::min<std::uint32_t>(m_uVirtualECCNum, 8u - m_uSubECCNum);

  // The data as the chip must get it; the image itself stays as built for the comparison and
  // for completing reserved records.
  std::vector<std::uint8_t> work;
  try {
    m_verifyImage.assign(data.begin(), data.begin() + length);
    work = m_verifyImage;
  } catch (const std::bad_alloc&) {
    Fail(scope, status::kMallocFail);
    return false;
  }
  if (!MP_OTPConvertBinaryData(m_wStartAddr, length, work)) return false;
  PostToDialog(UM_STEP, status::kStepDownload, 0);
  if (length == 0) return false;

  for (std::uint32_t offset = 0; offset < length; offset += kOtpChunk) {
    if (StopRequested()) return false;
    if (offset == 0) {
      // From here on bytes of the code area may be programmed: whatever ends the write, the
      // tables must record them, so the stop request no longer holds back the table writes.
      // A stop before the first chunk programmed nothing and must not use up a failed block.
      m_bWriteStarted = true;
      m_otp.SetBookkeeping(true);
    }
    const std::uint32_t chunk = std::min<std::uint32_t>(kOtpChunk, length - offset);
    if (!MP_OTPWriteWithRetry(static_cast<std::uint16_t>(m_wStartAddr + offset), chunk, m_uExecECCNum,
                              std::span<const std::uint8_t>(work).subspan(offset, chunk)))
      return false;
    if (m_byOtpBlockKind == kKindCode) PostToDialog(UM_PROGRESS, (offset + chunk) * 80 / length + 10, 0);
  }
  m_wCurAddr = 0xFFFF;
  return MP_OTPReduant();
}

bool CMpFlow_OTP::MP_OTPWriteWithRetry(std::uint16_t address, std::uint32_t length, std::uint32_t budget,
                                       std::span<const std::uint8_t> data) {
  TraceScope scope("CMpFlow_OTP::MP_OTPWriteWithRetry");
  if (!MP_OTPWriteEnale()) {
    Fail(scope, status::kOtpLocked);
    return false;
  }
  const std::span<const std::uint8_t> chunk = data.first(std::min<std::size_t>(length, data.size()));
  // The command's own answer decides nothing: the chip's fail record tells what happened.
  m_otp.Write(address, static_cast<std::uint16_t>(std::min<std::uint32_t>(budget, 0xFFFF)), chunk);
  return MP_OTPAnalyzeECC(address, chunk);
}

bool CMpFlow_OTP::MP_OTPWriteEnale() {
  // The register read itself takes far longer than the microsecond the lock needs to settle.
  std::uint8_t lock = 0xFF;
  if (!m_otp.ReadLockRegister(lock)) lock = 0xFF;
  return (lock & kOtpLockBit) == 0;
}

std::uint16_t CMpFlow_OTP::StopAddress(std::uint16_t current, std::uint16_t chunkAddress, std::uint32_t length) const {
  // A stop outside the chunk cannot be true; the chip got at most to the chunk's end.
  const std::uint32_t end = chunkAddress + length;
  if (current < chunkAddress || current > end) return static_cast<std::uint16_t>(end);
  return current;
}

bool CMpFlow_OTP::Queued(std::uint16_t address) const {
  for (int s = 0; s < kFailQueueSlots; ++s)
    if (m_bFailInUse[static_cast<std::size_t>(s)] && m_wFailAddr[static_cast<std::size_t>(s)] == address) return true;
  return false;
}

bool CMpFlow_OTP::MP_OTPAnalyzeECC(std::uint16_t chunkAddress, std::span<const std::uint8_t> chunk) {
  TraceScope scope("CMpFlow_OTP::MP_OTPAnalyzeECC");
  const auto length = static_cast<std::uint32_t>(chunk.size());
  std::array<std::uint8_t, kFailRecordSize> raw{};
  if (!m_otp.ReadFailRecord(raw)) {
    // Without the chip's report nothing is known of this chunk: everything sent may be in
    // the OTP, and none of its failures could get a record.
    m_wCurAddr = static_cast<std::uint16_t>(chunkAddress + length);
    Fail(scope, status::kWriteOtpFail);
    return false;
  }
  const FailRecord rec = DecodeFailRecord(raw);
  const int listed = std::min<int>(rec.byCount, kFailRecordAddresses);
  m_uCurErrorNum = rec.byCount;

  // An address already queued (found before writing, or in an earlier chunk) is no new error.
  for (int s = 0; s < kFailQueueSlots; ++s) {
    if (!m_bFailInUse[static_cast<std::size_t>(s)]) continue;
    for (int j = 0; j < listed; ++j) {
      if (rec.wAddress[static_cast<std::size_t>(j)] == m_wFailAddr[static_cast<std::size_t>(s)]) {
        if (m_uCurErrorNum > 0) --m_uCurErrorNum;
        break;
      }
    }
  }
  if (m_uCurErrorNum == 0) return true;

  if (m_uExecECCNum < m_uCurErrorNum) {
    m_wCurAddr = StopAddress(rec.wCurrent, chunkAddress, length);
    Fail(scope, status::kErrorNumExceed);
    return false;
  }
  m_uExecECCNum -= m_uCurErrorNum;
  m_uTotalErrorNum += m_uCurErrorNum;

  int j = 0;
  while (m_uCurErrorNum > 0) {
    if (j >= listed) {
      // The record counts more failures than it names: the rest cannot get a record, and a
      // record that contradicts itself says nothing of where the chip stopped either.
      m_wCurAddr = static_cast<std::uint16_t>(chunkAddress + length);
      Fail(scope, status::kErrorNumExceed);
      return false;
    }
    const std::uint16_t a = rec.wAddress[static_cast<std::size_t>(j++)];
    if (Queued(a)) continue;
    if (a < chunkAddress || a >= chunkAddress + length) {
      // The chip names a byte this write did not send: the record cannot be trusted, its stop
      // address neither, so the whole chunk counts as programmed; the value the byte should
      // have is not known here.
      m_wCurAddr = static_cast<std::uint16_t>(chunkAddress + length);
      Fail(scope, status::kFailAddress);
      return false;
    }
    int slot = -1;
    for (int s = 0; s < kFailQueueSlots && slot < 0; ++s)
      if (!m_bFailInUse[static_cast<std::size_t>(s)]) slot = s;
    if (slot < 0) {
      m_wCurAddr = static_cast<std::uint16_t>(chunkAddress + length);
      Fail(scope, status::kErrorNumExceed);
      return false;
    }
    m_wFailAddr[static_cast<std::size_t>(slot)] = a;
    m_byFailValue[static_cast<std::size_t>(slot)] = chunk[a - chunkAddress];
    m_bFailInUse[static_cast<std::size_t>(slot)] = true;
    --m_uCurErrorNum;
  }
  return true;
}

void CMpFlow_OTP::MP_OTPInit() {
  m_byCleanupList.fill(0);
  m_bFailInUse.fill(false);
  m_byFailValue.fill(0);
  m_wFailAddr.fill(0xFFFF);
  m_bBudgetRefused = false;
}

void CMpFlow_OTP::MP_OTPGetTotalErrorNum(std::uint16_t start, std::uint32_t length) {
  ReadEccTable();
  m_uActualECCNum = kFailQueueSlots;
  m_uVirtualECCNum = 0;
  m_uSubECCNum = 0;
  const std::uint32_t end = start + length;
  for (int k = 1; k <= kEccRecords; ++k) {
    const EccRecord r = Record(k);
    if (r.InUse() && r.wAddress < start) {
      // Records that patch blocks below the new one; they are retired once it is in place.
      if (m_uActualECCNum > 0) {
        m_byCleanupList[kFailQueueSlots - m_uActualECCNum] = static_cast<std::uint8_t>(k);
        --m_uActualECCNum;
      }
    } else if (r.Reserved() && r.wAddress >= start && r.wAddress < end) {
      ++m_uVirtualECCNum;  // completed by this write
    } else if (r.Reserved() && r.wAddress >= end && r.wAddress < kCodeAreaEnd) {
      ++m_uSubECCNum;  // stays reserved
    } else if (r.Blank()) {
      ++m_uVirtualECCNum;
    }
  }
}

std::uint32_t CMpFlow_OTP::MP_CheckVDNUM() {
  ReadBlockTable();
  m_uVDFLagNum = 0;
  for (int i = 0; i < kBlockEntries; ++i)
    if (TableEntry(i).bBlank) ++m_uVDFLagNum;
  return m_uVDFLagNum;
}

bool CMpFlow_OTP::MP_CheckVDInfo(std::uint32_t length) {
  TraceScope scope("CMpFlow_OTP::MP_CheckVDInfo");
  m_iPreSelBlock = FindLastValidVDEntry();
  // Blocks follow their entries in order. An entry that still reads blank below one in use
  // is one whose bytes refused to program: a block entered there would start after the
  // blocks below it and so be written over the blocks entered above it.
  int highestUsed = -1;
  for (int i = 0; i < kBlockEntries; ++i)
    if (!TableEntry(i).bBlank) highestUsed = i;
  int chosen = -1;
  for (int i = 0; i < kBlockEntries && chosen < 0; ++i) {
    if (!MP_OTPBlockValidAndSet(EntryAddress(i), i) || !TableEntry(i).bBlank || i < highestUsed) continue;
    chosen = i;
    m_iSelBlock = i;
    m_wVDAddress = 0;
    m_wVDLength = 0;
    // A failed block counts as a predecessor like a live one: the new block starts after
    // whatever a failed attempt may have programmed.
    for (int j = i - 1; j >= 0; --j) {
      if (MP_OTPBlockValid(EntryAddress(j))) {
        const VdEntry e = TableEntry(j);
        m_wVDAddress = e.wStart;
        m_wVDLength = e.wLength;
        break;
      }
    }
  }
  if (chosen < 0) {
    Fail(scope, status::kVdBlockNotFound);
    return false;
  }
  if (static_cast<std::uint32_t>(m_wVDAddress) + m_wVDLength + length >= kCodeAreaEnd + 1) {
    m_iSelBlock = m_iPreSelBlock;
    Fail(scope, status::kCodeExceedMax);
    return false;
  }
  return true;
}

bool CMpFlow_OTP::MP_CheckOTPWriteInValid(std::uint16_t start) {
  TraceScope scope("CMpFlow_OTP::MP_CheckOTPWriteInValid");
  const std::uint32_t limit = std::min<std::uint32_t>(static_cast<std::uint32_t>(start) + kAbnormalWindow, kCodeAreaEnd);
  if (start >= limit) return false;
  std::vector<std::uint8_t> area(limit - start, 0);
  if (!m_otp.Read(start, area)) {
    // What lies behind the last block is unknown: writing there could mix two blocks.
    TraceFail(scope, "OTPRead Fail\n");
    return true;
  }
  std::uint32_t run = 0;
  for (std::uint8_t b : area) {
    run = b != 0 ? run + 1 : 0;
    if (run >= kAbnormalRun) return true;
  }
  return false;
}

bool CMpFlow_OTP::MP_OTPConvertBinaryData(std::uint16_t start, std::uint32_t length, std::span<std::uint8_t> data) {
  ReadEccTable();
  std::uint8_t otpByte = 0xFF;
  for (int k = 1; k <= kEccRecords; ++k) {
    const EccRecord r = Record(k);
    if (!r.Reserved() || r.wAddress < start || r.wAddress >= start + length) continue;
    std::array<std::uint8_t, 1> b{};
    if (m_otp.Read(r.wAddress, b)) otpByte = b[0];
    std::uint8_t& d = data[r.wAddress - start];
    d = MP_ChangeBinaryData(otpByte, d, r.wAddress);
    if (m_bBudgetRefused) return false;
  }
  return true;
}

std::uint8_t CMpFlow_OTP::MP_ChangeBinaryData(std::uint8_t otpByte, std::uint8_t dataByte, std::uint16_t address) {
  // Only bits the bad byte does not hold yet are sent; the record carries the whole value.
  const auto adapted = static_cast<std::uint8_t>(dataByte & ~otpByte);
  if (!MP_OTPReduceErrNum(address, dataByte)) m_bBudgetRefused = true;
  return adapted;
}

bool CMpFlow_OTP::MP_OTPReduceErrNum(std::uint16_t address, std::uint8_t value) {
  TraceScope scope("CMpFlow_OTP::MP_OTPReduceErrNum");
  int slot = -1;
  for (int s = 0; s < kFailQueueSlots && slot < 0; ++s)
    if (!m_bFailInUse[static_cast<std::size_t>(s)]) slot = s;
  // No budget left, or no slot: the byte could not get its record.
  if (m_uExecECCNum == 0 || slot < 0) {
    Fail(scope, status::kErrorNumExceed);
    return false;
  }
  --m_uExecECCNum;
  ++m_uTotalErrorNum;
  m_wFailAddr[static_cast<std::size_t>(slot)] = address;
  m_byFailValue[static_cast<std::size_t>(slot)] = value;
  m_bFailInUse[static_cast<std::size_t>(slot)] = true;
  return true;
}

bool CMpFlow_OTP::MP_OTPReduant() {
  TraceScope scope("CMpFlow_OTP::MP_OTPReduant");
  int s = 0;
  while (s < kFailQueueSlots) {
    if (!m_bFailInUse[static_cast<std::size_t>(s)]) {
      ++s;
      continue;
    }
    if (m_uVirtualECCNum == 0 || m_uTotalErrorNum == 0) {
      Fail(scope, status::kEccLowerThanErrors);
      return false;
    }
    const int r = MP_OTPReduantDetail(m_wFailAddr[static_cast<std::size_t>(s)], m_byFailValue[static_cast<std::size_t>(s)]);
    if (r == 0) {
      --m_uVirtualECCNum;
      --m_uTotalErrorNum;
      ++s;
    } else if (r == 1) {
      --m_uVirtualECCNum;  // the same failure goes into the next free record
    } else if (r == 3) {
      return false;
    } else {
      Fail(scope, status::kReduantFail);
      return false;
    }
    if (m_uTotalErrorNum == 0) return true;
    if (m_uVirtualECCNum < m_uTotalErrorNum || m_uVirtualECCNum == 0) {
      Fail(scope, status::kEccLowerThanErrors);
      return false;
    }
  }
  return true;
}

int CMpFlow_OTP::MP_OTPReduantDetail(std::uint16_t address, std::uint8_t value) {
  TraceScope scope("CMpFlow_OTP::MP_OTPReduantDetail");
  ReadEccTable();
  if (!MP_OTPWriteEnale()) {
    Fail(scope, status::kOtpLocked);
    return 3;
  }
  // A reserved record for the address is completed before a blank one is taken, so that one
  // address never has two records.
  int k = 0;
  std::array<std::uint8_t, kEccRecordSize> bytes{};
  for (int i = 1; i <= kEccRecords && k == 0; ++i) {
    const EccRecord r = Record(i);
    if (r.Reserved() && r.wAddress == address) {
      const std::uint32_t at = static_cast<std::uint32_t>(address - m_wStartAddr);
      const std::uint8_t imageByte = address >= m_wStartAddr && at < m_verifyImage.size() ? m_verifyImage[at] : value;
      bytes = EncodeRecord(address, imageByte, kMarkInUse);
      k = i;
    }
  }
  for (int i = 1; i <= kEccRecords && k == 0; ++i) {
    if (Record(i).Blank()) {
      bytes = EncodeRecord(address, value, kMarkInUse);
      k = i;
    }
  }
  if (k == 0) {
    TraceFail(scope, "No ECC record left\n");
    return 2;
  }
  if (WriteTable(RecordAddress(k), bytes)) return 0;
  RetireByte(RecordAddress(k) + 3);
  return 1;
}

bool CMpFlow_OTP::MP_OTPGetCorrectCodeData(std::uint16_t start, std::uint32_t length, std::span<std::uint8_t> buffer) {
  TraceScope scope("CMpFlow_OTP::MP_OTPGetCorrectCodeData");
  for (int k = 1; k <= kEccRecords; ++k) {
    std::array<std::uint8_t, kEccRecordSize> b{};
    if (!m_otp.Read(RecordAddress(k), b)) {
      // A correction that cannot be read would leave a wrong byte looking right.
      TraceFail(scope, "OTPRead Fail\n");
      return false;
    }
    const EccRecord r = DecodeRecord(b);
    if (r.InUse() && r.wAddress >= start && r.wAddress < start + length &&
        static_cast<std::size_t>(r.wAddress - start) < buffer.size())
      buffer[r.wAddress - start] = r.byValue;
  }
  return true;
}

}  // namespace drover::otp
