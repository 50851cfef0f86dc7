#include "transport/kes_device.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/bytes.h"

#include "sim_fixture.h"

namespace drover {
namespace {

using Bytes = std::vector<std::uint8_t>;

class DeviceTest : public test::SimTransportTest {};

TEST_F(DeviceTest, OpenByIndexPokesTheChipAndKeepsOneCurrentDevice) {
  Add();
  EXPECT_EQ(OpenDeviceByIndex(1), 0u);
  EXPECT_EQ(CurrentDevice(), nullptr);

  rec->Clear();
  const DevInst h = OpenDeviceByIndex(0);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(DevInstId(h), "USB\\VID_0B05&PID_1996\\1-1");
  EXPECT_EQ(CurrentDeviceInstance(), h);
  // The one-byte write at 0xC3BA comes before any probe.
  const auto t = rec->Transfers();
  auto poke = std::find_if(t.begin(), t.end(), [](const RecordedTransfer& x) {
    return x.setup.bmRequestType == 0x40 && x.setup.bRequest == 0x24 && x.setup.wIndex == 0xC3BA;
  });
  ASSERT_NE(poke, t.end());
  EXPECT_EQ(poke->data, Bytes{0x00});
  auto probe = std::find_if(t.begin(), t.end(), [](const RecordedTransfer& x) { return x.setup.bRequest == 0x07; });
  EXPECT_LT(poke - t.begin(), probe - t.begin());

  rec->Clear();
  EXPECT_EQ(OpenDeviceByIndex(0), h);
  EXPECT_TRUE(rec->Opens().empty());
  EXPECT_EQ(rec->TransferCount(), 0u);

  EXPECT_TRUE(CloseCurrentDevice());
  EXPECT_EQ(CurrentDevice(), nullptr);
  EXPECT_EQ(BoundDeviceCount(), 0u);
  EXPECT_TRUE(CloseCurrentDevice());
}

TEST_F(DeviceTest, TransportChoicePerAccessFunction) {
  Add();
  const DevInst h = OpenDeviceByIndex(0);
  ASSERT_NE(h, 0u);
  Bytes two(2);
  struct Case {
    const char* name;
    std::function<bool()> call;
    bool viaExtUnit;
  };
  std::uint32_t size = 8;
  const std::vector<Case> cases = {
      {"memory read", [&] { return KesReadMem(h, 0, 0xFE21, two); }, false},
      {"memory read, route flag", [&] { return KesReadMem(h, kCmdFlagRoute, 0xFE21, two); }, true},
      {"status pages", [&] { Bytes s(104); return KesGetDevStatus(h, 0, s); }, false},
      {"status pages, route flag", [&] { Bytes s(104); return KesGetDevStatus(h, kCmdFlagRoute, s); }, true},
      {"status pages from a page", [&] { Bytes s(32); return KesGetDevStatusFrom(h, 0, 128, s); }, false},
      {"OTP read", [&] { Bytes b(16); return KesOtpRead(h, 0, 0, b); }, true},
      {"OTP fail record", [&] { Bytes b(19); return KesOtpPrgmFailAddr(h, 0, b); }, true},
      {"EEPROM-16 read", [&] { return KesEep16Read(h, 0, 0, two); }, true},
      {"data control size", [&] { return KesChangeDataControlSize(h, 0, size); }, true},
      {"block erase ignores the route flag", [&] { return KesSpiEraseBlock(h, kCmdFlagRoute, 0, false); }, false},
      {"check-state query", [&] { std::uint8_t b; return KesReadByte06(h, kCmdFlagRoute, b); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec->Clear();
    size = 64;
    c.call();  // the outcome is the chip's (this one has no OTP or EEPROM); the route is ours
    const auto t = rec->Transfers();
    ASSERT_FALSE(t.empty());
    const bool ext = (t[0].setup.bmRequestType & 0x7F) == 0x21;
    EXPECT_EQ(ext, c.viaExtUnit);
  }
}

TEST_F(DeviceTest, AccessFunctionsFailCleanlyWithoutDeviceOrTransport) {
  Bytes two(2);
  EXPECT_FALSE(KesReadMem(1, 0, 0, two));
  EXPECT_FALSE(KesSignalRemoval(0));
  std::uint16_t vid, pid, rev;
  EXPECT_FALSE(GetDeviceIds(vid, pid, rev));
  DevInst out = 99;
  EXPECT_FALSE(KesResetToRomWait(0, 1000, out));
  EXPECT_EQ(out, 0u);

  Add();
  const DevInst h = OpenDeviceByIndex(0);
  ASSERT_NE(h, 0u);
  rec->Clear();
  EXPECT_FALSE(KesReadMem(h + 1000, 0, 0, two));  // not the current device's handle
  Bytes small(10);
  EXPECT_FALSE(KesGetDevStatus(h, 0, small));  // the status area needs 104 bytes
  EXPECT_EQ(rec->TransferCount(), 0u);
  EXPECT_TRUE(KesReadMem(h, 0, 0xFE21, two));
  EXPECT_EQ(two, (Bytes{0x10, 0xB0}));
}

TEST_F(DeviceTest, IdentityOfTheCurrentDevice) {
  sim::DeviceOptions o = OnPort(4);
  o.manufacturer = "Kestrel Audio";
  o.serial = "SN-42";
  Add(o);
  std::string manufacturer = "unchanged";
  ASSERT_TRUE(GetManufacturerString(manufacturer));  // no device open: opened and closed again
  EXPECT_EQ(manufacturer, "Kestrel Audio");
  EXPECT_EQ(CurrentDevice(), nullptr);

  const DevInst h = OpenDeviceByIndex(0);
  ASSERT_NE(h, 0u);
  std::string again = "unchanged";
  EXPECT_FALSE(GetManufacturerString(again));
  EXPECT_EQ(again, "unchanged");
  std::uint16_t vid = 0, pid = 0, rev = 0;
  std::string m, serial, name;
  ASSERT_TRUE(GetDeviceIdsAndManufacturer(vid, pid, rev, m));
  EXPECT_EQ(vid, 0x0B05);
  EXPECT_EQ(pid, 0x1996);
  EXPECT_EQ(rev, 0x0100);
  EXPECT_EQ(m, "Kestrel Audio");
  ASSERT_TRUE(GetSerialNumberString(serial));
  EXPECT_EQ(serial, "SN-42");
  EXPECT_TRUE(GetDeviceName(name));
  EXPECT_EQ(GetDevicePath(), "USB\\VID_0B05&PID_1996\\1-4");
  std::uint32_t port = 0;
  DevInst hub = 0;
  ASSERT_TRUE(GetBusAddressAndParentHub(h, port, hub));
  EXPECT_EQ(port, 4u);
  EXPECT_EQ(DevInstId(hub), "USB\\ROOT_HUB30\\1");
}

TEST_F(DeviceTest, ResetToUpdateFirmwareAndBack) {
  const int n = Add();
  DevInst h = OpenDeviceByIndex(0);
  ASSERT_NE(h, 0u);
  rec->Clear();
  const std::uint64_t t0 = clock->NowMs();
  DevInst out = 0;
  ASSERT_TRUE(KesResetToUpdateFW(6, kCmdFlagDownload, 5000, out));
  EXPECT_EQ(out, h);
  EXPECT_EQ(Info(n).resets[0], 1u);
  // Probe, chip identity, 0xFF92, then the reset as a vendor request with the mode.
  const auto t = rec->Transfers();
  auto at = [&](std::uint8_t type, std::uint8_t req, std::uint16_t index) {
    return std::find_if(t.begin(), t.end(), [&](const RecordedTransfer& x) {
             return x.setup.bmRequestType == type && x.setup.bRequest == req && x.setup.wIndex == index;
           }) - t.begin();
  };
  const auto id = at(0xC0, 0x25, 0xFE21);
  const auto prep = at(0x40, 0x24, 0xFF92);
  const auto reset = at(0x40, 0x20, 0);
  ASSERT_LT(reset, static_cast<long>(t.size()));
  EXPECT_LT(id, prep);
  EXPECT_LT(prep, reset);
  EXPECT_EQ(t[prep].data, Bytes{0x01});
  EXPECT_EQ(t[reset].setup.wValue, 6);
  // The wait time, then the device back after its delay.
  EXPECT_GE(clock->NowMs() - t0, 5000u);
  EXPECT_LT(clock->NowMs() - t0, 5000u + 15000u);
  EXPECT_FALSE(Info(n).runningCode);

  // The rebuilt transports work.
  Bytes two(2);
  EXPECT_TRUE(KesReadMem(out, 0, 0xFE21, two));
  EXPECT_EQ(two, (Bytes{0x10, 0xB0}));
  ASSERT_TRUE(KesResetToRomWait(kCmdFlagKnownCaps, 5000, out));
  EXPECT_EQ(Info(n).resets[2], 1u);
}

TEST_F(DeviceTest, ResetPathsAndModes) {
  struct Case {
    const char* name;
    std::function<bool(DevInst&)> reset;
    std::uint8_t type, request;  // the reset on the wire
    std::uint16_t value;
    bool block;  // extension-unit reset block instead of a request
  };
  const std::vector<Case> cases = {
      {"type 9 through vendor requests", [](DevInst& o) { return KesResetToRomWait(0, 100, o); }, 0x40, 0x22, 0, false},
      {"type 10", [](DevInst& o) { return KesResetToRomByVendor(0, 100, o); }, 0x40, 0x22, 0, false},
      {"type 7 forced onto the extension unit swaps mode 0", [](DevInst& o) { return KesResetToUpdateFW(0, kCmdFlagRoute, 100, o); },
       0x21, 0x01, 1, true},
      {"type 7 forced, mode 2 kept", [](DevInst& o) { return KesResetToUpdateFW(2, kCmdFlagRoute, 100, o); }, 0x21, 0x01, 2, true},
  };
  Add();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(OpenDeviceByIndex(0), 0u);
    rec->Clear();
    DevInst out = 0;
    ASSERT_TRUE(c.reset(out));
    const auto t = rec->Transfers();
    bool seen = false;
    for (const auto& x : t) {
      if (c.block) {
        if (x.setup.bmRequestType == 0x21 && x.setup.wValue == 0x0A00 && x.data.size() == 8 && x.data[1] == 7) {
          EXPECT_EQ(x.data[0], 0);
          EXPECT_EQ(ReadLE16(x.data, 2), c.value);
          seen = true;
        }
      } else if (x.setup.bmRequestType == c.type && x.setup.bRequest == c.request) {
        EXPECT_EQ(x.setup.wValue, c.value);
        seen = true;
      }
    }
    EXPECT_TRUE(seen);
    CloseCurrentDevice();
  }
}

TEST_F(DeviceTest, ModeTwoSkipsTheWait) {
  Add();
  ASSERT_NE(OpenDeviceByIndex(0), 0u);
  const std::uint64_t t0 = clock->NowMs();
  DevInst out = 0;
  ASSERT_TRUE(KesResetToUpdateFW(2, 0, 20000, out));
  // Back after its 1500 ms away, without the 20000 ms wait.
  EXPECT_LT(clock->NowMs() - t0, 5000u);
  EXPECT_NE(out, 0u);
}

TEST_F(DeviceTest, DeviceThatNeverComesBackEndsAtTheLimit) {
  sim::DeviceOptions gone = OnPort(3);
  gone.resetDelayMs = 10'000'000;
  Add(gone);
  ASSERT_NE(OpenDeviceByIndex(0), 0u);
  const std::uint64_t t0 = clock->NowMs();
  DevInst out = 7;
  EXPECT_FALSE(KesResetToUpdateFW(6, 0, 1000, out));
  const std::uint64_t spent = clock->NowMs() - t0;
  EXPECT_GE(spent, 1000u + 15000u);
  EXPECT_LT(spent, 1000u + 15000u + 2000u);
  EXPECT_EQ(out, 0u);  // no candidate to fall back on
  EXPECT_EQ(CurrentDevice(), nullptr);

  // With another device present, the caller holds that one afterwards.
  sim::DeviceOptions other = OnPort(1);
  other.pid = 0x1A52;
  Add(other);
  sim::DeviceOptions gone2 = OnPort(7);
  gone2.resetDelayMs = 10'000'000;
  gone2.pid = 0x1A97;
  Add(gone2);
  std::vector<CandidateEntry> list;
  ASSERT_EQ(EnumerateAudioDevices(list), 0u);
  ASSERT_EQ(list.size(), 2u);
  ASSERT_NE(OpenDeviceByIndex(1), 0u);
  EXPECT_EQ(GetDevicePath(), "USB\\VID_0B05&PID_1A97\\1-7");
  EXPECT_FALSE(KesResetToRomWait(0, 1000, out));
  EXPECT_EQ(DevInstId(out), "USB\\VID_0B05&PID_1A52\\1-1");
  EXPECT_EQ(CurrentDeviceInstance(), out);
}

// A clock that stands for the dialog: when the reset starts waiting for the device to leave,
// the device-removal handling signals the event.
class RemovalOnWait final : public IClock {
 public:
  explicit RemovalOnWait(std::shared_ptr<VirtualClock> inner) : m_inner(std::move(inner)) {}
  std::uint64_t NowMs() override { return m_inner->NowMs(); }
  void Sleep(std::uint32_t ms) override { m_inner->Sleep(ms); }
  bool WaitForEvent(CEvent& event, std::uint32_t timeoutMs) override {
    waited = &event;
    waitedMs = timeoutMs;
    KesSignalRemoval(CurrentDeviceInstance());
    return m_inner->WaitForEvent(event, timeoutMs);
  }
  bool IsVirtual() const override { return true; }
  CEvent* waited = nullptr;
  std::uint32_t waitedMs = 0;

 private:
  std::shared_ptr<VirtualClock> m_inner;
};

TEST_F(DeviceTest, RemovalEventEndsTheWait) {
  Add();
  ASSERT_NE(OpenDeviceByIndex(0), 0u);
  auto* dev = static_cast<CKesCam*>(CurrentDevice());
  ASSERT_NE(dev, nullptr);
  auto spy = std::make_shared<RemovalOnWait>(clock);
  ScopedClock scopedSpy(spy);
  const std::uint64_t t0 = clock->NowMs();
  DevInst out = 0;
  EXPECT_TRUE(KesResetToUpdateFW(6, 0, 600000, out));
  EXPECT_EQ(spy->waited, &dev->RemovalEvent());
  EXPECT_EQ(spy->waitedMs, 600000u);
  EXPECT_LT(clock->NowMs() - t0, 20000u);
}

}  // namespace
}  // namespace drover
