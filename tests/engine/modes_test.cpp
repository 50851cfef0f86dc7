// Device modes, status and version on the simulated chip: the read-outs, the resets into
// update mode with their register writes, and the flash write protection.
#include <algorithm>

#include "engine/chip_family.h"
#include "engine/dev_flow.h"
#include "resources/resource.h"
#include "sim_fixture.h"

namespace drover {
namespace {

using engine_test::SimFlowTest;

std::vector<std::uint8_t> BuiltIn(int id) {
  const auto image = res::FindResource("BINARY", id);
  return {image.begin(), image.end()};
}
constexpr int kFfu7330 = 3018;
constexpr int kFfu7310 = 3012;
constexpr int kFfu7340 = 3023;

std::string VersionOf(const std::vector<std::uint8_t>& image) {
  const std::size_t at = image.size() < 0x10000 ? 0x11B : 0x100C;
  return DecodeImageVersion(std::span<const std::uint8_t>(image).subspan(at, 8)).text;
}

class Modes : public SimFlowTest {
 protected:
  // A device with the given options, opened as the flow's device.
  int Open(const sim::DeviceOptions& o) {
    const int n = Add(o);
    EXPECT_EQ(flow->MP_OpenDevice(n), 1);
    return n;
  }
  static sim::DeviceOptions Running(std::string ic, int imageId) {
    sim::DeviceOptions o = Device(0x1996, std::move(ic));
    o.image = BuiltIn(imageId);
    return o;
  }
  static sim::DeviceOptions WithChipId(sim::DeviceOptions o, std::uint8_t b0, std::uint8_t b1) {
    o.chipIdSet = true;
    o.chipId = {b0, b1};
    return o;
  }
  std::uint8_t Reg(int n, std::uint32_t address) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(bus->ReadMemory(n, sim::Memory::Regs, address, 1, out));
    return out.empty() ? 0 : out[0];
  }
  std::vector<std::uint8_t> Flash(int n, std::uint32_t address, std::uint32_t length) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(bus->ReadMemory(n, sim::Memory::Flash, address, length, out));
    return out;
  }
  // The vendor requests 0x20 (reset to update firmware) seen by device n, as their modes.
  std::vector<std::uint16_t> UpdateResetModes(int n) {
    std::vector<std::uint16_t> modes;
    for (const auto& t : bus->TakeTransfers(n))
      if (t.bRequest == 0x20 && (t.bmRequestType & 0x60) == 0x40) modes.push_back(t.wValue);
    return modes;
  }
};

TEST_F(Modes, FullReadOfARunningChip) {
  const auto image = BuiltIn(kFfu7330);
  const int n = Open(Running("VQ7330", kFfu7330));
  ASSERT_EQ(flow->MP_GetDeviceInfo(), 1);
  EXPECT_EQ(flow->m_strConnect, "USB Audio Connected");
  EXPECT_EQ(flow->m_strDevStatus, "SPI");
  EXPECT_EQ(flow->m_bBootStatusChip, 1);
  EXPECT_EQ(flow->m_bChipFamily0010, 0);
  EXPECT_EQ(flow->m_bNotCacheMode, 0);
  EXPECT_EQ(flow->m_strFwVersion, VersionOf(image));
  EXPECT_EQ(flow->m_strFwVersionEx, flow->m_strFwVersion);
  EXPECT_EQ(flow->m_strVidPid, "VID_0B05&PID_1996");
  EXPECT_EQ(flow->m_strSerial, "000000000001");
  EXPECT_EQ(flow->m_strDeviceKey, GetDevicePath() + "&VID_0B05&PID_1996&REV_0100");
  EXPECT_EQ(flow->m_dwPortAddr, 1u);

  std::uint32_t value = 9;
  EXPECT_EQ(flow->MP_GetCacheMode(value), 1);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(flow->MP_GetVersionFormat(value), 1);
  EXPECT_EQ(value, 2u);
  ASSERT_EQ(flow->MP_GetStatusVersion(), 1);
  EXPECT_EQ(flow->m_byStatusVer[0], image[0x100C + 3]);  // s76 holds e3
  EXPECT_EQ(flow->m_byStatusVer[3], image[0x100C + 0]);  // s79 holds e0

  flow->m_strFwVersion.clear();
  ASSERT_EQ(flow->MP_GetDeviceInfoQuick(), 1);
  EXPECT_EQ(flow->m_strFwVersion, VersionOf(image) + "-VID0B05&&PID1996");
  flow->m_strFwVersion.clear();
  ASSERT_EQ(flow->MP_RefreshVersion(), 1);
  EXPECT_EQ(flow->m_strFwVersion, VersionOf(image) + "-VID0B05&&PID1996");
  EXPECT_TRUE(Info(n).runningCode);

  flow->DEV_CloseDevice();
  flow->MP_GetDeviceInfo();
  EXPECT_EQ(flow->m_strConnect, "No USB Audio");
  EXPECT_EQ(flow->m_strFwVersion, "N/A");
  EXPECT_EQ(flow->m_strManufacturer, "N/A");
}

TEST_F(Modes, OtpChipsReportTheirBootModeAndTheExtendedVersion) {
  sim::DeviceOptions o = Running("VQ7330", kFfu7330);
  o.hasOtp = true;
  Open(o);
  flow->MP_GetDeviceInfo();
  EXPECT_EQ(flow->m_strDevStatus, "SPI&&OTP");
  EXPECT_EQ(flow->m_strFwVersion, VersionOf(BuiltIn(kFfu7330)));

  flow->DEV_CloseDevice();
  sim::DeviceOptions blank = Device(0x1997);
  blank.hasOtp = true;
  blank.romBootStatus = 16;
  Open(blank);
  flow->MP_GetDeviceInfo();
  EXPECT_EQ(flow->m_strDevStatus, "ROM&&OTP");
  EXPECT_EQ(flow->m_strFwVersion, "B.BBB.BBBB-BBBB.BBBB");  // the ROM's extended block
}

TEST_F(Modes, FamilyEdgeOfFirstByte0x11) {
  Add(WithChipId(Device(0x0001, "VQ7310"), 0x11, 0x72));
  Add(WithChipId(Device(0x0002, "VQ7310"), 0x12, 0x72));
  flow->m_strDevStatus = "kept";
  ASSERT_EQ(flow->MP_OpenDevice(0), 1);
  flow->MP_GetDeviceInfo();
  EXPECT_EQ(flow->m_bBootStatusChip, 0);
  EXPECT_EQ(flow->m_strDevStatus, "kept");  // other chips keep the previous text
  ASSERT_EQ(flow->MP_OpenDevice(1), 1);
  flow->MP_GetDeviceInfo();
  EXPECT_EQ(flow->m_bBootStatusChip, 1);
  EXPECT_EQ(flow->m_strDevStatus, "ROM");
}

TEST_F(Modes, ResetToRomCodeWithResetModeZeroLeavesTheChip) {
  const int n = Open(Running("VQ7330", kFfu7330));
  flow->m_byResetMode = 0;
  EXPECT_EQ(flow->MP_ResetToRomCode(), 1);
  EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
  EXPECT_TRUE(Info(n).runningCode);
}

TEST_F(Modes, ResetToRomCodeOnAChipAlreadyInRom) {
  const int n = Open(Device(0x1996, "VQ7310"));  // family 0, blank: the ROM runs
  flow->m_bNotCacheMode = 0;
  EXPECT_EQ(flow->MP_ResetToRomCode(), 1);
  EXPECT_EQ(flow->m_bNotCacheMode, 1);
  EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
}

TEST_F(Modes, ResetToRomCodeFailsWhenTheDecidingReadFails) {
  // A running chip whose mode cannot be read must not pass for one waiting in its ROM.
  struct Case {
    const char* name;
    std::vector<sim::FaultRule> stalls;
  };
  const Case cases[] = {
      {"status record of a family 0 chip",
       {{sim::FaultTarget::Vendor, 0x07, 0, 0}, {sim::FaultTarget::Command, 0xCD, 0, 0}}},
      {"chip identity", {{sim::FaultTarget::Vendor, 0x25, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int n = Open(Running("VQ7310", kFfu7310));
    sim::Faults f;
    f.stall = c.stalls;
    bus->SetFaults(n, f);
    flow->m_bNotCacheMode = 0;
    std::uint32_t mode = 7;
    EXPECT_EQ(flow->MP_GetCacheMode(mode), 0);
    EXPECT_EQ(flow->MP_ResetToRomCode(), 0);
    EXPECT_EQ(flow->m_bNotCacheMode, 0);
    EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
    bus->SetFaults(n, sim::Faults{});
    flow->DEV_CloseDevice();
  }
}

TEST_F(Modes, ResetToRomCodeEntersUpdateMode) {
  const int n = Open(Running("VQ7330", kFfu7330));
  bus->RecordTransfers(n, true);
  ASSERT_EQ(flow->MP_ResetToRomCode(), 1);
  EXPECT_EQ(UpdateResetModes(n), (std::vector<std::uint16_t>{6}));
  EXPECT_FALSE(Info(n).runningCode);
  EXPECT_NE(flow->m_hDevice, 0u);
  EXPECT_EQ(flow->m_hDevice, CurrentDeviceInstance());
}

TEST_F(Modes, ResetToRomCodeOfOtherChipsUsesMemoryTypeOrMode2) {
  const int n = Open(Running("VQ7310", kFfu7310));
  bus->RecordTransfers(n, true);
  ASSERT_EQ(flow->MP_ResetToRomCode(), 1);
  EXPECT_EQ(UpdateResetModes(n), (std::vector<std::uint16_t>{0}));  // the memory type

  flow->DEV_CloseDevice();
  const int m = Open(WithChipId(Running("VQ7310", kFfu7310), 0x00, 0x00));
  bus->RecordTransfers(m, true);
  ctx.dwUpdateOptions |= kOptAlternateReset;
  ASSERT_EQ(flow->MP_ResetToRomCode(), 1);
  EXPECT_EQ(UpdateResetModes(m), (std::vector<std::uint16_t>{2}));
}

TEST_F(Modes, ResetToRomCodeOfB013InRomWithSpiSpoilsTheCodeAndRestartsByVendorRequest) {
  sim::DeviceOptions o = WithChipId(Device(0x1996), 0x13, 0xB0);
  o.romBootStatus = 32;
  const int n = Add(o);
  const std::uint8_t code[] = {0x5A};
  ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0, code));
  ASSERT_EQ(flow->MP_OpenDevice(n), 1);
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->m_strDevStatus, "ROM&&SPI");

  ASSERT_EQ(flow->MP_ResetToRomCode(), 1);
  EXPECT_EQ(Flash(n, 0, 1), (std::vector<std::uint8_t>{0x00}));
  EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 1}));
  EXPECT_EQ(flow->m_dwCmdFlags & 0x20, 0u);
}

TEST_F(Modes, ResetToRomCodeOfB013InRomWithSpiFailsWhenTheCodeStaysIntact) {
  sim::DeviceOptions o = WithChipId(Device(0x1996), 0x13, 0xB0);
  o.romBootStatus = 32;
  const int n = Add(o);
  const std::uint8_t code[] = {0x5A};
  ASSERT_TRUE(bus->WriteMemory(n, sim::Memory::Flash, 0, code));
  ASSERT_EQ(flow->MP_OpenDevice(n), 1);
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->m_strDevStatus, "ROM&&SPI");
  sim::Faults f;
  f.stall = {{sim::FaultTarget::Vendor, 0x2F, 0, 0}, {sim::FaultTarget::Command, 0x82, 0, 0}};  // SPI_SF_Write
  bus->SetFaults(n, f);

  EXPECT_EQ(flow->MP_ResetToRomCode(), 0);
  EXPECT_EQ(Flash(n, 0, 1), (std::vector<std::uint8_t>{0x5A}));
  EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(flow->m_dwCmdFlags & 0x20, 0u);
}

TEST_F(Modes, OpenRomDeviceOnChipsWaitingInRom) {
  // 0xD010: register 0xFED0 gets 30, nothing is reset.
  const int n = Open(Device(0x1996, "VQ7340"));
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->m_strDevStatus, "ROM");
  ASSERT_EQ(flow->MP_OpenRomDevice(), 1);
  EXPECT_EQ(Reg(n, 0xFED0), 30);
  EXPECT_EQ(flow->m_bNotCacheMode, 1);
  EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));

  // 0xD011: register 0xD6AD gets bit 5 or bit 1 by the bank copy flag.
  flow->DEV_CloseDevice();
  const int m = Open(WithChipId(Device(0x1997, "VQ7340"), 0x11, 0xD0));
  flow->MP_GetDeviceInfo();
  const std::uint8_t before[] = {0x02};
  ASSERT_TRUE(bus->WriteMemory(m, sim::Memory::Regs, 0xD6AD, before));
  ASSERT_EQ(flow->MP_OpenRomDevice(), 1);
  EXPECT_EQ(Reg(m, 0xD6AD), 0x20);
  flow->m_bBankCopy = true;
  ASSERT_EQ(flow->MP_OpenRomDevice(), 1);
  EXPECT_EQ(Reg(m, 0xD6AD), 0x02);
  EXPECT_TRUE(posts.posts.empty());
}

TEST_F(Modes, OpenRomDeviceResetsARunningChip) {
  const int n = Open(Running("VQ7330", kFfu7330));
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->MP_OpenRomDevice(), 1);
  EXPECT_TRUE(posts.Has(UM_STEP, 41718));
  EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{1, 0, 0, 0}));
  EXPECT_EQ(Flash(n, 0xEFFE, 2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
}

TEST_F(Modes, OpenRomDeviceOfB013RunningSpiClearsItsMarks) {
  const int n = Open(WithChipId(Running("VQ7330", kFfu7330), 0x13, 0xB0));
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->m_strDevStatus, "SPI");
  ASSERT_EQ(flow->MP_OpenRomDevice(), 1);
  EXPECT_EQ(Flash(n, 0xF000, 1), (std::vector<std::uint8_t>{0x00}));
  EXPECT_EQ(Flash(n, 0xEFFE, 2), (std::vector<std::uint8_t>{0x00, 0x00}));
  const sim::DeviceInfo info = Info(n);
  EXPECT_FALSE(info.flashWpReleased);  // protection restored
  EXPECT_EQ(info.resets, (std::array<std::uint32_t, 4>{0, 0, 1, 0}));  // a plain restart
  EXPECT_FALSE(info.runningCode);
  EXPECT_EQ(flow->m_dwCmdFlags & 0x20, 0u);
}

TEST_F(Modes, OpenRomDeviceOfB013RunningSpiFailsWhenItsMarksStay) {
  const int n = Open(WithChipId(Running("VQ7330", kFfu7330), 0x13, 0xB0));
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->m_strDevStatus, "SPI");
  const std::vector<std::uint8_t> mark = Flash(n, 0xF000, 1);
  sim::Faults f;
  f.stall = {{sim::FaultTarget::Vendor, 0x2F, 0, 0}, {sim::FaultTarget::Command, 0x82, 0, 0}};  // SPI_SF_Write
  bus->SetFaults(n, f);

  EXPECT_EQ(flow->MP_OpenRomDevice(), 0);
  EXPECT_EQ(Flash(n, 0xF000, 1), mark);
  EXPECT_EQ(Info(n).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));
  EXPECT_TRUE(Info(n).runningCode);
  EXPECT_TRUE(posts.Has(UM_ERROR, 41512));
  EXPECT_TRUE(Traced("Device ResetToUpdateFW Fail"));
  EXPECT_EQ(flow->m_dwCmdFlags & 0x20, 0u);
}

TEST_F(Modes, OpenRomDeviceOfD011WithBankCopyAfterTheReset) {
  const int n = Open(WithChipId(Running("VQ7340", kFfu7340), 0x11, 0xD0));
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->m_strDevStatus, "SPI");
  flow->m_bBankCopy = true;
  ASSERT_EQ(flow->MP_OpenRomDevice(), 1);
  EXPECT_EQ(Info(n).resets[0], 1u);
  EXPECT_EQ(Reg(n, 0xD6AD), 0x02);
}

TEST_F(Modes, FailedResetInOpenRomDevice) {
  const int n = Open(Running("VQ7330", kFfu7330));
  flow->MP_GetDeviceInfo();
  sim::Faults f;
  f.stall.push_back({sim::FaultTarget::Vendor, 0x20, 0, 0});
  bus->SetFaults(n, f);
  EXPECT_EQ(flow->MP_OpenRomDevice(), 0);
  EXPECT_TRUE(posts.Has(UM_ERROR, 41512));
  EXPECT_EQ(GetLastStatus(), 41512u);
  EXPECT_TRUE(Traced("Device ResetToUpdateFW Fail"));
  // The transport holds candidate 0 again, and so does the flow.
  EXPECT_EQ(flow->m_hDevice, CurrentDeviceInstance());
}

TEST_F(Modes, RestartOfAnOtpChipInRomWritesFfc6First) {
  const int n = Open(Device(0x1996));
  flow->MP_GetDeviceInfo();
  ASSERT_EQ(flow->m_strDevStatus, "ROM");
  ctx.uMemoryType = kMemoryOtp;
  bus->RecordTransfers(n, true);
  ASSERT_EQ(flow->MP_Reset(9, 0), 1);
  bool written = false;
  for (const auto& t : bus->TakeTransfers(n))
    written |= t.bRequest == 0x24 && t.wIndex == 0xFFC6 && t.data == std::vector<std::uint8_t>{0x2A};
  EXPECT_TRUE(written);
  EXPECT_EQ(Info(n).resets[2], 1u);
  EXPECT_EQ(flow->MP_Reset(8, 0), 0);
}

TEST_F(Modes, WriteProtectionOfTheFlash) {
  const int n = Open(Device(0x1996));
  ASSERT_EQ(flow->MP_DisableWriteProtect(), 1);
  EXPECT_TRUE(Info(n).flashWpReleased);
  EXPECT_EQ(Info(n).statusRegister, 0x00);
  ASSERT_EQ(flow->MP_EnableWriteProtect(), 1);
  EXPECT_FALSE(Info(n).flashWpReleased);
  EXPECT_EQ(Info(n).statusRegister, 0x8C);
}

TEST_F(Modes, WriteProtectionPollsTheStatusRegisterTwentyTimes) {
  for (std::uint32_t busyReads : {19u, 20u}) {
    SCOPED_TRACE(busyReads);
    sim::DeviceOptions o = Device(static_cast<std::uint16_t>(0x1990 + busyReads));
    o.srBusyReads = busyReads;
    Open(o);
    const std::uint64_t slept = Clock().SleptMs();
    EXPECT_EQ(flow->MP_DisableWriteProtect(), busyReads < 20 ? 1 : 0);
    EXPECT_EQ(Clock().SleptMs() - slept, 19u * 50u);
    flow->DEV_CloseDevice();
  }
}

TEST_F(Modes, WriteProtectionOfA1010ChipWithTwoPairs) {
  sim::DeviceOptions o = Device(0x1996, "VQ7370");
  o.dualWpPairs = true;
  const int n = Open(o);
  ASSERT_EQ(flow->MP_DisableWriteProtect(), 1);
  EXPECT_TRUE(Info(n).flashWpReleased);
  bus->RecordTransfers(n, true);
  ASSERT_EQ(flow->MP_EnableWriteProtect(), 1);
  EXPECT_TRUE(Info(n).flashWpReleased);  // such a chip is left released
  for (const auto& t : bus->TakeTransfers(n)) EXPECT_NE(t.bRequest, 0x31) << "status register written";
}

}  // namespace
}  // namespace drover
