#include <gtest/gtest.h>

#include "fake_usb.h"
#include "transport/enumeration.h"

namespace drover {
namespace {

TEST(FindExtensionUnit, WalksOnlyTheFirstInterfaceAndStaysInBounds) {
  auto cfg = [](std::uint8_t unit, std::uint16_t code, std::uint8_t subtype) {
    return test::AudioConfig(unit, code, subtype);
  };
  // Another function first: the extension unit belongs to the second interface.
  std::vector<std::uint8_t> otherFirst = {9, 2, 0, 0, 2, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 3, 0, 0, 0,
                                          9, 0x21, 0x11, 1, 0, 1, 0x22, 0x20, 0};
  const auto audio = test::AudioConfig(7);
  otherFirst.insert(otherFirst.end(), audio.begin() + 9, audio.end());
  WriteLE16(otherFirst, 2, static_cast<std::uint16_t>(otherFirst.size()));

  auto zero = cfg(6, 0x0BDA, 8);
  zero[18] = 0;  // the AC header claims length 0
  auto past = cfg(6, 0x0BDA, 8);
  past[18] = 250;
  auto oneByteTail = cfg(6, 0x0BDA, 8);
  oneByteTail.resize(36);  // the extension unit is cut off by the buffer
  WriteLE16(oneByteTail, 2, 200);
  auto totalShort = cfg(6, 0x0BDA, 8);
  WriteLE16(totalShort, 2, 40);  // wTotalLength ends inside the extension unit
  auto shortUnit = cfg(6, 0x0BDA, 8);
  shortUnit[39] = 5;  // an extension unit too short to carry its code: not ours
  shortUnit.erase(shortUnit.begin() + 44, shortUnit.begin() + 52);
  WriteLE16(shortUnit, 2, static_cast<std::uint16_t>(shortUnit.size()));

  struct Case {
    const char* name;
    std::vector<std::uint8_t> config;
    int expect;
    bool anyUnit;
  };
  const std::vector<Case> cases = {
      {"audio 1.0 unit", cfg(6, 0x0BDA, 8), 6, true},
      {"audio 2.0 unit", cfg(0x21, 0x0BDA, 9), 0x21, true},
      {"foreign extension code", cfg(6, 0x0B05, 8), -1, false},
      {"other subtype", cfg(6, 0x0BDA, 7), -1, false},
      {"another function first", otherFirst, -1, true},
      {"length 0", zero, -1, false},
      {"past the end", past, -1, false},
      {"cut by the buffer", oneByteTail, -1, false},
      {"cut by wTotalLength", totalShort, -1, false},
      {"unit without code", shortUnit, -1, false},
      {"empty", {}, -1, false},
      {"single byte", {9}, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindExtensionUnit(c.config), c.expect);
    EXPECT_EQ(ConfigHasOurExtensionUnit(c.config), c.anyUnit);
  }
}

TEST(IdentityRules, InterfaceNumberRootHubsAndLocationPaths) {
  EXPECT_EQ(InterfaceNumberFromId("USB\\VID_0B05&PID_1996&MI_02\\1-2:1.2"), 2);
  EXPECT_EQ(InterfaceNumberFromId("USB\\VID_0B05&PID_1996&MI_10\\1-2:1.16"), 0x10);
  EXPECT_EQ(InterfaceNumberFromId("USB\\VID_0B05&PID_1996\\1-2"), 0);
  EXPECT_EQ(InterfaceNumberFromId("USB\\VID_0B05&PID_1996&MI_0A\\1-2:1.10"), 10);
  EXPECT_EQ(InterfaceNumberFromId("X&MI_"), 0);

  struct Hub {
    const char* id;
    std::uint32_t cls;
    bool root;
  };
  const Hub hubs[] = {
      {"USB\\ROOT_HUB30\\1", 3, true},          {"USB\\ASMEDIAUSBD_HUB\\2", 3, true},
      {"USB\\VIA_ROOT_HUB\\1", 3, true},        {"USB\\ROOT_HUB20\\4", 2, true},
      {"IWSEPAL\\VRHUB\\1", 2, true},           {"USB\\ROOT_HUB\\1", 1, true},
      {"VMUSB\\HUB\\1", 1, true},               {"USB\\VID_05E3&PID_0610\\1-3", 1, false},
      {"usb\\root_hub30\\1", 3, true},
  };
  for (const Hub& h : hubs) {
    SCOPED_TRACE(h.id);
    EXPECT_EQ(RootHubClass(h.id), h.cls);
    EXPECT_EQ(IsRootHub(h.id), h.root);
  }

  EXPECT_TRUE(LocationPathContains("USBROOT(1)#USB(1)", "USBROOT(1)#USB(1)"));
  EXPECT_TRUE(LocationPathContains("PCIROOT(0)#USBROOT(1)#USB(2)#USBMI(0)", "usbroot(1)#usb(2)"));
  EXPECT_FALSE(LocationPathContains("USBROOT(1)#USB(12)", "USBROOT(1)#USB(1)"));
  EXPECT_FALSE(LocationPathContains("1-12", "1-1"));
  EXPECT_FALSE(LocationPathContains("USBROOT(1)#USB(1)", ""));

  const DevInst a = DevInstFromId("USB\\VID_0BDA&PID_4C15\\1-1");
  EXPECT_NE(a, 0u);
  EXPECT_EQ(DevInstFromId("usb\\vid_0bda&pid_4c15\\1-1"), a);
  EXPECT_NE(DevInstFromId("USB\\VID_0BDA&PID_4C15\\1-12"), a);
  EXPECT_EQ(DevInstId(a), "USB\\VID_0BDA&PID_4C15\\1-1");
  EXPECT_EQ(DevInstId(0), "");
  EXPECT_EQ(DevInstFromId(""), 0u);
}

}  // namespace
}  // namespace drover
