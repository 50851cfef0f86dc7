// The OTP jobs on the simulated OTP device: the pre-check questions, the two-part download
// and the read-back dump, the update with the default image, the command-line variants, the
// space report and the slots of the OTP leaf.
#include "otp_fixture.h"

namespace drover::otp::testing {
namespace {

using OtpJobs = OtpTest;

// The image of the 0x100/0x180 split: code block 0x10F bytes, configuration block 0x80.
std::vector<std::uint8_t> SplitBlock() {
  return Block({HwApItem(), EepItem(), CacheItem(0x100, 15), DummyItem(0x71)});
}

TEST_F(OtpJobs, TheQuestionsComeAtTheirThresholds) {
  struct Case {
    const char* name;
    int highestUsed;         // entries 0..highestUsed hold failed blocks
    std::uint16_t usedBytes;  // where the last of them ends
    std::vector<std::string> questions;
  };
  const Case cases[] = {
      {"5120 free", 0, 16224 - 5120, {kTextSpaceLow}},
      {"5121 free", 0, 16224 - 5121, {}},
      {"4 entries free", 11, 0x0C00, {kTextVdBlocksLow}},
      {"5 entries free", 10, 0x0C00, {}},
      {"both", 11, 16224 - 5000, {kTextSpaceLow, kTextVdBlocksLow}},
  };
  AddOtpDevice();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool yes : {false, true}) {
      SCOPED_TRACE(yes);
      Poke(0, std::vector<std::uint8_t>(kOtpSize, 0));
      for (int i = 0; i < c.highestUsed; ++i) Poke(EntryAddress(i), Bytes({0x00, 0x10 * i, 0x00, 0x10, 0xFF}));
      Poke(EntryAddress(c.highestUsed), {0x00, 0x00, static_cast<std::uint8_t>(c.usedBytes >> 8),
                                         static_cast<std::uint8_t>(c.usedBytes), 0xFF});
      posts.posts.clear();
      box->texts.clear();
      box->answers.assign(c.questions.size(), yes ? IDYES : IDNO);
      const auto image = Pattern(0x40);
      flow->SetCurrentBlock(kKindConfig, image);
      const bool written = flow->OTP_UpdateChecked(image);
      if (!yes) {
        // A declined question ends before the first question that was declined.
        EXPECT_EQ(box->texts, c.questions.empty() ? c.questions : std::vector<std::string>{c.questions[0]});
      } else {
        EXPECT_EQ(box->texts, c.questions);
      }
      const bool expectWrite = yes || c.questions.empty();
      EXPECT_EQ(written, expectWrite);
      EXPECT_EQ(Otp(c.usedBytes, 0x40) == image, expectWrite);
      if (!expectWrite) {
        EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kWriteOtpFail});
        EXPECT_EQ(Entry(c.highestUsed + 1), std::vector<std::uint8_t>(5, 0));
      }
    }
  }
  for (unsigned type : box->types) EXPECT_EQ(type & (MB_BUTTON_MASK | MB_DEFBUTTON2), MB_YESNO | MB_DEFBUTTON2);
}

TEST_F(OtpJobs, NoFreeEntryIsToldWithAnOkBoxAndRefused) {
  AddOtpDevice();
  Poke(EntryAddress(15), Bytes({0x00, 0x00, 0x00, 0x10, 0xFF}));
  const auto image = Pattern(0x40);
  EXPECT_FALSE(flow->OTP_UpdateChecked(image));
  EXPECT_EQ(box->texts, std::vector<std::string>{kTextNoVdBlock});
  EXPECT_EQ(box->types[0] & MB_BUTTON_MASK, MB_OK);
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kWriteOtpFail});
  EXPECT_EQ(Otp(0, 0x100), std::vector<std::uint8_t>(0x100, 0));
}

TEST_F(OtpJobs, ADownloadWritesCodeThenConfigurationAndTheDumpJoinsThemAgain) {
  AddOtpDevice();
  const auto block = SplitBlock();
  flow->m_pFileData = Padded(block);
  ASSERT_EQ(flow->OTP_Download(), 1);
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x01, 0x0F, 0x55}));
  EXPECT_EQ(Entry(1), Bytes({0x01, 0x0F, 0x00, 0x80, 0xAA}));
  EXPECT_EQ(Otp(0, 0x10F), flow->m_pOtpCodeImage);
  EXPECT_EQ(Otp(0x10F, 0x80), flow->m_pOtpCfgImage);
  EXPECT_TRUE(posts.Has(UM_RESULT, status::kDownloadOtpOk));
  EXPECT_TRUE(posts.Has(UM_STEP, status::kStepResetToCode));
  EXPECT_TRUE(posts.Errors().empty());
  EXPECT_EQ(flow->OtpBlockLength(), 0);  // the job ends with the current block cleared

  posts.posts.clear();
  ASSERT_EQ(flow->OTP_Read(), 1);
  ASSERT_EQ(flow->m_pReadBuf.size(), 0x180u);
  EXPECT_EQ(flow->m_pReadBuf[3], 0x80);
  EXPECT_EQ(flow->m_pReadBuf[4], 0x01);
  // Sub-mode 2 in the source: the dump is the source block itself.
  EXPECT_EQ(flow->m_pReadBuf, block);
  EXPECT_TRUE(posts.Has(UM_RESULT, status::kReadOtpOk));
}

TEST_F(OtpJobs, TheDumpTakesEachPartFromItsOwnEntry) {
  AddOtpDevice();
  // A code and a configuration block of the same length; the code entry is the higher one.
  const auto config = Block({HwApItem(), EepItem(), DummyItem(0x11)});
  auto code = Block({HwApItem(), EepItem(), CacheItem(0x11, 15)});
  ASSERT_EQ(code.size(), config.size());
  Poke(0, config);
  Poke(0x20, code);
  Poke(EntryAddress(0), {0x00, 0x00, 0x00, static_cast<std::uint8_t>(config.size()), 0xAA});
  Poke(EntryAddress(1), {0x00, 0x20, 0x00, static_cast<std::uint8_t>(code.size()), 0x55});
  ASSERT_EQ(flow->OTP_Read(), 1);
  ASSERT_EQ(flow->m_pReadBuf.size(), code.size() + config.size() - 15);
  EXPECT_TRUE(std::equal(code.begin() + 6, code.end(), flow->m_pReadBuf.begin() + 6));
  EXPECT_TRUE(std::equal(config.begin() + 15, config.end(), flow->m_pReadBuf.begin() + static_cast<std::ptrdiff_t>(code.size())));
}

TEST_F(OtpJobs, AReadOfAnOtpWithoutCodeFailsAndWritesNoFile) {
  AddOtpDevice();
  flow->m_pReadBuf = {1, 2, 3};  // an earlier job's buffer
  const std::string path = Scratch("otp.bin");
  EXPECT_EQ(flow->OTP_ReadToFile(path), 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(posts.Errors().back(), status::kOtpCodeNotExist);
  EXPECT_FALSE(posts.Has(UM_RESULT, status::kReadOtpOk));
  EXPECT_EQ(GetLastStatus(), status::kOtpCodeNotExist);
}

TEST_F(OtpJobs, AnEmptyDumpPathFailsWithoutTouchingTheDevice) {
  AddOtpDevice();
  bus->RecordTransfers(dev, true);
  EXPECT_EQ(flow->DEV_Silence_ReadBin(""), 0);
  EXPECT_TRUE(bus->TakeTransfers(dev).empty());
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kReadOtpFail});
}

TEST_F(OtpJobs, ADumpFileHoldsTheLiveBlocksCorrected) {
  AddOtpDevice();
  SetBad({0x0030});
  const auto block = SplitBlock();
  flow->m_pFileData = Padded(block);
  ASSERT_EQ(flow->OTP_Download(), 1);
  EXPECT_EQ(Rec(1)[3], kMarkInUse);
  const std::string path = Scratch("dump/otp.bin");
  ASSERT_EQ(flow->DEV_Silence_ReadBin(path), 1);
  std::vector<std::uint8_t> file;
  ASSERT_TRUE(LoadFile(path, file));
  EXPECT_EQ(file, block);
}

TEST_F(OtpJobs, AnImageWithNothingForOtpIsNoSuccess) {
  AddOtpDevice();
  flow->m_pFileData = Padded(Block({HwApItem(), EepItem()}));
  EXPECT_EQ(flow->OTP_Download(), 0);
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kGetVdCodeFail});
  EXPECT_FALSE(posts.Has(UM_RESULT, status::kDownloadOtpOk));
  flow->m_pFileData = Padded(Block({HwApItem(), DummyItem(3), CacheItem(0x20, 12)}));
  posts.posts.clear();
  EXPECT_EQ(flow->OTP_Download(), 0);
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kGetVdCodeFail});
  EXPECT_EQ(Otp(0, kOtpSize), std::vector<std::uint8_t>(kOtpSize, 0));
}

TEST_F(OtpJobs, AFailedConfigurationBlockLeavesTheNewCodeBlockAndNoReset) {
  AddOtpDevice();
  // The second block cannot be entered: entry 1's flag byte is bad and so is every entry above.
  std::vector<std::uint16_t> bad;
  for (int i = 1; i < kBlockEntries; ++i) bad.push_back(static_cast<std::uint16_t>(EntryAddress(i) + 4));
  SetBad(bad);
  flow->m_pFileData = Padded(SplitBlock());
  EXPECT_EQ(flow->OTP_Download(), 0);
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x01, 0x0F, 0x55}));
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kWriteBlockFail});
  EXPECT_FALSE(posts.Has(UM_STEP, status::kStepResetToCode));
}

TEST_F(OtpJobs, TheUpdateWritesTheDefaultImage) {
  AddOtpDevice();
  flow->m_pCodeData = Padded(SplitBlock());
  ASSERT_EQ(flow->OTP_Update(), 1);
  EXPECT_EQ(Entry(0), Bytes({0x00, 0x00, 0x01, 0x0F, 0x55}));
  EXPECT_EQ(Entry(1), Bytes({0x01, 0x0F, 0x00, 0x80, 0xAA}));
  EXPECT_TRUE(posts.Has(UM_RESULT, status::kUpdateOtpOk));
}

TEST_F(OtpJobs, TheCommandLineWriteLoadsParsesAndChecksTheFile) {
  AddOtpDevice();
  const std::string good = Scratch("otp.rfw");
  ASSERT_TRUE(WriteFileBytes(good, Padded(SplitBlock())));
  const std::string otherChip = Scratch("chip25.rfw");
  ASSERT_TRUE(WriteFileBytes(otherChip, Padded(Block({HwApItem(), EepItem(), DummyItem(0x10)}, 25))));
  const std::string noBlock = Scratch("noblock.rfw");
  ASSERT_TRUE(WriteFileBytes(noBlock, std::vector<std::uint8_t>(0x10000, 0xFF)));
  struct Case {
    std::string path;
    std::uint32_t error;
  };
  for (const Case& c : {Case{Scratch("missing.rfw"), status::kLoadFileFail}, Case{noBlock, status::kParseFileFail},
                        Case{otherChip, status::kWrongFirmware}}) {
    SCOPED_TRACE(c.path);
    posts.posts.clear();
    EXPECT_EQ(flow->DEV_Silence_WriteBin(c.path), 0);
    EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{c.error});
  }
  EXPECT_EQ(Otp(0, kOtpSize), std::vector<std::uint8_t>(kOtpSize, 0));
  posts.posts.clear();
  ASSERT_EQ(flow->DEV_Silence_WriteSNBin(good, "SN01"), 1);
  EXPECT_EQ(Entry(1), Bytes({0x01, 0x0F, 0x00, 0x80, 0xAA}));
  EXPECT_EQ(GetLastStatus(), 0u);  // "DownloadOTP Succeed." clears the last status
}

TEST_F(OtpJobs, TheSpaceReportInBothForms) {
  AddOtpDevice();
  // used = 0x1000 with 14 free entries
  Poke(EntryAddress(0), Bytes({0x00, 0x00, 0x08, 0x00, 0xFF}));
  Poke(EntryAddress(1), Bytes({0x08, 0x00, 0x08, 0x00, 0x55}));
  flow->m_pFileData.assign(0x1000, 0xFF);
  EXPECT_EQ(flow->DEV_GetOtpUsage(), 0x1000);
  EXPECT_EQ(flow->m_strConnect, "Used OTP Space: 4.00 KB Free OTP Space: 11.84 KB Remaining Programmable Times: 2.");
  ASSERT_EQ(ReportOtpSpace(*flow), 1);
  EXPECT_EQ(flow->m_iOtpInfo, 0x1000);
  EXPECT_EQ(flow->m_strConnect, "Used OTP Space: 4.00 KB\nFree OTP Space: 11.84 KB\nRemaining Programmable Times: 2.");
  // A small image fits more often than there are entries: the entries count.
  flow->m_pFileData.assign(0x10, 0xFF);
  EXPECT_EQ(flow->OTP_GetSpace(0x10).dwRemaining, 14u);
  flow->m_pFileData.clear();
  flow->DEV_GetOtpUsage();
  EXPECT_EQ(flow->m_strConnect, "Used OTP Space: 4.00 KB, Remain OTP Space: 11.84 KB.");
}

TEST_F(OtpJobs, TheSpaceReportOfAChipWithoutOtpFails) {
  sim::DeviceOptions o;  // SPI flash only
  dev = bus->AddDevice(o);
  ASSERT_GE(dev, 0);
  auto spi = CreateDevFlow(ctx, kMemorySpiFlash, kBusUsb);
  ASSERT_EQ(spi->MP_OpenDevice(0), 1);
  spi->m_strConnect = "USB Audio Connected";
  EXPECT_EQ(ReportOtpSpace(*spi), 0);
  EXPECT_EQ(spi->m_strConnect, "USB Audio Connected");
  EXPECT_EQ(posts.Errors(), std::vector<std::uintptr_t>{status::kReadOtpFail});
  spi->DEV_CloseDevice();
}

TEST_F(OtpJobs, TheLeafAnswersEverySlot) {
  AddOtpDevice();
  // Erasing fails without a message and leaves the last status alone.
  SetLastStatus(0);
  EXPECT_EQ(flow->DEV_EraseCode(), 0);
  EXPECT_TRUE(posts.posts.empty());
  EXPECT_EQ(GetLastStatus(), 0u);
  // Verify, text dump and erase of the command line are not supported.
  for (int slot = 8; slot <= 10; ++slot) {
    SCOPED_TRACE(slot);
    SetLastStatus(0);
    const int r = slot == 8 ? flow->DEV_Silence_VerifyBin(Scratch("x.rfw"))
                : slot == 9 ? flow->DEV_Silence_ReadText(Scratch("x.txt"))
                            : flow->DEV_Silence_Erase(1);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(GetLastStatus(), 41500u);
  }
  EXPECT_TRUE(posts.posts.empty());
  EXPECT_EQ(Otp(0, kOtpSize), std::vector<std::uint8_t>(kOtpSize, 0));
  // The read, update and download slots reach the OTP jobs.
  EXPECT_EQ(flow->DEV_ReadCode(), 0);
  EXPECT_EQ(posts.Errors().back(), status::kOtpCodeNotExist);
  flow->m_pCodeData = Padded(SplitBlock());
  EXPECT_EQ(flow->DEV_UpdateCode(), 1);
  flow->m_pFileData = Padded(Block({HwApItem(), EepItem(), DummyItem(0x10)}));
  EXPECT_EQ(flow->DEV_Download(), 1);
  EXPECT_EQ(Entry(2), Bytes({0x01, 0x8F, 0x00, 0x1F, 0xAA}));
  EXPECT_EQ(Entry(1), Bytes({0x01, 0x0F, 0x00, 0x80, 0xFF}));
}

}  // namespace
}  // namespace drover::otp::testing
