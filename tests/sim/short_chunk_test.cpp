// A data phase whose last transfer is longer than what is left: the device record another
// bus object (another process) reads afterwards must still be valid.
#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

TEST_F(SimTest, AShortLastChunkLeavesAValidRecordForTheNextProcess) {
  DeviceOptions o;
  o.memory = MemoryKind::Otp;
  const int n = Add(o);
  OpenDevice(n);
  ASSERT_TRUE(m_bus->WriteMemory(n, Memory::Otp, 0x3F70, std::vector<std::uint8_t>{0, 0, 1, 0, 0x55}));
  std::vector<std::uint8_t> b;
  ASSERT_EQ(ExtRead(0x02, 0xD7, 0x3F70, 5, 0, b), 0u);  // one 8-byte transfer for 5 bytes
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0, 0, 1, 0, 0x55}));
  auto other = SimBus::Open(m_bus->Directory(), false);
  ASSERT_TRUE(other);
  DeviceInfo info;
  EXPECT_TRUE(other->GetInfo(n, info));
  EXPECT_TRUE(info.present);
}

}  // namespace
}  // namespace drover::sim::testing
