#include "engine/chip_family.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace drover {
namespace {

TEST(ChipFamily, ClassifiesEveryFamilyOfTheRule) {
  struct Row {
    std::uint8_t b0, b1;
    bool bootStatusChip;
    bool family0010;
  };
  const Row rows[] = {
      {0x10, 0xB0, true, false},  {0x10, 0xC0, true, false},  {0x10, 0xD0, true, false},
      {0x10, 0xE0, true, false},  {0x10, 0xF0, true, false},  {0x10, 0x10, true, false},
      {0x11, 0x72, false, false},  // family 0x7010 with b0 = 0x11 is not one
      {0x12, 0x72, true, false},   {0x10, 0x70, true, false},  {0x56, 0xFF, true, false},
      {0x50, 0x80, true, false},   {0x00, 0x00, false, false}, {0x10, 0x00, false, true},
      {0x1F, 0x0F, false, true},   {0x10, 0x30, false, false}, {0x10, 0xA0, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << int(r.b0) << "," << int(r.b1));
    EXPECT_EQ(IsBootStatusChip(r.b0, r.b1), r.bootStatusChip);
    EXPECT_EQ(ChipFamily(r.b0, r.b1) == 0x0010, r.family0010);
  }
  EXPECT_EQ(BootStatusAddress(0x10, 0x71), 0xC2A6u);
  EXPECT_EQ(BootStatusAddress(0x10, 0x70), 0xC2A8u);
}

TEST(ChipFamily, BootStatusTexts) {
  const std::pair<std::uint8_t, const char*> rows[] = {
      {0, "ROM"}, {8, "SPI"}, {16, "ROM&&OTP"}, {24, "SPI&&OTP"}, {32, "ROM&&SPI"}, {1, "Unknown"}, {0xFF, "Unknown"}};
  for (const auto& [value, text] : rows) EXPECT_EQ(BootStatusText(value), text) << int(value);
}

// A status record with the given bytes set.
std::vector<std::uint8_t> Record(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  std::vector<std::uint8_t> s(kStatusRecordSize, 0);
  for (const auto& [at, v] : bytes) s[at] = v;
  return s;
}

TEST(ChipFamily, VersionSlotsAndFormats) {
  // Format 2 fields (s76..s83), format 1 fields (s76..s79), format 0 fields of both slots.
  const std::initializer_list<std::pair<std::size_t, std::uint8_t>> common = {
      {4, 0x00},  {5, 0x01},  {67, 0xAA}, {68, 0x33}, {69, 0x44}, {70, 0x11}, {71, 0x22}, {75, 0xCC},
      {76, 0x78}, {77, 0x56}, {78, 0x34}, {79, 0x12}, {80, 0xF0}, {81, 0xDE}, {82, 0xBC}, {83, 0x9A}};
  struct Row {
    const char* name;
    std::uint8_t s64, s72;
    std::size_t slot;
    int format;
    const char* text;
    const char* textEx;
    const char* textIds;
  };
  const Row rows[] = {
      {"format 2 in slot A", 0x31, 0xBB, kSlotA, 2, "1.234.5678-9ABC.DEF0", "1.234.5678-9ABC.DEF0",
       "1.234.5678-9ABC.DEF0-VID0B05&&PID1996"},
      {"format 1 in slot A", 0x21, 0x00, kSlotA, 1, "0x5678-1234", "0x5678-1234", "0x5678-1234-VID0B05&&PID1996"},
      {"format 0 in slot A", 0x01, 0x00, kSlotA, 0, "0xAA-1122-0100", "0xAA-3344-1122",
       "0xAA-1122-0100-VID0B05&&PID1996"},
      // Slot B: slot A's low nibble 0 and slot B's neither 0 nor 0xB.
      {"format 0 in slot B", 0x00, 0x01, kSlotB, 0, "0xCC-3412-0100", "0xCC-7856-3412",
       "0xCC-3412-0100-VID0B05&&PID1996"},
      {"format 1 in slot B", 0x00, 0x25, kSlotB, 1, "0x5678-1234", "0x5678-1234", "0x5678-1234-VID0B05&&PID1996"},
      {"slot B low nibble 0xB keeps slot A", 0x00, 0x3B, kSlotA, 0, "0xAA-1122-0100", "0xAA-3344-1122",
       "0xAA-1122-0100-VID0B05&&PID1996"},
      {"slot A low nibble not 0 keeps slot A", 0x31, 0x01, kSlotA, 2, "1.234.5678-9ABC.DEF0",
       "1.234.5678-9ABC.DEF0", "1.234.5678-9ABC.DEF0-VID0B05&&PID1996"},
  };
  const std::vector<std::uint8_t> ext(kExtVersionSize, 0);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::uint8_t> s = Record(common);
    s[64] = r.s64;
    s[72] = r.s72;
    EXPECT_EQ(ChooseVersionSlot(s), r.slot);
    EXPECT_EQ(VersionFormat(s), r.format);
    const VersionInfo v = BuildVersion(s, ext, 0, false, 0, 0);
    EXPECT_EQ(v.text, r.text);
    EXPECT_EQ(v.textEx, r.textEx);
    EXPECT_EQ(BuildVersion(s, ext, 0, true, 0x0B05, 0x1996).text, r.textIds);
  }
}

TEST(ChipFamily, VersionNumbersOfEachFormat) {
  std::vector<std::uint8_t> s = Record({{4, 0x04}, {5, 0x05}, {64, 0x01}, {67, 0x07}, {70, 0x11}, {71, 0x22},
                                        {76, 0x78}, {77, 0x56}, {78, 0x34}, {79, 0x12}});
  const std::vector<std::uint8_t> ext(kExtVersionSize, 0);
  EXPECT_EQ(BuildVersion(s, ext, 8, false, 0, 0).numbers, (std::array<std::uint16_t, 6>{7, 0x11, 0x22, 5, 4, 0}));
  s[64] = 0x21;
  EXPECT_EQ(BuildVersion(s, ext, 8, false, 0, 0).numbers,
            (std::array<std::uint16_t, 6>{0x56, 0x78, 0x12, 0x34, 0, 0}));
}

TEST(ChipFamily, ExtendedBlockServesBootStatus16_24_32) {
  std::vector<std::uint8_t> t(kExtVersionSize, 0);
  t[12] = 0x21;
  t[13] = 0x03;
  t[14] = 0x00;
  t[15] = 0x42;
  t[16] = 0x12;
  t[17] = 0x34;
  t[18] = 0xAB;
  t[19] = 0xCD;
  const std::vector<std::uint8_t> s = Record({{64, 0x21}});  // format 1 in the record, unused
  for (std::uint8_t boot : {16, 24, 32}) {
    SCOPED_TRACE(int(boot));
    const VersionInfo v = BuildVersion(s, t, boot, false, 0, 0);
    EXPECT_EQ(v.text, "2.103.0042-1234.ABCD");
    EXPECT_EQ(v.textEx, v.text);
    EXPECT_EQ(v.numbers, (std::array<std::uint16_t, 6>{2, 1, 3, 0x42, 0x1234, 0xABCD}));
    EXPECT_EQ(BuildVersion(s, t, boot, true, 0x0BDA, 0x4C15).text, "2.103.0042-1234.ABCD-VID0BDA&&PID4C15");
  }
  EXPECT_EQ(BuildVersion(s, t, 8, false, 0, 0).text, "0x0000-0000");  // boot 8: the record counts
}

TEST(ChipFamily, CacheModeByFamily) {
  std::vector<std::uint8_t> s = Record({{64, 0x31}});
  // Families 0 and 0x7010 go by the slot's mode nibble.
  EXPECT_TRUE(RunsDownloadedCode(0x00, 0x00, s, 0));
  EXPECT_TRUE(RunsDownloadedCode(0x11, 0x72, s, 0));
  s[64] = 0x30;
  EXPECT_FALSE(RunsDownloadedCode(0x00, 0x00, s, 8));
  // Every other family by the boot status byte; an unread byte (0xFF) counts as running code.
  EXPECT_FALSE(RunsDownloadedCode(0x10, 0xB0, s, 0));
  EXPECT_TRUE(RunsDownloadedCode(0x10, 0xB0, s, 8));
  EXPECT_TRUE(RunsDownloadedCode(0xFF, 0xFF, s, 0xFF));
}

TEST(ChipFamily, StatusVersionBytes) {
  std::vector<std::uint8_t> s(kStatusRecordSize);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i);
  s[64] = 0x00;
  s[72] = 0x01;  // slot B
  EXPECT_EQ(StatusVersionBytes(s), (std::array<std::uint8_t, 8>{0x01, 73, 74, 75, 76, 77, 78, 79}));
  s[72] = 0x00;
  s[64] = 0x21;
  EXPECT_EQ(StatusVersionBytes(s), (std::array<std::uint8_t, 8>{77, 76, 79, 78, 0, 0, 0, 0}));
  s[64] = 0x31;
  EXPECT_EQ(StatusVersionBytes(s), (std::array<std::uint8_t, 8>{76, 77, 78, 79, 80, 81, 82, 83}));
  s[64] = 0x11;
  EXPECT_EQ(StatusVersionBytes(s), (std::array<std::uint8_t, 8>{0x11, 65, 66, 67, 68, 69, 70, 71}));
}

TEST(ChipFamily, ImageVersion) {
  const std::uint8_t e[8] = {0x12, 0x03, 0x00, 0x42, 0x12, 0x34, 0xAB, 0xCD};
  const ImageVersion v = DecodeImageVersion(e);
  EXPECT_EQ(v.text, "1.203.0042-1234.ABCD");
  EXPECT_EQ(v.numbers, (std::array<std::uint16_t, 6>{1, 2, 3, 0x42, 0x1234, 0xABCD}));
}

TEST(ChipFamily, WriteProtectPairs) {
  struct Row {
    std::uint8_t b0, b1;
    std::uint16_t regA, regB;
  };
  const Row rows[] = {
      {0x56, 0xFF, 0x0404, 0x0406}, {0x50, 0x80, 0x0404, 0x0406}, {0x12, 0x70, 0x0650, 0x0652},
      {0x11, 0x70, 0xFEA0, 0xFEA6},  // 0x7010 with first byte 0x11 falls to the default pair
      {0x10, 0xE0, 0x0505, 0x0507}, {0x10, 0xB0, 0xFEC0, 0xFEC6}, {0x13, 0xC0, 0xFEC0, 0xFEC6},
      {0x10, 0xD0, 0xFEC0, 0xFEC6}, {0x10, 0xF0, 0xFEC0, 0xFEC6}, {0x00, 0x00, 0xFEA0, 0xFEA6},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << int(r.b0) << "," << int(r.b1));
    ASSERT_EQ(WriteProtectKind(r.b0, r.b1), WpKind::Fixed);
    const WpPass p = WpFixedPass(r.b0, r.b1);
    EXPECT_EQ(p.regA, r.regA);
    EXPECT_EQ(p.regB, r.regB);
    EXPECT_EQ(p.bit, 0x01);
  }
  EXPECT_EQ(WriteProtectKind(0x10, 0x10), WpKind::Query1010);
  EXPECT_TRUE(Wp1010HasTwoPairs(0x20));
  EXPECT_TRUE(Wp1010HasTwoPairs(0xA5 & ~0x40));
  EXPECT_FALSE(Wp1010HasTwoPairs(0x60));
  EXPECT_FALSE(Wp1010HasTwoPairs(0x00));
}

}  // namespace
}  // namespace drover
