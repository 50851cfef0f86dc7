#include "image/image_format.h"

#include <gtest/gtest.h>

#include "image/config_block.h"
#include "image/ic_type.h"
#include "image_test_util.h"

namespace drover {
namespace {

using image_test::Block;
using image_test::BuiltIn;
using image_test::Bytes;
using image_test::HwApItem;
using image_test::IcType;
using image_test::Image;
using image_test::ScopedMessageBox;
using image_test::StringItem;
using image_test::VidPidItem;

constexpr int kVq7340 = 2033;
constexpr int kVq7310 = 2030;
constexpr int kVq7330 = 2031;

Bytes IdentityBlock(std::uint8_t kind, std::uint8_t chip) {
  return Block(kind, chip,
               {HwApItem(0, 0x1060), StringItem(1, "Maker"), StringItem(3, "SN42"), StringItem(7, "Iad"),
                VidPidItem(0x0B05, 0x1996, 0x01AB)});
}

TEST(ImageFormat, BlockAtConfigAddressOfA64KImage) {
  auto ic = BuiltIn(kVq7340);
  ImageState st;
  st.pIcType = ic.get();
  const Bytes image = Image(0x10000, 0xF000, IdentityBlock(0x55, 25));
  std::optional<std::size_t> at = LocateConfigBlock(st, image);
  ASSERT_TRUE(at);
  EXPECT_EQ(*at, 0xF000u);
  EXPECT_EQ(st.byChipCode, 25);
  EXPECT_FALSE(st.bTagInImage);
  EXPECT_EQ(st.dwConfigStart, 0xF000u);
  EXPECT_EQ(st.dwConfigLength, 0x1000u);
  EXPECT_EQ(st.uMemoryType, kMemorySpiFlash);
  EXPECT_EQ(st.strManufacturer, "Maker");
  EXPECT_EQ(st.strSerial, "SN42");
  EXPECT_EQ(st.strIAD, "Iad");
  EXPECT_EQ(st.strVidPid, "VID_0B05&PID_1996");
  EXPECT_EQ(st.strRevision, "01ab");
  EXPECT_EQ(st.dwBlockLength, IdentityBlock(0x55, 25).size());
}

TEST(ImageFormat, ReturnedAddressAndRegionByPlaceAndLength) {
  struct Case {
    const char* name;
    std::uint32_t configAddress;
    const char* icName;
    std::size_t length;
    std::size_t blockAt;
    std::size_t expectAt;
    bool expectAtStart;
    std::uint32_t expectStart;  // region start (0xFFFFFFFF: left as it was)
    std::uint32_t expectLength; // region length (kBlock: the block length)
  };
  constexpr std::uint32_t kBlock = 0xFFFFFFFF;
  const Case cases[] = {
      {"64K, block at 0 instead of ConfigAddress", 0xF000, "VQ7330", 0x10000, 0, 0xF000, true, 0xFFFFFFFF, kBlock},
      {"short image, block at ConfigAddress", 0x8000, "VQ7330", 0xC000, 0x8000, 0x8000, false, 0x8000, 0x1000},
      {"64K image answers 0xF000 for any ConfigAddress", 0xAE00, "VQ7310", 0x10000, 0xAE00, 0xF000, false, 0xA000,
       0x1000},
      // The identity reader still looks at ConfigAddress, beyond this image, and stores nothing.
      {"ConfigAddress beyond the end: block at 0", 0xF000, "VQ7330", 0x8000, 0, 0, true, 0xFFFFFFFF, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto ic = IcType(c.icName, c.configAddress);
    ImageState st;
    st.pIcType = ic.get();
    st.dwConfigStart = 0xFFFFFFFF;
    const Bytes block = IdentityBlock(0x55, 21);
    const Bytes image = Image(c.length, c.blockAt, block, 0xFF);
    std::optional<std::size_t> at = LocateConfigBlock(st, image);
    ASSERT_TRUE(at);
    EXPECT_EQ(*at, c.expectAt);
    EXPECT_EQ(st.bTagInImage, c.expectAtStart);
    EXPECT_EQ(st.byChipCode, 21);
    EXPECT_EQ(st.dwConfigStart, c.expectStart);
    EXPECT_EQ(st.dwConfigLength, c.expectLength == kBlock ? block.size() : c.expectLength);
  }
}

TEST(ImageFormat, BankCopyAndForceUpdateFlags) {
  struct Case {
    const char* name;
    std::uint8_t chip;
    std::vector<Bytes> items;
    bool bank, a, b;
  };
  const Case cases[] = {
      {"bank copy 0x5A on chip code 25", 25, {HwApItem(0, 0), {3, 20, 0x5A}, {3, 21, 0x00}}, true, false, false},
      {"bank copy and flag A on chip code 26", 26, {HwApItem(0, 0), {3, 20, 0x5A}, {3, 21, 0x10}}, true, true, false},
      {"another bank copy byte", 25, {HwApItem(0, 0), {3, 20, 0x5B}, {3, 21, 0x50}}, false, true, true},
      {"flag B on chip code 24", 24, {HwApItem(0, 0), {3, 21, 0x40}}, false, false, true},
      // On chip code 21 the bank copy item is an ordinary item, and the force update item
      // behind it is no longer a leading item either.
      {"no bank copy on chip code 21", 21, {HwApItem(0, 0), {3, 20, 0x5A}, {3, 21, 0x50}}, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto ic = IcType("VQ7330", 0xF000);
    ImageState st;
    st.pIcType = ic.get();
    ASSERT_TRUE(LocateConfigBlock(st, Image(0x10000, 0xF000, Block(0x55, c.chip, c.items))));
    EXPECT_EQ(st.bBankCopy, c.bank);
    EXPECT_EQ(st.bForceUpdateA, c.a);
    EXPECT_EQ(st.bForceUpdateB, c.b);
  }
  // Bank copy and flag A stay set by a later image without them; flag B follows the image.
  auto ic = IcType("VQ7330", 0xF000);
  ImageState st;
  st.pIcType = ic.get();
  ASSERT_TRUE(LocateConfigBlock(st, Image(0x10000, 0xF000, Block(0x55, 25, {{3, 20, 0x5A}, {3, 21, 0x50}}))));
  ASSERT_TRUE(LocateConfigBlock(st, Image(0x10000, 0xF000, Block(0x55, 25, {StringItem(1, "x")}))));
  EXPECT_TRUE(st.bBankCopy);
  EXPECT_TRUE(st.bForceUpdateA);
  EXPECT_FALSE(st.bForceUpdateB);
}

TEST(ImageFormat, CodeIdentityOnlyBeyond0x1020Bytes) {
  auto ic = IcType("VQ7330", 0);
  for (std::size_t length : {std::size_t{0x1020}, std::size_t{0x1021}}) {
    SCOPED_TRACE(length);
    Bytes image = Image(length, 0, IdentityBlock(0x55, 21));
    if (length > 0x1020) {
      image[0x1003] = 0x11;
      image[0x1004] = 0x33;
      image[0x1005] = 0x22;
      image[0x1006] = 0x55;
      image[0x1007] = 0x44;
    }
    ImageState st;
    st.pIcType = ic.get();
    ASSERT_EQ(ReadImageIdentity(st, image), 1);
    EXPECT_EQ(st.strVidPid, "VID_0B05&PID_1996");
    EXPECT_EQ(st.strCodeIdentity, length > 0x1020 ? "0x1122334455" : "");
  }
}

TEST(ImageFormat, CorruptItemListIsReportedButLocateStillAnswers) {
  auto ic = IcType("VQ7330", 0xF000);
  ImageState st;
  st.pIcType = ic.get();
  // Three items counted, one present, and the image ends with the block: nothing to skip.
  const Bytes block = Block(0x55, 21, {StringItem(1, "A")}, 0, 3);
  const Bytes image = Image(0xF000 + block.size(), 0xF000, block, 0xFF);
  ScopedMessageBox boxes;
  std::optional<std::size_t> at = LocateConfigBlock(st, image);
  ASSERT_TRUE(at);
  EXPECT_EQ(*at, 0xF000u);
  EXPECT_EQ(st.byChipCode, 21);
  ASSERT_EQ(boxes.Texts().size(), 2u);  // the identity reader and the settings reader
  EXPECT_EQ(boxes.Texts()[0], "Config file corrupted");
  EXPECT_EQ(ReadImageIdentity(st, image), 0);
  EXPECT_EQ(ReadImageSettings(st, image), 0);
}

TEST(ImageFormat, ZeroLengthItemIsACorruptBlockNotAnEndlessWalk) {
  auto ic = IcType("VQ7330", 0xF000);
  ImageState st;
  st.pIcType = ic.get();
  const Bytes image = Image(0x10000, 0xF000, Block(0x55, 21, {StringItem(1, "A"), {0, 3, 0, 0}}), 0xFF);
  ScopedMessageBox boxes;
  EXPECT_EQ(ReadImageIdentity(st, image), 0);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Config file corrupted"});
}

TEST(ImageFormat, BlankAndBlocklessImagesAreNeverAccepted) {
  auto ic = BuiltIn(kVq7330);
  ImageState st;
  st.pIcType = ic.get();
  st.uMemoryType = kMemoryEeprom16;
  const Bytes blank(0x10000, 0xFF);
  EXPECT_FALSE(LocateConfigBlock(st, blank));
  EXPECT_EQ(st.byChipCode, kNoChipCode);
  EXPECT_EQ(ReadImageIdentity(st, blank), 0);
  EXPECT_EQ(ReadImageSettings(st, blank), 0);
  EXPECT_FALSE(FindSmallCacheCodeEnd(st, blank));
  EXPECT_FALSE(LocateConfigBlock(st, Bytes{}));

  // Code whose first byte would be an EEPROM kind, and no block anywhere: nothing changes.
  Bytes code(0x4000, 0x00);
  code[0] = 0x11;
  for (std::uint32_t memory : {kMemoryEeprom16, kMemorySpiFlash}) {
    st.uMemoryType = memory;
    EXPECT_FALSE(LocateConfigBlock(st, code));
    EXPECT_EQ(ReadImageIdentity(st, code), 0);
    EXPECT_EQ(st.uMemoryType, memory);
  }
  // A short image below ConfigAddress without a block at its start.
  EXPECT_FALSE(LocateConfigBlock(st, Bytes(0x100, 0x00)));
  EXPECT_EQ(st.byChipCode, kNoChipCode);
}

TEST(ImageFormat, ImageKindSetsTheMemoryType) {
  struct Case {
    std::uint8_t kind;
    std::uint32_t memory;
  };
  const Case cases[] = {{0x11, kMemoryEeprom8}, {0x12, kMemoryEeprom16}, {0x30, kMemorySpiFlash},
                        {0x55, kMemorySpiFlash}, {0x61, kMemorySpiFlash}, {0x40, kMemoryMtp},
                        {0x60, kMemoryOtp},     {0x00, 99},              {0xFF, 99},
                        {0x13, 99}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    ImageState st;
    st.uMemoryType = 99;
    ApplyImageKind(st, c.kind);
    EXPECT_EQ(st.uMemoryType, c.memory);
  }
}

TEST(ImageFormat, EepromImageOfAVq7330ReadsItsBlockAtOffsetZero) {
  auto ic = BuiltIn(kVq7330);
  // A 16 KB image: the identity and settings readers look at offset 0.
  const Bytes image = Image(0x4000, 0, IdentityBlock(0x12, 21));
  ImageState st;
  st.pIcType = ic.get();
  ASSERT_EQ(ReadImageIdentity(st, image), 1);
  EXPECT_EQ(st.uMemoryType, kMemoryEeprom16);
  EXPECT_EQ(st.strSerial, "SN42");
  EXPECT_EQ(ReadImageSettings(st, image), 1);

  // With the EEPROM's memory size the locate looks at 0 too, and measures the region from the
  // end of the small cache code.
  Bytes cache(0x48, 0xC3);  // 8 header bytes and 0x40 bytes of code
  cache[0] = 0xFF;
  cache[1] = 0xE7;
  cache[2] = 0x48;
  cache[3] = 0;
  cache[4] = 6 + 6 + 8;  // the code follows the item's header (HW/AP item first)
  cache[5] = 0;
  cache[6] = 0x40;
  cache[7] = 0;
  const Bytes block = Block(0x12, 21, {HwApItem(0x7330, 0x1060), cache, StringItem(1, "Maker")});
  ImageState ee;
  ee.pIcType = ic.get();
  ee.dwMemorySize = 0x4000;
  std::optional<std::size_t> at = LocateConfigBlock(ee, Image(0x4000, 0, block));
  ASSERT_TRUE(at);
  const std::size_t end = 6 + 6 + 0x48;
  EXPECT_EQ(*at, end);
  EXPECT_TRUE(ee.bTagInImage);
  EXPECT_EQ(ee.dwConfigStart, end & 0xFFF0);
  EXPECT_EQ(ee.dwConfigLength, (block.size() & 0xFFF0) - (end & 0xFFF0) + 0x30);
  EXPECT_EQ(ee.uMemoryType, kMemoryEeprom16);

  // The same memory size means nothing to another IC name: VQ7310 keeps its ConfigAddress.
  auto v10 = BuiltIn(kVq7310);
  ImageState other;
  other.pIcType = v10.get();
  other.dwMemorySize = 0x4000;
  at = LocateConfigBlock(other, Image(0x10000, 0xAE00, IdentityBlock(0x55, 17), 0xFF));
  ASSERT_TRUE(at);
  EXPECT_FALSE(other.bTagInImage);
  EXPECT_EQ(other.dwConfigStart, 0xA000u);
}

TEST(ImageFormat, KindAppliedByTheIdentityReaderSteersTheSettingsReader) {
  auto ic = BuiltIn(kVq7330);
  // A 12 KB OTP image: the identity reader finds it at 0 (flash memory type, below 16 KB) and
  // switches the memory type to OTP, so the settings reader looks at 0 as well. The item list
  // is corrupt, which both readers report.
  const Bytes image = Image(0x3000, 0, Block(0x60, 21, {StringItem(1, "A")}, 0, 2));
  ImageState st;
  st.pIcType = ic.get();
  ScopedMessageBox boxes;
  ASSERT_TRUE(LocateConfigBlock(st, image));
  EXPECT_EQ(st.uMemoryType, kMemoryOtp);
  EXPECT_EQ(boxes.Texts().size(), 2u);
}

TEST(ImageFormat, ChipRule) {
  struct Case {
    std::uint8_t image, ic;
    bool flash, eeprom;
  };
  const Case cases[] = {{21, 21, true, true}, {8, 9, true, false},   {9, 8, true, false},
                        {21, 24, false, false}, {255, 255, false, false}, {8, 8, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.image) << " vs " << int(c.ic));
    EXPECT_EQ(ChipCodesMatch(c.image, c.ic, true), c.flash);
    EXPECT_EQ(ChipCodesMatch(c.image, c.ic, false), c.eeprom);
  }
}

TEST(ImageFormat, ReadersStayInsideTruncatedImages) {
  auto ic = IcType("VQ7330", 0xF000);
  const Bytes block = IdentityBlock(0x55, 21);
  // Cut the image anywhere inside its block: no reader looks past the end.
  for (std::size_t cut = 0xF000; cut <= 0xF000 + block.size(); ++cut) {
    SCOPED_TRACE(cut);
    Bytes image = Image(0x10000, 0xF000, block);
    image.resize(cut);
    ImageState st;
    st.pIcType = ic.get();
    ScopedMessageBox boxes;
    LocateConfigBlock(st, image);
    ReadImageIdentity(st, image);
    ReadImageSettings(st, image);
    FindSmallCacheCodeEnd(st, image);
  }
}

}  // namespace
}  // namespace drover
