// Walks every row of the chip model's tables.
#include <set>

#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class TablesTest : public SimTest {};

// Each IC type answers its own identity bytes, chip code and boot status address, and boots a
// flash image placed where its download puts it.
TEST_F(TablesTest, EveryIcTypeShowsItsIdentityAndBootsItsImage) {
  struct Expect {
    const char* name;
    std::uint8_t b0, b1, code;
    bool bootStatusChip;
  };
  const Expect expect[] = {{"VQ7310", 0x00, 0x00, 17, false}, {"VQ7322", 0x10, 0xE0, 23, true},
                           {"VQ7330", 0x10, 0xB0, 21, true},  {"VQ7332", 0x10, 0xF0, 24, true},
                           {"VQ7340", 0x10, 0xD0, 25, true},  {"VQ7370", 0x10, 0x10, 26, true}};
  ASSERT_EQ(std::size(expect), kSimIcTypes.size());
  for (std::size_t i = 0; i < kSimIcTypes.size(); ++i) {
    const SimIcType& ic = kSimIcTypes[i];
    SCOPED_TRACE(ic.name);
    EXPECT_EQ(ic.name, expect[i].name);
    EXPECT_EQ(ic.chipId[0], expect[i].b0);
    EXPECT_EQ(ic.chipId[1], expect[i].b1);
    EXPECT_EQ(ic.chipCode, expect[i].code);
    EXPECT_EQ(ic.tagAddress, 0xEFFEu);
    EXPECT_EQ(SimChip::IsBootStatusChip(ic.chipId[0], ic.chipId[1]), expect[i].bootStatusChip);
    EXPECT_EQ(FindSimIcType(ic.name), &ic);

    DeviceOptions o;
    o.ic = std::string(ic.name);
    auto image = FlashImage(ic.configAddress, ic.chipCode, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
    // A chip without boot status boots a block at its configuration address only with the
    // 0x55 0xAA tag.
    if (!expect[i].bootStatusChip) {
      image[ic.tagAddress] = 0x55;
      image[ic.tagAddress + 1] = 0xAA;
    }
    o.image = image;
    const int n = Add(o);
    OpenDevice(n);
    std::vector<std::uint8_t> id;
    ASSERT_EQ(VendorIn(0x25, 0, 0xFE21, id, 2), 0u);
    EXPECT_EQ(id, (std::vector<std::uint8_t>{ic.chipId[0], ic.chipId[1]}));
    std::vector<std::uint8_t> page0;
    ASSERT_EQ(VendorIn(0x07, 0, 0, page0, 8), 0u);
    EXPECT_EQ(page0[6], ic.chipCode);
    const DeviceInfo info = Info(n);
    EXPECT_TRUE(info.runningCode);
    EXPECT_EQ(info.versionText, "1.234.5678-9ABC.DEF0");
    EXPECT_EQ(ReadReg(0xC2A8), 8);
  }
  EXPECT_EQ(FindSimIcType("VQ7399"), nullptr);
}

// Command codes 0xC0..0xFF read, 0x80..0xBF write, below 0x20 carry no data; no command or
// vendor request is listed twice.
TEST_F(TablesTest, CommandTablesFollowTheOpcodeRules) {
  std::set<std::pair<int, int>> seen;
  for (const ExtCommandRow& row : ExtCommandTable()) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(seen.insert({row.group, row.opcode}).second);
    EXPECT_TRUE(row.group == 0x00 || row.group == 0x02);
    if (row.opcode >= 0xC0) {
      EXPECT_TRUE(row.hasData && row.dataIn);
    } else if (row.opcode >= 0x80) {
      EXPECT_TRUE(row.hasData && !row.dataIn);
    } else {
      EXPECT_LT(row.opcode, 0x20);
      EXPECT_FALSE(row.hasData);
    }
  }
  std::set<std::pair<bool, int>> requests;
  for (const VendorRequestRow& row : VendorRequestTable()) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(requests.insert({row.dirIn, row.request}).second);
  }
}

}  // namespace
}  // namespace drover::sim::testing
