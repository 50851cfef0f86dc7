#include "image/serial_number.h"

#include <gtest/gtest.h>

#include <map>

#include "base/settings.h"
#include "image/config_block.h"
#include "image_test_util.h"

namespace drover {
namespace {

using image_test::Block;
using image_test::Bytes;
using image_test::HwApItem;
using image_test::IcType;
using image_test::Image;
using image_test::StringItem;
using image_test::VidPidItem;

constexpr std::size_t kA = 0xF000;
constexpr std::size_t kTag = 0xEFFE;

// Items of the block at `at`, as (type, bytes).
std::vector<std::pair<int, Bytes>> Items(const Bytes& image, std::size_t at) {
  ConfigBlockParser parser;
  parser.LoadBlock(std::span<const std::uint8_t>(image).subspan(at));
  std::vector<std::pair<int, Bytes>> items;
  if (!parser.ReadHeader()) return items;
  WalkItems(parser, [&](CDescriptor& item, std::size_t end) {
    const std::size_t begin = end - item.m_wLength;
    items.push_back({item.m_byType, Bytes(parser.Block().begin() + begin, parser.Block().begin() + end)});
    return true;
  });
  return items;
}

Bytes FindItem(const Bytes& image, std::size_t at, int type) {
  for (auto& [t, bytes] : Items(image, at)) {
    if (t == type) return bytes;
  }
  return {};
}

struct Fixture {
  std::unique_ptr<CICTypeIni> ic = IcType("VQ7330", kA, 4096, kTag);
  ImageState st;
  Bytes block = Block(0x30, 21,
                      {HwApItem(0x7330, 0x1234), StringItem(1, "Old", 0x09), StringItem(3, "S1"),
                       VidPidItem(0x0B05, 0x1996, 0x0100)});
  Bytes image = Image(0x11000, kA, block);
  Fixture() {
    st.pIcType = ic.get();
    for (std::size_t i = 0x10000; i < image.size(); ++i) image[i] = 0x77;
  }
};

SerialNumberOptions Options(std::uint32_t save, std::uint32_t address, std::uint32_t function) {
  SerialNumberOptions o;
  o.uSaveSN = save;
  o.uSNAddress = address;
  o.uSNFunction = function;
  return o;
}

TEST(SerialNumber, ManufacturerTextWithTagAndKind) {
  Fixture f;
  std::uint32_t err = 0;
  ASSERT_EQ(PreActionForAllInOne(f.st, f.image, "ACME01", Options(1, 0, 0), err), 1);
  EXPECT_EQ(FindItem(f.image, kA, 1), (Bytes{10, 1, 8, 0x09, 'A', 'C', 'M', 'E', '0', '1'}));
  EXPECT_EQ(FindItem(f.image, kA, 3), StringItem(3, "S1"));
  EXPECT_EQ(f.image[kTag], 0x55);
  EXPECT_EQ(f.image[kTag + 1], 0xAA);
  EXPECT_EQ(f.image[kA], 0x55);
  EXPECT_EQ(f.image[kA + 1], 0xA5);
  // The new block, then erased bytes up to the end of the area; behind it nothing changed.
  const std::size_t length = f.image[kA + 3] | f.image[kA + 4] << 8;
  EXPECT_EQ(length, f.block.size() + 3);
  EXPECT_EQ(f.st.dwBlockLength, length);
  for (std::size_t i = kA + length; i < kA + 4096; ++i) ASSERT_EQ(f.image[i], 0xFF) << i;
  for (std::size_t i = 0x10000; i < f.image.size(); ++i) ASSERT_EQ(f.image[i], 0x77) << i;
  // The HW id follows the chip code, the AP version stays.
  EXPECT_EQ(Bytes(f.image.begin() + kA + 6, f.image.begin() + kA + 12), HwApItem(0x7330, 0x1234));

  ImageState again;
  again.pIcType = f.ic.get();
  ASSERT_EQ(ReadImageIdentity(again, f.image), 1);
  EXPECT_EQ(again.strManufacturer, "ACME01");
  EXPECT_EQ(again.strSerial, "S1");
  EXPECT_EQ(again.strVidPid, "VID_0B05&PID_1996");
}

TEST(SerialNumber, SerialItemWithTheFunctionPrefix) {
  Fixture f;
  std::uint32_t err = 0;
  ASSERT_EQ(PreActionForAllInOne(f.st, f.image, "XY12", Options(1, 1, 1), err), 1);
  EXPECT_EQ(FindItem(f.image, kA, 3), (Bytes{9, 3, 7, 3, 0x07, 'X', 'Y', '1', '2'}));
  EXPECT_EQ(FindItem(f.image, kA, 1), StringItem(1, "Old", 0x09));

  Fixture plain;
  ASSERT_EQ(PreActionForAllInOne(plain.st, plain.image, "XY12", Options(1, 1, 0), err), 1);
  EXPECT_EQ(FindItem(plain.image, kA, 3), StringItem(3, "XY12"));
  // The prefix belongs to the serial number item only.
  Fixture vendor;
  ASSERT_EQ(PreActionForAllInOne(vendor.st, vendor.image, "XY12", Options(1, 0, 1), err), 1);
  EXPECT_EQ(FindItem(vendor.image, kA, 1), StringItem(1, "XY12", 0x09));
}

TEST(SerialNumber, FortyEightBytesAtMost) {
  struct Case {
    std::size_t length;
    std::uint32_t address, function;
    bool ok;
  };
  const Case cases[] = {{48, 0, 0, true}, {49, 0, 0, false}, {48, 1, 0, true}, {47, 1, 1, true}, {48, 1, 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes, address " << c.address << " function " << c.function);
    Fixture f;
    const Bytes before = f.image;
    std::uint32_t err = 41755;
    EXPECT_EQ(PreActionForAllInOne(f.st, f.image, std::string(c.length, 'n'), Options(1, c.address, c.function), err),
              c.ok ? 1 : 0);
    if (c.ok) {
      EXPECT_EQ(err, 41755u);
      EXPECT_EQ(FindItem(f.image, kA, c.address ? 3 : 1)[2], c.length + c.function + 2);
    } else {
      EXPECT_EQ(err, kSaveSnFailId);
      EXPECT_EQ(f.image, before);
    }
  }
}

TEST(SerialNumber, MissingItemIsAddedLast) {
  Fixture f;
  f.block = Block(0x55, 24, {HwApItem(0x7332, 0x1060), VidPidItem(1, 2, 3)});
  f.image = Image(0x10000, kA, f.block);
  ASSERT_TRUE(WriteVendorText(f.st, f.image, "NEW"));
  auto items = Items(f.image, kA);
  ASSERT_EQ(items.size(), 2u);  // HW/AP is a leading item, not walked
  EXPECT_EQ(items.back().second, StringItem(1, "NEW", 3));
  EXPECT_EQ(f.image[kA + 5], 3);
  EXPECT_EQ(f.image[kA + 3] | f.image[kA + 4] << 8, static_cast<int>(f.block.size() + 7));
}

TEST(SerialNumber, ConfigurationBlockAtOffsetZeroGetsNoTag) {
  auto ic = IcType("VQ7330", 0, 4096, kTag);
  ImageState st;
  st.pIcType = ic.get();
  Bytes image = Image(0x10000, 0, Block(0x12, 21, {HwApItem(0x7330, 0x1060), StringItem(1, "A")}));
  image[kTag] = 0x12;
  image[kTag + 1] = 0x34;
  ASSERT_TRUE(WriteVendorText(st, image, "ACME01"));
  EXPECT_EQ(image[0], 0x12);
  EXPECT_EQ(image[kTag], 0x12);
  EXPECT_EQ(image[kTag + 1], 0x34);
  EXPECT_EQ(FindItem(image, 0, 1), StringItem(1, "ACME01"));
}

TEST(SerialNumber, RefusedBeforeAnythingChanges) {
  struct Case {
    const char* name;
    std::uint32_t configAddress, configSize, tag;
    std::size_t imageLength;
    std::size_t blockAt;
  };
  const Case cases[] = {
      {"image shorter than ConfigAddress + ConfigSize", 0xF000, 4096, 0xEFFE, 65533, 0xF000},
      {"tag beyond the image", 0x1000, 0x1000, 0x3000, 0x2000, 0x1000},
      {"tag inside the configuration area", 0x1000, 0x1000, 0x1800, 0x2000, 0x1000},
      {"no block at ConfigAddress", 0xF000, 4096, 0xEFFE, 0x10000, 0},
      {"block and 128 free bytes do not fit", 0xF000, 0x40, 0xEFFE, 0x10000, 0xF000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto ic = IcType("VQ7330", c.configAddress, c.configSize, c.tag);
    ImageState st;
    st.pIcType = ic.get();
    Bytes image = Image(c.imageLength, c.blockAt, Block(0x55, 21, {StringItem(1, "Old")}));
    const Bytes before = image;
    std::uint32_t err = 0;
    EXPECT_EQ(PreActionForAllInOne(st, image, "ACME01", Options(1, 0, 0), err), 0);
    EXPECT_EQ(err, kSaveSnFailId);
    EXPECT_EQ(image, before);
  }
}

TEST(SerialNumber, CodeInfoWithoutCodeCannotBeRebuilt) {
  Fixture f;
  f.image = Image(0x10000, kA, Block(0x55, 21, {StringItem(1, "Old"), {6, 15, 20, 0, 0, 0}}));
  const Bytes before = f.image;
  std::uint32_t err = 0;
  EXPECT_EQ(PreActionForAllInOne(f.st, f.image, "ACME01", Options(1, 0, 0), err), 0);
  EXPECT_EQ(err, kSaveSnFailId);
  EXPECT_EQ(f.image, before);
}

TEST(SerialNumber, OtpImageIsPaddedThenCutToTheNewBlock) {
  auto ic = IcType("VQ7330", 0, 4096, kTag);
  ImageState st;
  st.pIcType = ic.get();
  st.uMemoryType = kMemoryOtp;
  const Bytes block = Block(0x60, 21, {HwApItem(0x7330, 0x1060), StringItem(3, "S")});
  Bytes image = Image(0x100, 0, block, 0xFF);
  std::uint32_t err = 0;
  ASSERT_EQ(PreActionForAllInOne(st, image, "SN-000123", Options(1, 1, 0), err), 1);
  EXPECT_EQ(image.size(), block.size() + 8);
  EXPECT_EQ(st.dwBlockLength, image.size());
  EXPECT_EQ(image[0], 0x60);
  EXPECT_EQ(FindItem(image, 0, 3), StringItem(3, "SN-000123"));

  // Longer than ConfigSize: padding to it would cut the image.
  Bytes tooLong = Image(4097, 0, block, 0xFF);
  const Bytes before = tooLong;
  EXPECT_EQ(PreActionForAllInOne(st, tooLong, "X", Options(1, 1, 0), err), 0);
  EXPECT_EQ(tooLong, before);
}

TEST(SerialNumber, SettingsSteerTheStep) {
  auto store = std::make_shared<testing_support::MapSettings>();
  SetSettingsStore(store);
  Fixture f;
  const Bytes before = f.image;
  std::uint32_t err = 0;
  // No settings: SaveSN is 0 and the image stays as it is.
  EXPECT_EQ(PreActionForAllInOne(f.st, f.image, "ACME01", err), 1);
  EXPECT_EQ(f.image, before);
  store->Set("SaveSN", 1);
  store->Set("SN Address", 1);
  store->Set("SN Function", 1);
  EXPECT_EQ(PreActionForAllInOne(f.st, f.image, "AB", err), 1);
  EXPECT_EQ(FindItem(f.image, kA, 3), (Bytes{7, 3, 5, 3, 0x07, 'A', 'B'}));
  SetSettingsStore(nullptr);
}

}  // namespace
}  // namespace drover
