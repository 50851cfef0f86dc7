// The block builder: an image's configuration block split into the OTP code block and the
// OTP configuration block, and the images that cannot be split safely.
#include "otp_fixture.h"

namespace drover::otp::testing {
namespace {

// The builder needs no device.
class OtpBlockImage : public ::testing::Test {
 protected:
  EngineContext ctx;
  COTPInfo_USB flow{ctx};
};

std::vector<std::uint8_t> Split(const std::vector<std::uint8_t>& block, std::size_t from, std::size_t to) {
  return {block.begin() + static_cast<std::ptrdiff_t>(from), block.begin() + static_cast<std::ptrdiff_t>(to)};
}

TEST_F(OtpBlockImage, ACacheCodeItemOf0x100InABlockOf0x180GivesBlocksOf0x10FAnd0x80) {
  const auto block = Block({HwApItem(), EepItem(), CacheItem(0x100, 15), DummyItem(0x71)});
  ASSERT_EQ(block.size(), 0x180u);
  flow.m_pFileData = Padded(block);

  ASSERT_EQ(flow.BuildOTPBlockImage(kPartCode), kBuildDone);
  std::vector<std::uint8_t> code = Split(block, 0, 0x10F);
  code[2] = 21 * 8 + 3;
  code[3] = 0x0F;
  code[4] = 0x01;
  code[5] = 3;
  EXPECT_EQ(flow.m_pOtpCodeImage, code);
  EXPECT_EQ(flow.m_pFileCopy, code);
  EXPECT_EQ(flow.OtpBlockKind(), kKindCode);
  EXPECT_EQ(flow.OtpBlockLength(), 0x10F);
  EXPECT_EQ(flow.m_iOtpInfo, 0x10F);

  ASSERT_EQ(flow.BuildOTPBlockImage(kPartConfig), kBuildDone);
  std::vector<std::uint8_t> config = Split(block, 0, 15);
  const auto rest = Split(block, 0x10F, 0x180);
  config.insert(config.end(), rest.begin(), rest.end());
  config[2] = 21 * 8 + 1;
  config[3] = 0x80;
  config[4] = 0x00;
  config[5] = 3;  // the two leading items and the one other item
  EXPECT_EQ(flow.m_pOtpCfgImage, config);
  EXPECT_EQ(flow.OtpBlockKind(), kKindConfig);
  EXPECT_EQ(flow.OtpBlockLength(), 0x80);
}

TEST_F(OtpBlockImage, OnlyACacheCodeItemGivesOnlyACodeBlock) {
  const auto block = Block({HwApItem(), EepItem(), CacheItem(0x40, 15)});
  flow.m_pFileData = block;
  EXPECT_EQ(flow.BuildOTPBlockImage(kPartCode), kBuildDone);
  EXPECT_EQ(flow.m_pOtpCodeImage.size(), 0x4Fu);
  EXPECT_EQ(flow.BuildOTPBlockImage(kPartConfig), kBuildNoPart);
  EXPECT_TRUE(flow.m_pOtpCfgImage.empty());
  EXPECT_EQ(flow.OtpBlockKind(), kKindConfig);
  EXPECT_EQ(flow.OtpBlockLength(), 0);
  EXPECT_EQ(flow.m_iOtpInfo, 0);
}

TEST_F(OtpBlockImage, WithoutACacheCodeItemTheConfigurationBlockIsCopiedWhole) {
  const auto block = Block({HwApItem(), EepItem(), DummyItem(0x20), DummyItem(0x11, 0x51)});
  flow.m_pFileData = Padded(block);
  EXPECT_EQ(flow.BuildOTPBlockImage(kPartCode), kBuildNoPart);
  EXPECT_EQ(flow.OtpBlockKind(), kKindCode);
  EXPECT_EQ(flow.OtpBlockLength(), 0);
  EXPECT_EQ(flow.BuildOTPBlockImage(kPartConfig), kBuildDone);
  EXPECT_EQ(flow.m_pOtpCfgImage, block);
}

TEST_F(OtpBlockImage, TheCacheCodeItemIsRecognisedByItsNumberForEveryChip) {
  // Chip code 25 has no class for type 39: the item is carried as its bytes, and still is the
  // code part.
  const auto block = Block({HwApItem(), EepItem(), CacheItem(0x30, 15), DummyItem(0x10)}, 25);
  flow.m_pFileData = block;
  ASSERT_EQ(flow.BuildOTPBlockImage(kPartCode), kBuildDone);
  EXPECT_EQ(flow.m_pOtpCodeImage.size(), 0x3Fu);
  EXPECT_EQ(flow.m_pOtpCodeImage[2], 25 * 8 + 3);
  ASSERT_EQ(flow.BuildOTPBlockImage(kPartConfig), kBuildDone);
  EXPECT_EQ(flow.m_pOtpCfgImage.size(), block.size() - 0x30);
}

TEST_F(OtpBlockImage, TheDefaultImageIsBuiltFromTheCodeData) {
  const auto block = Block({HwApItem(), EepItem(), CacheItem(0x20, 15), DummyItem(0x08)});
  flow.m_pCodeData = block;
  flow.m_pFileData = Block({HwApItem(), EepItem(), DummyItem(0x08)});
  ASSERT_EQ(flow.BuildOTPBlockImageDefault(kPartCode), kBuildDone);
  EXPECT_EQ(flow.m_pOtpCodeImage.size(), 0x2Fu);
}

TEST_F(OtpBlockImage, ImagesThatCannotBeSplitSafelyAreNotUsable) {
  const auto cache = CacheItem(0x20, 15);
  std::vector<std::uint8_t> pointsAway = cache;
  WriteLE16(pointsAway, 4, 0x100);  // the code it names lies elsewhere
  std::vector<std::uint8_t> tooLong = Block({HwApItem(), EepItem(), DummyItem(0x10)});
  WriteLE16(tooLong, 3, 0x400);  // the header claims more than the file holds
  std::vector<std::uint8_t> zeroLength = Block({HwApItem(), EepItem(), DummyItem(0x10)});
  zeroLength[15] = 0;
  std::vector<std::uint8_t> noSignature = Block({HwApItem(), EepItem(), cache});
  noSignature[1] = 0x00;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> image;
  };
  const Case cases[] = {
      {"the cache item behind another item", Block({HwApItem(), EepItem(), DummyItem(4), CacheItem(0x20, 19)})},
      {"no EEPROM info item", Block({HwApItem(), CacheItem(0x20, 12)})},
      {"other leading items of the same size",
       Block({HwApItem(), std::vector<std::uint8_t>{0x03, 0x15, 0x40}, cache})},
      {"the code outside its item", Block({HwApItem(), EepItem(), pointsAway})},
      {"two cache items", Block({HwApItem(), EepItem(), cache, CacheItem(0x20, 15 + 0x20)})},
      {"no signature", noSignature},
      {"a block longer than the image", tooLong},
      {"an item of length zero", zeroLength},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    flow.m_pFileData = c.image;
    flow.ClearCurrentBlock();
    EXPECT_EQ(flow.BuildOTPBlockImage(kPartCode), kBuildNotUsable);
    EXPECT_EQ(flow.BuildOTPBlockImage(kPartConfig), kBuildNotUsable);
    EXPECT_EQ(flow.OtpBlockLength(), 0);
  }
}

}  // namespace
}  // namespace drover::otp::testing
