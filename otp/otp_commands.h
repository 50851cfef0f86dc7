#pragma once
// The OTP commands of a device flow's open device and the block-table queries every device
// flow answers (the customize layer under the polymorphic flow): which entries are live,
// where the used code area ends and how many entries are left.
#include <cstdint>
#include <functional>
#include <span>

#include "engine/mp_flow.h"
#include "otp/otp_layout.h"

namespace drover::otp {

// Contract: OTPRead, OTPWrite, OTPPrgmFailAddr and the write-lock register read on the flow's
// open device with its command flags. Each fails without an open device, and while the
// operator's stop request stands unless the flow is in its bookkeeping phase (after
// programming of the code area began, what was programmed must still reach the tables).
// Every command is tried up to 8 times in a row; programming is an OR, so sending the same
// bytes again changes nothing that the first try did.
class COtpCommands {
 public:
  explicit COtpCommands(CMpFlow& flow) : m_flow(flow) {}

  bool Read(std::uint32_t address, std::span<std::uint8_t> buffer);
  bool Write(std::uint32_t address, std::uint16_t budget, std::span<const std::uint8_t> data);
  bool ReadFailRecord(std::span<std::uint8_t> record19);
  bool ReadLockRegister(std::uint8_t& value);

  void SetBookkeeping(bool on) { m_bBookkeeping = on; }
  bool Bookkeeping() const { return m_bBookkeeping; }

 private:
  bool Send(const std::function<bool()>& command);

  CMpFlow& m_flow;
  bool m_bBookkeeping = false;
};

// Contract: the block-table queries, each reading the entries one by one from entry 15 down
// to entry 0. An entry or table that cannot be read counts as all 0xFF bytes (used, not
// live), as the table copies of the OTP flows do; ReadFailed tells that it happened.
class CBlockTableQueries {
 public:
  explicit CBlockTableQueries(COtpCommands& commands) : m_otp(commands) {}

  // False when any ECC record's address (whatever its mark) lies within the entry's 5 bytes.
  bool MP_OTPBlockValid(std::uint32_t entryAddress);
  // Length of the highest entry whose flag is 0x55, 0xAA or 0xFF; 0 if none.
  std::uint16_t GetLastVDBlockLength();
  // Start of the highest entry with flag 0x55, 0xAA or 0xFF and that length; 0 if none.
  std::uint16_t GetVDBlockAddrByLength(std::uint16_t length);
  // 15 - index of the highest entry with flag 0x55, 0xAA or 0xFF; 16 if none.
  int GetFreeVDEntryCount();
  // Index of the highest entry whose flag is non-zero and which MP_OTPBlockValid accepts; 0
  // if none.
  int FindLastValidVDEntry();

  // The end of the used code area: GetLastVDBlockLength plus the start of that block.
  std::uint32_t UsedCodeArea();
  // Entry i as the chip holds it (0xFF bytes when the read fails).
  VdEntry ReadEntry(int i);

  bool ReadFailed() const { return m_bReadFailed; }
  void ClearReadFailed() { m_bReadFailed = false; }

 private:
  COtpCommands& m_otp;
  bool m_bReadFailed = false;
};

}  // namespace drover::otp
