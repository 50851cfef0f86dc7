// The data of the updates, row by row, and the rearrangement of a 16 KiB image for chips that
// emulate OTP in flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "base/bytes.h"
#include "engine/update_rules.h"

namespace drover {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(UpdateRules, FlashBankTable) {
  for (const FlashBankRow& r : kFlashBankTable) {
    SCOPED_TRACE(r.chipCode);
    EXPECT_EQ(FlashBankOf(r.chipCode), r.bank);
    EXPECT_TRUE(HasSecondBank(r.chipCode));
    EXPECT_EQ(FlashImageBase(r.chipCode, 0x18000), r.bank == FlashBank::kSecondBank ? 0x10000u : 0x18000u);
  }
  for (std::uint8_t other : {17, 21, 24, 25, 30}) {
    EXPECT_EQ(FlashImageBase(other, 0x18000), 0u);
    EXPECT_FALSE(HasSecondBank(other));
  }
}

TEST(UpdateRules, EraseTable) {
  for (const EraseRow& r : kEraseTable) {
    SCOPED_TRACE(r.chipCode);
    EXPECT_EQ(EraseKindOf(r.chipCode, false), r.kind);
    EXPECT_EQ(EraseKindOf(r.chipCode, true), EraseKind::kChip);  // the stand-alone job
  }
  EXPECT_EQ(EraseKindOf(21, false), EraseKind::kChip);
}

TEST(UpdateRules, DevicesRebootedWithoutAsking) {
  std::set<std::uint32_t> seen;
  for (const VidPid& v : kRebootWithoutAsking) {
    SCOPED_TRACE(testing::Message() << std::hex << v.vid << ":" << v.pid);
    EXPECT_TRUE(RebootsWithoutAsking(v.vid, v.pid));
    EXPECT_TRUE(seen.insert(static_cast<std::uint32_t>(v.vid) << 16 | v.pid).second) << "listed twice";
  }
  EXPECT_FALSE(RebootsWithoutAsking(0x0B05, 0x18A6));
  EXPECT_FALSE(RebootsWithoutAsking(0x0DB0, 0x1984));  // a product of another vendor's row
}

TEST(UpdateRules, RegisterReboot) {
  for (const RebootRegisters& r : kRegisterReboot) {
    SCOPED_TRACE(r.chipCode);
    EXPECT_EQ(RegisterRebootOf(r.chipCode), &r);
    EXPECT_LE(r.count, r.regs.size());
  }
  EXPECT_EQ(RegisterRebootOf(21), nullptr);
}

TEST(UpdateRules, EepromWriteProtectTable) {
  for (const EepWpRow& r : kEepWpTable) {
    SCOPED_TRACE(r.reg);
    EXPECT_EQ(r.liftSet & r.liftClear, 0);
    EXPECT_EQ(r.restoreSet & r.restoreClear, 0);
    EXPECT_NE(r.liftSet | r.liftClear, 0);
    EXPECT_NE(r.restoreSet | r.restoreClear, 0);
  }
}

// ---- rearrangement ----

Bytes Item(std::uint8_t type, std::size_t length, std::uint8_t fill) {
  Bytes b(length, fill);
  b[0] = static_cast<std::uint8_t>(length);
  b[1] = type;
  return b;
}
Bytes CodeItem(std::size_t length) {
  Bytes b(length, 0xC0);
  b[0] = 0xFF;
  b[1] = 0xE7;
  WriteLE16(b, 2, static_cast<std::uint16_t>(length));
  WriteLE16(b, 4, 15 + 8);
  WriteLE16(b, 6, static_cast<std::uint16_t>(length - 8));
  return b;
}
const Bytes kHwAp{6, 47, 0x30, 0x73, 0x60, 0x10};
const Bytes kEepInfo{3, 8, 0x01};

// A 16 KiB image with the block at 0 built from items (count given or the number of items).
Bytes Image(const std::vector<Bytes>& items, std::uint8_t subMode = 0, int count = -1) {
  Bytes image(0x4000, 0x77);
  Bytes block{0x55, 0xA5, static_cast<std::uint8_t>(21 << 3 | subMode), 0, 0,
              static_cast<std::uint8_t>(count >= 0 ? count : static_cast<int>(items.size()))};
  for (const Bytes& i : items) block.insert(block.end(), i.begin(), i.end());
  WriteLE16(block, 3, static_cast<std::uint16_t>(block.size()));
  std::copy(block.begin(), block.end(), image.begin());
  return image;
}

Bytes Slice(const Bytes& b, std::size_t at, std::size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

// A code item of 0x100 bytes in a block of 0x180 bytes: a code block of 0x10F bytes and a
// configuration block of 0x80 bytes.
TEST(SimulatedOtpImage, CodeAndConfiguration) {
  const Bytes code = CodeItem(0x100);
  const Bytes other1 = Item(4, 8, 0x41);
  const Bytes other2 = Item(64, 0x80 - 15 - 8, 0x42);
  const Bytes source = Image({kHwAp, kEepInfo, code, other1, other2});
  ASSERT_EQ(ReadLE16(source, 3), 0x180);
  Bytes out = source;
  ASSERT_TRUE(RearrangeSimulatedOtpImage(out, 21));

  // Code block: bytes 0..14 and the code item.
  EXPECT_EQ(Slice(out, 0, 3), Slice(source, 0, 3));
  EXPECT_EQ(ReadLE16(out, 3), 0x10F);
  EXPECT_EQ(out[5], 3);
  EXPECT_EQ(Slice(out, 6, 9), Slice(source, 6, 9));
  EXPECT_EQ(Slice(out, 15, 0x100), code);
  // Configuration block: bytes 0..14 again, then the items after the code.
  EXPECT_EQ(Slice(out, 0x10F, 3), Slice(source, 0, 3));
  EXPECT_EQ(ReadLE16(out, 0x10F + 3), 0x80);
  EXPECT_EQ(out[0x10F + 5], 4);  // HW/AP version, EEPROM info and the two others
  EXPECT_EQ(Slice(out, 0x10F + 6, 9), Slice(source, 6, 9));
  EXPECT_EQ(Slice(out, 0x10F + 15, 0x80 - 15), Slice(source, 15 + 0x100, 0x80 - 15));
  EXPECT_TRUE(std::all_of(out.begin() + 0x18F, out.begin() + 0x3F60, [](std::uint8_t b) { return b == 0xFF; }));
  // The table: zero but for the two block entries.
  Bytes table(160, 0);
  table[0x3FB6 - 0x3F60] = 0x01;
  table[0x3FB7 - 0x3F60] = 0x0F;
  table[0x3FB8 - 0x3F60] = 0x00;
  table[0x3FB9 - 0x3F60] = 0x80;
  table[0x3FBA - 0x3F60] = 0xAA;
  table[0x3FBD - 0x3F60] = 0x01;
  table[0x3FBE - 0x3F60] = 0x0F;
  table[0x3FBF - 0x3F60] = 0x55;
  EXPECT_EQ(Slice(out, 0x3F60, 160), table);
}

TEST(SimulatedOtpImage, OnePartOnly) {
  struct Case {
    const char* name;
    Bytes source;
    std::size_t firstLength;  // of the block at 0
    std::uint8_t mark;        // at 0x3FBF
  };
  const Bytes codeOnly = Image({kHwAp, kEepInfo, CodeItem(0x40)});
  const Bytes configOnly = Image({kHwAp, kEepInfo, Item(4, 8, 0x41)});
  for (const Case& c : {Case{"code only", codeOnly, 0x40 + 15, 0x55}, Case{"configuration only", configOnly, 23, 0xAA}}) {
    SCOPED_TRACE(c.name);
    Bytes out = c.source;
    ASSERT_TRUE(RearrangeSimulatedOtpImage(out, 21));
    // A block with nothing taken out goes over whole, item count included.
    EXPECT_EQ(Slice(out, 0, c.firstLength), Slice(c.source, 0, c.firstLength));
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(c.firstLength), out.begin() + 0x3F60,
                            [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(out[0x3FBD], 0);
    EXPECT_EQ(out[0x3FBE], c.firstLength);
    EXPECT_EQ(out[0x3FBF], c.mark);
    EXPECT_EQ(out[0x3FBA], 0);
  }
}

TEST(SimulatedOtpImage, SubModeTwoMarksBothBlocks) {
  Bytes out = Image({kHwAp, kEepInfo, CodeItem(0x40), Item(4, 8, 0x41)}, 2);
  ASSERT_TRUE(RearrangeSimulatedOtpImage(out, 21));
  EXPECT_EQ(out[2], 21 * 8 + 3);
  EXPECT_EQ(out[0x4F + 2], 21 * 8 + 1);
}

TEST(SimulatedOtpImage, RefusedImages) {
  struct Case {
    const char* name;
    Bytes image;
  };
  Bytes noSignature = Image({kHwAp, kEepInfo, CodeItem(0x40)});
  noSignature[1] = 0x00;
  Bytes shortImage = Image({kHwAp, kEepInfo, CodeItem(0x40)});
  shortImage.resize(0x3FFF);
  const Case cases[] = {
      {"not 16 KiB", shortImage},
      {"no signature", noSignature},
      {"code after another item", Image({kHwAp, kEepInfo, Item(4, 8, 0x41), CodeItem(0x40)})},
      {"code without the EEPROM info", Image({kHwAp, CodeItem(0x40)})},
      {"two code items", Image({kHwAp, kEepInfo, CodeItem(0x40), CodeItem(0x40)})},
      {"count beyond the block", Image({kHwAp, kEepInfo, CodeItem(0x40)}, 0, 5)},
      {"blocks beyond the table", Image({kHwAp, kEepInfo, CodeItem(0x3F58), Item(4, 8, 0x41)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out = c.image;
    EXPECT_FALSE(RearrangeSimulatedOtpImage(out, 21));
    EXPECT_EQ(out, c.image);
  }
}

}  // namespace
}  // namespace drover
