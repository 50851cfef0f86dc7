// One block written with ECC and redundancy, on the simulated OTP: where it goes, the block
// table and ECC table byte for byte afterwards, failures of the code area, of ECC records and
// of block-table entries, the budget, the lock and the abnormal area behind the last block.
#include <algorithm>

#include "otp_fixture.h"

namespace drover::otp::testing {
namespace {

using OtpBlockWrite = OtpTest;

const std::vector<std::uint8_t> kBlankEntry(5, 0x00);
const std::vector<std::uint8_t> kBlankRecord(4, 0x00);

TEST_F(OtpBlockWrite, FirstAndSecondCodeBlocksOnABlankOtp) {
  AddOtpDevice();
  const auto first = Pattern(0x1000, 1);
  ASSERT_TRUE(Update(kKindCode, first));
  EXPECT_EQ(Otp(0x0000, 0x1000), first);
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x10, 0x00, 0x55}));
  EXPECT_EQ(Entry(1), kBlankEntry);
  EXPECT_EQ(Otp(kEccTableAddress, kEccTableSize), std::vector<std::uint8_t>(kEccTableSize, 0));
  EXPECT_TRUE(posts.Has(UM_STEP, status::kStepDownload));
  EXPECT_TRUE(posts.Has(UM_STEP, status::kStepRead));
  EXPECT_TRUE(posts.Has(UM_PROGRESS, 90));

  const auto second = Pattern(0x800, 2);
  ASSERT_TRUE(Update(kKindCode, second));
  EXPECT_EQ(Otp(0x1000, 0x800), second);
  EXPECT_EQ(Entry(1), Bytes({0x10, 0x00, 0x08, 0x00, 0x55}));
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x10, 0x00, 0xFF}));  // superseded
  EXPECT_EQ(Entry(2), kBlankEntry);
  EXPECT_TRUE(posts.Errors().empty());
}

TEST_F(OtpBlockWrite, ACodeBlockRetiresOnlyOlderCodeBlocks) {
  AddOtpDevice();
  ASSERT_TRUE(Update(kKindConfig, Pattern(0x100, 1)));
  ASSERT_TRUE(Update(kKindCode, Pattern(0x200, 2)));
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x01, 0x00, 0xAA}));  // the live configuration block stays
  EXPECT_EQ(Entry(1), Bytes({0x01, 0x00, 0x02, 0x00, 0x55}));
  ASSERT_TRUE(Update(kKindConfig, Pattern(0x80, 3)));
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x01, 0x00, 0xFF}));
  EXPECT_EQ(Entry(1), Bytes({0x01, 0x00, 0x02, 0x00, 0x55}));
  EXPECT_EQ(Entry(2), Bytes({0x03, 0x00, 0x00, 0x80, 0xAA}));
}

TEST_F(OtpBlockWrite, ABlockMayEndAt3F60ButNotBeyond) {
  AddOtpDevice();
  struct Case {
    std::uint16_t length;
    bool accepted;
  };
  for (const Case c : {Case{0x0F60, true}, Case{0x0F61, false}}) {
    SCOPED_TRACE(c.length);
    Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
    posts.posts.clear();
    Poke(EntryAddress(0), Bytes({0x00, 0x00, 0x30, 0x00, 0x55}));
    const auto image = Pattern(c.length);
    EXPECT_EQ(Update(kKindConfig, image), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(Otp(0x3000, c.length), image);
      EXPECT_EQ(Entry(1), Bytes({0x30, 0x00, 0x0F, 0x60, 0xAA}));
    } else {
      EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kCodeExceedMax});
      EXPECT_EQ(Otp(0x3000, 0xF60), std::vector<std::uint8_t>(0xF60, 0));
      EXPECT_EQ(Entry(1), kBlankEntry);
    }
  }
}

TEST_F(OtpBlockWrite, AFullBlockTableStopsBeforeAnythingIsProgrammed) {
  AddOtpDevice();
  for (int i = 0; i < kBlockEntries; ++i) Poke(EntryAddress(i), Bytes({0x00, 0x10 * i, 0x00, 0x10, 0xFF}));
  const auto tables = Otp(kBlockTableAddress, kBlockTableSize + kEccTableSize);
  EXPECT_FALSE(Update(kKindCode, Pattern(0x100)));
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kNotEnoughVdBlock});
  EXPECT_EQ(Otp(0, kBlockTableAddress), std::vector<std::uint8_t>(kBlockTableAddress, 0));
  EXPECT_EQ(Otp(kBlockTableAddress, kBlockTableSize + kEccTableSize), tables);
}

TEST_F(OtpBlockWrite, FailingBytesAreQueuedWithinTheBudget) {
  AddOtpDevice();
  SetBad({0x0123, 0x0456});
  const auto chunk = Pattern(0x400, 9);
  flow->MP_OTPInit();
  flow->m_uExecECCNum = 2;
  ASSERT_TRUE(flow->MP_OTPWriteWithRetry(0x0100, 0x400, 2, chunk));
  EXPECT_EQ(flow->m_wFailAddr[0], 0x0123);
  EXPECT_EQ(flow->m_byFailValue[0], chunk[0x23]);
  EXPECT_EQ(flow->m_wFailAddr[1], 0x0456);
  EXPECT_EQ(flow->m_byFailValue[1], chunk[0x356]);
  EXPECT_EQ(flow->m_uExecECCNum, 0u);
  EXPECT_EQ(flow->m_uTotalErrorNum, 2u);

  // With a budget of 1 the chip stops at the second failure and the write ends there.
  Poke(0, std::vector<std::uint8_t>(0x1000, 0));
  flow->MP_OTPInit();
  flow->m_uExecECCNum = 1;
  flow->m_uTotalErrorNum = 0;
  EXPECT_FALSE(flow->MP_OTPWriteWithRetry(0x0100, 0x400, 1, chunk));
  EXPECT_EQ(posts.Errors().back(), status::kErrorNumExceed);
  EXPECT_EQ(flow->m_wCurAddr, 0x0456);
}

TEST_F(OtpBlockWrite, TwoFailingBytesGetEccRecordsAndTheBlockReadsBackCorrected) {
  AddOtpDevice();
  SetBad({0x0123, 0x0456});
  const auto image = Pattern(0x800, 3);
  ASSERT_TRUE(Update(kKindCode, image));
  EXPECT_EQ(Rec(1), Bytes({0x01, 0x23, image[0x123], 0x5A}));
  EXPECT_EQ(Rec(2), Bytes({0x04, 0x56, image[0x456], 0x5A}));
  EXPECT_EQ(Rec(3), kBlankRecord);
  EXPECT_EQ(Otp(0x0123, 1)[0], 0x00);  // the bad byte itself never took its bits
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x08, 0x00, 0x55}));
}

TEST_F(OtpBlockWrite, ABudgetOfOneFailsWithTheFailedBlockEndingWhereTheChipStopped) {
  AddOtpDevice();
  SetBad({0x0123, 0x0456});
  // One blank record left: the chip may replace one byte only.
  for (int k = 2; k <= kEccRecords; ++k) Poke(RecordAddress(k), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  const auto ecc = Otp(kEccTableAddress, kEccTableSize);
  EXPECT_FALSE(Update(kKindCode, Pattern(0x800, 4)));
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kErrorNumExceed});
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x04, 0x56, 0xFF}));
  EXPECT_EQ(Otp(0x0457, 0x3A9), std::vector<std::uint8_t>(0x3A9, 0));  // nothing behind the stop
  EXPECT_EQ(Otp(kEccTableAddress, kEccTableSize), ecc);

  // The next block starts where the failed one stopped.
  SetBad({});
  const auto next = Pattern(0x100, 5);
  ASSERT_TRUE(Update(kKindCode, next));
  EXPECT_EQ(Entry(1), Bytes({0x04, 0x56, 0x01, 0x00, 0x55}));
  EXPECT_EQ(Otp(0x0456, 0x100), next);
}

// A fail record that cannot be read, or contradicts itself or the write, says nothing reliable
// of where the chip stopped: the failed block covers the whole chunk sent, so the next one
// starts behind it.
TEST_F(OtpBlockWrite, AnUnreliableFailRecordCoversTheWholeChunk) {
  struct Case {
    const char* what;
    sim::Faults faults;
    std::uint32_t status;
  };
  // The contradicting records claim the chip stopped at 0x0000, the start of the chunk.
  sim::Faults outside;
  outside.otpFailRecord.assign(kFailRecordSize, 0);
  outside.otpFailRecord[0] = 1;
  WriteBE16(outside.otpFailRecord, 1, 0x2000);
  sim::Faults twice;
  twice.otpFailRecord.assign(kFailRecordSize, 0);
  twice.otpFailRecord[0] = 2;
  WriteBE16(twice.otpFailRecord, 1, 0x0123);
  WriteBE16(twice.otpFailRecord, 3, 0x0123);
  sim::Faults unreadable;  // every try of the read after the chunk
  unreadable.stall.push_back(sim::FaultRule{sim::FaultTarget::Command, 0xDC, 0, 8});
  AddOtpDevice();
  for (const Case& c : {Case{"address outside the chunk", outside, status::kFailAddress},
                        Case{"one address counted twice", twice, status::kErrorNumExceed},
                        Case{"record unreadable", unreadable, status::kWriteOtpFail}}) {
    SCOPED_TRACE(c.what);
    Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
    posts.posts.clear();
    ASSERT_TRUE(bus->SetFaults(dev, c.faults));
    EXPECT_FALSE(Update(kKindCode, Pattern(0x800, 4)));
    EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{c.status});
    EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x08, 0x00, 0xFF}));

    const auto next = Pattern(0x100, 5);
    ASSERT_TRUE(Update(kKindCode, next));
    EXPECT_EQ(Entry(1), Bytes({0x08, 0x00, 0x01, 0x00, 0x55}));
    EXPECT_EQ(Otp(0x0800, 0x100), next);
  }
}

TEST_F(OtpBlockWrite, AReservedRecordIsCompletedWithTheImageByte) {
  AddOtpDevice();
  Poke(0x0200, {0x11});
  Poke(RecordAddress(1), Bytes({0x02, 0x00, 0x00, 0x5A}));
  std::vector<std::uint8_t> image = Pattern(0x400, 6);
  image[0x200] = 0x33;

  // The data the chip gets keeps off the bits the bad byte already holds.
  std::vector<std::uint8_t> data = image;
  flow->MP_OTPInit();
  flow->MP_OTPGetTotalErrorNum(0, 0x400);
  EXPECT_EQ(flow->m_uVirtualECCNum, 16u);
  flow->m_uExecECCNum = 8;
  ASSERT_TRUE(flow->MP_OTPConvertBinaryData(0, 0x400, data));
  EXPECT_EQ(data[0x200], 0x22);
  EXPECT_TRUE(flow->m_bFailInUse[0]);
  EXPECT_EQ(flow->m_wFailAddr[0], 0x0200);
  EXPECT_EQ(flow->m_byFailValue[0], 0x33);
  EXPECT_EQ(flow->m_uExecECCNum, 7u);

  ASSERT_TRUE(Update(kKindCode, image));
  EXPECT_EQ(Rec(1), Bytes({0x02, 0x00, 0x33, 0x5A}));
  EXPECT_EQ(Rec(2), kBlankRecord);
  EXPECT_EQ(Otp(0x0200, 1)[0], 0x33);
}

TEST_F(OtpBlockWrite, AnAddressAlreadyQueuedIsNotCountedTwice) {
  AddOtpDevice();
  // The reserved byte is bad: the chip reports it, but it is queued before the write.
  SetBad({0x0200});
  Poke(0x0200, {0x11});
  Poke(RecordAddress(1), Bytes({0x02, 0x00, 0x00, 0x5A}));
  // Counted again, the reported byte would be queued twice and take a second record.
  for (int k = 3; k <= kEccRecords; ++k) Poke(RecordAddress(k), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  std::vector<std::uint8_t> image = Pattern(0x400, 6);
  image[0x200] = 0x33;
  ASSERT_TRUE(Update(kKindCode, image));
  EXPECT_EQ(Rec(1), Bytes({0x02, 0x00, 0x33, 0x5A}));
  EXPECT_EQ(Rec(2), kBlankRecord);
  EXPECT_EQ(Otp(0x0200, 1)[0], 0x11);
  EXPECT_EQ(flow->m_uTotalErrorNum, 0u);
}

TEST_F(OtpBlockWrite, AFailingEccRecordIsRetiredAndTheFailureMovesToTheNextRecord) {
  AddOtpDevice();
  // The value byte of record 1 is bad as well as the code byte.
  SetBad({0x0123, RecordAddress(1) + 2});
  const auto image = Pattern(0x200, 7);
  ASSERT_TRUE(Update(kKindCode, image));
  EXPECT_EQ(Rec(1), Bytes({0x01, 0x23, 0x00, 0xFF}));
  EXPECT_EQ(Rec(2), Bytes({0x01, 0x23, image[0x123], 0x5A}));
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x02, 0x00, 0x55}));
}

TEST_F(OtpBlockWrite, FailingEccRecordsUntilTooFewAreLeftEndWith41923) {
  AddOtpDevice();
  SetBad({0x0123, RecordAddress(1) + 2, RecordAddress(2) + 2});
  for (int k = 3; k <= kEccRecords; ++k) Poke(RecordAddress(k), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_FALSE(Update(kKindCode, Pattern(0x200, 8)));
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kEccLowerThanErrors});
  EXPECT_EQ(Rec(1), Bytes({0x01, 0x23, 0x00, 0xFF}));
  EXPECT_EQ(Rec(2), Bytes({0x01, 0x23, 0x00, 0xFF}));
  // Everything may have been programmed: the failed block covers the whole length.
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x02, 0x00, 0xFF}));
}

TEST_F(OtpBlockWrite, AFailingBlockTableEntryIsRetiredAndTheNextOneUsed) {
  struct Case {
    const char* what;
    std::vector<std::uint16_t> bad;
    std::vector<std::uint8_t> entry0;  // entry 0 after its write and retirement failed
  };
  const auto e = static_cast<std::uint16_t>(EntryAddress(0));
  AddOtpDevice();
  for (const Case& c : {Case{"the flag byte", {static_cast<std::uint16_t>(e + 4)}, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x00})},
                        // Still reading blank below an entry in use: no block may go there,
                        // it would start under the block entered above it.
                        Case{"all five bytes",
                             {e, static_cast<std::uint16_t>(e + 1), static_cast<std::uint16_t>(e + 2),
                              static_cast<std::uint16_t>(e + 3), static_cast<std::uint16_t>(e + 4)},
                             kBlankEntry}}) {
    SCOPED_TRACE(c.what);
    SetBad({});
    Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
    posts.posts.clear();
    SetBad(c.bad);
    const auto first = Pattern(0x300, 1);
    ASSERT_TRUE(Update(kKindCode, first));
    EXPECT_EQ(Entry(0), c.entry0);
    EXPECT_EQ(Entry(1), Bytes({0x00, 0x00, 0x03, 0x00, 0x55}));
    // The next block follows the live one.
    const auto second = Pattern(0x100, 2);
    ASSERT_TRUE(Update(kKindCode, second));
    EXPECT_EQ(Entry(2), Bytes({0x03, 0x00, 0x01, 0x00, 0x55}));
    EXPECT_EQ(Entry(1), Bytes({0x00, 0x00, 0x03, 0x00, 0xFF}));
    EXPECT_EQ(Entry(0), c.entry0);
    EXPECT_EQ(Otp(0x0000, 0x300), first);
    EXPECT_EQ(Otp(0x0300, 0x100), second);
    EXPECT_TRUE(posts.Errors().empty());
  }
}

TEST_F(OtpBlockWrite, Entry15IsRetiredAndThereIsNoEntry16) {
  AddOtpDevice();
  Poke(EntryAddress(15), Bytes({0x12, 0x34, 0x00, 0x10, 0x55}));
  flow->m_bySavedEntry = {0x20, 0x00, 0x01, 0x00, 0x55};
  EXPECT_FALSE(flow->MP_OTPReduantVDFlag(15));
  EXPECT_EQ(Entry(15), Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(flow->m_iSelBlock, 16);

  // The same through a whole update: a block that cannot be entered fails with 41927 and
  // leaves no usable entry, so nothing later can overwrite it.
  Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
  for (int i = 0; i < 15; ++i) Poke(EntryAddress(i), Bytes({0x00, 0x10 * i, 0x00, 0x10, 0xFF}));
  SetBad({EntryAddress(15) + 4});
  posts.posts.clear();
  EXPECT_FALSE(Update(kKindCode, Pattern(0x100, 3)));
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kWriteBlockFail});
  EXPECT_EQ(Entry(15), Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
  posts.posts.clear();
  EXPECT_FALSE(Update(kKindCode, Pattern(0x100, 4)));
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kNotEnoughVdBlock});
}

TEST_F(OtpBlockWrite, EightNonZeroBytesBehindTheLastBlockMeanAnInterruptedWrite) {
  AddOtpDevice();
  const auto image = Pattern(0x100, 4);
  struct Case {
    std::size_t run;
    bool abnormal;
  };
  for (const Case c : {Case{7, false}, Case{8, true}}) {
    SCOPED_TRACE(c.run);
    Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
    posts.posts.clear();
    Poke(EntryAddress(0), Bytes({0x00, 0x00, 0x01, 0x00, 0x55}));
    // The stray bytes equal the new block's own, so a block written over seven of them still
    // reads back right.
    Poke(0x0100, std::vector<std::uint8_t>(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(c.run)));
    EXPECT_EQ(flow->MP_CheckOTPWriteInValid(0x0100), c.abnormal);
    EXPECT_EQ(Update(kKindCode, image), !c.abnormal);
    if (c.abnormal) {
      EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kLastWriteAbnormal});
      EXPECT_EQ(Entry(1), kBlankEntry);
      EXPECT_EQ(Otp(0x0108, 0xF8), std::vector<std::uint8_t>(0xF8, 0));
    } else {
      EXPECT_EQ(Entry(1), Bytes({0x01, 0x00, 0x01, 0x00, 0x55}));
    }
  }
}

TEST_F(OtpBlockWrite, TheLockBitStopsEveryProgrammingStep) {
  AddOtpDevice();
  struct Case {
    std::uint8_t lock;
    bool allowed;
  };
  for (const Case c : {Case{0x08, false}, Case{0xF7, true}}) {
    SCOPED_TRACE(static_cast<int>(c.lock));
    Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
    posts.posts.clear();
    SetLockRegister(c.lock);
    EXPECT_EQ(flow->MP_OTPWriteEnale(), c.allowed);
    const auto image = Pattern(0x100, 5);
    EXPECT_EQ(Update(kKindCode, image), c.allowed);
    if (c.allowed) {
      EXPECT_EQ(Otp(0, 0x100), image);
      EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x01, 0x00, 0x55}));
    } else {
      EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kOtpLocked});
      EXPECT_EQ(Otp(0, kOtpSize), std::vector<std::uint8_t>(kOtpSize, 0));
    }
  }
}

TEST_F(OtpBlockWrite, AStopDuringTheWriteRecordsExactlyWhatWasProgrammed) {
  struct Case {
    const char* what;
    std::uint32_t message;        // the post the dialog's stop arrives with
    std::uint32_t programmed;     // bytes of the block in the OTP afterwards
    std::vector<std::uint8_t> entry0;
    std::uint16_t nextStart;
  };
  AddOtpDevice();
  CThreadFlag stop;
  SetMainDialogThreadFlag(&stop);
  struct StopOnPost : IPostSink {
    CThreadFlag* flag = nullptr;
    std::uint32_t message = 0;
    void OnPost(std::uint32_t m, std::uintptr_t, std::intptr_t) override {
      if (m == message) flag->SetStopFlag(1);
    }
  } sink;
  sink.flag = &stop;
  for (const Case& c : {// Shown as the first chunk's progress: that chunk is in the OTP.
                        Case{"after the first chunk", UM_PROGRESS, 0x1000, Bytes({0x00, 0x00, 0x20, 0x00, 0xFF}), 0x2000},
                        // Shown with the download step, before any chunk: nothing to record.
                        Case{"before the first chunk", UM_STEP, 0, kBlankEntry, 0x0000}}) {
    SCOPED_TRACE(c.what);
    Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
    stop.SetStopFlag(0);
    sink.message = c.message;
    SetPostSink(&sink);
    const auto image = Pattern(0x2000, 6);
    EXPECT_FALSE(Update(kKindCode, image));
    SetPostSink(&posts);
    EXPECT_EQ(Otp(0, c.programmed), std::vector<std::uint8_t>(image.begin(), image.begin() + c.programmed));
    EXPECT_EQ(Otp(c.programmed, kCodeAreaEnd - c.programmed), std::vector<std::uint8_t>(kCodeAreaEnd - c.programmed, 0));
    EXPECT_EQ(Entry(0), c.entry0);

    stop.SetStopFlag(0);
    ASSERT_TRUE(Update(kKindCode, Pattern(0x100, 7)));
    const int entry = c.entry0 == kBlankEntry ? 0 : 1;
    EXPECT_EQ(Entry(entry), Bytes({c.nextStart >> 8, c.nextStart & 0xFF, 0x01, 0x00, 0x55}));
  }
  SetMainDialogThreadFlag(nullptr);
}

TEST_F(OtpBlockWrite, AStopBeforeTheWriteRefusesWithoutProgramming) {
  AddOtpDevice();
  CThreadFlag stop;
  stop.SetStopFlag(1);
  SetMainDialogThreadFlag(&stop);
  EXPECT_FALSE(Update(kKindCode, Pattern(0x100)));
  SetMainDialogThreadFlag(nullptr);
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kResetDeviceFail});
  EXPECT_EQ(Otp(0, kOtpSize), std::vector<std::uint8_t>(kOtpSize, 0));
}

}  // namespace
}  // namespace drover::otp::testing
