// SPI and NOR flash behind the chip: NOR semantics, erase forms, the status register with its
// write-in-progress bit, and write protection by the status register and the WP line.
#include "base/strfmt.h"
#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class FlashTest : public SimTest {
 protected:
  // The host's lift of write protection on a VQ7330: set the bit in registers A and B, then
  // clear the status register.
  void Unprotect() {
    ASSERT_EQ(WriteReg(0xFEC0, ReadReg(0xFEC0) | 0x01), 0u);
    ASSERT_EQ(WriteReg(0xFEC6, ReadReg(0xFEC6) | 0x01), 0u);
    ASSERT_EQ(VendorOut(0x31, 0, 0, {0x00}), 0u);
  }
  void Protect() {
    ASSERT_EQ(WriteReg(0xFEC0, ReadReg(0xFEC0) | 0x01), 0u);
    ASSERT_EQ(WriteReg(0xFEC6, ReadReg(0xFEC6) & ~0x01), 0u);
    ASSERT_EQ(VendorOut(0x31, 0, 0, {0x8C}), 0u);
  }
  std::uint8_t ReadSr() {
    std::vector<std::uint8_t> b;
    EXPECT_EQ(VendorIn(0x30, 0, 0, b, 1), 0u);
    return b.empty() ? 0xFF : b[0];
  }
  std::vector<std::uint8_t> Flash(std::uint32_t at, std::uint32_t n) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(m_bus->ReadMemory(dev, Memory::Flash, at, n, out));
    return out;
  }
  int dev = 0;
};

TEST_F(FlashTest, ProgramEraseAndReadBackWithProtectionOffAndOn) {
  dev = Add();
  OpenDevice(dev);
  EXPECT_EQ(Info(dev).statusRegister, 0x8C);
  EXPECT_FALSE(Info(dev).flashWpReleased);
  std::vector<std::uint8_t> data(4096);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  EXPECT_EQ(VendorOut(0x2F, 0x0100, 0x2000, data), usb::kErrGenFailure);

  Unprotect();
  EXPECT_TRUE(Info(dev).flashWpReleased);
  ASSERT_EQ(VendorOut(0x2F, 0x0100, 0x2000, data), 0u);  // 0x12000
  std::vector<std::uint8_t> back;
  ASSERT_EQ(VendorIn(0x2E, 0x0100, 0x2000, back, 4096), 0u);
  EXPECT_EQ(back, data);
  // Programming only clears bits.
  ASSERT_EQ(VendorOut(0x2F, 0x0100, 0x2000, {0xF0, 0x0F}), 0u);
  EXPECT_EQ(Flash(0x12000, 2), (std::vector<std::uint8_t>{static_cast<std::uint8_t>(data[0] & 0xF0),
                                                           static_cast<std::uint8_t>(data[1] & 0x0F)}));
  // Sector erase (4 KiB) through the extension unit, address bits 16..31 in bytes 6..7.
  ASSERT_EQ(SetCmd(0x02, 0x05, 0x2000, 0, 0x0001), 0u);
  EXPECT_EQ(Flash(0x12000, 4096), std::vector<std::uint8_t>(4096, 0xFF));

  // Either protection alone refuses program and erase.
  ASSERT_EQ(VendorOut(0x2F, 0, 0, {0x00}), 0u);
  ASSERT_EQ(VendorOut(0x31, 0, 0, {0x8C}), 0u);  // line released, register protecting
  EXPECT_EQ(VendorOut(0x2F, 0, 1, {0x00}), usb::kErrGenFailure);
  EXPECT_EQ(VendorOut(0x32, 0, 0), usb::kErrGenFailure);
  ASSERT_EQ(VendorOut(0x31, 0, 0, {0x00}), 0u);
  ASSERT_EQ(WriteReg(0xFEC6, 0x00), 0u);  // line asserted, register clear
  EXPECT_EQ(VendorOut(0x2F, 0, 1, {0x00}), usb::kErrGenFailure);
  ASSERT_EQ(SetCmd(0x02, 0x04), usb::kErrGenFailure);
  EXPECT_EQ(Status(), kStsHwErr);
  Abort();

  Protect();
  EXPECT_EQ(Info(dev).statusRegister, 0x8C);
  // With SRWD set and the line asserted the status register is frozen.
  EXPECT_EQ(VendorOut(0x31, 0, 0, {0x00}), usb::kErrGenFailure);
  Unprotect();
  ASSERT_EQ(VendorOut(0x32, 0, 0), 0u);  // chip erase
  EXPECT_EQ(Flash(0, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
}

TEST_F(FlashTest, StatusRegisterStaysBusyForTheConfiguredReads) {
  DeviceOptions o;
  o.srBusyReads = 3;
  dev = Add(o);
  OpenDevice(dev);
  Unprotect();
  EXPECT_EQ(ReadSr(), 0x01);
  EXPECT_EQ(ReadSr(), 0x01);
  EXPECT_EQ(ReadSr(), 0x01);
  EXPECT_EQ(ReadSr(), 0x00);
  // Through the extension unit likewise, after a program.
  ASSERT_EQ(VendorOut(0x2F, 0, 0, {0x12}), 0u);
  std::vector<std::uint8_t> sr;
  for (std::uint8_t want : {0x01, 0x01, 0x01, 0x00}) {
    ASSERT_EQ(ExtRead(0x02, 0xC3, 0, 1, 0, sr), 0u);
    EXPECT_EQ(sr[0], want);
  }
}

TEST_F(FlashTest, BlockEraseCompletionPollAndEraseThatNeverCompletes) {
  DeviceOptions o;
  o.eraseBusyPolls = 2;
  o.srBusyReads = 0;
  dev = Add(o);
  OpenDevice(dev);
  Unprotect();
  ASSERT_EQ(VendorOut(0x2F, 0x0100, 0x0000, {0x00, 0x00}), 0u);
  ASSERT_EQ(VendorOut(0x2F, 0x0200, 0x0000, {0x00, 0x00}), 0u);
  ASSERT_EQ(VendorOut(0x35, 0x0100, 0x0000), 0u);  // the 64 KiB block at 0x10000
  std::vector<std::uint8_t> b;
  for (std::uint8_t want : {0, 0, 1, 1}) {
    ASSERT_EQ(VendorIn(0x36, 0, 0, b, 1), 0u);
    EXPECT_EQ(b[0], want);
  }
  EXPECT_EQ(Flash(0x10000, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(Flash(0x20000, 2), (std::vector<std::uint8_t>{0x00, 0x00}));

  Faults f;
  f.eraseNeverCompletes = true;
  ASSERT_TRUE(m_bus->SetFaults(dev, f));
  ASSERT_EQ(VendorOut(0x35, 0x0200, 0x0000), 0u);
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(VendorIn(0x36, 0, 0, b, 1), 0u);
    ASSERT_EQ(b[0], 0);
  }
  EXPECT_EQ(ReadSr() & 0x01, 0x01);
  EXPECT_EQ(Flash(0x20000, 2), (std::vector<std::uint8_t>{0x00, 0x00}));
}

// The write-protect line follows register B of the pair the chip identity selects.
TEST_F(FlashTest, WriteProtectLineFollowsTheRegisterPairOfTheChipIdentity) {
  struct Case {
    std::uint8_t b0, b1;
    bool dual;
    std::vector<std::pair<std::uint16_t, std::uint8_t>> release;
  };
  const Case cases[] = {
      {0x56, 0xFF, false, {{0x0406, 0x01}}},
      {0x50, 0x80, false, {{0x0406, 0x01}}},
      {0x10, 0x71, false, {{0x0652, 0x01}}},
      {0x10, 0xE0, false, {{0x0507, 0x01}}},
      {0x10, 0x10, false, {{0x0512, 0x10}}},
      {0x10, 0x10, true, {{0x0510, 0x80}, {0x0512, 0x10}}},
      {0x10, 0xC0, false, {{0xFEC6, 0x01}}},
      {0x00, 0x00, false, {{0xFEA6, 0x01}}},
      {0x11, 0x72, false, {{0xFEA6, 0x01}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StrFormat("%02X %02X%s", c.b0, c.b1, c.dual ? " dual" : ""));
    DeviceOptions o;
    o.chipIdSet = true;
    o.chipId = {c.b0, c.b1};
    o.dualWpPairs = c.dual;
    dev = Add(o);
    OpenDevice(dev);
    EXPECT_FALSE(Info(dev).flashWpReleased);
    for (std::size_t i = 0; i < c.release.size(); ++i) {
      EXPECT_FALSE(Info(dev).flashWpReleased);
      ASSERT_EQ(WriteReg(c.release[i].first, c.release[i].second), 0u);
    }
    EXPECT_TRUE(Info(dev).flashWpReleased);
  }
  // The 0x1010 pair query: 0x29 at 0x051B, then bits 6..5 of 0x050F are 1 with two pairs.
  for (bool dual : {false, true}) {
    DeviceOptions o;
    o.ic = "VQ7370";
    o.dualWpPairs = dual;
    OpenDevice(Add(o));
    ASSERT_EQ(WriteReg(0x051B, 0x29), 0u);
    EXPECT_EQ((ReadReg(0x050F) >> 5) & 3, dual ? 1 : 0);
  }
}

TEST_F(FlashTest, NorCommandsNeedANorFlash) {
  DeviceOptions o;
  o.memory = MemoryKind::Nor;
  dev = Add(o);
  OpenDevice(dev);
  ASSERT_EQ(VendorOut(0x2A, 0, 0x0100, {0x12, 0x34}), 0u);
  std::vector<std::uint8_t> b;
  ASSERT_EQ(ExtRead(0x00, 0xC5, 0x0100, 2, 0, b), 0u);
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0x12, 0x34}));
  ASSERT_EQ(SetCmd(0x00, 0x06), 0u);  // tag
  EXPECT_EQ(Info(dev).tag, (std::array<std::uint8_t, 2>{0x55, 0xAA}));
  ASSERT_EQ(VendorOut(0x29, 0, 0), 0u);  // erase
  EXPECT_EQ(Flash(0x100, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
  ASSERT_EQ(VendorIn(0x2E, 0, 0x0100, b, 2), 0u);  // the SPI read serves a NOR flash too
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(VendorOut(0x2F, 0, 0x0100, {0x00}), usb::kErrGenFailure);  // but no SPI write

  dev = Add();
  OpenDevice(dev);
  EXPECT_EQ(VendorIn(0x2B, 0, 0, b, 2), usb::kErrGenFailure);
}

}  // namespace
}  // namespace drover::sim::testing
