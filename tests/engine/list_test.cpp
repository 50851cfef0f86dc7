// The device list operations: survey, choice of the default device, the default image of
// the device chosen, finding it again after a reset and reopening it by port.
#include <algorithm>
#include <fstream>

#include "base/bytes.h"
#include "engine/chip_family.h"
#include "engine/dev_flow.h"
#include "resources/resource.h"
#include "sim_fixture.h"

namespace drover {
namespace {

using engine_test::Post;
using engine_test::SimFlowTest;

class DeviceList : public SimFlowTest {
 protected:
  // Candidate 0 is not in the built-in allow-list, candidate 1 is.
  void AddTwo() {
    sim::DeviceOptions a = Device(0x1999);
    a.ports = {1};
    Add(a);
    sim::DeviceOptions b = Device(0x1996);
    b.ports = {2};
    Add(b);
  }
  // The version text of the built-in image of resource id, as the flow derives it.
  static std::string BuiltInVersion(int id) {
    const auto image = res::FindResource("BINARY", id);
    const std::size_t at = image.size() < 0x10000 ? 0x11B : 0x100C;
    return "Update FW version:" + DecodeImageVersion(image.subspan(at, 8)).text;
  }
};

TEST_F(DeviceList, WithoutChecksTheFirstDeviceIsChosenListedOrNot) {
  AddTwo();
  ASSERT_EQ(flow->DEV_GetDefaultDeviceForAllInOne(), 1);
  EXPECT_EQ(list.rows, (std::vector<std::string>{"VID_0B05&PID_1996&REV_0100"}));
  EXPECT_EQ(flow->m_iSelDevice, 0);
  EXPECT_EQ(flow->m_iSelRow, -1);
  EXPECT_EQ(list.selectedRow, -1);
  EXPECT_EQ(list.port, 1u);
  EXPECT_EQ(flow->m_hDevice, 0u);  // left closed
  EXPECT_TRUE(posts.Has(UM_STATUS, 41906));
  EXPECT_EQ(GetLastStatus(), 41906u);
  // PID 0x1999 has a built-in image of its own.
  EXPECT_EQ(flow->m_strUpdateVersion, BuiltInVersion(3042));
  EXPECT_EQ(flow->m_strFwFile, flow->m_strUpdateVersion);
  EXPECT_TRUE(flow->m_pCodeData.empty());
}

TEST_F(DeviceList, WithTheBuiltInCheckTheFirstAllowedDeviceIsChosen) {
  settings->Set("CheckVIDPID_INI", 1);
  settings->Set("AutoRun", 1);
  AddTwo();
  ASSERT_EQ(flow->DEV_GetDefaultDeviceForAllInOne(), 1);
  EXPECT_EQ(flow->m_iSelDevice, 1);
  EXPECT_EQ(flow->m_iSelRow, 0);
  EXPECT_EQ(flow->m_bVidPidAllowed, 1u);
  EXPECT_EQ(list.selectedText, "VID_0B05&PID_1996&REV_0100");
  EXPECT_EQ(list.port, 2u);
  EXPECT_EQ(list.autoRun, (std::vector<bool>{false, true}));
  EXPECT_EQ(flow->m_strUpdateVersion, BuiltInVersion(3040));
  EXPECT_EQ(flow->m_strDevStatus, "ROM");  // the full read of the chosen device
}

TEST_F(DeviceList, NothingAllowedPostsDetectFail) {
  settings->Set("CheckVIDPID_INI", 2);  // the file, which is missing
  AddTwo();
  flow->DEV_GetDefaultDeviceForAllInOne();
  EXPECT_EQ(flow->m_iSelDevice, -1);
  EXPECT_EQ(flow->m_bVidPidAllowed, 0u);
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41511, 0}));
  EXPECT_EQ(GetLastStatus(), 41511u);
  EXPECT_EQ(box->texts.size(), 2u);  // asked once per device
}

TEST_F(DeviceList, DefaultImageFallsBackToTheIcTypesImage) {
  Add(Device(0x7777, "VQ7340"));  // no image of its own: the IC type's FFU_7340
  ASSERT_EQ(flow->DEV_GetDefaultDeviceForAllInOne(), 1);
  EXPECT_EQ(ctx.pIcType->ChipCode(), 25);  // the chip's definition became the active one
  EXPECT_EQ(flow->m_strUpdateVersion, BuiltInVersion(3023));
}

TEST_F(DeviceList, ListForAllInOnePrefersTheRememberedPort) {
  AddTwo();
  sim::DeviceOptions c = Device(0x1A52);
  c.ports = {3};
  Add(c);
  // Find the hub of port 3 the way the flow does, then remember it.
  ASSERT_EQ(flow->MP_OpenDevice(2), 1);
  flow->MP_ReadPortAndHub();
  list.SetRememberedPort(3, flow->m_dwHubInst);
  flow->DEV_CloseDevice();

  ASSERT_EQ(flow->DEV_GetDeviceListForAllInOne(0x55), 1);
  EXPECT_EQ(list.rows, (std::vector<std::string>{"VID_0B05&PID_1996&REV_0100", "VID_0B05&PID_1A52&REV_0100"}));
  EXPECT_EQ(flow->m_iSelDevice, 2);
  EXPECT_EQ(flow->m_iSelRow, 1);
  EXPECT_EQ(list.selectedText, "VID_0B05&PID_1A52&REV_0100");
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41906, 0x55}));
  EXPECT_EQ(flow->m_hDevice, 0u);

  // Reopen it by its port.
  ASSERT_EQ(flow->Dev_OpenDeviceForMultiCamera(), 1);
  flow->MP_ReadIdentity(false);
  EXPECT_EQ(flow->m_wPid, 0x1A52);

  // Once the device on that port is gone, the reopen fails and says so.
  flow->DEV_CloseDevice();
  bus->Unplug(2);
  posts.posts.clear();
  EXPECT_EQ(flow->Dev_OpenDeviceForMultiCamera(), 0);
  EXPECT_EQ(flow->m_hDevice, 0u);
  EXPECT_EQ(posts.posts, (std::vector<engine_test::Post>{{UM_STATUS, 41511, 0}}));
}

TEST_F(DeviceList, DeviceOnTheRememberedPortIsCheckedAgain) {
  // A device chosen by its port takes its own check result, not that of the device which
  // sat on the port before.
  struct Case {
    const char* name;
    int checkIni;
    const char* fileEntry;
    std::uint32_t allowed;
  };
  const Case cases[] = {
      {"file refuses the release", 2, "VID_0B05&PID_1996&REV_0000", 0},
      {"file allows the release", 2, "VID_0B05&PID_1996&REV_0100", 1},
      {"built-in copy allows it", 1, "", 1},
  };
  sim::DeviceOptions d = Device(0x1996);
  d.ports = {2};
  Add(d);
  ASSERT_EQ(flow->MP_OpenDevice(0), 1);
  flow->MP_ReadPortAndHub();
  const std::uint32_t hub = flow->m_dwHubInst;
  flow->DEV_CloseDevice();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings->Set("CheckVIDPID_INI", c.checkIni);
    std::ofstream(ProgramDir() + "/VidPidList.ini", std::ios::binary) << c.fileEntry << "\r\n";
    list.SetRememberedPort(2, hub);
    flow->m_bVidPidAllowed = 1 - c.allowed;
    ASSERT_EQ(flow->DEV_GetDeviceListForAllInOne(0), 1);
    EXPECT_EQ(flow->m_iSelDevice, 0);
    EXPECT_EQ(flow->m_iSelRow, 0);
    EXPECT_EQ(flow->m_bVidPidAllowed, c.allowed);
  }
}

TEST_F(DeviceList, ListForAllInOneSecondPassWithChecks) {
  settings->Set("CheckVIDPID_INI", 1);
  AddTwo();
  list.SetRememberedPort(9, 9);  // no device there
  ASSERT_EQ(flow->DEV_GetDeviceListForAllInOne(7), 1);
  EXPECT_EQ(flow->m_iSelDevice, 1);
  EXPECT_EQ(flow->m_iSelRow, 0);
  EXPECT_EQ(list.port, 2u);
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41906, 7}));

}

TEST_F(DeviceList, ListForAllInOneWithoutAllowedDeviceSelectsNothing) {
  settings->Set("CheckVIDPID_INI", 1);
  list.SetRememberedPort(9, 9);
  Add(Device(0x1999));
  ASSERT_EQ(flow->DEV_GetDeviceListForAllInOne(7), 1);
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41511, 0}));
  EXPECT_EQ(flow->m_bVidPidAllowed, 0u);
  EXPECT_EQ(flow->m_iSelDevice, 0);  // a refused device still leaves its number
}

TEST_F(DeviceList, AfterResetFindsTheSelectedIdentityAgain) {
  EXPECT_EQ(flow->DEV_GetDeviceListAfterReset(), 0);  // nothing chosen yet
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41511, 0}));

  AddTwo();
  flow->m_iSelDevice = 0;
  list.rows = {"VID_0B05&PID_1996&REV_0100"};
  list.SelectDeviceRow(0);
  ASSERT_EQ(flow->DEV_GetDeviceListAfterReset(), 1);
  EXPECT_EQ(flow->m_iSelDevice, 1);
  EXPECT_EQ(list.port, 2u);
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41906, 0}));
  EXPECT_EQ(flow->m_hDevice, 0u);

  list.selectedText = "VID_0B05&PID_0001&REV_0100";
  ASSERT_EQ(flow->DEV_GetDeviceListAfterReset(), 1);
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41511, 0}));
}

TEST_F(DeviceList, ListExistNotesTheChipFamilies) {
  ASSERT_EQ(flow->DEV_GetDeviceListExist(), 1);  // no candidate: posted all the same
  EXPECT_EQ(posts.posts.back(), (Post{UM_STATUS, 41906, 0}));
  EXPECT_FALSE(flow->m_bFamily1010Present);

  sim::DeviceOptions f000 = Device(0x0001, "VQ7310");
  f000.chipIdSet = true;
  f000.chipId = {0x05, 0xF3};  // masked: 0x00, 0xF0
  Add(f000);
  Add(Device(0x0002, "VQ7370"));
  ASSERT_EQ(flow->DEV_GetDeviceListExist(), 1);
  EXPECT_TRUE(flow->m_bFamilyF000Present);
  EXPECT_TRUE(flow->m_bFamily1010Present);
  EXPECT_NE(flow->m_hDevice, 0u);  // the last candidate stays open
}

}  // namespace
}  // namespace drover
