// Resets: the device leaves the bus and comes back after its delay on the virtual clock, with a
// new object name at the same location, in update mode or running what its memory boots.
#include <sys/wait.h>
#include <unistd.h>

#include "tests/sim/sim_fixture.h"

namespace drover::sim::testing {
namespace {

class ResetTest : public SimTest {
 protected:
  // Sends a reset and waits on the clock until the device is back.
  void ResetAndReturn(int n, std::uint8_t request, std::uint16_t mode, bool prepare, std::uint16_t index = 0) {
    if (prepare) {
      ASSERT_EQ(WriteReg(0xFF92, 0x01), 0u);
    }
    ASSERT_EQ(VendorOut(request, mode, index), 0u);
    EXPECT_FALSE(Info(n).present);
    Clock().Sleep(1500);
    m_bus->Poll();
    ASSERT_TRUE(Info(n).present);
    OpenDevice(n);
  }
};

const std::array<std::uint8_t, 8> kVersion{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};

TEST_F(ResetTest, DeviceLeavesAndReturnsWithANewObjectName) {
  DeviceOptions o;
  o.image = FlashImage(0xF000, 21, kVersion);
  o.resetDelayMs = 2000;
  o.ports = {2, 3};
  const int n = Add(o);
  OpenDevice(n);
  const DeviceInfo before = Info(n);
  ASSERT_TRUE(before.runningCode);
  EXPECT_EQ(before.bootText, "SPI");

  ASSERT_EQ(SetCmd(0x00, 0x07, 0x0001), 0u);  // into update mode
  std::vector<std::uint8_t> b(1);
  std::uint32_t done = 0;
  EXPECT_EQ(m_dev->ControlTransfer({0xC0, 0x06, 0, 0}, b, true, 5000, done), usb::kErrDeviceNotConnected);
  std::vector<usb::UsbFunction> functions;
  EXPECT_EQ(m_bus->EnumerateFunctions(functions), usb::kErrNoMoreItems);
  usb::UsbNode node;
  EXPECT_EQ(m_bus->GetNode(before.deviceInstance, node), usb::kErrNotFound);

  m_clock->Advance(1999);
  m_bus->Poll();
  EXPECT_FALSE(Info(n).present);
  m_clock->Advance(1);
  ASSERT_EQ(m_bus->EnumerateFunctions(functions), usb::kErrSuccess);
  ASSERT_EQ(functions.size(), 1u);
  EXPECT_EQ(functions[0].locationPath, "USBROOT(1)#USB(2)#USB(3)");
  ASSERT_EQ(m_bus->GetNode(before.deviceInstance, node), usb::kErrSuccess);
  EXPECT_FALSE(node.objectName.empty());
  EXPECT_NE(node.objectName, before.objectName);
  EXPECT_EQ(node.locationPath, before.locationPath);
  // The handle of the old enumeration stays dead.
  EXPECT_EQ(m_dev->ControlTransfer({0xC0, 0x06, 0, 0}, b, true, 5000, done), usb::kErrDeviceNotConnected);

  const DeviceInfo after = Info(n);
  EXPECT_FALSE(after.runningCode);
  EXPECT_EQ(after.bootText, "ROM");
  EXPECT_EQ(after.versionText, "B.BBB.BBBB-BBBB.BBBB");
  EXPECT_EQ(after.resets[0], 1u);
  EXPECT_EQ(after.statusRegister, 0x8C);  // the status register is not volatile
}

// A restart boots the code its memory holds, else the ROM; prepared by the host's 0x01 at
// 0xFF92 it counts as type 9, without it as the vendor-path restart 10.
TEST_F(ResetTest, RestartBootsStoredCodeAndCountsItsPath) {
  const int n = Add();
  OpenDevice(n);
  ResetAndReturn(n, 0x22, 0, true);
  EXPECT_FALSE(Info(n).runningCode);
  ASSERT_TRUE(m_bus->WriteMemory(n, Memory::Flash, 0, FlashImage(0xF000, 21, kVersion)));
  ResetAndReturn(n, 0x22, 0, false);
  DeviceInfo info = Info(n);
  EXPECT_TRUE(info.runningCode);
  EXPECT_EQ(info.versionText, "1.234.5678-9ABC.DEF0");
  EXPECT_EQ(ReadReg(0xC2A8), 8);
  ResetAndReturn(n, 0x20, 1, false);  // update mode
  EXPECT_FALSE(Info(n).runningCode);
  // The extension-unit restart and the alternative vendor reset behave alike.
  ASSERT_EQ(WriteReg(0xFF92, 0x01), 0u);
  ASSERT_EQ(SetCmd(0x00, 0x09), 0u);
  m_clock->Advance(1500);
  m_bus->Poll();
  OpenDevice(n);
  EXPECT_TRUE(Info(n).runningCode);
  ResetAndReturn(n, 0x01, 0, false, 9);
  EXPECT_EQ(VendorOut(0x01, 0, 3), usb::kErrGenFailure);  // no reset of type 3
  info = Info(n);
  EXPECT_EQ(info.resets, (std::array<std::uint32_t, 4>{1, 0, 2, 2}));
}

TEST_F(ResetTest, BootDecisionFollowsBlockPlaceTagAndMemory) {
  struct Case {
    const char* what;
    DeviceOptions options;
    std::vector<std::uint8_t> memory;  // written to the boot memory at offset 0
    Memory where;
    bool boots;
    std::uint8_t bootStatus;
    const char* version;
  };
  auto with = [](const char* ic, MemoryKind kind = MemoryKind::Spi, bool otp = false) {
    DeviceOptions o;
    o.ic = ic;
    o.memory = kind;
    o.hasOtp = otp;
    return o;
  };
  auto image = [](std::uint32_t at, std::uint8_t code, std::uint32_t size = 0x10000) {
    return FlashImage(at, code, kVersion, size);
  };
  auto tagged = [](std::vector<std::uint8_t> img, std::uint8_t t0, std::uint8_t t1) {
    img[0xEFFE] = t0;
    img[0xEFFF] = t1;
    return img;
  };
  std::vector<std::uint8_t> bank1(0x20000, 0xFF);
  {
    const auto img = image(0xF000, 23);
    std::copy(img.begin(), img.end(), bank1.begin() + 0x10000);
  }
  std::vector<std::uint8_t> fallback = image(0xF000, 21);
  std::fill(fallback.begin() + 0x100C, fallback.begin() + 0x1014, 0xFF);
  std::copy(kVersion.begin(), kVersion.end(), fallback.begin() + 0x11B);
  std::vector<std::uint8_t> eeprom(0x4000, 0xFF);
  eeprom[1] = 0xA5;
  std::copy(kVersion.begin(), kVersion.end(), eeprom.begin() + 0x11B);
  std::vector<std::uint8_t> otp(0x4000, 0x00);
  std::copy(kVersion.begin(), kVersion.end(), otp.begin() + 0x0200 + 0x11B);
  const std::uint8_t entry[5] = {0x02, 0x00, 0x10, 0x00, 0x55};  // a code block 0x0200..0x11FF
  std::copy(std::begin(entry), std::end(entry), otp.begin() + 0x3F75);

  const Case cases[] = {
      {"boot-status chip, block at its address", with("VQ7330"), image(0xF000, 21), Memory::Flash, true, 8,
       "1.234.5678-9ABC.DEF0"},
      {"tag cleared after a failed signature check", with("VQ7330"), tagged(image(0xF000, 21), 0, 0), Memory::Flash,
       false, 0, nullptr},
      {"no boot status: block at its address without tag", with("VQ7310"), image(0xAE00, 17), Memory::Flash, false,
       0, nullptr},
      {"no boot status: block at its address with tag", with("VQ7310"), tagged(image(0xAE00, 17), 0x55, 0xAA),
       Memory::Flash, true, 8, "1.234.5678-9ABC.DEF0"},
      {"no boot status: block at offset 0", with("VQ7310"), image(0, 17), Memory::Flash, true, 8,
       "1.234.5678-9ABC.DEF0"},
      {"chip code 23 above the first bank", with("VQ7322"), bank1, Memory::Flash, true, 8, "1.234.5678-9ABC.DEF0"},
      {"version from 0x11B", with("VQ7330"), fallback, Memory::Flash, true, 8, "1.234.5678-9ABC.DEF0"},
      {"flash chip with OTP", with("VQ7330", MemoryKind::Spi, true), image(0xF000, 21), Memory::Flash, true, 24,
       "1.234.5678-9ABC.DEF0"},
      {"blank flash", with("VQ7330"), {}, Memory::Flash, false, 0, nullptr},
      {"EEPROM with its tag", with("VQ7330", MemoryKind::Eeprom16), eeprom, Memory::Eeprom, true, 8,
       "1.234.5678-9ABC.DEF0"},
      {"OTP with a live code block", with("VQ7330", MemoryKind::Otp), otp, Memory::Otp, true, 24,
       "1.234.5678-9ABC.DEF0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int n = Add(c.options);
    OpenDevice(n);
    if (!c.memory.empty()) {
      ASSERT_TRUE(m_bus->WriteMemory(n, c.where, 0, c.memory));
    }
    ResetAndReturn(n, 0x22, 0, true);
    const DeviceInfo info = Info(n);
    EXPECT_EQ(info.runningCode, c.boots);
    EXPECT_EQ(info.bootStatus, c.bootStatus);
    EXPECT_EQ(info.versionText, c.version ? c.version : "B.BBB.BBBB-BBBB.BBBB");
    // The extended block carries the same bytes the record does.
    std::vector<std::uint8_t> t;
    ASSERT_EQ(VendorIn(0x07, 129, 0, t, 8), 0u);
    EXPECT_EQ(t[4], c.boots ? kVersion[0] : 0xBB);
  }
}

// Where a download's version lies depends on the image length: 0x11B below 64 KiB even when
// code fills 0x100C. The chip knows the length from what was written since the last erase.
TEST_F(ResetTest, ShortImageReportsTheVersionAt0x11B) {
  std::vector<std::uint8_t> image = FlashImage(0xF000, 21, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, 65533);
  std::copy(kVersion.begin(), kVersion.end(), image.begin() + 0x11B);
  DeviceOptions o;
  o.image = image;
  const int n = Add(o);
  EXPECT_EQ(Info(n).versionText, "1.234.5678-9ABC.DEF0");

  // The same image downloaded in 4 KiB pieces after a chip erase.
  OpenDevice(n);
  ASSERT_EQ(WriteReg(0xFEC6, 0x01), 0u);
  ASSERT_EQ(VendorOut(0x31, 0, 0, {0x00}), 0u);
  ASSERT_EQ(VendorOut(0x32, 0, 0), 0u);
  for (std::size_t at = 0; at < image.size(); at += 4096) {
    const std::size_t len = std::min<std::size_t>(4096, image.size() - at);
    ASSERT_EQ(VendorOut(0x2F, 0, static_cast<std::uint16_t>(at),
                        std::vector<std::uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(at),
                                                  image.begin() + static_cast<std::ptrdiff_t>(at + len))),
              0u);
  }
  ResetAndReturn(n, 0x22, 0, true);
  EXPECT_EQ(Info(n).versionText, "1.234.5678-9ABC.DEF0");
}

// A return left pending by another bus object completes when the next one opens the bus, or
// when the process that sent the reset has ended.
TEST_F(ResetTest, PendingReturnIsCompletedByTheNextProcess) {
  DeviceOptions o;
  o.resetDelayMs = 60000;
  const int n = Add(o);
  OpenDevice(n);
  ASSERT_EQ(VendorOut(0x20, 1, 0), 0u);
  EXPECT_FALSE(Info(n).present);
  auto second = SimBus::Open(m_bus->Directory(), false);
  ASSERT_TRUE(second);
  DeviceInfo info;
  ASSERT_TRUE(second->GetInfo(n, info));
  EXPECT_TRUE(info.present);

  // A child process resets the device and ends at once; its memory write persists.
  OpenDevice(n);
  const pid_t child = ::fork();
  if (child == 0) {
    auto bus = SimBus::Open(m_bus->Directory(), false);
    std::unique_ptr<usb::IUsbDevice> dev;
    int status = 1;
    if (bus && bus->Open(info.deviceInstance, dev) == 0) {
      std::uint8_t byte = 0x5A;
      std::uint32_t done = 0;
      if (dev->ControlTransfer({0x40, 0x24, 0, 0x3000}, std::span(&byte, 1), false, 5000, done) == 0 &&
          dev->ControlTransfer({0x40, 0x22, 0, 0}, {}, false, 5000, done) == 0)
        status = 0;
    }
    ::_exit(status);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  m_bus->Poll();
  info = Info(n);
  EXPECT_TRUE(info.present);
  EXPECT_EQ(info.resets[3], 1u);
  std::vector<std::uint8_t> reg;
  ASSERT_TRUE(m_bus->ReadMemory(n, Memory::Regs, 0x3000, 1, reg));
  EXPECT_EQ(reg[0], 0x00);  // registers start afresh after the restart
}

}  // namespace
}  // namespace drover::sim::testing
