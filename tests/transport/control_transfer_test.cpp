#include "transport/control_transfer.h"

#include <gtest/gtest.h>

#include "fake_usb.h"
#include "transport/enumeration.h"
#include "transport/recording_backend.h"

namespace drover {
namespace {

using test::FakeBackend;

class ControlTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = std::make_shared<FakeBackend>();
    rec = std::make_shared<RecordingBackend>(fake);
    SetUsbBackend(rec);
  }
  void TearDown() override {
    for (const DeviceRef& r : refs) ReleaseDevice(r);
    SetUsbBackend(nullptr);
  }
  std::uint32_t Bind(std::size_t index, DeviceRef& ref) {
    std::unique_ptr<usb::IUsbDevice> dev;
    const auto& device = fake->devices[index];
    EXPECT_EQ(rec->Open(device.deviceInstance, dev), 0u);
    std::shared_ptr<usb::IUsbDevice> handle(std::move(dev));
    const std::uint32_t rc = BindDevice(device.deviceInstance, handle, ref);
    if (rc == 0) refs.push_back(ref);
    return rc;
  }
  std::shared_ptr<FakeBackend> fake;
  std::shared_ptr<RecordingBackend> rec;
  std::vector<DeviceRef> refs;
};

TEST_F(ControlTransferTest, ClassRequestSetupPacketAndDirectionFromFlag) {
  fake->Add(1);
  DeviceRef ref;
  ASSERT_EQ(Bind(0, ref), 0u);
  std::vector<std::uint8_t> buf(8);
  std::uint32_t got = 0;
  ASSERT_EQ(ClassRequest(ref, 0xA1, 0x81, 0x0B, 6, 2, buf, true, &got, 5000), 0u);
  EXPECT_EQ(got, 8u);
  // The raw-path write passes 0xA1 with the direction out: the wire says host to device.
  ASSERT_EQ(ClassRequest(ref, 0xA1, 0x01, 0x0B, 6, 2, buf, false), 0u);
  // A probe passes 0x40 with the direction in: the wire says device to host.
  std::vector<std::uint8_t> one(1);
  ASSERT_EQ(VendorRequest(ref, 0x40, 0x06, 0, 0, one, true), 0u);

  const auto t = rec->Transfers();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].setup.bmRequestType, 0xA1);
  EXPECT_EQ(t[0].setup.bRequest, 0x81);
  EXPECT_EQ(t[0].setup.wValue, 0x0B00);
  EXPECT_EQ(t[0].setup.wIndex, 0x0602);
  EXPECT_EQ(t[0].wLength, 8);
  EXPECT_TRUE(t[0].dirIn);
  EXPECT_EQ(t[0].timeoutMs, 5000u);
  EXPECT_EQ(t[1].setup.bmRequestType, 0x21);
  EXPECT_FALSE(t[1].dirIn);
  EXPECT_EQ(t[2].setup.bmRequestType, 0xC0);
  EXPECT_TRUE(t[2].dirIn);
}

TEST_F(ControlTransferTest, LengthRules) {
  fake->Add(1).descriptorShort = 10;
  fake->devices[0].chip->shortIn = 3;
  DeviceRef ref;
  ASSERT_EQ(Bind(0, ref), 0u);
  std::vector<std::uint8_t> dev(18);
  std::uint32_t got = 0;
  EXPECT_EQ(GetDescriptor(ref, kDescDevice, 0, 0, dev, &got), kErrBadLength);
  EXPECT_EQ(got, 10u);
  std::vector<std::uint8_t> head(9);
  EXPECT_EQ(GetDescriptor(ref, kDescConfiguration, 0, 0, head), 0u);
  std::vector<std::uint8_t> buf(8);
  EXPECT_EQ(VendorRequest(ref, 0xC0, 0x25, 0, 0, buf, true, &got), 0u);
  EXPECT_EQ(got, 3u);
  const auto t = rec->Transfers();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].setup.bmRequestType, 0x80);
  EXPECT_EQ(t[0].setup.bRequest, 0x06);
  EXPECT_EQ(t[0].setup.wValue, 0x0100);
  EXPECT_EQ(t[1].setup.wValue, 0x0200);
}

TEST_F(ControlTransferTest, BindRuleRefusesForeignDevicesBeforeAnyTraffic) {
  struct Case {
    const char* name;
    std::uint16_t vid;
    std::vector<std::uint8_t> config;
    bool cached;
    std::uint32_t expect;
  };
  auto hostileZero = test::AudioConfig(6, 0x0BDA);
  hostileZero[9] = 0;  // the interface descriptor claims length 0
  auto hostilePast = test::AudioConfig(6, 0x0BDA);
  hostilePast[39] = 200;  // the extension unit runs past the end
  const std::vector<Case> cases = {
      {"our vendor id", 0x0BDA, test::AudioConfig(6, 0x1234), true, 0},
      {"foreign id, our extension unit", 0x0B05, test::AudioConfig(6, 0x0BDA), true, 0},
      {"foreign id, our unit, UAC2 subtype", 0x0B05, test::AudioConfig(6, 0x0BDA, 9), true, 0},
      {"foreign id and extension code", 0x0B05, test::AudioConfig(6, 0x1234), true, 5},
      {"foreign id, length-0 descriptor", 0x0B05, hostileZero, true, 5},
      {"foreign id, descriptor past the end", 0x0B05, hostilePast, true, 5},
      {"foreign id, descriptors read from the device", 0x0B05, test::AudioConfig(6, 0x0BDA), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake->devices.clear();
    rec->Clear();
    auto& d = fake->Add(1, c.vid);
    d.config = c.config;
    d.cached = c.cached;
    DeviceRef ref;
    EXPECT_EQ(Bind(0, ref), c.expect);
    if (c.expect != 0) {
      EXPECT_TRUE(ref.IsNull());
      EXPECT_EQ(rec->TransferCount(), 0u);
    }
    if (!c.cached) {
      // Only the two standard configuration requests, never a vendor or class request.
      for (const auto& t : rec->Transfers()) EXPECT_EQ(t.setup.bmRequestType, 0x80);
    }
    for (const DeviceRef& r : refs) ReleaseDevice(r);
    refs.clear();
  }
}

TEST_F(ControlTransferTest, SameDeviceBoundTwiceSharesOneReference) {
  fake->Add(1);
  DeviceRef a, b;
  ASSERT_EQ(Bind(0, a), 0u);
  ASSERT_EQ(Bind(0, b), 0u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(BoundDeviceCount(), 1u);
  EXPECT_EQ(ReleaseDevice(a), 0u);
  EXPECT_EQ(BoundDeviceCount(), 1u);
  EXPECT_EQ(ReleaseDevice(b), 0u);
  EXPECT_EQ(BoundDeviceCount(), 0u);
  refs.clear();
  // A released reference reaches nothing.
  std::vector<std::uint8_t> buf(8);
  EXPECT_EQ(VendorRequest(a, 0xC0, 0x25, 0, 0, buf, true), usb::kErrInvalidParameter);
  EXPECT_EQ(ReleaseDevice(a), usb::kErrInvalidParameter);
  EXPECT_EQ(rec->TransferCount(), 0u);
}

TEST_F(ControlTransferTest, NoBackendOrNoHandle) {
  fake->Add(1);
  DeviceRef ref;
  EXPECT_EQ(BindDevice(fake->devices[0].deviceInstance, nullptr, ref), usb::kErrInvalidParameter);
  SetUsbBackend(nullptr);
  std::unique_ptr<usb::IUsbDevice> dev;
  ASSERT_EQ(fake->Open(fake->devices[0].deviceInstance, dev), 0u);
  EXPECT_EQ(BindDevice(fake->devices[0].deviceInstance, std::shared_ptr<usb::IUsbDevice>(std::move(dev)), ref),
            kErrPathNotFound);
}

TEST_F(ControlTransferTest, BoundTableHasThirtyTwoEntries) {
  for (std::uint32_t p = 1; p <= 33; ++p) fake->Add(p);
  for (std::size_t i = 0; i < 32; ++i) {
    DeviceRef ref;
    ASSERT_EQ(Bind(i, ref), 0u);
  }
  DeviceRef ref;
  EXPECT_EQ(Bind(32, ref), kErrTooManyOpen);
  EXPECT_TRUE(ref.IsNull());
}

}  // namespace
}  // namespace drover
