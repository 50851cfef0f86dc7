// The OTP memory map: the status identifiers with their texts, and the entry, record and
// fail-record layouts.
#include <gtest/gtest.h>

#include "base/status.h"
#include "otp/otp_layout.h"

namespace drover::otp {
namespace {

TEST(OtpLayout, EveryStatusOfTheOtpFlowsHasItsTextInTheStringTable) {
  for (const OtpStatusRow& row : kOtpStatusTable) {
    SCOPED_TRACE(row.id);
    EXPECT_EQ(StatusText(row.id), row.text);
  }
}

TEST(OtpLayout, TablesSitAtTheTopOfTheOtp) {
  EXPECT_EQ(EntryAddress(0), 0x3F70u);
  EXPECT_EQ(EntryAddress(15) + kBlockEntrySize, kEccTableAddress);
  EXPECT_EQ(RecordAddress(1), kEccTableAddress);
  EXPECT_EQ(RecordAddress(16) + kEccRecordSize, kOtpSize);
  EXPECT_LT(kCodeAreaEnd, kBlockTableAddress);
}

TEST(OtpLayout, EntriesRecordsAndFailRecordsAreBigEndian) {
  const auto e = EncodeEntry(0x1234, 0x0567, kFlagCode);
  EXPECT_EQ(std::vector<std::uint8_t>(e.begin(), e.end()), (std::vector<std::uint8_t>{0x12, 0x34, 0x05, 0x67, 0x55}));
  const VdEntry d = DecodeEntry(e);
  EXPECT_EQ(d.wStart, 0x1234);
  EXPECT_EQ(d.wLength, 0x0567);
  EXPECT_TRUE(d.Used());
  EXPECT_FALSE(d.bBlank);
  const std::uint8_t blank[5] = {};
  EXPECT_TRUE(DecodeEntry(blank).bBlank);
  EXPECT_FALSE(DecodeEntry(blank).Used());

  const EccRecord reserved = DecodeRecord(EncodeRecord(0x0200, 0x00, kMarkInUse));
  EXPECT_TRUE(reserved.Reserved());
  EXPECT_FALSE(DecodeRecord(EncodeRecord(0x0200, 0x33, kMarkInUse)).Reserved());
  EXPECT_TRUE(DecodeRecord(EncodeRecord(0, 0, 0)).Blank());
  EXPECT_FALSE(DecodeRecord(EncodeRecord(0, 0, kMarkRetired)).Blank());

  std::uint8_t raw[kFailRecordSize] = {2, 0x01, 0x23, 0x04, 0x56};
  raw[17] = 0x04;
  raw[18] = 0x56;
  const FailRecord f = DecodeFailRecord(raw);
  EXPECT_EQ(f.byCount, 2);
  EXPECT_EQ(f.wAddress[0], 0x0123);
  EXPECT_EQ(f.wAddress[1], 0x0456);
  EXPECT_EQ(f.wCurrent, 0x0456);
}

}  // namespace
}  // namespace drover::otp
