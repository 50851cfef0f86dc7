#pragma once
// A bus in a fresh directory on the virtual clock, and raw control transfers in the shapes the
// host sends them: extension-unit class requests and vendor requests.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/bytes.h"
#include "base/clock.h"
#include "sim/sim_bus.h"
#include "sim/sim_chip.h"
#include "tests/support/temp_dir.h"

namespace drover::sim::testing {

class SimTest : public ::testing::Test {
 protected:
  SimTest() : m_clock(std::make_shared<VirtualClock>()), m_scoped(m_clock) {
    std::string error;
    m_bus = SimBus::Open(m_dir.Path() + "/bus", true, &error);
    EXPECT_TRUE(m_bus) << error;
  }

  int Add(DeviceOptions o = {}) {
    std::string error;
    const int n = m_bus->AddDevice(o, &error);
    EXPECT_GE(n, 0) << error;
    return n;
  }

  // Opens device n as the current device of the helpers below.
  void OpenDevice(int n) {
    DeviceInfo info;
    ASSERT_TRUE(m_bus->GetInfo(n, info));
    m_unit = 0;
    DeviceOptions o;
    ASSERT_TRUE(m_bus->GetOptions(n, o));
    m_unit = o.unitId;
    m_iface = o.composite == Composite::None ? 0 : 2;
    m_dev.reset();
    ASSERT_EQ(m_bus->Open(info.deviceInstance, m_dev), usb::kErrSuccess);
  }

  std::uint32_t Raw(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                    std::span<std::uint8_t> data, bool dirIn, std::uint32_t* transferred = nullptr) {
    std::uint32_t done = 0;
    const std::uint32_t e = m_dev->ControlTransfer({type, request, value, index}, data, dirIn, 5000, done);
    if (transferred) *transferred = done;
    return e;
  }

  // Extension unit: SET_CUR of the 8-byte command block.
  std::uint32_t SetCmd(std::uint8_t group, std::uint8_t op, std::uint16_t a = 0, std::uint16_t l = 0,
                       std::uint16_t p = 0) {
    std::vector<std::uint8_t> b{group, op, 0, 0, 0, 0, 0, 0};
    WriteLE16(b, 2, a);
    WriteLE16(b, 4, l);
    WriteLE16(b, 6, p);
    return Raw(0x21, 0x01, 0x0A00, Index(), b, false);
  }
  std::uint32_t GetChunk(std::span<std::uint8_t> chunk) { return Raw(0xA1, 0x81, 0x0B00, Index(), chunk, true); }
  std::uint32_t SetChunk(std::span<std::uint8_t> chunk) { return Raw(0x21, 0x01, 0x0B00, Index(), chunk, false); }
  std::uint8_t Status() {
    std::vector<std::uint8_t> b(8, 0xEE);
    EXPECT_EQ(Raw(0xA1, 0x81, 0x0A00, Index(), b, true), usb::kErrSuccess);
    return b[0];
  }
  std::uint32_t GetLen(std::uint16_t& size) {
    std::vector<std::uint8_t> b(2, 0);
    const std::uint32_t e = Raw(0xA1, 0x85, 0x0B00, Index(), b, true);
    size = ReadLE16(b, 0);
    return e;
  }
  std::uint32_t Abort() { return SetCmd(0xFF, 0x00); }
  bool ChangeDcs(std::uint16_t size) {
    std::uint16_t got = 0;
    return SetCmd(0x00, 0x16, 0, size) == 0 && GetLen(got) == 0 && got == size;
  }

  // A whole extension-unit read in chunks of the given data control size.
  std::uint32_t ExtRead(std::uint8_t group, std::uint8_t op, std::uint16_t a, std::uint16_t l, std::uint16_t p,
                        std::vector<std::uint8_t>& out, std::uint32_t dcs = 8) {
    out.clear();
    if (const std::uint32_t e = SetCmd(group, op, a, l, p)) return e;
    std::vector<std::uint8_t> chunk(dcs);
    while (out.size() < l) {
      if (const std::uint32_t e = GetChunk(chunk)) return e;
      const std::size_t n = std::min<std::size_t>(dcs, l - out.size());
      out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return 0;
  }
  std::uint32_t ExtWrite(std::uint8_t group, std::uint8_t op, std::uint16_t a, std::uint16_t p,
                         std::span<const std::uint8_t> data, std::uint32_t dcs = 8) {
    const auto l = static_cast<std::uint16_t>(data.size());
    if (const std::uint32_t e = SetCmd(group, op, a, l, p)) return e;
    for (std::size_t at = 0; at < data.size(); at += dcs) {
      std::vector<std::uint8_t> chunk(dcs, 0);
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), std::min<std::size_t>(dcs, data.size() - at),
                  chunk.begin());
      if (const std::uint32_t e = SetChunk(chunk)) return e;
    }
    return 0;
  }

  // Vendor requests.
  std::uint32_t VendorIn(std::uint8_t request, std::uint16_t value, std::uint16_t index, std::vector<std::uint8_t>& out,
                         std::uint16_t length) {
    out.assign(length, 0);
    return Raw(0xC0, request, value, index, out, true);
  }
  std::uint32_t VendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                          std::vector<std::uint8_t> data = {}) {
    return Raw(0x40, request, value, index, data, false);
  }
  std::uint32_t WriteReg(std::uint16_t address, std::uint8_t value) { return VendorOut(0x24, 0, address, {value}); }
  std::uint8_t ReadReg(std::uint16_t address) {
    std::vector<std::uint8_t> b;
    EXPECT_EQ(VendorIn(0x25, 0, address, b, 1), usb::kErrSuccess);
    return b.empty() ? 0 : b[0];
  }

  DeviceInfo Info(int n) {
    DeviceInfo info;
    EXPECT_TRUE(m_bus->GetInfo(n, info));
    return info;
  }

  std::uint16_t Index() const { return static_cast<std::uint16_t>((m_unit << 8) | m_iface); }

  testing_support::TempDir m_dir;
  std::shared_ptr<VirtualClock> m_clock;
  ScopedClock m_scoped;
  std::shared_ptr<SimBus> m_bus;
  std::unique_ptr<usb::IUsbDevice> m_dev;
  std::uint8_t m_unit = 6;
  std::uint8_t m_iface = 0;
};

// A 64 KiB flash image with a configuration block at `at` (signature 0xA5, chip code) and the
// version bytes e0..e7 at 0x100C.
inline std::vector<std::uint8_t> FlashImage(std::uint32_t at, std::uint8_t chipCode,
                                            std::array<std::uint8_t, 8> version, std::uint32_t size = 0x10000) {
  std::vector<std::uint8_t> image(size, 0xFF);
  for (std::uint32_t i = 0; i < 0x1000; ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  image[at] = 0x55;
  image[at + 1] = 0xA5;
  image[at + 2] = static_cast<std::uint8_t>(chipCode << 3);
  image[at + 3] = 6;
  image[at + 4] = 0;
  image[at + 5] = 0;
  std::copy(version.begin(), version.end(), image.begin() + 0x100C);
  return image;
}

}  // namespace drover::sim::testing
