// The bus as a USB backend: candidate order, the device tree, descriptors and strings,
// composite layouts, hot-plug reports, transfer faults, and a second bus object.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "sim/usb_identity.h"
#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class BusTest : public SimTest {};

TEST_F(BusTest, CandidatesComeInBusThenPortOrderAndPortsDoNotClash) {
  auto at = [](std::uint8_t bus, std::vector<std::uint8_t> ports, std::uint16_t pid) {
    DeviceOptions o;
    o.bus = bus;
    o.ports = std::move(ports);
    o.pid = pid;
    return o;
  };
  Add(at(2, {1}, 0x0004));
  Add(at(1, {12}, 0x0003));
  Add(at(1, {1, 2}, 0x0002));
  Add(at(1, {1, 1}, 0x0001));
  std::string error;
  EXPECT_LT(m_bus->AddDevice(at(1, {1}, 0x0005), &error), 0);  // port 1 carries a hub
  EXPECT_NE(error.find("in use"), std::string::npos);
  EXPECT_LT(m_bus->AddDevice(at(1, {12}, 0x0005), &error), 0);
  DeviceOptions bad;
  bad.ic = "VQ7999";
  EXPECT_LT(m_bus->AddDevice(bad, &error), 0);
  EXPECT_EQ(Add(), 4);  // the first free root port of bus 1
  EXPECT_EQ(Info(4).locationPath, "USBROOT(1)#USB(2)");

  std::vector<usb::UsbFunction> f;
  ASSERT_EQ(m_bus->EnumerateFunctions(f), usb::kErrSuccess);
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0].deviceInstance, "USB\\VID_0B05&PID_0001\\1-1.1");
  EXPECT_EQ(f[1].deviceInstance, "USB\\VID_0B05&PID_0002\\1-1.2");
  EXPECT_EQ(f[2].locationPath, "USBROOT(1)#USB(2)");
  EXPECT_EQ(f[3].locationPath, "USBROOT(1)#USB(12)");
  EXPECT_EQ(f[4].locationPath, "USBROOT(2)#USB(1)");
  EXPECT_EQ(f[3].locationPath.find("USBROOT(1)#USB(1)"), std::string::npos);
}

TEST_F(BusTest, DeviceTreeLeadsFromTheFunctionToTheRootHub) {
  DeviceOptions o;
  o.ports = {4, 2};
  o.composite = Composite::AudioFirst;
  o.friendlyName = "Speaker";
  Add(o);
  DeviceOptions full;
  full.speed = Speed::Full;
  full.ports = {1};
  Add(full);
  std::vector<usb::UsbFunction> f;
  ASSERT_EQ(m_bus->EnumerateFunctions(f), usb::kErrSuccess);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[1].instanceId, "USB\\VID_0B05&PID_1996&MI_02\\1-4.2:1.2");
  EXPECT_EQ(f[1].friendlyName, "Speaker");

  std::vector<std::string> chain;
  std::string id = f[1].instanceId;
  while (!id.empty() && chain.size() < 8) {
    usb::UsbNode node;
    ASSERT_EQ(m_bus->GetNode(id, node), usb::kErrSuccess) << id;
    chain.push_back(node.className + " " + node.instanceId + " @" + std::to_string(node.busAddress));
    id = node.parentInstance;
  }
  EXPECT_EQ(chain, (std::vector<std::string>{"MEDIA USB\\VID_0B05&PID_1996&MI_02\\1-4.2:1.2 @2",
                                              "USB USB\\VID_0B05&PID_1996\\1-4.2 @2",
                                              "USB USB\\VID_05E3&PID_0610\\1-4 @4", "USB USB\\ROOT_HUB30\\1 @0"}));
  usb::UsbNode node;
  ASSERT_EQ(m_bus->GetNode("usb\\vid_0b05&pid_1996\\1-1", node), usb::kErrSuccess);  // case does not matter
  EXPECT_EQ(node.className, "MEDIA");
  EXPECT_EQ(node.parentInstance, "USB\\ROOT_HUB20\\1");
  EXPECT_EQ(node.hardwareIds[0], "USB\\VID_0B05&PID_1996&REV_0100");
  EXPECT_EQ(m_bus->GetNode("USB\\VID_0B05&PID_1996\\1-9", node), usb::kErrNotFound);
}

TEST_F(BusTest, DescriptorsAndStringsDescribeTheDevice) {
  DeviceOptions o;
  o.manufacturer = "Acme Äudio";
  o.serial = "SN42";
  o.vid = 0x0BDA;
  o.pid = 0x4C15;
  o.rev = 0x0210;
  o.unitId = 7;
  const int n = Add(o);
  OpenDevice(n);
  std::vector<std::uint8_t> dev(18);
  std::uint32_t done = 0;
  ASSERT_EQ(Raw(0x80, 0x06, 0x0100, 0, dev, true, &done), 0u);
  EXPECT_EQ(done, 18u);
  EXPECT_EQ(ReadLE16(dev, 8), 0x0BDA);
  EXPECT_EQ(ReadLE16(dev, 10), 0x4C15);
  EXPECT_EQ(ReadLE16(dev, 12), 0x0210);
  std::vector<std::uint8_t> cachedDev, cachedConfig;
  ASSERT_TRUE(m_dev->CachedDescriptors(cachedDev, cachedConfig));
  EXPECT_EQ(cachedDev, dev);
  // The first interface is the audio control interface; its extension unit follows it.
  std::vector<std::uint8_t> head(9);
  ASSERT_EQ(Raw(0x80, 0x06, 0x0200, 0, head, true), 0u);
  std::vector<std::uint8_t> config(ReadLE16(head, 2));
  ASSERT_EQ(Raw(0x80, 0x06, 0x0200, 0, config, true), 0u);
  EXPECT_EQ(config, cachedConfig);
  bool found = false;
  for (std::size_t at = 0; at + 5 < config.size(); at += config[at])
    if (config[at + 1] == 0x24 && config[at + 2] == 0x08) {
      found = true;
      EXPECT_EQ(config[at + 3], 7);
      EXPECT_EQ(ReadLE16(config, at + 4), 0x0BDA);
    }
  EXPECT_TRUE(found);

  auto text = [&](std::uint8_t index) {
    std::vector<std::uint8_t> s(256);
    std::uint32_t got = 0;
    EXPECT_EQ(Raw(0x80, 0x06, static_cast<std::uint16_t>(0x0300 | index), 0x0409, s, true, &got), 0u);
    std::u16string out;
    for (std::size_t i = 2; i + 1 < s[0] && i + 1 < got; i += 2)
      out.push_back(static_cast<char16_t>(s[i] | (s[i + 1] << 8)));
    return out;
  };
  EXPECT_EQ(text(dev[14]), u"Acme Äudio");
  EXPECT_EQ(text(dev[16]), u"SN42");
  std::vector<std::uint8_t> none(4);
  EXPECT_EQ(Raw(0x80, 0x06, 0x0309, 0x0409, none, true), usb::kErrGenFailure);
}

// Composite devices: the audio function at interface 2, first or after another function.
TEST_F(BusTest, CompositeLayoutsPutTheAudioFunctionAtInterfaceTwo) {
  for (Composite layout : {Composite::AudioFirst, Composite::OtherFirst}) {
    SCOPED_TRACE(CompositeName(layout));
    DeviceOptions o;
    o.composite = layout;
    const int n = Add(o);
    OpenDevice(n);
    const auto config = BuildConfigDescriptor(o);
    std::size_t at = 0;
    while (at + 1 < config.size() && config[at + 1] != 0x04) at += config[at];
    ASSERT_LT(at + 5, config.size());
    EXPECT_EQ(config[at + 2], layout == Composite::AudioFirst ? 2 : 0);  // first interface number
    EXPECT_EQ(config[at + 5], layout == Composite::AudioFirst ? 0x01 : 0x03);
    // Class requests address interface 2.
    EXPECT_EQ(SetCmd(0x00, 0xD0, 0, 8), 0u);
    m_iface = 0;
    EXPECT_EQ(SetCmd(0x00, 0xD0, 0, 8), usb::kErrGenFailure);
  }
  DeviceOptions uac2;
  uac2.uac2 = true;
  const auto config = BuildConfigDescriptor(uac2);
  bool subtype9 = false;
  for (std::size_t at = 0; at + 2 < config.size(); at += config[at])
    subtype9 |= config[at + 1] == 0x24 && config[at + 2] == 0x09;
  EXPECT_TRUE(subtype9);
}

TEST_F(BusTest, HotplugReportsUnplugPlugAndResets) {
  const int n = Add();
  std::vector<std::pair<std::string, usb::HotplugEvent>> seen;
  std::mutex lock;
  const int handle = m_bus->Subscribe([&](const std::string& id, usb::HotplugEvent e) {
    std::lock_guard<std::mutex> g(lock);
    seen.emplace_back(id, e);
  });
  const std::string id = Info(n).deviceInstance;
  ASSERT_TRUE(m_bus->Unplug(n));
  ASSERT_TRUE(m_bus->Plug(n));
  OpenDevice(n);
  ASSERT_EQ(VendorOut(0x22, 0, 0), 0u);
  m_clock->Advance(1500);
  m_bus->Poll();
  {
    std::lock_guard<std::mutex> g(lock);
    using E = usb::HotplugEvent;
    const std::vector<std::pair<std::string, E>> want{{id, E::Left}, {id, E::Arrived}, {id, E::Left}, {id, E::Arrived}};
    std::vector<std::pair<std::string, E>> first(seen.begin(), seen.begin() + std::min<std::size_t>(4, seen.size()));
    EXPECT_EQ(first, want);
  }
  // A change made by another bus object reaches this one without a poll.
  CEvent left;
  const int second = m_bus->Subscribe([&](const std::string&, usb::HotplugEvent e) {
    if (e == usb::HotplugEvent::Left) left.Set();
  });
  auto other = SimBus::Open(m_bus->Directory(), false);
  ASSERT_TRUE(other);
  ASSERT_TRUE(other->Unplug(n));
  EXPECT_TRUE(left.WaitReal(5000));
  // So does a device added there.
  {
    std::lock_guard<std::mutex> g(lock);
    seen.clear();
  }
  DeviceOptions o;
  o.pid = 0x2000;
  ASSERT_GE(other->AddDevice(o), 0);
  m_bus->Poll();
  {
    std::lock_guard<std::mutex> g(lock);
    const auto arrived = std::count(seen.begin(), seen.end(),
                                    std::make_pair(std::string("USB\\VID_0B05&PID_2000\\1-2"),
                                                   usb::HotplugEvent::Arrived));
    EXPECT_EQ(arrived, 1);
  }
  m_bus->Unsubscribe(second);
  m_bus->Unsubscribe(handle);
}

TEST_F(BusTest, TransferFaultsStallTimeOutAndLeaveTheBus) {
  const int n = Add();
  OpenDevice(n);
  Faults f;
  FaultRule stall;
  stall.target = FaultTarget::Vendor;
  stall.code = 0x25;
  stall.skip = 1;
  stall.times = 1;
  f.stall.push_back(stall);
  FaultRule timeout;
  timeout.target = FaultTarget::Data;
  timeout.code = 0xC2;
  f.timeout.push_back(timeout);
  ASSERT_TRUE(m_bus->SetFaults(n, f));
  std::vector<std::uint8_t> b;
  EXPECT_EQ(VendorIn(0x25, 0, 0xFE21, b, 2), 0u);
  EXPECT_EQ(VendorIn(0x25, 0, 0xFE21, b, 2), usb::kErrGenFailure);
  EXPECT_EQ(VendorIn(0x25, 0, 0xFE21, b, 2), 0u);
  const std::uint64_t before = m_clock->NowMs();
  EXPECT_EQ(SetCmd(0x00, 0xC2, 0xFE21, 2), 0u);
  std::vector<std::uint8_t> chunk(8);
  EXPECT_EQ(GetChunk(chunk), usb::kErrTimeout);
  EXPECT_EQ(m_clock->NowMs() - before, 5000u);  // the transfer's own time-out passed

  f = {};
  f.leaveAfter = 2;
  ASSERT_TRUE(m_bus->SetFaults(n, f));
  EXPECT_EQ(VendorIn(0x06, 0, 0, b, 1), 0u);
  EXPECT_EQ(VendorIn(0x06, 0, 0, b, 1), 0u);
  EXPECT_EQ(VendorIn(0x06, 0, 0, b, 1), usb::kErrDeviceNotConnected);
  const DeviceInfo info = Info(n);
  EXPECT_FALSE(info.present);
  EXPECT_FALSE(info.plugged);
  std::unique_ptr<usb::IUsbDevice> dev;
  EXPECT_EQ(m_bus->Open(info.deviceInstance, dev), usb::kErrNotFound);
}

TEST_F(BusTest, MemoriesAndStateAreSharedBetweenBusObjects) {
  const int n = Add();
  OpenDevice(n);
  ASSERT_EQ(WriteReg(0xFEC6, 0x01), 0u);
  auto other = SimBus::Open(m_bus->Directory(), false);
  ASSERT_TRUE(other);
  DeviceInfo info;
  ASSERT_TRUE(other->GetInfo(n, info));
  EXPECT_TRUE(info.flashWpReleased);
  EXPECT_EQ(info.transfers, 1u);
  const std::vector<std::uint8_t> data{1, 2, 3};
  ASSERT_TRUE(other->WriteMemory(n, Memory::Flash, 0x100, data));
  std::vector<std::uint8_t> b;
  ASSERT_EQ(VendorIn(0x2E, 0, 0x100, b, 3), 0u);
  EXPECT_EQ(b, data);
  EXPECT_FALSE(SimBus::Open(m_dir.Path() + "/missing", false));
}

}  // namespace
}  // namespace drover::sim::testing
