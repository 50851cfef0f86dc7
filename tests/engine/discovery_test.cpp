// Device discovery and open on the simulated bus: candidate order, identity, the allow-list
// in its two copies, the port lock and the stop flag.
#include <fstream>

#include "engine/dev_flow.h"
#include "sim_fixture.h"

namespace drover {
namespace {

using engine_test::Post;
using engine_test::SimFlowTest;

using Discovery = SimFlowTest;

TEST_F(Discovery, OpenDeviceTakesTheFirstOfThreeThatOpens) {
  Add(Refused(0x1001));
  Add(Refused(0x1002));
  Add(Device(0x1003));
  Add(Device(0x1004));
  bus->RecordTransfers(3, true);

  ASSERT_EQ(flow->DEV_OpenDevice(), 1);
  flow->MP_ReadIdentity(false);
  EXPECT_EQ(flow->m_wPid, 0x1003);
  EXPECT_TRUE(bus->TakeTransfers(3).empty());  // the fourth is never tried
  EXPECT_TRUE(Traced("MP_OpenDevice Fail 0"));
  EXPECT_TRUE(Traced("MP_OpenDevice Fail 1"));
  // An open flow answers at once.
  EXPECT_EQ(flow->DEV_OpenDevice(), 1);
}

TEST_F(Discovery, OpenDeviceFailsWhenNoneOfTheFirstThreeOpens) {
  Add(Refused(0x1001));
  Add(Refused(0x1002));
  Add(Refused(0x1003));
  Add(Device(0x1004));
  EXPECT_EQ(flow->DEV_OpenDevice(), 0);
  EXPECT_EQ(flow->m_hDevice, 0u);
  EXPECT_TRUE(posts.Has(UM_STATUS, 41511));
  EXPECT_EQ(GetLastStatus(), 41511u);
  EXPECT_EQ(flow->DEV_OpenDeviceByICIni(), 0);
  EXPECT_EQ(GetLastStatus(), 41511u);
}

TEST_F(Discovery, OpenByIcIniReadsIdentityPortAndChipAndRefreshesTheIcType) {
  sim::DeviceOptions o = Device(0x1996, "VQ7340");
  o.rev = 0x0102;
  o.manufacturer = "Corvane";
  o.ports = {4};
  const int n = Add(o);
  ctx.pIcType.reset();  // the refresh loads the definitions anew

  ASSERT_EQ(flow->DEV_OpenDeviceByICIni(), 1);
  EXPECT_EQ(flow->m_wVid, 0x0B05);
  EXPECT_EQ(flow->m_wPid, 0x1996);
  EXPECT_EQ(flow->m_wRev, 0x0102);
  EXPECT_EQ(flow->m_strManufacturer, "Corvane");
  EXPECT_EQ(flow->m_strVidPidRev, "VID_0B05&PID_1996&REV_0102");
  EXPECT_EQ(flow->m_byChipId, (std::array<std::uint8_t, 2>{0x10, 0xD0}));
  EXPECT_EQ(flow->m_dwPortAddr, 4u);
  EXPECT_EQ(list.port, 4u);
  EXPECT_EQ(list.hub, flow->m_dwHubInst);
  ASSERT_NE(ctx.pIcType, nullptr);
  EXPECT_EQ(ctx.pIcType->IcName(), "VQ7330");  // the default definition, VQ7330.INI
  EXPECT_EQ(posts.posts.back(), (Post{UM_DEVICE_OPENED, 0, 0}));
  EXPECT_EQ(GetLastStatus(), 0u);
  EXPECT_TRUE(Info(n).present);

  flow->DEV_CloseDevice();
  EXPECT_EQ(flow->m_hDevice, 0u);
  EXPECT_EQ(CurrentDevice(), nullptr);
  EXPECT_EQ(flow->DEV_OpenDeviceByICIni(1), 0);  // no candidate 1
  EXPECT_TRUE(posts.Has(UM_STATUS, 41511));
  EXPECT_EQ(flow->DEV_OpenDeviceByICIni(0), 1);
}

TEST_F(Discovery, ChipIdentityReadFailureLeavesZero) {
  Add(Device(0x1996));
  ASSERT_EQ(flow->DEV_OpenDevice(), 1);
  sim::Faults f;
  f.stall.push_back({sim::FaultTarget::Vendor, 0x25, 0, 0});  // every ReadMem stalls
  bus->SetFaults(0, f);
  flow->m_byChipId = {0x10, 0xB0};
  flow->DEV_SelectDefaultImage();
  EXPECT_EQ(flow->m_byChipId, (std::array<std::uint8_t, 2>{0, 0}));
}

TEST_F(Discovery, BuiltInAllowListCutsTheReleaseNumber) {
  const std::pair<const char*, int> rows[] = {
      {"VID_0B05&PID_1996&REV_0000", 1},
      {"VID_0B05&PID_1996&REV_0100", 1},  // any release
      {"vid_0b05&pid_1a52&rev_0001", 1},  // any case
      {"VID_0B05&PID_1A97&REV_FFFF", 1},
      {"VID_0B05&PID_1858&REV_0000", 0},  // a "//" line
      {"VID_0B05&PID_1999&REV_0000", 0},
      {"VID_0BDA&PID_4C15&REV_0100", 0},
  };
  for (const auto& [identity, allowed] : rows) EXPECT_EQ(flow->DEV_CheckVidPidBuiltIn(identity), allowed) << identity;
}

TEST_F(Discovery, FileAllowListNeedsTheReleaseNumber) {
  const std::string path = ProgramDir() + "/VidPidList.ini";
  EXPECT_EQ(flow->DEV_CheckVidPidFile("VID_0B05&PID_1996&REV_0000"), 0);
  ASSERT_EQ(box->texts.size(), 1u);
  EXPECT_EQ(box->texts[0], path + " does not exist");

  std::ofstream(path, std::ios::binary) << "[Section]\r\n"
                                           "VID_0B05&PID_1996&REV_0000\r\n"
                                           "  VID_0B05&PID_1A52  \r\n"
                                           "\r\n"
                                           "//VID_0B05&PID_1858&REV_0000\r\n"
                                           "\tvid_0bda&pid_4c15&rev_0100\r\n";
  const std::pair<const char*, int> rows[] = {
      {"VID_0B05&PID_1996&REV_0000", 1},
      {"VID_0B05&PID_1996&REV_0100", 0},  // the release counts here
      {"VID_0B05&PID_1A52&REV_0000", 0},  // an entry without REV never matches
      {"VID_0B05&PID_1858&REV_0000", 0},
      {"VID_0BDA&PID_4C15&REV_0100", 1},
  };
  for (const auto& [identity, allowed] : rows) EXPECT_EQ(flow->DEV_CheckVidPidFile(identity), allowed) << identity;
  EXPECT_EQ(box->texts.size(), 1u);
}

TEST_F(Discovery, ByVidPidWithoutDevicesTellsTheConsole) {
  ctx.bCommandLineMode = true;
  EXPECT_EQ(flow->DEV_OpenDeviceByVIDPID(), 0);
  EXPECT_EQ(GetLastStatus(), 41511u);
  EXPECT_TRUE(posts.Has(UM_STATUS, 41511));
  EXPECT_EQ(console, "Cannot find Corvane USB Audio!\n");
  EXPECT_TRUE(Traced("Cannot find Corvane USB Audio!"));
}

TEST_F(Discovery, ByVidPidLocksOntoTheFirstAcceptedPort) {
  ctx.bCommandLineMode = true;
  settings->Set("LockPort", 1);
  sim::DeviceOptions other = Device(0x1999);  // not in the built-in list
  other.ports = {1};
  Add(other);
  sim::DeviceOptions first = Device(0x1996);
  first.ports = {2};
  const int n = Add(first);

  ASSERT_EQ(flow->DEV_OpenDeviceByVIDPID(), 1);
  flow->MP_ReadIdentity(false);
  EXPECT_EQ(flow->m_wPid, 0x1996);
  EXPECT_EQ(settings->GetInt(kConfigSection, "PortNo", 0), 2u);
  EXPECT_EQ(flow->m_byChipId, (std::array<std::uint8_t, 2>{0x10, 0xB0}));
  EXPECT_EQ(GetLastStatus(), 0u);
  flow->DEV_CloseDevice();

  // The same kind of device on another port is refused from now on.
  bus->Unplug(n);
  sim::DeviceOptions second = Device(0x1A52);
  second.ports = {3};
  Add(second);
  EXPECT_EQ(flow->DEV_OpenDeviceByVIDPID(), 0);
  EXPECT_EQ(flow->m_hDevice, 0u);
  EXPECT_EQ(GetLastStatus(), 41714u);
  EXPECT_TRUE(posts.Has(UM_ERROR, 41714));
  EXPECT_EQ(console, "Check VID/PID Mismatch!\n");

  // Without the lock any allowed device will do.
  settings->Set("LockPort", 0);
  EXPECT_EQ(flow->DEV_OpenDeviceByVIDPID(), 1);
}

TEST_F(Discovery, StopFlagFailsOpensAndResetsWithoutTraffic) {
  Add(Device(0x1996));
  CThreadFlag flag;
  SetMainDialogThreadFlag(&flag);
  ASSERT_EQ(flow->DEV_OpenDevice(), 1);
  bus->RecordTransfers(0, true);
  flag.SetStopFlag(1);

  EXPECT_EQ(flow->MP_Reset(7, 6), 0);
  EXPECT_EQ(flow->MP_Reset(9, 0), 0);
  std::array<std::uint8_t, 2> id{};
  EXPECT_FALSE(flow->MP_ReadMem(0xFE21, id));
  EXPECT_EQ(flow->MP_OpenDevice(0), 0);
  flow->DEV_CloseDevice();
  EXPECT_EQ(flow->DEV_OpenDevice(), 0);
  EXPECT_EQ(flow->m_hDevice, 0u);
  EXPECT_TRUE(bus->TakeTransfers(0).empty());
  EXPECT_EQ(Info(0).resets, (std::array<std::uint32_t, 4>{0, 0, 0, 0}));

  flag.SetStopFlag(0);
  EXPECT_EQ(flow->DEV_OpenDevice(), 1);
}

TEST_F(Discovery, MemoryCommandsRetryEightTimes) {
  Add(Device(0x1996));
  ASSERT_EQ(flow->DEV_OpenDevice(), 1);
  std::array<std::uint8_t, 2> id{};
  sim::Faults f;
  f.stall.push_back({sim::FaultTarget::Vendor, 0x25, 0, 7});
  bus->SetFaults(0, f);
  EXPECT_TRUE(flow->MP_ReadMem(0xFE21, id));
  EXPECT_EQ(id, (std::array<std::uint8_t, 2>{0x10, 0xB0}));
  f.stall = {{sim::FaultTarget::Vendor, 0x25, 0, 8}};
  bus->SetFaults(0, f);
  EXPECT_FALSE(flow->MP_ReadMem(0xFE21, id));
  EXPECT_TRUE(flow->MP_ReadMem(0xFE21, id));  // the ninth answers again
}

}  // namespace
}  // namespace drover
