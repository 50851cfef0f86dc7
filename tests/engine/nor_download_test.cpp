// The NOR flash leaf on the simulated chip: its download with the tag written last, and the
// slots it does not serve.
#include "download_fixture.h"
#include "engine/flash_info.h"

namespace drover {
namespace {

using namespace engine_test;

Bytes TaggedImage() { return FlashImage(0xAE00, Block(0x55, 17, {VidPidItem(0x0BDA, 0x7310)}), {0x55, 0xAA}, 14); }

class NorDownload : public DownloadTest {
 protected:
  int OpenNor() { return Open(Device("VQ7310", sim::MemoryKind::Nor), kMemoryNorFlash); }
};

TEST_F(NorDownload, Download) {
  const Bytes image = TaggedImage();
  const int n = OpenNor();
  flow->m_pFileData = image;
  ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  ASSERT_EQ(flow->DEV_Download(), 1);
  EXPECT_EQ(Flash(n, 0, 0x10000), image);
  EXPECT_EQ(Shows(), (std::vector<Shown>{Step(41718), Progress(30), Step(kIdStepCheckEmpty), Progress(50),
                                         Step(kIdStepDownload), Progress(70), Step(kIdStepVerify), Progress(90),
                                         Step(kIdStepWriteTag), Step(kIdStepResetToCode), Progress(100),
                                         Result(kIdFirmwareUpdateOk)}));
  EXPECT_EQ(GetLastStatus(), 0u);
  EXPECT_TRUE(Info(n).runningCode);
  EXPECT_EQ(Info(n).versionText, VersionOfImage(image));
}

TEST_F(NorDownload, UnpluggedDuringTheWriteLeavesNoTag) {
  const int n = OpenNor();
  flow->m_pFileData = TaggedImage();
  ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
  sim::Faults f;
  ASSERT_TRUE(bus->GetFaults(n, f));
  f.stall.push_back({sim::FaultTarget::Vendor, 0x2A, 15, 0});  // the last piece is refused
  ASSERT_TRUE(bus->SetFaults(n, f));
  EXPECT_EQ(flow->DEV_Download(), 0);
  EXPECT_EQ(Errors(), (std::vector<std::uintptr_t>{kIdUpdateFlashFail}));
  EXPECT_EQ(Flash(n, 0xEFFE, 2), (Bytes{0xFF, 0xFF}));
  ASSERT_TRUE(bus->Unplug(n));
  ASSERT_TRUE(bus->Plug(n));
  EXPECT_FALSE(Info(n).runningCode);
}

// An image with its block at the start holds the block's signature byte back the same way.
TEST_F(NorDownload, ImageWithItsBlockAtTheStart) {
  const Bytes image = FlashImage(0, Block(0x55, 17, {VidPidItem(0x0BDA, 0x7310)}), {0x12, 0x34}, 15);
  for (bool cutOff : {false, true}) {
    SCOPED_TRACE(cutOff);
    const int n = OpenNor();
    flow->m_pFileData = image;
    ASSERT_EQ(flow->DEV_ParseImage(flow->m_pFileData), 1);
    ASSERT_TRUE(flow->m_bTagInImage);
    if (cutOff) {
      sim::Faults f;
      ASSERT_TRUE(bus->GetFaults(n, f));
      f.stall.push_back({sim::FaultTarget::Vendor, 0x2A, 15, 0});  // the last piece is refused
      ASSERT_TRUE(bus->SetFaults(n, f));
    }
    EXPECT_EQ(flow->DEV_Download(), cutOff ? 0 : 1);
    EXPECT_EQ(Flash(n, 1, 1), (Bytes{static_cast<std::uint8_t>(cutOff ? 0xFF : 0xA5)}));
    if (!cutOff) {
      EXPECT_EQ(Flash(n, 0, 0x10000), image);
    }
    EXPECT_TRUE(flow->m_pFileData == image);
    ASSERT_TRUE(bus->Unplug(n));
    ASSERT_TRUE(bus->Plug(n));
    EXPECT_EQ(Info(n).runningCode, !cutOff);
    flow->DEV_CloseDevice();
  }
}

// Reading, erasing and updating the code need nothing of the device on this leaf; the silent
// operations are not supported.
TEST_F(NorDownload, Slots) {
  const int n = OpenNor();
  bus->RecordTransfers(n, true);
  for (int slot = 1; slot <= 10; ++slot) {
    SCOPED_TRACE(slot);
    SetLastStatus(7);
    int result = -1;
    switch (slot) {
      case 1: result = flow->DEV_ReadCode(); break;
      case 2: result = flow->DEV_EraseCode(); break;
      case 3: result = flow->DEV_UpdateCode(); break;
      case 4: continue;  // the download, above
      case 5: result = flow->DEV_Silence_WriteBin("fw.rfw"); break;
      case 6: result = flow->DEV_Silence_WriteSNBin("fw.rfw", "SN"); break;
      case 7: result = flow->DEV_Silence_ReadBin("out.bin"); break;
      case 8: result = flow->DEV_Silence_VerifyBin("fw.rfw"); break;
      case 9: result = flow->DEV_Silence_ReadText("out.txt"); break;
      case 10: result = flow->DEV_Silence_Erase(1); break;
    }
    EXPECT_EQ(result, slot <= 3 ? 1 : 0);
    EXPECT_EQ(GetLastStatus(), slot <= 3 ? 7u : kIdNotSupport);
  }
  EXPECT_TRUE(bus->TakeTransfers(n).empty());
}

}  // namespace
}  // namespace drover
