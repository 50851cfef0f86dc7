// The vendor-request form: status pages with the signature, the one-byte query, the
// signature check, and the forms a device may lack.
#include "sim/usb_identity.h"
#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class VendorRequestTest : public SimTest {};

TEST_F(VendorRequestTest, StatusPagesCarryTheSignatureAndTheRunningVersion) {
  DeviceOptions o;
  o.image = FlashImage(0xF000, 21, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
  const int n = Add(o);
  OpenDevice(n);
  std::vector<std::uint8_t> s;
  for (std::uint16_t page = 0; page < 13; ++page) {
    std::vector<std::uint8_t> p;
    std::uint32_t done = 0;
    p.assign(8, 0);
    ASSERT_EQ(Raw(0xC0, 0x07, page, 0, p, true, &done), 0u);
    EXPECT_EQ(done, 8u);
    s.insert(s.end(), p.begin(), p.end());
  }
  EXPECT_EQ(std::vector<std::uint8_t>(s.begin() + 24, s.begin() + 32),
            (std::vector<std::uint8_t>{'Q', 'U', 'O', 'R', 'L', 'A', 'N', 0}));
  EXPECT_EQ(s[0], 8);  // boot status SPI
  EXPECT_EQ(s[64], 0x31);
  EXPECT_EQ(s[72], 0xBB);
  // s79 = e0, s78 = e1, s77 = e2, s76 = e3, s83 = e4, s82 = e5, s81 = e6, s80 = e7
  EXPECT_EQ(std::vector<std::uint8_t>(s.begin() + 76, s.begin() + 84),
            (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A}));
  std::vector<std::uint8_t> t1, t2;
  ASSERT_EQ(VendorIn(0x07, 129, 0, t1, 8), 0u);
  ASSERT_EQ(VendorIn(0x07, 130, 0, t2, 8), 0u);
  EXPECT_EQ(std::vector<std::uint8_t>(t1.begin() + 4, t1.end()), (std::vector<std::uint8_t>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(std::vector<std::uint8_t>(t2.begin(), t2.begin() + 4), (std::vector<std::uint8_t>{0x9A, 0xBC, 0xDE, 0xF0}));
}

// A refused vendor request stalls: unknown codes, OTP commands (extension unit only), ranges.
TEST_F(VendorRequestTest, RefusedRequestsStall) {
  OpenDevice(Add());
  std::vector<std::uint8_t> b;
  EXPECT_EQ(VendorIn(0x7F, 0, 0, b, 1), usb::kErrGenFailure);
  EXPECT_EQ(VendorIn(0x25, 0x0100, 0x0000, b, 4), usb::kErrGenFailure);  // register space ends at 0xFFFF
  EXPECT_EQ(VendorOut(0x2F, 0, 0, {0, 0}), usb::kErrGenFailure);          // flash write protected
  EXPECT_EQ(VendorIn(0x2E, 0x0800, 0, b, 4), usb::kErrGenFailure);         // 0x80000 lies past 512 KiB
  ASSERT_EQ(VendorIn(0x2E, 0x0700, 0xFFFC, b, 4), 0u);                    // SPI address bits 16..23 in wValue
  EXPECT_EQ(b, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  // The one-byte probe passes 0x40 with the direction in: the flag decides.
  std::vector<std::uint8_t> one(1, 0xEE);
  EXPECT_EQ(Raw(0x40, 0x06, 0, 0, one, true), 0u);
  EXPECT_EQ(one[0], 0);  // the ROM runs
}

TEST_F(VendorRequestTest, SignatureCheckAnswersAsConfigured) {
  struct Case {
    SignatureResult result;
    std::vector<std::uint8_t> answers;
  };
  const Case cases[] = {{SignatureResult::Pass, {1, 2, 2}},
                        {SignatureResult::Fail, {1, 4, 4}},
                        {SignatureResult::Busy, {1, 1, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(SignatureName(c.result));
    DeviceOptions o;
    o.signature = c.result;
    const int n = Add(o);
    OpenDevice(n);
    ASSERT_EQ(VendorOut(0x10, 1, 0), 0u);
    for (std::uint8_t want : c.answers) {
      std::vector<std::uint8_t> b;
      ASSERT_EQ(VendorIn(0x06, 6, 0, b, 1), 0u);
      EXPECT_EQ(b[0], want);
    }
    ASSERT_EQ(VendorOut(0x10, 0, 0), 0u);
    std::vector<std::uint8_t> b;
    ASSERT_EQ(VendorIn(0x06, 6, 0, b, 1), 0u);
    EXPECT_EQ(b[0], 0);  // no check running: the ROM's answer
  }
}

// A device with only one form: the other stalls, and without the extension unit the
// descriptors carry none.
TEST_F(VendorRequestTest, SingleFormDevicesRefuseTheOtherForm) {
  DeviceOptions ext;
  ext.form = CommandForm::ExtensionUnit;
  OpenDevice(Add(ext));
  std::vector<std::uint8_t> b;
  EXPECT_EQ(VendorIn(0x07, 0, 0, b, 8), usb::kErrGenFailure);
  EXPECT_EQ(VendorIn(0x06, 0, 0, b, 1), usb::kErrGenFailure);
  EXPECT_EQ(SetCmd(0x00, 0xD0, 0, 8), 0u);

  DeviceOptions vendor;
  vendor.form = CommandForm::VendorRequest;
  OpenDevice(Add(vendor));
  EXPECT_EQ(VendorIn(0x07, 3, 0, b, 8), 0u);
  EXPECT_EQ(SetCmd(0x00, 0xD0, 0, 8), usb::kErrGenFailure);
  const auto config = BuildConfigDescriptor(vendor);
  for (std::size_t at = 0; at + 2 < config.size(); at += config[at])
    EXPECT_FALSE(config[at + 1] == 0x24 && config[at + 2] == 0x08) << "extension unit at " << at;
}

}  // namespace
}  // namespace drover::sim::testing
