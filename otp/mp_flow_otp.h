#pragma once
// OTP programming with ECC and redundancy: one block appended after the last one, bytes that
// fail to program patched by replacement records in the ECC table, the block entered in the
// block table, and what it supersedes retired by programming all its remaining bits. OTP is
// never rewritten in place: after a failure the tables are left so that the next block
// starts after every byte the failed attempt may have programmed.
//
// The engine places the OTP branch of the device flow (drover::CMpFlow_OTP to
// drover::COTPInfo_USB, with the base answers); this library continues it with the layers
// that do the work, under the same names in drover::otp, and registers its leaf with the
// factory (otp/otp_flows.h).
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/trace.h"
#include "engine/otp_info.h"
#include "otp/otp_commands.h"
#include "otp/otp_layout.h"

namespace drover::otp {

// Block kinds of the current block.
inline constexpr std::uint8_t kKindConfig = 0;
inline constexpr std::uint8_t kKindCode = 1;

class CMpFlow_OTP : public ::drover::COTPInfo_USB {
 public:
  explicit CMpFlow_OTP(EngineContext& context);

  // ---- the block update ----
  // Writes one block, verifies it, enters it in the block table and retires what it
  // supersedes. False after a status post.
  bool OTP_UpdateEx_Cmd2(std::span<const std::uint8_t> image);
  // Reads a block back in 4096-byte pieces (UM_STEP "Read" first); false when the operator
  // stopped it or a piece could not be read.
  bool OTP_Veriry_Cmd2(std::uint16_t start, std::uint16_t length, std::span<std::uint8_t> buffer);
  // Programs one block after the last one, with ECC handling.
  bool MP_OTPWrite(std::uint16_t length, std::span<const std::uint8_t> data);
  // One chunk write and the analysis of its fail record.
  bool MP_OTPWriteWithRetry(std::uint16_t address, std::uint32_t length, std::uint32_t budget,
                            std::span<const std::uint8_t> data);
  // Reads the fail record of the last chunk write and queues its new failures.
  bool MP_OTPAnalyzeECC(std::uint16_t chunkAddress, std::span<const std::uint8_t> chunk);
  // Writes an ECC record for every queued failure.
  bool MP_OTPReduant();
  // Writes one ECC record: 0 written, 1 the record failed and was retired, 2 no record was
  // free for it, 3 the OTP is locked.
  int MP_OTPReduantDetail(std::uint16_t address, std::uint8_t value);
  void MP_OTPInit();
  // Counts the ECC records by class for a block at start of the given length.
  void MP_OTPGetTotalErrorNum(std::uint16_t start, std::uint32_t length);
  // Reads the block table copy; the number of all-zero entries.
  std::uint32_t MP_CheckVDNUM();
  // Chooses the entry and predecessor of a new block of the given length.
  bool MP_CheckVDInfo(std::uint32_t length);
  // True when the area at start looks programmed (an earlier write cut off before its entry).
  bool MP_CheckOTPWriteInValid(std::uint16_t start);
  // Adapts data to the reserved ECC records inside the block; false when the budget is gone.
  bool MP_OTPConvertBinaryData(std::uint16_t start, std::uint32_t length, std::span<std::uint8_t> data);
  std::uint8_t MP_ChangeBinaryData(std::uint8_t otpByte, std::uint8_t dataByte, std::uint16_t address);
  // Queues a failure known before writing; false (status 41919) when no budget or slot is left.
  bool MP_OTPReduceErrNum(std::uint16_t address, std::uint8_t value);
  bool MP_OTPWriteBlock(std::uint32_t length);
  bool MP_OTPWriteBlockFail(std::uint16_t stopAddress, std::uint32_t length);
  bool MP_OTPReduantVDFlag(int index);
  bool MP_OTPBlockValidAndSet(std::uint32_t entryAddress, int index);
  bool MP_OTPWriteEnale();
  // Applies the ECC records to read-back data; false when a record could not be read.
  bool MP_OTPGetCorrectCodeData(std::uint16_t start, std::uint32_t length, std::span<std::uint8_t> buffer);
  void MP_OTPFailAction(std::uint32_t length);
  void MP_OTPClearECC();
  bool MP_OTPECCBelongToVDCode(std::uint16_t address);
  bool MP_OTPECCBelongToVDConfig(std::uint16_t address);
  void MP_OTPClearCurECC(std::uint16_t stopAddress, std::uint32_t length);
  void MP_OTPClearPreVDBlock();
  void MP_OTPClearPrePreVDBlock();

  // ---- block-table queries of the customize layer ----
  bool MP_OTPBlockValid(std::uint32_t entryAddress) { return m_queries.MP_OTPBlockValid(entryAddress); }
  std::uint16_t GetLastVDBlockLength() { return m_queries.GetLastVDBlockLength(); }
  std::uint16_t GetVDBlockAddrByLength(std::uint16_t length) { return m_queries.GetVDBlockAddrByLength(length); }
  int GetFreeVDEntryCount() { return m_queries.GetFreeVDEntryCount(); }
  int FindLastValidVDEntry() { return m_queries.FindLastValidVDEntry(); }

  // ---- the current block (set by the block builder, read by the block writes) ----
  void SetCurrentBlock(std::uint8_t kind, std::span<const std::uint8_t> image);
  void ClearCurrentBlock();
  std::uint8_t OtpBlockKind() const { return m_byOtpBlockKind; }
  std::span<const std::uint8_t> OtpBlockImage() const { return m_OtpBlockImage; }
  std::uint16_t OtpBlockLength() const { return m_wOtpBlockLength; }

  // ---- working state ----
  std::array<std::uint16_t, kFailQueueSlots> m_wFailAddr{};
  std::array<std::uint8_t, kFailQueueSlots> m_byFailValue{};
  std::array<bool, kFailQueueSlots> m_bFailInUse{};
  std::array<std::uint8_t, kFailQueueSlots> m_byCleanupList{};  // ECC record numbers, 0 = none
  std::uint32_t m_uActualECCNum = 0;
  std::uint32_t m_uVirtualECCNum = 0;
  std::uint32_t m_uSubECCNum = 0;
  std::uint32_t m_uExecECCNum = 0;
  std::uint32_t m_uTotalErrorNum = 0;
  std::uint32_t m_uCurErrorNum = 0;
  std::uint32_t m_uVDFLagNum = 0;
  int m_iSelBlock = 0;
  int m_iPreSelBlock = 0;
  std::uint16_t m_wVDAddress = 0;
  std::uint16_t m_wVDLength = 0;
  std::uint16_t m_wStartAddr = 0;  // VD address + VD length: where the new block starts
  std::uint16_t m_wCurAddr = 0xFFFF;  // where a failed write stopped; 0xFFFF for none
  std::array<std::uint8_t, kEccTableSize> m_byEccTable{};
  std::array<std::uint8_t, kBlockTableSize> m_byBlockTable{};
  std::array<std::uint8_t, kBlockEntrySize> m_bySavedEntry{};
  bool m_bWriteStarted = false;

 protected:
  COtpCommands& Otp() { return m_otp; }
  CBlockTableQueries& Queries() { return m_queries; }
  // Posts UM_ERROR with the identifier and traces its text as a failure line.
  void Fail(const TraceScope& scope, std::uint32_t id);
  // Reads the ECC table / block table copy (0xFF where the read fails).
  void ReadEccTable();
  void ReadBlockTable();
  EccRecord Record(int k) const;     // from the copy, k = 1..16
  VdEntry TableEntry(int i) const;   // from the copy
  // A table write: the lock first, then OTPWrite with the full budget and the fail record;
  // true only when every step answered and no byte failed.
  bool WriteTable(std::uint32_t address, std::span<const std::uint8_t> bytes);
  // Reads a byte and programs its complement, so that it becomes 0xFF.
  bool RetireByte(std::uint32_t address);
  std::uint8_t CurrentFlag() const { return m_byOtpBlockKind == kKindCode ? kFlagCode : kFlagConfig; }

  // The block image as built, unchanged: the read-back is compared with it and reserved ECC
  // records are completed from it.
  std::vector<std::uint8_t> m_verifyImage;

 private:
  // The stop address of a fail record, kept within the chunk just written.
  std::uint16_t StopAddress(std::uint16_t current, std::uint16_t chunkAddress, std::uint32_t length) const;
  bool Queued(std::uint16_t address) const;
  bool WriteSavedEntry(const TraceScope& scope, int index, bool reportLock);
  bool BelongsTo(std::uint16_t address, std::uint8_t flag);
  void ClearPreviousEntries(int below);

  COtpCommands m_otp;
  CBlockTableQueries m_queries;
  std::uint8_t m_byOtpBlockKind = kKindConfig;
  std::vector<std::uint8_t> m_OtpBlockImage;
  std::uint16_t m_wOtpBlockLength = 0;
  bool m_bBudgetRefused = false;
};

}  // namespace drover::otp
