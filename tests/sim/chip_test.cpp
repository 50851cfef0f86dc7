// The chip model driven directly, over memories held in plain vectors.
#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

TEST(SimChipTest, RunsOverPlainMemoriesWithoutABus) {
  DeviceOptions o;
  o.ic = "VQ7340";
  std::vector<std::uint8_t> flash(0x80000, 0xFF), regs(kRegsSize), aux(kAuxSize);
  const auto image = FlashImage(0xF000, 25, {0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB, 0xED, 0x0F});
  std::copy(image.begin(), image.end(), flash.begin());
  ChipState state;
  Faults faults;
  SimChip chip(o, state, faults, {flash, {}, {}, regs, aux});
  chip.PowerOn();
  EXPECT_TRUE(state.runningCode);
  EXPECT_EQ(regs[0xFE21], 0x10);
  EXPECT_EQ(regs[0xFE22], 0xD0);

  std::vector<std::uint8_t> page(8);
  ChipReply r = chip.Control({0xC0, 0x07, 9, 0}, page, true, 5000);
  ASSERT_EQ(r.error, 0u);
  EXPECT_EQ(r.transferred, 8u);
  // s79 = e0 (page 9 holds s72..s79)
  EXPECT_EQ(page[7], 0x21);
  r = chip.Control({0x40, 0x20, 1, 0}, {}, false, 5000);
  EXPECT_EQ(r.resetType, 7);
  chip.CompleteReset(r.resetType);
  EXPECT_FALSE(state.runningCode);
  EXPECT_EQ(state.resets[0], 1u);
  EXPECT_EQ(state.transfers, 2u);
  EXPECT_EQ(SimChip::BootText(state.bootStatus), std::string("ROM"));
}

}  // namespace
}  // namespace drover::sim::testing
