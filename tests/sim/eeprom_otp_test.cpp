// The I2C EEPROM (8- and 16-bit addressing, bounds, WP line) and the OTP (OR programming,
// the program-fail record, bad bytes within the ECC budget, the lock).
#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class EepromTest : public SimTest {
 protected:
  // The host's lift of the EEPROM's WP line through its four registers.
  void Lift() {
    const std::uint8_t a0 = ReadReg(0xFEA0), a6 = ReadReg(0xFEA6), a1 = ReadReg(0xFEA1), a7 = ReadReg(0xFEA7);
    ASSERT_EQ(WriteReg(0xFEA0, a0 | 0x20), 0u);
    ASSERT_EQ(WriteReg(0xFEA6, a6 & ~0x20), 0u);
    ASSERT_EQ(WriteReg(0xFEA1, a1 | 0x02), 0u);
    ASSERT_EQ(WriteReg(0xFEA7, a7 & ~0x02), 0u);
  }
  void Restore() {
    const std::uint8_t a0 = ReadReg(0xFEA0), a6 = ReadReg(0xFEA6), a1 = ReadReg(0xFEA1), a7 = ReadReg(0xFEA7);
    ASSERT_EQ(WriteReg(0xFEA0, a0 & ~0x20), 0u);
    ASSERT_EQ(WriteReg(0xFEA6, a6 | 0x01), 0u);
    ASSERT_EQ(WriteReg(0xFEA1, a1 & ~0x02), 0u);
    ASSERT_EQ(WriteReg(0xFEA7, a7 | 0x01), 0u);
  }
};

TEST_F(EepromTest, AddressingBoundsAndWriteProtection) {
  struct Case {
    MemoryKind kind;
    std::uint8_t extRead, extWrite, vendorRead, vendorWrite, otherRead;
  };
  const Case cases[] = {{MemoryKind::Eeprom8, 0xCB, 0x8B, 0x35, 0x36, 0xD1},
                        {MemoryKind::Eeprom16, 0xD1, 0x91, 0x37, 0x38, 0xCB}};
  for (const Case& c : cases) {
    SCOPED_TRACE(MemoryKindName(c.kind));
    DeviceOptions o;
    o.memory = c.kind;
    o.eepromSize = 0x10100;
    const int n = Add(o);
    OpenDevice(n);
    const std::vector<std::uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8};
    // Protected until the WP line is lifted.
    EXPECT_EQ(ExtWrite(0x02, c.extWrite, 0x0000, 0x0001, data), usb::kErrGenFailure);
    EXPECT_EQ(Status(), kStsHwErr);
    Abort();
    Lift();
    EXPECT_TRUE(Info(n).eepromWpReleased);
    ASSERT_EQ(ExtWrite(0x02, c.extWrite, 0x00F8, 0x0001, data), 0u);  // ends exactly at the last byte
    std::vector<std::uint8_t> back;
    ASSERT_EQ(VendorIn(c.vendorRead, 0x0100, 0x00F8, back, 8), 0u);
    EXPECT_EQ(back, data);
    ASSERT_EQ(VendorOut(c.vendorWrite, 0, 0x0001, {0xA5}), 0u);
    // One byte past the end.
    EXPECT_EQ(SetCmd(0x02, c.extRead, 0x00F9, 8, 0x0001), usb::kErrGenFailure);
    EXPECT_EQ(Status(), kStsErrOutrange);
    EXPECT_EQ(VendorIn(c.vendorRead, 0x0100, 0x0100, back, 1), usb::kErrGenFailure);
    // The other addressing finds no EEPROM; the N-byte form serves both.
    EXPECT_EQ(SetCmd(0x02, c.otherRead, 0, 8), usb::kErrGenFailure);
    EXPECT_EQ(Status(), kStsHwErr);
    ASSERT_EQ(VendorIn(0x39, 0, 0x0001, back, 1), 0u);
    EXPECT_EQ(back[0], 0xA5);
    Restore();
    EXPECT_FALSE(Info(n).eepromWpReleased);
    EXPECT_EQ(VendorOut(c.vendorWrite, 0, 0, {0x00}), usb::kErrGenFailure);
  }
}

class OtpTest : public SimTest {
 protected:
  void SetUp() override {
    DeviceOptions o;
    o.memory = MemoryKind::Otp;
    n = Add(o);
    OpenDevice(n);
  }
  std::vector<std::uint8_t> FailRecord() {
    std::vector<std::uint8_t> rec;
    EXPECT_EQ(ExtRead(0x02, 0xDC, 0, 0x13, 0, rec), 0u);
    return rec;
  }
  int n = 0;
};

TEST_F(OtpTest, ProgrammingOrsBitsAndReportsAFailRecord) {
  std::vector<std::uint8_t> b;
  ASSERT_EQ(ExtRead(0x02, 0xD7, 0x0100, 4, 0, b), 0u);
  EXPECT_EQ(b, std::vector<std::uint8_t>(4, 0x00));
  ASSERT_EQ(ExtWrite(0x02, 0x97, 0x0100, 8, std::vector<std::uint8_t>{0x11, 0x22, 0x40, 0x80}), 0u);
  ASSERT_EQ(ExtWrite(0x02, 0x97, 0x0100, 8, std::vector<std::uint8_t>{0x01, 0x44, 0x04, 0x7F}), 0u);
  ASSERT_EQ(ExtRead(0x02, 0xD7, 0x0100, 4, 0, b), 0u);
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0x11, 0x66, 0x44, 0xFF}));
  const auto rec = FailRecord();
  ASSERT_EQ(rec.size(), 19u);
  EXPECT_EQ(rec[0], 0);
  EXPECT_EQ(ReadBE16(rec, 17), 0x0104);  // where the chip stopped: the end
  // The end of the OTP.
  EXPECT_EQ(SetCmd(0x02, 0xD7, 0x3FFC, 8), usb::kErrGenFailure);
  EXPECT_EQ(Status(), kStsErrOutrange);
}

TEST_F(OtpTest, BadBytesAreReportedWithinTheBudgetAndStopTheWriteBeyondIt) {
  Faults f;
  f.otpBad = {0x0123, 0x0456, 0x0200};
  ASSERT_TRUE(m_bus->SetFaults(n, f));
  std::vector<std::uint8_t> chunk(0x400, 0x3C);
  ASSERT_TRUE(ChangeDcs(64));
  ASSERT_EQ(ExtWrite(0x02, 0x97, 0x0100, 2, chunk, 64), 0u);
  auto rec = FailRecord();
  EXPECT_EQ(rec[0], 3);
  // Failing bytes are reported in address order.
  EXPECT_EQ(ReadBE16(rec, 1), 0x0123);
  EXPECT_EQ(ReadBE16(rec, 3), 0x0200);
  EXPECT_EQ(ReadBE16(rec, 5), 0x0456);
  EXPECT_EQ(ReadBE16(rec, 17), 0x0456);  // the third failure exceeds the budget of 2: stop there
  std::vector<std::uint8_t> b;
  ASSERT_EQ(ExtRead(0x02, 0xD7, 0x0120, 6, 0, b), 0u);
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0x3C, 0x3C, 0x3C, 0x00, 0x3C, 0x3C}));
  ASSERT_EQ(ExtRead(0x02, 0xD7, 0x0455, 3, 0, b), 0u);
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0x3C, 0x00, 0x00}));

  // Within the budget the write completes; bad bytes keep their old value.
  ASSERT_EQ(ExtWrite(0x02, 0x97, 0x0400, 8, chunk, 64), 0u);
  rec = FailRecord();
  EXPECT_EQ(rec[0], 1);
  EXPECT_EQ(ReadBE16(rec, 1), 0x0456);
  EXPECT_EQ(ReadBE16(rec, 17), 0x0800);
  ASSERT_EQ(ExtRead(0x02, 0xD7, 0x0455, 3, 0, b), 0u);
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0x3C, 0x00, 0x3C}));
  // A bad byte whose bits are all there already does not fail.
  ASSERT_EQ(ExtWrite(0x02, 0x97, 0x0456, 8, std::vector<std::uint8_t>{0x00}), 0u);
  EXPECT_EQ(FailRecord()[0], 0);
  // At most 8 addresses fit the record; the ninth failure ends even the largest budget.
  f.otpBad.clear();
  for (std::uint16_t a = 0x1000; a < 0x100A; ++a) f.otpBad.push_back(a);
  ASSERT_TRUE(m_bus->SetFaults(n, f));
  ASSERT_EQ(ExtWrite(0x02, 0x97, 0x1000, 20, std::vector<std::uint8_t>(16, 0x01), 64), 0u);
  rec = FailRecord();
  EXPECT_EQ(rec[0], 9);
  EXPECT_EQ(ReadBE16(rec, 15), 0x1007);
  EXPECT_EQ(ReadBE16(rec, 17), 0x1008);
  // The test decode applies ECC records in use (record 1 at 0x3FC0).
  ASSERT_EQ(ExtWrite(0x02, 0x97, 0x3FC0, 8, std::vector<std::uint8_t>{0x04, 0x56, 0x3C, 0x5A}), 0u);
  ASSERT_EQ(ExtRead(0x02, 0xD9, 0x0455, 3, 0, b), 0u);
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0x3C, 0x3C, 0x3C}));
}

TEST_F(OtpTest, LockBitStopsProgramming) {
  std::vector<std::uint8_t> b;
  ASSERT_EQ(VendorIn(0x25, 0, 0xFD0C, b, 1), 0u);
  EXPECT_EQ(b[0] & 0x08, 0);
  ASSERT_EQ(WriteReg(0xFD0C, 0x08), 0u);
  EXPECT_EQ(SetCmd(0x02, 0x97, 0x0100, 0x20, 2), usb::kErrGenFailure);
  EXPECT_EQ(Status(), kStsHwErr);
  Abort();
  // The fail record of the refused write shows bytes that did not program, beyond the budget.
  const auto rec = FailRecord();
  EXPECT_EQ(rec[0], 3);
  EXPECT_EQ(ReadBE16(rec, 1), 0x0100);
  EXPECT_EQ(ReadBE16(rec, 17), 0x0102);
  // The lock is one-time: it survives a power cycle.
  ASSERT_TRUE(m_bus->Unplug(n));
  ASSERT_TRUE(m_bus->Plug(n));
  OpenDevice(n);
  EXPECT_EQ(ReadReg(0xFD0C) & 0x08, 0x08);
  EXPECT_TRUE(Info(n).otpLocked);
}

}  // namespace
}  // namespace drover::sim::testing
