#include "transport/enumeration.h"

#include <gtest/gtest.h>

#include "fake_fixture.h"
#include "sim_fixture.h"

namespace drover {
namespace {

using test::SimTransportTest;

class EnumerationTest : public SimTransportTest {};

TEST_F(EnumerationTest, NoDeviceIsNoCandidate) {
  std::vector<CandidateEntry> list;
  EXPECT_EQ(EnumerateAudioDevices(list), usb::kErrNoMoreItems);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(GetDeviceCount(), 0);
  EXPECT_EQ(OpenDeviceByIndex(0), 0u);
  EXPECT_EQ(CurrentDevice(), nullptr);
}

TEST_F(EnumerationTest, PortOneAndPortTwelveStayApart) {
  Add(OnPort(12));
  Add(OnPort(1));
  sim::DeviceOptions broken = OnPort(5);
  broken.problem = true;
  Add(broken);
  std::vector<CandidateEntry> list;
  ASSERT_EQ(EnumerateAudioDevices(list), 0u);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].deviceInstance, "USB\\VID_0B05&PID_1996\\1-1");
  EXPECT_EQ(list[0].locationPath, "USBROOT(1)#USB(1)");
  EXPECT_EQ(list[1].deviceInstance, "USB\\VID_0B05&PID_1996\\1-12");
  EXPECT_EQ(list[1].locationPath, "USBROOT(1)#USB(12)");
  EXPECT_EQ(list[0].name, "Usb Video Device #1");
  EXPECT_EQ(list[1].name, "Usb Video Device #3");  // the problem device on port 5 holds position 2
  EXPECT_EQ(list[0].deviceId, list[0].functionInstance);

  const std::uint32_t ports[] = {1, 12};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    DeviceRecord r;
    ASSERT_EQ(OpenDeviceRecord(list[i].functionInstance, r), 0u);
    EXPECT_TRUE(r.IsValid());
    EXPECT_EQ(r.dwBusAddress, ports[i]);
    EXPECT_EQ(r.strDeviceInstance, list[i].deviceInstance);
    EXPECT_EQ(r.dwRootHubClass, 3u);
    ASSERT_EQ(r.ancestors.size(), 1u);
    EXPECT_EQ(r.ancestors[0], "USB\\ROOT_HUB30\\1");
  }
  EXPECT_EQ(GetDeviceCount(), 2);
}

TEST_F(EnumerationTest, CompositeFunctionOpensItsParentOnItsInterface) {
  sim::DeviceOptions o = OnPort(2);
  o.composite = sim::Composite::AudioFirst;
  o.ports = {2, 3};  // behind an external hub
  o.friendlyName = "Desk Speaker";
  Add(o);
  std::vector<CandidateEntry> list;
  ASSERT_EQ(EnumerateAudioDevices(list), 0u);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_NE(list[0].functionInstance.find("&MI_02"), std::string::npos);
  EXPECT_EQ(list[0].deviceId, "USB\\VID_0B05&PID_1996");
  EXPECT_EQ(list[0].deviceInstance, "USB\\VID_0B05&PID_1996\\1-2.3");
  EXPECT_EQ(list[0].name, "Desk Speaker");

  DeviceRecord r;
  ASSERT_EQ(OpenDeviceRecord(list[0].functionInstance, r), 0u);
  EXPECT_EQ(r.byInterfaceNumber, 2);
  EXPECT_EQ(r.strDeviceInstance, "USB\\VID_0B05&PID_1996\\1-2.3");
  ASSERT_EQ(r.ancestors.size(), 2u);
  EXPECT_EQ(r.ancestors[1], "USB\\ROOT_HUB30\\1");
  ASSERT_TRUE(QueryCapabilities(r, false));
  EXPECT_TRUE(r.pCapabilities->bAccepted);

  // Class requests go to interface 2.
  rec->Clear();
  CExtUnit unit(r, r.pCapabilities->byExtensionUnitId);
  EXPECT_TRUE(unit.DevQualify());
  ASSERT_FALSE(rec->Transfers().empty());
  EXPECT_EQ(rec->Transfers()[0].setup.wIndex & 0xFF, 2);

  std::uint32_t port = 0;
  std::string hub;
  ASSERT_EQ(GetBusAddressAndHub(list[0].functionInstance, port, hub), 0u);
  EXPECT_EQ(port, 3u);
  EXPECT_NE(hub.find("1-2"), std::string::npos);
  EXPECT_EQ(hub, r.ancestors[0]);
}

TEST_F(EnumerationTest, CapabilitiesOfAGoodDevice) {
  Add();
  std::vector<CandidateEntry> list;
  ASSERT_EQ(EnumerateAudioDevices(list), 0u);
  DeviceRecord r;
  ASSERT_EQ(OpenDeviceRecord(list[0].functionInstance, r), 0u);
  rec->Clear();
  ASSERT_TRUE(QueryCapabilities(r, false));
  const CapabilityRecord& c = *r.pCapabilities;
  EXPECT_TRUE(c.bHasExtensionUnit);
  EXPECT_EQ(c.byExtensionUnitId, 6);
  EXPECT_TRUE(c.bVendorRequests);
  EXPECT_TRUE(c.bAccepted);
  EXPECT_EQ(c.Vid(), 0x0B05);
  EXPECT_EQ(c.Pid(), 0x1996);
  EXPECT_EQ(c.Rev(), 0x0100);
  EXPECT_EQ(Count(0xC0, 0x07), 12u);
  std::string text;
  ASSERT_EQ(ReadStringDescriptor(r, c.ManufacturerIndex(), text), 0u);
  EXPECT_EQ(text, "Generic");
  ASSERT_EQ(ReadStringDescriptor(r, c.SerialIndex(), text), 0u);
  EXPECT_EQ(text, "000000000001");
  // Kept unless a refresh is asked.
  rec->Clear();
  EXPECT_TRUE(QueryCapabilities(r, false));
  EXPECT_EQ(rec->TransferCount(), 0u);
}

TEST_F(EnumerationTest, DevicesThatAreNotAccepted) {
  struct Case {
    const char* name;
    sim::DeviceOptions options;
    std::uint32_t openResult;
    bool hasUnit;
  };
  sim::DeviceOptions foreign;
  foreign.extensionCode = 0x1234;
  sim::DeviceOptions foreignOurVid = foreign;
  foreignOurVid.vid = 0x0BDA;
  sim::DeviceOptions otherFirst;
  otherFirst.composite = sim::Composite::OtherFirst;
  sim::DeviceOptions extOnly;
  extOnly.form = sim::CommandForm::ExtensionUnit;
  sim::DeviceOptions vendorOnly;
  vendorOnly.form = sim::CommandForm::VendorRequest;
  const std::vector<Case> cases = {
      {"foreign vendor and extension code", foreign, usb::kErrAccessDenied, false},
      {"our vendor id, foreign extension code", foreignOurVid, 0, false},
      {"another function first", otherFirst, 0, false},
      {"extension unit only", extOnly, 0, true},
      {"vendor requests only, so no unit of ours", vendorOnly, usb::kErrAccessDenied, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int n = Add(c.options);
    std::vector<CandidateEntry> list;
    ASSERT_EQ(EnumerateAudioDevices(list), 0u);
    rec->Clear();
    DeviceRecord r;
    EXPECT_EQ(OpenDeviceRecord(list.back().functionInstance, r), c.openResult);
    if (c.openResult != 0) {
      EXPECT_EQ(rec->TransferCount(), 0u);  // refused before any traffic
    } else {
      ASSERT_TRUE(QueryCapabilities(r, false));
      EXPECT_EQ(r.pCapabilities->bHasExtensionUnit, c.hasUnit);
      EXPECT_FALSE(r.pCapabilities->bAccepted);
    }
    r.Release();
    rec->Clear();
    EXPECT_EQ(OpenDeviceByIndex(static_cast<std::uint32_t>(list.size() - 1)), 0u);
    EXPECT_EQ(CurrentDevice(), nullptr);
    // Nothing but the probe reached a refused device: never the 0xC3BA write.
    for (const auto& t : rec->Transfers()) EXPECT_FALSE(t.setup.bRequest == 0x24 && t.setup.wIndex == 0xC3BA && c.openResult);
    bus->Unplug(n);
  }
}

TEST_F(EnumerationTest, RootHubClasses) {
  struct Case {
    const char* root;
    sim::Speed speed;
    std::uint32_t cls;
  };
  const Case cases[] = {
      {"USB\\ASMEDIAUSBD_HUB\\1", sim::Speed::High, 3},
      {"", sim::Speed::Full, 2},
      {"USB\\VMUSB\\HUB\\1", sim::Speed::High, 1},
  };
  std::uint8_t port = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    sim::DeviceOptions o = OnPort(port++);
    o.rootHub = c.root;
    o.speed = c.speed;
    const int n = Add(o);
    DeviceRecord r;
    ASSERT_EQ(OpenDeviceRecord(Info(n).functionInstance, r), 0u);
    EXPECT_EQ(r.dwRootHubClass, c.cls);
    bus->Unplug(n);
  }
}

// The status-page signature is the chip's; a fake device shows another one.
class SignatureTest : public test::FakeDeviceTest {};

TEST_F(SignatureTest, WrongStatusSignatureIsNotAccepted) {
  chip->statusArea[24] = 'X';
  ASSERT_TRUE(QueryCapabilities(record, false));
  EXPECT_TRUE(record.pCapabilities->bHasExtensionUnit);
  EXPECT_FALSE(record.pCapabilities->bVendorRequests);
  EXPECT_FALSE(record.pCapabilities->bAccepted);
  EXPECT_TRUE(record.pCapabilities->bOneByteProbe);
  // The one-byte probe passes 0x40 with the direction in.
  const auto t = rec->Transfers();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back().setup.bmRequestType, 0xC0);
  EXPECT_EQ(t.back().setup.bRequest, 0x06);
  EXPECT_EQ(t.back().wLength, 1);
}

TEST_F(SignatureTest, AnswerWaitIsBounded) {
  // A device that keeps saying "not ready" is given up on, not waited for forever.
  fake->devices[0].notReady = true;
  DeviceRecord r;
  EXPECT_EQ(OpenDeviceRecord(fake->devices[0].functionInstance, r), 0u);
  EXPECT_GE(clock->SleptMs(), 15000u);
  EXPECT_LE(clock->SleptMs(), 15200u);
}

}  // namespace
}  // namespace drover
